// Win32 threads and pages behind platform/thread.h and platform/pages.h.
#include "platform/pages.h"
#include "platform/thread.h"

#include <windows.h>

namespace {

struct StartArguments {
  ThreadEntry entry;
  void* argument;
};

DWORD WINAPI trampoline(LPVOID raw) {
  // Freed before the entry runs.
  auto [entry, argument] = *std::unique_ptr<StartArguments>(static_cast<StartArguments*>(raw));
  return entry(argument);
}

}  // namespace

ThreadHandle startThread(ThreadEntry entry, void* argument, std::size_t stackBytes) {
  auto start = makeOwned<StartArguments>(entry, argument);
  if (!start) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HANDLE thread = CreateThread(nullptr, stackBytes, trampoline, start.get(),
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == nullptr) {
    DWORD error = GetLastError();
    start.reset();
    SetLastError(error);
    return nullptr;
  }
  start.release();  // the thread's from now on
  return thread;
}

bool waitThread(ThreadHandle thread, unsigned milliseconds) {
  return WaitForSingleObject(static_cast<HANDLE>(thread), milliseconds) == WAIT_OBJECT_0;
}

void releaseThread(ThreadHandle thread) {
  if (thread != nullptr) CloseHandle(static_cast<HANDLE>(thread));
}

int lastSystemError() {
  return static_cast<int>(GetLastError());
}

void* allocatePages(std::size_t bytes) {
  return VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void freePages(void* pages, std::size_t) {
  if (pages != nullptr) VirtualFree(pages, 0, MEM_RELEASE);
}
