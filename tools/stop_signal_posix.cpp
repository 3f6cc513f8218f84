// SIGINT and SIGTERM are blocked in every thread and taken by one waiting thread, which may then
// lock and notify as no signal handler could.
#include <pthread.h>
#include <signal.h>

#include "platform/thread.h"
#include "tools/stop_signal.h"

namespace {

void (*stopHandler)() = nullptr;
sigset_t stopSignals;

unsigned waitForStopSignals(void*) {
  for (;;) {
    int signal = 0;
    if (sigwait(&stopSignals, &signal) == 0) stopHandler();
  }
}

}  // namespace

bool installStopSignalHandler(void (*onStop)()) {
  stopHandler = onStop;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  // Blocked before any other thread exists, so that every later thread inherits the mask.
  if (pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) != 0) return false;
  ThreadHandle waiter = startThread(waitForStopSignals, nullptr, 0);
  releaseThread(waiter);
  return waiter != nullptr;
}

void useBinaryStandardOutput() {}  // POSIX streams have no text mode
