// SHA-256 (FIPS 180-4) for checking relayed data end to end in the benchmark.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

class Sha256 {
 public:
  using Digest = std::array<std::uint8_t, 32>;

  Sha256();
  void update(std::span<const std::uint8_t> data);
  void update(const void* data, std::size_t length);
  // Pads, returns the digest and leaves the object ready for a new message.
  Digest finish();

  static std::string hex(const Digest& digest);

 private:
  void reset();
  void compress(const std::uint8_t* block);

  std::array<std::uint32_t, 8> state_{};
  std::array<std::uint8_t, 64> block_{};
  std::size_t blockLength_ = 0;
  std::uint64_t totalBytes_ = 0;
};
