// POSIX threads and pages behind platform/thread.h and platform/pages.h.
#include "platform/pages.h"
#include "platform/thread.h"

#include <cerrno>
#include <ctime>
#include <limits.h>
#include <pthread.h>
#include <sys/mman.h>

namespace {

thread_local int threadError = 0;

struct PosixThread {
  pthread_t id{};
  bool joined = false;
};

struct StartArguments {
  ThreadEntry entry;
  void* argument;
};

void* trampoline(void* raw) {
  // Freed before the entry runs.
  auto [entry, argument] = *std::unique_ptr<StartArguments>(static_cast<StartArguments*>(raw));
  entry(argument);
  return nullptr;
}

// For stackBytes 0. Not the C library's default (RLIMIT_STACK, mostly 8 MiB): that is a multiple
// of the huge page size, so transparent huge pages may back it with resident memory.
constexpr std::size_t kDefaultStackBytes = 256 * 1024;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kStackFactor = 8;  // sanitizers need far more stack
#else
constexpr std::size_t kStackFactor = 1;
#endif

}  // namespace

ThreadHandle startThread(ThreadEntry entry, void* argument, std::size_t stackBytes) {
  auto thread = makeOwned<PosixThread>();
  auto start = makeOwned<StartArguments>(entry, argument);
  if (!thread || !start) {
    threadError = ENOMEM;
    return nullptr;
  }
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  std::size_t stack = (stackBytes != 0 ? stackBytes : kDefaultStackBytes) * kStackFactor;
  if (stack < static_cast<std::size_t>(PTHREAD_STACK_MIN)) stack = PTHREAD_STACK_MIN;
  pthread_attr_setstacksize(&attributes, stack);
  int rc = pthread_create(&thread->id, &attributes, trampoline, start.get());
  pthread_attr_destroy(&attributes);
  if (rc != 0) {
    threadError = rc;
    return nullptr;
  }
  start.release();  // the thread's from now on
  return thread.release();
}

bool waitThread(ThreadHandle handle, unsigned milliseconds) {
  auto* thread = static_cast<PosixThread*>(handle);
  if (thread->joined) return true;
  timespec deadline{};
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += milliseconds / 1000;
  deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  if (pthread_timedjoin_np(thread->id, nullptr, &deadline) == 0) thread->joined = true;
  return thread->joined;
}

void releaseThread(ThreadHandle handle) {
  const std::unique_ptr<PosixThread> thread(static_cast<PosixThread*>(handle));
  if (thread != nullptr && !thread->joined) pthread_detach(thread->id);
}

int lastSystemError() {
  return threadError;
}

void* allocatePages(std::size_t bytes) {
  void* pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) {
    threadError = errno;
    return nullptr;
  }
  return pages;
}

void freePages(void* pages, std::size_t bytes) {
  if (pages != nullptr) munmap(pages, bytes);
}
