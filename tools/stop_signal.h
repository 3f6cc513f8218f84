// Ctrl+C and termination requests for the headless runner: SIGINT/SIGTERM on POSIX
// (stop_signal_posix.cpp), the console control handler on Windows (stop_signal_win.cpp).
#pragma once

// Installs the handler, before any other thread is started; true on success. `onStop` runs on
// a thread of its own, not in a signal handler, for each request.
bool installStopSignalHandler(void (*onStop)());
