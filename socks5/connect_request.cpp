#include "socks5/connect_request.h"

int requestConnect(Socket) {
  return 0;
}
