// requestConnect against the scripted proxy: the request bytes per target, the reply read to
// its exact length (split, with a trailing target greeting, by each ATYP), and every failure.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "socks5/connect_request.h"
#include "tests/socks5/socks5_test_util.h"

namespace {

using namespace std::chrono_literals;

class ConnectRequestTest : public Socks5Test {
 protected:
  // A no-auth session whose CONNECT request is recorded; the answer follows.
  static ProxyScript answering() { return selecting({0x05, 0x00}).expectConnect(); }

  // Opens the session and runs requestConnect with the reply awaited for `replyMs`; the session
  // socket is kept for later reads.
  int connectThrough(ScriptedProxy& proxy, int replyMs = kHandshakeMs) {
    testSeams.handshakeTimeoutMs = kHandshakeMs;
    session_ = openSession(proxy);
    EXPECT_TRUE(session_);
    if (!session_) return -1;
    testSeams.handshakeTimeoutMs = replyMs;
    log_.clear();
    // Left over from an earlier call: a line for a failure of this request must not show it.
    setLastSocketError(kErrTimedOut);
    return requestConnect(session_.get(), tunnelSettings);
  }

  UniqueSocket session_;
};

// The one table of CONNECT requests: the address type follows the host text, the port text is
// read like atoi.
TEST_F(ConnectRequestTest, RequestBytesOnTheWire) {
  const std::string longest(255, 'a');
  const Bytes ipv6Loopback =
      connectBytes(0x04, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 3389);
  const struct {
    const char* host;
    const char* port;
    Bytes expected;
  } cases[] = {
      {"10.0.0.5", "3389", {0x05, 0x01, 0x00, 0x01, 0x0A, 0x00, 0x00, 0x05, 0x0D, 0x3D}},
      // inet_addr rules: the last part fills the remaining bytes, octal and hex parts.
      {"10.1", "3389", {0x05, 0x01, 0x00, 0x01, 0x0A, 0x00, 0x00, 0x01, 0x0D, 0x3D}},
      {"0x7f.1", "80", {0x05, 0x01, 0x00, 0x01, 0x7F, 0x00, 0x00, 0x01, 0x00, 0x50}},
      {"010.0.0.1", "80", {0x05, 0x01, 0x00, 0x01, 0x08, 0x00, 0x00, 0x01, 0x00, 0x50}},
      {"::1", "3389", ipv6Loopback},
      {"[::1]", "3389", ipv6Loopback},
      {"fe80::1%3", "80",
       connectBytes(0x04, {0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 80)},
      {"host", "3389", {0x05, 0x01, 0x00, 0x03, 0x04, 'h', 'o', 's', 't', 0x0D, 0x3D}},
      // The all-ones address is inet_addr's error value: it goes as a 15-character name.
      {"255.255.255.255", "1", nameRequest("255.255.255.255", 1)},
      {"10.0.0.256", "65535", nameRequest("10.0.0.256", 65535)},
      {"", "3389", nameRequest("", 3389)},
      {longest.c_str(), "80", nameRequest(longest, 80)},
      // Port text read like atoi, modulo 65536: "70000" is 4464 (0x1170), "" is 0.
      {"10.0.0.5", "70000", {0x05, 0x01, 0x00, 0x01, 0x0A, 0x00, 0x00, 0x05, 0x11, 0x70}},
      {"10.0.0.5", "", {0x05, 0x01, 0x00, 0x01, 0x0A, 0x00, 0x00, 0x05, 0x00, 0x00}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    ScriptedProxy proxy(ProxyScript::acceptNoAuth().hold());
    useTarget(c.host, c.port);
    EXPECT_EQ(connectThrough(proxy), 1);
    ASSERT_TRUE(proxy.waitForScriptEnd(0));
    const std::vector<Bytes> messages = proxy.messages(0);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(hexBytes(messages[1]), hexBytes(c.expected));
    const std::string target = std::string(c.host) + ":" + c.port;
    EXPECT_EQ(log_.lines(), (std::vector<std::string>{"Connecting to Server " + target + " ...\r\n",
                                                      "Connected OK\r\n"}));
  }
}

// Replies that succeed, and what the target said right after them must still be readable.
TEST_F(ConnectRequestTest, ReplyIsReadToItsEndAndNoFurther) {
  const Bytes targetHello = {'H', 'E', 'L', 'L', 'O', 0x00, 0xFF};
  Bytes ipv6Reply = {0x05, 0x00, 0x00, 0x04};
  ipv6Reply.insert(ipv6Reply.end(), 16, 0x11);
  ipv6Reply.insert(ipv6Reply.end(), {0x04, 0x38});
  const Bytes nameReply = {0x05, 0x00, 0x00, 0x03, 9,   'p', 'r',  'o',
                           'x',  'y',  '.',  'l',  'a', 'n', 0x04, 0x38};
  const struct {
    const char* name;
    Bytes reply;
    std::vector<std::size_t> cuts;
  } cases[] = {
      {"IPv4", kConnectReplyIpv4Zero, {}},
      {"IPv4 byte by byte", kConnectReplyIpv4Zero, {1, 2, 3, 4, 5, 6, 7, 8, 9}},
      {"IPv6", ipv6Reply, {}},
      {"IPv6 split in the address", ipv6Reply, {3, 11}},
      {"name", nameReply, {}},
      {"name split after its length byte", nameReply, {5}},
      {"empty name", {0x05, 0x00, 0x00, 0x03, 0, 0x00, 0x00}, {}},
      {"unknown ATYP: the head alone", {0x05, 0x00, 0x00, 0x07}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool withTarget : {false, true}) {
      Bytes bytes = c.reply;
      if (withTarget) bytes.insert(bytes.end(), targetHello.begin(), targetHello.end());
      ScriptedProxy proxy(answering().replySplit(bytes, c.cuts, 20ms).hold());
      useTarget("10.0.0.5", "3389");
      EXPECT_EQ(connectThrough(proxy), 1);
      EXPECT_EQ(log_.lines().back(), "Connected OK\r\n");
      if (withTarget) {
        // Everything after the reply is the target's: it is still on the socket, in one piece.
        EXPECT_EQ(receiveBytes(session_.get(), targetHello.size()), targetHello);
      }
    }
  }
}

TEST_F(ConnectRequestTest, FailuresEndWithTheirOwnLine) {
  const struct {
    const char* name;
    ProxyScript reply;
    std::string lastLine;  // exact, or the start of an error line ("... err: ", its number varies)
    // An end of stream is no error of its own: 0, whatever an earlier call left.
  } cases[] = {
      {"connection refused", answering().reply({0x05, 0x05, 0x00, 0x01, 0, 0, 0, 0, 0, 0}).hold(),
       "Error in Socks5 connection: 5.5\r\n"},
      {"refusal judged on two bytes", answering().reply({0x05, 0x04}).hold(),
       "Error in Socks5 connection: 5.4\r\n"},
      {"REP above 127 is unsigned", answering().reply({0x05, 0xFF}).hold(),
       "Error in Socks5 connection: 5.255\r\n"},
      {"SOCKS4-style answer", answering().reply({0x00, 0x5A, 0, 0, 0, 0, 0, 0}).hold(),
       "Error in Socks5 connection: 0.90\r\n"},
      {"close right after the request", answering().close(), "recv(host) err: 0\r\n"},
      {"one byte then close", answering().reply({0x05}).close(), "recv(host) err: 0\r\n"},
      {"close inside the address", answering().reply({0x05, 0x00, 0x00, 0x01, 10, 0}).close(),
       "recv(host) err: 0\r\n"},
      {"close inside a name", answering().reply({0x05, 0x00, 0x00, 0x03, 9, 'p'}).close(),
       "recv(host) err: 0\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedProxy proxy(c.reply);
    useTarget("host", "3389");
    EXPECT_EQ(connectThrough(proxy), 0);
    const std::vector<std::string> lines = log_.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Connecting to Server host:3389 ...\r\n");
    const bool prefixOnly = c.lastLine.ends_with("err: ");
    EXPECT_EQ(prefixOnly ? lines[1].substr(0, c.lastLine.size()) : lines[1], c.lastLine);
  }
}

TEST_F(ConnectRequestTest, SilentOrStalledReplyTimesOut) {
  for (const Bytes& partial : {Bytes{}, Bytes{0x05, 0x00}, Bytes{0x05, 0x00, 0x00, 0x01, 10}}) {
    SCOPED_TRACE(hexBytes(partial));
    ScriptedProxy proxy(partial.empty() ? answering().stall() : answering().reply(partial).stall());
    useTarget("host", "3389");
    EXPECT_EQ(connectThrough(proxy, 300), 0);
    EXPECT_EQ(log_.lines().back(), "recv(host) err: " + std::to_string(kErrTimedOut) + "\r\n");
  }
}

TEST_F(ConnectRequestTest, SendFailureOnAClosedSession) {
  ScriptedProxy proxy(selecting({0x05, 0x00}).reset());
  session_ = openSession(proxy);
  ASSERT_TRUE(session_);
  ASSERT_TRUE(proxy.waitForClosed(0));
  useTarget("host", "3389");
  // The first send may still be accepted locally; the RST makes the next step fail either way.
  log_.clear();
  EXPECT_EQ(requestConnect(session_.get(), tunnelSettings), 0);
  const std::string last = log_.lines().back();
  EXPECT_TRUE(last.starts_with("send(host) err: ") || last.starts_with("recv(host) err: ")) << last;
}

}  // namespace
