// The one process-wide settings record. Every field is text, ports included, exactly as typed.
#pragma once

#include <array>
#include <cstdint>
#include <span>

inline constexpr std::size_t kTextFieldCapacity = 255;  // characters, terminator excluded
inline constexpr std::size_t kPortFieldCapacity = 5;

using TextField = std::array<char, kTextFieldCapacity + 1>;
using PortField = std::array<char, kPortFieldCapacity + 1>;

struct TunnelSettings {
  TextField localAddress;
  PortField localPort;
  TextField targetServer;
  PortField targetPort;
  TextField proxyServer;
  PortField proxyPort;
  TextField proxyUser;  // empty: no login is offered
  TextField proxyPassword;
};

// Written only by the settings load (before the window) and the Start command; read anywhere.
extern TunnelSettings tunnelSettings;

inline constexpr const char* kDefaultLocalAddress = "127.0.0.1";
inline constexpr const char* kDefaultLocalPort = "757";
inline constexpr const char* kDefaultTargetServer = "rdp-host.example.net";
inline constexpr const char* kDefaultTargetPort = "3389";
inline constexpr const char* kDefaultProxyServer = "socks-proxy.example.net";
inline constexpr const char* kDefaultProxyPort = "1080";

// Puts every field back to its default.
void resetTunnelSettings();

// Copies text into a field, cut to the field's capacity and always terminated.
void copySetting(std::span<char> field, const char* text);

// Port text the way atoi reads it (leading white space, optional sign, digits up to the first
// non-digit; otherwise 0), truncated to 16 bits. Host order.
std::uint16_t portNumber(const char* text);
