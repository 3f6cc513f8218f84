// Winsock 2.2 behind platform/socket.h: the calls socket_common.cpp does not share.
#include <algorithm>
#include <cstring>

#include "platform/socket_os.h"

const int kErrAddressInUse = WSAEADDRINUSE;
const int kErrTimedOut = WSAETIMEDOUT;

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
bool isAbortedConnection(int error) {
  return error == WSAECONNABORTED || error == WSAECONNRESET || error == WSAEINTR;
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
  // Not inherited by child processes (the browser the product page opens in, for one), so a
  // closed listener really frees its port; the POSIX side uses SOCK_CLOEXEC for the same reason.
  SOCKET s = ::WSASocketA(osFamily(family), SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
    // Before Windows 7 SP1 the no-inherit flag is unknown: clear the flag on the handle instead.
    s = ::socket(osFamily(family), SOCK_STREAM, IPPROTO_TCP);
    if (s != INVALID_SOCKET)
      SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  }
  return s == INVALID_SOCKET ? noSocket : static_cast<Socket>(s);
}

void closeSocket(Socket socket) {
  if (socket != noSocket) ::closesocket(os(socket));
}

int setKeepAlive(Socket socket, int idleSeconds, int intervalSeconds) {
  tcp_keepalive settings{};
  settings.onoff = 1;
  settings.keepalivetime = static_cast<ULONG>(idleSeconds) * 1000;
  settings.keepaliveinterval = static_cast<ULONG>(intervalSeconds) * 1000;
  DWORD returned = 0;
  int rc = WSAIoctl(os(socket), SIO_KEEPALIVE_VALS, &settings, sizeof settings, nullptr, 0,
                    &returned, nullptr, nullptr);
  return rc == 0 ? 0 : -1;
}

bool setNonBlocking(Socket socket) {
  u_long on = 1;
  return ::ioctlsocket(os(socket), FIONBIO, &on) == 0;
}

Socket acceptConnection(Socket listener) {
  // The new socket takes the listener's non-blocking mode of its own accord.
  SOCKET s = ::accept(os(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) return noSocket;
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return static_cast<Socket>(s);
}

int waitSockets(std::span<WaitItem> items, std::chrono::microseconds timeout) {
  if (items.size() > kMaxWaitItems) {
    WSASetLastError(WSAEINVAL);
    return -1;
  }
  for (WaitItem& item : items) item.readable = item.writable = false;
  auto deadline = std::chrono::steady_clock::now() + std::max(timeout, decltype(timeout){0});
  if (std::none_of(items.begin(), items.end(),
                   [](const WaitItem& item) { return item.wantRead || item.wantWrite; })) {
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
