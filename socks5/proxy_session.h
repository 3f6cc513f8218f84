// Client side of a SOCKS5 session (RFC 1928, with RFC 1929 login) to the configured proxy.
#pragma once

#include <atomic>

#include "platform/socket.h"

// Resolves and connects to tunnelSettings.proxyServer:proxyPort and negotiates the method
// (logging in when the proxy asks). Returns the ready socket, owned by the caller, or noSocket
// with whatever it opened closed. Logs every step. Safe to call from several threads at once.
Socket openProxySession();

// Greeting, method selection and, when chosen, the login. 1 on success, 0 on failure; the
// socket stays open either way.
int negotiateMethod(Socket proxy);

// Bound of each wait for a proxy reply during the handshake, in milliseconds (60 s). Tests
// shorten it.
extern std::atomic<int> handshakeTimeoutMs;
