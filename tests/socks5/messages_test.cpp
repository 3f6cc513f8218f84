// Byte-exact builders and reply checks of the SOCKS5 client, without sockets.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "socks5/messages.h"
#include "tests/socks5/socks5_test_util.h"

namespace {

Bytes greeting(bool offerLogin) {
  std::array<std::uint8_t, kMaxGreetingSize> out{};
  return Bytes(out.begin(), out.begin() + buildGreeting(offerLogin, out));
}

Bytes login(const std::string& user, const std::string& password) {
  std::array<std::uint8_t, kMaxLoginSize> out{};
  return Bytes(out.begin(), out.begin() + buildLoginRequest(user, password, out));
}

Bytes connectRequest(const std::string& host, std::uint16_t port) {
  std::array<std::uint8_t, kMaxConnectRequestSize> out{};
  return Bytes(out.begin(), out.begin() + buildConnectRequest(host.c_str(), port, out));
}

}  // namespace

TEST(Socks5Messages, GreetingOffersLoginOnlyWithAUser) {
  EXPECT_EQ(greeting(false), (Bytes{0x05, 0x01, 0x00}));
  EXPECT_EQ(greeting(true), (Bytes{0x05, 0x02, 0x00, 0x02}));
}

TEST(Socks5Messages, LoginRequestLayoutAndLimits) {
  EXPECT_EQ(login("u", "p"), (Bytes{0x01, 0x01, 'u', 0x01, 'p'}));
  EXPECT_EQ(login("", "pw"), (Bytes{0x01, 0x00, 0x02, 'p', 'w'}));
  EXPECT_EQ(login("", ""), (Bytes{0x01, 0x00, 0x00}));

  const std::string most(255, 'x');
  Bytes full = login(most, most);
  ASSERT_EQ(full.size(), kMaxLoginSize);
  EXPECT_EQ(full[1], 255);
  EXPECT_EQ(full[2 + 255], 255);
  // A 256th byte cannot be counted by ULEN/PLEN: refused rather than sent with a wrong length.
  EXPECT_TRUE(login(most + "x", "p").empty());
  EXPECT_TRUE(login("u", most + "x").empty());
}

