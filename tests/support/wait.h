// The tests' one hang limit and one polling wait, both stretched under emulation. Header-only and
// free of the platform layer: the window driver and quillan-drive use it too.
#pragma once

#include <chrono>
#include <cstdlib>
#include <thread>

// A bound of a test's wait times QUILLAN_TIMEOUT_SCALE (1 to 20, default 1): under full emulation
// (tests/guest/) programs run several times slower. Read with getenv, so natively and under Wine.
inline std::chrono::milliseconds scaled(std::chrono::milliseconds limit) {
  static const int factor = [] {
    const char* text = std::getenv("QUILLAN_TIMEOUT_SCALE");
    const long value = text != nullptr ? std::strtol(text, nullptr, 10) : 1;
    return value >= 1 && value <= 20 ? static_cast<int>(value) : 1;
  }();
  return limit * factor;
}

// The bound of a wait for something that should happen soon: long, because it only has to
// tell a hang from a slow turn on a loaded machine; a wait that succeeds returns at once.
inline constexpr std::chrono::milliseconds kHangLimit = std::chrono::seconds(60);

// Polls `done` every `poll` until it holds or `limit` (scaled) has passed; its last result.
template <typename Predicate>
bool waitUntil(Predicate done, std::chrono::milliseconds limit = kHangLimit,
               std::chrono::milliseconds poll = std::chrono::milliseconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + scaled(limit);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(poll);
  }
  return true;
}
