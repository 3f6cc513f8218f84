// Opening a negotiated SOCKS5 session: resolve, connect (first entry that answers), greeting,
// method selection and, when the proxy picks it, the username/password login.
#include "socks5/proxy_session.h"

#include <array>
#include <cstring>
#include <string_view>

#include "common/log.h"
#include "platform/unique_socket.h"
#include "socks5/handshake_io.h"
#include "socks5/messages.h"

namespace {

// Address text with brackets and port, as the log shows it: at most 45 characters.
constexpr std::size_t kAddressTextSize = 46;

// A settings text field as a view; the field's capacity bounds it to 255 characters.
std::string_view fieldText(const TextField& field) {
  return std::string_view(field.data(), strnlen(field.data(), field.size() - 1));
}

// RFC 1929 login after the proxy selected username/password.
int logIn(Socket proxy, const TunnelSettings& settings) {
  const std::string_view user = fieldText(settings.proxyUser);
  const std::string_view password = fieldText(settings.proxyPassword);
  // The password never reaches the log.
  logLine("Login as %s:%s ...\r\n", settings.proxyUser.data(), "***");

  std::array<std::uint8_t, kMaxLoginSize> request{};
  const std::size_t size = buildLoginRequest(user, password, request);
  std::array<std::uint8_t, kLoginReplySize> reply{};
  if (!sendStep(proxy, "auth2", std::span(request).first(size)) ||
      !recvStep(proxy, "auth2", reply, replyDeadline()))
    return 0;
  if (!loginAccepted(reply)) {
    logLine("Error in Socks5 login: %d.%d\r\n", reply[0], reply[1]);
    return 0;
  }
  logLine("Socks5 Auth OK\r\n");
  return 1;
}

}  // namespace

Socket openProxySession(const TunnelSettings& settings) {
  const char* server = settings.proxyServer.data();
  const char* port = settings.proxyPort.data();
  logLine("Connecting to Proxy %s:%s ...\r\n", server, port);

  ResolvedAddresses addresses;
  const int code = resolveStreamAddresses(server, port, addresses);
  setLastSocketError(code);
  if (code != 0) {
    logLine("getaddrinfo() err: %d\r\n", code);
    return noSocket;
  }

  // Entries in the resolver's order; the first one that connects ends the walk.
  UniqueSocket connected;
  for (const ResolvedAddress& address : addresses) {
    if (address.family != kFamilyIpv4 && address.family != kFamilyIpv6) continue;
    std::array<char, kAddressTextSize> text{};
    formatAddress(address, text);
    logLine("Connecting to %s\r\n", text.data());

    UniqueSocket attempt(openTcpSocket(address.family));
    if (!attempt) {
      logLine("socket(%d) err: %d\r\n", address.family, lastSocketError());
      continue;
    }
    // Before connect, so that the handshake's small messages are never held back.
    logLine("set options = %d\r\n", setNoDelay(attempt.get()));
    // An urgent byte travels in line, in order, like any other, from the first byte on: taken
    // out of the stream it would be lost on the way, and on Windows it would keep the socket
    // signalled with nothing to read.
    setOobInline(attempt.get());
    if (!connectTo(attempt.get(), address)) {
      logLine("connect(%d) err: %d\r\n", address.family, lastSocketError());
      continue;  // the attempt's socket is closed here
    }
    // The handshake's reads take what has arrived without a wait first, and the relay needs
    // the socket so anyway.
    setNonBlocking(attempt.get());
    connected = std::move(attempt);
    break;
  }
  if (!connected) return noSocket;

  logLine("Connected OK\r\n");
  if (!negotiateMethod(connected.get(), settings)) return noSocket;
  return connected.release();
}

int negotiateMethod(Socket proxy, const TunnelSettings& settings) {
  logLine("Socks5 Auth...\r\n");
  const bool offerLogin = settings.proxyUser[0] != '\0';
  std::array<std::uint8_t, kMaxGreetingSize> greeting{};
  const std::size_t size = buildGreeting(offerLogin, greeting);
  std::array<std::uint8_t, kMethodReplySize> selection{};
  if (!sendStep(proxy, "auth", std::span(greeting).first(size)) ||
      !recvStep(proxy, "auth", selection, replyDeadline()))
    return 0;
  switch (checkMethodSelection(selection)) {
    case MethodChoice::kNoAuth:
      logLine("Socks5 Auth OK\r\n");
      return 1;
    case MethodChoice::kLogin:
      // Also when only no-auth was offered: the proxy asked, so log in (with an empty name).
      return logIn(proxy, settings);
    case MethodChoice::kRefused:
      break;
  }
  logLine("Error in SOCKS Auth: %d.%d\r\n", selection[0], selection[1]);
  return 0;
}
