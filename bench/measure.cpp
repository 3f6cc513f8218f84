// The measurements of one forwarder (or the floor) in one round.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "bench/bench.h"

namespace bench {
namespace {

constexpr std::size_t kChunk = 256 * 1024;
constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  auto index = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(values.size())));
  return values[std::min(values.size() - 1, index == 0 ? 0 : index - 1)];
}

// The extra process's CPU seconds so far (under Wine: wineserver, which does part of every
// socket call's work for the program); NaN without one.
double extraCpuNow(const MeasureOptions& options) {
  return options.extraCpuPid > 0 ? treeCpuSeconds(options.extraCpuPid) : NAN;
}

// The forwarder's CPU seconds so far, the extra process's included.
double cpuNow(const MeasureOptions& options) {
  if (options.forwarderPid <= 0) return NAN;
  return treeCpuSeconds(options.forwarderPid) +
         (options.extraCpuPid > 0 ? treeCpuSeconds(options.extraCpuPid) : 0);
}

void complain(const char* test, const std::string& error) {
  std::fprintf(stderr, "  %s: %s\n", test, error.c_str());
}

// A connection to the target through the route with its header sent; empty on failure, said
// under `test` unless that is null.
UniqueSocket openTo(const MeasureOptions& options, std::uint8_t mode, std::uint64_t count,
                    const char* test) {
  std::string error;
  UniqueSocket socket = openRoute(options.route, error);
  if (socket && !sendAllBytes(socket.get(), makeHeader(mode, count))) {
    error = "header not sent";
    socket.reset();
  }
  if (!socket && test != nullptr) complain(test, error);
  return socket;
}

// One stream of `streamBytes` through the route, timed from the first byte to the last checked
// one. Up: the client sends, the target checks and answers its verdict. Down: the target sends,
// the client checks as it receives. MB/s (10^6 bytes) or NaN; `intact` when every byte was right.
double stream(const MeasureOptions& options, bool up, double& cpuSeconds, bool& intact) {
  const char* test = up ? "up" : "down";
  const std::uint64_t count = options.streamBytes;
  UniqueSocket socket = openTo(options, up ? kModeSink : kModeSource, count, test);
  if (!socket) return NAN;
  Bytes buffer(kChunk);
  StreamCheck check;
  std::uint8_t verdict = 0;
  const double cpu0 = cpuNow(options);
  const auto start = Clock::now();
  for (std::uint64_t done = 0; done < count;) {
    const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, count - done));
    int moved = static_cast<int>(length);
    if (up) {
      fillStream(count, done, std::span(buffer.data(), length));
      if (!sendAllBytes(socket.get(), std::span(buffer.data(), length))) moved = 0;
    } else {
      moved = recvSome(socket.get(), buffer.data(), length);
      if (moved > 0) check.feed(std::span(buffer.data(), static_cast<std::size_t>(moved)));
    }
    if (moved <= 0 || secondsSince(start) > options.streamDeadlineSeconds) {
      complain(test, "stopped at byte " + std::to_string(done));
      return NAN;
    }
    done += static_cast<std::uint64_t>(moved);
  }
  if (up && !recvAll(socket.get(), &verdict, 1)) {
    complain(test, "no verdict from the target");
    return NAN;
  }
  const double seconds = secondsSince(start);
  cpuSeconds = cpuNow(options) - cpu0;
  intact = up ? verdict == kIntactReply : check.intact();
  if (!intact) complain(test, "wrong bytes");
  return static_cast<double>(count) / seconds / 1e6;
}

// 64-byte messages echoed one at a time; microseconds per round trip.
bool roundTrips(const MeasureOptions& options, double& median, double& p99) {
  UniqueSocket socket = openTo(options, kModeEcho, 0, "rtt");
  if (!socket) return false;
  const Bytes message = streamBytes(64, 64);
  Bytes answer(message.size());
  std::vector<double> times;
  const int warmup = 200;
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  for (int i = 0; i < warmup + options.rttCount; ++i) {
    const auto start = Clock::now();
    if (!sendAllBytes(socket.get(), message) || !recvAll(socket.get(), answer.data(), 64) ||
        answer != message || start > deadline) {
      complain("rtt", "echo failed at message " + std::to_string(i));
      return false;
    }
    if (i >= warmup) times.push_back(secondsSince(start) * 1e6);
  }
  median = percentile(times, 0.5);
  p99 = percentile(times, 0.99);
  return true;
}

