// Resolver entry points for Winsock. getaddrinfo, getnameinfo and freeaddrinfo are looked up by
// name once per process from the system directory (never from the program's own directory or the
// search path), so a system without them still runs with an IPv4-only resolver.
#include "platform/resolver_win.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

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

ResolverEntries ipv4OnlyEntries() {
  ResolverEntries entries;
  entries.getAddrInfo = ipv4OnlyGetAddrInfo;
  entries.getNameInfo = ipv4OnlyGetNameInfo;
  entries.freeAddrInfo = ipv4OnlyFreeAddrInfo;
  entries.source = ResolverSource::ipv4Only;
  return entries;
}

// Filled once; two first callers may both fill them, with the same values, so each slot is an
// atomic and `resolverReady` publishes them.
std::atomic<GetAddrInfoEntry> storedGetAddrInfo{nullptr};
std::atomic<GetNameInfoEntry> storedGetNameInfo{nullptr};
std::atomic<FreeAddrInfoEntry> storedFreeAddrInfo{nullptr};
std::atomic<ResolverSource> storedSource{ResolverSource::ipv4Only};
std::atomic<bool> resolverReady{false};

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

bool allDigits(const char* text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
  }
  return true;
}

// Service text to a port in network order: decimal digits (0-65535) or a service name.
int servicePort(const char* service, int socketType, int flags, std::uint16_t& port) {
  port = 0;
  if (service == nullptr || *service == '\0') return 0;
  if (allDigits(service)) {
    unsigned long value = std::strtoul(service, nullptr, 10);
    if (value > 65535) return EAI_SERVICE;
    port = htons(static_cast<u_short>(value));
    return 0;
  }
  if ((flags & AI_NUMERICSERV) != 0) return EAI_NONAME;
  const servent* entry = getservbyname(service, socketType == SOCK_DGRAM ? "udp" : "tcp");
  if (entry == nullptr) return EAI_SERVICE;
  port = static_cast<std::uint16_t>(entry->s_port);
  return 0;
}

void appendEntry(addrinfo**& tail, Ipv4Entry* entry) {
  *tail = &entry->info;
  tail = &entry->info.ai_next;
}

Ipv4Entry* newEntry(const addrinfo& model, std::uint16_t port, const void* address) {
  auto* entry = new (std::nothrow) Ipv4Entry{};
  if (entry == nullptr) return nullptr;
  entry->info.ai_family = AF_INET;
  entry->info.ai_socktype = model.ai_socktype;
  entry->info.ai_protocol = model.ai_protocol;
  entry->info.ai_addrlen = sizeof entry->address;
  entry->info.ai_addr = reinterpret_cast<sockaddr*>(&entry->address);
  entry->address.sin_family = AF_INET;
  entry->address.sin_port = port;
  std::memcpy(&entry->address.sin_addr, address, sizeof entry->address.sin_addr);
  return entry;
}

char* copyText(const char* text) {
  std::size_t length = std::strlen(text);
  auto* copy = static_cast<char*>(std::malloc(length + 1));
  if (copy != nullptr) std::memcpy(copy, text, length + 1);
  return copy;
}

}  // namespace

ResolverEntries loadResolverEntries(const char* systemDirectory) {
  if (systemDirectory == nullptr) return ipv4OnlyEntries();
  // The socket library if it has getaddrinfo (XP and later), else the IPv6 support library.
  ResolverSource source = ResolverSource::systemSocketLibrary;
  HMODULE module = loadFromDirectory(systemDirectory, "ws2_32.dll");
  if (module != nullptr && GetProcAddress(module, "getaddrinfo") == nullptr) {
    FreeLibrary(module);
    module = nullptr;
  }
  if (module == nullptr) {
    source = ResolverSource::ipv6SupportLibrary;
    module = loadFromDirectory(systemDirectory, "wship6.dll");
  }
  if (module == nullptr) return ipv4OnlyEntries();
  ResolverEntries entries;
  entries.getAddrInfo = entryPoint<GetAddrInfoEntry>(module, "getaddrinfo");
  entries.getNameInfo = entryPoint<GetNameInfoEntry>(module, "getnameinfo");
  entries.freeAddrInfo = entryPoint<FreeAddrInfoEntry>(module, "freeaddrinfo");
  entries.source = source;
  if (entries.getAddrInfo == nullptr || entries.getNameInfo == nullptr ||
      entries.freeAddrInfo == nullptr) {
    FreeLibrary(module);
    return ipv4OnlyEntries();
  }
  return entries;  // the module stays loaded: its entry points are used from now on
}

ResolverEntries processResolverEntries() {
  if (!resolverReady.load(std::memory_order_acquire)) {
    std::array<char, MAX_PATH + 1> directory{};
    UINT length = GetSystemDirectoryA(directory.data(), static_cast<UINT>(directory.size()));
    bool found = length > 0 && length < directory.size();
    ResolverEntries loaded = loadResolverEntries(found ? directory.data() : nullptr);
    storedGetAddrInfo.store(loaded.getAddrInfo, std::memory_order_relaxed);
    storedGetNameInfo.store(loaded.getNameInfo, std::memory_order_relaxed);
    storedFreeAddrInfo.store(loaded.freeAddrInfo, std::memory_order_relaxed);
    storedSource.store(loaded.source, std::memory_order_relaxed);
    resolverReady.store(true, std::memory_order_release);
  }
  ResolverEntries entries;
  entries.getAddrInfo = storedGetAddrInfo.load(std::memory_order_relaxed);
  entries.getNameInfo = storedGetNameInfo.load(std::memory_order_relaxed);
  entries.freeAddrInfo = storedFreeAddrInfo.load(std::memory_order_relaxed);
  entries.source = storedSource.load(std::memory_order_relaxed);
  return entries;
}

