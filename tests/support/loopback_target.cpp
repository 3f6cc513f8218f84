// The loopback server of the tests: one acceptor thread, one thread per connection, every wait
// sliced short so that a stop is seen quickly and bounded overall so nothing hangs a test run.
#include "tests/support/loopback_target.h"

#include <algorithm>
#include <array>

const Bytes kConnectReplyIpv4Zero = {0x05, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0};

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kSlice = std::chrono::milliseconds(20);  // one wait, between stop checks
constexpr auto kStepLimit = std::chrono::seconds(20);   // a whole expect/stall step at most
constexpr auto kModeLimit = std::chrono::seconds(120);  // a final mode at most
constexpr auto kEchoLimit = std::chrono::seconds(300);  // an echo at most

// The plain echo keeps reading while up to `ring` bytes wait to be sent back. The stubborn one
// reads one chunk, then sends all of it before it reads again, as a single-threaded server
// with blocking sends does. The one at end holds everything (up to `ring`) until the peer has
// ended its stream. Each sends back all it read, also after the peer's end, then returns.
void echoStream(Socket socket, const std::atomic<bool>& stop, bool stubborn, bool atEnd) {
  Bytes ring(stubborn ? 65536 : 1 << 20);
  std::size_t head = 0;    // next byte to send
  std::size_t length = 0;  // bytes waiting
  bool ended = false;      // the peer ended its stream
  const auto deadline = Clock::now() + scaled(kEchoLimit);
  while (!stop && Clock::now() < deadline && !(ended && length == 0)) {
    const bool canRead = !ended && (stubborn ? length == 0 : length < ring.size());
    const WaitItem item = waitSocket(socket, canRead, length > 0 && (!atEnd || ended), kSlice);
    if (item.readable) {
      std::size_t tail = (head + length) % ring.size();
      std::size_t room = std::min(ring.size() - length, ring.size() - tail);
      int got = recvSome(socket, ring.data() + tail, room);
      if (got < 0 && !isWouldBlock(lastSocketError())) return;
      ended = ended || got == 0;
      length += static_cast<std::size_t>(std::max(got, 0));
    }
    if (item.writable) {
      int sent = sendSome(socket, ring.data() + head, std::min(length, ring.size() - head));
      if (sent < 0 && !isWouldBlock(lastSocketError())) return;
      head = (head + static_cast<std::size_t>(std::max(sent, 0))) % ring.size();
      length -= static_cast<std::size_t>(std::max(sent, 0));
    }
  }
}

}  // namespace

std::string hexBytes(std::span<const std::uint8_t> bytes) {
  std::string text;
  for (std::uint8_t byte : bytes) {
    if (!text.empty()) text += ' ';
    text += {"0123456789ABCDEF"[byte >> 4], "0123456789ABCDEF"[byte & 15]};
  }
  return text;
}

ProxyScript& ProxyScript::add(Step::Kind kind, std::size_t count, Bytes bytes,
                              std::vector<std::size_t> cuts, std::chrono::milliseconds gap) {
  steps_.push_back(Step{kind, count, std::move(bytes), std::move(cuts), gap});
  return *this;
}

ProxyScript& ProxyScript::then(Mode mode, std::uint16_t port, const PumpPlan& plan) {
  mode_ = mode;
  forwardPort_ = port;
  plan_ = plan;
  return *this;
}

ProxyScript ProxyScript::acceptNoAuth() {
  ProxyScript script;
  script.expectGreeting().reply({0x05, 0x00}).expectConnect().reply(kConnectReplyIpv4Zero);
  return script;
}

ProxyScript ProxyScript::refuseConnect(std::uint8_t rep) {
  ProxyScript script = acceptNoAuth();
  script.steps_.back().bytes[1] = rep;  // REP of the CONNECT reply
  return script.close();
}

struct ScriptedProxy::Connection {
  std::size_t index = 0;
  Socket socket = noSocket;  // owned by the connection's thread once it runs
  std::thread thread;
  std::vector<Bytes> messages;  // these two guarded by the proxy's mutex_
  Bytes relayed;
  std::atomic<bool> scriptDone{false};
  std::atomic<bool> closed{false};
};

ScriptedProxy::ScriptedProxy(std::vector<ProxyScript> scripts, Listen on)
    : scripts_(std::move(scripts)), listener_(listenLoopback(on == Listen::kIpv6)) {
  if (scripts_.empty()) scripts_.emplace_back();
  // Both: the port 127.0.0.1 got, on ::1 too (another one when ::1 has it taken).
  const bool ipv6 = on == Listen::kBoth && listenLoopback(true);
  for (int tries = 0; ipv6 && listener_ && !listener6_ && tries < 20; ++tries) {
    listener6_ = listenLoopback(true, localPortOf(listener_.get()));
    if (!listener6_) listener_ = listenLoopback();
  }
  if (!listener_ || (ipv6 && !listener6_)) return;
  port_ = localPortOf(listener_.get());
  acceptor_ = std::thread([this] { acceptLoop(); });
}

