// startService, the ListenerThread and stopService: the local listener, the trial route that
// proves proxy and target once, and the accept loop that hands each connection to a relay.
//
//   UI thread                                   listener thread
//   startService: bind, listen, under startGate:
//     start the listener (it owns the socket),
//     report Proving, publish listenerHandle
//                                               pass startGate; trial route
//                                               ok:     report Accepting, accept until a stop
//                                               failed: error box, then (no stop raised) it
//                                                       releases listenerHandle, reports Idle
//   stopService: raise the flag, bump the
//     generation, wait (bounded), release
//     listenerHandle, report Idle               sees the stop, closes its socket, ends
//
// Whoever raises stopRequested first releases the listener's handle: stopService, or the
// listener that ends on its own. A listener that outlives Stop's wait touches nothing shared.
#include "tunnel/tunnel_service.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

#include "common/front_end.h"
#include "common/ipv4_text.h"
#include "common/log.h"
#include "common/message.h"
#include "common/service_state.h"
#include "common/texts.h"
#include "config/tunnel_settings.h"
#include "platform/thread.h"
#include "platform/unique_socket.h"
#include "socks5/connect_request.h"
#include "socks5/proxy_session.h"
#include "tunnel/relay.h"

namespace {

// The platform's default: the listener resolves names for the trial route and shows message
// boxes, which load whatever the user interface brings in, on its own stack.
constexpr std::size_t kListenerStackBytes = 0;

// After an accept that failed for want of descriptors or buffers, which lasts: the connection
// stays queued and the listener readable, so waiting again at once would spin on a core.
constexpr std::chrono::milliseconds kFailedAcceptPause{100};

// Held by startService while it starts the listener, reports Proving and publishes the handle;
// the listener passes it before it acts, so that its reports and the release of its own handle
// come after those.
std::mutex startGate;

enum class ListenStep { kBind, kListen };

// Reports a bind or listen failure; "address in use" gets its own plain text.
void reportListenFailure(ListenStep step, int error) {
  const char* address = tunnelSettings.localAddress.data();
  const char* port = tunnelSettings.localPort.data();
  if (error == kErrAddressInUse) {
    formatMessage(kAddressInUseText, address, port);
  } else if (step == ListenStep::kBind) {
    formatMessage(kBindFailedText, error, address, port);
  } else {
    formatMessage(kListenFailedText, error, address, port);
  }
  logLine("%s\r\n", messageText.data());
  showError();
}

// One proxy session and CONNECT to the target, closed again: the route works before any local
// connection is accepted. Shows the failing hop to the user.
bool proveRoute(const TunnelSettings& settings) {
  UniqueSocket trial(openProxySession(settings));
  if (!trial) {
    formatMessage(kProxyUnreachableText);
    showError();
    return false;
  }
  logLine("Testing Remote server %s:%s\r\n", settings.targetServer.data(),
          settings.targetPort.data());
  int connected = requestConnect(trial.get(), settings);
  trial.reset();
  if (connected == 0) {
    formatMessage(kTargetUnreachableText);
    showError();
    return false;
  }
  return true;
}

// A new relay thread owns the accepted socket; its handle is dropped at once (never joined).
void startRelay(Socket accepted, const ServiceThreadStart& listener) {
  auto start = makeOwned<ServiceThreadStart>(accepted, listener.generation, listener.settings);
  ThreadHandle relay = startOwningThread<relayThread>(start, kRelayStackBytes);
  if (relay != nullptr) {
    releaseThread(relay);
    return;
  }
  int error = lastSystemError();
  closeSocket(accepted);
  // No line end, as the program has always written it: the next "Waiting for local incoming
  // connection." follows on the same line. Kept, since log readers may rely on it.
  logLine("Cannot start in/out thread. Error: %d.", error);
}

// Accepts until a stop is seen; the wait is bounded so the flag is looked at regularly.
void acceptConnections(const ServiceThreadStart& start) {
  while (!serviceStopSeen(start.generation)) {
    logLine("Waiting for local incoming connection.\r\n");
    Socket accepted = noSocket;
    while (accepted == noSocket) {
      WaitItem item{start.socket, true, false};
      waitSockets(std::span<WaitItem>(&item, 1), selectTimeout);
      if (serviceStopSeen(start.generation)) return;
      // A failed accept counts as no connection.
      if (!item.readable) continue;
      accepted = acceptConnection(start.socket);
      const int error = lastSocketError();
      if (accepted == noSocket && !isWouldBlock(error) && !isAbortedConnection(error))
        std::this_thread::sleep_for(kFailedAcceptPause);
    }
    startRelay(accepted, start);
  }
}

unsigned listenerThread(std::unique_ptr<ServiceThreadStart> owned) {
  const ServiceThreadStart& start = *owned;
  UniqueSocket listener(start.socket);
  { const std::lock_guard<std::mutex> pass(startGate); }

  if (proveRoute(start.settings)) {
    reportServiceState(ServiceState::kAccepting);
    acceptConnections(start);
  }
  logLine("Closing local server main thread...\r\n");
  listener.reset();

  // Stopped: stopService owns the handle and the Idle report. The exchange makes the two ends
  // exclusive: whoever raises the flag first does the clean-up.
  if (stopGeneration.load() != start.generation) return 0;
  if (stopRequested.exchange(true)) return 0;
  // Ending on our own (the trial failed): nobody waits for us.
  releaseThread(listenerHandle.exchange(nullptr));
  reportServiceState(ServiceState::kIdle);
  return 0;
}

}  // namespace

