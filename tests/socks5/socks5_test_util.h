// Shared set-up of the SOCKS5 client tests: settings pointed at a loopback proxy, a log
// capture, and a short handshake bound restored afterwards.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/test_seams.h"
#include "config/tunnel_settings.h"
#include "platform/unique_socket.h"
#include "socks5/proxy_session.h"
#include "tests/support/log_capture.h"
#include "tests/support/loopback_target.h"

class Socks5Test : public testing::Test {
 protected:
  void SetUp() override {
    resetTunnelSettings();
    savedTimeout_ = testSeams.handshakeTimeoutMs.load();
    // Long enough for a slow emulated run, short enough that a hang shows as a failure.
    testSeams.handshakeTimeoutMs = 10000;
  }
  void TearDown() override {
    testSeams.handshakeTimeoutMs = savedTimeout_;
    resetTunnelSettings();
  }

  static void useProxy(const std::string& host, const std::string& port,
                       const std::string& user = "", const std::string& password = "") {
    copySetting(tunnelSettings.proxyServer, host.c_str());
    copySetting(tunnelSettings.proxyPort, port.c_str());
    copySetting(tunnelSettings.proxyUser, user.c_str());
    copySetting(tunnelSettings.proxyPassword, password.c_str());
  }
  static void useTarget(const std::string& host, const std::string& port) {
    copySetting(tunnelSettings.targetServer, host.c_str());
    copySetting(tunnelSettings.targetPort, port.c_str());
  }

  // The lines a successful session to 127.0.0.1:port writes before negotiating.
  static std::vector<std::string> connectLines(const std::string& port) {
    return {"Connecting to Proxy 127.0.0.1:" + port + " ...\r\n",
            "Connecting to 127.0.0.1:" + port + "\r\n", "set options = 0\r\n", "Connected OK\r\n"};
  }

  static std::string line(const char* format, int value) {
    char text[128];
    std::snprintf(text, sizeof text, format, value);
    return text;
  }

  LogCapture log_;

 private:
  int savedTimeout_ = 0;
};
