// Windows resolver entry points: where they come from, and the IPv4-only stand-in giving the same
// entries and result codes as the system's getaddrinfo for what it can answer.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <utility>

#include "platform/resolver_win.h"

namespace {

ResolverEntries ipv4Only() {
  return loadResolverEntries(nullptr);
}

std::string text(const ResolvedAddress& address) {
  std::array<char, 46> buffer{};
  formatAddress(address, buffer);
  return buffer.data();
}

// A resolver that answers with more IPv4 entries than a result holds: 10.0.0.1, 10.0.0.2, ...
constexpr std::size_t kManyEntries = kMaxResolvedAddresses + 4;
std::array<addrinfo, kManyEntries> manyInfos{};
std::array<sockaddr_in, kManyEntries> manyAddresses{};
bool manyFreed = false;

int WSAAPI manyGetAddrInfo(const char*, const char*, const addrinfo*, addrinfo** result) {
  for (std::size_t i = 0; i < kManyEntries; ++i) {
    manyAddresses[i] = sockaddr_in{};
    manyAddresses[i].sin_family = AF_INET;
    manyAddresses[i].sin_addr.s_addr = htonl(0x0A000001 + static_cast<u_long>(i));
    manyInfos[i] = addrinfo{};
    manyInfos[i].ai_family = AF_INET;
    manyInfos[i].ai_addrlen = sizeof(sockaddr_in);
    manyInfos[i].ai_addr = reinterpret_cast<sockaddr*>(&manyAddresses[i]);
    manyInfos[i].ai_next = i + 1 < kManyEntries ? &manyInfos[i + 1] : nullptr;
  }
  *result = manyInfos.data();
  return 0;
}

void WSAAPI freeManyAddrInfo(addrinfo*) {
  manyFreed = true;
}

}  // namespace

TEST(ResolverEntries, ComeFromTheSystemSocketLibrary) {
  std::array<char, MAX_PATH + 1> buffer{};
  UINT length = GetSystemDirectoryA(buffer.data(), static_cast<UINT>(buffer.size()));
  ASSERT_TRUE(length > 0 && length < buffer.size());
  const std::string directory = buffer.data();
  ResolverEntries entries = loadResolverEntries(directory.c_str());
  HMODULE loaded = GetModuleHandleA("ws2_32.dll");
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(reinterpret_cast<void*>(entries.getAddrInfo),
            reinterpret_cast<void*>(GetProcAddress(loaded, "getaddrinfo")));
  EXPECT_EQ(reinterpret_cast<void*>(entries.freeAddrInfo),
            reinterpret_cast<void*>(GetProcAddress(loaded, "freeaddrinfo")));

  // A trailing backslash is fine too.
  EXPECT_EQ(loadResolverEntries((directory + "\\").c_str()).getAddrInfo, entries.getAddrInfo);

  const ResolverEntries& process = processResolverEntries();
  EXPECT_EQ(process.getAddrInfo, entries.getAddrInfo);
  EXPECT_EQ(&processResolverEntries(), &process);  // looked up once
}

TEST(ResolverEntries, WithoutUsableLibrariesTheIpv4OnlyResolverTakesOver) {
  for (const char* directory : {static_cast<const char*>(nullptr), "C:\\no-such-directory",
                                "C:\\windows\\system32\\drivers"}) {
    ResolverEntries entries = loadResolverEntries(directory);
    EXPECT_EQ(entries.getAddrInfo, &ipv4OnlyGetAddrInfo) << (directory ? directory : "(none)");
    EXPECT_EQ(entries.freeAddrInfo, &ipv4OnlyFreeAddrInfo);
  }
}

TEST(Ipv4OnlyResolver, GivesTheSystemsEntriesForIpv4Literals) {
  const ResolverEntries& system = processResolverEntries();
  const std::pair<const char*, const char*> queries[] = {
      {"127.0.0.1", "80"},   {"10.20.30.40", "65535"}, {"192.168.1.1", "0"},
      {"127.0.0.1", "http"}, {"1.2.3.4", nullptr},
  };
  for (const auto& [host, service] : queries) {
    ResolvedAddresses expected, got;
    SCOPED_TRACE(std::string(host) + " " + (service ? service : "(null)"));
    ASSERT_EQ(resolveStreamAddressesWith(system, host, service, expected), 0);
    ASSERT_EQ(resolveStreamAddressesWith(ipv4Only(), host, service, got), 0);
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].family, expected[i].family);
      EXPECT_EQ(got[i].length, expected[i].length);
      EXPECT_EQ(got[i].address, expected[i].address);
      EXPECT_EQ(text(got[i]), text(expected[i]));
    }
  }
}

TEST(Ipv4OnlyResolver, LocalhostIsIpv4Loopback) {
  ResolvedAddresses got;
  ASSERT_EQ(resolveStreamAddressesWith(ipv4Only(), "localhost", "757", got), 0);
  ASSERT_FALSE(got.empty());
  for (const ResolvedAddress& address : got) {
    EXPECT_EQ(address.family, kFamilyIpv4);
    EXPECT_EQ(text(address), "127.0.0.1:757");
  }
}

TEST(ResolveStreamAddresses, MoreEntriesThanAResultHoldsAreCutKeepingTheFirstInOrder) {
  ResolverEntries many = ipv4Only();
  many.getAddrInfo = manyGetAddrInfo;
  many.freeAddrInfo = freeManyAddrInfo;
  ResolvedAddresses got;
  ASSERT_EQ(resolveStreamAddressesWith(many, "many", "0", got), 0);
  EXPECT_TRUE(manyFreed);
  ASSERT_EQ(got.size(), kMaxResolvedAddresses);
  for (std::size_t i = 0; i < got.size(); ++i)
    EXPECT_EQ(text(got[i]), "10.0.0." + std::to_string(i + 1));
}

TEST(Ipv4OnlyResolver, FailsWithTheResolversCodes) {
  const ResolverEntries& system = processResolverEntries();
  // The system's resolver is asked too, except for a port number out of range.
  for (const char* service : {"no-such-service-quillan", "65536"}) {
    SCOPED_TRACE(service);
    ResolvedAddresses got;
    got.add(ResolvedAddress{});
    WSASetLastError(0);
    EXPECT_EQ(resolveStreamAddressesWith(ipv4Only(), "127.0.0.1", service, got), EAI_SERVICE);
    EXPECT_EQ(WSAGetLastError(), EAI_SERVICE);
    EXPECT_TRUE(got.empty());
    if (std::strcmp(service, "65536") != 0) {
      ResolvedAddresses expected;
      EXPECT_EQ(resolveStreamAddressesWith(system, "127.0.0.1", service, expected), EAI_SERVICE);
    }
  }
  // Only IPv4: an IPv6 literal is a name it cannot find.
  ResolvedAddresses got;
  EXPECT_EQ(resolveStreamAddressesWith(ipv4Only(), "::1", "80", got), EAI_NONAME);
}
