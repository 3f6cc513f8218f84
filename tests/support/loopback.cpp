// Loopback sockets and the data pump: non-blocking sockets and short waits everywhere, so a
// stop or a time limit is always seen within a few tens of milliseconds.
#include "tests/support/loopback.h"

#include <algorithm>
#include <array>

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>
using NativeSocket = SOCKET;
constexpr int kNoSignal = 0;
#else
#include <sys/resource.h>
#include <sys/socket.h>
using NativeSocket = int;
constexpr int kNoSignal = MSG_NOSIGNAL;
#endif

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kSlice = std::chrono::milliseconds(50);

}  // namespace

std::ostream& operator<<(std::ostream& out, const StreamCheck& check) {
  out << check.received << " bytes of stream " << check.seed << " received";
  if (!check.intact()) {
    out << ", first wrong byte at offset " << check.firstWrong << ": expected "
        << int{check.expected} << ", got " << int{check.got};
  }
  return out;
}

std::ostream& operator<<(std::ostream& out, const PumpResult& result) {
  return out << result.sent << " bytes of stream " << result.sentSeed << " sent, "
             << static_cast<const StreamCheck&>(result) << (result.timedOut ? " (stalled)" : "");
}

PumpResult pumpData(Socket socket, const PumpPlan& plan, const std::atomic<bool>* stop) {
  setNonBlocking(socket);
  PumpResult result;
  result.sentSeed = plan.seed;
  Bytes out(std::max<std::size_t>(plan.maxWrite, 1));
  Bytes in(1 << 16);
  std::size_t outAt = 0;
  std::size_t outLength = 0;
  std::uint64_t writes = 0;
  bool shut = false;
  const auto deadline = Clock::now() + scaled(plan.limit);

  for (;;) {
    const bool sending = result.sent < plan.sendBytes;
    if (!sending && plan.halfClose && !shut) shut = shutdownSend(socket) == 0;
    result.completed = !sending && result.received >= plan.expectBytes;
    if (result.completed || (stop != nullptr && stop->load())) break;
    result.timedOut = Clock::now() >= deadline;
    if (result.timedOut) break;
    const WaitItem item = waitSocket(socket, true, sending, kSlice);
    if (item.readable) {
      int got = recvSome(socket, in.data(), in.size());
      if (got > 0) {
        result.feed(std::span(in.data(), static_cast<std::size_t>(got)));
        if (!result.intact()) break;  // what follows is known wrong: fail now, not at the limit
      } else if (got == 0 || !isWouldBlock(lastSocketError())) {
        result.peerClosed = true;
        break;
      }
    }
    // Several writes per wake-up; their sizes vary so the far side sees uneven segments.
    for (int burst = 0; item.writable && result.sent < plan.sendBytes && burst < 64; ++burst) {
      if (outAt == outLength) {
        std::size_t size = 1 + static_cast<std::size_t>((writes++ * 7919) % out.size());
        outLength =
            static_cast<std::size_t>(std::min<std::uint64_t>(size, plan.sendBytes - result.sent));
        fillStream(plan.seed, result.sent, std::span(out.data(), outLength));
        outAt = 0;
      }
      int sent = sendSome(socket, out.data() + outAt, outLength - outAt);
      if (sent <= 0) {
        result.peerClosed = sent < 0 && !isWouldBlock(lastSocketError());
        break;
      }
      outAt += static_cast<std::size_t>(sent);
      result.sent += static_cast<std::uint64_t>(sent);
    }
    if (result.peerClosed) break;
  }
  return result;
}

WaitItem waitSocket(Socket socket, bool read, bool write, std::chrono::milliseconds wait) {
  WaitItem item{socket, read, write};
  waitSockets(std::span(&item, 1), wait);
  return item;
}

Socket connectLoopback(std::uint16_t port) {
  ResolvedAddresses addresses;
  if (resolveStreamAddresses("127.0.0.1", std::to_string(port).c_str(), addresses) != 0 ||
      addresses.empty())
    return noSocket;
  UniqueSocket socket(openTcpSocket(kFamilyIpv4));
  if (!socket || !connectTo(socket.get(), addresses.front())) return noSocket;
  return socket.release();
}

UniqueSocket listenLoopback(bool ipv6, std::uint16_t port) {
  ResolvedAddresses addresses;
  if (resolveStreamAddresses(ipv6 ? "::1" : "127.0.0.1", std::to_string(port).c_str(), addresses) !=
          0 ||
      addresses.empty())
    return {};
  UniqueSocket listener(openTcpSocket(ipv6 ? kFamilyIpv6 : kFamilyIpv4));
  const auto* name = reinterpret_cast<const sockaddr*>(addresses.front().address.data());
  const bool bound = listener && ::bind(static_cast<NativeSocket>(listener.get()), name,
                                        static_cast<socklen_t>(addresses.front().length)) == 0;
  if (!bound || !listenOn(listener.get(), maxListenBacklog())) return {};
  return listener;
}

