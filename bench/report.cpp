// Turns the result lines of all rounds (or of a soak run) into the markdown tables.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "bench/bench.h"

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
  const char* okKey;    // rounds whose integrity flag is 0 are marked
  const char* failKey;  // a count shown beside the value when not 0
  bool compared;        // shown with ratios and part of the Windows build's target
};

const Metric kMetrics[] = {
    {"up_mbps", "up MB/s", Kind::Higher, 0, "up_ok", nullptr, true},
    {"down_mbps", "down MB/s", Kind::Higher, 0, "down_ok", nullptr, true},
    {"cpu_s_per_gib", "CPU s/GiB", Kind::Lower, 2, nullptr, nullptr, true},
    {"rtt_med_us", "RTT med µs", Kind::Lower, 0, nullptr, nullptr, true},
    {"rtt_p99_us", "RTT p99 µs", Kind::Lower, 0, nullptr, nullptr, true},
    {"setup_med_us", "setup med µs", Kind::Lower, 0, nullptr, nullptr, true},
    {"conn_rate", "conn/s", Kind::Higher, 0, nullptr, nullptr, true},
    {"echo_s", nullptr, Kind::Lower, 1, nullptr, nullptr, true},  // titled with its sizes
    {"echo_fail", "fail", Kind::Count, 0, nullptr, nullptr, true},
    {"echo_stall", "stalls", Kind::Count, 0, nullptr, nullptr, true},
    {"mem_peak_mib", "peak MiB", Kind::Lower, 1, nullptr, nullptr, true},
    {"idle_cpu_pct", "idle CPU %", Kind::Lower, 2, nullptr, "idle_fail", false},
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

// What the value of a row is compared with: nothing, the floor and the best peer, or one
// reference row.
enum class Ratios { kNone, kFloorAndPeer, kReference };

std::string cell(const Results& results, const ReportOptions& options, const std::string& name,
                 const Metric& metric, Ratios ratios, const std::string& reference) {
  Stat s = stat(results, name, metric.key);
  if (s.total == 0) return "";
  if (metric.kind == Kind::Count) {
    return s.valid == 0 ? "–" : number(s.sum, 0);
  }
  std::string text = number(s.median, metric.decimals);
  if (metric.okKey) {
    Stat ok = stat(results, name, metric.okKey);
    if (ok.valid > 0 && ok.sum < ok.valid) text += " **bytes✗**";
  }
  if (metric.failKey) {
    Stat failed = stat(results, name, metric.failKey);
    if (failed.sum > 0) text += " **" + number(failed.sum, 0) + " fail**";
  }
  if (s.valid < s.total)
    text += " (" + std::to_string(s.valid) + "/" + std::to_string(s.total) + ")";
  if (!metric.compared) return text;
  if (ratios == Ratios::kFloorAndPeer && name != options.floor) {
    double floor = median(results, options.floor, metric.key);
    double peer = bestPeer(results, options, metric.key, metric.kind);
    text += " <sub>" + number(s.median / floor, 2) + "f " + number(s.median / peer, 2) + "p</sub>";
  }
  if (ratios == Ratios::kReference && name != reference) {
    text += " <sub>" + number(s.median / median(results, reference, metric.key), 2) + "r</sub>";
  }
  return text;
}

// The first median of `key` among `names` (the sizes a table's rows were measured with).
double firstMedian(const Results& results, const std::vector<std::string>& names,
                   const std::string& key) {
  for (const auto& name : names) {
    double value = median(results, name, key);
    if (!std::isnan(value)) return value;
  }
  return NAN;
}

std::string echoTitle(const Results& results, const std::vector<std::string>& names) {
  double connections = firstMedian(results, names, "echo_conns");
  double mib = firstMedian(results, names, "echo_mib");
  if (std::isnan(connections) || std::isnan(mib)) return "200×32 MiB echo s";
  return number(connections, 0) + "×" + number(mib, 0) + " MiB echo s";
}

// One line with the sizes of the tests the table's rows ran.
void printSizes(const Results& results, const std::vector<std::string>& names) {
  std::string text;
  auto add = [&](const char* key, const std::string& what) {
    if (!std::isnan(firstMedian(results, names, key))) text += (text.empty() ? "" : ", ") + what;
  };
  auto value = [&](const char* key) { return number(firstMedian(results, names, key), 0); };
  add("stream_mib", value("stream_mib") + " MiB each way");
  add("rtt_count", value("rtt_count") + " round trips");
  add("setup_count", value("setup_count") + " setups");
  add("echo_conns", value("echo_conns") + " × " + value("echo_mib") + " MiB echoed");
  add("idle_conns", value("idle_conns") + " connections idle for " + value("idle_s") + " s");
  if (!text.empty()) std::printf("Sizes: %s.\n\n", text.c_str());
}

// `sized` are the rows whose sizes title the echo column (a table's own rows by default).
void printTable(const Results& results, const ReportOptions& options,
                const std::vector<std::string>& names, Ratios ratios,
                const std::string& reference = "",
                const std::vector<std::string>* sized = nullptr) {
  std::printf("| forwarder |");
  for (const auto& m : kMetrics)
    std::printf(" %s |", m.title ? m.title : echoTitle(results, sized ? *sized : names).c_str());
  std::printf("\n|---|");
  for (std::size_t i = 0; i < std::size(kMetrics); ++i) std::printf("---:|");
  std::printf("\n");
  for (const auto& name : names) {
    if (results.find(name) == results.end()) continue;
    std::printf("| %s |", name.c_str());
    for (const auto& m : kMetrics)
      std::printf(" %s |", cell(results, options, name, m, ratios, reference).c_str());
    std::printf("\n");
  }
}

// The Windows build against the reference, column by column: a score of at least 0.9 passes
// (ours / reference for rates, reference / ours for times, CPU and memory; failures and stalls
// pass when ours has no more than the reference). Fills `misses` and returns the lowest score.
double windowsScore(const Results& results, const ReportOptions& options, std::string& lowest,
                    std::string& misses, int& compared) {
  double worst = NAN;
  compared = 0;
  for (const auto& m : kMetrics) {
    if (!m.compared) continue;
    std::string title = m.title ? m.title : "echo s";
    if (m.kind == Kind::Count) {
      Stat ours = stat(results, options.wineOurs, m.key);
      Stat reference = stat(results, options.wineReference, m.key);
      if (ours.valid == 0 || reference.valid == 0) continue;
      ++compared;
      if (ours.sum > reference.sum) misses += (misses.empty() ? "" : ", ") + title;
      continue;
    }
    double ours = median(results, options.wineOurs, m.key);
    double reference = median(results, options.wineReference, m.key);
    if (std::isnan(ours) || std::isnan(reference)) continue;
    ++compared;
    double score = m.kind == Kind::Higher ? ours / reference : reference / ours;
    if (score < 0.9) misses += (misses.empty() ? "" : ", ") + title + " " + number(score, 2);
    if (std::isnan(worst) || score < worst) {
      worst = score;
      lowest = title;
    }
  }
  return worst;
}

double lowerDirection(const Results& results, const std::string& name) {
  return std::min(median(results, name, "up_mbps"), median(results, name, "down_mbps"));
}

// The soak run: a row per forwarder, connections by end, failures, and the forwarder's threads,
// descriptors and resident memory at the start, the peak and after the load.
int printSoak(const Results& results) {
  const char* const ends[] = {"verified", "aborted", "connect_close", "refused"};
  const char* const failures[] = {"connect_failed", "wrong_bytes", "closed_early", "stalled",
                                  "half_close_lost"};
  const auto sum = [&](const std::string& name, const char* key) {
    return stat(results, name, key).sum;
  };
  const auto figures = [&](const std::string& name, const char* key, double scale, int decimals) {
    std::string text;
    for (const char* when : {"_start", "_peak", "_after"})
      text += (text.empty() ? "" : "/") +
              number(sum(name, (std::string(key) + when).c_str()) / scale, decimals);
    return text;
  };
  std::printf(
      "| forwarder | connections | bytes verified | failures | threads start/peak/after |"
      " descriptors start/peak/after | RSS MiB start/peak/after (after warm-up) | result |\n"
      "|---|---:|---:|---|---|---|---|---|\n");
  int failed = 0;
  for (const auto& [name, values] : results) {
    std::string endText, failureText;
    double connections = 0;
    for (const char* key : ends) {
      connections += sum(name, key);
      if (sum(name, key) > 0)
        endText += (endText.empty() ? "" : ", ") + number(sum(name, key), 0) + " " + key;
    }
    for (const char* key : failures) {
      connections += sum(name, key);
      if (sum(name, key) > 0)
        failureText += (failureText.empty() ? "" : ", ") + number(sum(name, key), 0) + " " + key;
    }
    const bool pass = sum(name, "pass") > 0;
    failed += pass ? 0 : 1;
    std::printf("| %s | %s (%s) | %s | %s | %s | %s | %s (%s) | %s |\n", name.c_str(),
                number(connections, 0).c_str(), endText.c_str(),
                number(sum(name, "verified_bytes"), 0).c_str(),
                failureText.empty() ? "none" : failureText.c_str(),
                figures(name, "threads", 1, 0).c_str(), figures(name, "handles", 1, 0).c_str(),
                figures(name, "rss_kib", 1024, 1).c_str(),
                number(sum(name, "rss_kib_warm") / 1024, 1).c_str(),
                pass                      ? "pass"
                : sum(name, "alive") == 0 ? "**fail**: gone"
                : failureText.empty()     ? "**fail**: not back after the load"
                                          : "**fail**");
  }
  return failed == 0 ? 0 : 1;
}

}  // namespace

