// The soak run's client: many mixed connections through a forwarder for a while, every echoed
// byte checked, and the forwarder's threads, descriptors and resident memory watched until
// after the load.
#pragma once

#include <string>
#include <vector>

#include "bench/bench_net.h"

namespace bench {

// One forwarder under load: its local port, the process to watch, and what its connections meet
// behind it. `scripted`: a proxy that refuses, resets or stalls some sessions, so a connection
// closed before its first echoed byte is counted as refused (expected), not as a failure.
struct SoakForwarder {
  std::string name;
  Endpoint local;
  int pid = 0;
  bool scripted = false;
};

struct SoakOptions {
  std::vector<SoakForwarder> forwarders;
  double seconds = 600;
  double warmupSeconds = 60;  // the resident-memory reference is taken here
  double settleSeconds = 20;  // the after-load figures are taken this long after the last close
  int concurrency = 50;
  bool halfClose = true;
  std::string handlesLabel = "fds";  // what the descriptor count is (fds, or a wine process's fds)
  std::uint64_t seed = 1;
};

// Runs the soak and prints one summary line; 0 when it passed, 1 otherwise.
int runSoak(const SoakOptions& options);

}  // namespace bench
