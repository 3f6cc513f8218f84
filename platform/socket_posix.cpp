// POSIX sockets behind platform/socket.h. poll() instead of select(): fd_set overflows at 1024.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

const int kErrAddressInUse = EADDRINUSE;
const int kErrTimedOut = ETIMEDOUT;

namespace {

int fd(Socket socket) {
  return static_cast<int>(socket);
}

int familyNumber(int osFamily) {
  if (osFamily == AF_INET) return kFamilyIpv4;
  if (osFamily == AF_INET6) return kFamilyIpv6;
  return osFamily;
}

int osFamily(int family) {
  if (family == kFamilyIpv4) return AF_INET;
  if (family == kFamilyIpv6) return AF_INET6;
  return family;
}

}  // namespace

int startSocketLibrary() {
  return 0;
}
void stopSocketLibrary() {}

int lastSocketError() {
  return errno;
}
void setLastSocketError(int error) {
  errno = error;
}
bool isWouldBlock(int error) {
  return error == EAGAIN || error == EWOULDBLOCK;
}

int resolveStreamAddresses(const char* host, const char* service, ResolvedAddresses& out) {
  out.clear();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  int code = getaddrinfo(host, service, &hints, &list);
  if (code != 0) return code;
  for (addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    ResolvedAddress address;
    address.family = familyNumber(entry->ai_family);
    if (entry->ai_addrlen > address.address.size()) continue;
    address.length = static_cast<int>(entry->ai_addrlen);
    std::memcpy(address.address.data(), entry->ai_addr, entry->ai_addrlen);
    if (!out.add(address)) break;
  }
  freeaddrinfo(list);
  return 0;
}

// Same text as Winsock's WSAAddressToStringA: "a.b.c.d:port", "[v6%scope]:port"; a zero port is
// left out, and an IPv6 address without a port goes without brackets ("fe80::1%3").
void formatAddress(const ResolvedAddress& address, std::span<char> out) {
  if (out.empty()) return;
  std::memset(out.data(), 0, out.size());
  std::array<char, 128> text{};
  int written = -1;
  if (address.family == kFamilyIpv4) {
    sockaddr_in in{};
    std::memcpy(&in, address.address.data(), sizeof in);
    std::array<char, INET_ADDRSTRLEN> host{};
    inet_ntop(AF_INET, &in.sin_addr, host.data(), host.size());
    unsigned port = ntohs(in.sin_port);
    written = port != 0 ? std::snprintf(text.data(), text.size(), "%s:%u", host.data(), port)
                        : std::snprintf(text.data(), text.size(), "%s", host.data());
  } else if (address.family == kFamilyIpv6) {
    sockaddr_in6 in6{};
    std::memcpy(&in6, address.address.data(), sizeof in6);
    std::array<char, INET6_ADDRSTRLEN> host{};
    inet_ntop(AF_INET6, &in6.sin6_addr, host.data(), host.size());
    std::array<char, 16> scope{};
    if (in6.sin6_scope_id != 0)
      std::snprintf(scope.data(), scope.size(), "%%%u", in6.sin6_scope_id);
    unsigned port = ntohs(in6.sin6_port);
    written =
        port != 0
            ? std::snprintf(text.data(), text.size(), "[%s%s]:%u", host.data(), scope.data(), port)
            : std::snprintf(text.data(), text.size(), "%s%s", host.data(), scope.data());
  }
  if (written < 0 || static_cast<std::size_t>(written) >= out.size()) return;
  std::memcpy(out.data(), text.data(), static_cast<std::size_t>(written));
}

namespace {

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The port after "]:" as Winsock's parser reads it: "0x" hexadecimal, a leading 0 octal, else
// decimal; 1 to 65535 ("[::1]:010" is port 8, "[::1]:080" and "[::1]:0" are refused).
bool validPortText(const char* text) {
  int base = 10;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text += 2;
  } else if (text[0] == '0') {
    base = 8;
  }
  if (*text == '\0') return false;
  unsigned long value = 0;
  for (; *text != '\0'; ++text) {
    int digit = digitValue(*text);
    if (digit < 0 || digit >= base) return false;
    value = value * static_cast<unsigned long>(base) + static_cast<unsigned long>(digit);
    if (value > 65535) return false;
  }
  return value != 0;
}

// The scope after "%": a decimal number up to 4294967295 without leading zeros (no interface
// names: Winsock refuses "fe80::1%eth0").
bool validScopeText(const char* text, std::size_t length) {
  if (length == 0 || length > 10 || (text[0] == '0' && length > 1)) return false;
  unsigned long long value = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
  }
  return value <= 0xFFFFFFFFull;
}

}  // namespace

bool parseIpv6Text(const char* text, std::array<std::uint8_t, 16>& bytes) {
  if (text == nullptr) return false;
  std::array<char, 64> core{};
  const char* begin = text;
  std::size_t length = std::strlen(text);
  if (length > 0 && text[0] == '[') {
    // "[addr]" or "[addr]:port"
    const char* close = std::strchr(text, ']');
    if (close == nullptr) return false;
    const char* rest = close + 1;
    if (*rest == ':') {
      if (!validPortText(rest + 1)) return false;
    } else if (*rest != '\0') {
      return false;
    }
    begin = text + 1;
    length = static_cast<std::size_t>(close - begin);
  }
  // "%scope" suffix: checked, then ignored.
  const char* percent = static_cast<const char*>(std::memchr(begin, '%', length));
  if (percent != nullptr) {
    std::size_t scopeLength = static_cast<std::size_t>(begin + length - (percent + 1));
    if (!validScopeText(percent + 1, scopeLength)) return false;
    length = static_cast<std::size_t>(percent - begin);
  }
  if (length == 0 || length >= core.size()) return false;
  std::memcpy(core.data(), begin, length);
  in6_addr parsed{};
  if (inet_pton(AF_INET6, core.data(), &parsed) != 1) return false;
  std::memcpy(bytes.data(), &parsed, bytes.size());
  return true;
}

