// The SOCKS5 CONNECT request for the configured target, and the reading of its reply.
#include "socks5/connect_request.h"

#include <array>

#include "common/log.h"
#include "socks5/handshake_io.h"
#include "socks5/messages.h"

int requestConnect(Socket proxy, const TunnelSettings& settings) {
  const char* server = settings.targetServer.data();
  const char* port = settings.targetPort.data();
  logLine("Connecting to Server %s:%s ...\r\n", server, port);

  std::array<std::uint8_t, kMaxConnectRequestSize> request{};
  const std::size_t size = buildConnectRequest(server, portNumber(port), request);
  if (!sendStep(proxy, "host", std::span(request).first(size))) return 0;

  // The reply is read in phases and never past its end. Every reply starts with VER REP RSV
  // ATYP, so the first read takes up to those four (usually there together) but needs only VER
  // REP: a refusal is judged on them alone. Then the bound address by ATYP and the port (none
  // for an ATYP we do not know). What follows belongs to the target and stays on the socket.
  std::array<std::uint8_t, kMaxConnectReplySize> reply{};
  const ReplyDeadline deadline = replyDeadline();
  std::size_t have = recvAtLeast(proxy, "host", std::span(reply).first(kConnectReplyHeadSize),
                                 kReplyVerdictSize, deadline);
  if (have == 0) return 0;
  if (!connectReplySucceeded(std::span(reply).first<kReplyVerdictSize>())) {
    logLine("Error in Socks5 connection: %d.%d\r\n", reply[0], reply[1]);
    return 0;
  }
  for (;;) {
    const std::size_t whole = connectReplySize(std::span(reply).first(have));
    if (whole <= have) break;
    if (!recvStep(proxy, "host", std::span(reply).subspan(have, whole - have), deadline)) return 0;
    have = whole;
  }
  logLine("Connected OK\r\n");
  return 1;
}