// Sequential connections: connect (and, for the floor, the SOCKS5 exchange), one byte out,
// the same byte back, close. Setup = connect to first echoed byte.
bool setups(const MeasureOptions& options, double& median, double& rate, int& failures) {
  std::vector<double> times;
  failures = 0;
  Bytes request = makeHeader(kModeEcho, 0);
  request.push_back(0x5a);
  const auto begin = Clock::now();
  for (int i = 0; i < options.setupCount && secondsSince(begin) < 120; ++i) {
    const auto start = Clock::now();
    std::string error = "no echo";
    UniqueSocket socket = openRoute(options.route, error);
    std::uint8_t answer = 0;
    if (!socket || !sendAllBytes(socket.get(), request) || !recvAll(socket.get(), &answer, 1) ||
        answer != 0x5a) {
      if (failures++ == 0) complain("setup", error);
      continue;
    }
    times.push_back(secondsSince(start) * 1e6);
  }
  median = percentile(times, 0.5);
  rate = static_cast<double>(times.size()) / secondsSince(begin);
  return !times.empty();
}

// Connection `index` to the echo target, non-blocking and watched by `epoll` for `events`.
UniqueSocket openWatched(const MeasureOptions& options, int epoll, std::size_t index,
                         std::uint32_t events, const char* test) {
  UniqueSocket socket = openTo(options, kModeEcho, 0, test);
  if (!socket) return socket;
  setNonBlocking(socket.get());
  epoll_event event{events, {.u64 = index}};
  ::epoll_ctl(epoll, EPOLL_CTL_ADD, fdOf(socket.get()), &event);
  return socket;
}

struct EchoConnection {
  UniqueSocket socket;
  std::uint64_t sent = 0;
  StreamCheck check;  // what came back
  Clock::time_point lastProgress, opened;
};

struct EchoResult {
  double seconds = NAN, cpuSeconds = NAN, peakMib = NAN;
  int failures = 0, stalls = 0, processes = 0;
  double longestGap = 0;    // longest time a connection moved no byte after its first echo, s
  double slowestStart = 0;  // longest time from a connection's open to its first echoed byte, s
};

// Lists every established loopback socket with bytes queued and its process: where they wait.
void listQueuedSockets() {
  std::fflush(stderr);
  int ignored = std::system(
      "ss -tnpH state established 2>/dev/null | awk '$1 > 0 || $2 > 0' | sed 's/^/    /' >&2");
  (void)ignored;
}

