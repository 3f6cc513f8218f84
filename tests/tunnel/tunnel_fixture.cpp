#include "tests/tunnel/tunnel_fixture.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "common/front_end.h"
#include "common/log.h"
#include "common/service_state.h"
#include "common/test_seams.h"
#include "config/tunnel_settings.h"
#include "tunnel/tunnel_service.h"

namespace {

std::mutex eventMutex;
std::condition_variable eventChanged;
std::vector<std::string> recorded;                       // guarded by eventMutex
std::optional<std::vector<std::string>> beforeFirstBox;  // guarded by eventMutex
const LogCapture* activeCapture = nullptr;               // guarded by eventMutex

// Call with eventMutex held. Notified under the lock: once a waiter sees the event, the service
// thread no longer touches the condition variable (the test may end right after).
void record(const std::string& event) {
  recorded.push_back(event);
  eventChanged.notify_all();
}

void onServiceState(ServiceState state) {
  std::lock_guard<std::mutex> lock(eventMutex);
  record(state == ServiceState::kProving     ? "Proving"
         : state == ServiceState::kAccepting ? "Accepting"
                                             : "Idle");
}

void onShowError(const char* text) {
  std::lock_guard<std::mutex> lock(eventMutex);
  if (!beforeFirstBox) beforeFirstBox = activeCapture->lines();
  record(std::string("showError:") + text);
}

}  // namespace

TunnelTest::TunnelTest() {
  std::lock_guard<std::mutex> lock(eventMutex);
  recorded.clear();
  beforeFirstBox.reset();
  activeCapture = &log_;
  frontEnd = FrontEnd{onServiceState, onShowError};
}

TunnelTest::~TunnelTest() {
  if (listenerHandle.load() != nullptr) stopService();
  consoleStream.store(nullptr);
  frontEnd = FrontEnd{};
}

std::vector<std::string> TunnelTest::events() {
  std::lock_guard<std::mutex> lock(eventMutex);
  return recorded;
}

bool TunnelTest::waitForEvent(const std::string& event, std::chrono::milliseconds limit,
                              std::size_t times) {
  std::unique_lock<std::mutex> lock(eventMutex);
  return eventChanged.wait_for(lock, scaled(limit), [&] {
    return static_cast<std::size_t>(std::ranges::count(recorded, event)) >= times;
  });
}

std::vector<std::string> TunnelTest::linesBeforeFirstBox() {
  std::lock_guard<std::mutex> lock(eventMutex);
  return beforeFirstBox.value_or(std::vector<std::string>{});
}

void useSettings(std::uint16_t localPort, std::uint16_t proxyPort, std::uint16_t targetPort) {
  resetTunnelSettings();
  copySetting(tunnelSettings.localAddress, "127.0.0.1");
  copySetting(tunnelSettings.localPort, std::to_string(localPort).c_str());
  copySetting(tunnelSettings.proxyServer, "127.0.0.1");
  copySetting(tunnelSettings.proxyPort, std::to_string(proxyPort).c_str());
  copySetting(tunnelSettings.targetServer, "127.0.0.1");
  copySetting(tunnelSettings.targetPort, std::to_string(targetPort).c_str());
  testSeams.handshakeTimeoutMs = 10000;
}

std::string connectionId(const LogCapture& log, std::size_t n) {
  for (const std::string& line : linesStarting(log, "Con: ")) {
    const std::size_t at = line.find(", Starting data transfer. setopt() = ");
    if (at != std::string::npos && n-- == 0) return line.substr(5, at - 5);
  }
  return "";
}

std::vector<std::string> linesStarting(const LogCapture& log, const std::string& prefix) {
  std::vector<std::string> found;
  for (const std::string& line : log.lines())
    if (line.rfind(prefix, 0) == 0) found.push_back(line);
  return found;
}

std::size_t countLines(const LogCapture& log, const std::string& prefix) {
  return linesStarting(log, prefix).size();
}

bool waitForLines(const LogCapture& log, const std::string& prefix, std::size_t count,
                  std::chrono::milliseconds limit) {
  return waitUntil([&] { return countLines(log, prefix) >= count; }, limit);
}

bool waitForLine(const LogCapture& log, const std::string& line, std::chrono::milliseconds limit) {
  return waitUntil([&] { return log.contains(line); }, limit);
}

void TunnelTest::startAccepting(std::uint16_t proxyPort, UniqueSocket* client,
                                std::uint16_t targetPort, int handshakeTimeoutMs, const char* user,
                                const char* password) {
  localPort_ = freeLoopbackPort();
  useSettings(localPort_, proxyPort, targetPort);
  copySetting(tunnelSettings.proxyUser, user);
  copySetting(tunnelSettings.proxyPassword, password);
  testSeams.handshakeTimeoutMs = handshakeTimeoutMs;
  ASSERT_TRUE(startService() == 1 && waitForEvent("Accepting")) << log_.text();
  if (client == nullptr) return;
  client->reset(connectLoopback(localPort_));
  ASSERT_TRUE(*client);
}
