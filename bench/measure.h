// The measurements of one forwarder (or the floor) in one round.
#pragma once

#include <cstdint>
#include <string>

#include "bench/bench_net.h"

namespace bench {

struct MeasureOptions {
  Route route;           // how the client reaches the target
  Endpoint target;       // the target itself, for 'P' requests that bypass the forwarder
  int forwarderPid = 0;  // 0: no forwarder (the floor), no CPU or memory figures
  int extraCpuPid = 0;   // another process whose CPU counts as the forwarder's (wineserver)
  std::uint64_t streamBytes = std::uint64_t{1} << 30;
  int rttCount = 5000;
  int setupCount = 500;
  int echoConnections = 200;
  std::uint64_t echoBytes = std::uint64_t{32} << 20;
  double stallSeconds = 10;
  double echoDeadlineSeconds = 240;
  double streamDeadlineSeconds = 120;
  int idleConnections = 200;
  double idleSeconds = 60;
  bool up = true, down = true, rtt = true, setup = true, echo = true, idle = false;
};

// Runs the selected tests and prints one line of key=value pairs after `prefix`.
// Returns false if a test could not run at all (its keys then carry "nan").
bool measureAll(const MeasureOptions& options, const std::string& prefix);

}  // namespace bench
