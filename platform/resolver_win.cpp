// Resolver entry points for Winsock. getaddrinfo, getnameinfo and freeaddrinfo are looked up by
// name once per process from the system directory (never from the program's own directory or the
// search path), so a system without them still runs with an IPv4-only resolver.
#include "platform/resolver_win.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/owned.h"

namespace {

// GetProcAddress hands back a generic FARPROC; the entry is called through the type it really
// has. The hop through void (*)() keeps -Wcast-function-type quiet: that type matches any other.
template <typename Entry>
Entry entryPoint(HMODULE module, const char* name) {
  FARPROC found = GetProcAddress(module, name);
  return reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(found));
}

HMODULE loadFromDirectory(const char* directory, const char* file) {
  std::array<char, MAX_PATH + 32> path{};
  std::size_t length = std::strlen(directory);
  const char* separator = (length > 0 && directory[length - 1] == '\\') ? "" : "\\";
  int written = std::snprintf(path.data(), path.size(), "%s%s%s", directory, separator, file);
  if (written < 0 || static_cast<std::size_t>(written) >= path.size()) return nullptr;
  return LoadLibraryA(path.data());
}

// What getaddrinfo itself returns, and leaves as the thread's last error.
int resolverFailure(int code) {
  WSASetLastError(code);
  return code;
}

int resolverCodeOf(int hostError) {
  switch (hostError) {
    case WSAHOST_NOT_FOUND:
      return EAI_NONAME;
    case WSATRY_AGAIN:
      return EAI_AGAIN;
    case WSANO_DATA:
      return EAI_NODATA;
    default:
      return EAI_FAIL;
  }
}

// One entry of the stand-in's list: the addrinfo first, so the list can be freed through it.
struct Ipv4Entry {
  addrinfo info;
  sockaddr_in address;
};

// Service text to a port in network order: decimal digits (0-65535) or a TCP service name.
int servicePort(const char* service, std::uint16_t& port) {
  port = 0;
  if (service == nullptr || *service == '\0') return 0;
  if (std::strspn(service, "0123456789") == std::strlen(service)) {
    unsigned long value = std::strtoul(service, nullptr, 10);
    if (value > 65535) return EAI_SERVICE;
    port = htons(static_cast<u_short>(value));
    return 0;
  }
  const servent* entry = getservbyname(service, "tcp");
  if (entry == nullptr) return EAI_SERVICE;
  port = static_cast<std::uint16_t>(entry->s_port);
  return 0;
}

ResolverEntries ipv4OnlyEntries() {
  return ResolverEntries{ipv4OnlyGetAddrInfo, ipv4OnlyFreeAddrInfo};
}

}  // namespace

ResolverEntries loadResolverEntries(const char* systemDirectory) {
  if (systemDirectory == nullptr) return ipv4OnlyEntries();
  // The socket library if it has getaddrinfo (XP and later), else the IPv6 support library.
  HMODULE module = loadFromDirectory(systemDirectory, "ws2_32.dll");
  if (module != nullptr && GetProcAddress(module, "getaddrinfo") == nullptr) {
    FreeLibrary(module);
    module = nullptr;
  }
  if (module == nullptr) module = loadFromDirectory(systemDirectory, "wship6.dll");
  if (module == nullptr) return ipv4OnlyEntries();
  ResolverEntries entries{
      entryPoint<decltype(ResolverEntries::getAddrInfo)>(module, "getaddrinfo"),
      entryPoint<decltype(ResolverEntries::freeAddrInfo)>(module, "freeaddrinfo")};
  if (entries.getAddrInfo == nullptr || entries.freeAddrInfo == nullptr ||
      GetProcAddress(module, "getnameinfo") == nullptr) {
    FreeLibrary(module);
    return ipv4OnlyEntries();
  }
  return entries;  // the module stays loaded: its entry points are used from now on
}

const ResolverEntries& processResolverEntries() {
  // Looked up once, at first use; the first callers wait for the one lookup.
  static const ResolverEntries entries = [] {
    std::array<char, MAX_PATH + 1> directory{};
    UINT length = GetSystemDirectoryA(directory.data(), static_cast<UINT>(directory.size()));
    return loadResolverEntries(length > 0 && length < directory.size() ? directory.data()
                                                                       : nullptr);
  }();
  return entries;
}

int WSAAPI ipv4OnlyGetAddrInfo(const char* node, const char* service, const addrinfo* hints,
                               addrinfo** result) {
  *result = nullptr;
  std::uint16_t port = 0;
  if (int code = servicePort(service, port); code != 0) return resolverFailure(code);

  // Dotted text first (inet_addr rules), so no lookup is made for a literal.
  in_addr literal{};
  literal.s_addr = inet_addr(node);
  char* literalList[] = {reinterpret_cast<char*>(&literal), nullptr};
  char** addresses = literalList;
  if (literal.s_addr == INADDR_NONE) {
    // The hostent lives in per-thread storage of the socket library: copy it out at once.
    const hostent* host = gethostbyname(node);
    if (host == nullptr) return resolverFailure(resolverCodeOf(WSAGetLastError()));
    if (host->h_addrtype != AF_INET || host->h_length != 4) return resolverFailure(EAI_FAIL);
    addresses = host->h_addr_list;
  }
  addrinfo** tail = result;
  for (; addresses != nullptr && *addresses != nullptr; ++addresses) {
    auto entry = makeOwned<Ipv4Entry>();
    if (!entry) {
      ipv4OnlyFreeAddrInfo(*result);
      *result = nullptr;
      return resolverFailure(EAI_MEMORY);
    }
    entry->info.ai_family = AF_INET;
    entry->info.ai_socktype = hints->ai_socktype;
    entry->info.ai_protocol = hints->ai_protocol;
    entry->info.ai_addrlen = sizeof entry->address;
    entry->info.ai_addr = reinterpret_cast<sockaddr*>(&entry->address);
    entry->address.sin_family = AF_INET;
    entry->address.sin_port = port;
    std::memcpy(&entry->address.sin_addr, *addresses, sizeof entry->address.sin_addr);
    *tail = &entry->info;
    tail = &entry.release()->info.ai_next;  // the list's from now on
  }
  return *result == nullptr ? resolverFailure(EAI_NODATA) : 0;
}

void WSAAPI ipv4OnlyFreeAddrInfo(addrinfo* list) {
  while (list != nullptr) {
    addrinfo* next = list->ai_next;
    std::unique_ptr<Ipv4Entry>(reinterpret_cast<Ipv4Entry*>(list));  // freed here
    list = next;
  }
}