int WSAAPI ipv4OnlyGetAddrInfo(const char* node, const char* service, const addrinfo* hints,
                               addrinfo** result) {
  if (result == nullptr) return resolverFailure(EAI_FAIL);
  *result = nullptr;
  addrinfo model{};
  if (hints != nullptr) model = *hints;
  if (node == nullptr && service == nullptr) return resolverFailure(EAI_NONAME);
  if (model.ai_family != AF_UNSPEC && model.ai_family != AF_INET)
    return resolverFailure(EAI_FAMILY);

  std::uint16_t port = 0;
  if (int code = servicePort(service, model.ai_socktype, model.ai_flags, port); code != 0)
    return resolverFailure(code);

  addrinfo* list = nullptr;
  addrinfo** tail = &list;
  if (node == nullptr) {
    // No host: the wildcard address for a listener, else loopback.
    in_addr address{};
    address.s_addr = htonl((model.ai_flags & AI_PASSIVE) != 0 ? INADDR_ANY : INADDR_LOOPBACK);
    Ipv4Entry* entry = newEntry(model, port, &address);
    if (entry == nullptr) return resolverFailure(EAI_MEMORY);
    *result = &entry->info;
    return 0;
  }

  // Dotted text first (inet_addr rules), so no lookup is made for a literal.
  in_addr literal{};
  literal.s_addr = inet_addr(node);
  if (literal.s_addr != INADDR_NONE) {
    Ipv4Entry* entry = newEntry(model, port, &literal);
    if (entry == nullptr) return resolverFailure(EAI_MEMORY);
    *result = &entry->info;
    return 0;
  }
  if ((model.ai_flags & AI_NUMERICHOST) != 0) return resolverFailure(EAI_NONAME);

  // The hostent lives in per-thread storage of the socket library: copy it out at once.
  const hostent* host = gethostbyname(node);
  if (host == nullptr) return resolverFailure(resolverCodeOf(WSAGetLastError()));
  if (host->h_addrtype != AF_INET || host->h_length != 4) return resolverFailure(EAI_FAIL);
  for (char** address = host->h_addr_list; address != nullptr && *address != nullptr; ++address) {
    Ipv4Entry* entry = newEntry(model, port, *address);
    if (entry == nullptr) {
      ipv4OnlyFreeAddrInfo(list);
      return resolverFailure(EAI_MEMORY);
    }
    appendEntry(tail, entry);
  }
  if (list == nullptr) return resolverFailure(EAI_NODATA);
  if ((model.ai_flags & AI_CANONNAME) != 0 && host->h_name != nullptr) {
    list->ai_canonname = copyText(host->h_name);
    if (list->ai_canonname == nullptr) {
      ipv4OnlyFreeAddrInfo(list);
      return resolverFailure(EAI_MEMORY);
    }
  }
  *result = list;
  return 0;
}

void WSAAPI ipv4OnlyFreeAddrInfo(addrinfo* list) {
  while (list != nullptr) {
    addrinfo* next = list->ai_next;
    std::free(list->ai_canonname);
    delete reinterpret_cast<Ipv4Entry*>(list);
    list = next;
  }
}

int WSAAPI ipv4OnlyGetNameInfo(const sockaddr* address, socklen_t addressLength, char* host,
                               DWORD hostLength, char* service, DWORD serviceLength, int flags) {
  if (address == nullptr || addressLength < static_cast<socklen_t>(sizeof(sockaddr_in)))
    return resolverFailure(EAI_FAIL);
  if (address->sa_family != AF_INET) return resolverFailure(EAI_FAMILY);
  if ((host == nullptr || hostLength == 0) && (service == nullptr || serviceLength == 0))
    return resolverFailure(EAI_NONAME);
  sockaddr_in in{};
  std::memcpy(&in, address, sizeof in);

  if (host != nullptr && hostLength != 0) {
    std::array<char, 16> numeric{};
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&in.sin_addr);
    std::snprintf(numeric.data(), numeric.size(), "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2],
                  bytes[3]);
    const char* text = numeric.data();
    std::size_t length = std::strlen(text);
    if ((flags & NI_NUMERICHOST) == 0) {
      const hostent* entry =
          gethostbyaddr(reinterpret_cast<const char*>(&in.sin_addr), sizeof in.sin_addr, AF_INET);
      if (entry != nullptr && entry->h_name != nullptr) {
        text = entry->h_name;
        length = std::strlen(text);
        if ((flags & NI_NOFQDN) != 0) {
          const char* dot = std::strchr(text, '.');
          if (dot != nullptr) length = static_cast<std::size_t>(dot - text);
        }
      } else if ((flags & NI_NAMEREQD) != 0) {
        return resolverFailure(EAI_NONAME);
      }
    }
    if (length >= hostLength) return resolverFailure(WSAEFAULT);
    std::memcpy(host, text, length);
    host[length] = '\0';
  }

  if (service != nullptr && serviceLength != 0) {
    const servent* entry = nullptr;
    if ((flags & NI_NUMERICSERV) == 0)
      entry = getservbyport(in.sin_port, (flags & NI_DGRAM) != 0 ? "udp" : "tcp");
    int written = entry != nullptr && entry->s_name != nullptr
                      ? std::snprintf(service, serviceLength, "%s", entry->s_name)
                      : std::snprintf(service, serviceLength, "%u", ntohs(in.sin_port));
    if (written < 0 || static_cast<DWORD>(written) >= serviceLength)
      return resolverFailure(WSAEFAULT);
  }
  return 0;
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
