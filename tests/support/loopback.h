// The test kit's loopback sockets: ports, sends and receives, the data pump and its stream
// check, the echo loop. Every wait is bounded in time, its bound scaled (wait.h).
//
//   PumpResult mine = pumpData(client, plan);
//   EXPECT_TRUE(mine.intact()) << mine;  // names the offset of the first wrong byte
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/socket.h"
#include "platform/unique_socket.h"
#include "tests/support/stream.h"
#include "tests/support/wait.h"

std::ostream& operator<<(std::ostream& out, const StreamCheck& check);

// What one side moves through a connection: it sends `sendBytes` of stream `seed` in writes
// of at most `maxWrite` bytes while it reads and checks everything that arrives, until it has
// sent everything and received `expectBytes` (or the peer closed, a byte was wrong, or the time
// ran out).
struct PumpPlan {
  std::uint64_t sendBytes = 0;
  std::uint64_t seed = 0;
  std::uint64_t expectBytes = 0;
  std::size_t maxWrite = 65536;
  std::chrono::milliseconds limit = kHangLimit;
  bool halfClose = false;  // end the sending side once everything is sent, reading on
};

struct PumpResult : StreamCheck {
  std::uint64_t sent = 0;
  std::uint64_t sentSeed = 0;
  bool completed = false;   // sent all and received expectBytes
  bool peerClosed = false;  // the peer closed (or reset) before that
  bool timedOut = false;
};
std::ostream& operator<<(std::ostream& out, const PumpResult& result);

// Runs `plan` on a connected socket (switched to non-blocking here). `stop` may be null.
PumpResult pumpData(Socket socket, const PumpPlan& plan, const std::atomic<bool>* stop = nullptr);

// One wait of at most `wait` on `socket`: what it became ready for.
WaitItem waitSocket(Socket socket, bool read, bool write, std::chrono::milliseconds wait);
// Blocking connect to 127.0.0.1:port; noSocket on failure.
Socket connectLoopback(std::uint16_t port);
// A listener on 127.0.0.1 (or ::1) on `port`, or on one the system picks; empty on failure.
UniqueSocket listenLoopback(bool ipv6 = false, std::uint16_t port = 0);

// A loopback listener that accepts nothing: a port held by this process, or a proxy that never
// answers (connections complete in its backlog).
struct HeldPort {
  std::string text() const { return std::to_string(port); }
  UniqueSocket listener = listenLoopback();
  std::uint16_t port = listener ? localPortOf(listener.get()) : 0;
};

// A loopback port nothing listens on, for a server that binds it itself (the tunnel, a Dante
// config, quillan.exe's window) or as a port that refuses connections. The ports come from a
// block below the ephemeral range (so no port-0 bind lands there) that this process holds by
// keeping a listener on the block's first port: parallel test processes get disjoint blocks,
// and each port is checked bindable before it is handed out. 0 when no block is free.
std::uint16_t freeLoopbackPort();

// Waits until the peer closes the connection: true when a receive returned 0 or an error
// (reset) within `limit` (and before `stop`, when given). Bytes that arrive before are dropped.
// Sets *result to the last receive result (0 or -1) when given.
bool waitPeerClosed(Socket socket, std::chrono::milliseconds limit, int* result = nullptr,
                    const std::atomic<bool>* stop = nullptr);

// Reads until `count` bytes have arrived, the peer closed, `limit` passed or `stop` was set.
Bytes receiveBytes(Socket socket, std::size_t count, std::chrono::milliseconds limit = kHangLimit,
                   const std::atomic<bool>* stop = nullptr);
// Sends all of `bytes` (waiting while a non-blocking socket is full); false on an error.
bool sendAllBytes(Socket socket, std::span<const std::uint8_t> bytes);
bool sendAllBytes(Socket socket, std::string_view text);

// Abortive close: RST instead of FIN.
void resetConnection(Socket socket);
// Sends one byte as urgent (out-of-band) data.
bool sendUrgentByte(Socket socket, std::uint8_t byte);
// CPU time (user and system, in seconds) the whole process uses while this thread sleeps for
// `interval`: how a test tells an idle thread from one that spins.
double cpuSecondsWhileSleeping(std::chrono::milliseconds interval);

// True when the Windows build runs under Wine, whose sockets differ from Windows where the tests
// say so (an abortive close arrives as an orderly one).
bool runningUnderWine();
