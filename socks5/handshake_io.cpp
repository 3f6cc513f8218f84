// Exact handshake I/O over the platform layer, every wait bounded by the reply's deadline.
#include "socks5/handshake_io.h"

#include "common/log.h"
#include "common/test_seams.h"

ReplyDeadline replyDeadline() {
  const int shortened = testSeams.handshakeTimeoutMs.load();
  return std::chrono::steady_clock::now() +
         std::chrono::milliseconds(shortened != 0 ? shortened : kHandshakeTimeoutMs);
}

namespace {

// Waits until the socket can be read (or written) or `deadline` passes (last socket error set
// to kErrTimedOut). False when the wait failed or ran out.
bool waitUntilReady(Socket socket, bool forWriting, ReplyDeadline deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      setLastSocketError(kErrTimedOut);
      return false;
    }
    WaitItem item{.socket = socket, .wantRead = !forWriting, .wantWrite = forWriting};
    int ready = waitSockets(std::span<WaitItem>(&item, 1), left);
    if (ready != 0) return ready > 0;
  }
}

}  // namespace

bool sendStep(Socket socket, const char* step, std::span<const std::uint8_t> message) {
  bool sent = !message.empty();
  const ReplyDeadline deadline = replyDeadline();
  while (sent && !message.empty()) {
    const int count = sendSome(socket, message.data(), message.size());
    if (count > 0) {
      message = message.subspan(static_cast<std::size_t>(count));
      continue;
    }
    // No room for it now (the socket is non-blocking): wait for room as for a reply.
    sent = count < 0 && isWouldBlock(lastSocketError()) && waitUntilReady(socket, true, deadline);
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
    // What has arrived is taken at once (usually the whole reply); the wait is only for bytes
    // still on their way. Under Wine a wait costs several server round trips.
    int got = recvSome(socket, out.data() + have, out.size() - have);
    if (got > 0) {
      have += static_cast<std::size_t>(got);
      continue;
    }
    // An end of stream is no error: its line shows 0, as Winsock leaves it after that read,
    // not the would-block of an earlier read that found nothing yet.
    if (got == 0) setLastSocketError(0);
    if (got == 0 || !isWouldBlock(lastSocketError()) || !waitUntilReady(socket, false, deadline))
      break;
  }
  if (have >= atLeast) return have;
  logLine("recv(%s) err: %d\r\n", step, lastSocketError());
  return 0;
}
