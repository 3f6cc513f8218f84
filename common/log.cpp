// logLine: format into a local buffer first, then one locked write, so threads never mix lines.
#include "common/log.h"

#include <array>
#include <cstdarg>

std::atomic<std::FILE*> consoleStream{nullptr};

namespace {
std::atomic<LogSink> logSink{nullptr};
}

std::mutex& logMutex() {
  static std::mutex mutex;
  return mutex;
}

void setLogSink(LogSink sink) {
  std::lock_guard<std::mutex> lock(logMutex());
  logSink.store(sink);
}

void logLine(const char* format, ...) {
  std::array<char, 2048> line{};
  va_list arguments;
  va_start(arguments, format);
  int length = std::vsnprintf(line.data(), line.size(), format, arguments);
  va_end(arguments);
  if (length < 0) return;
  std::size_t size = static_cast<std::size_t>(length) < line.size()
                         ? static_cast<std::size_t>(length)
                         : line.size() - 1;
  std::lock_guard<std::mutex> lock(logMutex());
  if (LogSink sink = logSink.load()) {
    sink(line.data(), size);
    return;
  }
  // Flushed every time: a pipe is fully buffered on Windows and a line must not wait.
  std::fwrite(line.data(), 1, size, stdout);
  std::fflush(stdout);
}
