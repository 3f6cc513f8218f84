// logLine: format into a local buffer first, then one locked write, so threads never mix lines.
#include "common/log.h"

#include <array>
#include <cstdarg>

#include "common/test_seams.h"

std::atomic<std::FILE*> consoleStream{nullptr};

std::mutex& logMutex() {
  static std::mutex mutex;
  return mutex;
}

namespace {

using LineBuffer = std::array<char, 2048>;

// The length of the formatted line (clipped to the buffer), or -1 when formatting failed.
int formatLine(LineBuffer& line, const char* format, va_list arguments) {
  int length = std::vsnprintf(line.data(), line.size(), format, arguments);
  if (length < 0) return -1;
  return length < static_cast<int>(line.size()) ? length : static_cast<int>(line.size()) - 1;
}

// Called with the log mutex held.
void writeLine(const LineBuffer& line, int length) {
  std::size_t size = static_cast<std::size_t>(length);
  if (testSeams.logSink != nullptr) {
    testSeams.logSink(line.data(), size);
    return;
  }
  // Flushed every time: a pipe is fully buffered on Windows and a line must not wait.
  std::fwrite(line.data(), 1, size, stdout);
  std::fflush(stdout);
}

}  // namespace

void logLine(const char* format, ...) {
  LineBuffer line{};
  va_list arguments;
  va_start(arguments, format);
  int length = formatLine(line, format, arguments);
  va_end(arguments);
  if (length < 0) return;
  std::lock_guard<std::mutex> lock(logMutex());
  writeLine(line, length);
}

void logLineWhileLocked(const char* format, ...) {
  LineBuffer line{};
  va_list arguments;
  va_start(arguments, format);
  int length = formatLine(line, format, arguments);
  va_end(arguments);
  if (length >= 0) writeLine(line, length);
}
