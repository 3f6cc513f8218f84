// The socket calls that read the same over Winsock and POSIX (see socket_os.h).
#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/socket_os.h"

int setIntOption(Socket socket, int level, int option, int value) {
  auto* bytes = reinterpret_cast<const char*>(&value);  // Winsock's type; POSIX takes any pointer
  return ::setsockopt(os(socket), level, option, bytes, sizeof value) == 0 ? 0 : -1;
}

int resolveStreamAddresses(const char* host, const char* service, ResolvedAddresses& out) {
  return resolveStreamAddressesWith(processResolverEntries(), host, service, out);
}

int resolveStreamAddressesWith(const ResolverEntries& entries, const char* host,
                               const char* service, ResolvedAddresses& out) {
  out.clear();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  int code = entries.getAddrInfo(host, service, &hints, &list);
  if (code != 0) return code;
  for (addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    ResolvedAddress address;
    address.family = entry->ai_family == AF_INET    ? kFamilyIpv4
                     : entry->ai_family == AF_INET6 ? kFamilyIpv6
                                                    : entry->ai_family;
    if (entry->ai_addr == nullptr || entry->ai_addrlen > address.address.size()) continue;
    address.length = static_cast<int>(entry->ai_addrlen);
    std::memcpy(address.address.data(), entry->ai_addr, entry->ai_addrlen);
    if (!out.add(address)) break;
  }
  entries.freeAddrInfo(list);
  return 0;
}

int setNoDelay(Socket socket) {
  return setIntOption(socket, IPPROTO_TCP, TCP_NODELAY, 1);
}

int setOobInline(Socket socket) {
  return setIntOption(socket, SOL_SOCKET, SO_OOBINLINE, 1);
}

int shutdownSend(Socket socket) {
  return ::shutdown(os(socket), kShutdownSend) == 0 ? 0 : -1;
}

bool connectTo(Socket socket, const ResolvedAddress& address) {
  int rc;
  do {
    rc = ::connect(os(socket), reinterpret_cast<const sockaddr*>(address.address.data()),
                   static_cast<AddressLength>(address.length));
  } while (rc != 0 && interrupted());
  return rc == 0;
}

bool bindIpv4(Socket socket, const std::array<std::uint8_t, 4>& address, std::uint16_t port) {
  // Windows refuses the limited broadcast address as a local address; Linux, and so Wine, would
  // bind it. Refused here, a bad local address (which parses to it) fails the same way everywhere.
  if (address == std::array<std::uint8_t, 4>{255, 255, 255, 255}) {
    setLastSocketError(kErrAddressNotAvailable);
    return false;
  }
#ifndef _WIN32
  // Winsock binds a port again while connections accepted on it are open or in TIME_WAIT;
  // POSIX needs SO_REUSEADDR for that. A port that has a listener is refused either way.
  setIntOption(socket, SOL_SOCKET, SO_REUSEADDR, 1);
#endif
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

std::uint16_t localPortOf(Socket socket) {
  sockaddr_storage storage{};
  AddressLength length = sizeof storage;
  if (::getsockname(os(socket), reinterpret_cast<sockaddr*>(&storage), &length) != 0) return 0;
  if (storage.ss_family == AF_INET)
    return ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
  if (storage.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
  return 0;
}

// Counts are int (Winsock's type): a longer buffer goes in pieces, as a short send or receive.
int sendSome(Socket socket, const void* data, std::size_t length) {
  int count = static_cast<int>(std::min<std::size_t>(length, INT_MAX));
  int sent;
  do {
    sent = static_cast<int>(::send(os(socket), static_cast<const char*>(data), count, kSendFlags));
  } while (sent < 0 && interrupted());
  return sent < 0 ? -1 : sent;
}

int recvSome(Socket socket, void* data, std::size_t length) {
  int count = static_cast<int>(std::min<std::size_t>(length, INT_MAX));
  int got;
  do {
    got = static_cast<int>(::recv(os(socket), static_cast<char*>(data), count, 0));
  } while (got < 0 && interrupted());
  return got < 0 ? -1 : got;
}
