#include "bench/target_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <unordered_map>
#include <vector>

namespace bench {
namespace {

std::atomic<bool> stopping{false};
void onSignal(int) {
  stopping = true;
}

// The echo buffer: like a simple echo server, it stops reading while this much is unsent.
constexpr std::size_t kEchoBuffer = 128 * 1024;
constexpr std::size_t kChunk = 256 * 1024;

enum class State { Header, Echo, Source, Sink, Reply, Drain };

struct Connection {
  Fd fd;
  State state = State::Header;
  Header header{};
  std::size_t headerLength = 0;
  std::vector<std::uint8_t> buffer;  // echo: bytes received and not yet sent back
  std::size_t pendingStart = 0;
  std::size_t pendingEnd = 0;
  std::uint64_t count = 0;
  std::uint64_t done = 0;
  std::unique_ptr<StreamHash> hash;
  std::array<std::uint8_t, 32> reply{};
  std::size_t replyLength = 0;
  std::size_t replySent = 0;
  std::uint32_t events = 0;
};

class Server {
 public:
  explicit Server(int epoll) : epoll_(epoll) {}

  void add(Fd fd) {
    int raw = fd.get();
    auto connection = std::make_unique<Connection>();
    connection->fd = std::move(fd);
    connection->events = EPOLLIN;
    epoll_event event{EPOLLIN, {.fd = raw}};
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, raw, &event) == 0)
      connections_[raw] = std::move(connection);
  }

  void handle(int fd, std::uint32_t events) {
    auto found = connections_.find(fd);
    if (found == connections_.end()) return;
    Connection& c = *found->second;
    bool keep = (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) ? readable(c) : true;
    if (keep && (events & EPOLLOUT)) keep = writable(c);
    if (!keep) {
      ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
      connections_.erase(found);
      return;
    }
    std::uint32_t wanted = interest(c);
    if (wanted != c.events) {
      epoll_event event{wanted, {.fd = fd}};
      ::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &event);
      c.events = wanted;
    }
  }

 private:
  static std::uint32_t interest(const Connection& c) {
    switch (c.state) {
      case State::Echo:
        return c.pendingEnd > c.pendingStart ? EPOLLOUT : EPOLLIN;
      case State::Source:
      case State::Reply:
        return EPOLLOUT;
      default:
        return EPOLLIN;
    }
  }

  // Digests of source streams, computed by a 'P' request before the timed transfer.
  const Digest& sourceDigest(std::uint64_t count) {
    auto found = digests_.find(count);
    if (found == digests_.end()) found = digests_.emplace(count, patternDigest(count)).first;
    return found->second;
  }

  void startReply(Connection& c, const std::uint8_t* bytes, std::size_t length) {
    std::memcpy(c.reply.data(), bytes, length);
    c.replyLength = length;
    c.replySent = 0;
    c.state = State::Reply;
  }

  bool readable(Connection& c) {
    switch (c.state) {
      case State::Header: {
        ssize_t got =
            ::recv(c.fd.get(), c.header.data() + c.headerLength, kHeaderSize - c.headerLength, 0);
        if (got <= 0) return got < 0 && (errno == EAGAIN || errno == EINTR);
        c.headerLength += static_cast<std::size_t>(got);
        if (c.headerLength < kHeaderSize) return true;
        c.count = headerCount(c.header);
        switch (c.header[0]) {
          case kModeEcho:
            c.buffer.resize(kEchoBuffer);
            c.state = State::Echo;
            return true;
          case kModeSource:
            sourceDigest(c.count);
            c.state = State::Source;
            return true;
          case kModeSink:
            c.hash = std::make_unique<StreamHash>();
            c.state = State::Sink;
            return true;
          case kModePrepare: {
            sourceDigest(c.count);
            std::uint8_t ready = 'R';
            startReply(c, &ready, 1);
            return true;
          }
          default:
            return false;
        }
      }
      case State::Echo: {
        ssize_t got = ::recv(c.fd.get(), c.buffer.data(), c.buffer.size(), 0);
        if (got <= 0) return got < 0 && (errno == EAGAIN || errno == EINTR);
        c.pendingStart = 0;
        c.pendingEnd = static_cast<std::size_t>(got);
        return writable(c);  // try at once; what is left waits for EPOLLOUT
      }
      case State::Sink: {
        static std::vector<std::uint8_t> scratch(kChunk);
        std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(scratch.size(), c.count - c.done));
        ssize_t got = ::recv(c.fd.get(), scratch.data(), want, 0);
        if (got <= 0) return got < 0 && (errno == EAGAIN || errno == EINTR);
        c.hash->update(scratch.data(), static_cast<std::size_t>(got));
        c.done += static_cast<std::uint64_t>(got);
        if (c.done == c.count) {
          Digest digest = c.hash->finish();
          startReply(c, digest.data(), digest.size());
        }
        return true;
      }
      default: {
        // Source, Reply, Drain: the client sends nothing more; stay until it closes.
        std::array<std::uint8_t, 512> scratch;
        ssize_t got = ::recv(c.fd.get(), scratch.data(), scratch.size(), 0);
        if (got == 0) return false;
        return got > 0 || errno == EAGAIN || errno == EINTR;
      }
    }
  }

  bool writable(Connection& c) {
    switch (c.state) {
      case State::Echo: {
        while (c.pendingStart < c.pendingEnd) {
          ssize_t sent = ::send(c.fd.get(), c.buffer.data() + c.pendingStart,
                                c.pendingEnd - c.pendingStart, MSG_NOSIGNAL);
          if (sent < 0) return errno == EAGAIN || errno == EINTR;
          c.pendingStart += static_cast<std::size_t>(sent);
        }
        return true;
      }
      case State::Source: {
        for (int burst = 0; burst < 16 && c.done < c.count; ++burst) {
          auto chunk = patternAt(
              c.done, static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, c.count - c.done)));
          ssize_t sent = ::send(c.fd.get(), chunk.data(), chunk.size(), MSG_NOSIGNAL);
          if (sent < 0) return errno == EAGAIN || errno == EINTR;
          c.done += static_cast<std::uint64_t>(sent);
        }
        if (c.done == c.count) {
          const Digest& digest = sourceDigest(c.count);
          startReply(c, digest.data(), digest.size());
        }
        return true;
      }
      case State::Reply: {
        ssize_t sent = ::send(c.fd.get(), c.reply.data() + c.replySent, c.replyLength - c.replySent,
                              MSG_NOSIGNAL);
        if (sent < 0) return errno == EAGAIN || errno == EINTR;
        c.replySent += static_cast<std::size_t>(sent);
        if (c.replySent == c.replyLength) c.state = State::Drain;
        return true;
      }
      default:
        return true;
    }
  }

  int epoll_;
  std::unordered_map<int, std::unique_ptr<Connection>> connections_;
  std::map<std::uint64_t, Digest> digests_;
};

}  // namespace

