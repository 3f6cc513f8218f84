// CPU time and memory of a forwarder and every process it started, read from /proc; and the
// result lines every figure is written in.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>

#include "bench/bench.h"

namespace bench {
namespace {

// /proc/<pid>/stat: "pid (comm) state ppid ..."; comm may hold spaces and parentheses, so the
// fields are counted from the last ')'. fields[k] is field k + 4: 0 ppid, 10-13 utime stime
// cutime cstime.
bool readStat(int pid, std::vector<long long>& fields) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  const auto close = std::getline(in, line) ? line.rfind(") ") : std::string::npos;
  if (close == std::string::npos) return false;
  fields.clear();
  const char* cursor = line.c_str() + close + 4;  // past ") " and the state letter
  for (char* end = nullptr;; cursor = end) {
    const long long value = std::strtoll(cursor, &end, 10);
    if (end == cursor) break;
    fields.push_back(value);
  }
  return fields.size() > 13;
}

// The process and all its descendants (children of children too), root first.
std::vector<int> processTree(int root) {
  std::multimap<int, int> children;  // ppid -> pid
  if (DIR* proc = ::opendir("/proc")) {
    std::vector<long long> fields;
    while (dirent* entry = ::readdir(proc)) {
      const int pid = std::atoi(entry->d_name);
      if (pid > 0 && readStat(pid, fields)) children.emplace(static_cast<int>(fields[0]), pid);
    }
    ::closedir(proc);
  }
  std::vector<int> tree{root};
  for (std::size_t i = 0; i < tree.size() && tree.size() < 100000; ++i) {
    const auto [first, last] = children.equal_range(tree[i]);
    for (auto it = first; it != last; ++it) tree.push_back(it->second);
  }
  return tree;
}

}  // namespace

std::uint64_t statusValue(int pid, const char* key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  const std::size_t keyLength = std::strlen(key);
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, keyLength, key) == 0)
      return std::strtoull(line.c_str() + keyLength, nullptr, 10);
  }
  return 0;
}

double treeCpuSeconds(int root) {
  static const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  long long total = 0;
  std::vector<long long> fields;
  for (int pid : processTree(root)) {
    if (readStat(pid, fields)) total += fields[10] + fields[11] + fields[12] + fields[13];
  }
  return static_cast<double>(total) / ticks;
}

namespace {

std::uint64_t rssKib(const std::vector<int>& tree) {
  std::uint64_t sum = 0;
  for (int pid : tree) sum += statusValue(pid, "VmRSS:");
  return sum;
}

}  // namespace

std::uint64_t treeRssKib(int root) {
  return rssKib(processTree(root));
}

MemorySampler::MemorySampler(int root) : root(root) {
  if (std::FILE* file =
          std::fopen(("/proc/" + std::to_string(root) + "/clear_refs").c_str(), "w")) {
    std::fputs("5", file);  // 5: reset the peak resident set size (VmHWM) to the current one
    std::fclose(file);
  }
  thread = std::thread([this] {
    while (!stopping) {
      const std::vector<int> tree = processTree(this->root);
      peakKib = std::max(peakKib, rssKib(tree));
      mostProcesses = std::max(mostProcesses, static_cast<int>(tree.size()));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
}

std::uint64_t MemorySampler::stop() {
  if (thread.joinable()) {
    stopping = true;
    thread.join();
    peakKib = std::max(peakKib, statusValue(root, "VmHWM:"));
  }
  return peakKib;
}

void ResultLine::add(const char* key, double value, int decimals) {
  char text[96];
  if (std::isnan(value)) {
    std::snprintf(text, sizeof text, " %s=nan", key);
  } else {
    std::snprintf(text, sizeof text, " %s=%.*f", key, decimals, value);
  }
  text_ += text;
}

void ResultLine::print() const {
  std::printf("%s\n", text_.c_str());
  std::fflush(stdout);
}

}  // namespace bench
