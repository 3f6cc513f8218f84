// The one way into the program for tests: each entry lets a test shorten a wait, divert the log,
// make the log console's reopen fail or see the tray's kept object. The program only reads these
// (the tray fills its entry); left as they start, they change nothing.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdio>

// Takes one log line instead of standard output; called with the log mutex held.
using LogSink = void (*)(const char* text, std::size_t length);
// Reopens standard output onto the log console just created; the stream, or nullptr on failure.
using ConsoleReopen = std::FILE* (*)();

struct TestSeams {
  LogSink logSink = nullptr;  // changed only under logMutex(); nullptr: standard output
  // Bound of each wait for a proxy reply in the handshake; 0: the program's own
  // kHandshakeTimeoutMs.
  std::atomic<int> handshakeTimeoutMs{0};
  ConsoleReopen consoleReopen = nullptr;  // nullptr: "CONOUT$" reopened in mode "w"
  void* trayTaskbarList = nullptr;        // the tray's taskbar-list object once it is created
};

inline TestSeams testSeams;
