// Test streams, shared by the tests, the benchmark and the soak run: stream `seed` begins with
// its seed (8 bytes, little-endian), so a receiver regenerates what it should get from the
// first bytes and needs no digest from the sender. Header-only, no platform code.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

inline std::uint64_t splitMix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// The bytes of stream `seed` from `offset` on, as many as `out` holds: word i of the stream is
// the seed for i = 0, else splitMix(splitMix(seed) ^ i), its bytes little-endian.
inline void fillStream(std::uint64_t seed, std::uint64_t offset, std::span<std::uint8_t> out) {
  const std::uint64_t stream = splitMix(seed);
  const auto word = [&](std::uint64_t index) {
    return index == 0 ? seed : splitMix(stream ^ index);
  };
  const auto byteAt = [&](std::uint64_t position) {
    return static_cast<std::uint8_t>(word(position / 8) >> (8 * (position % 8)));
  };
  std::size_t at = 0;
  for (; at < out.size() && (offset + at) % 8 != 0; ++at) out[at] = byteAt(offset + at);
  for (; at + 8 <= out.size(); at += 8) {  // whole words: the bulk, kept fast for the benchmark
    const std::uint64_t value = word((offset + at) / 8);
    for (int byte = 0; byte < 8; ++byte)
      out[at + byte] = static_cast<std::uint8_t>(value >> (8 * byte));
  }
  for (; at < out.size(); ++at) out[at] = byteAt(offset + at);
}

inline Bytes streamBytes(std::uint64_t seed, std::size_t count) {
  Bytes bytes(count);
  fillStream(seed, 0, bytes);
  return bytes;
}

// Compares received bytes with the stream their first 8 bytes name, as they arrive.
struct StreamCheck {
  static constexpr std::uint64_t kIntact = ~std::uint64_t{0};
  std::uint64_t received = 0;
  std::uint64_t seed = 0;
  std::uint64_t firstWrong = kIntact;  // offset of the first byte that differs
  std::uint8_t expected = 0;
  std::uint8_t got = 0;

  bool intact() const { return firstWrong == kIntact; }
  void feed(std::span<const std::uint8_t> bytes) {
    for (; received < 8 && !bytes.empty(); ++received, bytes = bytes.subspan(1))
      seed |= std::uint64_t{bytes[0]} << (8 * received);
    std::array<std::uint8_t, 4096> want{};
    while (!bytes.empty()) {
      const std::size_t length = std::min(bytes.size(), want.size());
      fillStream(seed, received, std::span(want.data(), length));
      if (intact() && std::memcmp(want.data(), bytes.data(), length) != 0) {
        const std::size_t i = static_cast<std::size_t>(
            std::mismatch(want.begin(), want.begin() + length, bytes.begin()).first - want.begin());
        firstWrong = received + i;
        expected = want[i];
        got = bytes[i];
      }
      received += length;
      bytes = bytes.subspan(length);
    }
  }
};

inline StreamCheck checkStream(std::span<const std::uint8_t> bytes) {
  StreamCheck check;
  check.feed(bytes);
  return check;
}
