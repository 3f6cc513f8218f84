// Exact sends and reads for the handshake: a send goes out whole, and a read takes exactly the
// bytes asked for, so whatever follows a reply (a target that speaks first) stays on the socket.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>

#include "platform/socket.h"

using ReplyDeadline = std::chrono::steady_clock::time_point;

// When the wait for the reply starting now runs out: 60 s from now (tests shorten it).
ReplyDeadline replyDeadline();

// Sends every byte, calling again after a partial send. False when a call returns the error
// value or sends nothing; the last socket error is left as that call set it.
bool sendAll(Socket socket, std::span<const std::uint8_t> bytes);

// Receives exactly out.size() bytes, each call asking only for what is still missing. False
// when the peer closes first or a call fails (last socket error as the platform left it), or
// when `deadline` passes first (last socket error set to kErrTimedOut).
bool recvExact(Socket socket, std::span<std::uint8_t> out, ReplyDeadline deadline);
