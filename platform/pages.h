// Page memory for the relay buffers: whole pages straight from the OS, zeroed, released at once
// when freed. Implemented beside the threads (thread_win.cpp, thread_posix.cpp).
#pragma once

#include <cstddef>

// nullptr on failure, with the reason in lastSystemError() (platform/thread.h).
void* allocatePages(std::size_t bytes);
void freePages(void* pages, std::size_t bytes);
