// Collects logLine output for assertions while an instance is alive.
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/test_seams.h"

// What the sink has collected: guarded by logMutex(), under which the sink is always called.
inline std::vector<std::string> capturedLogLines;

class LogCapture {
 public:
  LogCapture() {
    std::lock_guard<std::mutex> lock(logMutex());
    capturedLogLines.clear();
    testSeams.logSink = [](const char* text, std::size_t length) {
      capturedLogLines.emplace_back(text, length);
    };
  }
  ~LogCapture() {
    std::lock_guard<std::mutex> lock(logMutex());
    testSeams.logSink = nullptr;
  }

  // Every line written so far, each with its own line end, in order.
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(logMutex());
    return capturedLogLines;
  }
  std::string text() const {
    std::string all;
    for (const std::string& line : lines()) all += line;
    return all;
  }
  bool contains(const std::string& line) const { return std::ranges::count(lines(), line) != 0; }
  void clear() {
    std::lock_guard<std::mutex> lock(logMutex());
    capturedLogLines.clear();
  }
};
