#include "bench/measure.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "bench/proc_tree.h"

namespace bench {
namespace {

constexpr int kConnectTimeoutMs = 10000;
constexpr int kIoTimeoutMs = 30000;
constexpr std::size_t kChunk = 256 * 1024;
constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;

// Collects the line of key=value pairs.
class Line {
 public:
  void add(const char* key, double value, int decimals) {
    char text[64];
    if (std::isnan(value)) {
      std::snprintf(text, sizeof text, " %s=nan", key);
    } else {
      std::snprintf(text, sizeof text, " %s=%.*f", key, decimals, value);
    }
    text_ += text;
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

const Digest& cachedPatternDigest(std::uint64_t count) {
  static std::map<std::uint64_t, Digest> digests;
  auto found = digests.find(count);
  if (found == digests.end()) found = digests.emplace(count, patternDigest(count)).first;
  return found->second;
}

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
  double seconds = treeCpuSeconds(options.forwarderPid);
  if (options.extraCpuPid > 0) seconds += extraCpuNow(options);
  return seconds;
}

void report(const char* test, const std::string& error) {
  std::fprintf(stderr, "  %s: %s\n", test, error.c_str());
}

// Client to target: the client sends the pattern, the target hashes what arrives and answers
// its digest. Returns MB/s (10^6 bytes) or NaN; `ok` is false if the digests differ.
double streamUp(const MeasureOptions& options, double& cpuSeconds, bool& ok) {
  ok = false;
  const std::uint64_t count = options.streamBytes;
  const Digest& expected = cachedPatternDigest(count);  // the sender's digest, before the clock
  std::string error;
  Fd fd = openRoute(options.route, kConnectTimeoutMs, error);
  Header header = makeHeader(kModeSink, count);
  if (!fd || !sendAll(fd.get(), header.data(), header.size())) {
    report("up", error.empty() ? "header" : error);
    return NAN;
  }
  setTimeouts(fd.get(), kIoTimeoutMs);
  double cpu0 = cpuNow(options);
  auto start = Clock::now();
  for (std::uint64_t offset = 0; offset < count;) {
    auto chunk = patternAt(
        offset, static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, count - offset)));
    if (!sendAll(fd.get(), chunk.data(), chunk.size()) ||
        secondsSince(start) > options.streamDeadlineSeconds) {
      report("up", "send stopped at byte " + std::to_string(offset));
      return NAN;
    }
    offset += chunk.size();
  }
  Digest received{};
  if (!recvAll(fd.get(), received.data(), received.size())) {
    report("up", "no digest from the target");
    return NAN;
  }
  double seconds = secondsSince(start);
  cpuSeconds = cpuNow(options) - cpu0;
  ok = received == expected;
  if (!ok) report("up", "SHA-256 mismatch");
  return static_cast<double>(count) / seconds / 1e6;
}

// Target to client: the target sends the pattern and then its digest (computed ahead by a 'P'
// request straight to the target); the client hashes what arrives.
double streamDown(const MeasureOptions& options, double& cpuSeconds, bool& ok) {
  ok = false;
  const std::uint64_t count = options.streamBytes;
  std::string error;
  {
    Fd prepare = connectTcp(options.target, kConnectTimeoutMs, error);
    Header header = makeHeader(kModePrepare, count);
    std::uint8_t ready = 0;
    if (prepare) setTimeouts(prepare.get(), 120000);
    if (!prepare || !sendAll(prepare.get(), header.data(), header.size()) ||
        !recvAll(prepare.get(), &ready, 1)) {
      report("down", "prepare: " + error);
      return NAN;
    }
  }
  Fd fd = openRoute(options.route, kConnectTimeoutMs, error);
  Header header = makeHeader(kModeSource, count);
  if (!fd) {
    report("down", error);
    return NAN;
  }
  setTimeouts(fd.get(), kIoTimeoutMs);
  std::vector<std::uint8_t> buffer(kChunk);
  StreamHash hash;
  double cpu0 = cpuNow(options);
  auto start = Clock::now();
  if (!sendAll(fd.get(), header.data(), header.size())) return NAN;
  for (std::uint64_t offset = 0; offset < count;) {
    ssize_t got =
        ::recv(fd.get(), buffer.data(),
               static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, count - offset)), 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || secondsSince(start) > options.streamDeadlineSeconds) {
      report("down", "receive stopped at byte " + std::to_string(offset));
      return NAN;
    }
    hash.update(buffer.data(), static_cast<std::size_t>(got));
    offset += static_cast<std::uint64_t>(got);
  }
  Digest sent{};
  if (!recvAll(fd.get(), sent.data(), sent.size())) {
    report("down", "no digest from the target");
    return NAN;
  }
  double seconds = secondsSince(start);
  cpuSeconds = cpuNow(options) - cpu0;
  ok = hash.finish() == sent;
  if (!ok) report("down", "SHA-256 mismatch");
  return static_cast<double>(count) / seconds / 1e6;
}

