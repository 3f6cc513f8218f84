#include "bench/soak.h"

#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>

namespace bench {
namespace {

constexpr int kConnectTimeoutMs = 30000;    // the forwarder listens with a backlog of 0
constexpr double kNoProgressSeconds = 30;   // a connection that moves nothing this long stalled
constexpr double kConnectionSeconds = 120;  // and none lives longer
// Stalled proxy sessions end within 20 s; the scripted forwarder gets no new connection this
// close to the end, so its relays have ended before the after-load figures are taken.
constexpr double kScriptedCooldownSeconds = 25;
constexpr std::uint64_t kMaxEcho = std::uint64_t{4} << 20;
constexpr long kRssSlackKib = 4096;

// How a connection ended. Up to kRefused these are the ends a kind is meant to have.
enum Outcome {
  kVerified,
  kAborted,
  kConnectClosed,
  kRefused,
  kConnectFailed,
  kWrongBytes,
  kClosedEarly,
  kStalled,
  kHalfCloseLost,
  kOutcomeCount
};
constexpr const char* kOutcomeNames[kOutcomeCount] = {
    "verified",    "aborted",      "connect-close", "refused",        "connect-failed",
    "wrong-bytes", "closed-early", "stalled",       "half-close-lost"};
constexpr int kFirstFailure = kConnectFailed;

std::uint64_t splitMix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// Bytes of stream `seed` from `offset`: what a connection sends, and so what its echo must be.
void fillSeeded(std::uint64_t seed, std::uint64_t offset, std::uint8_t* out, std::size_t length) {
  const std::uint64_t stream = splitMix(seed);
  for (std::size_t at = 0; at < length;) {
    const std::uint64_t position = offset + at;
    const std::uint64_t word = splitMix(stream ^ (position / 8));
    for (std::uint64_t byte = position % 8; byte < 8 && at < length; ++byte, ++at)
      out[at] = static_cast<std::uint8_t>(word >> (8 * byte));
  }
}

// What one connection does. bytes == 0 and no idle time: connect and close at once.
struct Plan {
  std::uint64_t bytes = 0;  // echoed bytes to send and read back
  std::uint64_t seed = 0;
  double idleSeconds = 0;       // says nothing this long after connecting, then speaks
  double readPauseSeconds = 0;  // sends but reads nothing this long
  bool halfClose = false;       // shuts its sending side after the last byte, reads the rest
  std::uint64_t abortAt = 0;    // abortive close (RST) once this many bytes are sent; 0: never
};

void abortiveClose(Fd& fd) {
  linger option{1, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &option, sizeof option);
  fd.reset();
}

Outcome runConnection(const SoakForwarder& forwarder, const Plan& plan, std::uint64_t& verified) {
  std::string error;
  Fd fd = connectTcp(forwarder.local, kConnectTimeoutMs, error);
  if (!fd) return kConnectFailed;
  if (plan.bytes == 0 && plan.idleSeconds == 0) return kConnectClosed;
  setNonBlocking(fd.get());
  if (plan.idleSeconds > 0) {
    // Nothing may arrive, nor the connection end, while the client is silent.
    pollfd idle{fd.get(), POLLIN, 0};
    if (::poll(&idle, 1, static_cast<int>(plan.idleSeconds * 1000)) != 0) return kClosedEarly;
  }

  const Header header = makeHeader(kModeEcho, 0);
  std::size_t headerSent = 0;
  std::uint64_t sent = 0;
  std::uint64_t received = 0;
  bool shut = false;
  std::vector<std::uint8_t> out(65536), in(65536), expected(65536);
  const auto start = Clock::now();
  const auto readFrom = start + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(plan.readPauseSeconds));
  auto progress = start;
  auto ended = [&] {
    if (received == 0 && forwarder.scripted) return kRefused;
    return shut ? kHalfCloseLost : kClosedEarly;
  };
  for (;;) {
    if (received == plan.bytes && sent == plan.bytes) {
      verified += plan.bytes;
      return kVerified;
    }
    if (plan.abortAt != 0 && sent >= plan.abortAt) {
      abortiveClose(fd);
      return kAborted;
    }
    if (secondsSince(progress) > kNoProgressSeconds || secondsSince(start) > kConnectionSeconds)
      return kStalled;
    const bool reading = Clock::now() >= readFrom;
    const bool writing = headerSent < kHeaderSize || sent < plan.bytes;
    pollfd ready{fd.get(), static_cast<short>((reading ? POLLIN : 0) | (writing ? POLLOUT : 0)), 0};
    if (::poll(&ready, 1, 100) < 0 && errno != EINTR) return kClosedEarly;
    if (reading && (ready.revents & (POLLIN | POLLHUP | POLLERR))) {
      ssize_t got = ::recv(fd.get(), in.data(), in.size(), 0);
      if (got > 0) {
        const auto length = static_cast<std::size_t>(got);
        if (received + length > sent) return kWrongBytes;
        fillSeeded(plan.seed, received, expected.data(), length);
        if (std::memcmp(in.data(), expected.data(), length) != 0) return kWrongBytes;
        received += length;
        progress = Clock::now();
      } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        return ended();
      }
    }
    if (writing && (ready.revents & POLLOUT)) {
      ssize_t put = 0;
      if (headerSent < kHeaderSize) {
        put = ::send(fd.get(), header.data() + headerSent, kHeaderSize - headerSent, MSG_NOSIGNAL);
        if (put > 0) headerSent += static_cast<std::size_t>(put);
      } else {
        std::uint64_t limit = plan.abortAt != 0 ? std::min(plan.abortAt, plan.bytes) : plan.bytes;
        auto length = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), limit - sent));
        fillSeeded(plan.seed, sent, out.data(), length);
        put = ::send(fd.get(), out.data(), length, MSG_NOSIGNAL);
        if (put > 0) sent += static_cast<std::uint64_t>(put);
      }
      if (put > 0) progress = Clock::now();
      if (put < 0 && errno != EAGAIN && errno != EINTR) return ended();
    }
    if (plan.halfClose && !shut && headerSent == kHeaderSize && sent == plan.bytes) {
      ::shutdown(fd.get(), SHUT_WR);
      shut = true;
    }
  }
}

