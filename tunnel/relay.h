// The RelayThread: one accepted local connection, its own proxy session and CONNECT, and the
// copying of bytes both ways until both sides have ended their streams, a transfer fails or a
// stop is seen.
#pragma once

#include <cstddef>

#include "common/service_state.h"
#include "platform/socket.h"

// Each direction has its own buffer of this size, never grown.
inline constexpr std::size_t kRelayBufferBytes = 32768;

// A relay thread keeps little on its stack: the buffers are pages of their own.
inline constexpr std::size_t kRelayStackBytes = 64 * 1024;

// Handed from the listener to a new relay thread, which owns (and deletes) it. `generation` is
// the stopGeneration of the listener that accepted the socket: a stop bumps it, so the relay
// ends even when Start has cleared stopRequested again before the relay looked.
struct RelayStart {
  Socket local = noSocket;
  unsigned generation = 0;
};

// True once the service that started a thread of `generation` has been stopped.
inline bool serviceStopSeen(unsigned generation) {
  return stopRequested.load() || stopGeneration.load() != generation;
}

// Thread entry: takes a RelayStart allocated with new. Returns 0.
unsigned relayThread(void* argument);
