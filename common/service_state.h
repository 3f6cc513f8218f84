// State shared by the window, the listener and the relays, without locks beyond atomics.
#pragma once

#include <atomic>
#include <chrono>

#include "platform/thread.h"

// The service as its driver sees it. Proving is reported by a successful startService, Accepting
// by the listener once the trial route worked, Idle by stopService and by a listener that ended
// on its own (the trial failed).
enum class ServiceState { kIdle, kProving, kAccepting };

// Raised by Stop (and by a listener that ends on its own); polled after every wait.
extern std::atomic<bool> stopRequested;

// Bumped by every stop, so that a relay started before a stop ends even when Start has already
// cleared stopRequested again before the relay looked.
extern std::atomic<unsigned> stopGeneration;

// True once the service that started a thread of `generation` has been stopped.
inline bool serviceStopSeen(unsigned generation) {
  return stopRequested.load() || stopGeneration.load() != generation;
}

// The running listener thread, or nullptr; its presence means the tunnel is on.
extern std::atomic<ThreadHandle> listenerHandle;

// Bound of every socket wait in the tunnel service: 2 s and 500 us.
inline constexpr std::chrono::microseconds selectTimeout{2'000'500};

// Stop waits for the listener twice the whole seconds of selectTimeout.
inline constexpr unsigned kListenerStopWaitMs =
    2 *
    static_cast<unsigned>(std::chrono::duration_cast<std::chrono::seconds>(selectTimeout).count()) *
    1000;
