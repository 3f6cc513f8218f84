// Probe for the fixture's SOCKS5 servers: one loopback connect, closed at once.
#include "tests/peers/peers.h"

#include <string>
#include <vector>

#include "platform/socket.h"
#include "platform/unique_socket.h"

bool peerListening(std::uint16_t port) {
  ResolvedAddresses addresses;
  std::string service = std::to_string(port);
  if (resolveStreamAddresses("127.0.0.1", service.c_str(), addresses) != 0 || addresses.empty())
    return false;
  UniqueSocket probe(openTcpSocket(kFamilyIpv4));
  return probe && connectTo(probe.get(), addresses.front());
}