int printReport(const ReportOptions& options) {
  int rounds = 0;
  Results results = readResults(options.resultsPath, rounds);
  if (results.empty()) {
    std::fprintf(stderr, "report: no results in %s\n", options.resultsPath.c_str());
    return 1;
  }
  if (options.soak) return printSoak(results);
  std::vector<std::string> names{options.ours};
  names.insert(names.end(), options.variants.begin(), options.variants.end());
  names.insert(names.end(), options.peers.begin(), options.peers.end());
  names.push_back(options.floor);

  std::printf(
      "Medians of %d rounds; fail and stalls are summed over all rounds. Under each value:"
      " ratio to the floor (f) and to the best peer (p).\n\n",
      rounds);
  bool anyNative = false;
  for (const auto& name : names) anyNative |= results.count(name) > 0;
  if (anyNative) {
    printSizes(results, names);
    printTable(results, options, names, Ratios::kFloorAndPeer);
  }

  const std::vector<std::string> wineNames{options.wineOurs, options.wineReference};
  bool wine = !options.wineOurs.empty() &&
              (results.count(options.wineOurs) > 0 || results.count(options.wineReference) > 0);
  if (wine) {
    std::printf(
        "\nWindows build under wine64 (CPU: the program's process and the prefix's wineserver)."
        " Under each value: ratio to %s (r).\n\n",
        options.wineReference.c_str());
    printSizes(results, wineNames);
    printTable(results, options, wineNames, Ratios::kReference, options.wineReference);
  }
  if (!options.note.empty()) std::printf("\n%s\n", options.note.c_str());  // under the tables

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
  if (wine) {
    std::string lowest, misses;
    int compared = 0;
    double worst = windowsScore(results, options, lowest, misses, compared);
    std::string measured =
        compared == 0
            ? "–"
            : std::to_string(compared) + " columns" +
                  (std::isnan(worst) ? "" : "; lowest " + lowest + " " + number(worst, 2)) +
                  (misses.empty() ? "" : "; below: " + misses);
    std::printf("| Windows build (%s) vs %s | ≥ 0.90 × %s in every column | %s | %s |\n",
                options.wineOurs.c_str(), options.wineReference.c_str(),
                options.wineReference.c_str(), measured.c_str(),
                compared == 0    ? "–"
                : misses.empty() ? "pass"
                                 : "**miss**");
  }

  bool anyExtra = false;
  for (const auto& name : options.extras) anyExtra |= results.count(name) > 0;
  if (anyExtra) {
    std::printf("\nWith username/password (Dante's `username` method), same tests where run:\n\n");
    printTable(results, options, options.extras, Ratios::kNone, "", &names);
  }
  return 0;
}

}  // namespace bench
