// Winsock 2.2 behind platform/socket.h.
#include "platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/resolver_win.h"

const int kErrAddressInUse = WSAEADDRINUSE;
const int kErrTimedOut = WSAETIMEDOUT;

namespace {

constexpr std::size_t kMaxWaitItems = 8;

SOCKET os(Socket socket) {
  return static_cast<SOCKET>(socket);
}

}  // namespace

int startSocketLibrary() {
  WSADATA data;
  int rc = WSAStartup(MAKEWORD(2, 2), &data);
  if (rc != 0) return rc;
  if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
    WSACleanup();
    return WSAVERNOTSUPPORTED;
  }
  return 0;
}

void stopSocketLibrary() {
  WSACleanup();
}

int lastSocketError() {
  return WSAGetLastError();
}
void setLastSocketError(int error) {
  WSASetLastError(error);
}
bool isWouldBlock(int error) {
  return error == WSAEWOULDBLOCK;
}

int resolveStreamAddresses(const char* host, const char* service, ResolvedAddresses& out) {
  return resolveStreamAddressesWith(processResolverEntries(), host, service, out);
}

void formatAddress(const ResolvedAddress& address, std::span<char> out) {
  if (out.empty()) return;
  std::memset(out.data(), 0, out.size());
  if (address.length <= 0 || static_cast<std::size_t>(address.length) > address.address.size())
    return;
  // The text is for the log only: its failure (WSAEFAULT when it does not fit) must not replace
  // the error of the step being logged.
  int savedError = WSAGetLastError();
  sockaddr_storage copy{};
  std::memcpy(&copy, address.address.data(), static_cast<std::size_t>(address.length));
  DWORD length = static_cast<DWORD>(out.size());
  if (WSAAddressToStringA(reinterpret_cast<sockaddr*>(&copy), static_cast<DWORD>(address.length),
                          nullptr, out.data(), &length) != 0)
    std::memset(out.data(), 0, out.size());
  out[out.size() - 1] = '\0';
  WSASetLastError(savedError);
}

bool parseIpv6Text(const char* text, std::array<std::uint8_t, 16>& bytes) {
  if (text == nullptr) return false;
  std::array<char, 256> copy{};  // WSAStringToAddressA wants a writable string
  std::size_t length = std::strlen(text);
  if (length >= copy.size()) return false;
  std::memcpy(copy.data(), text, length);
  sockaddr_in6 in6{};
  INT size = sizeof in6;
  // A refused text is an answer, not a socket failure: keep the caller's last error (WSAEINVAL
  // would otherwise show up in the next step's log line).
  int savedError = WSAGetLastError();
  bool parsed = WSAStringToAddressA(copy.data(), AF_INET6, nullptr,
                                    reinterpret_cast<sockaddr*>(&in6), &size) == 0;
  WSASetLastError(savedError);
  if (!parsed) return false;
  std::memcpy(bytes.data(), &in6.sin6_addr, bytes.size());
  return true;
}

Socket openTcpSocket(int family) {
  int osFamily = family == kFamilyIpv4 ? AF_INET : family == kFamilyIpv6 ? AF_INET6 : family;
  // Not inherited by child processes (the browser the product page opens in, for one), so a
  // closed listener really frees its port; the POSIX side uses SOCK_CLOEXEC for the same reason.
  SOCKET s = ::WSASocketA(osFamily, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
    // Before Windows 7 SP1 the no-inherit flag is unknown: clear the flag on the handle instead.
    s = ::socket(osFamily, SOCK_STREAM, IPPROTO_TCP);
    if (s != INVALID_SOCKET)
      SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  }
  if (s == INVALID_SOCKET) return noSocket;
  return static_cast<Socket>(s);
}

void closeSocket(Socket socket) {
  if (socket != noSocket) ::closesocket(os(socket));
}

