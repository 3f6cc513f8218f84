// quillan-scripted-proxy: the scripted SOCKS5 server as a process of its own, for the soak run.
// Connection i follows the i-th behaviour of the cycle (round and round), so a forwarder in
// front of it meets refusals, resets and silence among working sessions:
//
//   quillan-scripted-proxy --target-port N [--cycle accept,refuse,accept,reset,accept,stall]
//
//   accept  no-auth session, CONNECT accepted, then bytes forwarded to 127.0.0.1:N both ways
//   refuse  CONNECT refused (REP 5, connection refused), then closed
//   reset   CONNECT accepted, then an abortive close (RST)
//   stall   the greeting is read and never answered, until the client closes (at most 20 s)
//
// Prints "port P" once it listens on 127.0.0.1:P; runs until SIGINT or SIGTERM.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback_target.h"

static std::atomic<bool> stopping{false};

int main(int argc, char** argv) {
  std::string cycle = "accept,refuse,accept,reset,accept,stall";
  long targetPort = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    if (key == "--target-port") targetPort = std::strtol(argv[i + 1], nullptr, 10);
    if (key == "--cycle") cycle = argv[i + 1];
  }
  const std::map<std::string, ProxyScript> behaviours = {
      {"accept", ProxyScript::acceptNoAuth().forward(static_cast<std::uint16_t>(targetPort))},
      {"refuse", ProxyScript::refuseConnect(0x05)},
      {"reset", ProxyScript::acceptNoAuth().reset()},
      {"stall", ProxyScript().expectGreeting().stall()}};
  std::vector<ProxyScript> scripts;
  std::istringstream names(cycle);
  for (std::string name; std::getline(names, name, ',');) {
    const auto known = behaviours.find(name);
    if (known == behaviours.end()) {
      std::fprintf(stderr, "unknown behaviour %s\n", name.c_str());
      return 2;
    }
    scripts.push_back(known->second);
  }
  if (targetPort <= 0 || targetPort > 65535 || scripts.empty()) {
    std::fprintf(stderr, "usage: %s --target-port N [--cycle accept,refuse,reset,stall,...]\n",
                 argv[0]);
    return 2;
  }
  const auto onSignal = [](int) { stopping = true; };
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  if (startSocketLibrary() != 0) return 1;  // POSIX only: nothing to stop at exit
  ScriptedProxy proxy(scripts);
  proxy.runEndlessly();
  if (!proxy.listening()) return 1;
  std::printf("port %u\n", static_cast<unsigned>(proxy.port()));
  std::fflush(stdout);
  while (!stopping) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::printf("connections %zu\n", proxy.connectionCount());
  return 0;
}
