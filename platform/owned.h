// One owner for every allocation: memory from the free store comes as a unique_ptr.
#pragma once

#include <memory>
#include <new>
#include <utility>

// Allocates without throwing: nullptr when memory is short, which the caller reports as it must.
template <typename T, typename... Args>
std::unique_ptr<T> makeOwned(Args&&... args) {
  return std::unique_ptr<T>(new (std::nothrow) T{std::forward<Args>(args)...});
}
