// Probe for the fixture's SOCKS5 servers: one loopback connect, closed at once.
#include "tests/peers/peers.h"

#include "platform/unique_socket.h"
#include "tests/support/loopback.h"

bool peerListening(std::uint16_t port) {
  return bool(UniqueSocket(connectLoopback(port)));
}
