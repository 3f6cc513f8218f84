// The on-demand log console behind the "Start Log" / "Stop Log" button.
#pragma once

#include <cstdio>

// Opens a console and points standard output at it, or closes it again. UI thread only.
void toggleLogConsole();

// Reopens standard output onto the freshly created console ("CONOUT$", mode "w"); the stream,
// or nullptr when that failed. Replaceable so that tests can make the reopen fail.
using ConsoleReopen = std::FILE* (*)();
extern ConsoleReopen consoleReopen;