// ---- The mix of clients ----

enum Kind { kEcho, kSlowReader, kIdle, kHalfClose, kAbort, kConnectClose, kScripted, kKindCount };
constexpr std::array<int, kKindCount> kWeights = {30, 10, 10, 10, 10, 10, 20};

std::uint64_t logUniform(std::mt19937_64& rng, std::uint64_t low, std::uint64_t high) {
  std::uniform_real_distribution<double> exponent(std::log(double(low)), std::log(double(high)));
  return static_cast<std::uint64_t>(std::exp(exponent(rng)));
}

double uniform(std::mt19937_64& rng, double low, double high) {
  return std::uniform_real_distribution<double>(low, high)(rng);
}

Plan planFor(Kind kind, std::mt19937_64& rng) {
  Plan plan;
  plan.seed = rng();
  switch (kind) {
    case kEcho:
      plan.bytes = logUniform(rng, 1, kMaxEcho);
      break;
    case kSlowReader:
      plan.bytes = logUniform(rng, 256 << 10, kMaxEcho);
      plan.readPauseSeconds = uniform(rng, 1, 3);
      break;
    case kIdle:
      plan.bytes = logUniform(rng, 1, 4096);
      plan.idleSeconds = uniform(rng, 2, 5);
      break;
    case kHalfClose:
      plan.bytes = logUniform(rng, 1, 256 << 10);
      plan.halfClose = true;
      break;
    case kAbort:
      plan.bytes = logUniform(rng, 256 << 10, kMaxEcho);
      plan.abortAt = 1 + rng() % plan.bytes;
      break;
    case kConnectClose:
      break;
    default:  // kScripted: small echoes, some of them refused by the proxy
      plan.bytes = logUniform(rng, 1, 64 << 10);
      break;
  }
  return plan;
}

struct Tally {
  std::mutex mutex;
  std::array<std::uint64_t, kOutcomeCount> outcomes{};  // guarded by mutex
  std::uint64_t verifiedBytes = 0;                      // guarded by mutex
};

// ---- The forwarder's figures, from /proc ----

struct ProcFigures {
  long threads = -1;
  long handles = -1;
  long rssKib = -1;
};

ProcFigures readFigures(int pid) {
  ProcFigures figures;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) figures.threads = std::atol(line.c_str() + 8);
    if (line.rfind("VmRSS:", 0) == 0) figures.rssKib = std::atol(line.c_str() + 6);
  }
  if (DIR* fds = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    figures.handles = 0;
    while (dirent* entry = ::readdir(fds)) figures.handles += entry->d_name[0] != '.';
    ::closedir(fds);
  }
  return figures;
}

struct Watch {
  ProcFigures start, peak, warm, after;
};

void raisePeak(ProcFigures& peak, const ProcFigures& now) {
  peak.threads = std::max(peak.threads, now.threads);
  peak.handles = std::max(peak.handles, now.handles);
  peak.rssKib = std::max(peak.rssKib, now.rssKib);
}

std::string mib(long kib) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", kib / 1024.0);
  return text;
}

}  // namespace

