#include "common/front_end.h"

FrontEnd frontEnd;

void reportServiceState(ServiceState state) {
  if (frontEnd.serviceStateChanged != nullptr) frontEnd.serviceStateChanged(state);
}
