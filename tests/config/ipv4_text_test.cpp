// IPv4 literals by inet_addr rules: what goes to the proxy as ATYP 1 and what binds the listener.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <utility>

#include "common/ipv4_text.h"

using Ipv4 = std::array<std::uint8_t, 4>;

TEST(Ipv4Text, ParsesByInetAddrRules) {
  const std::pair<const char*, Ipv4> accepted[] = {
      {"10.0.0.5", {10, 0, 0, 5}},
      {"10.1", {10, 0, 0, 1}},
      {"10.1.2", {10, 1, 0, 2}},
      {"167772165", {10, 0, 0, 5}},
      {"0x0A.0.0.05", {10, 0, 0, 5}},
      {"012.0.0.1", {10, 0, 0, 1}},
      {"1.2.65535", {1, 2, 255, 255}},
      {"1.16777215", {1, 255, 255, 255}},
      {"127.0.0.1 ", {127, 0, 0, 1}},
      {"0.0.0.0", {0, 0, 0, 0}},
      {"255.255.255.254", {255, 255, 255, 254}},
  };
  for (const auto& [text, expected] : accepted) {
    Ipv4 bytes{9, 9, 9, 9};
    EXPECT_TRUE(parseIpv4Text(text, bytes)) << '"' << text << '"';
    EXPECT_EQ(bytes, expected) << '"' << text << '"';
  }
  // 255.255.255.255 is inet_addr's error value.
  for (const char* text :
       {"1.2.65536", "255.255.255.255", "4294967295", "4294967296", "256.0.0.1", "1.2.3.4.5",
        "1..2", "1.2.3.", "08.0.0.1", "", " 1.2.3.4", "host", "::1", "1.2.3.4x"}) {
    Ipv4 bytes{9, 9, 9, 9};
    EXPECT_FALSE(parseIpv4Text(text, bytes)) << '"' << text << '"';
  }
}
