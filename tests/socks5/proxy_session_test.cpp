// openProxySession / negotiateMethod against the scripted proxy: bytes on the wire, log lines,
// refusals, split and short replies, time-outs and the resolver walk.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/socks5/socks5_test_util.h"

namespace {

using namespace std::chrono_literals;

class ProxySessionTest : public Socks5Test {
 protected:
  // A proxy that asks for the login and reads the login request.
  static ProxyScript askingLogin() { return selecting({0x05, 0x02}).expectLogin(); }

  // A session to `host`:`port` that must fail; the lines it logged.
  std::vector<std::string> failedSession(const std::string& host, const std::string& port) {
    log_.clear();
    useProxy(host, port);
    EXPECT_EQ(openProxySession(tunnelSettings), noSocket);
    return log_.lines();
  }
};

// `line` is the step's error line with a real error number.
void expectErrorLine(const std::string& line, const std::string& step) {
  EXPECT_EQ(line.rfind(step + " err: ", 0), 0u) << line;
  EXPECT_NE(line, step + " err: 0\r\n");
}

TEST_F(ProxySessionTest, NoAuthSessionLogsEveryStep) {
  ScriptedProxy proxy(selecting({0x05, 0x00}).hold());
  ASSERT_TRUE(proxy.listening());
  ASSERT_TRUE(openSession(proxy));
  const std::string port = proxy.portText();
  EXPECT_EQ(log_.lines(), (std::vector<std::string>{
                              "Connecting to Proxy 127.0.0.1:" + port + " ...\r\n",
                              "Connecting to 127.0.0.1:" + port + "\r\n", "set options = 0\r\n",
                              "Connected OK\r\n", "Socks5 Auth...\r\n", "Socks5 Auth OK\r\n"}));
}

// The one table of greetings and login requests: the login is offered only with a name, and
// made whenever the proxy asks for it; the password never reaches the log, not even when the
// proxy refuses it (a login accepted: SplitRepliesAreReadWhole).
TEST_F(ProxySessionTest, GreetingAndLoginBytesOnTheWire) {
  const std::string most(255, 'x'), mostPassword(255, 'y');
  Bytes full = {0x01, 255};
  full.insert(full.end(), most.begin(), most.end());
  full.push_back(255);
  full.insert(full.end(), mostPassword.begin(), mostPassword.end());
  const Bytes offered = {0x05, 0x02, 0x00, 0x02}, notOffered = {0x05, 0x01, 0x00};
  const struct {
    std::string user, password;
    Bytes greeting, login;
  } cases[] = {
      {"u", "q", offered, {0x01, 0x01, 'u', 0x01, 'q'}},
      {"alice",
       "Secr3t-Pw",
       offered,
       {0x01, 5, 'a', 'l', 'i', 'c', 'e', 9, 'S', 'e', 'c', 'r', '3', 't', '-', 'P', 'w'}},
      {most, mostPassword, offered, full},
      // No name, so only no-auth is offered; the proxy asks for the login all the same.
      {"", "pw", notOffered, {0x01, 0x00, 0x02, 'p', 'w'}},
      {"", "", notOffered, {0x01, 0x00, 0x00}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.user + ":" + c.password);
    log_.clear();
    ScriptedProxy proxy(askingLogin().reply({0x01, 0x01}).hold());
    EXPECT_FALSE(openSession(proxy, c.user, c.password));
    ASSERT_TRUE(proxy.waitForScriptEnd(0));
    EXPECT_EQ(proxy.messages(0), (std::vector<Bytes>{c.greeting, c.login}));
    const std::vector<std::string> lines = log_.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Login as " + c.user + ":*** ...\r\n");
    if (!c.password.empty()) {
      EXPECT_EQ(log_.text().find(c.password), std::string::npos);
    }
  }
}

// Every refusal: the last line names the step; no socket comes back and the proxy, which holds
// the connection after its steps, sees it closed.
struct Refusal {
  const char* name;
  const char* user;
  ProxyScript script;
  std::string lastLine;  // exact, or the start of an error line ("... err: ", its number varies)
};

TEST_F(ProxySessionTest, EveryRefusalEndsWithItsOwnLine) {
  const std::vector<Refusal> cases = {
      {"no acceptable method", "", selecting({0x05, 0xFF}), "Error in SOCKS Auth: 5.255\r\n"},
      {"SOCKS4 answer", "", selecting({0x04, 0x5A}), "Error in SOCKS Auth: 4.90\r\n"},
      {"method not offered (GSSAPI)", "", selecting({0x05, 0x01}), "Error in SOCKS Auth: 5.1\r\n"},
      {"version 4 with login method", "u", selecting({0x04, 0x02}), "Error in SOCKS Auth: 4.2\r\n"},
      {"login refused", "u", askingLogin().reply({0x01, 0x01}), "Error in Socks5 login: 1.1\r\n"},
      {"login reply with wrong version", "u", askingLogin().reply({0x05, 0x00}),
       "Error in Socks5 login: 5.0\r\n"},
      {"login status 0xFF", "u", askingLogin().reply({0x01, 0xFF}),
       "Error in Socks5 login: 1.255\r\n"},
      {"close after greeting", "", ProxyScript().expectGreeting().close(), "recv(auth) err: "},
      {"reset after greeting", "", ProxyScript().expectGreeting().reset(), "recv(auth) err: "},
      {"half a method selection", "", selecting({0x05}).close(), "recv(auth) err: "},
      {"close after login request", "u", askingLogin().close(), "recv(auth2) err: "},
      {"half a login reply", "u", askingLogin().reply({0x01}).close(), "recv(auth2) err: "},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.name);
    log_.clear();
    ScriptedProxy proxy(ProxyScript(c.script).hold());
    EXPECT_FALSE(openSession(proxy, c.user, "p"));
    const std::vector<std::string> lines = log_.lines();
    ASSERT_FALSE(lines.empty());
    const std::string& last = lines.back();
    const bool prefixOnly = c.lastLine.ends_with("err: ");
    EXPECT_EQ(prefixOnly ? last.substr(0, c.lastLine.size()) : last, c.lastLine);
    EXPECT_TRUE(last.ends_with("\r\n")) << last;
    EXPECT_TRUE(proxy.waitForClosed(0)) << "the session's socket was left open";
  }
}

