// Where resolveStreamAddresses finds getaddrinfo and freeaddrinfo on Windows: the system
// directory's socket library (or its IPv6 support library), else an IPv4-only stand-in.
// Windows only; seen by the platform sources and tests, never by the core.
#pragma once

#include "platform/socket_os.h"

// Looks the entry points up in `systemDirectory` ("C:\windows\system32", no trailing
// backslash needed): ws2_32.dll if it offers getaddrinfo, else wship6.dll; a library counts only
// if it offers getaddrinfo, getnameinfo and freeaddrinfo. nullptr, or nothing usable there, gives
// the IPv4-only resolver. A library that is used stays loaded for the life of the process.
ResolverEntries loadResolverEntries(const char* systemDirectory);

// The IPv4-only stand-in, for the one query resolveStreamAddresses makes (a host and a service
// text, stream sockets): gethostbyname/getservbyname with getaddrinfo's result codes
// (EAI_NONAME = WSAHOST_NOT_FOUND, EAI_SERVICE = WSATYPE_NOT_FOUND, ...).
int WSAAPI ipv4OnlyGetAddrInfo(const char* node, const char* service, const addrinfo* hints,
                               addrinfo** result);
void WSAAPI ipv4OnlyFreeAddrInfo(addrinfo* list);
