// Thin socket layer over Winsock 2.2 (socket_win.cpp) or POSIX sockets (socket_posix.cpp), with
// what reads the same on both in socket_common.cpp.
// The rest of the program sees only these calls, never the OS headers.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

// A socket handle as the OS gives it, widened to one integer type on every platform.
using Socket = std::uintptr_t;
inline constexpr Socket noSocket = ~Socket{0};

// Address families as the log prints them (the Windows numbers on every platform).
inline constexpr int kFamilyIpv4 = 2;
inline constexpr int kFamilyIpv6 = 23;

// Error numbers the program tests for, mapped to the platform's own value.
extern const int kErrAddressInUse;  // 10048 / EADDRINUSE
extern const int kErrTimedOut;      // 10060 / ETIMEDOUT

// Starts and stops the socket library (Winsock 2.2; nothing on POSIX). Returns 0 or the error.
int startSocketLibrary();
void stopSocketLibrary();

int lastSocketError();
void setLastSocketError(int error);
bool isWouldBlock(int error);
// A failed accept that concerned only the one connection (its peer gave up before it was taken):
// the next one can be accepted at once. Anything else (no descriptors, no buffers) lasts a while.
bool isAbortedConnection(int error);

// One entry of a resolver result: the family (kFamilyIpv4, kFamilyIpv6 or another number),
// and the raw socket address the OS wants for connect.
struct ResolvedAddress {
  int family = 0;
  int length = 0;
  std::array<std::uint8_t, 128> address{};
};

// A resolver result in the resolver's order. Its capacity is fixed, so collecting it allocates
// nothing and cannot fail: entries past the first kMaxResolvedAddresses are left out (each is
// tried in turn with a blocking connect, so later ones would hardly be reached anyway).
inline constexpr std::size_t kMaxResolvedAddresses = 16;
class ResolvedAddresses {
 public:
  // Appends a copy; false, leaving the list as it was, once it is full.
  bool add(const ResolvedAddress& address) {
    if (count_ == entries_.size()) return false;
    entries_[count_++] = address;
    return true;
  }
  void clear() { count_ = 0; }

  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  const ResolvedAddress& operator[](std::size_t index) const { return entries_[index]; }
  const ResolvedAddress& front() const { return entries_[0]; }
  const ResolvedAddress* begin() const { return entries_.data(); }
  const ResolvedAddress* end() const { return entries_.data() + count_; }

 private:
  std::array<ResolvedAddress, kMaxResolvedAddresses> entries_{};
  std::size_t count_ = 0;
};

// getaddrinfo(host, service) with hints: any family, stream, TCP. Returns the resolver's code
// (0 on success) and fills `out` in the resolver's order.
int resolveStreamAddresses(const char* host, const char* service, ResolvedAddresses& out);

// The address as text with its port: "1.2.3.4:80" or "[::1%3]:80". `out` is zero-filled first;
// text that does not fit (at most out.size()-1 characters) leaves it empty.
void formatAddress(const ResolvedAddress& address, std::span<char> out);

// Parses an IPv6 literal the way the platform's string-to-address parser does: plain,
// bracketed, with an optional "%scope" and, when bracketed, an optional ":port" (both ignored).
bool parseIpv6Text(const char* text, std::array<std::uint8_t, 16>& bytes);

Socket openTcpSocket(int family);  // noSocket on failure
void closeSocket(Socket socket);
int setNoDelay(Socket socket);  // the option call's result: 0 or -1
int setKeepAlive(Socket socket, int idleSeconds, int intervalSeconds);  // 0 or -1
bool setNonBlocking(Socket socket);
// Urgent (out-of-band) bytes stay in the stream, in order, instead of being taken out of it
// and signalled apart. 0 or -1.
int setOobInline(Socket socket);
// Ends the sending side only (the peer reads end of stream); receiving goes on. 0 or -1.
int shutdownSend(Socket socket);
bool connectTo(Socket socket, const ResolvedAddress& address);

// Listener steps, kept apart because each failure has its own message.
bool bindIpv4(Socket socket, const std::array<std::uint8_t, 4>& address, std::uint16_t port);
bool listenOn(Socket socket, int backlog);
int maxListenBacklog();
// The accepted socket has the listener's blocking mode (Winsock's rule, kept on POSIX too): a
// non-blocking listener hands out sockets ready for the relay. noSocket on failure.
Socket acceptConnection(Socket listener);
std::uint16_t localPortOf(Socket socket);  // 0 when unknown

// One send or receive call: the byte count, 0 when the peer closed (receive), or -1.
int sendSome(Socket socket, const void* data, std::size_t length);
int recvSome(Socket socket, void* data, std::size_t length);

// Waits until one of the sockets is ready or the time runs out. A socket in error or hung up
// counts as readable (and writable when asked), so that the next call reports the reason.
// Urgent data is not waited for apart: a socket that may get it has it in line (setOobInline).
// An item that wants neither is not waited on: an ended stream's hang-up cannot wake the wait.
// Returns the number of ready entries, 0 on time-out, -1 on error.
struct WaitItem {
  Socket socket = noSocket;
  bool wantRead = false;
  bool wantWrite = false;
  bool readable = false;
  bool writable = false;
};
int waitSockets(std::span<WaitItem> items, std::chrono::microseconds timeout);