ScriptedProxy::~ScriptedProxy() {
  stopping_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  // The acceptor has ended, so the list no longer grows; each thread closes its own socket.
  for (auto& connection : connections_)
    if (connection->thread.joinable()) connection->thread.join();
}

void ScriptedProxy::acceptLoop() {
  std::array<WaitItem, 2> items{WaitItem{listener_.get(), true}, WaitItem{listener6_.get(), true}};
  const std::span<WaitItem> waited = std::span(items).first(listener6_ ? 2 : 1);
  while (!stopping_) {
    for (WaitItem& item : waited) item.readable = item.writable = false;
    if (waitSockets(waited, kSlice) <= 0) continue;
    const WaitItem& ready = waited[0].readable ? waited[0] : waited.back();
    Socket accepted = ready.readable ? acceptConnection(ready.socket) : noSocket;
    if (accepted == noSocket) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    if (endless_) {
      // A closed connection's thread has nothing left to do: joining it returns at once.
      std::erase_if(connections_, [](std::unique_ptr<Connection>& each) {
        if (!each->closed) return false;
        each->thread.join();
        return true;
      });
    }
    Connection& connection = *connections_.emplace_back(std::make_unique<Connection>());
    connection.index = accepted_++;
    connection.socket = accepted;
    connection.thread = std::thread([this, &connection] { serve(connection); });
  }
}

const ProxyScript& ScriptedProxy::scriptOf(const Connection& connection) const {
  if (endless_) return scripts_[connection.index % scripts_.size()];
  return scripts_[std::min(connection.index, scripts_.size() - 1)];
}

void ScriptedProxy::serve(Connection& connection) {
  const ProxyScript& script = scriptOf(connection);
  const bool open = runSteps(connection, script);
  connection.scriptDone = true;
  if (open) {
    runMode(connection, script);
    closeSocket(connection.socket);
  }
  connection.closed = true;
}

// Runs the steps; false when a step has already closed the socket.
bool ScriptedProxy::runSteps(Connection& connection, const ProxyScript& script) {
  const Socket socket = connection.socket;

  // Reads exactly `count` more bytes into `message`; false when the client closed first, the
  // server is stopping, or the step ran out of time.
  auto readInto = [&](Bytes& message, std::size_t count) {
    const Bytes more = receiveBytes(socket, count, kStepLimit, &stopping_);
    message.insert(message.end(), more.begin(), more.end());
    return more.size() == count;
  };

  for (const ProxyScript::Step& step : script.steps_) {
    using Kind = ProxyScript::Step::Kind;
    Bytes message;
    bool ok = true;
    switch (step.kind) {
      case Kind::kExpect:
        ok = readInto(message, step.count);
        break;
      case Kind::kExpectGreeting:
        // VER NMETHODS, then NMETHODS method bytes.
        ok = readInto(message, 2) && readInto(message, message[1]);
        break;
      case Kind::kExpectLogin:
        // VER ULEN UNAME PLEN PASSWD.
        ok = readInto(message, 2) && readInto(message, message[1]) && readInto(message, 1) &&
             readInto(message, message.back());
        break;
      case Kind::kExpectConnect: {
        // VER CMD RSV ATYP, then 4 (IPv4), 16 (IPv6) or 1+n (name) address bytes, then 2.
        ok = readInto(message, 4);
        const std::uint8_t atyp = ok ? message[3] : 0;
        if (atyp == 0x03) ok = readInto(message, 1) && readInto(message, message[4]);
        ok = ok && readInto(message, atyp == 0x01 ? 4 : atyp == 0x04 ? 16 : 0);
        ok = ok && readInto(message, 2);
        break;
      }
      case Kind::kReply: {
        std::size_t from = 0;
        std::vector<std::size_t> ends = step.cuts;
        ends.push_back(step.bytes.size());
        for (std::size_t end : ends) {
          end = std::min(end, step.bytes.size());
          if (end <= from) continue;
          if (from != 0) std::this_thread::sleep_for(step.gap);
          if (!sendAllBytes(socket, std::span(step.bytes).subspan(from, end - from))) break;
          from = end;
        }
        break;
      }
      case Kind::kAwaitGate:
        ok = waitUntil([&] { return gateOpen_ || stopping_; }, kStepLimit) && gateOpen_;
        break;
      case Kind::kUrgent:
        sendUrgentByte(socket, step.bytes[0]);
        break;
      case Kind::kClose:
        closeSocket(socket);
        return false;
      case Kind::kReset:
        resetConnection(socket);
        return false;
      case Kind::kStall:
        waitPeerClosed(socket, kStepLimit, nullptr, &stopping_);
        closeSocket(socket);
        return false;
    }
    if (step.kind <= Kind::kExpectConnect && !endless_) {  // the expect steps come first
      std::lock_guard<std::mutex> lock(mutex_);
      connection.messages.push_back(std::move(message));
    }
    if (!ok) {  // the client went away (or time ran out) in the middle of a message
      closeSocket(socket);
      return false;
    }
  }
  return true;
}

