// The peers' ports, and a probe for them: one loopback connect, closed at once.
#include "tests/peers/peers.h"

#include <cstdlib>

#include "platform/unique_socket.h"
#include "tests/support/loopback.h"

std::uint16_t peerPort(unsigned offset) {
  // ctest sets it for the tree (peers.sh refuses a value that is no port); 21080 by hand.
  static const unsigned long base = [] {
    const char* text = std::getenv("QUILLAN_PEER_BASE_PORT");
    return text != nullptr ? std::strtoul(text, nullptr, 10) : 21080UL;
  }();
  return static_cast<std::uint16_t>(base + offset);
}

bool peerListening(std::uint16_t port) {
  return bool(UniqueSocket(connectLoopback(port)));
}
