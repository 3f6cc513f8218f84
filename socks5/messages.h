// The SOCKS5 client's messages as pure byte builders and reply checks: no sockets here, so
// unit tests and the fuzz target call them directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "socks5/wire.h"

// Greeting: 05 01 00, or 05 02 00 02 when a login is offered. Returns the size (3 or 4).
std::size_t buildGreeting(bool offerLogin, std::span<std::uint8_t, kMaxGreetingSize> out);

// Login request 01 ULEN UNAME PLEN PASSWD. Returns the size, or 0 when a text is longer than
// 255 bytes or `out` is too small.
std::size_t buildLoginRequest(std::string_view user, std::string_view password,
                              std::span<std::uint8_t> out);

// CONNECT request for host:port (port in host order). The address type follows the host text:
// an inet_addr-style IPv4 literal, else an IPv6 literal, else a name sent as typed. Returns
// the size, or 0 when the name is longer than 255 bytes or `out` is too small.
std::size_t buildConnectRequest(const char* host, std::uint16_t port, std::span<std::uint8_t> out);

// What the proxy's method selection (VER METHOD) asks of us.
enum class MethodChoice {
  kNoAuth,   // 05 00
  kLogin,    // 05 02
  kRefused,  // any other version or method, 0xFF included
};
MethodChoice checkMethodSelection(std::span<const std::uint8_t, kMethodReplySize> reply);

// Login reply VER STATUS: true only for 01 00.
bool loginAccepted(std::span<const std::uint8_t, kLoginReplySize> reply);

// CONNECT reply VER REP: true only for 05 00.
bool connectReplySucceeded(std::span<const std::uint8_t, kReplyVerdictSize> verdict);

// Length of the whole CONNECT reply as far as the bytes received so far tell it: 4 while the
// head is incomplete; then 4 + 4 + 2 (IPv4), 4 + 16 + 2 (IPv6), 5 until the name's length byte
// has arrived and then 4 + 1 + n + 2 (name); 4 for any other ATYP, whose address length is
// unknown. Reading until the result stops growing reads the reply exactly, never a byte that
// follows it.
std::size_t connectReplySize(std::span<const std::uint8_t> received);
