// The socket layer as the core sees it: address text, IPv6 literals, resolution and waitSockets.
// The same table runs natively and under Wine, so the two sides cannot drift apart; rows under
// _WIN32 are Winsock's own forms, which the POSIX side does not reproduce (socket_posix.cpp).
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "platform/unique_socket.h"
#include "tests/support/loopback.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Ipv6Bytes = std::array<std::uint8_t, 16>;

// A resolved literal with `port` patched in. sockaddr_in and sockaddr_in6 share their layout on
// both platforms (only the family number differs), so the fields are patched in place:
//   sockaddr_in:  family(2) port(2, big-endian) address(4) zero(8)
//   sockaddr_in6: family(2) port(2, big-endian) flowinfo(4) address(16) scope_id(4, host order)
ResolvedAddress addressOf(const char* literal, std::uint16_t port) {
  ResolvedAddresses list;
  EXPECT_EQ(resolveStreamAddresses(literal, "0", list), 0) << literal;
  EXPECT_EQ(list.size(), 1u) << literal;
  ResolvedAddress address = list.empty() ? ResolvedAddress{} : list.front();
  address.address[2] = static_cast<std::uint8_t>(port >> 8);
  address.address[3] = static_cast<std::uint8_t>(port & 0xFF);
  return address;
}

ResolvedAddress ipv6Address(const char* literal, std::uint16_t port, std::uint32_t scope) {
  ResolvedAddress address = addressOf("::", port);
  Ipv6Bytes bytes{};
  EXPECT_TRUE(parseIpv6Text(literal, bytes)) << literal;
  std::memcpy(&address.address[8], bytes.data(), bytes.size());
  std::memcpy(&address.address[24], &scope, sizeof scope);
  return address;
}

std::string formatted(const ResolvedAddress& address, std::size_t bufferSize = 46) {
  std::vector<char> buffer(bufferSize, 'x');
  formatAddress(address, buffer);
  for (std::size_t i = std::strlen(buffer.data()); i < buffer.size(); ++i)
    EXPECT_EQ(buffer[i], '\0') << "byte " << i << " not zero-filled";
  return buffer.data();
}

// A connected loopback pair: `near` is the client end, `far` the accepted one.
struct Pair {
  Pair() { EXPECT_TRUE(listener && near && far); }
  UniqueSocket listener = listenLoopback();
  UniqueSocket near{listener ? connectLoopback(localPortOf(listener.get())) : noSocket};
  UniqueSocket far{near ? acceptConnection(listener.get()) : noSocket};
};

// Waits (bounded) for the socket to become readable.
bool becomesReadable(const UniqueSocket& socket) {
  WaitItem item{socket.get(), true};
  return waitSockets({&item, 1}, 5s) == 1 && item.readable;
}

// One receive of up to 8 bytes: the count, 0 when the peer closed, or -1.
int receiveSome(const UniqueSocket& socket) {
  std::array<char, 8> buffer{};
  return recvSome(socket.get(), buffer.data(), buffer.size());
}

}  // namespace

struct FormatCase {
  const char* literal;  // IPv6 when it has a colon
  std::uint16_t port;
  std::uint32_t scope;
  const char* text;
};

TEST(FormatAddress, MatchesTheAddressToStringForms) {
  const FormatCase cases[] = {
      {"127.0.0.1", 80, 0, "127.0.0.1:80"},
      {"255.255.255.255", 65535, 0, "255.255.255.255:65535"},
      {"::1", 1080, 0, "[::1]:1080"},
      {"::", 1, 0, "[::]:1"},
      {"2001:db8::1", 443, 0, "[2001:db8::1]:443"},
      {"2001:db8:0:0:1:0:0:1", 443, 0, "[2001:db8::1:0:0:1]:443"},  // first longest run
      {"fe80::1", 3389, 3, "[fe80::1%3]:3389"},
      {"fe80::1", 3389, 4294967295u, "[fe80::1%4294967295]:3389"},
      {"::ffff:1.2.3.4", 80, 0, "[::ffff:1.2.3.4]:80"},
      // 45 characters fit the 46-byte buffer; one more and the text is left empty.
      {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 443, 0,
       "[ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff]:443"},
      {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 4430, 0, ""},
      {"fe80:1111:2222:3333:4444:5555:6666:7777", 80, 4294967295u, ""},
#ifdef _WIN32
      {"10.0.0.5", 0, 0, "10.0.0.5"},  // port 0: no port at all
      {"fe80::1", 0, 7, "fe80::1%7"},  // port 0: no brackets either
      {"::1", 0, 0, "::1"},
#endif
  };
  for (const FormatCase& c : cases) {
    const ResolvedAddress address = std::strchr(c.literal, ':') != nullptr
                                        ? ipv6Address(c.literal, c.port, c.scope)
                                        : addressOf(c.literal, c.port);
    EXPECT_EQ(formatted(address), c.text)
        << c.literal << " port " << c.port << " scope " << c.scope;
  }
}

