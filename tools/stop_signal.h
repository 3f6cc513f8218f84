// The headless runner's console: Ctrl+C and termination requests (SIGINT/SIGTERM on POSIX,
// stop_signal_posix.cpp; the console control handler on Windows, stop_signal_win.cpp) and the
// mode of its standard output.
#pragma once

// Installs the handler, before any other thread is started; true on success. `onStop` runs on
// a thread of its own, not in a signal handler, for each request.
bool installStopSignalHandler(void (*onStop)());

// Standard output passes bytes as they are: every log line carries its own "\r\n", which a
// text-mode stream on Windows would turn into "\r\r\n" in a file or pipe.
void useBinaryStandardOutput();
