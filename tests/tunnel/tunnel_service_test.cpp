// The service as Start and Stop drive it: start and trial failures with their exact texts and
// service states, the accept loop going on past a failed relay, the relay's close lines, and
// stops with relays still open.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "common/log.h"
#include "common/message.h"
#include "common/service_state.h"
#include "common/test_seams.h"
#include "config/tunnel_settings.h"
#include "tests/support/loopback_target.h"
#include "tests/tunnel/tunnel_fixture.h"
#include "tunnel/tunnel_service.h"

namespace {

using namespace std::chrono_literals;

bool portBindable(std::uint16_t port) {
  UniqueSocket socket(openTcpSocket(kFamilyIpv4));
  return socket && bindIpv4(socket.get(), {127, 0, 0, 1}, port);
}

using TunnelServiceTest = TunnelTest;

// ---- Start failures: nothing is started, one log line and one box with the same text ----

TEST_F(TunnelServiceTest, PortInUseIsReportedWithItsOwnText) {
  HeldPort held;
  ASSERT_NE(held.port, 0);
  useSettings(held.port, 1, 1);

  EXPECT_EQ(startService(), 0);
  const std::string text = "Local server 127.0.0.1 port " + held.text() + " is already in use!";
  EXPECT_EQ(std::string(messageText.data()), text);
  EXPECT_EQ(log_.lines(),
            (std::vector<std::string>{"Starting local server...\r\n", text + "\r\n"}));
  EXPECT_EQ(events(), (std::vector<std::string>{"showError:" + text}));
  EXPECT_EQ(listenerHandle.load(), nullptr);
}

TEST_F(TunnelServiceTest, BadLocalAddressFailsInBindWithThePlatformError) {
  const std::uint16_t port = freeLoopbackPort();
  // Text that is no IPv4 address binds 255.255.255.255; 10.255.255.254 is no local address.
  for (const char* address : {"not-an-address", "300.1.2.3", "10.255.255.254"}) {
    SCOPED_TRACE(address);
    log_.clear();
    useSettings(port, 1, 1);
    copySetting(tunnelSettings.localAddress, address);
    if (startService() != 0) {
      ADD_FAILURE() << "the listener started";
      stopService();
      continue;
    }

    // "Error %d in local bind() to %s:%s" with the platform's "address not available".
    const std::string text = messageText.data();
    int error = 0;
    EXPECT_EQ(std::sscanf(text.c_str(), "Error %d in local bind()", &error), 1) << text;
    EXPECT_GT(error, 0);
    EXPECT_EQ(text, "Error " + std::to_string(error) + " in local bind() to " + address + ":" +
                        std::to_string(port));
    EXPECT_EQ(log_.lines(),
              (std::vector<std::string>{"Starting local server...\r\n", text + "\r\n"}));
    EXPECT_EQ(listenerHandle.load(), nullptr);
  }
}

// ---- Trial failures: the box names the failing hop, the listener closes only after it ----

struct TrialCase {
  const char* name;
  bool proxyListens;
  const char* box;
  const char* lastDetail;  // a line of the SOCKS5 client that must come before the box
  friend void PrintTo(const TrialCase& trial, std::ostream* out) { *out << trial.name; }
};

class TrialFailureTest : public TunnelTest, public testing::WithParamInterface<TrialCase> {};

TEST_P(TrialFailureTest, ShowsTheFailingHopAndGoesBackToIdle) {
  const TrialCase& trial = GetParam();
  ScriptedProxy refusing(ProxyScript::refuseConnect(0x05));
  ASSERT_TRUE(refusing.listening());
  const std::uint16_t proxyPort = trial.proxyListens ? refusing.port() : freeLoopbackPort();
  const std::uint16_t localPort = freeLoopbackPort();
  useSettings(localPort, proxyPort, 3389);

  ASSERT_EQ(startService(), 1);
  ASSERT_TRUE(waitForEvent("Idle"));
  EXPECT_EQ(events(),
            (std::vector<std::string>{"Proving", std::string("showError:") + trial.box, "Idle"}));
  EXPECT_EQ(std::string(messageText.data()), trial.box);

  // The box comes after the client's own reason and before the listener closes.
  const std::vector<std::string> before = linesBeforeFirstBox();
  ASSERT_GE(before.size(), 4u);
  EXPECT_EQ(before[0], "Starting local server...\r\n");
  EXPECT_EQ(before[1], "Waiting for connection to 127.0.0.1:" + std::to_string(localPort) + "\r\n");
  EXPECT_EQ(before[2], "Testing SOCKS5 at 127.0.0.1:" + std::to_string(proxyPort) + "\r\n");
  EXPECT_EQ(before.back().rfind(trial.lastDetail, 0), 0u) << before.back();
  for (const std::string& line : before) EXPECT_NE(line, "Closing local server main thread...\r\n");
  ASSERT_TRUE(waitForLine(log_, "Closing local server main thread...\r\n"));
  EXPECT_EQ(log_.lines().back(), "Closing local server main thread...\r\n");
  // The box text itself is not logged on this path.
  EXPECT_FALSE(log_.contains(std::string(trial.box) + "\r\n"));

  EXPECT_EQ(listenerHandle.load(), nullptr);
  EXPECT_TRUE(stopRequested.load());
  EXPECT_TRUE(portBindable(localPort)) << "the listening socket was not closed";
}

INSTANTIATE_TEST_SUITE_P(
    Trial, TrialFailureTest,
    testing::Values(TrialCase{"ProxyUnreachable", false, "Cannot connect to SOCKS5 Proxy server.",
                              "connect("},
                    TrialCase{"ConnectRefused", true, "Cannot connect to Remote (target) server.",
                              "Error in Socks5 connection: 5.5"}),
    testing::PrintToStringParamName());

// ---- Accepting ----

TEST_F(TunnelServiceTest, ButtonsFollowProvingAcceptingAndStop) {
  ScriptedProxy proxy(ProxyScript::acceptNoAuth().echo());
  const std::uint16_t localPort = freeLoopbackPort();
  useSettings(localPort, proxy.port(), 3389);

  ASSERT_EQ(startService(), 1);
  EXPECT_NE(listenerHandle.load(), nullptr);
  ASSERT_TRUE(waitForEvent("Accepting"));
  ASSERT_TRUE(waitForLine(log_, "Waiting for local incoming connection.\r\n"));
  EXPECT_TRUE(log_.contains("Testing Remote server 127.0.0.1:3389\r\n"));
  EXPECT_EQ(events(), (std::vector<std::string>{"Proving", "Accepting"}));

  stopService();
  EXPECT_EQ(events(), (std::vector<std::string>{"Proving", "Accepting", "Idle"}));
  EXPECT_EQ(listenerHandle.load(), nullptr);
  EXPECT_EQ(log_.lines().back(), "Closing local server main thread...\r\n");
  // The listener ended by itself (not left behind): its port is free again.
  EXPECT_TRUE(portBindable(localPort));
}

TEST_F(TunnelServiceTest, RelaysUseTheSettingsTheServiceStartedWith) {
  ScriptedProxy proxy(ProxyScript::acceptNoAuth().echo());
  ASSERT_NO_FATAL_FAILURE(startAccepting(proxy.port()));

  // What a later Start writes: no relay of this service may see it.
  copySetting(tunnelSettings.proxyPort, "1");
  copySetting(tunnelSettings.targetServer, "changed.example");
  UniqueSocket client(connectLoopback(localPort_));
  ASSERT_TRUE(client);
  ASSERT_TRUE(echoes(client.get(), 4, 1, 10s));
  ASSERT_TRUE(proxy.waitForScriptEnd(1));
  EXPECT_EQ(proxy.messages(1), proxy.messages(0)) << "greeting and CONNECT differ from the trial's";
}

TEST_F(TunnelServiceTest, RefusedConnectCostsOnlyThatConnection) {
  // Connection 0 is the trial, 1 the refused relay, 2 a relay that works.
  ScriptedProxy proxy({ProxyScript::acceptNoAuth(), ProxyScript::refuseConnect(0x05),
                       ProxyScript::acceptNoAuth().echo()});
  UniqueSocket refused;
  ASSERT_NO_FATAL_FAILURE(startAccepting(proxy.port(), &refused));

  EXPECT_TRUE(waitPeerClosed(refused.get(), kHangLimit));
  ASSERT_TRUE(waitForLines(log_, "Con: ", 1));
  const std::vector<std::string> conLines = linesStarting(log_, "Con: ");
  ASSERT_EQ(conLines.size(), 1u);
  EXPECT_NE(conLines[0].find(", failed to connect to Remote server\r\n"), std::string::npos)
      << conLines[0];

  UniqueSocket working(connectLoopback(localPort_));
  ASSERT_TRUE(working);
  ASSERT_TRUE(echoes(working.get(), 4));
  // The listener writes the line after the hand-off: the relay may have echoed before that.
  EXPECT_TRUE(waitForLines(log_, "Waiting for local incoming connection.\r\n", 3));
  EXPECT_EQ(countLines(log_, "Waiting for local incoming connection.\r\n"), 3u);
}

TEST_F(TunnelServiceTest, SuccessWithAnUnknownAddressTypeProvesTheRouteAndRelaysWhatFollows) {
  // 05 00 with ATYP 7: the route holds, and the bytes after the reply head are the target's.
  ProxyScript script = ProxyScript().expectGreeting().reply({0x05, 0x00}).expectConnect();
  ScriptedProxy proxy(script.reply({0x05, 0x00, 0x00, 0x07, 'h', 'i', 0x00, 0xFF}).echo());
  UniqueSocket client;
  ASSERT_NO_FATAL_FAILURE(startAccepting(proxy.port(), &client));
  EXPECT_EQ(receiveBytes(client.get(), 4, 10s), (Bytes{'h', 'i', 0x00, 0xFF}));
  EXPECT_EQ(countLines(log_, "Error in"), 0u) << log_.text();
}

// ---- The relay's end lines ----

enum class Ender { kLocalClose, kLocalReset, kRemoteClose, kRemoteReset };

struct CloseCase {
  const char* name;
  Ender ender;
  const char* line;  // after "Con: <id>, "
  friend void PrintTo(const CloseCase& close, std::ostream* out) { *out << close.name; }
};

class RelayCloseTest : public TunnelTest, public testing::WithParamInterface<CloseCase> {};

TEST_P(RelayCloseTest, LogsWhoClosedWithTheReceiveResult) {
  const CloseCase& c = GetParam();
  const bool reset = c.ender == Ender::kLocalReset || c.ender == Ender::kRemoteReset;
  if (reset && runningUnderWine()) GTEST_SKIP() << "Wine turns an abortive close into a FIN";
  // The remote end closes only once the relay has started its transfer (the gate).
  ProxyScript relayScript = ProxyScript::acceptNoAuth().echo();
  if (c.ender == Ender::kRemoteClose) relayScript = ProxyScript::acceptNoAuth().awaitGate().close();
  if (c.ender == Ender::kRemoteReset) relayScript = ProxyScript::acceptNoAuth().awaitGate().reset();
  ScriptedProxy proxy({ProxyScript::acceptNoAuth(), relayScript});
  UniqueSocket client;
  ASSERT_NO_FATAL_FAILURE(startAccepting(proxy.port(), &client));

  ASSERT_TRUE(waitForLines(log_, "Con: ", 1));
  const std::string id = connectionId(log_);
  ASSERT_FALSE(id.empty()) << log_.text();
  EXPECT_TRUE(log_.contains("Con: " + id + ", Starting data transfer. setopt() = 0\r\n"));
  proxy.openGate();

  if (c.ender == Ender::kLocalClose) client.reset();
  if (c.ender == Ender::kLocalReset) resetConnection(client.release());
  EXPECT_TRUE(!client || waitPeerClosed(client.get(), kHangLimit));

  ASSERT_TRUE(waitForLines(log_, "Con: " + id + ", ", 2)) << log_.text();
  EXPECT_EQ(countLines(log_, "Con: "), 2u) << log_.text();
  EXPECT_TRUE(log_.contains("Con: " + id + ", " + c.line + "\r\n")) << log_.text();
  EXPECT_TRUE(proxy.waitForClosed(1)) << "the relay did not close its proxy socket";
}

INSTANTIATE_TEST_SUITE_P(
    Ends, RelayCloseTest,
    testing::Values(CloseCase{"LocalClose", Ender::kLocalClose, "LOCAL connection closed 0"},
                    CloseCase{"LocalReset", Ender::kLocalReset, "LOCAL connection closed -1"},
                    CloseCase{"RemoteClose", Ender::kRemoteClose, "SOCKS5 connection closed 0"},
                    CloseCase{"RemoteReset", Ender::kRemoteReset, "SOCKS5 connection closed -1"}),
    testing::PrintToStringParamName());

TEST_F(TunnelServiceTest, UrgentBytesTravelInLineAndInOrderAndLeaveTheRelayIdle) {
  // Urgent bytes from both sides before the relay runs: the client's while the relay's session
  // waits for the gate, the target's right behind the CONNECT reply. Then more once it runs.
  ProxyScript relay = ProxyScript().expectGreeting().awaitGate().reply({0x05, 0x00});
  relay.expectConnect().reply(kConnectReplyIpv4Zero).urgent('^').expect(3);
  relay.reply({'a', 'b'}).urgent('!').reply({'c', 'd'}).hold();
  ScriptedProxy proxy({ProxyScript::acceptNoAuth(), relay});
  UniqueSocket client;
  ASSERT_NO_FATAL_FAILURE(startAccepting(proxy.port(), &client));
  ASSERT_TRUE(sendAllBytes(client.get(), Bytes{'g', 'o'}));
  ASSERT_TRUE(sendUrgentByte(client.get(), '*'));
  ASSERT_TRUE(proxy.waitForConnections(2));
  proxy.openGate();

  EXPECT_EQ(receiveBytes(client.get(), 6, 10s), (Bytes{'^', 'a', 'b', '!', 'c', 'd'}));
  EXPECT_EQ(proxy.messages(1).back(), (Bytes{'g', 'o', '*'}));
  ASSERT_TRUE(sendAllBytes(client.get(), Bytes{'x', 'y'}));
  ASSERT_TRUE(sendUrgentByte(client.get(), '#'));
  ASSERT_TRUE(sendAllBytes(client.get(), Bytes{'z', 'w'}));
  const Bytes expected = {'x', 'y', '#', 'z', 'w'};
  waitUntil([&] { return proxy.relayed(1).size() >= expected.size(); });
  EXPECT_EQ(proxy.relayed(1), expected);

  // A relay woken again and again by a socket with nothing to read would take a whole core
  // here; an idle one takes next to nothing (a few tenths under full emulation). A bound on a
  // spin, not a speed check.
  EXPECT_LT(cpuSecondsWhileSleeping(1s), 0.6);
}

// ---- Traffic lines: only while the console is open; one per chunk, none above 32768 ----

TEST_F(TunnelServiceTest, TrafficLinesCountEachChunkWhileTheConsoleIsOpen) {
  constexpr std::size_t kBurst = 100000;
  const Bytes burst = streamBytes(31, kBurst);
  ScriptedProxy proxy(
      {ProxyScript::acceptNoAuth(), ProxyScript::acceptNoAuth().reply(burst).echo()});
  consoleStream.store(stdout);
  UniqueSocket client;
  ASSERT_NO_FATAL_FAILURE(startAccepting(proxy.port(), &client));

  EXPECT_EQ(receiveBytes(client.get(), kBurst), burst);
  ASSERT_TRUE(echoes(client.get(), 2));
  const std::string id = connectionId(log_);
  // Each line is written after its send: the echo may be read before its line is there.
  EXPECT_TRUE(waitForLine(log_, "Con: " + id + ", Bytes to transfer L->S->R: 2 (2)\r\n"));
  EXPECT_TRUE(waitForLine(log_, "Con: " + id + ", Bytes to transfer L<-S<-R: 2 (2)\r\n"));

  std::size_t down = 0;
  std::size_t chunks = 0;
  const std::string prefix = "Con: " + id + ", Bytes to transfer L<-S<-R: ";
  for (const std::string& line : linesStarting(log_, prefix)) {
    int count = 0;
    int taken = 0;
    ASSERT_EQ(std::sscanf(line.c_str() + prefix.size(), "%d (%d)", &count, &taken), 2) << line;
    EXPECT_GT(count, 0);
    EXPECT_LE(count, 32768);
    EXPECT_GE(taken, 0);
    EXPECT_LE(taken, count);
    EXPECT_EQ(line, prefix + std::to_string(count) + " (" + std::to_string(taken) + ")\r\n");
    if (line.find(" 2 (2)") != std::string::npos && down == kBurst) continue;  // the echo
    down += static_cast<std::size_t>(count);
    ++chunks;
  }
  EXPECT_EQ(down, kBurst);
  EXPECT_GE(chunks, 4u);

  // Console closed: the same traffic writes no line.
  consoleStream.store(nullptr);
  log_.clear();
  ASSERT_TRUE(echoes(client.get(), 2));
  EXPECT_EQ(countLines(log_, "Con: "), 0u);
}

// ---- Stops with relays still open ----

TEST_F(TunnelServiceTest, StopEndsIdleRelaysOrderlyAndWithoutALine) {
  ScriptedProxy proxy(ProxyScript::acceptNoAuth().echo());
  ASSERT_NO_FATAL_FAILURE(startAccepting(proxy.port()));

  std::vector<UniqueSocket> clients;
  for (int i = 0; i < 3; ++i) {
    clients.emplace_back(connectLoopback(localPort_));
    ASSERT_TRUE(clients.back());
  }
  ASSERT_TRUE(waitForLines(log_, "Con: ", 3));
  stopService();
  // Each relay sees the stop within one selectTimeout; the bound here only catches a hang.
  for (UniqueSocket& client : clients) {
    int result = 1;
    EXPECT_TRUE(waitPeerClosed(client.get(), kHangLimit, &result));
    EXPECT_EQ(result, 0) << "closed orderly";
  }
  for (std::size_t i = 0; i < clients.size(); ++i) EXPECT_TRUE(proxy.waitForClosed(1 + i));
  EXPECT_EQ(countLines(log_, "Con: "), 3u) << "a stop ends a relay without a line";
}

TEST_F(TunnelServiceTest, StopThenStartAtOnceStillEndsTheOldRelays) {
  // The old relay is held in its SOCKS5 handshake (the proxy answers only when the gate opens)
  // while Stop and Start run, so it first looks at the flag when Start has cleared it again.
  ProxyScript slowRelay = ProxyScript().expectGreeting().awaitGate().reply({0x05, 0x00});
  slowRelay.expectConnect().reply(kConnectReplyIpv4Zero).echo();
  ScriptedProxy proxy({ProxyScript::acceptNoAuth(), slowRelay, ProxyScript::acceptNoAuth().echo()});
  // The held relay waits for the gate, however slow Stop and Start are.
  UniqueSocket old;
  ASSERT_NO_FATAL_FAILURE(startAccepting(proxy.port(), &old, 3389, 60000));

  ASSERT_TRUE(proxy.waitForConnections(2));
  stopService();
  ASSERT_EQ(startService(), 1);
  ASSERT_TRUE(waitForEvent("Accepting", kHangLimit, 2));
  proxy.openGate();

  // The old relay finishes its handshake, then ends at its first look.
  EXPECT_TRUE(waitPeerClosed(old.get(), kHangLimit));
  EXPECT_TRUE(proxy.waitForClosed(1));
  const std::string oldId = connectionId(log_);
  ASSERT_FALSE(oldId.empty());
  EXPECT_EQ(countLines(log_, "Con: " + oldId + ", "), 1u) << log_.text();

  UniqueSocket fresh(connectLoopback(localPort_));
  ASSERT_TRUE(fresh);
  EXPECT_TRUE(echoes(fresh.get(), 3));
}

// ---- A listener held in a log write past Stop's wait; accept failing for a while ----

std::atomic<bool> lastLineHeld{false};
std::atomic<bool> lastLineReleased{false};
std::atomic<bool> laterLineWritten{false};

// The capture's sink, except that the listener's last line waits for the test, as a console's
// output does while the user makes a selection in it.
void sinkHoldingTheLastLine(const char* text, std::size_t length) {
  capturedLogLines.emplace_back(text, length);
  if (std::string_view(text, length) != "Closing local server main thread...\r\n") return;
  lastLineHeld = true;
  waitUntil([] { return lastLineReleased.load(); });
}

TEST_F(TunnelServiceTest, StopLeavesAListenerHeldInAWriteToEndByItself) {
  lastLineHeld = lastLineReleased = laterLineWritten = false;  // as at the first run, repeated too
  ScriptedProxy proxy(ProxyScript::acceptNoAuth());
  ASSERT_NO_FATAL_FAILURE(startAccepting(proxy.port()));
  {
    std::lock_guard<std::mutex> lock(logMutex());
    testSeams.logSink = sinkHoldingTheLastLine;
  }
  stopService();  // its wait runs out while the listener is held
  EXPECT_TRUE(lastLineHeld);
  EXPECT_EQ(listenerHandle.load(), nullptr);
  EXPECT_EQ(events().back(), "Idle");

  // Ended from outside in its write, the listener would keep the log's lock for good.
  lastLineReleased = true;
  std::thread([] {
    logLine("a later line\r\n");
    laterLineWritten = true;
  }).detach();
  EXPECT_TRUE(waitUntil([] { return laterLineWritten.load(); }, 5s)) << "the log stays locked";
  // It closes its listening socket on its way out: the port is free again.
  EXPECT_TRUE(waitUntil([&] { return portBindable(localPort_); }, 5s));
}

#ifndef _WIN32
// Out of descriptors, accept fails while the connection stays queued and the listener readable.
TEST_F(TunnelServiceTest, AcceptFailingForWantOfDescriptorsDoesNotSpin) {
  ScriptedProxy proxy({ProxyScript::acceptNoAuth(), ProxyScript::acceptNoAuth().echo()});
  ASSERT_NO_FATAL_FAILURE(startAccepting(proxy.port()));
  ResolvedAddresses listener;
  ASSERT_EQ(resolveStreamAddresses("127.0.0.1", std::to_string(localPort_).c_str(), listener), 0);
  UniqueSocket client(openTcpSocket(kFamilyIpv4));
  ASSERT_TRUE(client);

  // No new descriptor from here on: every number below the lowest free one is taken.
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  const int lowestFree = ::dup(static_cast<int>(client.get()));
  ASSERT_GE(lowestFree, 0);
  ::close(lowestFree);
  rlimit none = limit;
  none.rlim_cur = static_cast<rlim_t>(lowestFree);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
  const bool connected = connectTo(client.get(), listener.front());
  const double used = cpuSecondsWhileSleeping(1s);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);

  ASSERT_TRUE(connected);
  EXPECT_LT(used, 0.3) << "the listener spins on the failing accept";
  EXPECT_TRUE(echoes(client.get(), 2));  // served once descriptors are there again
}
#endif

}  // namespace