int setNoDelay(Socket socket) {
  BOOL on = TRUE;
  return ::setsockopt(os(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                      sizeof on) == 0
             ? 0
             : -1;
}

int setKeepAlive(Socket socket, int idleSeconds, int intervalSeconds) {
  tcp_keepalive settings{};
  settings.onoff = 1;
  settings.keepalivetime = static_cast<ULONG>(idleSeconds) * 1000;
  settings.keepaliveinterval = static_cast<ULONG>(intervalSeconds) * 1000;
  DWORD returned = 0;
  return WSAIoctl(os(socket), SIO_KEEPALIVE_VALS, &settings, sizeof settings, nullptr, 0, &returned,
                  nullptr, nullptr) == 0
             ? 0
             : -1;
}

bool setNonBlocking(Socket socket) {
  u_long on = 1;
  return ::ioctlsocket(os(socket), FIONBIO, &on) == 0;
}

int setOobInline(Socket socket) {
  BOOL on = TRUE;
  return ::setsockopt(os(socket), SOL_SOCKET, SO_OOBINLINE, reinterpret_cast<const char*>(&on),
                      sizeof on) == 0
             ? 0
             : -1;
}

int shutdownSend(Socket socket) {
  return ::shutdown(os(socket), SD_SEND) == 0 ? 0 : -1;
}

bool connectTo(Socket socket, const ResolvedAddress& address) {
  return ::connect(os(socket), reinterpret_cast<const sockaddr*>(address.address.data()),
                   address.length) == 0;
}

bool bindIpv4(Socket socket, const std::array<std::uint8_t, 4>& address, std::uint16_t port) {
  // Windows refuses the limited broadcast address as a local address (WSAEADDRNOTAVAIL); Wine
  // passes it to Linux, which binds it. Refused here, a bad local address (which parses to it)
  // fails the same way under both and on POSIX.
  if (address == std::array<std::uint8_t, 4>{255, 255, 255, 255}) {
    WSASetLastError(WSAEADDRNOTAVAIL);
    return false;
  }
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(port);
  std::memcpy(&in.sin_addr, address.data(), address.size());
  return ::bind(os(socket), reinterpret_cast<const sockaddr*>(&in), sizeof in) == 0;
}

bool listenOn(Socket socket, int backlog) {
  return ::listen(os(socket), backlog) == 0;
}

int maxListenBacklog() {
  return SOMAXCONN;
}

Socket acceptConnection(Socket listener) {
  SOCKET s = ::accept(os(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) return noSocket;
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return static_cast<Socket>(s);
}

std::uint16_t localPortOf(Socket socket) {
  sockaddr_storage storage{};
  int length = sizeof storage;
  if (::getsockname(os(socket), reinterpret_cast<sockaddr*>(&storage), &length) != 0) return 0;
  if (storage.ss_family == AF_INET)
    return ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
  if (storage.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
  return 0;
}

// Winsock counts in int: a longer buffer goes in pieces, as a short send or receive.
int sendSome(Socket socket, const void* data, std::size_t length) {
  int count = static_cast<int>(std::min<std::size_t>(length, INT_MAX));
  int n = ::send(os(socket), static_cast<const char*>(data), count, 0);
  return n == SOCKET_ERROR ? -1 : n;
}

int recvSome(Socket socket, void* data, std::size_t length) {
  int count = static_cast<int>(std::min<std::size_t>(length, INT_MAX));
  int n = ::recv(os(socket), static_cast<char*>(data), count, 0);
  return n == SOCKET_ERROR ? -1 : n;
}

int waitSockets(std::span<WaitItem> items, std::chrono::microseconds timeout) {
  // Same bound as the POSIX side's poll array, so both accept the same calls.
  if (items.size() > kMaxWaitItems) {
    WSASetLastError(WSAEINVAL);
    return -1;
  }
  for (WaitItem& item : items) item.readable = item.writable = false;
  auto deadline = std::chrono::steady_clock::now() + std::max(timeout, decltype(timeout){0});
  if (items.empty()) {
    // select refuses three empty sets (WSAEINVAL); poll just sleeps.
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(timeout).count();
    if (ms > 0) Sleep(static_cast<DWORD>(ms));
    return 0;
  }
  for (;;) {
    // Winsock's fd_set is a counted array (FD_SETSIZE 64), so select is safe for our few
    // sockets. A failed non-blocking connect shows in the exception set only, so a socket waited
    // on for writing is put there too and counts as writable when it is signalled. A socket
    // waited on only for reading is not: urgent data not in line keeps it signalled there with
    // nothing to read, which would wake the wait again and again.
    fd_set readSet;
    fd_set writeSet;
    fd_set errorSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_ZERO(&errorSet);
    for (WaitItem& item : items) {
      if (item.wantRead) FD_SET(os(item.socket), &readSet);
      if (item.wantWrite) {
        FD_SET(os(item.socket), &writeSet);
        FD_SET(os(item.socket), &errorSet);
      }
    }
    // select may wake a little before its time-out (timer granularity): wait again for the
    // rest, so a wait is never shorter than asked, as with poll.
    auto left =
        std::chrono::ceil<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) left = std::chrono::microseconds{0};
    timeval limit{};
    limit.tv_sec = static_cast<long>(left.count() / 1000000);
    limit.tv_usec = static_cast<long>(left.count() % 1000000);
    int rc = ::select(0, &readSet, &writeSet, &errorSet, &limit);
    if (rc == SOCKET_ERROR) return -1;
    if (rc == 0) {
      if (std::chrono::steady_clock::now() >= deadline) return 0;
      continue;
    }
    int ready = 0;
    for (WaitItem& item : items) {
      bool failed = FD_ISSET(os(item.socket), &errorSet) != 0;
      item.readable = item.wantRead && FD_ISSET(os(item.socket), &readSet) != 0;
      item.writable = item.wantWrite && (FD_ISSET(os(item.socket), &writeSet) != 0 || failed);
      if (item.readable || item.writable) ++ready;
    }
    if (ready > 0 || std::chrono::steady_clock::now() >= deadline) return ready;
  }
}
