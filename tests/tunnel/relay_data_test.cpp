// Data through the whole tunnel: client → listener → relay → SOCKS5 proxy → loopback target
// and back, each stream checked byte by byte as it arrives. The big cases go through a real Dante
// server; the scripted proxy (a plain forwarder after its handshake) covers the smaller ones too.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "tests/peers/peers.h"
#include "tests/support/loopback_target.h"
#include "tests/tunnel/tunnel_fixture.h"
#include "tunnel/tunnel_service.h"

namespace {

using namespace std::chrono_literals;

// Full size natively; sanitizer and Windows (Wine) runs move less (QUILLAN_REDUCED_DATA) to stay
// within their time on a shared 2-core machine.
#ifdef QUILLAN_REDUCED_DATA
constexpr std::uint64_t kReduce = 8;
#else
constexpr std::uint64_t kReduce = 1;
#endif
constexpr std::uint64_t kBigBytes = (std::uint64_t{64} << 20) / kReduce;
constexpr std::uint64_t kPerConnectionBytes = (std::uint64_t{1} << 20) / kReduce;
constexpr std::uint64_t kEchoCrowdBytes = (std::uint64_t{8} << 20) / kReduce;
constexpr std::uint64_t kSmallWritesBytes =
    (std::uint64_t{1} << 20) / std::min<std::uint64_t>(kReduce, 4);
constexpr std::size_t kHalfCloseBytes =
    (std::size_t{256} << 10) / std::min<std::uint64_t>(kReduce, 4);
constexpr std::size_t kConcurrent = 200;
constexpr std::size_t kEchoCrowd = 40;
constexpr auto kDataLimit = std::chrono::milliseconds(240000);

enum class Proxy { kDante, kDanteAuth, kScripted };

void PrintTo(Proxy proxy, std::ostream* out) {
  *out << (proxy == Proxy::kDante       ? "Dante"
           : proxy == Proxy::kDanteAuth ? "DanteWithLogin"
                                        : "Scripted");
}

// Runs the tunnel through the chosen proxy to 127.0.0.1:targetPort.
class DataTest : public TunnelTest {
 protected:
  // Skips, or fails fatally, when the tunnel could not be started; then connects `client` to it.
  void startTunnel(Proxy proxy, std::uint16_t targetPort, UniqueSocket* client = nullptr) {
    std::uint16_t proxyPort = proxy == Proxy::kDanteAuth ? kDanteAuthPort : kDantePort;
    if (proxy == Proxy::kScripted) {
      scripted_ = std::make_unique<ScriptedProxy>(ProxyScript::acceptNoAuth().forward(targetPort));
      ASSERT_TRUE(scripted_->listening());
      proxyPort = scripted_->port();
    } else if (!peerListening(proxyPort)) {
      GTEST_SKIP() << "Dante is not running (run through ctest)";
    }
    const char* user = proxy == Proxy::kDanteAuth ? kPeerUser : "";
    const char* password = proxy == Proxy::kDanteAuth ? kPeerPassword : "";
    startAccepting(proxyPort, client, targetPort, 10000, user, password);
  }

  // The relay's "connection closed" lines: one, written at the first end.
  void expectOneClosedLine(const std::string& line) {
    const std::string id = connectionId(log_);
    std::size_t closed = 0;
    for (const std::string& logged : log_.lines())
      closed += logged.find(" connection closed ") != std::string::npos;
    EXPECT_EQ(closed, 1u) << log_.text();
    EXPECT_TRUE(log_.contains("Con: " + id + ", " + line + "\r\n")) << log_.text();
  }

  void expectNoRelayFailed() {
    for (const std::string& line : log_.lines())
      EXPECT_EQ(line.find("failed"), std::string::npos) << line;
  }

