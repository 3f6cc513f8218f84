// Collects logLine output for assertions while an instance is alive.
#pragma once

#include <string>
#include <vector>

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();

  // Every line written so far, each with its own line end, in order.
  std::vector<std::string> lines() const;
  std::string text() const;
  bool contains(const std::string& line) const;
  void clear();
};
