// The real SOCKS5 servers the ctest fixture `quillan_peers` starts on loopback (peers.sh).
#pragma once

#include <cstdint>

inline constexpr std::uint16_t kDantePort = 21080;           // Dante, no authentication
inline constexpr std::uint16_t kDanteAuthPort = 21081;       // Dante, username/password
inline constexpr std::uint16_t kMicrosocksPort = 21082;      // microsocks, no authentication
inline constexpr std::uint16_t kMicrosocksAuthPort = 21083;  // microsocks -u/-P
inline constexpr std::uint16_t kSshSocksPort = 21085;        // ssh -D, through its own sshd
inline constexpr const char* kPeerUser = "quillanpeer";
inline constexpr const char* kPeerPassword = "Qp-peer-7351";

// True when something accepts TCP connections on 127.0.0.1:port (tests skip otherwise).
bool peerListening(std::uint16_t port);