TEST_F(ProxySessionTest, SplitRepliesAreReadWhole) {
  ProxyScript script = ProxyScript().expectGreeting().replySplit({0x05, 0x02}, {1}).expectLogin();
  ScriptedProxy proxy(script.replySplit({0x01, 0x00}, {1}, 50ms).hold());
  EXPECT_TRUE(openSession(proxy, "user", "password"));
  EXPECT_EQ(log_.lines().back(), "Socks5 Auth OK\r\n");
}

TEST_F(ProxySessionTest, SilentProxyTimesOutWithTheRecvLine) {
  testSeams.handshakeTimeoutMs = 300;
  const struct {
    ProxyScript script;
    const char* user;
    const char* step;
  } cases[] = {
      {ProxyScript().expectGreeting().stall(), "", "recv(auth) err: "},
      // One byte, then silence: the wait is for the whole reply, not for each byte.
      {selecting({0x05}).stall(), "", "recv(auth) err: "},
      {askingLogin().stall(), "u", "recv(auth2) err: "},
  };
  for (const auto& c : cases) {
    ScriptedProxy proxy(c.script);
    EXPECT_FALSE(openSession(proxy, c.user, "p"));
    EXPECT_EQ(log_.lines().back(), c.step + std::to_string(kErrTimedOut) + "\r\n");
  }
}

TEST_F(ProxySessionTest, RefusedConnectionIsLoggedWithFamilyAndError) {
  const std::string port = std::to_string(freeLoopbackPort());
  const std::vector<std::string> lines = failedSession("127.0.0.1", port);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "Connecting to Proxy 127.0.0.1:" + port + " ...\r\n");
  EXPECT_EQ(lines[1], "Connecting to 127.0.0.1:" + port + "\r\n");
  EXPECT_EQ(lines[2], "set options = 0\r\n");
  expectErrorLine(lines[3], "connect(2)");
}

TEST_F(ProxySessionTest, UnresolvableNameGivesOneResolverLine) {
  const std::vector<std::string> lines = failedSession("no-such-proxy.invalid", "1080");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Connecting to Proxy no-such-proxy.invalid:1080 ...\r\n");
  expectErrorLine(lines[1], "getaddrinfo()");
}

TEST_F(ProxySessionTest, Ipv6ProxyIsLoggedInBrackets) {
  ScriptedProxy proxy(selecting({0x05, 0x00}).hold(), Listen::kIpv6);
  if (!proxy.listening()) GTEST_SKIP() << "no IPv6 loopback here";
  useProxy("::1", proxy.portText());
  EXPECT_TRUE(UniqueSocket(openProxySession(tunnelSettings)));
  EXPECT_TRUE(log_.contains("Connecting to [::1]:" + proxy.portText() + "\r\n"));

  const std::vector<std::string> refused = failedSession("::1", std::to_string(freeLoopbackPort()));
  ASSERT_FALSE(refused.empty());
  EXPECT_EQ(refused.back().rfind("connect(23) err: ", 0), 0u) << refused.back();
}

TEST_F(ProxySessionTest, AddressTooLongForTheLogShowsEmpty) {
  // "[ffff:...:fffe]:1" is 43 characters and fits; with port 10800 it is 47 and does not.
  const std::vector<std::string> lines =
      failedSession("ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe", "10800");
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[1], "Connecting to \r\n");
  // The attempt goes on: socket and options (or a socket error) follow, then a failure.
  EXPECT_GE(lines.size(), 3u);
}

TEST_F(ProxySessionTest, ResolverOrderIsKept) {
  // Needs a name with an IPv4 and an IPv6 address (localhost in most hosts files, in either
  // order). The proxy listens on the second one's family only: the first attempt must fail and
  // the second one reach it, in the resolver's order.
  ResolvedAddresses addresses;
  if (resolveStreamAddresses("localhost", "1", addresses) != 0 || addresses.size() < 2 ||
      addresses[0].family == addresses[1].family)
    GTEST_SKIP() << "localhost does not resolve to both IPv4 and IPv6 here";
  const bool ipv6Second = addresses[1].family == kFamilyIpv6;
  ScriptedProxy proxy(selecting({0x05, 0x00}).hold(), ipv6Second ? Listen::kIpv6 : Listen::kIpv4);
  ASSERT_TRUE(proxy.listening());
  useProxy("localhost", proxy.portText());
  EXPECT_TRUE(UniqueSocket(openProxySession(tunnelSettings)));
  const std::string ipv4 = "127.0.0.1:" + proxy.portText(), ipv6 = "[::1]:" + proxy.portText();
  const std::vector<std::string> lines = log_.lines();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[1], "Connecting to " + (ipv6Second ? ipv4 : ipv6) + "\r\n");
  EXPECT_EQ(lines[3].rfind(ipv6Second ? "connect(2) err: " : "connect(23) err: ", 0), 0u);
  EXPECT_EQ(lines[4], "Connecting to " + (ipv6Second ? ipv6 : ipv4) + "\r\n");
}

}  // namespace
