// The client's way to the target (straight to a forwarder, or SOCKS5 for the floor) and the
// loopback target itself.
#include <sys/socket.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "bench/bench.h"

namespace bench {

Bytes makeHeader(std::uint8_t mode, std::uint64_t count) {
  Bytes header(kHeaderSize);
  header[0] = mode;
  for (int i = 0; i < 8; ++i) header[8 + i] = static_cast<std::uint8_t>(count >> (56 - 8 * i));
  return header;
}

bool recvAll(Socket socket, void* data, std::size_t length) {
  for (auto* at = static_cast<std::uint8_t*>(data); length > 0;) {
    int got = recvSome(socket, at, length);
    if (got <= 0) return false;
    at += got;
    length -= static_cast<std::size_t>(got);
  }
  return true;
}

namespace {

constexpr int kTimeoutMs = 10000;  // connect, and every blocking send and receive

// Sends `request` and reads `reply` (sized to what is expected); false on any shortfall.
bool exchange(Socket socket, const Bytes& request, std::uint8_t* reply, std::size_t length) {
  return sendAllBytes(socket, request) && recvAll(socket, reply, length);
}

// SOCKS5 (RFC 1928, RFC 1929) to 127.0.0.1:target, as the floor of the benchmark.
bool socksConnect(Socket socket, const Route& route, std::string& error) {
  const bool login = !route.user.empty();
  std::uint8_t reply[4 + 256 + 2] = {};
  // Greeting: VER=5, NMETHODS=1, METHOD (0 none, 2 user/password).
  const std::uint8_t method = login ? 2 : 0;
  if (!exchange(socket, {5, 1, method}, reply, 2) || reply[0] != 5 || reply[1] != method) {
    error = "socks greeting";
    return false;
  }
  if (login) {  // VER=1, ULEN, UNAME, PLEN, PASSWD
    Bytes request{1, static_cast<std::uint8_t>(route.user.size())};
    request.insert(request.end(), route.user.begin(), route.user.end());
    request.push_back(static_cast<std::uint8_t>(route.password.size()));
    request.insert(request.end(), route.password.begin(), route.password.end());
    if (!exchange(socket, request, reply, 2) || reply[1] != 0) {
      error = "socks login";
      return false;
    }
  }
  // VER=5, CMD=1 CONNECT, RSV, ATYP=1 IPv4, 127.0.0.1, port (network order). The reply: VER,
  // REP, RSV, ATYP, then the bound address by ATYP and its port.
  Bytes request{5, 1, 0, 1, 127, 0, 0, 1};
  request.push_back(static_cast<std::uint8_t>(route.target >> 8));
  request.push_back(static_cast<std::uint8_t>(route.target));
  if (!exchange(socket, request, reply, 5) || reply[1] != 0) {
    error = "socks connect: reply " + std::to_string(reply[1]);
    return false;
  }
  const std::size_t rest = reply[3] == 1 ? 4 + 2 - 1 : reply[3] == 4 ? 16 + 2 - 1 : reply[4] + 2;
  if (reply[3] == 2 || reply[3] > 4 || !recvAll(socket, reply + 5, rest)) {
    error = "socks connect reply";
    return false;
  }
  return true;
}

}  // namespace

UniqueSocket openRoute(const Route& route, std::string& error) {
  UniqueSocket socket(connectLoopback(route.port));
  if (!socket) {
    error = std::string("connect: ") + std::strerror(errno);
    return {};
  }
  setNoDelay(socket.get());
  const timeval limit{kTimeoutMs / 1000, 0};
  ::setsockopt(fdOf(socket.get()), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(fdOf(socket.get()), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  if (route.socks && !socksConnect(socket.get(), route, error)) return {};
  return socket;
}

// ---- The target: a thread per connection, blocking sockets ----

namespace {

std::atomic<bool> stopping{false};

void serve(UniqueSocket connection) {
  const Socket socket = connection.get();
  Bytes header(kHeaderSize), buffer(256 * 1024);
  if (!recvAll(socket, header.data(), header.size())) return;
  std::uint64_t count = 0;
  for (int i = 0; i < 8; ++i) count = (count << 8) | header[8 + i];
  if (header[0] == kModeEcho) {
    // Like a simple echo server it reads nothing more while its echo is unsent.
    for (int got; (got = recvSome(socket, buffer.data(), 128 * 1024)) > 0;) {
      if (!sendAllBytes(socket, std::span(buffer.data(), static_cast<std::size_t>(got)))) return;
    }
  } else if (header[0] == kModeSource) {
    for (std::uint64_t done = 0; done < count;) {
      const auto length =
          static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), count - done));
      fillStream(count, done, std::span(buffer.data(), length));
      if (!sendAllBytes(socket, std::span(buffer.data(), length))) return;
      done += length;
    }
  } else if (header[0] == kModeSink) {
    StreamCheck check;
    while (check.received < count) {
      const auto want = std::min<std::uint64_t>(buffer.size(), count - check.received);
      int got = recvSome(socket, buffer.data(), static_cast<std::size_t>(want));
      if (got <= 0) return;
      check.feed(std::span(buffer.data(), static_cast<std::size_t>(got)));
    }
    const std::uint8_t verdict = check.intact() ? kIntactReply : 'N';
    if (!sendAllBytes(socket, std::span(&verdict, 1))) return;
  }
  waitPeerClosed(socket, std::chrono::seconds(30));  // the client closes first
}

}  // namespace

int runTargetServer(std::uint16_t port) {
  const auto onSignal = [](int) { stopping = true; };
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  UniqueSocket listener = listenLoopback(false, port);
  if (!listener) {
    std::fprintf(stderr, "target: cannot listen on 127.0.0.1:%u\n", port);
    return 1;
  }
  std::fprintf(stderr, "target: listening on 127.0.0.1:%u\n", port);
  while (!stopping) {
    if (!waitSocket(listener.get(), true, false, std::chrono::milliseconds(500)).readable) continue;
    UniqueSocket connection(acceptConnection(listener.get()));
    if (!connection) continue;
    setNoDelay(connection.get());
    std::thread(serve, std::move(connection)).detach();
  }
  return 0;
}

}  // namespace bench
