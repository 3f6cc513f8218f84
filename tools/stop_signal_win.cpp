// Ctrl+C, Ctrl+Break and console close: the system runs the handler on a thread of its own.
#include <windows.h>

#include "tools/stop_signal.h"

namespace {

void (*stopHandler)() = nullptr;

BOOL WINAPI onConsoleControl(DWORD) {
  stopHandler();
  return TRUE;
}

}  // namespace

bool installStopSignalHandler(void (*onStop)()) {
  stopHandler = onStop;
  return SetConsoleCtrlHandler(onConsoleControl, TRUE) != 0;
}
