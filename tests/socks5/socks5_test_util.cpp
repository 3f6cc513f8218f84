// Helpers of the SOCKS5 client tests.
#include "tests/socks5/socks5_test_util.h"

#include <array>
#include <chrono>

Bytes readExactly(Socket socket, std::size_t count, int seconds) {
  Bytes bytes;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (bytes.size() < count && std::chrono::steady_clock::now() < deadline) {
    WaitItem item;
    item.socket = socket;
    item.wantRead = true;
    if (waitSockets(std::span<WaitItem>(&item, 1), std::chrono::milliseconds(50)) <= 0) continue;
    std::array<std::uint8_t, 4096> chunk{};
    int got = recvSome(socket, chunk.data(), std::min(chunk.size(), count - bytes.size()));
    if (got <= 0) break;
    bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + got);
  }
  return bytes;
}
