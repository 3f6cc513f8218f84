// Error messages: formatted into messageText first, then shown by showError.
#pragma once

#include <array>

#include "common/printf_format.h"

extern std::array<char, 4096> messageText;

void formatMessage(const char* format, ...) QUILLAN_PRINTF(1, 2);

// Shows messageText through the front end (a modal box in the window); returns once dismissed.
void showError();
