#include "bench/bench_net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "bench/sha256.h"

#ifdef QUILLAN_BENCH_OPENSSL
#include <openssl/evp.h>
#endif

namespace bench {

void Fd::reset(int fd) {
  int old = std::exchange(fd_, fd);
  if (old >= 0) ::close(old);
}

Header makeHeader(std::uint8_t mode, std::uint64_t count) {
  Header header{};
  header[0] = mode;
  for (int i = 0; i < 8; ++i) header[8 + i] = static_cast<std::uint8_t>(count >> (56 - 8 * i));
  return header;
}

std::uint64_t headerCount(const Header& header) {
  std::uint64_t count = 0;
  for (int i = 0; i < 8; ++i) count = (count << 8) | header[8 + i];
  return count;
}

namespace {

const std::vector<std::uint8_t>& patternBlock() {
  static const std::vector<std::uint8_t> block = [] {
    std::vector<std::uint8_t> bytes(kPatternSize);
    std::uint64_t x = 0x9e3779b97f4a7c15ULL;  // xorshift64
    for (auto& byte : bytes) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      byte = static_cast<std::uint8_t>(x >> 24);
    }
    return bytes;
  }();
  return block;
}

}  // namespace

std::span<const std::uint8_t> patternAt(std::uint64_t offset, std::size_t maxLength) {
  const auto& block = patternBlock();
  std::size_t position = static_cast<std::size_t>(offset % kPatternSize);
  return {block.data() + position, std::min(maxLength, kPatternSize - position)};
}

#ifdef QUILLAN_BENCH_OPENSSL
struct StreamHash::State {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  State() { EVP_DigestInit_ex(context, EVP_sha256(), nullptr); }
  ~State() { EVP_MD_CTX_free(context); }
};
StreamHash::StreamHash() : state_(std::make_unique<State>()) {}
StreamHash::~StreamHash() = default;
void StreamHash::update(const void* data, std::size_t length) {
  EVP_DigestUpdate(state_->context, data, length);
}
Digest StreamHash::finish() {
  Digest digest{};
  unsigned int length = 0;
  EVP_DigestFinal_ex(state_->context, digest.data(), &length);
  EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr);
  return digest;
}
const char* hashImplementation() {
  return "OpenSSL libcrypto";
}
#else
struct StreamHash::State {
  Sha256 sha;
};
StreamHash::StreamHash() : state_(std::make_unique<State>()) {}
StreamHash::~StreamHash() = default;
void StreamHash::update(const void* data, std::size_t length) {
  state_->sha.update(data, length);
}
Digest StreamHash::finish() {
  return state_->sha.finish();
}
const char* hashImplementation() {
  return "bench/sha256 (portable, ~0.2 GB/s)";
}
#endif

Digest patternDigest(std::uint64_t count) {
  StreamHash hash;
  for (std::uint64_t offset = 0; offset < count;) {
    auto chunk = patternAt(offset, static_cast<std::size_t>(std::min<std::uint64_t>(
                                       count - offset, std::uint64_t{1} << 20)));
    hash.update(chunk.data(), chunk.size());
    offset += chunk.size();
  }
  return hash.finish();
}

bool hashSelfCheck() {
  // Uneven pieces across the 64-byte block boundary, compared with the project's SHA-256.
  StreamHash fast;
  Sha256 reference;
  std::uint64_t offset = 0;
  for (std::size_t piece : {1, 63, 64, 65, 1000, 70001}) {
    auto chunk = patternAt(offset, piece);
    fast.update(chunk.data(), chunk.size());
    reference.update(chunk.data(), chunk.size());
    offset += chunk.size();
  }
  Digest a = fast.finish();
  Sha256::Digest b = reference.finish();
  return std::equal(a.begin(), a.end(), b.begin());
}

bool parseEndpoint(const std::string& text, Endpoint& out) {
  auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), ::isdigit)) {
    return false;
  }
  unsigned long value = std::stoul(port);
  if (value == 0 || value > 65535) return false;
  out.host = text.substr(0, colon);
  out.port = static_cast<std::uint16_t>(value);
  return true;
}

