// The handshake's sends and reads, each one step named as the log names it ("auth", "auth2",
// "host"). A send goes out whole, and a read takes exactly the bytes asked for, so whatever
// follows a reply (a target that speaks first) stays on the socket. The socket is non-blocking
// (openProxySession makes it so): a read or send that cannot go on waits, up to a deadline.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>

#include "platform/socket.h"

using ReplyDeadline = std::chrono::steady_clock::time_point;

// A proxy that takes the connection but never answers does not hold a thread for ever.
inline constexpr int kHandshakeTimeoutMs = 60000;

// When the wait for the reply starting now runs out: kHandshakeTimeoutMs from now (tests
// shorten it).
ReplyDeadline replyDeadline();

// Sends every byte, calling again after a partial send and waiting for room when there is none
// (kHandshakeTimeoutMs at most). When a call fails or sends nothing, the wait runs out, or the
// message is empty (it could not be built), logs "send(<step>) err: %d\r\n" with the last socket
// error and returns false.
bool sendStep(Socket socket, const char* step, std::span<const std::uint8_t> message);

// Receives exactly out.size() bytes, each call asking only for what is still missing. When the
// peer closes first, a call fails, or `deadline` passes (last socket error set to kErrTimedOut),
// logs "recv(<step>) err: %d\r\n" with the last socket error and returns false.
bool recvStep(Socket socket, const char* step, std::span<std::uint8_t> out, ReplyDeadline deadline);

// As recvStep, but done once `out` holds at least `atLeast` bytes: a call may take more of what
// has arrived, never more than out.size(). Returns the count, or 0 after the failure line.
std::size_t recvAtLeast(Socket socket, const char* step, std::span<std::uint8_t> out,
                        std::size_t atLeast, ReplyDeadline deadline);
