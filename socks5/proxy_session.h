// Client side of a SOCKS5 session (RFC 1928, with RFC 1929 login) to the configured proxy.
#pragma once

#include "config/tunnel_settings.h"
#include "platform/socket.h"

// Resolves and connects to settings.proxyServer:proxyPort and negotiates the method (logging in
// when the proxy asks). Returns the ready socket, owned by the caller, or noSocket with whatever
// it opened closed. Logs every step. Safe to call from several threads at once.
Socket openProxySession(const TunnelSettings& settings);

// Greeting, method selection and, when chosen, the login. 1 on success, 0 on failure; the
// socket stays open either way.
int negotiateMethod(Socket proxy, const TunnelSettings& settings);