int runTargetServer(const Endpoint& listenOn) {
  struct sigaction action {};
  action.sa_handler = onSignal;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(listenOn.port);
  if (::inet_pton(AF_INET, listenOn.host.c_str(), &address.sin_addr) != 1) {
    std::fprintf(stderr, "target: bad address %s\n", listenOn.host.c_str());
    return 2;
  }
  Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  int one = 1;
  ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.get(), SOMAXCONN) != 0) {
    std::fprintf(stderr, "target: listen on %s:%u: %s\n", listenOn.host.c_str(), listenOn.port,
                 std::strerror(errno));
    return 1;
  }
  Fd epoll(::epoll_create1(EPOLL_CLOEXEC));
  epoll_event event{EPOLLIN, {.fd = listener.get()}};
  ::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, listener.get(), &event);
  Server server(epoll.get());
  std::fprintf(stderr, "target: listening on %s:%u\n", listenOn.host.c_str(), listenOn.port);

  std::array<epoll_event, 256> events;
  while (!stopping) {
    int ready = ::epoll_wait(epoll.get(), events.data(), static_cast<int>(events.size()), 500);
    if (ready < 0 && errno != EINTR) return 1;
    for (int i = 0; i < ready; ++i) {
      int fd = events[i].data.fd;
      if (fd != listener.get()) {
        server.handle(fd, events[i].events);
        continue;
      }
      for (int accepted = 0; accepted < 256; ++accepted) {
        int client = ::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) break;
        ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        server.add(Fd(client));
      }
    }
  }
  return 0;
}

}  // namespace bench
