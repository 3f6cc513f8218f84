// Threads: Win32 (thread_win.cpp) or POSIX (thread_posix.cpp).
#pragma once

#include <cstddef>
#include <memory>

#include "platform/owned.h"

// Opaque handle of a started thread; nullptr is "none".
using ThreadHandle = void*;
using ThreadEntry = unsigned (*)(void* argument);

// Starts `entry(argument)` with `stackBytes` of stack reserved, 0 for the platform's default: on
// Windows the program's own reservation, on POSIX kDefaultStackBytes. A reservation costs address
// space; memory only as far as the thread touches it. nullptr on failure, with the reason in
// lastSystemError().
ThreadHandle startThread(ThreadEntry entry, void* argument, std::size_t stackBytes);

// Starts `Entry(record)` on a new thread, which owns the record from then on. On failure
// (nullptr) the record is still the caller's.
template <auto Entry, typename Record>
ThreadHandle startOwningThread(std::unique_ptr<Record>& record, std::size_t stackBytes) {
  ThreadEntry owner = [](void* raw) {
    return Entry(std::unique_ptr<Record>(static_cast<Record*>(raw)));
  };
  ThreadHandle thread = record ? startThread(owner, record.get(), stackBytes) : nullptr;
  if (thread != nullptr) record.release();  // the thread's from now on
  return thread;
}

// Waits up to `milliseconds` for the thread to end; true when it has.
bool waitThread(ThreadHandle thread, unsigned milliseconds);

// Gives up the handle; a thread still running goes on by itself. Callable from the thread itself.
void releaseThread(ThreadHandle thread);

// The reason the last startThread or allocatePages call on this thread failed.
int lastSystemError();
