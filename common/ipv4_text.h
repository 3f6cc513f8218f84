// IPv4 literals by the classic inet_addr rules, the same on every platform.
#pragma once

#include <array>
#include <cstdint>

// Accepts one to four dot-separated parts, each decimal, octal (leading 0) or hexadecimal
// (leading 0x); with fewer than four parts the last fills the remaining low-order bytes
// ("10.1" is 10.0.0.1). Trailing white space is allowed. 255.255.255.255 is refused, because
// inet_addr cannot tell it from its error value. `bytes` receives network order.
bool parseIpv4Text(const char* text, std::array<std::uint8_t, 4>& bytes);
