// CPU time and memory of a forwarder and every process it started, read from /proc.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace bench {

// The process and all its descendants (children of children too), root first.
std::vector<int> processTree(int root);

// utime + stime + cutime + cstime summed over the live tree. A child's time reaches its parent's
// cutime/cstime when it is reaped, so children that came and went (fork-per-connection
// forwarders) are counted once, through the parent that waited for them.
double treeCpuSeconds(int root);

// VmRSS summed over the live tree, KiB.
std::uint64_t treeRssKib(int root);

// Peak resident memory of the tree while a test runs: sampled every `periodMs` as the sum of
// VmRSS over the live tree, and, for the root, its VmHWM (reset at start through clear_refs),
// which also catches peaks between samples. Shared pages (libraries, copy-on-write pages after
// fork) count once per process, so a fork-per-connection tree is overstated, not understated.
class MemorySampler {
 public:
  MemorySampler(int root, int periodMs);
  ~MemorySampler();
  MemorySampler(const MemorySampler&) = delete;
  MemorySampler& operator=(const MemorySampler&) = delete;
  // Stops sampling; returns the peak in KiB and the most processes seen at once.
  std::uint64_t stop(int* mostProcesses = nullptr);

 private:
  void run();

  int root_;
  int periodMs_;
  std::atomic<bool> stopping_{false};
  std::uint64_t peakKib_ = 0;
  int mostProcesses_ = 0;
  std::thread thread_;
};

}  // namespace bench
