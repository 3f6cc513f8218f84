// The RelayThread. Both sockets are non-blocking (the local one like its listener, the proxy's
// from its session on), and each direction has its own buffer, so a relay never blocks in a send:
// while a direction still has bytes pending it waits for its destination to become writable and
// does not read its source again. A relay whose one peer stops reading until its own sends drain
// (an echo server does) therefore still moves the other direction, and neither side waits for the
// other for ever.
//
// An orderly end of one side's stream is passed on as a half-close: the relay shuts down sending
// towards the other side and keeps relaying the other way, so a client that sends its request and
// then ends its stream still gets the reply. The relay ends when both streams have ended, a
// transfer fails, or a stop is seen.
#include "tunnel/relay.h"

#include <cstdint>
#include <memory>

#include "common/log.h"
#include "platform/pages.h"
#include "platform/thread.h"
#include "platform/unique_socket.h"
#include "socks5/connect_request.h"
#include "socks5/proxy_session.h"

namespace {

// Keepalive towards the proxy: a proxy that vanished without FIN or RST ends its relay after
// kKeepAliveIdleSeconds of silence and a few probes kKeepAliveIntervalSeconds apart instead of
// holding a thread for ever. The local peer is on this machine, whose own stack ends its
// connections when it goes. There is no idle time-out of our own: a quiet Remote Desktop session
// stays up.
constexpr int kKeepAliveIdleSeconds = 60;
constexpr int kKeepAliveIntervalSeconds = 10;

// At most this many passes (each at most one chunk per direction) between two waits, so that a
// busy direction does not keep a stop or the other direction waiting for long.
constexpr int kPassesPerWait = 8;

// The page memory of both direction buffers, freed on every path.
constexpr std::size_t kPagesBytes = 2 * kRelayBufferBytes;
struct FreePages {
  void operator()(std::uint8_t* pages) const { freePages(pages, kPagesBytes); }
};
using RelayPages = std::unique_ptr<std::uint8_t, FreePages>;

// One direction of the relay: bytes read from `from` wait in `buffer` until `to` has taken them.
struct Direction {
  Socket from = noSocket;
  Socket to = noSocket;
  std::uint8_t* buffer = nullptr;
  std::size_t offset = 0;     // first byte not yet sent
  std::size_t pending = 0;    // bytes received but not yet sent
  bool towardsLocal = false;  // proxy to local (the target's bytes) or local to proxy
  bool ended = false;         // `from` ended its stream and the end was passed on to `to`
};

// What one turn of a direction came to. kMore: a whole chunk went through at once, so its source
// very likely has more and its destination took everything: worth another turn without a wait.
enum class Step { kGoOn, kMore, kEnd };

// Sends what is pending as far as the destination takes it without blocking. Returns the
// bytes taken (0 when it would block) or -1 when the send failed for good.
int sendPending(Direction& direction) {
  int sent = sendSome(direction.to, direction.buffer + direction.offset, direction.pending);
  if (sent < 0) return isWouldBlock(lastSocketError()) ? 0 : -1;
  if (sent == 0) return -1;  // a stream socket takes nothing only when it is gone
  direction.offset += static_cast<std::size_t>(sent);
  direction.pending -= static_cast<std::size_t>(sent);
  if (direction.pending == 0) direction.offset = 0;
  return sent;
}

// Reads one chunk when nothing is pending. Returns the receive call's result: the count, 0 when
// the source closed, -1 on failure; would-block (a spurious wake-up) is reported as kWouldBlock.
constexpr int kWouldBlock = -2;
int receiveChunk(Direction& direction) {
  int received = recvSome(direction.from, direction.buffer, kRelayBufferBytes);
  if (received < 0 && isWouldBlock(lastSocketError())) return kWouldBlock;
  if (received > 0) {
    direction.offset = 0;
    direction.pending = static_cast<std::size_t>(received);
  }
  return received;
}

// One turn of one direction: finish what is pending, or read a chunk and pass it on. Only the
// first end of the relay (`firstEnd`) writes its "closed" line.
Step serveDirection(Direction& direction, bool readable, bool writable, unsigned id,
                    bool firstEnd) {
  if (direction.pending > 0) {
    if (!writable) return Step::kGoOn;
    return sendPending(direction) < 0 ? Step::kEnd : Step::kGoOn;
  }
  if (!readable) return Step::kGoOn;
  int received = receiveChunk(direction);
  if (received == kWouldBlock) return Step::kGoOn;
  if (received <= 0) {
    // The markers read from the local side: L the local client, S the proxy, R the target.
    if (firstEnd)
      logLine(direction.towardsLocal ? "Con: %x, SOCKS5 connection closed %d\r\n"
                                     : "Con: %x, LOCAL connection closed %d\r\n",
              id, received);
    if (received < 0) return Step::kEnd;
    // A read is made only when nothing is pending, so every byte of this direction has been
    // sent: pass the end on and go on with the other direction. When that one has ended too,
    // the relay closes both sockets now, which ends the streams without a shutdown.
    direction.ended = true;
    if (firstEnd) shutdownSend(direction.to);
    return Step::kGoOn;
  }
  int taken = sendPending(direction);
  if (consoleStream.load() != nullptr)
    logLine(direction.towardsLocal ? "Con: %x, Bytes to transfer L<-S<-R: %d (%d)\r\n"
                                   : "Con: %x, Bytes to transfer L->S->R: %d (%d)\r\n",
            id, received, taken);
  if (taken < 0) return Step::kEnd;
  const bool whole = static_cast<std::size_t>(received) == kRelayBufferBytes;
  return whole && direction.pending == 0 ? Step::kMore : Step::kGoOn;
}

void relayBytes(Socket local, Socket proxy, std::uint8_t* pages, unsigned id, unsigned generation) {
  Direction down{proxy, local, pages, 0, 0, true};
  Direction up{local, proxy, pages + kRelayBufferBytes, 0, 0, false};
  while (!serviceStopSeen(generation)) {
    // A direction with nothing pending waits for its source to be readable (until the source
    // has ended); one with bytes pending waits for its destination to be writable.
    std::array<WaitItem, 2> items{WaitItem{proxy, !down.ended && down.pending == 0, up.pending > 0},
                                  WaitItem{local, !up.ended && up.pending == 0, down.pending > 0}};
    if (waitSockets(items, selectTimeout) == 0) {
      // Windows reports a peer's reset only in the read set: a relay that waits just to write
      // to a peer that stopped reading would not see it go. One try per time-out finds out.
      for (Direction* direction : {&down, &up})
        if (direction->pending > 0 && sendPending(*direction) < 0) return;
      continue;
    }
    bool downReady = items[0].readable;
    bool upReady = items[1].readable;
    bool downWritable = items[1].writable;
    bool upWritable = items[0].writable;

    // Passes follow one another without a wait while a direction moves whole chunks, up to a
    // bound: on a busy stream the wait (a system call, under Wine a server round trip) would
    // find the same sockets ready anyway. Proxy to local first in every pass.
    for (int pass = 0; pass < kPassesPerWait && (downReady || upReady || pass == 0); ++pass) {
      Step downStep = serveDirection(down, downReady, downWritable, id, !up.ended);
      if (downStep == Step::kEnd) return;
      Step upStep = serveDirection(up, upReady, upWritable, id, !down.ended);
      if (upStep == Step::kEnd) return;
      if (down.ended && up.ended) return;
      downReady = downStep == Step::kMore;
      upReady = upStep == Step::kMore;
      downWritable = upWritable = false;
    }
  }
}

}  // namespace

