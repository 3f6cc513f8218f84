// Shared pieces of the quillan.exe tests: the fixture that starts the program on a clean
// registry, and small loopback servers that play the target and a mute proxy.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "platform/unique_socket.h"
#include "tests/app/win_driver.h"
#include "tests/support/loopback_target.h"

// The eight settings fields as the window shows them, 1001 to 1008.
struct WindowFields {
  std::string localAddress, localPort, targetServer, targetPort, proxyServer, proxyPort, proxyUser,
      proxyPassword;
};

class AppTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts quillan.exe and waits for its dialog (use with ASSERT_NO_FATAL_FAILURE).
  void launch();
  WindowFields readFields() const;
  // Puts text into the fields with WM_SETTEXT; 1001 (read-only) is left alone.
  void fill(const WindowFields& fields) const;
  // Clicks Start and waits for an error box owned by the dialog; its text, after checking the
  // caption and pressing OK.
  std::string startExpectingBox();

  windriver::AppProcess app;
  HWND dialog = nullptr;
};

// A loopback TCP listener on a free port that accepts nothing: a proxy that never answers
// (connections complete in its backlog), or a port held by this process.
class HeldPort {
 public:
  HeldPort();
  std::uint16_t port() const { return port_; }
  std::string text() const { return std::to_string(port_); }

 private:
  UniqueSocket listener_;
  std::uint16_t port_ = 0;
};

// A loopback echo server on a free port, one thread per connection, stopped on destruction.
class EchoTarget {
 public:
  EchoTarget();
  ~EchoTarget();
  EchoTarget(const EchoTarget&) = delete;
  EchoTarget& operator=(const EchoTarget&) = delete;
  std::string text() const { return std::to_string(port_); }

 private:
  void acceptLoop();
  void echo(Socket socket);

  UniqueSocket listener_;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::vector<std::thread> connections_;  // guarded by mutex_
  std::thread acceptor_;
};

// Connects to 127.0.0.1:port, sends `line`, and returns what comes back within a few seconds
// (up to the length of `line`).
std::string roundTrip(std::uint16_t port, const std::string& line);
