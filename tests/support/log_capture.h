// Collects logLine output for assertions while an instance is alive.
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/test_seams.h"

class LogCapture {
 public:
  LogCapture() {
    std::lock_guard<std::mutex> lock(logMutex());
    captured().clear();
    testSeams.logSink = [](const char* text, std::size_t length) {
      captured().emplace_back(text, length);
    };
  }
  ~LogCapture() {
    std::lock_guard<std::mutex> lock(logMutex());
    testSeams.logSink = nullptr;
  }

  // Every line written so far, each with its own line end, in order.
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(logMutex());
    return captured();
  }
  std::string text() const {
    std::string all;
    for (const std::string& line : lines()) all += line;
    return all;
  }
  bool contains(const std::string& line) const { return std::ranges::count(lines(), line) != 0; }
  void clear() {
    std::lock_guard<std::mutex> lock(logMutex());
    captured().clear();
  }

 private:
  // Guarded by the log mutex: the sink is always called with it held.
  static std::vector<std::string>& captured() {
    static std::vector<std::string> all;
    return all;
  }
};
