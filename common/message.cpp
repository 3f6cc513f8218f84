#include "common/message.h"

#include <cstdarg>
#include <cstdio>

#include "common/front_end.h"

std::array<char, 4096> messageText{};

void formatMessage(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(messageText.data(), messageText.size(), format, arguments);
  va_end(arguments);
}

void showError() {
  if (frontEnd.showError != nullptr) frontEnd.showError(messageText.data());
}
