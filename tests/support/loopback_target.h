// The one loopback server of the tests. Scripted, it plays the SOCKS5 proxy: it records the
// exact bytes each connection sends and answers with scripted bytes, split segments, closes,
// resets or silence, then (after the handshake) closes, holds, echoes, pumps test data or
// forwards to a loopback target. Without a handshake it is the target: ProxyScript().echo().
//
// Typical use: ScriptedProxy proxy(ProxyScript::acceptNoAuth().echo()); point the settings at
// proxy.portText(), run the code under test, then check proxy.messages(i) once
// proxy.waitForScriptEnd(i) has returned. echoes() checks what an echo sends back.
//
// Every wait inside is bounded; the destructor stops the acceptor and every connection thread
// and closes their sockets (each thread closes only the sockets it owns).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/loopback.h"

// Hex dump "05 01 00" for assertion messages.
std::string hexBytes(std::span<const std::uint8_t> bytes);

// A CONNECT success reply with a zero IPv4 bound address: 05 00 00 01 00 00 00 00 00 00.
extern const Bytes kConnectReplyIpv4Zero;

// What one accepted connection does, in order. Steps run one after the other; the optional
// final mode (close, hold, echo, forward) runs after the last step. Without a mode the
// connection is closed once the steps are done.
class ProxyScript {
 public:
  enum class Mode { kClose, kHold, kEcho, kStubbornEcho, kEchoAtEnd, kPump, kForward };

  struct Step {
    enum class Kind {
      kExpect,          // read exactly `count` bytes and record them as one message
      kExpectGreeting,  // read VER NMETHODS METHODS... (length from NMETHODS)
      kExpectLogin,     // read 01 ULEN UNAME PLEN PASSWD (lengths from the bytes read)
      kExpectConnect,   // read VER CMD RSV ATYP ADDR PORT (length from ATYP)
      kReply,           // send `bytes`, cut into segments at `cuts` with `gap` between them
      kAwaitGate,       // wait until the test opens the proxy's gate
      kUrgent,          // send bytes[0] as urgent (out-of-band) data
      kClose,           // close the connection now (orderly FIN); ends the script
      kReset,           // abortive close (SO_LINGER 0: RST); ends the script
      kStall,           // say nothing until the client closes or the server stops
    };
    Kind kind = Kind::kExpect;
    std::size_t count = 0;
    Bytes bytes;
    std::vector<std::size_t> cuts;
    std::chrono::milliseconds gap{0};
  };

  ProxyScript& expect(std::size_t count) { return add(Step::Kind::kExpect, count); }
  ProxyScript& expectGreeting() { return add(Step::Kind::kExpectGreeting); }
  ProxyScript& expectLogin() { return add(Step::Kind::kExpectLogin); }
  ProxyScript& expectConnect() { return add(Step::Kind::kExpectConnect); }
  ProxyScript& reply(Bytes bytes) { return add(Step::Kind::kReply, 0, std::move(bytes)); }
  // Sends `bytes` in pieces: `cuts` are offsets into `bytes` (ascending), each piece sent on
  // its own after `gap`, so the client sees several TCP segments.
  ProxyScript& replySplit(Bytes bytes, std::vector<std::size_t> cuts,
                          std::chrono::milliseconds gap = std::chrono::milliseconds(30)) {
    return add(Step::Kind::kReply, 0, std::move(bytes), std::move(cuts), gap);
  }
  // Holds the connection here until the test calls ScriptedProxy::openGate(), so that what
  // comes next happens after a point the test has seen (bounded like any step).
  ProxyScript& awaitGate() { return add(Step::Kind::kAwaitGate); }
  ProxyScript& urgent(std::uint8_t byte) { return add(Step::Kind::kUrgent, 0, {byte}); }
  ProxyScript& close() { return add(Step::Kind::kClose); }
  ProxyScript& reset() { return add(Step::Kind::kReset); }
  ProxyScript& stall() { return add(Step::Kind::kStall); }

  // Final modes, after the steps: keep the connection open, reading and dropping; send back
  // whatever arrives (echoStream); pumpData with `plan`, its seed offset by the connection's
  // index; relay both ways to 127.0.0.1:port.
  ProxyScript& hold() { return then(Mode::kHold); }
  ProxyScript& echo() { return then(Mode::kEcho); }
  ProxyScript& pump(const PumpPlan& plan) { return then(Mode::kPump, 0, plan); }
  ProxyScript& forward(std::uint16_t port) { return then(Mode::kForward, port); }
  ProxyScript& then(Mode mode, std::uint16_t port = 0, const PumpPlan& plan = {});

