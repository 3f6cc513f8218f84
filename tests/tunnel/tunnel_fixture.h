// Shared pieces of the tunnel tests: a front end that records the button effects and error
// boxes, settings set-up, and log-line helpers.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/log_capture.h"
#include "tests/support/loopback.h"

// Fills tunnelSettings for a tunnel on 127.0.0.1:`localPort` through the proxy on
// 127.0.0.1:`proxyPort` to 127.0.0.1:`targetPort`.
void useSettings(std::uint16_t localPort, std::uint16_t proxyPort, std::uint16_t targetPort);

// The connection id of the n-th "Con: %x, Starting data transfer" line, or "" when missing.
std::string connectionId(const LogCapture& log, std::size_t n = 0);
// Waits until a line equal to `line` has been logged.
bool waitForLine(const LogCapture& log, const std::string& line,
                 std::chrono::milliseconds limit = kHangLimit);
// Waits until `count` lines starting with `prefix` have been logged.
bool waitForLines(const LogCapture& log, const std::string& prefix, std::size_t count,
                  std::chrono::milliseconds limit = kHangLimit);
std::vector<std::string> linesStarting(const LogCapture& log, const std::string& prefix);
std::size_t countLines(const LogCapture& log, const std::string& prefix);

// Every test leaves the service stopped, even when an assertion failed half-way. Its front end
// records the service's states and error boxes in the order the service reports them, from
// whatever thread: "Proving", "Accepting", "Idle" and "showError:<text>".
class TunnelTest : public testing::Test {
 protected:
  TunnelTest();
  ~TunnelTest() override;
  // Starts the service on a free port (localPort_) through the proxy on 127.0.0.1:`proxyPort`
  // (with a login when `user` is not empty) to 127.0.0.1:`targetPort`, waits until it accepts
  // and connects `client` to it when given; fails fatally when one of these fails.
  void startAccepting(std::uint16_t proxyPort, UniqueSocket* client = nullptr,
                      std::uint16_t targetPort = 3389, int handshakeTimeoutMs = 10000,
                      const char* user = "", const char* password = "");
  static std::vector<std::string> events();
  // Waits until `event` has been recorded `times` times in all.
  static bool waitForEvent(const std::string& event, std::chrono::milliseconds limit = kHangLimit,
                           std::size_t times = 1);
  // Log lines written before the first error box was shown (empty when none was).
  static std::vector<std::string> linesBeforeFirstBox();

  LogCapture log_;
  std::uint16_t localPort_ = 0;
};