unsigned relayThread(std::unique_ptr<ServiceThreadStart> start) {
  // Kept only through the handshake: the settings are not needed after.
  const unsigned generation = start->generation;
  // Declared first, closed last: the proxy socket goes before the local one.
  UniqueSocket local(start->socket);
  const auto id = static_cast<unsigned>(start->socket);

  UniqueSocket proxy(openProxySession(start->settings));
  if (!proxy) {
    logLine("Con: %x, failed to connect to SOCKS5 proxy\r\n", id);
    return 0;
  }
  if (requestConnect(proxy.get(), start->settings) == 0) {
    logLine("Con: %x, failed to connect to Remote server\r\n", id);
    return 0;
  }
  start.reset();
  RelayPages pages(static_cast<std::uint8_t*>(allocatePages(kPagesBytes)));
  if (!pages) {
    logLine("Con: %x, failed to allocate In/Out buffer: %d\r\n", id, lastSystemError());
    return 0;
  }
  int noDelay = setNoDelay(local.get());
  logLine("Con: %x, Starting data transfer. setopt() = %d\r\n", id, noDelay);
  setKeepAlive(proxy.get(), kKeepAliveIdleSeconds, kKeepAliveIntervalSeconds);

  relayBytes(local.get(), proxy.get(), pages.get(), id, generation);
  return 0;
}
