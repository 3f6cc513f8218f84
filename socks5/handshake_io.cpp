// Exact handshake I/O over the platform layer, every wait bounded by the reply's deadline.
#include "socks5/handshake_io.h"

#include "common/log.h"
#include "common/test_seams.h"

// A proxy that takes the connection but never answers does not hold a thread for ever.
constexpr int kHandshakeTimeoutMs = 60000;

ReplyDeadline replyDeadline() {
  const int shortened = testSeams.handshakeTimeoutMs.load();
  return std::chrono::steady_clock::now() +
         std::chrono::milliseconds(shortened != 0 ? shortened : kHandshakeTimeoutMs);
}

bool sendStep(Socket socket, const char* step, std::span<const std::uint8_t> message) {
  bool sent = !message.empty();
  while (sent && !message.empty()) {
    const int count = sendSome(socket, message.data(), message.size());
    sent = count > 0;
    if (sent) message = message.subspan(static_cast<std::size_t>(count));
  }
  if (!sent) logLine("send(%s) err: %d\r\n", step, lastSocketError());
  return sent;
}

bool recvStep(Socket socket, const char* step, std::span<std::uint8_t> out,
              ReplyDeadline deadline) {
  return recvAtLeast(socket, step, out, out.size(), deadline) == out.size();
}

std::size_t recvAtLeast(Socket socket, const char* step, std::span<std::uint8_t> out,
                        std::size_t atLeast, ReplyDeadline deadline) {
  std::size_t have = 0;
  while (have < atLeast) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      setLastSocketError(kErrTimedOut);
      break;
    }
    WaitItem item{.socket = socket, .wantRead = true};
    int ready = waitSockets(std::span<WaitItem>(&item, 1), left);
    if (ready < 0) break;
    if (ready == 0 || !item.readable) continue;  // the deadline check above ends the loop
    int got = recvSome(socket, out.data() + have, out.size() - have);
    if (got <= 0) break;
    have += static_cast<std::size_t>(got);
  }
  if (have >= atLeast) return have;
  logLine("recv(%s) err: %d\r\n", step, lastSocketError());
  return 0;
}
