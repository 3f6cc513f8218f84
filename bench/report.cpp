#include "bench/report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace bench {
namespace {

// name -> key -> the values of every round (NaN where the test did not run)
using Results = std::map<std::string, std::map<std::string, std::vector<double>>>;

Results readResults(const std::string& path, int& rounds) {
  Results results;
  std::ifstream in(path);
  std::string line;
  std::map<std::string, int> roundsOf;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string word, name;
    std::map<std::string, double> values;
    while (words >> word) {
      auto equals = word.find('=');
      if (equals == std::string::npos) continue;
      std::string key = word.substr(0, equals), value = word.substr(equals + 1);
      if (key == "name") {
        name = value;
      } else {
        values[key] = value == "nan" ? NAN : std::strtod(value.c_str(), nullptr);
      }
    }
    if (name.empty()) continue;
    ++roundsOf[name];
    for (auto& [key, value] : values) results[name][key].push_back(value);
  }
  rounds = 0;
  for (auto& [name, count] : roundsOf) rounds = std::max(rounds, count);
  return results;
}

struct Stat {
  double median = NAN;
  int valid = 0;
  int total = 0;
  double sum = 0;
};

Stat stat(const Results& results, const std::string& name, const std::string& key) {
  Stat s;
  auto row = results.find(name);
  if (row == results.end()) return s;
  auto column = row->second.find(key);
  if (column == row->second.end()) return s;
  std::vector<double> values;
  for (double v : column->second) {
    ++s.total;
    if (!std::isnan(v)) {
      values.push_back(v);
      s.sum += v;
    }
  }
  s.valid = static_cast<int>(values.size());
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  std::size_t n = values.size();
  s.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  return s;
}

double median(const Results& results, const std::string& name, const std::string& key) {
  return stat(results, name, key).median;
}

enum class Kind { Higher, Lower, Count };

struct Metric {
  const char* key;
  const char* title;
  Kind kind;
  int decimals;
  const char* okKey;  // rounds whose integrity flag is 0 are marked
};

const Metric kMetrics[] = {
    {"up_mbps", "up MB/s", Kind::Higher, 0, "up_ok"},
    {"down_mbps", "down MB/s", Kind::Higher, 0, "down_ok"},
    {"cpu_s_per_gib", "CPU s/GiB", Kind::Lower, 2, nullptr},
    {"rtt_med_us", "RTT med µs", Kind::Lower, 0, nullptr},
    {"rtt_p99_us", "RTT p99 µs", Kind::Lower, 0, nullptr},
    {"setup_med_us", "setup med µs", Kind::Lower, 0, nullptr},
    {"conn_rate", "conn/s", Kind::Higher, 0, nullptr},
    {"echo_s", "200×32 MiB echo s", Kind::Lower, 1, nullptr},
    {"echo_fail", "fail", Kind::Count, 0, nullptr},
    {"echo_stall", "stalls", Kind::Count, 0, nullptr},
    {"mem_peak_mib", "peak MiB", Kind::Lower, 1, nullptr},
};

std::string number(double value, int decimals) {
  if (std::isnan(value)) return "–";
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// The best peer's median for a metric (highest or lowest), NaN if no peer has it.
double bestPeer(const Results& results, const ReportOptions& options, const std::string& key,
                Kind kind, std::string* who = nullptr) {
  double best = NAN;
  for (const auto& peer : options.peers) {
    double v = median(results, peer, key);
    if (std::isnan(v)) continue;
    if (std::isnan(best) || (kind == Kind::Higher ? v > best : v < best)) {
      best = v;
      if (who) *who = peer;
    }
  }
  return best;
}

std::string cell(const Results& results, const ReportOptions& options, const std::string& name,
                 const Metric& metric, bool ratios) {
  Stat s = stat(results, name, metric.key);
  if (s.total == 0) return "";
  if (metric.kind == Kind::Count) {
    return s.valid == 0 ? "–" : number(s.sum, 0);
  }
  std::string text = number(s.median, metric.decimals);
  if (metric.okKey) {
    Stat ok = stat(results, name, metric.okKey);
    if (ok.valid > 0 && ok.sum < ok.valid) text += " **hash✗**";
  }
  if (s.valid < s.total)
    text += " (" + std::to_string(s.valid) + "/" + std::to_string(s.total) + ")";
  if (ratios && name != options.floor) {
    double floor = median(results, options.floor, metric.key);
    double peer = bestPeer(results, options, metric.key, metric.kind);
    text += " <sub>" + number(s.median / floor, 2) + "f " + number(s.median / peer, 2) + "p</sub>";
  }
  return text;
}

void printTable(const Results& results, const ReportOptions& options,
                const std::vector<std::string>& names, bool ratios) {
  std::printf("| forwarder |");
  for (const auto& m : kMetrics) std::printf(" %s |", m.title);
  std::printf("\n|---|");
  for (std::size_t i = 0; i < std::size(kMetrics); ++i) std::printf("---:|");
  std::printf("\n");
  for (const auto& name : names) {
    if (results.find(name) == results.end()) continue;
    std::printf("| %s |", name.c_str());
    for (const auto& m : kMetrics)
      std::printf(" %s |", cell(results, options, name, m, ratios).c_str());
    std::printf("\n");
  }
}

double lowerDirection(const Results& results, const std::string& name) {
  return std::min(median(results, name, "up_mbps"), median(results, name, "down_mbps"));
}

}  // namespace