// N connections at once, each sending `echoBytes` of its own stream and reading them back,
// checked as they arrive. A connection that moves no byte either way for `stallSeconds` is a
// stall; one that errs, closes early or returns wrong bytes is a failure. Bounded by
// `echoDeadlineSeconds`.
EchoResult concurrentEcho(const MeasureOptions& options) {
  EchoResult result;
  const std::uint64_t total = options.echoBytes;
  const double cpu0 = cpuNow(options);
  std::unique_ptr<MemorySampler> sampler;
  if (options.forwarderPid > 0) sampler = std::make_unique<MemorySampler>(options.forwarderPid);
  UniqueSocket epoll(static_cast<Socket>(::epoll_create1(EPOLL_CLOEXEC)));
  std::vector<EchoConnection> connections(static_cast<std::size_t>(options.echoConnections));
  const auto start = Clock::now();
  int open = 0;
  for (std::size_t i = 0; i < connections.size(); ++i) {
    EchoConnection& c = connections[i];
    c.socket = openWatched(options, fdOf(epoll.get()), i, EPOLLIN | EPOLLOUT,
                           result.failures == 0 ? "echo" : nullptr);
    c.lastProgress = c.opened = Clock::now();
    open += c.socket ? 1 : 0;
    result.failures += c.socket ? 0 : 1;
  }
  const auto close = [&](EchoConnection& c) {
    c.socket.reset();  // closing also takes it out of the epoll set
    --open;
  };
  const auto progress = [&](EchoConnection& c) {
    if (c.check.received > 0)
      result.longestGap = std::max(result.longestGap, secondsSince(c.lastProgress));
    c.lastProgress = Clock::now();
  };
  Bytes buffer(kChunk);
  std::vector<epoll_event> events(256);
  auto lastStallCheck = Clock::now();
  while (open > 0) {
    const bool late = secondsSince(start) > options.echoDeadlineSeconds;
    int ready =
        ::epoll_wait(fdOf(epoll.get()), events.data(), static_cast<int>(events.size()), 200);
    for (int e = 0; e < ready && !late; ++e) {
      EchoConnection& c = connections[events[e].data.u64];
      if (!c.socket) continue;
      const Socket socket = c.socket.get();
      const std::uint64_t seed = 1000 + events[e].data.u64;
      if ((events[e].events & EPOLLOUT) && c.sent < total) {
        const auto length =
            static_cast<std::size_t>(std::min<std::uint64_t>(64 * 1024, total - c.sent));
        fillStream(seed, c.sent, std::span(buffer.data(), length));
        int sent = sendSome(socket, buffer.data(), length);
        if (sent < 0 && !isWouldBlock(lastSocketError())) {
          ++result.failures;
          close(c);
          continue;
        }
        if (sent > 0) {
          c.sent += static_cast<std::uint64_t>(sent);
          progress(c);
        }
        if (c.sent == total) {
          epoll_event event{EPOLLIN, {.u64 = events[e].data.u64}};
          ::epoll_ctl(fdOf(epoll.get()), EPOLL_CTL_MOD, fdOf(socket), &event);
        }
      }
      if (events[e].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        int got = recvSome(socket, buffer.data(), buffer.size());
        if (got < 0 && isWouldBlock(lastSocketError())) continue;
        if (got > 0) {
          if (c.check.received == 0)
            result.slowestStart = std::max(result.slowestStart, secondsSince(c.opened));
          progress(c);
          c.check.feed(std::span(buffer.data(), static_cast<std::size_t>(got)));
        }
        if (got <= 0 || !c.check.intact() || c.check.received > total) {
          if (result.failures++ == 0 && got > 0) complain("echo", "echoed bytes differ");
          close(c);
        } else if (c.check.received == total) {
          close(c);
        }
      }
    }
    if (late) {
      for (auto& c : connections) {
        if (c.socket) {
          ++result.stalls;
          close(c);
        }
      }
      complain("echo", "deadline reached");
      break;
    }
    if (secondsSince(lastStallCheck) < 0.5) continue;
    lastStallCheck = Clock::now();
    for (auto& c : connections) {
      if (!c.socket || secondsSince(c.lastProgress) <= options.stallSeconds) continue;
      std::fprintf(stderr,
                   "  echo: connection %zu (port %u) stalled at %.1f s: sent %llu, received %llu\n",
                   static_cast<std::size_t>(&c - connections.data()), localPortOf(c.socket.get()),
                   secondsSince(start), static_cast<unsigned long long>(c.sent),
                   static_cast<unsigned long long>(c.check.received));
      if (++result.stalls == 1) listQueuedSockets();
      close(c);
    }
  }
  result.seconds = secondsSince(start);
  if (sampler) {
    result.peakMib = static_cast<double>(sampler->stop()) / 1024.0;
    result.processes = sampler->mostProcesses;
    result.cpuSeconds = cpuNow(options) - cpu0;
  }
  return result;
}

struct IdleResult {
  double cpuPercent = NAN;    // the forwarder's CPU over the hold, % of one core
  double extraPercent = NAN;  // the part of it that is the extra process's (wineserver's)
  double memoryMib = NAN;     // its resident memory at the end of the hold
  int failures = 0;
};

// N connections opened one after the other like the echo test's, each proven open end to end by
// one byte echoed back, then all held silent for `idleSeconds` while the forwarder's CPU time is
// taken. A connection that does not open, does not echo its byte within 30 s, or delivers
// anything (bytes or its end) while held is a failure.
IdleResult idleHold(const MeasureOptions& options) {
  IdleResult result;
  UniqueSocket epoll(static_cast<Socket>(::epoll_create1(EPOLL_CLOEXEC)));
  std::vector<UniqueSocket> held(static_cast<std::size_t>(options.idleConnections));
  std::vector<bool> echoed(held.size(), false);
  const auto fail = [&](std::size_t i, const char* why) {
    if (result.failures++ == 0 && why != nullptr) complain("idle", why);
    held[i].reset();  // closing also takes it out of the epoll set
  };
  const std::uint8_t probe = 0x5a;
  std::size_t waiting = 0;
  for (std::size_t i = 0; i < held.size(); ++i) {
    held[i] = openWatched(options, fdOf(epoll.get()), i, EPOLLIN,
                          result.failures == 0 ? "idle" : nullptr);
    if (!held[i]) {
      fail(i, nullptr);
    } else if (sendSome(held[i].get(), &probe, 1) != 1) {
      fail(i, "probe not sent");
    } else {
      ++waiting;
    }
  }
  std::vector<epoll_event> events(256);
  const auto start = Clock::now();
  while (waiting > 0 && secondsSince(start) < 30) {
    int ready =
        ::epoll_wait(fdOf(epoll.get()), events.data(), static_cast<int>(events.size()), 200);
    for (int e = 0; e < ready; ++e) {
      const std::size_t i = events[e].data.u64;
      if (!held[i]) continue;
      std::uint8_t answer = 0;
      if (!echoed[i]) --waiting;
      if (!echoed[i] && recvSome(held[i].get(), &answer, 1) == 1 && answer == probe) {
        echoed[i] = true;
      } else {
        fail(i, "no echo of the probe byte");
      }
    }
  }
  for (std::size_t i = 0; i < held.size(); ++i) {
    if (held[i] && !echoed[i]) fail(i, "probe byte not echoed within 30 s");
  }
  if (result.failures == options.idleConnections) return result;  // nothing to hold
  const double cpu0 = cpuNow(options), extra0 = extraCpuNow(options);
  const auto holdStart = Clock::now();
  for (double left = options.idleSeconds; left > 0;
       left = options.idleSeconds - secondsSince(holdStart)) {
    const int timeoutMs = static_cast<int>(std::min(1000.0, std::ceil(left * 1000)));
    int ready =
        ::epoll_wait(fdOf(epoll.get()), events.data(), static_cast<int>(events.size()), timeoutMs);
    for (int e = 0; e < ready; ++e) {
      if (held[events[e].data.u64])
        fail(events[e].data.u64, "a held connection delivered bytes or closed");
    }
  }
  const double seconds = secondsSince(holdStart);
  result.cpuPercent = (cpuNow(options) - cpu0) / seconds * 100;
  result.extraPercent = (extraCpuNow(options) - extra0) / seconds * 100;
  if (options.forwarderPid > 0)
    result.memoryMib = static_cast<double>(treeRssKib(options.forwarderPid)) / 1024.0;
  return result;
}

}  // namespace