  // No-auth session that accepts the CONNECT: greeting → 05 00, request → success reply.
  static ProxyScript acceptNoAuth();
  // Same, but the CONNECT is refused with REP `rep` (05 rep 00 01 + 6 zero bytes), then closed.
  static ProxyScript refuseConnect(std::uint8_t rep);

 private:
  friend class ScriptedProxy;
  ProxyScript& add(Step::Kind kind, std::size_t count = 0, Bytes bytes = {},
                   std::vector<std::size_t> cuts = {}, std::chrono::milliseconds gap = {});

  std::vector<Step> steps_;
  Mode mode_ = Mode::kClose;
  std::uint16_t forwardPort_ = 0;
  PumpPlan plan_;
};

// Where a loopback server listens: 127.0.0.1, ::1, or both on one port (as a name like
// localhost may resolve to either first; ::1 is left out where the machine has no IPv6).
enum class Listen { kIpv4, kIpv6, kBoth };

class ScriptedProxy {
 public:
  // Connection i follows scripts[i]; connections beyond the list follow the last script.
  // Listens on loopback (`on`) on a port the system picks.
  explicit ScriptedProxy(std::vector<ProxyScript> scripts, Listen on = Listen::kIpv4);
  explicit ScriptedProxy(ProxyScript script, Listen on = Listen::kIpv4)
      : ScriptedProxy(std::vector<ProxyScript>{std::move(script)}, on) {}
  ~ScriptedProxy();

  // False when the listener could not be set up (the test should fail or skip).
  bool listening() const { return port_ != 0; }
  std::uint16_t port() const { return port_; }
  std::string portText() const { return std::to_string(port_); }

  std::size_t connectionCount() const;
  bool waitForConnections(std::size_t count, std::chrono::milliseconds limit = kHangLimit) const;
  // Waits until connection `index` has finished its steps (not its final mode).
  bool waitForScriptEnd(std::size_t index, std::chrono::milliseconds limit = kHangLimit) const;
  // Waits until connection `index` has ended entirely (its socket closed).
  bool waitForClosed(std::size_t index, std::chrono::milliseconds limit = kHangLimit) const;

  // For long runs (the soak's misbehaving proxy): from now on connection i follows
  // scripts[i % count], nothing is recorded, and ended connections are reaped as others arrive.
  void runEndlessly() { endless_ = true; }
  // Lets every connection waiting in (or later reaching) an awaitGate step go on.
  void openGate() { gateOpen_ = true; }

  // Bytes read by the expect steps of connection `index`: one entry per step (a short entry
  // when the client closed early), and all of them concatenated.
  std::vector<Bytes> messages(std::size_t index) const;
  Bytes received(std::size_t index) const;
  // Bytes the connection received in its final mode (hold or forward), from the client.
  Bytes relayed(std::size_t index) const;
  // Pump mode: the result of each connection that has ended, in the order they ended.
  std::vector<PumpResult> results() const;
  // Waits until every accepted connection has ended.
  bool waitAllClosed(std::chrono::milliseconds limit) const;

 private:
  struct Connection;
  void acceptLoop();
  void serve(Connection& connection);
  bool runSteps(Connection& connection, const ProxyScript& script);
  void runMode(Connection& connection, const ProxyScript& script);
  const ProxyScript& scriptOf(const Connection& connection) const;

  std::vector<ProxyScript> scripts_;
  UniqueSocket listener_;
  UniqueSocket listener6_;  // ::1 on the same port, with Listen::kBoth
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> gateOpen_{false};
  std::atomic<bool> endless_{false};
  std::size_t accepted_ = 0;  // guarded by mutex_
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Connection>> connections_;  // guarded by mutex_
  std::vector<PumpResult> results_;                       // guarded by mutex_
  std::thread acceptor_;
};

// Sends `count` bytes of stream `seed` whole through `socket` to an echo, then reads as many
// back: a failure, saying what came back, unless it is that same stream.
testing::AssertionResult echoes(Socket socket, std::uint64_t count, std::uint64_t seed = 1,
                                std::chrono::milliseconds limit = kHangLimit);
// The same on a new connection to 127.0.0.1:port.
testing::AssertionResult echoesAt(std::uint16_t port, std::uint64_t count);
