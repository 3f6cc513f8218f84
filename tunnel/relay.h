// The RelayThread: one accepted local connection, its own proxy session and CONNECT, and the
// copying of bytes both ways until both sides have ended their streams, a transfer fails or a
// stop is seen.
#pragma once

#include <cstddef>
#include <memory>

#include "common/service_state.h"
#include "config/tunnel_settings.h"
#include "platform/socket.h"

// Each direction has its own buffer of this size, never grown.
inline constexpr std::size_t kRelayBufferBytes = 32768;

// Reserved for each relay thread. Its own frames are small (the buffers are pages of their own),
// but it runs the system resolver while it opens its proxy session, with whatever name-service and
// layered providers the machine has installed, and an overflow ends the whole program. Measured
// high-water mark (stack filled with a pattern at thread start) with the proxy given as a host
// name, "localhost", up to the start of the relay: 8.2 KiB under wine64, which has none of those
// providers, and 14.6 KiB on Linux (glibc, hosts "files dns"). 200 relays reserve 50 MiB of the
// 2 GiB of the 32-bit program.
inline constexpr std::size_t kRelayStackBytes = 256 * 1024;

// What a thread of the service starts with, handed over to it whole (startOwningThread): from
// startService to the listener (`socket` the listening socket), from the listener to a relay
// (the accepted one). `generation` is the stopGeneration at Start: a stop bumps it, so a relay
// ends even when Start has cleared stopRequested again before the relay looked. `settings` are
// copied once at Start: the trial and every relay use them, whatever a later Start writes.
struct ServiceThreadStart {
  Socket socket = noSocket;
  unsigned generation = 0;
  TunnelSettings settings;
};

// Thread entry: the accepted socket and what the relay needs to open its session. Returns 0.
unsigned relayThread(std::unique_ptr<ServiceThreadStart> start);
