// The OS socket headers and the few things that differ between Winsock and POSIX, for the
// platform sources only. The structures socket_common.cpp uses (sockaddr_in, sockaddr_in6,
// sockaddr_storage, addrinfo) have the same fields on both.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using OsSocket = SOCKET;
using AddressLength = int;
inline constexpr int kShutdownSend = SD_SEND;
inline constexpr int kSendFlags = 0;
inline constexpr int kErrAddressNotAvailable = WSAEADDRNOTAVAIL;
inline bool interrupted() {
  return false;
}
#else
#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
using OsSocket = int;
using AddressLength = socklen_t;
inline constexpr int kShutdownSend = SHUT_WR;
inline constexpr int kSendFlags = MSG_NOSIGNAL;  // a vanished peer is an error, not SIGPIPE
inline constexpr int kErrAddressNotAvailable = EADDRNOTAVAIL;
inline bool interrupted() {
  return errno == EINTR;
}
#endif

#include "platform/socket.h"

// The most sockets one waitSockets call takes, alike on both sides.
inline constexpr std::size_t kMaxWaitItems = 8;

inline OsSocket os(Socket socket) {
  return static_cast<OsSocket>(socket);
}

inline int osFamily(int family) {
  return family == kFamilyIpv4 ? AF_INET : family == kFamilyIpv6 ? AF_INET6 : family;
}

// setsockopt with an int value (a BOOL on Winsock is one). 0 or -1.
int setIntOption(Socket socket, int level, int option, int value);

// The resolver calls behind resolveStreamAddresses: the C library's on POSIX; on Windows the ones
// looked up once at first use (resolver_win.cpp).
struct ResolverEntries {
  decltype(&::getaddrinfo) getAddrInfo = nullptr;
  decltype(&::freeaddrinfo) freeAddrInfo = nullptr;
};
const ResolverEntries& processResolverEntries();

// resolveStreamAddresses through the given entry points.
int resolveStreamAddressesWith(const ResolverEntries& entries, const char* host,
                               const char* service, ResolvedAddresses& out);
