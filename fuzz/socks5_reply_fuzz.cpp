// libFuzzer target: arbitrary proxy replies fed to the handshake and the CONNECT step over a
// socket pair, and arbitrary bytes and texts fed to the pure builders and reply checks.
//
// Input layout: byte 0 picks the settings (bit 0: a user name is set, so the greeting offers
// login; bits 1-2: target as IPv4, IPv6, short name or the remaining input as the name), the
// rest is everything the "proxy" says, followed by end of stream.
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "common/log.h"
#include "common/test_seams.h"
#include "config/tunnel_settings.h"
#include "socks5/connect_request.h"
#include "socks5/messages.h"
#include "socks5/proxy_session.h"

namespace {

void dropLine(const char*, std::size_t) {}

void fuzzPureParts(std::span<const std::uint8_t> data) {
  if (data.size() >= kMethodReplySize) {
    (void)checkMethodSelection(std::span<const std::uint8_t, kMethodReplySize>(data.first<2>()));
    (void)loginAccepted(std::span<const std::uint8_t, kLoginReplySize>(data.first<2>()));
    (void)connectReplySucceeded(std::span<const std::uint8_t, kReplyVerdictSize>(data.first<2>()));
  }
  // Feeding the reply one byte at a time must never ask for less than its head or than it
  // asked before, nor for more than the largest reply.
  std::size_t previous = 0;
  for (std::size_t have = 0; have <= data.size() && have <= kMaxConnectReplySize; ++have) {
    std::size_t whole = connectReplySize(data.first(have));
    if (whole < kConnectReplyHeadSize || whole > kMaxConnectReplySize || whole < previous)
      __builtin_trap();
    previous = whole;
    if (whole <= have) break;
  }
  // The input as host text and login texts.
  std::string text(reinterpret_cast<const char*>(data.data()), data.size());
  std::array<std::uint8_t, kMaxConnectRequestSize> request{};
  std::size_t size = buildConnectRequest(text.c_str(), 3389, request);
  if (size > request.size()) __builtin_trap();
  std::array<std::uint8_t, kMaxLoginSize> login{};
  std::string_view all(text);
  std::size_t half = all.size() / 2;
  size = buildLoginRequest(all.substr(0, half), all.substr(half), login);
  if (size != 0 && size != 3 + all.size()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  testSeams.logSink = dropLine;
  testSeams.handshakeTimeoutMs = 20;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t length) {
  std::span<const std::uint8_t> data(bytes, length);
  if (data.empty()) return 0;
  fuzzPureParts(data);

  const std::uint8_t mode = data[0];
  std::span<const std::uint8_t> replies = data.subspan(1);
  resetTunnelSettings();
  copySetting(tunnelSettings.proxyUser, (mode & 1) != 0 ? "u" : "");
  copySetting(tunnelSettings.proxyPassword, "p");
  static const char* const kTargets[] = {"10.0.0.5", "::1", "host", nullptr};
  const char* target = kTargets[(mode >> 1) & 3];
  std::string nameFromInput;
  if (target == nullptr) {
    nameFromInput.assign(reinterpret_cast<const char*>(replies.data()),
                         std::min<std::size_t>(replies.size(), 40));
    target = nameFromInput.c_str();
  }
  copySetting(tunnelSettings.targetServer, target);

  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return 0;
  // Everything the proxy says is queued first, then its end of stream, so no read waits.
  std::size_t queued = 0;
  while (queued < replies.size()) {
    ssize_t n = send(pair[1], replies.data() + queued, replies.size() - queued, MSG_NOSIGNAL);
    if (n <= 0) break;
    queued += static_cast<std::size_t>(n);
  }
  shutdown(pair[1], SHUT_WR);
  const Socket proxy = static_cast<Socket>(pair[0]);
  if (negotiateMethod(proxy, tunnelSettings) == 1) (void)requestConnect(proxy, tunnelSettings);
  close(pair[0]);
  close(pair[1]);
  return 0;
}
