// The fixture of the quillan.exe tests: the program started on a clean registry.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/app/win_driver.h"
#include "tests/support/loopback_target.h"

// The eight settings fields as the window shows them, 1001 to 1008.
struct WindowFields {
  std::string localAddress, localPort, targetServer, targetPort, proxyServer, proxyPort, proxyUser,
      proxyPassword;
};

class AppTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts quillan.exe and waits for its dialog (use with ASSERT_NO_FATAL_FAILURE).
  void launch();
  WindowFields readFields() const;
  // Puts text into the fields with WM_SETTEXT; 1001 (read-only) is left alone.
  void fill(const WindowFields& fields) const;
  // Clicks Start and waits for an error box owned by the dialog; its text, after checking the
  // caption and pressing OK.
  std::string startExpectingBox();

  windriver::AppProcess app;
  HWND dialog = nullptr;
};
