// quillan-run: the tunnel without a window. Fills the settings from the command line, starts the
// service, prints the log on standard output and error boxes as "ERROR: " lines, and stops
// through stopService on Ctrl+C / SIGTERM. Exits 1 when the tunnel does not start or its
// listener ends on its own (the trial route failed), 2 on bad arguments.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <span>
#include <string_view>
#include <thread>

#include "common/front_end.h"
#include "common/log.h"
#include "config/tunnel_settings.h"
#include "platform/socket.h"
#include "tools/stop_signal.h"
#include "tunnel/tunnel_service.h"

namespace {

constexpr const char* kUsage =
    "usage: quillan-run --local-port N --target HOST --target-port N --proxy HOST --proxy-port N\n"
    "                   [--user NAME --password TEXT] [--local-address A.B.C.D] [--traffic]\n"
    "Relays connections to A.B.C.D:N (default 127.0.0.1) through the SOCKS5 proxy to the\n"
    "target. --traffic adds a line per relayed chunk. Stop with Ctrl+C or SIGTERM.\n";

struct Option {
  std::string_view name;
  std::span<char> field;
  bool required;
  bool given;
};

// Set once the service has set its buttons back to "Start enabled": by stopService, or by a
// listener that ended on its own.
std::atomic<bool> serviceIdle{false};

void printError(const char* text) {
  logLine("ERROR: %s\r\n", text);
}

void noteIdle() {
  serviceIdle.store(true);
}

int usage(const char* problem, const char* detail) {
  if (problem != nullptr) std::fprintf(stderr, "quillan-run: %s%s\n", problem, detail);
  std::fputs(kUsage, stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  resetTunnelSettings();
  copySetting(tunnelSettings.proxyUser, "");
  copySetting(tunnelSettings.proxyPassword, "");
  Option options[] = {
      {"--local-port", tunnelSettings.localPort, true, false},
      {"--target", tunnelSettings.targetServer, true, false},
      {"--target-port", tunnelSettings.targetPort, true, false},
      {"--proxy", tunnelSettings.proxyServer, true, false},
      {"--proxy-port", tunnelSettings.proxyPort, true, false},
      {"--user", tunnelSettings.proxyUser, false, false},
      {"--password", tunnelSettings.proxyPassword, false, false},
      {"--local-address", tunnelSettings.localAddress, false, false},
  };
  bool traffic = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (argument == "--traffic") {
      traffic = true;
      continue;
    }
    Option* match = nullptr;
    for (Option& option : options) {
      if (option.name == argument) match = &option;
    }
    if (match == nullptr) return usage("unknown argument ", argv[i]);
    if (i + 1 >= argc) return usage("missing value after ", argv[i]);
    copySetting(match->field, argv[++i]);
    match->given = true;
  }
  for (const Option& option : options) {
    if (option.required && !option.given) return usage("missing ", option.name.data());
  }

  if (startSocketLibrary() != 0) {
    std::fputs("quillan-run: the socket library did not start\n", stderr);
    return 1;
  }
  if (!installStopSignalHandler()) {
    std::fputs("quillan-run: cannot install the stop handler\n", stderr);
    return 1;
  }
  if (traffic) consoleStream.store(stdout);

  FrontEnd frontEnd;
  frontEnd.showError = printError;
  frontEnd.enableStartDisableStop = noteIdle;
  setFrontEnd(frontEnd);

  if (startService() == 0) {
    stopSocketLibrary();
    return 1;
  }
  while (!stopSignalled() && !serviceIdle.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (serviceIdle.load()) {
    // The listener ended on its own: the trial route failed and it is already cleaned up.
    return 1;
  }
  stopService();
  std::fflush(stdout);
  return 0;
}
