#include "tunnel/tunnel_service.h"

int startService() {
  return 0;
}
void stopService() {}
