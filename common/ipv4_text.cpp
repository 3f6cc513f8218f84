#include "common/ipv4_text.h"

namespace {

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

int digitValue(char c, int base) {
  int value = -1;
  if (c >= '0' && c <= '9')
    value = c - '0';
  else if (c >= 'a' && c <= 'f')
    value = c - 'a' + 10;
  else if (c >= 'A' && c <= 'F')
    value = c - 'A' + 10;
  return value < base ? value : -1;
}

}  // namespace

bool parseIpv4Text(const char* text, std::array<std::uint8_t, 4>& bytes) {
  if (text == nullptr) return false;
  std::uint32_t parts[4] = {};
  int count = 0;
  const char* p = text;
  for (;;) {
    if (*p < '0' || *p > '9') return false;  // every part starts with a digit
    int base = 10;
    if (*p == '0') {
      base = 8;
      ++p;
      if (*p == 'x' || *p == 'X') {
        base = 16;
        ++p;
      }
    }
    std::uint64_t value = 0;
    for (int digit; (digit = digitValue(*p, base)) >= 0; ++p) {
      value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
      if (value > 0xFFFFFFFFu) return false;
    }
    if (*p >= '0' && *p <= '9') return false;  // 8 or 9 in an octal part
    if (count == 4) return false;
    parts[count++] = static_cast<std::uint32_t>(value);
    if (*p != '.') break;
    ++p;
  }
  for (; *p != '\0'; ++p) {
    if (!isSpace(*p)) return false;
  }
  // The last part fills all the remaining low-order bytes; earlier parts are one byte each.
  std::uint32_t address = 0;
  for (int i = 0; i < count - 1; ++i) {
    if (parts[i] > 0xFF) return false;
    address |= parts[i] << (24 - 8 * i);
  }
  std::uint32_t lastLimit = count == 1 ? 0xFFFFFFFFu : (0xFFFFFFFFu >> (8 * (count - 1)));
  if (parts[count - 1] > lastLimit) return false;
  address |= parts[count - 1];
  if (address == 0xFFFFFFFFu) return false;
  bytes = {static_cast<std::uint8_t>(address >> 24), static_cast<std::uint8_t>(address >> 16),
           static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address)};
  return true;
}