TEST(FormatAddress, TextThatDoesNotFitLeavesTheBufferEmpty) {
  ResolvedAddress address = addressOf("1.2.3.4", 80);  // "1.2.3.4:80", 10 characters
  EXPECT_EQ(formatted(address, 11), "1.2.3.4:80");
  EXPECT_EQ(formatted(address, 10), "");
  EXPECT_EQ(formatted(address, 1), "");
}

TEST(FormatAddress, KeepsTheLastSocketError) {
  // The caller logs the address and then the error of its own step: formatting must not touch it.
  ResolvedAddress fits = addressOf("1.2.3.4", 80);
  ResolvedAddress tooLong = ipv6Address("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 65535, 0);
  for (const ResolvedAddress* address : {&fits, &tooLong}) {
    setLastSocketError(kErrTimedOut);
    std::array<char, 46> text{};
    formatAddress(*address, text);
    EXPECT_EQ(lastSocketError(), kErrTimedOut);
  }
}

TEST(FormatAddress, OtherFamiliesGiveAnEmptyText) {
  ResolvedAddress address = addressOf("1.2.3.4", 80);
  address.family = 1;
  address.address[0] = 1;  // AF_UNIX on both
  address.address[1] = 0;
  EXPECT_EQ(formatted(address), "");
}

TEST(ParseIpv6Text, AcceptsPlainBracketedScopedAndPortForms) {
  const Ipv6Bytes loopback{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  const Ipv6Bytes linkLocal{0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  const Ipv6Bytes mapped{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 1, 2, 3, 4};
  const Ipv6Bytes full{0x20, 0x01, 0x0d, 0xb8, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6};
  // Each address with the texts that spell it.
  const std::pair<Ipv6Bytes, std::vector<const char*>> accepted[] = {
      {loopback, {"::1", "[::1]", "[::1]:80", "[::1]:65535", "[::1]:1", "[::1]:010"}},
      {linkLocal,
       {"fe80::1%3", "[fe80::1%3]", "[fe80::1%3]:3389", "fe80::1%0", "fe80::1%4294967295"}},
      {mapped, {"::ffff:1.2.3.4"}},
      {full, {"2001:db8:1:2:3:4:5:6", "2001:DB8:1:2:3:4:5:6"}},
      {{}, {"::"}},
#ifdef _WIN32
      // The port as the Winsock parser reads it: 0x hexadecimal, leading-0 octal, 1 to 65535.
      {loopback, {"[::1]:0x50", "[::1]:0XFFFF"}},
      {linkLocal, {"[fe80::1%3]:0x1f"}},
#endif
  };
  for (const auto& [expected, texts] : accepted) {
    for (const char* text : texts) {
      Ipv6Bytes bytes;
      bytes.fill(0xAA);
      EXPECT_TRUE(parseIpv6Text(text, bytes)) << '"' << text << '"';
      EXPECT_EQ(bytes, expected) << '"' << text << '"';
    }
  }
  const char* const refused[] = {"", "[]", "1.2.3.4", "localhost", "[::1", "::1]", "[::1]80",
                                 "[::1]:", "[::1]:80x", "::1:80:", "fe80::1%", "1::2::3", ":::1",
                                 "2001:db8:1:2:3:4:5:6:7", "12345::1", "::1 ", " ::1", "[::1]:0x0",
                                 "[::1]:0x", "[::1]:0x10000", "[::1]:+80", "fe80::1%0x3",
                                 "fe80::1%-1", "fe80::1%eth0", "[fe80::1%]:80", "::1%3:80",
#ifdef _WIN32
                                 "[::1]:0", "[::1]:080", "[::1]:65536", "[::1]:99999999999",
                                 // The scope: decimal, no leading zeros, at most 4294967295.
                                 "fe80::1%4294967296", "fe80::1%03"
#endif
  };
  for (const char* text : refused) {
    Ipv6Bytes bytes{};
    EXPECT_FALSE(parseIpv6Text(text, bytes)) << '"' << text << '"';
  }
}

TEST(ParseIpv6Text, KeepsTheLastSocketError) {
  // A receive that saw the peer close logs the last error as it stands (often 0); classifying
  // the target text before that must not leave a parser error behind.
  for (const char* text : {"::1", "not-an-address", "[::1]:0"}) {
    Ipv6Bytes bytes{};
    setLastSocketError(0);
    parseIpv6Text(text, bytes);
    EXPECT_EQ(lastSocketError(), 0) << text;
  }
}

TEST(ResolveStreamAddresses, LiteralsGiveOneEntryOfTheirFamily) {
  struct Case {
    const char* host;
    const char* service;
    int family;
    const char* text;
  } cases[] = {
      {"127.0.0.1", "80", kFamilyIpv4, "127.0.0.1:80"},
      {"10.20.30.40", "65535", kFamilyIpv4, "10.20.30.40:65535"},
      {"::1", "1080", kFamilyIpv6, "[::1]:1080"},
      {"2001:db8::5", "21", kFamilyIpv6, "[2001:db8::5]:21"},
  };
  for (const Case& c : cases) {
    ResolvedAddresses list;
    ASSERT_EQ(resolveStreamAddresses(c.host, c.service, list), 0) << c.host;
    ASSERT_EQ(list.size(), 1u) << c.host;
    EXPECT_EQ(list[0].family, c.family) << c.host;
    EXPECT_EQ(formatted(list[0]), c.text);
  }
}

TEST(ResolveStreamAddresses, LocalhostIsLoopbackOnly) {
  ResolvedAddresses list;
  ASSERT_EQ(resolveStreamAddresses("localhost", "757", list), 0);
  ASSERT_FALSE(list.empty());
  for (const ResolvedAddress& address : list) {
    std::string text = formatted(address);
    EXPECT_TRUE(text == "127.0.0.1:757" || text == "[::1]:757") << text;
  }
}

TEST(ResolveStreamAddresses, UnknownServiceNameFailsWithoutEntries) {
  ResolvedAddresses list;
  list.add(ResolvedAddress{});
  EXPECT_NE(resolveStreamAddresses("127.0.0.1", "no-such-service-quillan", list), 0);
  EXPECT_TRUE(list.empty());
}

TEST(ResolveStreamAddresses, ConnectsToAResolvedLoopbackListener) {
  UniqueSocket listener(openTcpSocket(kFamilyIpv4));
  ASSERT_TRUE(listener);
  ASSERT_TRUE(bindIpv4(listener.get(), {127, 0, 0, 1}, 0));
  ASSERT_TRUE(listenOn(listener.get(), 1));
  ASSERT_TRUE(setNonBlocking(listener.get()));
  std::string port = std::to_string(localPortOf(listener.get()));
  ResolvedAddresses list;
  ASSERT_EQ(resolveStreamAddresses("127.0.0.1", port.c_str(), list), 0);
  ASSERT_EQ(list.size(), 1u);
  UniqueSocket client(openTcpSocket(list[0].family));
  ASSERT_TRUE(client);
  EXPECT_EQ(setNoDelay(client.get()), 0);
  ASSERT_TRUE(connectTo(client.get(), list[0]));
  WaitItem pending{listener.get(), true};
  ASSERT_EQ(waitSockets({&pending, 1}, 5s), 1);
  UniqueSocket accepted(acceptConnection(listener.get()));
  ASSERT_TRUE(accepted);
  char byte = 0;  // non-blocking like its listener: nothing sent yet, so no wait
  EXPECT_EQ(recvSome(accepted.get(), &byte, 1), -1);
  EXPECT_TRUE(isWouldBlock(lastSocketError()));
}

TEST(WaitSockets, QuietSocketTimesOutNoSoonerThanAsked) {
  Pair pair;
  for (std::chrono::microseconds asked : {1500us, 40500us, 0us}) {
    WaitItem item{pair.near.get(), true};
    const auto start = Clock::now();
    EXPECT_EQ(waitSockets({&item, 1}, asked), 0);
    EXPECT_GE(Clock::now() - start, asked) << asked.count() << " us asked";
    EXPECT_FALSE(item.readable);
    EXPECT_FALSE(item.writable);
  }
}

TEST(WaitSockets, ReadableWhenDataArrives) {
  Pair pair;
  ASSERT_EQ(sendSome(pair.far.get(), "hi", 2), 2);
  ASSERT_TRUE(becomesReadable(pair.near));
  EXPECT_EQ(receiveSome(pair.near), 2);
}

TEST(WaitSockets, ReadableWhenThePeerCloses) {
  Pair pair;
  pair.far.reset();
  ASSERT_TRUE(becomesReadable(pair.near));
  EXPECT_EQ(receiveSome(pair.near), 0);
  shutdownSend(pair.near.get());  // hung up; asked for neither, it is not waited on
  WaitItem ignored{pair.near.get()};
  const auto start = Clock::now();
  EXPECT_EQ(waitSockets({&ignored, 1}, 20ms), 0);
  EXPECT_GE(Clock::now() - start, 20ms);
}

TEST(WaitSockets, ReadableWhenThePeerResets) {
  Pair pair;
  // Closing with unread data makes the far end answer with a reset instead of a close.
  ASSERT_EQ(sendSome(pair.near.get(), "unread", 6), 6);
  ASSERT_TRUE(becomesReadable(pair.far));
  pair.far.reset();
  ASSERT_TRUE(becomesReadable(pair.near));
  // Windows reports the reset (-1, 10054); Wine may report it as a plain close (0).
  EXPECT_LE(receiveSome(pair.near), 0);
}

TEST(WaitSockets, WritableAndReadableAreReportedPerItem) {
  Pair pair;
  std::array items{WaitItem{pair.near.get(), true, true}, WaitItem{pair.far.get(), true}};
  // Readable and writable of `near`, then of `far`.
  auto ready = [&] {
    return std::array{items[0].readable, items[0].writable, items[1].readable, items[1].writable};
  };
  // Quiet pair: only the write side of `near` is ready.
  EXPECT_EQ(waitSockets(items, 5s), 1);
  EXPECT_EQ(ready(), (std::array{false, true, false, false}));

  ASSERT_EQ(sendSome(pair.near.get(), "x", 1), 1);
  ASSERT_TRUE(becomesReadable(pair.far));
  EXPECT_EQ(waitSockets(items, 5s), 2);
  EXPECT_EQ(ready(), (std::array{false, true, true, false}));
}

TEST(WaitSockets, ListenerIsReadableWithAPendingConnection) {
  UniqueSocket listener(openTcpSocket(kFamilyIpv4));
  ASSERT_TRUE(bindIpv4(listener.get(), {127, 0, 0, 1}, 0));
  ASSERT_TRUE(listenOn(listener.get(), 1));
  WaitItem item{listener.get(), true};
  EXPECT_EQ(waitSockets({&item, 1}, 1ms), 0);
  UniqueSocket client(connectLoopback(localPortOf(listener.get())));
  ASSERT_TRUE(client);
  EXPECT_TRUE(becomesReadable(listener));
}

TEST(BindIpv4, SecondBindOfAPortIsAddressInUse) {
  UniqueSocket first(openTcpSocket(kFamilyIpv4));
  ASSERT_TRUE(bindIpv4(first.get(), {127, 0, 0, 1}, 0));
  ASSERT_TRUE(listenOn(first.get(), maxListenBacklog()));
  std::uint16_t port = localPortOf(first.get());
  ASSERT_NE(port, 0);
  UniqueSocket second(openTcpSocket(kFamilyIpv4));
  EXPECT_FALSE(bindIpv4(second.get(), {127, 0, 0, 1}, port));
  EXPECT_EQ(lastSocketError(), kErrAddressInUse);
}

TEST(BindIpv4, LimitedBroadcastIsNotALocalAddress) {
  // Windows refuses it; Linux (and so Wine) would bind it.
  UniqueSocket socket(openTcpSocket(kFamilyIpv4));
  setLastSocketError(0);
  EXPECT_FALSE(bindIpv4(socket.get(), {255, 255, 255, 255}, 0));
  EXPECT_NE(lastSocketError(), 0);
  EXPECT_NE(lastSocketError(), kErrAddressInUse);
}
