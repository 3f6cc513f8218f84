// The soak run's client: many mixed connections through a forwarder for a while, every echoed
// byte checked against its stream, and the forwarder's threads, descriptors and resident memory
// watched until after the load.
#include <dirent.h>
#include <sys/socket.h>

#include <array>
#include <cstdio>
#include <mutex>
#include <random>

#include "bench/bench.h"

namespace bench {
namespace {

constexpr double kNoProgressSeconds = 30;   // a connection that moves nothing this long stalled
constexpr double kConnectionSeconds = 120;  // and none lives longer
// Stalled proxy sessions end within 20 s; the scripted forwarder gets no new connection this
// close to the end, so its relays have ended before the after-load figures are taken.
constexpr double kScriptedCooldownSeconds = 25;
constexpr std::uint64_t kMaxEcho = std::uint64_t{4} << 20;
constexpr std::uint64_t kRssSlackKib = 4096;

// How a connection ended. Up to kRefused these are the ends a kind is meant to have.
enum Outcome {
  kVerified,
  kAborted,
  kConnectClosed,
  kRefused,  // the planned ends
  kConnectFailed,
  kWrongBytes,
  kClosedEarly,
  kStalled,
  kHalfCloseLost,
  kOutcomeCount
};
constexpr const char* kOutcomeKeys[kOutcomeCount] = {
    "verified",    "aborted",      "connect_close", "refused",        "connect_failed",
    "wrong_bytes", "closed_early", "stalled",       "half_close_lost"};

// What one connection does. bytes == 0 and no idle time: connect and close at once.
struct Plan {
  std::uint64_t bytes = 0;  // echoed bytes to send and read back: stream `seed`
  std::uint64_t seed = 0;
  double idleSeconds = 0;       // says nothing this long after connecting, then speaks
  double readPauseSeconds = 0;  // sends but reads nothing this long
  bool halfClose = false;       // shuts its sending side after the last byte, reads the rest
  std::uint64_t abortAt = 0;    // abortive close (RST) once this many bytes are sent; 0: never
};

Outcome runConnection(const SoakForwarder& forwarder, const Plan& plan) {
  UniqueSocket connection(connectLoopback(forwarder.port));
  if (!connection) return kConnectFailed;
  if (plan.bytes == 0 && plan.idleSeconds == 0) return kConnectClosed;
  const Socket socket = connection.get();
  setNonBlocking(socket);
  // Nothing may arrive, nor the connection end, while the client is silent.
  const auto idle = std::chrono::milliseconds(static_cast<int>(plan.idleSeconds * 1000));
  if (plan.idleSeconds > 0 && waitSocket(socket, true, false, idle).readable) return kClosedEarly;

  Bytes out = makeHeader(kModeEcho, 0), in(65536);
  std::size_t outAt = 0;
  std::uint64_t sent = 0;  // stream bytes, after the header
  StreamCheck echo;
  bool headerSent = false, shut = false;
  const auto start = Clock::now();
  auto progress = start;
  const auto ended = [&] {
    if (echo.received == 0 && forwarder.scripted) return kRefused;
    return shut ? kHalfCloseLost : kClosedEarly;
  };
  const std::uint64_t limit = plan.abortAt != 0 ? std::min(plan.abortAt, plan.bytes) : plan.bytes;
  for (;;) {
    if (echo.received == plan.bytes && sent == plan.bytes) return kVerified;
    if (plan.abortAt != 0 && sent >= plan.abortAt) {
      resetConnection(connection.release());
      return kAborted;
    }
    if (secondsSince(progress) > kNoProgressSeconds || secondsSince(start) > kConnectionSeconds)
      return kStalled;
    headerSent |= outAt == out.size();
    if (outAt == out.size() && sent < limit) {  // the next piece of the stream
      out.resize(static_cast<std::size_t>(std::min<std::uint64_t>(in.size(), limit - sent)));
      fillStream(plan.seed, sent, out);
      outAt = 0;
    }
    const bool reading = secondsSince(start) >= plan.readPauseSeconds;
    const bool writing = outAt < out.size();
    const WaitItem ready = waitSocket(socket, reading, writing, std::chrono::milliseconds(100));
    if (ready.readable) {
      int got = recvSome(socket, in.data(), in.size());
      if (got > 0) {
        echo.feed(std::span(in.data(), static_cast<std::size_t>(got)));
        if (!echo.intact() || echo.received > sent) return kWrongBytes;
        progress = Clock::now();
      } else if (got == 0 || !isWouldBlock(lastSocketError())) {
        return ended();
      }
    }
    if (ready.writable) {
      int put = sendSome(socket, out.data() + outAt, out.size() - outAt);
      if (put < 0 && !isWouldBlock(lastSocketError())) return ended();
      if (put > 0) {
        sent += headerSent ? static_cast<std::uint64_t>(put) : 0;
        outAt += static_cast<std::size_t>(put);
        progress = Clock::now();
      }
    }
    if (plan.halfClose && !shut && headerSent && sent == plan.bytes)
      shut = shutdownSend(socket) == 0;
  }
}

// ---- The mix of clients ----

enum Kind { kEcho, kSlowReader, kIdle, kHalfClose, kAbort, kConnectClose, kScripted, kKindCount };
constexpr std::array<int, kKindCount> kWeights = {30, 10, 10, 10, 10, 10, 20};

Plan planFor(Kind kind, std::mt19937_64& rng) {
  const auto logUniform = [&](std::uint64_t low, std::uint64_t high) {
    std::uniform_real_distribution<double> exponent(std::log(double(low)), std::log(double(high)));
    return static_cast<std::uint64_t>(std::exp(exponent(rng)));
  };
  const auto uniform = [&](double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(rng);
  };
  Plan plan;
  plan.seed = rng();
  switch (kind) {
    case kEcho:
      plan.bytes = logUniform(1, kMaxEcho);
      break;
    case kSlowReader:
      plan.bytes = logUniform(256 << 10, kMaxEcho);
      plan.readPauseSeconds = uniform(1, 3);
      break;
    case kIdle:
      plan.bytes = logUniform(1, 4096);
      plan.idleSeconds = uniform(2, 5);
      break;
    case kHalfClose:
      plan.bytes = logUniform(1, 256 << 10);
      plan.halfClose = true;
      break;
    case kAbort:
      plan.bytes = logUniform(256 << 10, kMaxEcho);
      plan.abortAt = 1 + rng() % plan.bytes;
      break;
    case kConnectClose:
      break;
    default:  // kScripted: small echoes, some of them refused by the proxy
      plan.bytes = logUniform(1, 64 << 10);
      break;
  }
  return plan;
}

// ---- The forwarder's figures, from /proc ----

struct Figures {
  std::uint64_t threads = 0, handles = 0, rssKib = 0;
  bool alive = false;
};

Figures readFigures(int pid) {
  Figures figures;
  figures.threads = statusValue(pid, "Threads:");
  figures.rssKib = statusValue(pid, "VmRSS:");
  if (DIR* fds = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    figures.alive = true;
    while (dirent* entry = ::readdir(fds)) figures.handles += entry->d_name[0] != '.';
    ::closedir(fds);
  }
  return figures;
}

struct Watch {
  Figures start, peak, warm, after;
  std::mutex mutex;
  std::array<std::uint64_t, kOutcomeCount> outcomes{};  // guarded by mutex
  std::uint64_t verifiedBytes = 0;                      // guarded by mutex
};

}  // namespace

int runSoak(const SoakOptions& options) {
  const SoakForwarder* plain = nullptr;
  const SoakForwarder* scripted = nullptr;
  for (const SoakForwarder& forwarder : options.forwarders)
    (forwarder.scripted ? scripted : plain) = &forwarder;
  if (plain == nullptr) return 1;
  const double warmup = std::min(options.warmupSeconds, options.seconds / 2);
  std::vector<Watch> watches(options.forwarders.size());
  for (std::size_t i = 0; i < watches.size(); ++i)
    watches[i].peak = watches[i].start = readFigures(options.forwarders[i].pid);

  const auto start = Clock::now();
  std::atomic<bool> loadDone{false};
  std::thread sampler([&] {
    for (bool warmTaken = false; !loadDone;
         std::this_thread::sleep_for(std::chrono::milliseconds(500))) {
      const bool warm = !warmTaken && secondsSince(start) >= warmup;
      for (std::size_t i = 0; i < watches.size(); ++i) {
        const Figures now = readFigures(options.forwarders[i].pid);
        Figures& peak = watches[i].peak;
        peak.threads = std::max(peak.threads, now.threads);
        peak.handles = std::max(peak.handles, now.handles);
        peak.rssKib = std::max(peak.rssKib, now.rssKib);
        if (warm) watches[i].warm = now;
      }
      warmTaken |= warm;
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
        const Plan plan = planFor(kind, rng);
        const Outcome outcome = runConnection(target, plan);
        Watch& watch = watches[static_cast<std::size_t>(&target - options.forwarders.data())];
        std::lock_guard<std::mutex> lock(watch.mutex);
        watch.verifiedBytes += outcome == kVerified ? plan.bytes : 0;
        if (++watch.outcomes[outcome] <= 3 && outcome >= kConnectFailed)
          std::fprintf(stderr, "soak: %s on %s after %.0f s\n", kOutcomeKeys[outcome],
                       target.name.c_str(), secondsSince(start));
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  const double loadSeconds = secondsSince(start);
  loadDone = true;
  sampler.join();
  std::this_thread::sleep_for(std::chrono::duration<double>(options.settleSeconds));

  // A line per forwarder: its connections by end, then its figures and the verdict.
  bool pass = true;
  for (std::size_t i = 0; i < watches.size(); ++i) {
    Watch& w = watches[i];
    w.after = readFigures(options.forwarders[i].pid);
    bool ok = w.after.alive && w.after.threads <= w.start.threads &&
              w.after.handles <= w.start.handles && w.after.rssKib <= w.warm.rssKib + kRssSlackKib;
    ResultLine line("name=" + options.build + "/" + options.forwarders[i].name);
    line.add("load_s", loadSeconds);
    line.add("settle_s", options.settleSeconds);
    for (int outcome = 0; outcome < kOutcomeCount; ++outcome) {
      line.add(kOutcomeKeys[outcome], static_cast<double>(w.outcomes[outcome]));
      ok &= outcome < kConnectFailed || w.outcomes[outcome] == 0;
    }
    line.add("verified_bytes", static_cast<double>(w.verifiedBytes));
    const std::pair<const char*, std::uint64_t Figures::*> kinds[] = {
        {"threads", &Figures::threads},
        {"handles", &Figures::handles},
        {"rss_kib", &Figures::rssKib}};
    const std::pair<const char*, const Figures*> whens[] = {
        {"start", &w.start}, {"peak", &w.peak}, {"warm", &w.warm}, {"after", &w.after}};
    for (const auto& [key, field] : kinds) {
      for (const auto& [when, figures] : whens)
        line.add((std::string(key) + "_" + when).c_str(), static_cast<double>(figures->*field));
    }
    line.add("alive", w.after.alive ? 1 : 0);
    line.add("pass", ok ? 1 : 0);
    line.print();
    pass &= ok;
  }
  return pass ? 0 : 1;
}

}  // namespace bench
