#include "socks5/proxy_session.h"

std::atomic<int> handshakeTimeoutMs{60000};

Socket openProxySession() {
  return noSocket;
}
int negotiateMethod(Socket) {
  return 0;
}
