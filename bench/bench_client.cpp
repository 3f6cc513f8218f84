// quillan-bench: the relay benchmark's client, loopback target and report.
//
//   quillan-bench target --listen 127.0.0.1:PORT
//   quillan-bench measure --name NAME [--round N] (--connect HOST:PORT | --socks HOST:PORT
//       [--user U --password W]) --target HOST:PORT [--pid PID] [--cpu-pid PID]
//       [--tests up,down,rtt,setup,echo,idle] [--stream-mib N] [--rtt-count N] [--setup-count N]
//       [--echo-conns N] [--echo-mib N] [--stall-s N] [--echo-deadline-s N] [--idle-conns N]
//       [--idle-s N]
//     --cpu-pid: another process whose CPU time counts as the forwarder's (under Wine: the
//     prefix's wineserver). Without --tests: all but idle.
//   quillan-bench report --results FILE [--floor NAME] [--ours NAME] [--peers A,B,..]
//       [--extras A,B,..] [--wine-ours NAME --wine-ref NAME]
//   quillan-bench soak --local HOST:PORT --pid PID [--scripted-local HOST:PORT --scripted-pid PID]
//       [--seconds N] [--concurrency N] [--half-close on|off] [--handles-label TEXT] [--seed N]
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_net.h"
#include "bench/measure.h"
#include "bench/report.h"
#include "bench/soak.h"
#include "bench/target_server.h"

namespace {

std::vector<std::string> splitList(const std::string& text) {
  std::vector<std::string> items;
  std::istringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (!item.empty()) items.push_back(item);
  }
  return items;
}

int usage() {
  std::fprintf(
      stderr,
      "usage: quillan-bench target --listen HOST:PORT\n"
      "       quillan-bench measure --name NAME (--connect HOST:PORT | --socks HOST:PORT"
      " [--user U --password W]) --target HOST:PORT [--pid PID] [--cpu-pid PID] [--round N]\n"
      "             [--tests up,down,rtt,setup,echo,idle] [--stream-mib N] [--rtt-count N]"
      " [--setup-count N] [--echo-conns N] [--echo-mib N] [--stall-s N]"
      " [--echo-deadline-s N] [--idle-conns N] [--idle-s N]\n"
      "       quillan-bench report --results FILE [--floor NAME] [--ours NAME]"
      " [--peers A,B] [--extras A,B] [--wine-ours NAME --wine-ref NAME]\n"
      "       quillan-bench soak --local HOST:PORT --pid PID [--scripted-local HOST:PORT"
      " --scripted-pid PID] [--seconds N] [--concurrency N] [--half-close on|off]"
      " [--handles-label TEXT] [--seed N]\n");
  return 2;
}

// Reads "--key value" pairs; false on an odd or unknown option.
bool readOptions(int argc, char** argv, const std::vector<std::string>& known,
                 std::vector<std::pair<std::string, std::string>>& out) {
  for (int i = 2; i < argc; i += 2) {
    std::string key = argv[i];
    if (i + 1 >= argc || key.rfind("--", 0) != 0) return false;
    bool found = false;
    for (const auto& k : known) found |= k == key.substr(2);
    if (!found) {
      std::fprintf(stderr, "unknown option %s\n", key.c_str());
      return false;
    }
    out.emplace_back(key.substr(2), argv[i + 1]);
  }
  return true;
}

int runMeasure(int argc, char** argv) {
  std::vector<std::pair<std::string, std::string>> options;
  if (!readOptions(argc, argv,
                   {"name", "round", "connect", "socks", "user", "password", "target", "pid",
                    "tests", "stream-mib", "rtt-count", "setup-count", "echo-conns", "echo-mib",
                    "stall-s", "echo-deadline-s", "cpu-pid", "idle-conns", "idle-s"},
                   options)) {
    return usage();
  }
  bench::MeasureOptions m;
  std::string name = "unnamed", round = "0", tests = "up,down,rtt,setup,echo";
  bool haveFirst = false, haveTarget = false;
  for (const auto& [key, value] : options) {
    if (key == "name") name = value;
    if (key == "round") round = value;
    if (key == "connect" || key == "socks") {
      haveFirst = bench::parseEndpoint(value, m.route.first);
      m.route.socks = key == "socks";
    }
    if (key == "user") m.route.user = value;
    if (key == "password") m.route.password = value;
    if (key == "target") haveTarget = bench::parseEndpoint(value, m.target);
    if (key == "pid") m.forwarderPid = std::atoi(value.c_str());
    if (key == "cpu-pid") m.extraCpuPid = std::atoi(value.c_str());
    if (key == "idle-conns") m.idleConnections = std::atoi(value.c_str());
    if (key == "idle-s") m.idleSeconds = std::atof(value.c_str());
    if (key == "tests") tests = value;
    if (key == "stream-mib") m.streamBytes = std::strtoull(value.c_str(), nullptr, 10) << 20;
    if (key == "rtt-count") m.rttCount = std::atoi(value.c_str());
    if (key == "setup-count") m.setupCount = std::atoi(value.c_str());
    if (key == "echo-conns") m.echoConnections = std::atoi(value.c_str());
    if (key == "echo-mib") m.echoBytes = std::strtoull(value.c_str(), nullptr, 10) << 20;
    if (key == "stall-s") m.stallSeconds = std::atof(value.c_str());
    if (key == "echo-deadline-s") m.echoDeadlineSeconds = std::atof(value.c_str());
  }
  if (!haveFirst || !haveTarget || m.streamBytes == 0 || m.echoBytes == 0 || m.rttCount <= 0 ||
      m.setupCount <= 0 || m.echoConnections <= 0 || m.idleConnections <= 0 ||
      !(m.idleSeconds > 0)) {
    return usage();
  }
  m.route.target = m.target;
  auto selected = splitList(tests);
  auto has = [&](const char* test) {
    for (const auto& t : selected) {
      if (t == test) return true;
    }
    return false;
  };
  m.up = has("up");
  m.down = has("down");
  m.rtt = has("rtt");
  m.setup = has("setup");
  m.echo = has("echo");
  m.idle = has("idle");
  return bench::measureAll(m, "name=" + name + " round=" + round) ? 0 : 1;
}

