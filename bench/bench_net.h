// Shared pieces of the relay benchmark: socket owner, clock, the request header the loopback
// target understands, the byte pattern both ends agree on, SHA-256 of a stream, and opening a
// connection to the target either through a forwarder's local port or through SOCKS5 directly.
//
// The benchmark is a Linux tool (like the forwarders it compares), so it uses POSIX sockets and
// epoll directly rather than the portable layer in platform/.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>

namespace bench {

// Move-only owner of one file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

using Clock = std::chrono::steady_clock;
inline double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// First 16 bytes of every connection to the target:
//   +------+--------+-----------------------+
//   | mode | 7 x 00 | count (u64, big end.) |
//   +------+--------+-----------------------+
// 'E' echo: everything after the header comes back (count unused);
// 'S' source: the target sends `count` pattern bytes, then their 32-byte SHA-256;
// 'K' sink: the target reads `count` bytes, then answers their 32-byte SHA-256;
// 'P' prepare: the target hashes `count` pattern bytes ahead of an 'S' request and answers one
//     byte, so that no later timed transfer pays for the sender's digest.
inline constexpr std::size_t kHeaderSize = 16;
inline constexpr std::uint8_t kModeEcho = 'E';
inline constexpr std::uint8_t kModeSource = 'S';
inline constexpr std::uint8_t kModeSink = 'K';
inline constexpr std::uint8_t kModePrepare = 'P';
using Header = std::array<std::uint8_t, kHeaderSize>;
Header makeHeader(std::uint8_t mode, std::uint64_t count);
std::uint64_t headerCount(const Header& header);

// The byte stream every sender sends: a fixed pseudo-random block repeated. Its length is not a
// power of two, so a chunk lost, repeated or reordered anywhere breaks hash and comparison.
inline constexpr std::size_t kPatternSize = (std::size_t{1} << 20) + 4093;
// The pattern bytes from stream offset `offset` up to the end of the block, at most maxLength.
std::span<const std::uint8_t> patternAt(std::uint64_t offset, std::size_t maxLength);

using Digest = std::array<std::uint8_t, 32>;

// SHA-256 of a byte stream. Uses OpenSSL's libcrypto when the build found it (its SHA extension
// path runs at ~1.6 GB/s here, the portable one at ~0.2 GB/s, which would cap every transfer);
// otherwise the project's own implementation.
class StreamHash {
 public:
  StreamHash();
  ~StreamHash();
  StreamHash(const StreamHash&) = delete;
  StreamHash& operator=(const StreamHash&) = delete;
  void update(const void* data, std::size_t length);
  Digest finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};
// SHA-256 of the first `count` bytes of the pattern stream.
Digest patternDigest(std::uint64_t count);
// Checks the fast hash against the project's SHA-256 once; false on a disagreement.
bool hashSelfCheck();
const char* hashImplementation();

struct Endpoint {
  std::string host = "127.0.0.1";
  std::uint16_t port = 0;
};
bool parseEndpoint(const std::string& text, Endpoint& out);

// How the client reaches the target: straight to `first` (a forwarder's local port, which
// forwards to the target), or, with `socks`, a SOCKS5 session to `first` and a CONNECT to
// `target` (the floor: no forwarder).
struct Route {
  Endpoint first;
  bool socks = false;
  Endpoint target;
  std::string user;
  std::string password;
};

// Blocking connect (and SOCKS5 negotiation) with a bound on every step. On failure returns an
// empty Fd and a short reason in `error`. The socket has TCP_NODELAY and send/receive time-outs.
Fd openRoute(const Route& route, int timeoutMs, std::string& error);
Fd connectTcp(const Endpoint& endpoint, int timeoutMs, std::string& error);
void setTimeouts(int fd, int timeoutMs);
bool setNonBlocking(int fd);

// Blocking send/receive of exactly the bytes given; false on error, time-out or early close.
bool sendAll(int fd, const void* data, std::size_t length);
bool recvAll(int fd, void* data, std::size_t length);

}  // namespace bench
