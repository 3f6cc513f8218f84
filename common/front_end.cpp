#include "common/front_end.h"

namespace {
FrontEnd installed;
}

void setFrontEnd(const FrontEnd& frontEnd) {
  installed = frontEnd;
}

void frontEndDisableStart() {
  if (installed.disableStart) installed.disableStart();
}

void frontEndEnableStop() {
  if (installed.enableStop) installed.enableStop();
}

void frontEndEnableStartDisableStop() {
  if (installed.enableStartDisableStop) installed.enableStartDisableStop();
}

void frontEndShowError(const char* text) {
  if (installed.showError) installed.showError(text);
}
