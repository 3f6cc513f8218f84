#include "tests/tunnel/tunnel_fixture.h"

#include "common/log.h"
#include "common/test_seams.h"
#include "config/tunnel_settings.h"
#include "socks5/proxy_session.h"
#include "tests/support/loopback.h"
#include "tunnel/tunnel_service.h"

namespace {

std::mutex eventMutex;
std::condition_variable eventChanged;
std::vector<std::string> recorded;          // guarded by eventMutex
std::vector<std::string> beforeFirstBox;    // guarded by eventMutex
bool boxShown = false;                      // guarded by eventMutex
const LogCapture* activeCapture = nullptr;  // guarded by eventMutex

}  // namespace

RecordingFrontEnd::RecordingFrontEnd() {
  {
    std::lock_guard<std::mutex> lock(eventMutex);
    recorded.clear();
    beforeFirstBox.clear();
    boxShown = false;
    activeCapture = nullptr;
  }
  frontEnd = FrontEnd{onServiceState, onShowError};
}

RecordingFrontEnd::~RecordingFrontEnd() {
  frontEnd = FrontEnd{};
}

void RecordingFrontEnd::record(const std::string& event) {
  // Notified under the lock: once a waiter sees the event, the service thread no longer
  // touches the condition variable (the test may end and destroy it right after).
  std::lock_guard<std::mutex> lock(eventMutex);
  recorded.push_back(event);
  eventChanged.notify_all();
}

void RecordingFrontEnd::onServiceState(ServiceState state) {
  switch (state) {
    case ServiceState::kProving:
      return record("disableStart");
    case ServiceState::kAccepting:
      return record("enableStop");
    case ServiceState::kIdle:
      return record("enableStartDisableStop");
  }
}

void RecordingFrontEnd::onShowError(const char* text) {
  {
    std::lock_guard<std::mutex> lock(eventMutex);
    if (!boxShown && activeCapture != nullptr) beforeFirstBox = activeCapture->lines();
    boxShown = true;
  }
  record(std::string("showError:") + text);
}

void RecordingFrontEnd::setCapture(const LogCapture* capture) {
  std::lock_guard<std::mutex> lock(eventMutex);
  activeCapture = capture;
}

std::vector<std::string> RecordingFrontEnd::events() const {
  std::lock_guard<std::mutex> lock(eventMutex);
  return recorded;
}

bool RecordingFrontEnd::waitFor(const std::string& event, std::chrono::milliseconds limit,
                                std::size_t times) {
  std::unique_lock<std::mutex> lock(eventMutex);
  return eventChanged.wait_for(lock, limit, [&] {
    std::size_t seen = 0;
    for (const std::string& each : recorded) seen += each == event ? 1 : 0;
    return seen >= times;
  });
}

std::vector<std::string> RecordingFrontEnd::linesBeforeFirstBox() const {
  std::lock_guard<std::mutex> lock(eventMutex);
  return beforeFirstBox;
}

void useSettings(std::uint16_t localPort, std::uint16_t proxyPort, const std::string& target,
                 std::uint16_t targetPort) {
  resetTunnelSettings();
  copySetting(tunnelSettings.localAddress, "127.0.0.1");
  copySetting(tunnelSettings.localPort, std::to_string(localPort).c_str());
  copySetting(tunnelSettings.proxyServer, "127.0.0.1");
  copySetting(tunnelSettings.proxyPort, std::to_string(proxyPort).c_str());
  copySetting(tunnelSettings.targetServer, target.c_str());
  copySetting(tunnelSettings.targetPort, std::to_string(targetPort).c_str());
  copySetting(tunnelSettings.proxyUser, "");
  copySetting(tunnelSettings.proxyPassword, "");
  testSeams.handshakeTimeoutMs = 10000;
}

std::string connectionId(const LogCapture& log, std::size_t n) {
  const std::string prefix = "Con: ";
  const std::string marker = ", Starting data transfer. setopt() = ";
  for (const std::string& line : log.lines()) {
    std::size_t at = line.find(marker);
    if (line.rfind(prefix, 0) != 0 || at == std::string::npos) continue;
    if (n-- == 0) return line.substr(prefix.size(), at - prefix.size());
  }
  return "";
}

std::size_t countLines(const LogCapture& log, const std::string& prefix) {
  std::size_t count = 0;
  for (const std::string& line : log.lines()) count += line.rfind(prefix, 0) == 0 ? 1 : 0;
  return count;
}

bool waitForLines(const LogCapture& log, const std::string& prefix, std::size_t count,
                  std::chrono::milliseconds limit) {
  return waitUntil(limit, [&] { return countLines(log, prefix) >= count; });
}

bool waitForLine(const LogCapture& log, const std::string& line, std::chrono::milliseconds limit) {
  return waitUntil(limit, [&] { return log.contains(line); });
}

void TunnelTest::TearDown() {
  if (listenerHandle.load() != nullptr) stopService();
  consoleStream.store(nullptr);
}

std::uint16_t TunnelTest::startAccepting(std::uint16_t proxyPort, std::uint16_t targetPort,
                                         int handshakeTimeoutMs) {
  const std::uint16_t localPort = freeLoopbackPort();
  useSettings(localPort, proxyPort, "127.0.0.1", targetPort);
  testSeams.handshakeTimeoutMs = handshakeTimeoutMs;
  const bool accepting = startService() == 1 && frontEnd_.waitFor("enableStop", kHangLimit);
  EXPECT_TRUE(accepting) << log_.text();
  return accepting ? localPort : 0;
}
