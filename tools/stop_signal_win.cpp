// Ctrl+C, Ctrl+Break and console close: the system runs the handler on a thread of its own.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

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

void useBinaryStandardOutput() {
  if (int descriptor = _fileno(stdout); descriptor >= 0) _setmode(descriptor, _O_BINARY);
}
