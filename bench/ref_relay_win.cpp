// ref-relay: the benchmark's reference for the Windows build, the smallest relay Winsock allows.
// It listens on 127.0.0.1, and for every accepted connection a thread of its own opens a SOCKS5
// session to the proxy (no authentication), asks for a CONNECT to the target's IPv4 address and
// then relays with blocking sockets: one select on both sockets for reading, a receive of up to
// 32768 bytes, a send of all of it to the other side. The relay ends when either side closes or
// fails. Nothing else: no half-close, no time-outs, no log beyond the start. Under Wine it shows
// what Winsock itself costs on the machine, the ceiling for a relay built the same way.
//
//   ref-relay --local-port N --target A.B.C.D --target-port N --proxy A.B.C.D --proxy-port N
//
// Its sends block: when the far side of one direction stops reading, the thread waits in that
// send and reads nothing the other way meanwhile. A peer that in turn waits for that other way
// (an echo server that stops reading while its echo is unsent) then waits for ever, once more
// bytes are in flight than the sockets along the loop buffer.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kChunk = 32768;

struct Settings {
  sockaddr_in local{};
  sockaddr_in proxy{};
  in_addr target{};
  u_short targetPort = 0;  // network order
};
Settings settings;

bool sendAll(SOCKET socket, const char* data, int length) {
  while (length > 0) {
    int sent = ::send(socket, data, length, 0);
    if (sent <= 0) return false;
    data += sent;
    length -= sent;
  }
  return true;
}

bool recvAll(SOCKET socket, char* data, int length) {
  while (length > 0) {
    int got = ::recv(socket, data, length, 0);
    if (got <= 0) return false;
    data += got;
    length -= got;
  }
  return true;
}

void noDelay(SOCKET socket) {
  BOOL on = TRUE;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

// The SOCKS5 greeting (no authentication) and a CONNECT to the target by IPv4 address. Returns
// the proxy socket with the session open, or INVALID_SOCKET.
SOCKET openSession() {
  SOCKET proxy = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (proxy == INVALID_SOCKET) return proxy;
  noDelay(proxy);
  const char greeting[] = {5, 1, 0};
  char request[10] = {5, 1, 0, 1};
  std::memcpy(request + 4, &settings.target, 4);
  std::memcpy(request + 8, &settings.targetPort, 2);
  char reply[4 + 255 + 2];
  bool ok = ::connect(proxy, reinterpret_cast<const sockaddr*>(&settings.proxy),
                      sizeof settings.proxy) == 0 &&
            sendAll(proxy, greeting, sizeof greeting) && recvAll(proxy, reply, 2) &&
            reply[0] == 5 && reply[1] == 0 && sendAll(proxy, request, sizeof request) &&
            recvAll(proxy, reply, 4) && reply[0] == 5 && reply[1] == 0;
  if (ok) {
    // The bound address that ends the reply: IPv4, a name with its length byte, or IPv6.
    int rest = reply[3] == 1 ? 4 + 2 : reply[3] == 4 ? 16 + 2 : reply[3] == 3 ? -1 : 0;
    if (rest == -1) {
      ok = recvAll(proxy, reply + 4, 1);
      rest = static_cast<unsigned char>(reply[4]) + 2;
    }
    ok = ok && rest > 0 && recvAll(proxy, reply + 4, rest);
  }
  if (!ok) {
    ::closesocket(proxy);
    return INVALID_SOCKET;
  }
  return proxy;
}

// One accepted connection: owns both sockets and closes them on every path.
DWORD WINAPI relay(void* argument) {
  SOCKET local = reinterpret_cast<SOCKET>(argument);
  SOCKET proxy = openSession();
  if (proxy != INVALID_SOCKET) {
    noDelay(local);
    char buffer[kChunk];
    for (bool open = true; open;) {
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(local, &readable);
      FD_SET(proxy, &readable);
      if (::select(0, &readable, nullptr, nullptr, nullptr) <= 0) break;
      const SOCKET ends[2] = {local, proxy};
      for (int i = 0; i < 2 && open; ++i) {
        if (!FD_ISSET(ends[i], &readable)) continue;
        int got = ::recv(ends[i], buffer, kChunk, 0);
        open = got > 0 && sendAll(ends[1 - i], buffer, got);
      }
    }
    ::closesocket(proxy);
  }
  ::closesocket(local);
  return 0;
}

bool parseAddress(const char* text, in_addr& out) {
  return ::inet_pton(AF_INET, text, &out) == 1;
}

bool parsePort(const char* text, u_short& out) {
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || value < 1 || value > 65535) return false;
  out = ::htons(static_cast<u_short>(value));
  return true;
}

int usage() {
  std::fputs(
      "usage: ref-relay --local-port N --target A.B.C.D --target-port N --proxy A.B.C.D"
      " --proxy-port N\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  settings.local.sin_family = settings.proxy.sin_family = AF_INET;
  settings.local.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
  int given = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const char* key = argv[i];
    const char* value = argv[i + 1];
    bool ok = false;
    if (std::strcmp(key, "--local-port") == 0) ok = parsePort(value, settings.local.sin_port);
    if (std::strcmp(key, "--target") == 0) ok = parseAddress(value, settings.target);
    if (std::strcmp(key, "--target-port") == 0) ok = parsePort(value, settings.targetPort);
    if (std::strcmp(key, "--proxy") == 0) ok = parseAddress(value, settings.proxy.sin_addr);
    if (std::strcmp(key, "--proxy-port") == 0) ok = parsePort(value, settings.proxy.sin_port);
    if (!ok) return usage();
    ++given;
  }
  if (argc % 2 == 0 || given != 5) return usage();

  WSADATA wsa;
  if (::WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 1;
  SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (listener == INVALID_SOCKET ||
      ::bind(listener, reinterpret_cast<const sockaddr*>(&settings.local), sizeof settings.local) !=
          0 ||
      ::listen(listener, SOMAXCONN) != 0) {
    std::fprintf(stderr, "ref-relay: cannot listen on 127.0.0.1:%u (%d)\n",
                 ::ntohs(settings.local.sin_port), ::WSAGetLastError());
    return 1;
  }
  std::printf("ref-relay: listening on 127.0.0.1:%u\n", ::ntohs(settings.local.sin_port));
  std::fflush(stdout);
  for (;;) {
    SOCKET local = ::accept(listener, nullptr, nullptr);
    if (local == INVALID_SOCKET) {
      ::Sleep(10);  // out of sockets or memory for now: no busy loop
      continue;
    }
    HANDLE thread = ::CreateThread(nullptr, 0, relay, reinterpret_cast<void*>(local), 0, nullptr);
    if (thread == nullptr) {
      ::closesocket(local);
    } else {
      ::CloseHandle(thread);
    }
  }
}