TEST(Socks5Messages, ConnectRequestPicksTheAddressType) {
  const Bytes ipv6Loopback =
      connectBytes(0x04, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 3389);
  const Bytes ipv6Scoped =
      connectBytes(0x04, {0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 80);
  const struct {
    const char* host;
    std::uint16_t port;
    Bytes expected;
  } cases[] = {
      {"10.0.0.5", 3389, {0x05, 0x01, 0x00, 0x01, 0x0A, 0x00, 0x00, 0x05, 0x0D, 0x3D}},
      // inet_addr rules: the last part fills the remaining bytes, octal and hex parts.
      {"10.1", 3389, {0x05, 0x01, 0x00, 0x01, 0x0A, 0x00, 0x00, 0x01, 0x0D, 0x3D}},
      {"0x7f.1", 80, {0x05, 0x01, 0x00, 0x01, 0x7F, 0x00, 0x00, 0x01, 0x00, 0x50}},
      {"010.0.0.1", 80, {0x05, 0x01, 0x00, 0x01, 0x08, 0x00, 0x00, 0x01, 0x00, 0x50}},
      {"::1", 3389, ipv6Loopback},
      {"[::1]", 3389, ipv6Loopback},
      {"fe80::1%3", 80, ipv6Scoped},
      {"host", 3389, {0x05, 0x01, 0x00, 0x03, 0x04, 'h', 'o', 's', 't', 0x0D, 0x3D}},
      // The all-ones address is inet_addr's error value: it goes as a 15-character name.
      {"255.255.255.255", 1, nameRequest("255.255.255.255", 1)},
      {"10.0.0.256", 65535, nameRequest("10.0.0.256", 65535)},
      {"", 0, nameRequest("", 0)},
  };
  for (const auto& c : cases) EXPECT_EQ(connectRequest(c.host, c.port), c.expected) << c.host;
  EXPECT_EQ(connectRequest("::1", 3389).size(), 22u);
  EXPECT_EQ(connectRequest("host", 3389).size(), 11u);
}

TEST(Socks5Messages, ConnectRequestNameLengthBoundary) {
  const std::string longest(255, 'n');
  Bytes request = connectRequest(longest, 3389);
  EXPECT_EQ(request, nameRequest(longest, 3389));
  EXPECT_EQ(request.size(), 7u + 255u);
  EXPECT_TRUE(connectRequest(longest + "n", 3389).empty());
}

TEST(Socks5Messages, WireWriterRefusesOverflowAndStaysFailed) {
  std::array<std::uint8_t, 3> out{};
  WireWriter writer(out);
  EXPECT_TRUE(writer.put8(1));
  EXPECT_TRUE(writer.put16be(0x0203));
  EXPECT_FALSE(writer.put8(4));
  EXPECT_FALSE(writer.ok());
  EXPECT_EQ(writer.size(), 3u);
  EXPECT_EQ(out, (std::array<std::uint8_t, 3>{1, 2, 3}));

  std::array<std::uint8_t, 4> small{};
  WireWriter names(small);
  EXPECT_FALSE(names.putLen8("four"));  // length byte + 4 does not fit in 4
  EXPECT_FALSE(names.put8(0));          // sticky
}

TEST(Socks5Messages, MethodSelectionAndLoginReplies) {
  struct Case {
    std::array<std::uint8_t, 2> reply;
    MethodChoice choice;
  };
  const Case cases[] = {
      {{0x05, 0x00}, MethodChoice::kNoAuth},  {{0x05, 0x02}, MethodChoice::kLogin},
      {{0x05, 0xFF}, MethodChoice::kRefused}, {{0x05, 0x01}, MethodChoice::kRefused},
      {{0x04, 0x00}, MethodChoice::kRefused}, {{0x04, 0x02}, MethodChoice::kRefused},
  };
  for (const Case& c : cases)
    EXPECT_EQ(checkMethodSelection(c.reply), c.choice) << hexBytes(c.reply);
  EXPECT_TRUE(loginAccepted(std::array<std::uint8_t, 2>{0x01, 0x00}));
  EXPECT_FALSE(loginAccepted(std::array<std::uint8_t, 2>{0x01, 0x01}));
  EXPECT_FALSE(loginAccepted(std::array<std::uint8_t, 2>{0x05, 0x00}));
  EXPECT_TRUE(connectReplySucceeded(std::array<std::uint8_t, 2>{0x05, 0x00}));
  EXPECT_FALSE(connectReplySucceeded(std::array<std::uint8_t, 2>{0x05, 0x05}));
  EXPECT_FALSE(connectReplySucceeded(std::array<std::uint8_t, 2>{0x04, 0x00}));
}

TEST(Socks5Messages, ConnectReplySizeGrowsWithWhatArrived) {
  struct Case {
    Bytes received;
    std::size_t size;
  };
  const std::vector<Case> cases = {
      {{}, 4},
      {{0x05, 0x00}, 4},
      {{0x05, 0x00, 0x00, 0x01}, 10},
      {{0x05, 0x00, 0x00, 0x04}, 22},
      {{0x05, 0x00, 0x00, 0x03}, 5},
      {{0x05, 0x00, 0x00, 0x03, 0x00}, 7},
      {{0x05, 0x00, 0x00, 0x03, 0x09}, 16},
      {{0x05, 0x00, 0x00, 0x03, 0xFF}, 262},
      // Unknown ATYP: the head is the whole reply, whatever follows.
      {{0x05, 0x00, 0x00, 0x00}, 4},
      {{0x05, 0x00, 0x00, 0x02}, 4},
      {{0x05, 0x00, 0x00, 0x07, 0x01, 0x02}, 4},
  };
  for (const Case& c : cases)
    EXPECT_EQ(connectReplySize(c.received), c.size) << hexBytes(c.received);
  EXPECT_LE(connectReplySize(Bytes{0x05, 0x00, 0x00, 0x03, 0xFF}), kMaxConnectReplySize);
}
