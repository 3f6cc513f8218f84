// The SOCKS5 CONNECT request for settings.targetServer:targetPort.
#pragma once

#include "config/tunnel_settings.h"
#include "platform/socket.h"

// Asks the proxy on `proxy` (from openProxySession) to connect to the target and reads the
// whole reply, leaving any bytes after it on the socket. 1 on success, 0 on failure; the
// socket stays open either way.
int requestConnect(Socket proxy, const TunnelSettings& settings);
