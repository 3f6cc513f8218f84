#include "common/service_state.h"

std::atomic<bool> stopRequested{false};
std::atomic<unsigned> stopGeneration{0};
std::atomic<ThreadHandle> listenerHandle{nullptr};
