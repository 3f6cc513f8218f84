// The SOCKS5 client against real servers (Dante, microsocks, OpenSSH's ssh -D) started by the
// quillan_peers fixture: a CONNECT to a loopback target of the test's own, then bytes both ways.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "socks5/connect_request.h"
#include "tests/peers/peers.h"
#include "tests/socks5/socks5_test_util.h"

namespace {

struct Peer {
  const char* name;
  std::uint16_t port;
  bool login;
  bool ipv6;            // reaches IPv6 targets (our Dante connects out from 127.0.0.1 only)
  const char* refusal;  // how a refused CONNECT is logged (ssh closes without a reply)
  friend void PrintTo(const Peer& peer, std::ostream* out) { *out << peer.name; }
};

const Peer kPeers[] = {
    {"Dante", kDantePort, false, false, "Error in Socks5 connection: 5."},
    {"Dante with login", kDanteAuthPort, true, false, "Error in Socks5 connection: 5."},
    {"microsocks", kMicrosocksPort, false, true, "Error in Socks5 connection: 5."},
    {"microsocks with login", kMicrosocksAuthPort, true, true, "Error in Socks5 connection: 5."},
    {"ssh -D", kSshSocksPort, false, true, "recv(host) err: "},
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

  // A session through the peer whose CONNECT to host:port succeeded; empty after a failure.
  UniqueSocket connectThrough(const std::string& host, const std::string& port) {
    useTarget(host, port);
    UniqueSocket session(openProxySession(tunnelSettings));
    EXPECT_TRUE(session) << log_.text();
    if (session && requestConnect(session.get(), tunnelSettings) != 1) {
      ADD_FAILURE() << "CONNECT failed: " << log_.text();
      session.reset();
    }
    return session;
  }
};

TEST_P(PeerTest, ConnectThenBytesBothWays) {
  ScriptedProxy target(ProxyScript().echo());
  UniqueSocket session = connectThrough("127.0.0.1", target.portText());
  ASSERT_TRUE(session);
  EXPECT_EQ(log_.contains("Login as quillanpeer:*** ...\r\n"), GetParam().login);
  EXPECT_EQ(log_.lines().back(), "Connected OK\r\n");
  for (std::uint64_t size : {1u, 1000u, 100000u}) EXPECT_TRUE(echoes(session.get(), size, size));
}

TEST_P(PeerTest, TargetThatSpeaksFirstKeepsItsBytes) {
  // The target greets at once, so its bytes may reach us in the same segment as the reply.
  const Bytes welcome = {'2', '2', '0', ' ', 'h', 'i', '\r', '\n'};
  ScriptedProxy target(ProxyScript().reply(welcome).echo());
  UniqueSocket session = connectThrough("127.0.0.1", target.portText());
  ASSERT_TRUE(session);
  EXPECT_EQ(receiveBytes(session.get(), welcome.size()), welcome);
  EXPECT_TRUE(echoes(session.get(), 64, 64));
}

TEST_P(PeerTest, TargetByNameIsResolvedByTheProxy) {
  // The proxy may take either of localhost's addresses first, as its hosts file orders them.
  ScriptedProxy target(ProxyScript().echo(), Listen::kBoth);
  ASSERT_TRUE(target.listening());
  UniqueSocket session = connectThrough("localhost", target.portText());
  ASSERT_TRUE(session);
  EXPECT_TRUE(echoes(session.get(), 300, 300));
}

TEST_P(PeerTest, ClosedTargetPortIsRefused) {
  useTarget("127.0.0.1", std::to_string(freeLoopbackPort()));
  UniqueSocket session(openProxySession(tunnelSettings));
  ASSERT_TRUE(session) << log_.text();
  log_.clear();
  EXPECT_EQ(requestConnect(session.get(), tunnelSettings), 0);
  ASSERT_EQ(log_.lines().size(), 2u) << log_.text();
  EXPECT_EQ(log_.lines()[1].rfind(GetParam().refusal, 0), 0u) << log_.lines()[1];
}

using PeerIpv6Test = PeerTest;

TEST_P(PeerIpv6Test, Ipv6TargetGetsBytesBothWays) {
  ScriptedProxy target(ProxyScript().echo(), Listen::kIpv6);
  if (!target.listening()) GTEST_SKIP() << "no IPv6 loopback here";
  UniqueSocket session = connectThrough("::1", target.portText());
  ASSERT_TRUE(session);
  EXPECT_TRUE(echoes(session.get(), 600, 600));
}

std::string peerName(const testing::TestParamInfo<Peer>& info) {
  std::string name = info.param.name;
  std::erase_if(name, [](unsigned char c) { return !std::isalnum(c); });
  return name;
}

std::vector<Peer> ipv6Peers() {
  std::vector<Peer> peers;
  std::copy_if(std::begin(kPeers), std::end(kPeers), std::back_inserter(peers),
               [](const Peer& peer) { return peer.ipv6; });
  return peers;
}

INSTANTIATE_TEST_SUITE_P(Peers, PeerTest, testing::ValuesIn(kPeers), peerName);
INSTANTIATE_TEST_SUITE_P(Peers, PeerIpv6Test, testing::ValuesIn(ipv6Peers()), peerName);

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
