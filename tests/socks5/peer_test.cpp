// The SOCKS5 client against real servers (Dante, microsocks) started by the quillan_peers
// fixture: a CONNECT to a loopback target of the test's own, then bytes both ways.
#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>

#include "socks5/connect_request.h"
#include "tests/peers/peers.h"
#include "tests/socks5/socks5_test_util.h"

namespace {

struct Peer {
  const char* name;
  std::uint16_t port;
  bool login;
  friend void PrintTo(const Peer& peer, std::ostream* out) { *out << peer.name; }
};

const Peer kPeers[] = {
    {"Dante", kDantePort, false},
    {"Dante with login", kDanteAuthPort, true},
    {"microsocks", kMicrosocksPort, false},
    {"microsocks with login", kMicrosocksAuthPort, true},
};

class PeerTest : public Socks5Test, public testing::WithParamInterface<Peer> {
 protected:
  void SetUp() override {
    Socks5Test::SetUp();
    if (!peerListening(GetParam().port))
      GTEST_SKIP() << GetParam().name << " is not running (run through ctest)";
    useProxy("127.0.0.1", std::to_string(GetParam().port), GetParam().login ? kPeerUser : "",
             GetParam().login ? kPeerPassword : "");
  }

  // Sends `bytes` whole and reads the same count back from the echo.
  static Bytes roundTrip(Socket socket, const Bytes& bytes) {
    return sendAllBytes(socket, bytes) ? receiveBytes(socket, bytes.size()) : Bytes{};
  }
};

TEST_P(PeerTest, ConnectThenBytesBothWays) {
  LoopbackTarget target(LoopbackTarget::Kind::kEcho);
  useTarget("127.0.0.1", target.portText());
  UniqueSocket session(openProxySession(tunnelSettings));
  ASSERT_TRUE(session) << log_.text();
  EXPECT_EQ(log_.contains("Login as quillanpeer:*** ...\r\n"), GetParam().login);
  ASSERT_EQ(requestConnect(session.get(), tunnelSettings), 1) << log_.text();
  EXPECT_EQ(log_.lines().back(), "Connected OK\r\n");

  for (std::size_t size : {1u, 1000u, 100000u}) {
    const Bytes bytes = streamBytes(size, size);
    EXPECT_EQ(roundTrip(session.get(), bytes), bytes) << size << " bytes";
  }
}

TEST_P(PeerTest, TargetThatSpeaksFirstKeepsItsBytes) {
  // The target greets at once, so its bytes may reach us in the same segment as the reply.
  const Bytes welcome = {'2', '2', '0', ' ', 'h', 'i', '\r', '\n'};
  LoopbackTarget target(LoopbackTarget::Kind::kGreeter, {}, welcome);
  useTarget("127.0.0.1", target.portText());
  UniqueSocket session(openProxySession(tunnelSettings));
  ASSERT_TRUE(session) << log_.text();
  ASSERT_EQ(requestConnect(session.get(), tunnelSettings), 1) << log_.text();
  EXPECT_EQ(receiveBytes(session.get(), welcome.size()), welcome);
  const Bytes ping = streamBytes(64, 64);
  EXPECT_EQ(roundTrip(session.get(), ping), ping);
}

TEST_P(PeerTest, TargetByNameIsResolvedByTheProxy) {
  LoopbackTarget target(LoopbackTarget::Kind::kEcho);
  useTarget("localhost", target.portText());
  UniqueSocket session(openProxySession(tunnelSettings));
  ASSERT_TRUE(session) << log_.text();
  ASSERT_EQ(requestConnect(session.get(), tunnelSettings), 1) << log_.text();
  const Bytes bytes = streamBytes(300, 300);
  EXPECT_EQ(roundTrip(session.get(), bytes), bytes);
}

TEST_P(PeerTest, ClosedTargetPortIsRefused) {
  useTarget("127.0.0.1", std::to_string(freeLoopbackPort()));
  UniqueSocket session(openProxySession(tunnelSettings));
  ASSERT_TRUE(session) << log_.text();
  log_.clear();
  EXPECT_EQ(requestConnect(session.get(), tunnelSettings), 0);
  ASSERT_EQ(log_.lines().size(), 2u) << log_.text();
  // Which REP a server picks varies (5 "connection refused" from most, 1 from some).
  EXPECT_EQ(log_.lines()[1].rfind("Error in Socks5 connection: 5.", 0), 0u) << log_.lines()[1];
}

INSTANTIATE_TEST_SUITE_P(Peers, PeerTest, testing::ValuesIn(kPeers),
                         [](const testing::TestParamInfo<Peer>& info) {
                           std::string name = info.param.name;
                           std::erase_if(name, [](unsigned char c) { return !std::isalnum(c); });
                           return name;
                         });

using PeerLogin = Socks5Test;

TEST_F(PeerLogin, WrongPasswordIsRefused) {
  for (std::uint16_t port : {kDanteAuthPort, kMicrosocksAuthPort}) {
    if (!peerListening(port)) GTEST_SKIP() << "peers are not running (run through ctest)";
    SCOPED_TRACE(port);
    log_.clear();
    useProxy("127.0.0.1", std::to_string(port), kPeerUser, "wrong-password");
    EXPECT_EQ(openProxySession(tunnelSettings), noSocket);
    ASSERT_FALSE(log_.lines().empty());
    EXPECT_EQ(log_.lines().back().rfind("Error in Socks5 login: 1.", 0), 0u) << log_.text();
  }
}

}  // namespace