void setTimeouts(int fd, int timeoutMs) {
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool setNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool sendAll(int fd, const void* data, std::size_t length) {
  auto* bytes = static_cast<const std::uint8_t*>(data);
  while (length > 0) {
    ssize_t sent = ::send(fd, bytes, length, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes += sent;
    length -= static_cast<std::size_t>(sent);
  }
  return true;
}

bool recvAll(int fd, void* data, std::size_t length) {
  auto* bytes = static_cast<std::uint8_t*>(data);
  while (length > 0) {
    ssize_t got = ::recv(fd, bytes, length, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    length -= static_cast<std::size_t>(got);
  }
  return true;
}

namespace {

bool ipv4Address(const Endpoint& endpoint, sockaddr_in& address) {
  address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(endpoint.port);
  return ::inet_pton(AF_INET, endpoint.host.c_str(), &address.sin_addr) == 1;
}

std::string errnoText(const char* step) {
  return std::string(step) + ": " + std::strerror(errno);
}

// SOCKS5 (RFC 1928, RFC 1929) to an IPv4 target, as the floor of the benchmark.
bool socksConnect(int fd, const Route& route, std::string& error) {
  bool login = !route.user.empty();
  // Greeting: VER=5, NMETHODS=1, METHOD (0 none, 2 user/password).
  std::array<std::uint8_t, 3> greeting{5, 1, static_cast<std::uint8_t>(login ? 2 : 0)};
  std::array<std::uint8_t, 2> choice{};
  if (!sendAll(fd, greeting.data(), greeting.size()) || !recvAll(fd, choice.data(), 2)) {
    error = errnoText("socks greeting");
    return false;
  }
  if (choice[0] != 5 || choice[1] != greeting[2]) {
    error = "socks method refused";
    return false;
  }
  if (login) {
    // VER=1, ULEN, UNAME, PLEN, PASSWD.
    std::vector<std::uint8_t> request{1, static_cast<std::uint8_t>(route.user.size())};
    request.insert(request.end(), route.user.begin(), route.user.end());
    request.push_back(static_cast<std::uint8_t>(route.password.size()));
    request.insert(request.end(), route.password.begin(), route.password.end());
    std::array<std::uint8_t, 2> status{};
    if (!sendAll(fd, request.data(), request.size()) || !recvAll(fd, status.data(), 2)) {
      error = errnoText("socks login");
      return false;
    }
    if (status[1] != 0) {
      error = "socks login refused";
      return false;
    }
  }
  sockaddr_in target{};
  if (!ipv4Address(route.target, target)) {
    error = "target must be an IPv4 address";
    return false;
  }
  // VER=5, CMD=1 CONNECT, RSV, ATYP=1 IPv4, DST.ADDR (4), DST.PORT (2, network order).
  std::array<std::uint8_t, 10> request{5, 1, 0, 1};
  std::memcpy(&request[4], &target.sin_addr, 4);
  std::memcpy(&request[8], &target.sin_port, 2);
  // Reply: VER, REP, RSV, ATYP, then BND.ADDR by ATYP and BND.PORT.
  std::array<std::uint8_t, 4 + 256 + 2> reply{};
  if (!sendAll(fd, request.data(), request.size()) || !recvAll(fd, reply.data(), 4)) {
    error = errnoText("socks connect");
    return false;
  }
  if (reply[1] != 0) {
    error = "socks connect refused: " + std::to_string(reply[1]);
    return false;
  }
  std::size_t rest = reply[3] == 1 ? 4 + 2 : reply[3] == 4 ? 16 + 2 : 0;
  if (reply[3] == 3) {
    if (!recvAll(fd, &reply[4], 1)) return false;
    rest = reply[4] + 2;
  }
  if (rest == 0 || !recvAll(fd, &reply[5], rest)) {
    error = "socks connect reply";
    return false;
  }
  return true;
}

}  // namespace

Fd connectTcp(const Endpoint& endpoint, int timeoutMs, std::string& error) {
  sockaddr_in address{};
  if (!ipv4Address(endpoint, address)) {
    error = "not an IPv4 address: " + endpoint.host;
    return {};
  }
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    error = errnoText("socket");
    return {};
  }
  int one = 1;
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  setTimeouts(fd.get(), timeoutMs);  // SO_SNDTIMEO also bounds connect on Linux
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    error = errnoText("connect");
    return {};
  }
  return fd;
}

Fd openRoute(const Route& route, int timeoutMs, std::string& error) {
  Fd fd = connectTcp(route.first, timeoutMs, error);
  if (fd && route.socks && !socksConnect(fd.get(), route, error)) return {};
  return fd;
}

}  // namespace bench