void ScriptedProxy::runMode(Connection& connection, const ProxyScript& script) {
  using Mode = ProxyScript::Mode;
  const Socket client = connection.socket;
  const Mode mode = script.mode_;
  if (mode == Mode::kClose) return;
  if (mode == Mode::kEcho || mode == Mode::kStubbornEcho || mode == Mode::kEchoAtEnd) {
    setNonBlocking(client);
    return echoStream(client, stopping_, mode == Mode::kStubbornEcho, mode == Mode::kEchoAtEnd);
  }
  if (mode == Mode::kPump) {
    PumpPlan plan = script.plan_;
    plan.seed += connection.index;
    const PumpResult result = pumpData(client, plan, &stopping_);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      results_.push_back(result);
    }
    // Closing now could reset data still on its way; the client closes first.
    if (result.completed) waitPeerClosed(client, plan.limit, nullptr, &stopping_);
    return;
  }

  const Socket target = mode == Mode::kForward ? connectLoopback(script.forwardPort_) : noSocket;
  if (mode == Mode::kForward && target == noSocket) return;

  // Forwarding passes an end of stream on as a half-close and goes on the other way until that
  // ends too; hold ends with the client's end.
  const auto deadline = Clock::now() + scaled(kModeLimit);
  std::array<std::uint8_t, 16384> buffer{};
  bool clientEnded = false;
  bool targetEnded = target == noSocket;
  bool failed = false;
  while (!failed && !(clientEnded && targetEnded) && !stopping_ && Clock::now() < deadline) {
    std::array<WaitItem, 2> items{};
    std::size_t count = 0;
    if (!clientEnded) items[count++] = WaitItem{client, true};
    if (!targetEnded) items[count++] = WaitItem{target, true};
    if (waitSockets(std::span(items.data(), count), kSlice) <= 0) continue;
    for (std::size_t i = 0; i < count && !failed; ++i) {
      if (!items[i].readable) continue;
      const bool fromClient = items[i].socket == client;
      int got = recvSome(items[i].socket, buffer.data(), buffer.size());
      failed = got < 0 || (got == 0 && target == noSocket);
      if (got == 0 && !failed) {
        shutdownSend(fromClient ? target : client);
        (fromClient ? clientEnded : targetEnded) = true;
      }
      if (got <= 0) continue;
      auto piece = std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(got));
      if (fromClient && !endless_) {
        std::lock_guard<std::mutex> lock(mutex_);
        connection.relayed.insert(connection.relayed.end(), piece.begin(), piece.end());
      }
      Socket to = fromClient ? target : client;
      failed = to != noSocket && !sendAllBytes(to, piece);
    }
  }
  closeSocket(target);
}

std::size_t ScriptedProxy::connectionCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return accepted_;
}

bool ScriptedProxy::waitForConnections(std::size_t count, std::chrono::milliseconds limit) const {
  return waitUntil([&] { return connectionCount() >= count; }, limit);
}

bool ScriptedProxy::waitForScriptEnd(std::size_t index, std::chrono::milliseconds limit) const {
  return waitUntil(
      [&] {
        std::lock_guard<std::mutex> lock(mutex_);
        return index < connections_.size() && connections_[index]->scriptDone;
      },
      limit);
}

bool ScriptedProxy::waitForClosed(std::size_t index, std::chrono::milliseconds limit) const {
  return waitUntil(
      [&] {
        std::lock_guard<std::mutex> lock(mutex_);
        return index < connections_.size() && connections_[index]->closed;
      },
      limit);
}

std::vector<Bytes> ScriptedProxy::messages(std::size_t index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return index < connections_.size() ? connections_[index]->messages : std::vector<Bytes>{};
}

Bytes ScriptedProxy::received(std::size_t index) const {
  Bytes all;
  for (const Bytes& message : messages(index))
    all.insert(all.end(), message.begin(), message.end());
  return all;
}

Bytes ScriptedProxy::relayed(std::size_t index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return index < connections_.size() ? connections_[index]->relayed : Bytes{};
}

std::vector<PumpResult> ScriptedProxy::results() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return results_;
}

bool ScriptedProxy::waitAllClosed(std::chrono::milliseconds limit) const {
  return waitUntil(
      [&] {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::all_of(connections_.begin(), connections_.end(),
                           [](const auto& connection) { return connection->closed.load(); });
      },
      limit);
}

testing::AssertionResult echoes(Socket socket, std::uint64_t count, std::uint64_t seed,
                                std::chrono::milliseconds limit) {
  const Bytes sent = streamBytes(seed, count);
  if (!sendAllBytes(socket, sent)) return testing::AssertionFailure() << "the send failed";
  const Bytes back = receiveBytes(socket, count, limit);
  if (back == sent) return testing::AssertionSuccess();
  return testing::AssertionFailure()
         << count << " bytes of stream " << seed << " sent, " << checkStream(back);
}

testing::AssertionResult echoesAt(std::uint16_t port, std::uint64_t count) {
  UniqueSocket client(connectLoopback(port));
  if (!client) return testing::AssertionFailure() << "no connection to port " << port;
  return echoes(client.get(), count);
}