// 64-byte messages echoed one at a time; microseconds per round trip.
bool roundTrips(const MeasureOptions& options, double& median, double& p99) {
  std::string error;
  Fd fd = openRoute(options.route, kConnectTimeoutMs, error);
  Header header = makeHeader(kModeEcho, 0);
  if (!fd || !sendAll(fd.get(), header.data(), header.size())) {
    report("rtt", error);
    return false;
  }
  setTimeouts(fd.get(), 5000);
  auto message = patternAt(0, 64);
  std::array<std::uint8_t, 64> answer{};
  std::vector<double> times;
  times.reserve(static_cast<std::size_t>(options.rttCount));
  const int warmup = 200;
  auto deadline = Clock::now() + std::chrono::seconds(60);
  for (int i = 0; i < warmup + options.rttCount; ++i) {
    auto start = Clock::now();
    if (!sendAll(fd.get(), message.data(), message.size()) ||
        !recvAll(fd.get(), answer.data(), answer.size()) ||
        !std::equal(answer.begin(), answer.end(), message.begin()) || start > deadline) {
      report("rtt", "echo failed at message " + std::to_string(i));
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
  std::array<std::uint8_t, kHeaderSize + 1> request{};
  Header header = makeHeader(kModeEcho, 0);
  std::copy(header.begin(), header.end(), request.begin());
  request[kHeaderSize] = 0x5a;
  auto begin = Clock::now();
  for (int i = 0; i < options.setupCount && secondsSince(begin) < 120; ++i) {
    auto start = Clock::now();
    std::string error;
    Fd fd = openRoute(options.route, kConnectTimeoutMs, error);
    std::uint8_t answer = 0;
    if (fd) setTimeouts(fd.get(), 5000);
    if (!fd || !sendAll(fd.get(), request.data(), request.size()) ||
        !recvAll(fd.get(), &answer, 1) || answer != 0x5a) {
      if (failures++ == 0) report("setup", error.empty() ? "no echo" : error);
      continue;
    }
    times.push_back(secondsSince(start) * 1e6);
  }
  double wall = secondsSince(begin);
  median = percentile(times, 0.5);
  rate = static_cast<double>(times.size()) / wall;
  return !times.empty();
}

// One connection to the echo target through the route, its header sent, non-blocking and watched
// by `epoll` for `events` under `index`. Empty on failure, with the reason in `error`.
Fd openEchoConnection(const MeasureOptions& options, int epoll, std::size_t index,
                      std::uint32_t events, std::string& error) {
  Fd fd = openRoute(options.route, kConnectTimeoutMs, error);
  Header header = makeHeader(kModeEcho, 0);
  if (!fd || !sendAll(fd.get(), header.data(), header.size()) || !setNonBlocking(fd.get())) {
    if (error.empty()) error = "header";
    return {};
  }
  epoll_event event{events, {.u64 = index}};
  ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd.get(), &event);
  return fd;
}

struct EchoConnection {
  Fd fd;
  std::uint64_t sent = 0;
  std::uint64_t received = 0;
  Clock::time_point lastProgress;
  Clock::time_point opened;
  bool open = true;
};

struct EchoResult {
  double seconds = NAN;
  int failures = 0;
  int stalls = 0;
  double cpuSeconds = NAN;
  double peakMib = NAN;
  int processes = 0;
  double longestGap = 0;    // longest time a connection moved no byte after its first echo, s
  double slowestStart = 0;  // longest time from a connection's open to its first echoed byte, s
};

// N connections at once, each sending `echoBytes` and reading them back (checked against the
// pattern). A connection that moves no byte either way for `stallSeconds` is a stall; one that
// errs, closes early or returns wrong bytes is a failure. Bounded by `echoDeadlineSeconds`.
EchoResult concurrentEcho(const MeasureOptions& options) {
  EchoResult result;
  const std::uint64_t total = options.echoBytes;
  double cpu0 = cpuNow(options);
  std::unique_ptr<MemorySampler> sampler;
  if (options.forwarderPid > 0)
    sampler = std::make_unique<MemorySampler>(options.forwarderPid, 100);
  Fd epoll(::epoll_create1(EPOLL_CLOEXEC));
  std::vector<EchoConnection> connections(static_cast<std::size_t>(options.echoConnections));
  auto start = Clock::now();
  int open = 0;
  for (std::size_t i = 0; i < connections.size(); ++i) {
    EchoConnection& c = connections[i];
    std::string error;
    c.fd = openEchoConnection(options, epoll.get(), i, EPOLLIN | EPOLLOUT, error);
    if (!c.fd) {
      if (result.failures++ == 0) report("echo", error);
      c.open = false;
      continue;
    }
    c.lastProgress = c.opened = Clock::now();
    ++open;
  }
  auto close = [&](EchoConnection& c) {
    ::epoll_ctl(epoll.get(), EPOLL_CTL_DEL, c.fd.get(), nullptr);
    c.fd.reset();
    c.open = false;
    --open;
  };
  auto noteProgress = [&](EchoConnection& c) {
    auto now = Clock::now();
    if (c.received > 0) {
      result.longestGap =
          std::max(result.longestGap, std::chrono::duration<double>(now - c.lastProgress).count());
    }
    c.lastProgress = now;
  };
  std::vector<std::uint8_t> buffer(kChunk);
  std::vector<epoll_event> events(256);
  auto lastStallCheck = Clock::now();
  while (open > 0) {
    bool late = secondsSince(start) > options.echoDeadlineSeconds;
    int ready = ::epoll_wait(epoll.get(), events.data(), static_cast<int>(events.size()), 200);
    for (int e = 0; e < ready && !late; ++e) {
      EchoConnection& c = connections[events[e].data.u64];
      if (!c.open) continue;
      if (events[e].events & EPOLLOUT && c.sent < total) {
        auto chunk = patternAt(
            c.sent, static_cast<std::size_t>(std::min<std::uint64_t>(64 * 1024, total - c.sent)));
        ssize_t sent = ::send(c.fd.get(), chunk.data(), chunk.size(), MSG_NOSIGNAL);
        if (sent > 0) {
          c.sent += static_cast<std::uint64_t>(sent);
          noteProgress(c);
          if (c.sent == total) {
            epoll_event event{EPOLLIN, {.u64 = events[e].data.u64}};
            ::epoll_ctl(epoll.get(), EPOLL_CTL_MOD, c.fd.get(), &event);
          }
        } else if (errno != EAGAIN && errno != EINTR) {
          ++result.failures;
          close(c);
          continue;
        }
      }
      if (events[e].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        ssize_t got = ::recv(c.fd.get(), buffer.data(), buffer.size(), 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
          ++result.failures;
          close(c);
          continue;
        }
        if (got < 0) continue;
        // The echo must be the pattern from the same stream offset.
        std::size_t checked = 0;
        bool same = c.received + static_cast<std::uint64_t>(got) <= total;
        while (same && checked < static_cast<std::size_t>(got)) {
          auto expected = patternAt(c.received + checked, static_cast<std::size_t>(got) - checked);
          same = std::memcmp(buffer.data() + checked, expected.data(), expected.size()) == 0;
          checked += expected.size();
        }
        if (!same) {
          if (result.failures++ == 0) report("echo", "echoed bytes differ");
          close(c);
          continue;
        }
        if (c.received == 0) {
          result.slowestStart = std::max(
              result.slowestStart, std::chrono::duration<double>(Clock::now() - c.opened).count());
        }
        noteProgress(c);
        c.received += static_cast<std::uint64_t>(got);
        if (c.received == total) close(c);
      }
    }
    if (late) {
      for (auto& c : connections) {
        if (c.open) {
          ++result.stalls;
          close(c);
        }
      }
      report("echo", "deadline reached");
      break;
    }
    if (secondsSince(lastStallCheck) >= 0.5) {
      lastStallCheck = Clock::now();
      for (auto& c : connections) {
        if (c.open && secondsSince(c.lastProgress) > options.stallSeconds) {
          ++result.stalls;
          sockaddr_in self{};
          socklen_t length = sizeof self;
          ::getsockname(c.fd.get(), reinterpret_cast<sockaddr*>(&self), &length);
          std::fprintf(stderr,
                       "  echo: connection %zu (port %u) stalled at %.1f s: sent %llu, received "
                       "%llu\n",
                       static_cast<std::size_t>(&c - connections.data()), ntohs(self.sin_port),
                       secondsSince(start), static_cast<unsigned long long>(c.sent),
                       static_cast<unsigned long long>(c.received));
          if (result.stalls == 1) {
            // Where the bytes wait: every loopback socket with data queued, with its process.
            std::fflush(stderr);
            int ignored = std::system(
                "ss -tnpH state established 2>/dev/null | awk '$1 > 0 || $2 > 0' | sed 's/^/    /' "
                ">&2");
            (void)ignored;
          }
          close(c);
        }
      }
    }
  }
  result.seconds = secondsSince(start);
  if (sampler) {
    result.peakMib = static_cast<double>(sampler->stop(&result.processes)) / 1024.0;
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
  Fd epoll(::epoll_create1(EPOLL_CLOEXEC));
  std::vector<Fd> held(static_cast<std::size_t>(options.idleConnections));
  std::vector<bool> echoed(held.size(), false);
  auto fail = [&](std::size_t i, const std::string& why) {
    if (result.failures++ == 0) report("idle", why);
    held[i].reset();  // closing also takes it out of the epoll set
  };
  const std::uint8_t probe = 0x5a;
  std::size_t waiting = 0;
  for (std::size_t i = 0; i < held.size(); ++i) {
    std::string error;
    held[i] = openEchoConnection(options, epoll.get(), i, EPOLLIN, error);
    if (!held[i]) {
      fail(i, error);
    } else if (::send(held[i].get(), &probe, 1, MSG_NOSIGNAL) != 1) {
      fail(i, "probe not sent");
    } else {
      ++waiting;
    }
  }
  std::vector<epoll_event> events(256);
  // Reads what a ready connection delivered: true only for the probe's echo, the first time.
  auto echoedNow = [&](std::size_t i) {
    std::uint8_t answer = 0;
    ssize_t got = ::recv(held[i].get(), &answer, 1, 0);
    return got == 1 && answer == probe && !echoed[i];
  };
  auto start = Clock::now();
  while (waiting > 0 && secondsSince(start) < 30) {
    int ready = ::epoll_wait(epoll.get(), events.data(), static_cast<int>(events.size()), 200);
    for (int e = 0; e < ready; ++e) {
      std::size_t i = events[e].data.u64;
      if (!held[i]) continue;
      if (!echoed[i]) --waiting;
      if (echoedNow(i)) {
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
  double cpu0 = cpuNow(options);
  double extra0 = extraCpuNow(options);
  auto holdStart = Clock::now();
  for (double left = options.idleSeconds; left > 0;
       left = options.idleSeconds - secondsSince(holdStart)) {
    int timeoutMs = static_cast<int>(std::min(1000.0, std::ceil(left * 1000)));
    int ready =
        ::epoll_wait(epoll.get(), events.data(), static_cast<int>(events.size()), timeoutMs);
    for (int e = 0; e < ready; ++e) {
      std::size_t i = events[e].data.u64;
      if (held[i]) fail(i, "a held connection delivered bytes or closed");
    }
  }
  double seconds = secondsSince(holdStart);
  result.cpuPercent = (cpuNow(options) - cpu0) / seconds * 100;
  if (options.extraCpuPid > 0) {
    result.extraPercent = (extraCpuNow(options) - extra0) / seconds * 100;
  }
  if (options.forwarderPid > 0) {
    result.memoryMib = static_cast<double>(treeRssKib(options.forwarderPid)) / 1024.0;
  }
  return result;
}

}  // namespace

bool measureAll(const MeasureOptions& options, const std::string& prefix) {
  Line line;
  bool allRan = true;
  double cpuUp = NAN, cpuDown = NAN;
  // The extra process's part of the two transfers' CPU (under Wine: wineserver's).
  double extra0 = extraCpuNow(options);
  if (options.up) {
    bool ok = false;
    double mbps = streamUp(options, cpuUp, ok);
    allRan &= !std::isnan(mbps);
    line.add("stream_mib", static_cast<double>(options.streamBytes >> 20), 0);
    line.add("up_mbps", mbps, 1);
    line.add("up_ok", ok ? 1 : 0, 0);
    line.add("cpu_up_s", cpuUp, 2);
  }
  if (options.down) {
    bool ok = false;
    double mbps = streamDown(options, cpuDown, ok);
    allRan &= !std::isnan(mbps);
    if (!options.up) line.add("stream_mib", static_cast<double>(options.streamBytes >> 20), 0);
    line.add("down_mbps", mbps, 1);
    line.add("down_ok", ok ? 1 : 0, 0);
    line.add("cpu_down_s", cpuDown, 2);
  }
  if (options.up && options.down) {
    line.add("cpu_s_per_gib",
             (cpuUp + cpuDown) / (2.0 * static_cast<double>(options.streamBytes) / kGiB), 3);
    if (options.extraCpuPid > 0) line.add("cpu_extra_s", extraCpuNow(options) - extra0, 2);
  }
  if (options.rtt) {
    double median = NAN, p99 = NAN;
    allRan &= roundTrips(options, median, p99);
    line.add("rtt_count", options.rttCount, 0);
    line.add("rtt_med_us", median, 1);
    line.add("rtt_p99_us", p99, 1);
  }
  if (options.setup) {
    double median = NAN, rate = NAN;
    int failures = 0;
    allRan &= setups(options, median, rate, failures);
    line.add("setup_count", options.setupCount, 0);
    line.add("setup_med_us", median, 1);
    line.add("conn_rate", rate, 1);
    line.add("setup_fail", failures, 0);
  }
  if (options.echo) {
    EchoResult echo = concurrentEcho(options);
    line.add("echo_conns", options.echoConnections, 0);
    line.add("echo_mib", static_cast<double>(options.echoBytes >> 20), 0);
    line.add("echo_s", echo.seconds, 2);
    line.add("echo_fail", echo.failures, 0);
    line.add("echo_stall", echo.stalls, 0);
    line.add("echo_cpu_s", echo.cpuSeconds, 2);
    line.add("echo_max_gap_s", echo.longestGap, 2);
    line.add("echo_first_max_s", echo.slowestStart, 2);
    line.add("mem_peak_mib", echo.peakMib, 1);
    line.add("mem_procs", echo.processes, 0);
  }
  if (options.idle) {
    IdleResult idle = idleHold(options);
    allRan &= !std::isnan(idle.cpuPercent);
    line.add("idle_conns", options.idleConnections, 0);
    line.add("idle_s", options.idleSeconds, 0);
    line.add("idle_cpu_pct", idle.cpuPercent, 3);
    line.add("idle_fail", idle.failures, 0);
    if (options.extraCpuPid > 0) line.add("idle_extra_pct", idle.extraPercent, 3);
    line.add("idle_mem_mib", idle.memoryMib, 1);
  }
  std::printf("%s%s\n", prefix.c_str(), line.text().c_str());
  std::fflush(stdout);
  return allRan;
}

}  // namespace bench