Socket openTcpSocket(int family) {
  int s = ::socket(osFamily(family), SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (s < 0) return noSocket;
  return static_cast<Socket>(s);
}

void closeSocket(Socket socket) {
  if (socket != noSocket) ::close(fd(socket));
}

int setNoDelay(Socket socket) {
  int on = 1;
  return ::setsockopt(fd(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0 ? 0 : -1;
}

int setKeepAlive(Socket socket, int idleSeconds, int intervalSeconds) {
  int on = 1;
  if (::setsockopt(fd(socket), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) return -1;
  if (::setsockopt(fd(socket), IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds) != 0)
    return -1;
  if (::setsockopt(fd(socket), IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds,
                   sizeof intervalSeconds) != 0)
    return -1;
  return 0;
}

bool setNonBlocking(Socket socket) {
  int flags = ::fcntl(fd(socket), F_GETFL, 0);
  return flags >= 0 && ::fcntl(fd(socket), F_SETFL, flags | O_NONBLOCK) == 0;
}

int setOobInline(Socket socket) {
  int on = 1;
  return ::setsockopt(fd(socket), SOL_SOCKET, SO_OOBINLINE, &on, sizeof on) == 0 ? 0 : -1;
}

int shutdownSend(Socket socket) {
  return ::shutdown(fd(socket), SHUT_WR) == 0 ? 0 : -1;
}

bool connectTo(Socket socket, const ResolvedAddress& address) {
  int rc;
  do {
    rc = ::connect(fd(socket), reinterpret_cast<const sockaddr*>(address.address.data()),
                   static_cast<socklen_t>(address.length));
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool bindIpv4(Socket socket, const std::array<std::uint8_t, 4>& address, std::uint16_t port) {
  // Winsock refuses the limited broadcast address as a local address; Linux would bind it.
  // Refused alike, a bad local address (which parses to it) fails the same way everywhere.
  if (address == std::array<std::uint8_t, 4>{255, 255, 255, 255}) {
    errno = EADDRNOTAVAIL;
    return false;
  }
  // Winsock binds a port again while connections accepted on it are open or in TIME_WAIT;
  // POSIX needs SO_REUSEADDR for that. A port that has a listener is refused either way.
  int on = 1;
  ::setsockopt(fd(socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(port);
  std::memcpy(&in.sin_addr, address.data(), address.size());
  return ::bind(fd(socket), reinterpret_cast<const sockaddr*>(&in), sizeof in) == 0;
}

bool listenOn(Socket socket, int backlog) {
  return ::listen(fd(socket), backlog) == 0;
}

int maxListenBacklog() {
  return SOMAXCONN;
}

Socket acceptConnection(Socket listener) {
  int s;
  do {
    s = ::accept4(fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
  } while (s < 0 && errno == EINTR);
  if (s < 0) return noSocket;
  return static_cast<Socket>(s);
}

std::uint16_t localPortOf(Socket socket) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getsockname(fd(socket), reinterpret_cast<sockaddr*>(&storage), &length) != 0) return 0;
  if (storage.ss_family == AF_INET)
    return ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
  if (storage.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
  return 0;
}

int sendSome(Socket socket, const void* data, std::size_t length) {
  ssize_t n;
  do {
    n = ::send(fd(socket), data, length, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<int>(n);
}

int recvSome(Socket socket, void* data, std::size_t length) {
  ssize_t n;
  do {
    n = ::recv(fd(socket), data, length, 0);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<int>(n);
}

int waitSockets(std::span<WaitItem> items, std::chrono::microseconds timeout) {
  std::array<pollfd, 8> fds{};
  if (items.size() > fds.size()) {
    errno = EINVAL;
    return -1;
  }
  for (std::size_t i = 0; i < items.size(); ++i) {
    fds[i].fd = fd(items[i].socket);
    // No POLLPRI: urgent data is read in line, or not at all.
    fds[i].events =
        static_cast<short>((items[i].wantRead ? POLLIN : 0) | (items[i].wantWrite ? POLLOUT : 0));
    items[i].readable = items[i].writable = false;
  }
  // Round up to whole milliseconds so a wait is never shorter than asked.
  auto ms = static_cast<int>((timeout.count() + 999) / 1000);
  int rc;
  do {
    rc = ::poll(fds.data(), static_cast<nfds_t>(items.size()), ms);
  } while (rc < 0 && errno == EINTR);
  if (rc <= 0) return rc;
  int ready = 0;
  for (std::size_t i = 0; i < items.size(); ++i) {
    short got = fds[i].revents;
    bool failed = (got & (POLLERR | POLLHUP | POLLNVAL)) != 0;
    items[i].readable = items[i].wantRead && ((got & POLLIN) != 0 || failed);
    items[i].writable = items[i].wantWrite && ((got & POLLOUT) != 0 || failed);
    if (items[i].readable || items[i].writable) ++ready;
  }
  return ready;
}