int startService() {
  stopRequested.store(false);
  const unsigned generation = stopGeneration.load();

  UniqueSocket listener(openTcpSocket(kFamilyIpv4));
  int error = lastSocketError();
  logLine("Starting local server...\r\n");
  if (!listener) {
    formatMessage(kSocketFailedText, error);
    logLine("%s\r\n", messageText.data());
    showError();
    return 0;
  }

  // Text that is no IPv4 address binds to 255.255.255.255 (what inet_addr answers for it), so
  // the platform refuses it with its own "address not available" error.
  std::array<std::uint8_t, 4> address{};
  if (!parseIpv4Text(tunnelSettings.localAddress.data(), address)) address = {255, 255, 255, 255};
  if (!bindIpv4(listener.get(), address, portNumber(tunnelSettings.localPort.data()))) {
    reportListenFailure(ListenStep::kBind, lastSocketError());
    return 0;
  }
  // The platform's largest backlog: a burst of local connections waits in the queue instead of
  // being refused.
  if (!listenOn(listener.get(), maxListenBacklog())) {
    reportListenFailure(ListenStep::kListen, lastSocketError());
    return 0;
  }
  // The accept follows a wait; non-blocking, it cannot hang when the peer has already gone.
  setNonBlocking(listener.get());
  // Accepted sockets take it from the listener: an urgent byte that comes before the relay
  // runs is in line too.
  setOobInline(listener.get());

  logLine("Waiting for connection to %s:%s\r\n", tunnelSettings.localAddress.data(),
          tunnelSettings.localPort.data());
  logLine("Testing SOCKS5 at %s:%s\r\n", tunnelSettings.proxyServer.data(),
          tunnelSettings.proxyPort.data());

  const std::lock_guard<std::mutex> gate(startGate);  // opened on return
  auto start = makeOwned<ServiceThreadStart>(listener.get(), generation, tunnelSettings);
  ThreadHandle thread = startOwningThread<listenerThread>(start, kListenerStackBytes);
  if (thread == nullptr) {
    int threadError = lastSystemError();
    formatMessage(kThreadFailedText, threadError);
    showError();
    logLine("%s\r\n", messageText.data());
    return 0;
  }
  listener.release();  // the listener thread's from now on

  reportServiceState(ServiceState::kProving);
  listenerHandle.store(thread);
  return 1;
}

void stopService() {
  const bool alreadyStopped = stopRequested.exchange(true);
  stopGeneration.fetch_add(1);
  // Raised already: either a listener that ends on its own is cleaning up after itself, or the
  // service was stopped before.
  if (alreadyStopped && listenerHandle.load() != nullptr) return;

  ThreadHandle listener = listenerHandle.load();
  if (listener != nullptr) {
    // A listener that overruns the wait is held in a write (a console with a selection in it
    // stops all output): it is never ended from outside, since it may hold the log's lock and
    // the C runtime's. Released here, it closes its socket and ends by itself once the write
    // returns, touching nothing shared; until then its port stays taken, so a new Start there
    // is refused as "already in use".
    waitThread(listener, kListenerStopWaitMs);
    releaseThread(listener);
    listenerHandle.store(nullptr);
  }
  reportServiceState(ServiceState::kIdle);
}
