// Byte-exact builders and reply checks of the SOCKS5 client, without sockets.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "socks5/messages.h"
#include "tests/socks5/socks5_test_util.h"

namespace {

Bytes login(const std::string& user, const std::string& password) {
  std::array<std::uint8_t, kMaxLoginSize> out{};
  return Bytes(out.begin(), out.begin() + buildLoginRequest(user, password, out));
}

Bytes connectRequest(const std::string& host, std::uint16_t port) {
  std::array<std::uint8_t, kMaxConnectRequestSize> out{};
  return Bytes(out.begin(), out.begin() + buildConnectRequest(host.c_str(), port, out));
}

}  // namespace

// The bytes of the greeting, the login and the CONNECT request are checked on the wire
// (proxy_session_test.cpp, connect_request_test.cpp). A text longer than a length byte can count
// is refused rather than sent with a wrong length; the settings fields hold no more than 255
// characters, so only the builders can be given one.
TEST(Socks5Messages, TextOver255BytesIsRefused) {
  const std::string most(255, 'x');
  EXPECT_TRUE(login(most + "x", "p").empty());
  EXPECT_TRUE(login("u", most + "x").empty());
  EXPECT_TRUE(connectRequest(most + "x", 3389).empty());
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
