// quillan-run: the tunnel without a window. Fills the settings from the command line, starts the
// service, prints the log on standard output (or, with --no-log, formats each line and drops it,
// as the window does with its log console closed) and error boxes as "ERROR: " lines, and stops
// through stopService on Ctrl+C / SIGTERM. Exits 1 when the tunnel does not start or its
// listener ends on its own (the trial route failed), 2 on bad arguments.
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <span>
#include <string_view>

#include "common/front_end.h"
#include "common/log.h"
#include "common/test_seams.h"
#include "config/tunnel_settings.h"
#include "platform/socket.h"
#include "tools/stop_signal.h"
#include "tunnel/tunnel_service.h"

namespace {

constexpr const char* kUsage =
    "usage: quillan-run --local-port N --target HOST --target-port N --proxy HOST --proxy-port N\n"
    "                   [--user NAME --password TEXT] [--local-address A.B.C.D]\n"
    "                   [--traffic | --no-log]\n"
    "Relays connections to A.B.C.D:N (default 127.0.0.1) through the SOCKS5 proxy to the\n"
    "target. --traffic adds a line per relayed chunk. --no-log runs as the window does with\n"
    "its log console closed: every line is formatted and written nowhere; errors still go\n"
    "to standard error. Stop with Ctrl+C or SIGTERM.\n";

struct Option {
  std::string_view name;
  std::span<char> field;
  bool required;
  bool given;
};

// The main thread sleeps until the service has gone Idle (a listener that ended on its own) or a
// stop was requested. Notified under the lock: the main thread may return at once and end the
// process.
std::mutex wakeMutex;
std::condition_variable woken;
bool serviceIdle = false;    // guarded by wakeMutex
bool stopSignalled = false;  // guarded by wakeMutex
bool noLog = false;

// An error box is no log line: the window shows it with the console closed too.
void printError(const char* text) {
  if (noLog) {
    std::fprintf(stderr, "ERROR: %s\n", text);
    return;
  }
  logLine("ERROR: %s\r\n", text);
}

void wake(bool& reason) {
  std::lock_guard<std::mutex> lock(wakeMutex);
  reason = true;
  woken.notify_all();
}

void noteState(ServiceState state) {
  if (state == ServiceState::kIdle) wake(serviceIdle);
}

void noteStopSignal() {
  wake(stopSignalled);
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
    if (argument == "--no-log") {
      noLog = true;
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
  if (traffic && noLog) return usage("--traffic and --no-log exclude each other", "");

  useBinaryStandardOutput();
  if (startSocketLibrary() != 0) {
    std::fputs("quillan-run: the socket library did not start\n", stderr);
    return 1;
  }
  if (!installStopSignalHandler(noteStopSignal)) {
    std::fputs("quillan-run: cannot install the stop handler\n", stderr);
    return 1;
  }
  if (traffic) consoleStream.store(stdout);
  // The log's own seam for a line that goes elsewhere: taking it formats the line and holds the
  // log lock as the real write does, but writes nothing, like stdout with no console behind it.
  if (noLog) {
    std::lock_guard<std::mutex> lock(logMutex());
    testSeams.logSink = [](const char*, std::size_t) {};
  }

  frontEnd = FrontEnd{noteState, printError};

  if (startService() == 0) {
    stopSocketLibrary();
    return 1;
  }
  {
    std::unique_lock<std::mutex> lock(wakeMutex);
    woken.wait(lock, [] { return serviceIdle || stopSignalled; });
    // The listener ended on its own: the trial route failed and it is already cleaned up.
    if (serviceIdle) return 1;
  }
  stopService();
  std::fflush(stdout);
  return 0;
}
