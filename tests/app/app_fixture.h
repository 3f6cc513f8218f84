// The fixture of the quillan.exe tests: the program started on a clean registry.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "resources/resource.h"
#include "tests/app/win_driver.h"
#include "tests/support/loopback_target.h"

// The eight settings fields as the window shows them, in the order of their ids (1001 to 1008).
inline constexpr int kLocalAddress = 0, kLocalPort = 1, kTargetServer = 2, kTargetPort = 3,
                     kProxyServer = 4, kProxyPort = 5, kProxyUser = 6, kProxyPassword = 7;
using WindowFields = std::array<std::string, 8>;

class AppTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(windriver::deleteKey()); }

  void TearDown() override {
    app.terminate();
    windriver::deleteKey();
  }

  // Starts quillan.exe and waits for its dialog (use with ASSERT_NO_FATAL_FAILURE).
  void launch() {
    ASSERT_TRUE(app.launch(QUILLAN_EXE)) << "cannot start " << QUILLAN_EXE;
    dialog = windriver::waitMainDialog(app.processId());
    ASSERT_NE(dialog, nullptr) << "no visible dialog; output:\n" << app.output();
  }

  WindowFields readFields() const {
    WindowFields fields;
    for (int i = 0; i < 8; ++i) fields[i] = windriver::itemText(dialog, IDC_LOCAL_ADDRESS + i);
    return fields;
  }

  // Puts text into the fields with WM_SETTEXT; 1001 (read-only) is left alone.
  void fill(const WindowFields& fields) const {
    for (int i = kLocalPort; i < 8; ++i) {
      EXPECT_TRUE(windriver::setItemText(dialog, IDC_LOCAL_ADDRESS + i, fields[i])) << i;
    }
  }

  // Clicks Start and waits for an error box owned by the dialog; its text, after checking the
  // caption and pressing OK.
  std::string startExpectingBox() {
    using namespace windriver;
    EXPECT_TRUE(click(dialog, IDC_START));
    HWND box = waitMessageBox(dialog);
    if (box == nullptr) {
      ADD_FAILURE() << "no message box; output:\n" << app.output();
      return {};
    }
    EXPECT_EQ(windowText(box), kDialogTitle);
    EXPECT_FALSE(IsWindowEnabled(dialog)) << "the box is modal to the window";
    std::string text = messageBoxText(box);
    EXPECT_TRUE(answerMessageBox(box, IDOK));
    EXPECT_TRUE(waitUntil([&] { return findMessageBox(dialog) == nullptr; }));
    return text;
  }

  // Waits until the console shows every one of `texts`; the console's text at the end.
  std::string waitConsoleShows(const std::vector<std::string>& texts) const {
    std::string text;
    auto shown = [&](const std::string& each) { return text.find(each) != std::string::npos; };
    waitUntil(
        [&] {
          text = windriver::readConsoleText(app.processId()).value_or("");
          return std::all_of(texts.begin(), texts.end(), shown);
        },
        kHangLimit, std::chrono::milliseconds(100));
    return text;
  }

  void toggleConsoleExpecting(const char* caption) {
    ASSERT_TRUE(windriver::click(dialog, IDC_LOG_TOGGLE));
    ASSERT_TRUE(waitUntil([&] { return windriver::itemText(dialog, IDC_LOG_TOGGLE) == caption; }))
        << "caption " << windriver::itemText(dialog, IDC_LOG_TOGGLE);
  }

  // Start enabled, Stop disabled: no tunnel running or starting.
  bool idle() const {
    return windriver::itemEnabled(dialog, IDC_START) && !windriver::itemEnabled(dialog, IDC_STOP);
  }

  windriver::AppProcess app;
  HWND dialog = nullptr;
};
