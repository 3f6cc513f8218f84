#include "bench/proc_tree.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>

namespace bench {
namespace {

// /proc/<pid>/stat: "pid (comm) state ppid ..."; comm may hold spaces and parentheses, so the
// fields are counted from the last ')'. Field 4 is ppid, 14-17 utime stime cutime cstime.
bool readStat(int pid, std::vector<long long>& fields) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
  std::ifstream in(path);
  std::string line;
  if (!std::getline(in, line)) return false;
  auto close = line.rfind(')');
  if (close == std::string::npos) return false;
  fields.assign(3, 0);  // fields 1-3 (pid, comm, state) are not needed
  const char* cursor = line.c_str() + close + 2;
  while (*cursor && *cursor != ' ') ++cursor;  // state
  while (*cursor) {
    char* end = nullptr;
    long long value = std::strtoll(cursor, &end, 10);
    if (end == cursor) break;
    fields.push_back(value);
    cursor = end;
  }
  return fields.size() > 17;
}

std::uint64_t statusKib(int pid, const char* key) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/status", pid);
  std::ifstream in(path);
  std::string line;
  std::size_t keyLength = std::strlen(key);
  while (std::getline(in, line)) {
    if (line.compare(0, keyLength, key) == 0)
      return std::strtoull(line.c_str() + keyLength, nullptr, 10);
  }
  return 0;
}

}  // namespace

std::vector<int> processTree(int root) {
  std::multimap<int, int> children;  // ppid -> pid
  if (DIR* proc = ::opendir("/proc")) {
    std::vector<long long> fields;
    while (dirent* entry = ::readdir(proc)) {
      int pid = std::atoi(entry->d_name);
      if (pid > 0 && readStat(pid, fields)) children.emplace(static_cast<int>(fields[3]), pid);
    }
    ::closedir(proc);
  }
  std::vector<int> tree{root};
  for (std::size_t i = 0; i < tree.size() && tree.size() < 100000; ++i) {
    auto [first, last] = children.equal_range(tree[i]);
    for (auto it = first; it != last; ++it) tree.push_back(it->second);
  }
  return tree;
}

double treeCpuSeconds(int root) {
  static const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  long long total = 0;
  std::vector<long long> fields;
  for (int pid : processTree(root)) {
    if (readStat(pid, fields)) total += fields[13] + fields[14] + fields[15] + fields[16];
  }
  return static_cast<double>(total) / ticks;
}

std::uint64_t treeRssKib(int root) {
  std::uint64_t sum = 0;
  for (int pid : processTree(root)) sum += statusKib(pid, "VmRSS:");
  return sum;
}

MemorySampler::MemorySampler(int root, int periodMs) : root_(root), periodMs_(periodMs) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/clear_refs", root_);
  if (FILE* file = std::fopen(path, "w")) {
    std::fputs("5", file);  // 5: reset the peak resident set size (VmHWM) to the current one
    std::fclose(file);
  }
  thread_ = std::thread([this] { run(); });
}

MemorySampler::~MemorySampler() {
  stop();
}

void MemorySampler::run() {
  while (!stopping_) {
    std::vector<int> tree = processTree(root_);
    std::uint64_t sum = 0;
    for (int pid : tree) sum += statusKib(pid, "VmRSS:");
    peakKib_ = std::max(peakKib_, sum);
    mostProcesses_ = std::max(mostProcesses_, static_cast<int>(tree.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(periodMs_));
  }
}

std::uint64_t MemorySampler::stop(int* mostProcesses) {
  if (thread_.joinable()) {
    stopping_ = true;
    thread_.join();
    peakKib_ = std::max(peakKib_, statusKib(root_, "VmHWM:"));
  }
  if (mostProcesses) *mostProcesses = mostProcesses_;
  return peakKib_;
}

}  // namespace bench
