// The real SOCKS5 servers the ctest fixture `quillan_peers` starts on loopback (peers.sh).
#pragma once

#include <cstdint>

// Port `offset` of the peers' six: they start at QUILLAN_PEER_BASE_PORT, which ctest sets to the
// build tree's own base (tests/peers/CMakeLists.txt) so that test runs of two trees never meet,
// or at 21080 without it, where peers.sh starts them by default.
std::uint16_t peerPort(unsigned offset);

inline const std::uint16_t kDantePort = peerPort(0);           // Dante, no authentication
inline const std::uint16_t kDanteAuthPort = peerPort(1);       // Dante, username/password
inline const std::uint16_t kMicrosocksPort = peerPort(2);      // microsocks, no authentication
inline const std::uint16_t kMicrosocksAuthPort = peerPort(3);  // microsocks -u/-P
inline const std::uint16_t kSshSocksPort = peerPort(5);        // ssh -D, through its own sshd
inline constexpr const char* kPeerUser = "quillanpeer";
inline constexpr const char* kPeerPassword = "Qp-peer-7351";

// True when something accepts TCP connections on 127.0.0.1:port (tests skip otherwise).
bool peerListening(std::uint16_t port);
