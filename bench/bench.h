// quillan-bench: the relay benchmark's client, loopback target, soak client and report. Linux
// only, like the forwarders it compares: the test kit's sockets and streams, with epoll and
// /proc where a benchmark needs them. Everything runs on 127.0.0.1.
#pragma once

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback.h"

namespace bench {

using Clock = std::chrono::steady_clock;
inline double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}
inline int fdOf(Socket socket) {
  return static_cast<int>(socket);
}

// First 16 bytes of every connection to the target:
//   +------+--------+-----------------------+
//   | mode | 7 x 00 | count (u64, big end.) |
//   +------+--------+-----------------------+
// 'E' echo: everything after the header comes back (count unused);
// 'S' source: the target sends `count` bytes of test stream `count` (tests/support/stream.h);
// 'K' sink: the target checks `count` bytes against the stream their first bytes name and
//     answers one byte, kIntactReply when every byte was right.
inline constexpr std::size_t kHeaderSize = 16;
inline constexpr std::uint8_t kModeEcho = 'E', kModeSource = 'S', kModeSink = 'K';
inline constexpr std::uint8_t kIntactReply = 'Y';
Bytes makeHeader(std::uint8_t mode, std::uint64_t count);

// How the client reaches the target: the forwarder's local port, or (`socks`, the floor) a
// SOCKS5 session on `port` with a CONNECT to 127.0.0.1:`target`.
struct Route {
  std::uint16_t port = 0;
  bool socks = false;
  std::uint16_t target = 0;
  std::string user;
  std::string password;
};
// A blocking connection with TCP_NODELAY and send and receive time-outs, the SOCKS5 session
// opened for the floor; empty with a short reason in `error` on failure.
UniqueSocket openRoute(const Route& route, std::string& error);
// Blocking receive of exactly `length` bytes; false on an error, a time-out or an early close.
bool recvAll(Socket socket, void* data, std::size_t length);

// ---- /proc: a forwarder's process tree ----
std::uint64_t statusValue(int pid, const char* key);  // a number from /proc/<pid>/status
// utime + stime + cutime + cstime over the live tree: a fork-per-connection child's time
// reaches its parent when reaped, so children that came and went count once.
double treeCpuSeconds(int root);
std::uint64_t treeRssKib(int root);
// Samples the sum of VmRSS over the tree every 100 ms until stopped, and takes the root's
// VmHWM (reset first through clear_refs) if larger; also the most processes seen at once.
struct MemorySampler {
  explicit MemorySampler(int root);
  ~MemorySampler() { stop(); }
  std::uint64_t stop();
  int root, mostProcesses = 0;
  std::uint64_t peakKib = 0;
  std::atomic<bool> stopping{false};
  std::thread thread;
};

// ---- Results: one line of key=value pairs per forwarder and round (or soak forwarder) ----
class ResultLine {
 public:
  explicit ResultLine(const std::string& prefix) : text_(prefix) {}
  void add(const char* key, double value, int decimals = 0);
  void print() const;  // to standard output, flushed

 private:
  std::string text_;
};

struct MeasureOptions {
  Route route;
  int forwarderPid = 0;  // 0: no forwarder (the floor), no CPU or memory figures
  int extraCpuPid = 0;   // another process whose CPU counts as the forwarder's (wineserver)
  std::uint64_t streamBytes = std::uint64_t{1} << 30;
  int rttCount = 5000, setupCount = 500, echoConnections = 200, idleConnections = 200;
  std::uint64_t echoBytes = std::uint64_t{32} << 20;
  double stallSeconds = 10, echoDeadlineSeconds = 240, streamDeadlineSeconds = 120;
  double idleSeconds = 60;
  bool up = true, down = true, rtt = true, setup = true, echo = true, idle = false;
};
// Runs the selected tests and prints their line; false if a test could not run at all.
bool measureAll(const MeasureOptions& options, const std::string& prefix);

struct ReportOptions {
  std::string resultsPath, floor = "floor", ours = "quillan-run";
  std::vector<std::string> variants;  // more rows of ours, after it (quillan-run+log)
  std::vector<std::string> peers;
  std::vector<std::string> extras;  // rows shown in a separate table (the login variants)
  std::string note;                 // printed under the tables
  // The Windows build under Wine and its reference relay: their own table, ratios to the
  // reference, and a target row.
  std::string wineOurs, wineReference;
  bool soak = false;  // the lines are a soak run's: its table only
};
int printReport(const ReportOptions& options);

// One forwarder under soak load: its local port, its process, and whether a scripted proxy
// (refusing, resetting or stalling some sessions) is behind it.
struct SoakForwarder {
  std::string name;
  std::uint16_t port = 0;
  int pid = 0;
  bool scripted = false;
};
struct SoakOptions {
  std::string build = "native";  // the first word of each line's name
  std::vector<SoakForwarder> forwarders;
  double seconds = 600;
  double warmupSeconds = 60;  // the resident-memory reference is taken here
  double settleSeconds = 20;  // the after-load figures are taken this long after the last close
  int concurrency = 50;
  bool halfClose = true;
  std::uint64_t seed = 1;
};
// Runs the soak and prints a line per forwarder; 0 when it passed, 1 otherwise.
int runSoak(const SoakOptions& options);

// Serves echo, source and sink on 127.0.0.1:port until SIGINT or SIGTERM; the exit code.
int runTargetServer(std::uint16_t port);

}  // namespace bench