// The forwarder in front of the real proxy comes first; the one in front of the scripted proxy
// (refusals, resets, silence) is optional.
int runSoakCommand(int argc, char** argv) {
  std::vector<std::pair<std::string, std::string>> options;
  if (!readOptions(argc, argv,
                   {"local", "pid", "scripted-local", "scripted-pid", "seconds", "concurrency",
                    "half-close", "handles-label", "seed"},
                   options)) {
    return usage();
  }
  bench::SoakOptions soak;
  bench::SoakForwarder plain{"forwarder/Dante", {}, 0, false};
  bench::SoakForwarder scripted{"forwarder/scripted", {}, 0, true};
  bool havePlain = false, haveScripted = false;
  for (const auto& [key, value] : options) {
    if (key == "local") havePlain = bench::parseEndpoint(value, plain.local);
    if (key == "pid") plain.pid = std::atoi(value.c_str());
    if (key == "scripted-local") haveScripted = bench::parseEndpoint(value, scripted.local);
    if (key == "scripted-pid") scripted.pid = std::atoi(value.c_str());
    if (key == "seconds") soak.seconds = std::atof(value.c_str());
    if (key == "concurrency") soak.concurrency = std::atoi(value.c_str());
    if (key == "half-close") soak.halfClose = value == "on";
    if (key == "handles-label") soak.handlesLabel = value;
    if (key == "seed") soak.seed = std::strtoull(value.c_str(), nullptr, 10);
  }
  if (!havePlain || plain.pid <= 0 || (haveScripted && scripted.pid <= 0) || soak.seconds <= 0 ||
      soak.concurrency <= 0 || soak.concurrency > 1000) {
    return usage();
  }
  soak.forwarders.push_back(plain);
  if (haveScripted) soak.forwarders.push_back(scripted);
  return bench::runSoak(soak);
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  if (argc < 2) return usage();
  std::string command = argv[1];
  if (command == "target") {
    std::vector<std::pair<std::string, std::string>> options;
    bench::Endpoint listen;
    if (!readOptions(argc, argv, {"listen"}, options) || options.empty() ||
        !bench::parseEndpoint(options[0].second, listen)) {
      return usage();
    }
    return bench::runTargetServer(listen);
  }
  if (command == "measure") {
    if (!bench::hashSelfCheck()) {
      std::fprintf(stderr, "SHA-256 self-check failed (%s)\n", bench::hashImplementation());
      return 1;
    }
    return runMeasure(argc, argv);
  }
  if (command == "report") {
    std::vector<std::pair<std::string, std::string>> options;
    if (!readOptions(argc, argv,
                     {"results", "floor", "ours", "peers", "extras", "wine-ours", "wine-ref"},
                     options)) {
      return usage();
    }
    bench::ReportOptions r;
    for (const auto& [key, value] : options) {
      if (key == "results") r.resultsPath = value;
      if (key == "floor") r.floor = value;
      if (key == "ours") r.ours = value;
      if (key == "peers") r.peers = splitList(value);
      if (key == "extras") r.extras = splitList(value);
      if (key == "wine-ours") r.wineOurs = value;
      if (key == "wine-ref") r.wineReference = value;
    }
    if (r.resultsPath.empty() || r.wineOurs.empty() != r.wineReference.empty()) return usage();
    return bench::printReport(r);
  }
  if (command == "soak") return runSoakCommand(argc, argv);
  if (command == "hash") {
    std::printf("%s, self-check %s\n", bench::hashImplementation(),
                bench::hashSelfCheck() ? "ok" : "FAILED");
    return 0;
  }
  return usage();
}