  std::unique_ptr<ScriptedProxy> scripted_;
};

// The target's results for connections that completed their plan (the trial route also
// reaches the target, and ends early).
std::vector<PumpResult> completed(const ScriptedProxy& target) {
  std::vector<PumpResult> done = target.results();
  std::erase_if(done, [](const PumpResult& result) { return !result.completed; });
  return done;
}

// Waits until `count` connections completed their plan; false at once when one got a wrong byte.
bool waitCompleted(const ScriptedProxy& target, std::size_t count) {
  waitUntil(
      [&] {
        return completed(target).size() >= count ||
               std::ranges::any_of(target.results(), [](auto& each) { return !each.intact(); });
      },
      kDataLimit);
  const bool done = completed(target).size() >= count;
  EXPECT_TRUE(done) << testing::PrintToString(target.results());
  return done;
}

// `check` received all `bytes` of stream `seed` and every one of them was right.
void expectStream(const StreamCheck& check, std::uint64_t seed, std::uint64_t bytes) {
  EXPECT_EQ(check.seed, seed);
  EXPECT_EQ(check.received, bytes);
  EXPECT_TRUE(check.intact()) << check;
}

// Both ends send `bytes` of stream `seed` and expect as many back.
PumpPlan plan(std::uint64_t bytes, std::uint64_t seed, std::size_t maxWrite = 65536) {
  PumpPlan both{.sendBytes = bytes, .seed = seed, .expectBytes = bytes, .maxWrite = maxWrite};
  both.limit = kDataLimit;
  return both;
}

// Runs `count` clients at once through the tunnel on `port`, client i with planFor(i).
template <typename PlanFor>
std::vector<PumpResult> pumpClients(std::uint16_t port, std::size_t count, PlanFor planFor) {
  std::vector<PumpResult> results(count);
  std::vector<std::thread> clients;
  for (std::size_t i = 0; i < count; ++i) {
    clients.emplace_back([&, i] {
      UniqueSocket client(connectLoopback(port));
      if (client) results[i] = pumpData(client.get(), planFor(i));
    });
  }
  for (std::thread& client : clients) client.join();
  return results;
}

class ProxyDataTest : public DataTest, public testing::WithParamInterface<Proxy> {};

TEST_P(ProxyDataTest, TargetThatSpeaksFirstIsHeardBeforeTheClientSaysAnything) {
  const Bytes greeting = {'2', '2', '0', ' ', 'r', 'e', 'a', 'd', 'y', '\r', '\n'};
  ScriptedProxy target(ProxyScript().reply(greeting).echo());
  UniqueSocket client;
  startTunnel(GetParam(), target.port(), &client);
  if (IsSkipped() || HasFatalFailure()) return;
  EXPECT_EQ(receiveBytes(client.get(), greeting.size()), greeting);
  ASSERT_TRUE(echoes(client.get(), 4));
  expectNoRelayFailed();
}

TEST_P(ProxyDataTest, ManySmallWritesBothWaysArriveIntact) {
  ScriptedProxy target(ProxyScript().pump(plan(kSmallWritesBytes, 500, 61)));
  UniqueSocket client;
  startTunnel(GetParam(), target.port(), &client);
  if (IsSkipped() || HasFatalFailure()) return;
  // Writes of 1 to 61 bytes, tens of thousands of them each way.
  PumpResult mine = pumpData(client.get(), plan(kSmallWritesBytes, 1, 61));
  ASSERT_TRUE(mine.completed) << mine;
  ASSERT_TRUE(waitCompleted(target, 1));
  const PumpResult theirs = completed(target)[0];
  expectStream(theirs, 1, kSmallWritesBytes);
  expectStream(mine, theirs.sentSeed, kSmallWritesBytes);
  expectNoRelayFailed();
}

TEST_P(ProxyDataTest, ClientThatEndsItsStreamFirstGetsTheWholeReply) {
  // The target answers only once it has seen the client's end, as an HTTP/1.0 server may.
  ScriptedProxy target(ProxyScript().then(ProxyScript::Mode::kEchoAtEnd));
  UniqueSocket client;
  startTunnel(GetParam(), target.port(), &client);
  if (IsSkipped() || HasFatalFailure()) return;
  ASSERT_TRUE(sendAllBytes(client.get(), streamBytes(7, kHalfCloseBytes)));
  ASSERT_EQ(shutdownSend(client.get()), 0);
  expectStream(checkStream(receiveBytes(client.get(), kHalfCloseBytes)), 7, kHalfCloseBytes);
  int result = 1;
  EXPECT_TRUE(waitPeerClosed(client.get(), 10s, &result));
  EXPECT_EQ(result, 0);
  expectOneClosedLine("LOCAL connection closed 0");
}

TEST_P(ProxyDataTest, TargetThatEndsItsStreamFirstStillHearsTheClient) {
  PumpPlan theirs = plan(kHalfCloseBytes, 900);
  theirs.halfClose = true;
  ScriptedProxy target(ProxyScript().pump(theirs));
  UniqueSocket client;
  startTunnel(GetParam(), target.port(), &client);
  if (IsSkipped() || HasFatalFailure()) return;
  // All the target says and its end first, then the client's whole stream the other way.
  const StreamCheck heard = checkStream(receiveBytes(client.get(), kHalfCloseBytes));
  int result = 1;
  EXPECT_TRUE(waitPeerClosed(client.get(), 10s, &result));
  EXPECT_EQ(result, 0);
  ASSERT_TRUE(sendAllBytes(client.get(), streamBytes(8, kHalfCloseBytes)));
  ASSERT_TRUE(waitCompleted(target, 1));
  const PumpResult done = completed(target)[0];
  expectStream(done, 8, kHalfCloseBytes);
  expectStream(heard, done.sentSeed, kHalfCloseBytes);
  client.reset();
  EXPECT_TRUE(target.waitAllClosed(10s));
  expectOneClosedLine("SOCKS5 connection closed 0");
}

INSTANTIATE_TEST_SUITE_P(Through, ProxyDataTest,
                         testing::Values(Proxy::kDante, Proxy::kDanteAuth, Proxy::kScripted),
                         testing::PrintToStringParamName());

// ---- Big transfers: through Dante, which never blocks in a send itself ----

class DanteDataTest : public DataTest {};

TEST_F(DanteDataTest, BigTransferBothWaysAtOnceArrivesIntact) {
  ScriptedProxy target(ProxyScript().pump(plan(kBigBytes, 1000)));
  UniqueSocket client;
  startTunnel(Proxy::kDante, target.port(), &client);
  if (IsSkipped() || HasFatalFailure()) return;
  PumpResult mine = pumpData(client.get(), plan(kBigBytes, 2));
  ASSERT_TRUE(mine.completed) << mine;
  ASSERT_TRUE(waitCompleted(target, 1));
  const PumpResult theirs = completed(target)[0];
  expectStream(theirs, 2, kBigBytes);
  expectStream(mine, theirs.sentSeed, kBigBytes);
  client.reset();
  EXPECT_TRUE(waitForLines(log_, "Con: ", 2));
  expectNoRelayFailed();
}

TEST_F(DanteDataTest, EchoThatStopsReadingWhileItsSendsAreBlockedDoesNotStall) {
  // The target reads a chunk and sends all of it back before it reads again. A relay that
  // blocks sending to the proxy while the target blocks sending back would wait for ever.
  ScriptedProxy target(ProxyScript().then(ProxyScript::Mode::kStubbornEcho));
  startTunnel(Proxy::kDante, target.port());
  if (IsSkipped() || HasFatalFailure()) return;

  // One connection with the big transfer, and beside it a crowd of smaller ones: a stall of a
  // relay of the blocking kind depends on timing, which the crowd makes likelier.
  const std::vector<PumpResult> mine = pumpClients(localPort_, 1 + kEchoCrowd, [](std::size_t i) {
    return plan(i == 0 ? kBigBytes : kEchoCrowdBytes, 3 + i);
  });
  for (const PumpResult& result : mine) {
    EXPECT_TRUE(result.completed) << result;
    expectStream(result, result.sentSeed, result.sent);
  }
  expectNoRelayFailed();
}

TEST_F(DanteDataTest, ManyConnectionsAtOnceAllArriveIntact) {
  ScriptedProxy target(ProxyScript().pump(plan(kPerConnectionBytes, 10000)));
  startTunnel(Proxy::kDante, target.port());
  if (IsSkipped() || HasFatalFailure()) return;

  const std::vector<PumpResult> mine = pumpClients(
      localPort_, kConcurrent, [](std::size_t i) { return plan(kPerConnectionBytes, 100 + i); });
  std::size_t done = 0;
  for (const PumpResult& result : mine) done += result.completed ? 1 : 0;
  EXPECT_EQ(done, kConcurrent);
  ASSERT_TRUE(waitCompleted(target, kConcurrent));

  // Every stream arrived whole at the other end, each exactly once.
  const std::vector<PumpResult> theirs = completed(target);
  for (const PumpResult& result : mine) expectStream(result, result.seed, kPerConnectionBytes);
  for (const PumpResult& result : theirs) expectStream(result, result.seed, kPerConnectionBytes);
  auto sorted = [](const std::vector<PumpResult>& results, std::uint64_t PumpResult::*seed) {
    std::vector<std::uint64_t> seeds;
    for (const PumpResult& result : results) seeds.push_back(result.*seed);
    std::ranges::sort(seeds);
    return seeds;
  };
  std::vector<std::uint64_t> sentByClients = sorted(mine, &PumpResult::sentSeed);
  EXPECT_EQ(sorted(theirs, &PumpResult::seed), sentByClients);
  EXPECT_EQ(sorted(mine, &PumpResult::seed), sorted(theirs, &PumpResult::sentSeed));
  EXPECT_EQ(std::unique(sentByClients.begin(), sentByClients.end()), sentByClients.end());
  std::size_t started = 0;
  for (const std::string& line : log_.lines())
    started += line.find(", Starting data transfer. setopt() = 0\r\n") != std::string::npos;
  EXPECT_EQ(started, kConcurrent);
  expectNoRelayFailed();
}

}  // namespace
