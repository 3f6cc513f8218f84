// Threads and relay pages: start, bounded wait, release (also from the thread itself), pages.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>

#include "platform/pages.h"
#include "platform/thread.h"
#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;

// What a test thread shares with its test: a gate to wait at, its runs, its own handle.
struct Shared {
  std::atomic<bool> open{false};
  std::atomic<int> runs{0};
  std::atomic<ThreadHandle> handle{nullptr};
};

unsigned waitForGate(void* raw) {
  auto* shared = static_cast<Shared*>(raw);
  waitUntil([shared] { return shared->open.load(); }, 10s);
  shared->runs.fetch_add(1);
  return 0;
}

// Like a relay thread: gives up its own handle and goes on alone.
unsigned releaseSelf(void* raw) {
  auto* shared = static_cast<Shared*>(raw);
  waitUntil([shared] { return shared->handle.load() != nullptr; }, 2s);
  releaseThread(shared->handle.load());
  shared->runs.fetch_add(1);
  return 0;
}

// A stack-hungry entry: the requested stack size must really be there.
unsigned useStack(void* raw) {
  volatile std::uint8_t buffer[48 * 1024];
  std::memset(const_cast<std::uint8_t*>(buffer), 0x5A, sizeof buffer);
  static_cast<std::atomic<int>*>(raw)->store(buffer[sizeof buffer - 1]);
  return 0;
}

}  // namespace

TEST(Thread, BoundedWaitThenCompletion) {
  Shared gate;
  ThreadHandle thread = startThread(waitForGate, &gate, 64 * 1024);
  ASSERT_NE(thread, nullptr);
  EXPECT_FALSE(waitThread(thread, 20));  // still held at the gate
  EXPECT_EQ(gate.runs.load(), 0);
  gate.open.store(true);
  EXPECT_TRUE(waitThread(thread, 10000));
  EXPECT_EQ(gate.runs.load(), 1);
  EXPECT_TRUE(waitThread(thread, 0));  // an ended thread stays ended
  releaseThread(thread);
}

TEST(Thread, ReleasedWhileRunningGoesOnAlone) {
  Shared gate;
  ThreadHandle thread = startThread(waitForGate, &gate, 64 * 1024);
  ASSERT_NE(thread, nullptr);
  releaseThread(thread);
  gate.open.store(true);
  waitUntil([&gate] { return gate.runs.load() != 0; });
  EXPECT_EQ(gate.runs.load(), 1);
}

TEST(Thread, ReleasesItsOwnHandle) {
  Shared self;
  ThreadHandle thread = startThread(releaseSelf, &self, 64 * 1024);
  ASSERT_NE(thread, nullptr);
  self.handle.store(thread);
  EXPECT_TRUE(waitUntil([&self] { return self.runs.load() == 1; }));
}

// 0 asks for the platform's default, which must be a usable stack, not the smallest one.
TEST(Thread, GetsTheStackItAskedFor) {
  for (std::size_t stackBytes : {std::size_t{128 * 1024}, std::size_t{0}}) {
    SCOPED_TRACE(stackBytes);
    std::atomic<int> seen{0};
    ThreadHandle thread = startThread(useStack, &seen, stackBytes);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(waitThread(thread, 10000));
    releaseThread(thread);
    EXPECT_EQ(seen.load(), 0x5A);
  }
}

TEST(Pages, RelayBufferIsZeroedWritableAndPageAligned) {
  constexpr std::size_t kBytes = 32768;
  for (int round = 0; round < 3; ++round) {
    auto* pages = static_cast<std::uint8_t*>(allocatePages(kBytes));
    ASSERT_NE(pages, nullptr) << lastSystemError();
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(pages) % 4096, 0u);
    EXPECT_EQ(std::count(pages, pages + kBytes, 0), std::ptrdiff_t{kBytes});  // all zero
    std::memset(pages, 0xC3, kBytes);
    EXPECT_EQ(pages[kBytes - 1], 0xC3);
    freePages(pages, kBytes);
  }
  freePages(nullptr, kBytes);  // nothing to free is fine
}
