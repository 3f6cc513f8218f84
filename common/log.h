// The running log: printf-style lines on standard output, each written whole.
#pragma once

#include <atomic>
#include <cstdio>
#include <mutex>

#include "common/printf_format.h"

// Formats one line (the format carries its own "\r\n") and writes it in one piece, flushed.
void logLine(const char* format, ...) QUILLAN_PRINTF(1, 2);

// Taken by every logLine write; the log console takes it too while it swaps standard output.
std::mutex& logMutex();

// logLine for a caller that already holds logMutex(): the log console writes its first line in
// the same turn as the swap, so no other thread's line can come before it.
void logLineWhileLocked(const char* format, ...) QUILLAN_PRINTF(1, 2);

// The stream of the open log console, or nullptr. While it is nullptr the relay skips its
// per-chunk traffic lines.
extern std::atomic<std::FILE*> consoleStream;
