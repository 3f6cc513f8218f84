// Loopback TCP servers that play the remote target in tunnel tests, and the client side that
// drives data through the tunnel. Everything is bounded in time and stops on destruction.
//
//   LoopbackTarget target(LoopbackTarget::Kind::kSourceSink, {.sendBytes = 1 << 20, ...});
//   ... point the proxy at 127.0.0.1:target.port() ...
//   PumpResult mine = pumpData(client, {...});
//   target.waitForResults(1); EXPECT_EQ(target.results()[0].receivedDigest, mine.sentDigest);
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "tests/support/sha256.h"

// The bound of a wait for something that should happen soon: long, because it only has to
// tell a hang from a slow turn on a loaded machine; a wait that succeeds returns at once.
inline constexpr std::chrono::seconds kHangLimit{60};

// Deterministic test data: the byte at `offset` of stream `seed`, filled in bulk.
void fillPattern(std::uint64_t seed, std::uint64_t offset, std::span<std::uint8_t> out);
// SHA-256 of the first `bytes` bytes of stream `seed`.
std::string patternDigest(std::uint64_t seed, std::uint64_t bytes);

// What one side moves through a connection: it sends `sendBytes` of stream `seed` in writes
// of at most `maxWrite` bytes while it reads and hashes everything that arrives, until it has
// sent everything and received `expectBytes` (or the peer closed, or the time ran out).
struct PumpPlan {
  std::uint64_t sendBytes = 0;
  std::uint64_t seed = 0;
  std::uint64_t expectBytes = 0;
  std::size_t maxWrite = 65536;
  std::chrono::milliseconds limit{60000};
  bool halfClose = false;  // end the sending side once everything is sent, reading on
};

struct PumpResult {
  std::uint64_t sent = 0;
  std::uint64_t received = 0;
  std::string sentDigest;
  std::string receivedDigest;
  bool completed = false;   // sent all and received expectBytes
  bool peerClosed = false;  // the peer closed (or reset) before that
  bool timedOut = false;
};

// Runs `plan` on a connected socket (switched to non-blocking here). `stop` may be null.
PumpResult pumpData(Socket socket, const PumpPlan& plan, const std::atomic<bool>* stop = nullptr);

// Blocking connect to 127.0.0.1:port; noSocket on failure.
Socket connectLoopback(std::uint16_t port);

// A loopback port nothing listens on, for a server that binds it itself (the tunnel, a Dante
// config, quillan.exe's window) or as a port that refuses connections. The ports come from a
// block below the ephemeral range (so no port-0 bind lands there) that this process holds by
// keeping a listener on the block's first port: parallel test processes get disjoint blocks,
// and each port is checked bindable before it is handed out. 0 when no block is free.
std::uint16_t freeLoopbackPort();

// Waits until the peer closes the connection: true when a receive returned 0 or an error
// (reset) within `limit`. Bytes that arrive before are dropped. Sets *result to the last
// receive result (0 or -1) when given.
bool waitPeerClosed(Socket socket, std::chrono::milliseconds limit, int* result = nullptr);

// Reads until `count` bytes have arrived, the peer closed or `limit` passed.
std::vector<std::uint8_t> receiveBytes(Socket socket, std::size_t count,
                                       std::chrono::milliseconds limit);
bool sendAllBytes(Socket socket, std::span<const std::uint8_t> bytes);

// Abortive close: RST instead of FIN.
void resetConnection(Socket socket);
// Sends one byte as urgent (out-of-band) data.
bool sendUrgentByte(Socket socket, std::uint8_t byte);
// CPU time used by the whole process so far (user and system), in seconds.
double processCpuSeconds();

// True when the Windows build runs under Wine, whose sockets differ from Windows where the tests
// say so (an abortive close arrives as an orderly one).
bool runningUnderWine();

class LoopbackTarget {
 public:
  enum class Kind {
    kEcho,          // sends back what arrives, reading on while its sends are pending
    kGreeter,       // sends `greeting` first, then echoes
    kSourceSink,    // pumpData with `plan` (seed offset by the connection's index)
    kStubbornEcho,  // echoes, but reads nothing more while a send is blocked
    kEchoAtEnd,     // reads until the peer's end of stream, then sends it all back and closes
  };
  struct Options {
    std::vector<std::uint8_t> greeting;
    PumpPlan plan;
  };

  LoopbackTarget(Kind kind, Options options = {});
  ~LoopbackTarget();
  LoopbackTarget(const LoopbackTarget&) = delete;
  LoopbackTarget& operator=(const LoopbackTarget&) = delete;

  std::uint16_t port() const { return port_; }
  std::string portText() const { return std::to_string(port_); }

  std::size_t connectionCount() const;
  std::size_t openConnections() const;
  // Source/sink: the result of each connection that has ended, in the order they ended.
  std::vector<PumpResult> results() const;
  bool waitForResults(std::size_t count, std::chrono::milliseconds limit) const;
  // Waits until every accepted connection has ended.
  bool waitAllClosed(std::chrono::milliseconds limit) const;

 private:
  void acceptLoop();
  void serve(Socket socket, std::size_t index);
  void echo(Socket socket, Kind kind);

  Kind kind_;
  Options options_;
  Socket listener_ = noSocket;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::size_t accepted_ = 0;          // guarded by mutex_
  std::size_t open_ = 0;              // guarded by mutex_
  std::vector<PumpResult> results_;   // guarded by mutex_
  std::vector<std::thread> threads_;  // guarded by mutex_
  std::thread acceptor_;
};
