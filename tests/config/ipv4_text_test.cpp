// IPv4 literals by inet_addr rules: what goes to the proxy as ATYP 1 and what binds the listener.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "common/ipv4_text.h"

namespace {

using Bytes = std::array<std::uint8_t, 4>;

struct Case {
  const char* text;
  bool valid;
  Bytes bytes;
};

const Case kCases[] = {
    {"10.0.0.5", true, {10, 0, 0, 5}},
    {"10.1", true, {10, 0, 0, 1}},
    {"10.1.2", true, {10, 1, 0, 2}},
    {"167772165", true, {10, 0, 0, 5}},
    {"0x0A.0.0.05", true, {10, 0, 0, 5}},
    {"012.0.0.1", true, {10, 0, 0, 1}},
    {"1.2.65535", true, {1, 2, 255, 255}},
    {"1.2.65536", false, {}},
    {"1.16777215", true, {1, 255, 255, 255}},
    {"127.0.0.1 ", true, {127, 0, 0, 1}},
    {"0.0.0.0", true, {0, 0, 0, 0}},
    {"255.255.255.254", true, {255, 255, 255, 254}},
    {"255.255.255.255", false, {}},  // inet_addr's error value
    {"4294967295", false, {}},
    {"4294967296", false, {}},
    {"256.0.0.1", false, {}},
    {"1.2.3.4.5", false, {}},
    {"1..2", false, {}},
    {"1.2.3.", false, {}},
    {"08.0.0.1", false, {}},
    {"", false, {}},
    {" 1.2.3.4", false, {}},
    {"host", false, {}},
    {"::1", false, {}},
    {"1.2.3.4x", false, {}},
};

}  // namespace

TEST(Ipv4Text, ParsesByInetAddrRules) {
  for (const Case& c : kCases) {
    Bytes bytes{9, 9, 9, 9};
    EXPECT_EQ(parseIpv4Text(c.text, bytes), c.valid) << '"' << c.text << '"';
    if (c.valid) {
      EXPECT_EQ(bytes, c.bytes) << '"' << c.text << '"';
    }
  }
}
