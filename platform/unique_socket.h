// Move-only owner of one socket: closes it unless ownership was handed off with release().
#pragma once

#include <utility>

#include "platform/socket.h"

class UniqueSocket {
 public:
  UniqueSocket() = default;
  explicit UniqueSocket(Socket socket) : socket_(socket) {}
  UniqueSocket(UniqueSocket&& other) noexcept : socket_(other.release()) {}
  UniqueSocket& operator=(UniqueSocket&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueSocket(const UniqueSocket&) = delete;
  UniqueSocket& operator=(const UniqueSocket&) = delete;
  ~UniqueSocket() { reset(); }

  Socket get() const { return socket_; }
  explicit operator bool() const { return socket_ != noSocket; }
  Socket release() { return std::exchange(socket_, noSocket); }
  void reset(Socket socket = noSocket) {
    Socket old = std::exchange(socket_, socket);
    if (old != noSocket) closeSocket(old);
  }

 private:
  Socket socket_ = noSocket;
};
