// The peers' ports, and a probe for them: one loopback connect, closed at once.
#include "tests/peers/peers.h"

#include <cstdlib>

#include "platform/unique_socket.h"
#include "tests/support/loopback.h"

std::uint16_t peerPort(unsigned offset) {
  // peers.sh refuses a value out of this range, so ctest runs no peer test with one.
  static const unsigned long base = [] {
    const char* text = std::getenv("QUILLAN_PEER_BASE_PORT");
    char* end = nullptr;
    const unsigned long value = text != nullptr ? std::strtoul(text, &end, 10) : 0;
    return end != text && *end == '\0' && value >= 1024 && value <= 65530 ? value : 21080UL;
  }();
  return static_cast<std::uint16_t>(base + offset);
}

bool peerListening(std::uint16_t port) {
  return bool(UniqueSocket(connectLoopback(port)));
}