int runSoak(const SoakOptions& options) {
  const SoakForwarder* plain = nullptr;
  const SoakForwarder* scripted = nullptr;
  for (const SoakForwarder& forwarder : options.forwarders)
    (forwarder.scripted ? scripted : plain) = &forwarder;
  if (plain == nullptr) {
    std::fprintf(stderr, "soak: no forwarder in front of a real proxy\n");
    return 1;
  }
  const double warmup = std::min(options.warmupSeconds, options.seconds / 2);
  std::vector<Watch> watches(options.forwarders.size());
  for (std::size_t i = 0; i < watches.size(); ++i) {
    watches[i].start = readFigures(options.forwarders[i].pid);
    watches[i].peak = watches[i].start;
  }

  Tally tally;
  const auto start = Clock::now();
  std::atomic<bool> loadDone{false};
  std::thread sampler([&] {
    bool warmTaken = false;
    while (!loadDone) {
      for (std::size_t i = 0; i < watches.size(); ++i) {
        ProcFigures now = readFigures(options.forwarders[i].pid);
        raisePeak(watches[i].peak, now);
        if (!warmTaken && secondsSince(start) >= warmup) watches[i].warm = now;
      }
      if (secondsSince(start) >= warmup) warmTaken = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
  });

  std::vector<std::thread> workers;
  for (int worker = 0; worker < options.concurrency; ++worker) {
    workers.emplace_back([&, worker] {
      std::mt19937_64 rng(splitMix(options.seed * 1000003 + static_cast<std::uint64_t>(worker)));
      std::vector<int> weights(kWeights.begin(), kWeights.end());
      if (!options.halfClose) weights[kHalfClose] = 0;
      std::vector<int> lateWeights = weights;
      lateWeights[kScripted] = 0;
      if (scripted == nullptr) weights[kScripted] = 0;
      std::discrete_distribution<int> early(weights.begin(), weights.end());
      std::discrete_distribution<int> late(lateWeights.begin(), lateWeights.end());
      while (secondsSince(start) < options.seconds) {
        const bool cooling = secondsSince(start) > options.seconds - kScriptedCooldownSeconds;
        const auto kind = static_cast<Kind>(cooling ? late(rng) : early(rng));
        const SoakForwarder& target = kind == kScripted ? *scripted : *plain;
        std::uint64_t verified = 0;
        Outcome outcome = runConnection(target, planFor(kind, rng), verified);
        std::lock_guard<std::mutex> lock(tally.mutex);
        ++tally.outcomes[outcome];
        tally.verifiedBytes += verified;
        if (outcome >= kFirstFailure && tally.outcomes[outcome] <= 3)
          std::fprintf(stderr, "soak: %s on %s after %.0f s\n", kOutcomeNames[outcome],
                       target.name.c_str(), secondsSince(start));
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  const double loadSeconds = secondsSince(start);
  loadDone = true;
  sampler.join();
  std::this_thread::sleep_for(std::chrono::duration<double>(options.settleSeconds));
  for (std::size_t i = 0; i < watches.size(); ++i)
    watches[i].after = readFigures(options.forwarders[i].pid);

  // One line: the load, the failures, then each forwarder's figures and the verdict.
  bool pass = true;
  std::uint64_t connections = 0;
  std::string failures, ends;
  for (int outcome = 0; outcome < kOutcomeCount; ++outcome) {
    const std::uint64_t count = tally.outcomes[outcome];
    connections += count;
    const std::string item = std::string(kOutcomeNames[outcome]) + " " + std::to_string(count);
    if (outcome < kFirstFailure) {
      ends += (ends.empty() ? "" : ", ") + item;
    } else if (count > 0) {
      failures += (failures.empty() ? "" : ", ") + item;
      pass = false;
    }
  }
  std::string figures;
  for (std::size_t i = 0; i < watches.size(); ++i) {
    const Watch& w = watches[i];
    const bool alive = w.after.threads >= 0;
    const bool threadsBack = alive && w.after.threads <= w.start.threads;
    const bool handlesBack = alive && w.after.handles <= w.start.handles;
    const bool memoryFlat = alive && w.after.rssKib <= w.warm.rssKib + kRssSlackKib;
    pass = pass && threadsBack && handlesBack && memoryFlat;
    figures += (i == 0 ? "" : "; ") + options.forwarders[i].name + " threads " +
               std::to_string(w.start.threads) + "/" + std::to_string(w.peak.threads) + "/" +
               std::to_string(w.after.threads) + ", " + options.handlesLabel + " " +
               std::to_string(w.start.handles) + "/" + std::to_string(w.peak.handles) + "/" +
               std::to_string(w.after.handles) + ", RSS MiB " + mib(w.start.rssKib) + "/" +
               mib(w.peak.rssKib) + "/" + mib(w.after.rssKib) + " (after warm-up " +
               mib(w.warm.rssKib) + ")" + (alive ? "" : " GONE") +
               (threadsBack ? "" : " threads-not-back") + (handlesBack ? "" : " handles-not-back") +
               (memoryFlat ? "" : " memory-grew");
  }
  std::printf(
      "soak %.0f s: connections %llu, bytes verified %llu, failures: %s (ends: %s); "
      "start/peak/%.0f s after: %s: %s\n",
      loadSeconds, static_cast<unsigned long long>(connections),
      static_cast<unsigned long long>(tally.verifiedBytes),
      failures.empty() ? "none" : failures.c_str(), ends.c_str(), options.settleSeconds,
      figures.c_str(), pass ? "PASS" : "FAIL");
  return pass ? 0 : 1;
}

}  // namespace bench
