// SOCKS5 (RFC 1928) and username/password login (RFC 1929) wire constants, and a bounded
// writer for building the client's messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// ---- Greeting and method selection (RFC 1928 section 3) ----
inline constexpr std::uint8_t kSocksVersion = 0x05;        // VER of every SOCKS5 message
inline constexpr std::uint8_t kMethodNoAuth = 0x00;        // METHOD: no authentication
inline constexpr std::uint8_t kMethodUserPassword = 0x02;  // METHOD: username/password
inline constexpr std::uint8_t kOneMethod = 0x01;           // NMETHODS: no-auth only
inline constexpr std::uint8_t kTwoMethods = 0x02;          // NMETHODS: no-auth and login

// ---- Login (RFC 1929) ----
inline constexpr std::uint8_t kLoginVersion = 0x01;  // VER of the login request and reply
inline constexpr std::uint8_t kLoginSuccess = 0x00;  // STATUS: accepted; anything else refuses

// ---- CONNECT request and reply (RFC 1928 sections 4 to 6) ----
inline constexpr std::uint8_t kCommandConnect = 0x01;  // CMD: CONNECT
inline constexpr std::uint8_t kReserved = 0x00;        // RSV
inline constexpr std::uint8_t kAtypIpv4 = 0x01;        // ATYP: 4 address bytes
inline constexpr std::uint8_t kAtypDomain = 0x03;      // ATYP: length byte + name
inline constexpr std::uint8_t kAtypIpv6 = 0x04;        // ATYP: 16 address bytes
inline constexpr std::uint8_t kReplySucceeded = 0x00;  // REP: succeeded

// ---- Sizes ----
inline constexpr std::size_t kMaxLength8 = 255;  // a one-byte length field
inline constexpr std::size_t kIpv4AddressSize = 4;
inline constexpr std::size_t kIpv6AddressSize = 16;
inline constexpr std::size_t kPortSize = 2;
inline constexpr std::size_t kMethodReplySize = 2;       // VER METHOD
inline constexpr std::size_t kLoginReplySize = 2;        // VER STATUS
inline constexpr std::size_t kReplyVerdictSize = 2;      // VER REP, judged before the rest
inline constexpr std::size_t kConnectReplyHeadSize = 4;  // VER REP RSV ATYP
inline constexpr std::size_t kMaxGreetingSize = 4;       // 05 02 00 02
// 01 ULEN UNAME(255) PLEN PASSWD(255)
inline constexpr std::size_t kMaxLoginSize = 3 + 2 * kMaxLength8;
// VER CMD RSV ATYP, length byte + 255-byte name, port
inline constexpr std::size_t kMaxConnectRequestSize = 4 + 1 + kMaxLength8 + kPortSize;
// VER REP RSV ATYP, length byte + 255-byte name, port
inline constexpr std::size_t kMaxConnectReplySize =
    kConnectReplyHeadSize + 1 + kMaxLength8 + kPortSize;

// Appends to a fixed buffer; once a put does not fit, it and every later put fail and ok()
// stays false, so a caller can test once at the end.
class WireWriter {
 public:
  explicit WireWriter(std::span<std::uint8_t> out) : out_(out) {}

  bool putBytes(std::span<const std::uint8_t> bytes) {
    if (!ok_ || out_.size() - size_ < bytes.size()) return fail();
    for (std::uint8_t byte : bytes) out_[size_++] = byte;
    return true;
  }
  bool put8(std::uint8_t value) { return putBytes({&value, 1}); }
  bool put16be(std::uint16_t value) {
    const std::uint8_t bytes[] = {static_cast<std::uint8_t>(value >> 8),
                                  static_cast<std::uint8_t>(value & 0xFF)};
    return putBytes(bytes);
  }
  // A one-byte length and the text without terminator; refuses text the byte cannot count.
  bool putLen8(std::string_view text) {
    if (text.size() > kMaxLength8) return fail();
    return put8(static_cast<std::uint8_t>(text.size())) &&
           putBytes({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  }

  bool ok() const { return ok_; }
  std::size_t size() const { return size_; }

 private:
  bool fail() {
    ok_ = false;
    return false;
  }

  std::span<std::uint8_t> out_;
  std::size_t size_ = 0;
  bool ok_ = true;
};