bool measureAll(const MeasureOptions& options, const std::string& prefix) {
  ResultLine line(prefix);
  bool allRan = true;
  double cpu[2] = {NAN, NAN};
  const double extra0 = extraCpuNow(options);  // the extra process's part of the transfers' CPU
  if (options.up || options.down)
    line.add("stream_mib", static_cast<double>(options.streamBytes >> 20));
  for (const bool up : {true, false}) {
    if (!(up ? options.up : options.down)) continue;
    bool intact = false;
    const double mbps = stream(options, up, cpu[up], intact);
    allRan &= !std::isnan(mbps);
    line.add(up ? "up_mbps" : "down_mbps", mbps, 1);
    line.add(up ? "up_ok" : "down_ok", intact ? 1 : 0);
    line.add(up ? "cpu_up_s" : "cpu_down_s", cpu[up], 2);
  }
  if (options.up && options.down) {
    line.add("cpu_s_per_gib",
             (cpu[0] + cpu[1]) / (2.0 * static_cast<double>(options.streamBytes) / kGiB), 3);
    if (options.extraCpuPid > 0) line.add("cpu_extra_s", extraCpuNow(options) - extra0, 2);
  }
  if (options.rtt) {
    double median = NAN, p99 = NAN;
    allRan &= roundTrips(options, median, p99);
    line.add("rtt_count", options.rttCount);
    line.add("rtt_med_us", median, 1);
    line.add("rtt_p99_us", p99, 1);
  }
  if (options.setup) {
    double median = NAN, rate = NAN;
    int failures = 0;
    allRan &= setups(options, median, rate, failures);
    line.add("setup_count", options.setupCount);
    line.add("setup_med_us", median, 1);
    line.add("conn_rate", rate, 1);
    line.add("setup_fail", failures);
  }
  if (options.echo) {
    const EchoResult echo = concurrentEcho(options);
    line.add("echo_conns", options.echoConnections);
    line.add("echo_mib", static_cast<double>(options.echoBytes >> 20));
    line.add("echo_s", echo.seconds, 2);
    line.add("echo_fail", echo.failures);
    line.add("echo_stall", echo.stalls);
    line.add("echo_cpu_s", echo.cpuSeconds, 2);
    line.add("echo_max_gap_s", echo.longestGap, 2);
    line.add("echo_first_max_s", echo.slowestStart, 2);
    line.add("mem_peak_mib", echo.peakMib, 1);
    line.add("mem_procs", echo.processes);
  }
  if (options.idle) {
    const IdleResult idle = idleHold(options);
    allRan &= !std::isnan(idle.cpuPercent);
    line.add("idle_conns", options.idleConnections);
    line.add("idle_s", options.idleSeconds);
    line.add("idle_cpu_pct", idle.cpuPercent, 3);
    line.add("idle_fail", idle.failures);
    if (options.extraCpuPid > 0) line.add("idle_extra_pct", idle.extraPercent, 3);
    line.add("idle_mem_mib", idle.memoryMib, 1);
  }
  line.print();
  return allRan;
}

}  // namespace bench
