#include "tests/support/log_capture.h"

#include <mutex>

#include "common/log.h"
#include "common/test_seams.h"

namespace {

// Guarded by the log mutex: the sink is always called with it held.
std::vector<std::string> captured;

void collect(const char* text, std::size_t length) {
  captured.emplace_back(text, length);
}

}  // namespace

LogCapture::LogCapture() {
  clear();
  std::lock_guard<std::mutex> lock(logMutex());
  testSeams.logSink = collect;
}

LogCapture::~LogCapture() {
  std::lock_guard<std::mutex> lock(logMutex());
  testSeams.logSink = nullptr;
}

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard<std::mutex> lock(logMutex());
  return captured;
}

std::string LogCapture::text() const {
  std::string all;
  for (const std::string& line : lines()) all += line;
  return all;
}

bool LogCapture::contains(const std::string& line) const {
  for (const std::string& each : lines()) {
    if (each == line) return true;
  }
  return false;
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> lock(logMutex());
  captured.clear();
}
