// The resolver entry points behind resolveStreamAddresses on Windows: getaddrinfo & co. from the
// system directory's socket library (or its IPv6 support library), else an IPv4-only stand-in.
// Windows only; seen by socket_win.cpp and the platform tests, never by the core.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/socket.h"

using GetAddrInfoEntry = decltype(&::getaddrinfo);
using GetNameInfoEntry = decltype(&::getnameinfo);
using FreeAddrInfoEntry = decltype(&::freeaddrinfo);

enum class ResolverSource { systemSocketLibrary, ipv6SupportLibrary, ipv4Only };

struct ResolverEntries {
  GetAddrInfoEntry getAddrInfo = nullptr;
  GetNameInfoEntry getNameInfo = nullptr;
  FreeAddrInfoEntry freeAddrInfo = nullptr;
  ResolverSource source = ResolverSource::ipv4Only;
};

// Looks the entry points up in `systemDirectory` ("C:\windows\system32", no trailing
// backslash needed): ws2_32.dll if it offers getaddrinfo, else wship6.dll; a library counts only
// if it offers all three. nullptr, or nothing usable there, gives the IPv4-only resolver. A
// library that is used stays loaded for the life of the process.
ResolverEntries loadResolverEntries(const char* systemDirectory);

// The process's entry points, looked up once at first use from GetSystemDirectoryA's directory.
ResolverEntries processResolverEntries();

// The IPv4-only resolver: gethostbyname/getservbyname dressed as getaddrinfo, with the same
// result codes (EAI_NONAME = WSAHOST_NOT_FOUND, EAI_SERVICE = WSATYPE_NOT_FOUND, ...).
int WSAAPI ipv4OnlyGetAddrInfo(const char* node, const char* service, const addrinfo* hints,
                               addrinfo** result);
int WSAAPI ipv4OnlyGetNameInfo(const sockaddr* address, socklen_t addressLength, char* host,
                               DWORD hostLength, char* service, DWORD serviceLength, int flags);
void WSAAPI ipv4OnlyFreeAddrInfo(addrinfo* list);

// resolveStreamAddresses through the given entry points.
int resolveStreamAddressesWith(const ResolverEntries& entries, const char* host,
                               const char* service, ResolvedAddresses& out);
