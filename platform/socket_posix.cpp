// POSIX sockets behind platform/socket.h, for the native build: tests, sanitizers, fuzzing and
// benchmarks (the shipped program is the Winsock one). Of Winsock's text forms only those the log
// and the CONNECT request show are reproduced: "a.b.c.d:port" and "[v6%scope]:port", left empty
// when they do not fit, and IPv6 literals plain, bracketed, with a "]:port" or "%scope" of decimal
// digits (both ignored). Winsock's forms for a zero port and its rules for port and scope numbers
// are not. poll() instead of select(): fd_set overflows at 1024.
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string_view>
#include <unistd.h>

#include "platform/socket_os.h"

const int kErrAddressInUse = EADDRINUSE;
const int kErrTimedOut = ETIMEDOUT;

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
bool isAbortedConnection(int error) {
  // Linux hands on pending network errors of the new connection from accept as well.
  return error == ECONNABORTED || error == ECONNRESET || error == EPROTO || error == EINTR;
}

const ResolverEntries& processResolverEntries() {
  static const ResolverEntries entries{::getaddrinfo, ::freeaddrinfo};
  return entries;
}

void formatAddress(const ResolvedAddress& address, std::span<char> out) {
  if (out.empty()) return;
  std::memset(out.data(), 0, out.size());
  std::array<char, INET6_ADDRSTRLEN> host{};
  int written = -1;
  if (address.family == kFamilyIpv4) {
    sockaddr_in in{};
    std::memcpy(&in, address.address.data(), sizeof in);
    inet_ntop(AF_INET, &in.sin_addr, host.data(), host.size());
    written = std::snprintf(out.data(), out.size(), "%s:%u", host.data(), ntohs(in.sin_port));
  } else if (address.family == kFamilyIpv6) {
    sockaddr_in6 in6{};
    std::memcpy(&in6, address.address.data(), sizeof in6);
    inet_ntop(AF_INET6, &in6.sin6_addr, host.data(), host.size());
    unsigned port = ntohs(in6.sin6_port);
    written = in6.sin6_scope_id != 0
                  ? std::snprintf(out.data(), out.size(), "[%s%%%u]:%u", host.data(),
                                  in6.sin6_scope_id, port)
                  : std::snprintf(out.data(), out.size(), "[%s]:%u", host.data(), port);
  }
  if (written < 0 || static_cast<std::size_t>(written) >= out.size())
    std::memset(out.data(), 0, out.size());
}

namespace {

bool decimal(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

bool parseIpv6Text(const char* text, std::array<std::uint8_t, 16>& bytes) {
  std::string_view core = text != nullptr ? text : "";
  if (core.starts_with('[')) {
    const std::size_t close = core.find(']');
    if (close == std::string_view::npos) return false;
    const std::string_view port = core.substr(close + 1);
    if (!port.empty() && (port[0] != ':' || !decimal(port.substr(1)))) return false;
    core = core.substr(1, close - 1);
  }
  if (const std::size_t percent = core.find('%'); percent != std::string_view::npos) {
    if (!decimal(core.substr(percent + 1))) return false;
    core = core.substr(0, percent);
  }
  std::array<char, INET6_ADDRSTRLEN> copy{};
  if (core.size() >= copy.size()) return false;
  std::memcpy(copy.data(), core.data(), core.size());
  return inet_pton(AF_INET6, copy.data(), bytes.data()) == 1;
}

Socket openTcpSocket(int family) {
  int s = ::socket(osFamily(family), SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  return s < 0 ? noSocket : static_cast<Socket>(s);
}

void closeSocket(Socket socket) {
  if (socket != noSocket) ::close(os(socket));
}

int setKeepAlive(Socket socket, int idleSeconds, int intervalSeconds) {
  bool set = setIntOption(socket, SOL_SOCKET, SO_KEEPALIVE, 1) == 0 &&
             setIntOption(socket, IPPROTO_TCP, TCP_KEEPIDLE, idleSeconds) == 0 &&
             setIntOption(socket, IPPROTO_TCP, TCP_KEEPINTVL, intervalSeconds) == 0;
  return set ? 0 : -1;
}

bool setNonBlocking(Socket socket) {
  int flags = ::fcntl(os(socket), F_GETFL, 0);
  return flags >= 0 && ::fcntl(os(socket), F_SETFL, flags | O_NONBLOCK) == 0;
}

Socket acceptConnection(Socket listener) {
  const int listenerFlags = ::fcntl(os(listener), F_GETFL, 0);
  const int flags =
      SOCK_CLOEXEC | (listenerFlags >= 0 && (listenerFlags & O_NONBLOCK) != 0 ? SOCK_NONBLOCK : 0);
  int s;
  do {
    s = ::accept4(os(listener), nullptr, nullptr, flags);
  } while (s < 0 && interrupted());
  return s < 0 ? noSocket : static_cast<Socket>(s);
}

int waitSockets(std::span<WaitItem> items, std::chrono::microseconds timeout) {
  std::array<pollfd, kMaxWaitItems> fds{};
  if (items.size() > fds.size()) {
    errno = EINVAL;
    return -1;
  }
  for (std::size_t i = 0; i < items.size(); ++i) {
    fds[i].fd = items[i].wantRead || items[i].wantWrite ? os(items[i].socket) : -1;
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
  } while (rc < 0 && interrupted());
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
