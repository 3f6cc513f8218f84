// Exact handshake I/O over the platform layer, every wait bounded by the reply's deadline.
#include "socks5/handshake_io.h"

#include "common/test_seams.h"

namespace {

// A proxy that takes the connection but never answers does not hold a thread for ever.
constexpr int kHandshakeTimeoutMs = 60000;

}  // namespace

ReplyDeadline replyDeadline() {
  const int shortened = testSeams.handshakeTimeoutMs.load();
  return std::chrono::steady_clock::now() +
         std::chrono::milliseconds(shortened != 0 ? shortened : kHandshakeTimeoutMs);
}

bool sendAll(Socket socket, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    int sent = sendSome(socket, bytes.data(), bytes.size());
    if (sent <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(sent));
  }
  return true;
}

bool recvExact(Socket socket, std::span<std::uint8_t> out, ReplyDeadline deadline) {
  std::size_t have = 0;
  while (have < out.size()) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      setLastSocketError(kErrTimedOut);
      return false;
    }
    WaitItem item;
    item.socket = socket;
    item.wantRead = true;
    int ready = waitSockets(std::span<WaitItem>(&item, 1), left);
    if (ready < 0) return false;
    if (ready == 0 || !item.readable) continue;  // the deadline check above ends the loop
    int got = recvSome(socket, out.data() + have, out.size() - have);
    if (got <= 0) return false;
    have += static_cast<std::size_t>(got);
  }
  return true;
}
