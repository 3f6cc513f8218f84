// Ctrl+C and termination requests for the headless runner: SIGINT/SIGTERM on POSIX
// (stop_signal_posix.cpp), the console control handler on Windows (stop_signal_win.cpp).
#pragma once

// Installs the handler; true on success.
bool installStopSignalHandler();

// True once a stop was requested.
bool stopSignalled();
