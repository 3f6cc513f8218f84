// Clipped copies and the atoi-like port conversion of the settings record. (The defaults are
// checked where the user meets them: FirstRunTest in tests/app/settings_store_test.cpp.)
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "config/tunnel_settings.h"

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
  // Like atoi, then truncated to 16 bits: "65536" is 0, "-1" is 65535.
  const std::pair<const char*, int> cases[] = {{"3389", 3389}, {"", 0},          {"abc", 0},
                                               {"  80x", 80},  {"+81", 81},      {"65535", 65535},
                                               {"65536", 0},   {"99999", 34463}, {"-1", 65535}};
  for (const auto& [text, port] : cases) EXPECT_EQ(portNumber(text), port) << '"' << text << '"';
}