std::uint16_t freeLoopbackPort() {
  // 22016-31999: clear of the peers' ports (20000-21995, tests/peers) and below the ephemeral
  // ranges of Linux (32768 on) and Windows (49152 on).
  constexpr unsigned kFirst = 22016;
  constexpr unsigned kBlockSize = 32;
  constexpr unsigned kBlocks = 312;
  static std::mutex mutex;
  static std::vector<UniqueSocket> heldBlocks;  // one listener per block, for the process's life
  static unsigned block = 0;
  static unsigned next = kBlockSize;  // offset in the block; kBlockSize: claim a block first
  std::lock_guard<std::mutex> lock(mutex);
  for (unsigned tries = 0; tries < kBlocks * kBlockSize; ++tries) {
    if (next == kBlockSize) {
      // Start at a block the clock picks, so parallel processes seldom meet on one block.
      bool claimed = false;
      block = static_cast<unsigned>(Clock::now().time_since_epoch().count() % kBlocks);
      for (unsigned probe = 0; probe < kBlocks && !claimed; ++probe) {
        block = (block + 1) % kBlocks;
        UniqueSocket holder(openTcpSocket(kFamilyIpv4));
        const auto base = static_cast<std::uint16_t>(kFirst + block * kBlockSize);
        claimed =
            holder && bindIpv4(holder.get(), {127, 0, 0, 1}, base) && listenOn(holder.get(), 1);
        if (claimed) heldBlocks.push_back(std::move(holder));
      }
      if (!claimed) return 0;
      next = 1;
    }
    const auto port = static_cast<std::uint16_t>(kFirst + block * kBlockSize + next++);
    UniqueSocket probe(openTcpSocket(kFamilyIpv4));
    if (probe && bindIpv4(probe.get(), {127, 0, 0, 1}, port)) return port;
  }
  return 0;
}

bool waitPeerClosed(Socket socket, std::chrono::milliseconds limit, int* result,
                    const std::atomic<bool>* stop) {
  const auto deadline = Clock::now() + scaled(limit);
  std::array<std::uint8_t, 4096> sink{};
  while (Clock::now() < deadline && (stop == nullptr || !*stop)) {
    if (!waitSocket(socket, true, false, kSlice).readable) continue;
    int got = recvSome(socket, sink.data(), sink.size());
    if (got > 0 || (got < 0 && isWouldBlock(lastSocketError()))) continue;
    if (result != nullptr) *result = got;
    return true;
  }
  return false;
}

Bytes receiveBytes(Socket socket, std::size_t count, std::chrono::milliseconds limit,
                   const std::atomic<bool>* stop) {
  const auto deadline = Clock::now() + scaled(limit);
  Bytes bytes;
  std::array<std::uint8_t, 16384> chunk{};
  while (bytes.size() < count && Clock::now() < deadline && (stop == nullptr || !*stop)) {
    if (!waitSocket(socket, true, false, kSlice).readable) continue;
    int got = recvSome(socket, chunk.data(), std::min(chunk.size(), count - bytes.size()));
    if (got < 0 && isWouldBlock(lastSocketError())) continue;
    if (got <= 0) break;
    bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + got);
  }
  return bytes;
}

bool sendAllBytes(Socket socket, std::span<const std::uint8_t> bytes) {
  const auto deadline = Clock::now() + scaled(kHangLimit);
  while (!bytes.empty() && Clock::now() < deadline) {
    int sent = sendSome(socket, bytes.data(), bytes.size());
    if (sent < 0 && isWouldBlock(lastSocketError())) {
      waitSocket(socket, false, true, kSlice);
      continue;
    }
    if (sent <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(sent));
  }
  return bytes.empty();
}

bool sendAllBytes(Socket socket, std::string_view text) {
  return sendAllBytes(socket,
                      std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void resetConnection(Socket socket) {
  // SO_LINGER on with a zero time-out: close sends RST and drops whatever is queued.
  const linger option{1, 0};
  ::setsockopt(static_cast<NativeSocket>(socket), SOL_SOCKET, SO_LINGER,
               reinterpret_cast<const char*>(&option), sizeof option);
  closeSocket(socket);
}

bool sendUrgentByte(Socket socket, std::uint8_t byte) {
  const auto* data = reinterpret_cast<const char*>(&byte);
  return ::send(static_cast<NativeSocket>(socket), data, 1, MSG_OOB | kNoSignal) == 1;
}

namespace {

double processCpuSeconds() {
#ifdef _WIN32
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  auto ticks = [](const FILETIME& time) {  // 100 ns each
    return static_cast<double>((std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime);
  };
  return (ticks(kernel) + ticks(user)) / 1e7;
#else
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  auto seconds = [](const timeval& time) { return time.tv_sec + time.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
#endif
}

}  // namespace

double cpuSecondsWhileSleeping(std::chrono::milliseconds interval) {
  const double before = processCpuSeconds();
  std::this_thread::sleep_for(interval);
  return processCpuSeconds() - before;
}

bool runningUnderWine() {
#ifdef _WIN32
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}
