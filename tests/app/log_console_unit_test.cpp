// toggleLogConsole inside the test process: the button caption, consoleStream, the first line and
// the way back from a failed reopen. Standard output itself is never swapped here (a stand-in
// stream takes its place), so the test's own output survives; the real swap is covered by the
// end-to-end tests against quillan.exe.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "app/log_console.h"
#include "common/log.h"
#include "common/test_seams.h"
#include "resources/resource.h"
#include "tests/app/win_driver.h"
#include "tests/support/log_capture.h"

namespace {

int reopenCalls = 0;

// True when another thread cannot take the log mutex right now, i.e. this thread holds it.
bool logMutexHeldElsewhere() {
  bool taken = false;
  std::thread probe([&taken] {
    taken = logMutex().try_lock();
    if (taken) logMutex().unlock();
  });
  probe.join();
  return !taken;
}

std::FILE* reopenOntoNul() {
  ++reopenCalls;
  return std::fopen("NUL", "w");
}

// The swap's turn of the log, probed at the steps the test can see: the reopen, and the button's
// caption change unless it comes after the first line. A thread started inside the swap logs a
// line of its own, which has to wait for that turn to end.
bool reopenSawLogLocked = false;
bool captionInAGap = false;  // the caption changed outside the turn, before the first line
std::thread intruder;
WNDPROC buttonProc = nullptr;

std::FILE* reopenWithIntruder() {
  reopenSawLogLocked = logMutexHeldElsewhere();
  intruder = std::thread([] { logLine("intruder\r\n"); });
  return reopenOntoNul();
}

LRESULT CALLBACK probingCaptionProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_SETTEXT && !logMutexHeldElsewhere()) {
    std::lock_guard<std::mutex> lock(logMutex());
    captionInAGap = std::ranges::count(capturedLogLines, "Log Console Started\r\n") == 0;
  }
  return CallWindowProcA(buttonProc, window, message, wParam, lParam);
}

class LogConsoleInProcess : public testing::Test {
 protected:
  // The console's stream and the button caption agree with `open`.
  static void expectConsole(bool open) {
    EXPECT_EQ(consoleStream.load() != nullptr, open);
    EXPECT_EQ(windriver::itemText(mainWindow, IDC_LOG_TOGGLE), open ? "Stop Log" : "Start Log");
  }

  void SetUp() override {
    // A test program started from a console shares it; a process can own only one.
    FreeConsole();
    savedReopen_ = testSeams.consoleReopen;
    reopenCalls = 0;
    reopenSawLogLocked = captionInAGap = false;
    parent_ = CreateWindowExA(0, "STATIC", "log console test", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200,
                              nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(parent_, nullptr);
    HWND button = CreateWindowExA(0, "BUTTON", "Start Log", WS_CHILD | BS_PUSHBUTTON, 10, 10, 80,
                                  24, parent_, reinterpret_cast<HMENU>(IDC_LOG_TOGGLE),
                                  GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(button, nullptr);
    appInstance = GetModuleHandleA(nullptr);  // the captions come from this program's resources
    mainWindow = parent_;
  }

  void TearDown() override {
    if (consoleStream.load() != nullptr) toggleLogConsole();
    FreeConsole();
    testSeams.consoleReopen = savedReopen_;
    mainWindow = nullptr;
    if (parent_ != nullptr) DestroyWindow(parent_);
  }

 private:
  ConsoleReopen savedReopen_ = nullptr;
  HWND parent_ = nullptr;
};

TEST_F(LogConsoleInProcess, OpenAndCloseRepeatedlyEachOpenStartsWithItsOwnLine) {
  testSeams.consoleReopen = reopenOntoNul;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    LogCapture log;
    toggleLogConsole();
    expectConsole(true);
    EXPECT_NE(GetConsoleWindow(), nullptr) << "no console was created";
    ASSERT_FALSE(log.lines().empty());
    EXPECT_EQ(log.lines().front(), "Log Console Started\r\n");
    EXPECT_EQ(log.lines().size(), 1u);

    toggleLogConsole();
    expectConsole(false);
    EXPECT_EQ(GetConsoleWindow(), nullptr) << "the console is still attached";
    EXPECT_EQ(log.lines().size(), 1u) << "closing writes no line";
  }
  EXPECT_EQ(reopenCalls, 3);
}

TEST_F(LogConsoleInProcess, SwapCaptionAndFirstLineAreOneTurnOfTheLog) {
  testSeams.consoleReopen = reopenWithIntruder;
  HWND button = GetDlgItem(mainWindow, IDC_LOG_TOGGLE);
  buttonProc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrA(button, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(probingCaptionProc)));
  LogCapture log;
  toggleLogConsole();
  ASSERT_TRUE(intruder.joinable());
  intruder.join();
  EXPECT_EQ(reopenCalls, 1);
  EXPECT_TRUE(reopenSawLogLocked) << "a logLine could write into a half-reopened stdout";
  EXPECT_FALSE(captionInAGap) << "the log's turn was given up before the first line";
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"Log Console Started\r\n", "intruder\r\n"}));
}

TEST_F(LogConsoleInProcess, FailedReopenGivesTheConsoleBackAndTheNextPressWorks) {
  testSeams.consoleReopen = []() -> std::FILE* {
    ++reopenCalls;
    return nullptr;
  };
  {
    LogCapture log;
    toggleLogConsole();
    EXPECT_EQ(reopenCalls, 1);
    expectConsole(false);
    EXPECT_EQ(GetConsoleWindow(), nullptr) << "an empty console was left on the screen";
    EXPECT_TRUE(log.lines().empty());
  }
  // Not stuck: the next press creates a console again.
  testSeams.consoleReopen = reopenOntoNul;
  LogCapture log;
  toggleLogConsole();
  expectConsole(true);
  EXPECT_EQ(log.text(), "Log Console Started\r\n");
}

TEST_F(LogConsoleInProcess, NoConsoleCanBeCreatedSoNothingChanges) {
  // The process already has a console of its own: AllocConsole refuses a second one.
  ASSERT_TRUE(AllocConsole());
  testSeams.consoleReopen = reopenOntoNul;
  LogCapture log;
  toggleLogConsole();
  EXPECT_EQ(reopenCalls, 0);
  expectConsole(false);
  EXPECT_TRUE(log.lines().empty());
}

}  // namespace
