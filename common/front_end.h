// What the tunnel service needs from whatever drives it: the window, the headless runner or a
// test. Each hook may be left null; the service then just skips that effect.
#pragma once

struct FrontEnd {
  void (*disableStart)() = nullptr;
  void (*enableStop)() = nullptr;
  void (*enableStartDisableStop)() = nullptr;
  // Shows an error text modally and returns when the user has dismissed it.
  void (*showError)(const char* text) = nullptr;
};

// Installs the hooks; the record is copied. Call before the service starts.
void setFrontEnd(const FrontEnd& frontEnd);

void frontEndDisableStart();
void frontEndEnableStop();
void frontEndEnableStartDisableStop();
void frontEndShowError(const char* text);
