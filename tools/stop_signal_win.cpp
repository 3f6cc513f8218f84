// Ctrl+C, Ctrl+Break and console close only raise a flag; the runner's main thread polls it.
#include <windows.h>

#include <atomic>

#include "tools/stop_signal.h"

namespace {

std::atomic<bool> signalled{false};

BOOL WINAPI onConsoleControl(DWORD) {
  signalled.store(true);
  return TRUE;
}

}  // namespace

bool installStopSignalHandler() {
  return SetConsoleCtrlHandler(onConsoleControl, TRUE) != 0;
}

bool stopSignalled() {
  return signalled.load();
}
