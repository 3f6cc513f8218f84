#include "config/tunnel_settings.h"

#include <cstring>

namespace {

TunnelSettings defaultSettings() {
  TunnelSettings settings{};
  copySetting(settings.localAddress, kDefaultLocalAddress);
  copySetting(settings.localPort, kDefaultLocalPort);
  copySetting(settings.targetServer, kDefaultTargetServer);
  copySetting(settings.targetPort, kDefaultTargetPort);
  copySetting(settings.proxyServer, kDefaultProxyServer);
  copySetting(settings.proxyPort, kDefaultProxyPort);
  return settings;
}

}  // namespace

TunnelSettings tunnelSettings = defaultSettings();

void resetTunnelSettings() {
  tunnelSettings = defaultSettings();
}

void copySetting(std::span<char> field, const char* text) {
  if (field.empty()) return;
  std::size_t length = text == nullptr ? 0 : strnlen(text, field.size() - 1);
  if (length > 0) std::memcpy(field.data(), text, length);
  field[length] = '\0';
}

std::uint16_t portNumber(const char* text) {
  if (text == nullptr) return 0;
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  // Arithmetic modulo 2^16 gives atoi's value truncated to 16 bits, without its overflow.
  std::uint16_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) value = static_cast<std::uint16_t>(value * 10 + (*p - '0'));
  return negative ? static_cast<std::uint16_t>(-value) : value;
}
