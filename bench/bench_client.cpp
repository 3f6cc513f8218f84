// quillan-bench: the relay benchmark's client, loopback target, soak client and report.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

#include "bench/bench.h"

namespace {

constexpr const char* kUsage =
    "usage: quillan-bench target --listen PORT\n"
    "       quillan-bench measure --name NAME [--round N] (--connect PORT | --socks PORT [--user U"
    " --password W]) --target PORT [--pid PID] [--cpu-pid PID]\n"
    "             [--tests up,down,rtt,setup,echo,idle] [--stream-mib N] [--rtt-count N]"
    " [--setup-count N] [--echo-conns N] [--echo-mib N] [--stall-s N] [--echo-deadline-s N]"
    " [--idle-conns N] [--idle-s N]\n"
    "       quillan-bench report --results FILE [--floor NAME] [--ours NAME] [--variants A,B]"
    " [--peers A,B] [--extras A,B] [--note TEXT] [--wine-ours NAME --wine-ref NAME] [--soak]\n"
    "       quillan-bench soak --build NAME --local PORT --pid PID [--scripted-local PORT"
    " --scripted-pid PID] [--seconds N] [--concurrency N] [--half-close on|off] [--seed N]\n"
    "Ports are on 127.0.0.1. measure: --cpu-pid is another process whose CPU time counts as the\n"
    "forwarder's (under Wine: the prefix's wineserver); without --tests all but idle run.\n";

int usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

// "--key value" pairs after the command; `flags` take no value. False on an unknown option.
bool readOptions(int argc, char** argv, const std::string& known,
                 std::map<std::string, std::string>& out) {
  for (int i = 2; i < argc; ++i) {
    const std::string key = std::string(argv[i]).substr(2);
    const bool flag = key == "soak";
    if (std::string(argv[i]).rfind("--", 0) != 0 ||
        known.find("," + key + ",") == std::string::npos || (!flag && i + 1 >= argc)) {
      std::fprintf(stderr, "quillan-bench: bad option %s\n", argv[i]);
      return false;
    }
    out[key] = flag ? "1" : argv[++i];
  }
  return true;
}

std::vector<std::string> splitList(const std::string& text) {
  std::vector<std::string> items;
  std::istringstream in(text);
  for (std::string item; std::getline(in, item, ',');) {
    if (!item.empty()) items.push_back(item);
  }
  return items;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  if (argc < 2) return usage();
  const std::string command = argv[1];
  std::map<std::string, std::string> o;
  const auto text = [&](const char* key, const std::string& otherwise = "") {
    return o.count(key) ? o[key] : otherwise;
  };
  const auto number = [&](const char* key, double otherwise) {
    return o.count(key) ? std::strtod(o[key].c_str(), nullptr) : otherwise;
  };
  const auto port = [&](const char* key) { return static_cast<std::uint16_t>(number(key, 0)); };
  const auto positive = [](std::initializer_list<double> values) {
    for (double value : values) {
      if (!(value > 0)) return false;
    }
    return true;
  };

  if (command == "target") {
    if (!readOptions(argc, argv, ",listen,", o) || port("listen") == 0) return usage();
    return bench::runTargetServer(port("listen"));
  }
  if (command == "measure") {
    if (!readOptions(
            argc, argv,
            ",name,round,connect,socks,user,password,target,pid,cpu-pid,tests,stream-mib,rtt-count,"
            "setup-count,echo-conns,echo-mib,stall-s,echo-deadline-s,idle-conns,idle-s,",
            o))
      return usage();
    bench::MeasureOptions m;
    m.route = {port(o.count("socks") ? "socks" : "connect"), o.count("socks") > 0, port("target"),
               text("user"), text("password")};
    m.forwarderPid = static_cast<int>(number("pid", 0));
    m.extraCpuPid = static_cast<int>(number("cpu-pid", 0));
    m.streamBytes = static_cast<std::uint64_t>(number("stream-mib", double(m.streamBytes >> 20)))
                    << 20;
    m.rttCount = static_cast<int>(number("rtt-count", m.rttCount));
    m.setupCount = static_cast<int>(number("setup-count", m.setupCount));
    m.echoConnections = static_cast<int>(number("echo-conns", m.echoConnections));
    m.echoBytes = static_cast<std::uint64_t>(number("echo-mib", double(m.echoBytes >> 20))) << 20;
    m.stallSeconds = number("stall-s", m.stallSeconds);
    m.echoDeadlineSeconds = number("echo-deadline-s", m.echoDeadlineSeconds);
    m.idleConnections = static_cast<int>(number("idle-conns", m.idleConnections));
    m.idleSeconds = number("idle-s", m.idleSeconds);
    if (!positive({double(m.route.port), double(m.route.target), double(m.streamBytes),
                   double(m.echoBytes), double(m.rttCount), double(m.setupCount),
                   double(m.echoConnections), double(m.idleConnections), m.idleSeconds}))
      return usage();
    const std::string tests = "," + text("tests", "up,down,rtt,setup,echo") + ",";
    for (auto [name, flag] : {std::pair{",up,", &m.up},
                              {",down,", &m.down},
                              {",rtt,", &m.rtt},
                              {",setup,", &m.setup},
                              {",echo,", &m.echo},
                              {",idle,", &m.idle}})
      *flag = tests.find(name) != std::string::npos;
    return bench::measureAll(m, "name=" + text("name", "unnamed") + " round=" + text("round", "0"))
               ? 0
               : 1;
  }
  if (command == "report") {
    if (!readOptions(argc, argv,
                     ",results,floor,ours,variants,peers,extras,note,wine-ours,wine-ref,soak,", o))
      return usage();
    bench::ReportOptions r;
    r.resultsPath = text("results");
    r.floor = text("floor", r.floor);
    r.ours = text("ours", r.ours);
    r.variants = splitList(text("variants"));
    r.peers = splitList(text("peers"));
    r.extras = splitList(text("extras"));
    r.note = text("note");
    r.wineOurs = text("wine-ours");
    r.wineReference = text("wine-ref");
    r.soak = o.count("soak") > 0;
    if (r.resultsPath.empty() || r.wineOurs.empty() != r.wineReference.empty()) return usage();
    return bench::printReport(r);
  }
  if (command == "soak") {
    // The forwarder in front of the real proxy comes first; the one in front of the scripted
    // proxy (refusals, resets, silence) is optional.
    if (!readOptions(
            argc, argv,
            ",build,local,pid,scripted-local,scripted-pid,seconds,concurrency,half-close,seed,", o))
      return usage();
    bench::SoakOptions soak;
    soak.build = text("build", soak.build);
    soak.forwarders.push_back({"Dante", port("local"), static_cast<int>(number("pid", 0)), false});
    if (o.count("scripted-local"))
      soak.forwarders.push_back(
          {"scripted", port("scripted-local"), static_cast<int>(number("scripted-pid", 0)), true});
    soak.seconds = number("seconds", soak.seconds);
    soak.concurrency = static_cast<int>(number("concurrency", soak.concurrency));
    soak.halfClose = text("half-close", "on") == "on";
    soak.seed = static_cast<std::uint64_t>(number("seed", 1));
    bool ok = positive({soak.seconds, double(soak.concurrency)}) && soak.concurrency <= 1000;
    for (const auto& forwarder : soak.forwarders)
      ok &= positive({double(forwarder.port), double(forwarder.pid)});
    return ok ? bench::runSoak(soak) : usage();
  }
  return usage();
}
