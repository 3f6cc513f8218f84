// Shared set-up of the SOCKS5 client tests: settings pointed at a loopback proxy, a log
// capture, and a short handshake bound restored afterwards.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "common/test_seams.h"
#include "config/tunnel_settings.h"
#include "platform/unique_socket.h"
#include "socks5/proxy_session.h"
#include "tests/support/log_capture.h"
#include "tests/support/loopback_target.h"

class Socks5Test : public testing::Test {
 protected:
  // Long enough for a slow emulated run, short enough that a hang shows as a failure.
  static constexpr int kHandshakeMs = 10000;

  void SetUp() override {
    resetTunnelSettings();
    testSeams.handshakeTimeoutMs = kHandshakeMs;
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
  // A proxy that reads the greeting and answers with the method selection `reply`.
  static ProxyScript selecting(Bytes reply) { return ProxyScript().expectGreeting().reply(reply); }
  // Points the settings at `proxy` and opens a session through it.
  static UniqueSocket openSession(const ScriptedProxy& proxy, const std::string& user = "",
                                  const std::string& password = "") {
    useProxy("127.0.0.1", proxy.portText(), user, password);
    return UniqueSocket(openProxySession(tunnelSettings));
  }

  LogCapture log_;
  const int savedTimeout_ = testSeams.handshakeTimeoutMs.load();
};

// A CONNECT request as the client sends it: 05 01 00, ATYP, the address, the port (big-endian);
// for ATYP 3 the address is the name after its length byte.
inline Bytes connectBytes(std::uint8_t atyp, Bytes address, std::uint16_t port) {
  Bytes bytes{0x05, 0x01, 0x00, atyp};
  bytes.insert(bytes.end(), address.begin(), address.end());
  bytes.insert(bytes.end(),
               {static_cast<std::uint8_t>(port >> 8), static_cast<std::uint8_t>(port)});
  return bytes;
}
inline Bytes nameRequest(const std::string& name, std::uint16_t port) {
  Bytes address{static_cast<std::uint8_t>(name.size())};
  address.insert(address.end(), name.begin(), name.end());
  return connectBytes(0x03, address, port);
}
