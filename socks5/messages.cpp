// Builders and checks for the SOCKS5 client's messages. Wire layouts are in the comments.
#include "socks5/messages.h"

#include <array>

#include "common/ipv4_text.h"
#include "platform/socket.h"

std::size_t buildGreeting(bool offerLogin, std::span<std::uint8_t, kMaxGreetingSize> out) {
  // +-----+----------+----------+
  // | VER | NMETHODS | METHODS  |
  // +-----+----------+----------+
  // |  1  |    1     | 1 or 2   |
  WireWriter writer(out);
  writer.put8(kSocksVersion);
  writer.put8(offerLogin ? kTwoMethods : kOneMethod);
  writer.put8(kMethodNoAuth);
  if (offerLogin) writer.put8(kMethodUserPassword);
  return writer.ok() ? writer.size() : 0;
}

std::size_t buildLoginRequest(std::string_view user, std::string_view password,
                              std::span<std::uint8_t> out) {
  // +-----+------+----------+------+----------+
  // | VER | ULEN |  UNAME   | PLEN |  PASSWD  |
  // +-----+------+----------+------+----------+
  // |  1  |  1   | 0 to 255 |  1   | 0 to 255 |
  WireWriter writer(out);
  writer.put8(kLoginVersion);
  writer.putLen8(user);
  writer.putLen8(password);
  return writer.ok() ? writer.size() : 0;
}

std::size_t buildConnectRequest(const char* host, std::uint16_t port, std::span<std::uint8_t> out) {
  // +-----+-----+-------+------+----------+----------+
  // | VER | CMD |  RSV  | ATYP | DST.ADDR | DST.PORT |
  // +-----+-----+-------+------+----------+----------+
  // |  1  |  1  | X'00' |  1   | Variable |    2     |
  WireWriter writer(out);
  writer.put8(kSocksVersion);
  writer.put8(kCommandConnect);
  writer.put8(kReserved);
  std::array<std::uint8_t, kIpv4AddressSize> ipv4{};
  std::array<std::uint8_t, kIpv6AddressSize> ipv6{};
  if (parseIpv4Text(host, ipv4)) {
    writer.put8(kAtypIpv4);
    writer.putBytes(ipv4);
  } else if (parseIpv6Text(host, ipv6)) {
    writer.put8(kAtypIpv6);
    writer.putBytes(ipv6);
  } else {
    // The proxy resolves the name, sent exactly as typed.
    writer.put8(kAtypDomain);
    writer.putLen8(host == nullptr ? std::string_view() : std::string_view(host));
  }
  writer.put16be(port);
  return writer.ok() ? writer.size() : 0;
}

MethodChoice checkMethodSelection(std::span<const std::uint8_t, kMethodReplySize> reply) {
  if (reply[0] != kSocksVersion) return MethodChoice::kRefused;
  if (reply[1] == kMethodNoAuth) return MethodChoice::kNoAuth;
  if (reply[1] == kMethodUserPassword) return MethodChoice::kLogin;
  return MethodChoice::kRefused;
}

bool loginAccepted(std::span<const std::uint8_t, kLoginReplySize> reply) {
  return reply[0] == kLoginVersion && reply[1] == kLoginSuccess;
}

bool connectReplySucceeded(std::span<const std::uint8_t, kReplyVerdictSize> verdict) {
  return verdict[0] == kSocksVersion && verdict[1] == kReplySucceeded;
}

std::size_t connectReplySize(std::span<const std::uint8_t> received) {
  // +-----+-----+-------+------+----------+----------+
  // | VER | REP |  RSV  | ATYP | BND.ADDR | BND.PORT |
  // +-----+-----+-------+------+----------+----------+
  // |  1  |  1  | X'00' |  1   | Variable |    2     |
  if (received.size() < kConnectReplyHeadSize) return kConnectReplyHeadSize;
  switch (received[3]) {
    case kAtypIpv4:
      return kConnectReplyHeadSize + kIpv4AddressSize + kPortSize;
    case kAtypIpv6:
      return kConnectReplyHeadSize + kIpv6AddressSize + kPortSize;
    case kAtypDomain:
      // The name's length byte comes first; only then is the whole size known.
      if (received.size() < kConnectReplyHeadSize + 1) return kConnectReplyHeadSize + 1;
      return kConnectReplyHeadSize + 1 + received[kConnectReplyHeadSize] + kPortSize;
    default:
      // A success is a success whatever follows: with no known length the reply ends with its
      // head, and the rest goes to the relay.
      return kConnectReplyHeadSize;
  }
}
