// How the tunnel service reaches whatever drives it: the window, the headless runner or a test.
#pragma once

#include "common/service_state.h"

// Either procedure may be left null; the service then skips that effect. Both are called on the
// thread that acts: the UI thread in startService and stopService, else the listener thread.
struct FrontEnd {
  void (*serviceStateChanged)(ServiceState state) = nullptr;
  // Shows an error text modally and returns when the user has dismissed it.
  void (*showError)(const char* text) = nullptr;
};

// Set before the service starts.
inline FrontEnd frontEnd;

inline void reportServiceState(ServiceState state) {
  if (frontEnd.serviceStateChanged != nullptr) frontEnd.serviceStateChanged(state);
}
