// Defaults, clipped copies and the atoi-like port conversion of the settings record.
#include <gtest/gtest.h>

#include <string>

#include "config/tunnel_settings.h"

TEST(TunnelSettings, DefaultsWithoutStoredValues) {
  resetTunnelSettings();
  EXPECT_STREQ(tunnelSettings.localAddress.data(), "127.0.0.1");
  EXPECT_STREQ(tunnelSettings.localPort.data(), "757");
  EXPECT_STREQ(tunnelSettings.targetPort.data(), "3389");
  EXPECT_STREQ(tunnelSettings.proxyPort.data(), "1080");
  EXPECT_STREQ(tunnelSettings.proxyUser.data(), "");
  EXPECT_STREQ(tunnelSettings.proxyPassword.data(), "");
  EXPECT_NE(std::string(tunnelSettings.targetServer.data()).find(".example."), std::string::npos);
  EXPECT_NE(std::string(tunnelSettings.proxyServer.data()).find(".example."), std::string::npos);
}

TEST(TunnelSettings, CopyKeepsCapacityAndTerminator) {
  TextField text{};
  std::string exact(255, 'h');
  copySetting(text, exact.c_str());
  EXPECT_EQ(std::string(text.data()), exact);
  copySetting(text, (exact + "xyz").c_str());
  EXPECT_EQ(std::string(text.data()), exact);

  PortField port{};
  copySetting(port, "1234567");
  EXPECT_STREQ(port.data(), "12345");
  copySetting(port, nullptr);
  EXPECT_STREQ(port.data(), "");
}

TEST(TunnelSettings, PortConversionReadsLikeAtoi) {
  EXPECT_EQ(portNumber("3389"), 3389);
  EXPECT_EQ(portNumber(""), 0);
  EXPECT_EQ(portNumber("abc"), 0);
  EXPECT_EQ(portNumber("  80x"), 80);
  EXPECT_EQ(portNumber("+81"), 81);
  EXPECT_EQ(portNumber("65535"), 65535);
  EXPECT_EQ(portNumber("65536"), 0);  // modulo 65536
  EXPECT_EQ(portNumber("99999"), 34463);
  EXPECT_EQ(portNumber("-1"), 65535);  // atoi's -1 truncated to 16 bits
}
