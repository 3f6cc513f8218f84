// Winsock 2.2 behind platform/socket.h.
#include "platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

const int kErrAddressInUse = WSAEADDRINUSE;
const int kErrTimedOut = WSAETIMEDOUT;

namespace {

SOCKET os(Socket socket) {
  return static_cast<SOCKET>(socket);
}

int familyNumber(int osFamily) {
  if (osFamily == AF_INET) return kFamilyIpv4;
  if (osFamily == AF_INET6) return kFamilyIpv6;
  return osFamily;
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

int resolveStreamAddresses(const char* host, const char* service,
                           std::vector<ResolvedAddress>& out) {
  out.clear();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  int code = ::getaddrinfo(host, service, &hints, &list);
  if (code != 0) return code;
  for (addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    ResolvedAddress address;
    address.family = familyNumber(entry->ai_family);
    if (entry->ai_addrlen > address.address.size()) continue;
    address.length = static_cast<int>(entry->ai_addrlen);
    std::memcpy(address.address.data(), entry->ai_addr, entry->ai_addrlen);
    out.push_back(address);
  }
  ::freeaddrinfo(list);
  return 0;
}

void formatAddress(const ResolvedAddress& address, std::span<char> out) {
  if (out.empty()) return;
  std::memset(out.data(), 0, out.size());
  DWORD length = static_cast<DWORD>(out.size());
  sockaddr_storage copy{};
  std::memcpy(&copy, address.address.data(), sizeof copy);
  WSAAddressToStringA(reinterpret_cast<sockaddr*>(&copy), static_cast<DWORD>(address.length),
                      nullptr, out.data(), &length);
  out[out.size() - 1] = '\0';
}

bool parseIpv6Text(const char* text, std::array<std::uint8_t, 16>& bytes) {
  if (text == nullptr) return false;
  std::array<char, 256> copy{};  // WSAStringToAddressA wants a writable string
  std::size_t length = std::strlen(text);
  if (length >= copy.size()) return false;
  std::memcpy(copy.data(), text, length);
  sockaddr_in6 in6{};
  INT size = sizeof in6;
  if (WSAStringToAddressA(copy.data(), AF_INET6, nullptr, reinterpret_cast<sockaddr*>(&in6),
                          &size) != 0)
    return false;
  std::memcpy(bytes.data(), &in6.sin6_addr, bytes.size());
  return true;
}

Socket openTcpSocket(int family) {
  int osFamily = family == kFamilyIpv4 ? AF_INET : family == kFamilyIpv6 ? AF_INET6 : family;
  SOCKET s = ::socket(osFamily, SOCK_STREAM, IPPROTO_TCP);
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

bool connectTo(Socket socket, const ResolvedAddress& address) {
  return ::connect(os(socket), reinterpret_cast<const sockaddr*>(address.address.data()),
                   address.length) == 0;
}

bool bindIpv4(Socket socket, const std::array<std::uint8_t, 4>& address, std::uint16_t port) {
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

int sendSome(Socket socket, const void* data, std::size_t length) {
  int n = ::send(os(socket), static_cast<const char*>(data), static_cast<int>(length), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

int recvSome(Socket socket, void* data, std::size_t length) {
  int n = ::recv(os(socket), static_cast<char*>(data), static_cast<int>(length), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

int waitSockets(std::span<WaitItem> items, std::chrono::microseconds timeout) {
  // Winsock's fd_set is a counted array (FD_SETSIZE 64), so select is safe for our few sockets.
  fd_set readSet;
  fd_set writeSet;
  fd_set errorSet;
  FD_ZERO(&readSet);
  FD_ZERO(&writeSet);
  FD_ZERO(&errorSet);
  for (WaitItem& item : items) {
    item.readable = item.writable = false;
    if (item.wantRead) FD_SET(os(item.socket), &readSet);
    if (item.wantWrite) FD_SET(os(item.socket), &writeSet);
    FD_SET(os(item.socket), &errorSet);
  }
  timeval limit{};
  limit.tv_sec = static_cast<long>(timeout.count() / 1000000);
  limit.tv_usec = static_cast<long>(timeout.count() % 1000000);
  int rc = ::select(0, &readSet, &writeSet, &errorSet, &limit);
  if (rc <= 0) return rc == SOCKET_ERROR ? -1 : 0;
  int ready = 0;
  for (WaitItem& item : items) {
    bool failed = FD_ISSET(os(item.socket), &errorSet) != 0;
    item.readable = item.wantRead && (FD_ISSET(os(item.socket), &readSet) != 0 || failed);
    item.writable = item.wantWrite && (FD_ISSET(os(item.socket), &writeSet) != 0 || failed);
    if (item.readable || item.writable) ++ready;
  }
  return ready;
}