int printReport(const ReportOptions& options) {
  int rounds = 0;
  Results results = readResults(options.resultsPath, rounds);
  if (results.empty()) {
    std::fprintf(stderr, "report: no results in %s\n", options.resultsPath.c_str());
    return 1;
  }
  std::vector<std::string> names{options.ours};
  names.insert(names.end(), options.peers.begin(), options.peers.end());
  names.push_back(options.floor);

  std::printf(
      "Medians of %d rounds; fail and stalls are summed over all rounds. Under each value:"
      " ratio to the floor (f) and to the best peer (p).\n\n",
      rounds);
  printTable(results, options, names, true);

  // The benchmark's targets for our forwarder.
  const std::string& ours = options.ours;
  const std::string& floor = options.floor;
  double oursLow = lowerDirection(results, ours);
  double floorLow = lowerDirection(results, floor);
  double peerLow = NAN;
  std::string peerLowName;
  for (const auto& peer : options.peers) {
    double v = lowerDirection(results, peer);
    if (!std::isnan(v) && (std::isnan(peerLow) || v > peerLow)) {
      peerLow = v;
      peerLowName = peer;
    }
  }
  std::string rateName;
  double peerRate = bestPeer(results, options, "conn_rate", Kind::Higher, &rateName);
  double oursRate = median(results, ours, "conn_rate");
  double floorRate = median(results, floor, "conn_rate");
  double cpu = median(results, ours, "cpu_s_per_gib");
  double rtt = median(results, ours, "rtt_med_us");
  double floorRtt = median(results, floor, "rtt_med_us");
  Stat fail = stat(results, ours, "echo_fail");
  Stat stall = stat(results, ours, "echo_stall");
  double memory = median(results, ours, "mem_peak_mib");

  auto verdict = [](bool pass, double a) {
    return std::isnan(a) ? "–" : pass ? "pass" : "**miss**";
  };
  std::printf("\n| target (%s) | required | measured | result |\n|---|---|---|---|\n",
              ours.c_str());
  std::printf(
      "| throughput, lower direction vs floor | ≥ 0.90 × floor (%s MB/s) | %s MB/s = %s × | %s |\n",
      number(floorLow, 0).c_str(), number(oursLow, 0).c_str(),
      number(oursLow / floorLow, 2).c_str(),
      verdict(oursLow >= 0.9 * floorLow, oursLow / floorLow));
  std::printf("| throughput, lower direction vs best peer | ≥ 1.10 × %s (%s MB/s) | %s × | %s |\n",
              peerLowName.c_str(), number(peerLow, 0).c_str(), number(oursLow / peerLow, 2).c_str(),
              verdict(oursLow >= 1.1 * peerLow, oursLow / peerLow));
  std::printf("| forwarder CPU | ≤ 0.60 s/GiB | %s s/GiB | %s |\n", number(cpu, 2).c_str(),
              verdict(cpu <= 0.6, cpu));
  std::printf("| RTT median | ≤ floor + 30 µs (%s µs) | %s µs (floor %+.1f µs) | %s |\n",
              number(floorRtt + 30, 1).c_str(), number(rtt, 1).c_str(), rtt - floorRtt,
              verdict(rtt <= floorRtt + 30, rtt - floorRtt));
  std::printf("| connection rate vs best peer | ≥ 1.5 × %s (%s/s) | %s/s = %s × | %s |\n",
              rateName.c_str(), number(peerRate, 0).c_str(), number(oursRate, 0).c_str(),
              number(oursRate / peerRate, 2).c_str(),
              verdict(oursRate >= 1.5 * peerRate, oursRate / peerRate));
  std::printf("| connection rate vs floor | ≥ 0.70 × floor (%s/s) | %s × | %s |\n",
              number(floorRate, 0).c_str(), number(oursRate / floorRate, 2).c_str(),
              verdict(oursRate >= 0.7 * floorRate, oursRate / floorRate));
  bool echoRan = fail.valid > 0 && stall.valid > 0;
  std::printf(
      "| 200 × 32 MiB echo | no failure, no stall (%d rounds) | %s failures, %s stalls | %s |\n",
      fail.total, number(fail.sum, 0).c_str(), number(stall.sum, 0).c_str(),
      verdict(echoRan && fail.sum == 0 && stall.sum == 0 && fail.valid == fail.total,
              echoRan ? 0.0 : NAN));
  std::printf("| peak memory, 200 connections | ≤ 20 MiB | %s MiB | %s |\n",
              number(memory, 1).c_str(), verdict(memory <= 20, memory));

  bool anyExtra = false;
  for (const auto& name : options.extras) anyExtra |= results.count(name) > 0;
  if (anyExtra) {
    std::printf("\nWith username/password (Dante's `username` method), same tests where run:\n\n");
    printTable(results, options, options.extras, false);
  }
  return 0;
}

}  // namespace bench
