// SIGINT and SIGTERM only raise a flag; the runner's main thread polls it.
#include <signal.h>

#include <atomic>

#include "tools/stop_signal.h"

namespace {

std::atomic<bool> signalled{false};
static_assert(std::atomic<bool>::is_always_lock_free, "used from a signal handler");

void onSignal(int) {
  signalled.store(true);
}

}  // namespace

bool installStopSignalHandler() {
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

bool stopSignalled() {
  return signalled.load();
}
