// The loopback target of the benchmark: echo, source and sink on one port, chosen by the
// request header (bench_net.h). One thread, epoll, non-blocking sockets.
#pragma once

#include "bench/bench_net.h"

namespace bench {

// Serves until SIGINT or SIGTERM. Returns the process exit code.
int runTargetServer(const Endpoint& listenOn);

}  // namespace bench
