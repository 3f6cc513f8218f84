// toggleLogConsole inside the test process: the button caption, consoleStream, the first line and
// the way back from a failed reopen. Standard output itself is never swapped here (a stand-in
// stream takes its place), so the test's own output survives; the real swap is covered by the
// end-to-end tests against quillan.exe.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "app/app_state.h"
#include "app/log_console.h"
#include "common/log.h"
#include "common/test_seams.h"
#include "resources/resource.h"
#include "tests/app/win_driver.h"
#include "tests/support/log_capture.h"

namespace {

int reopenCalls = 0;
bool reopenSawLogLocked = false;

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
  reopenSawLogLocked = logMutexHeldElsewhere();
  return std::fopen("NUL", "w");
}

// Another thread logs while the console is being opened: it is started inside the swap and given
// time to queue up on the log lock. The button's caption change is slowed down, so the intruder
// would win the turn if the lock were given up before the first line is written.
std::thread intruder;
WNDPROC buttonProc = nullptr;

std::FILE* reopenWithIntruder() {
  ++reopenCalls;
  intruder = std::thread([] { logLine("intruder\r\n"); });
  Sleep(100);
  return std::fopen("NUL", "w");
}

LRESULT CALLBACK slowCaptionProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_SETTEXT) Sleep(200);
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
    reopenSawLogLocked = false;
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

TEST_F(LogConsoleInProcess, StandardOutputIsSwappedUnderTheLogLock) {
  testSeams.consoleReopen = reopenOntoNul;
  LogCapture log;
  toggleLogConsole();
  EXPECT_EQ(reopenCalls, 1);
  EXPECT_TRUE(reopenSawLogLocked) << "a logLine could write into a half-reopened stdout";
}

TEST_F(LogConsoleInProcess, NoOtherLineComesBeforeTheFirstLine) {
  testSeams.consoleReopen = reopenWithIntruder;
  HWND button = GetDlgItem(mainWindow, IDC_LOG_TOGGLE);
  buttonProc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrA(button, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(slowCaptionProc)));
  LogCapture log;
  toggleLogConsole();
  ASSERT_TRUE(intruder.joinable());
  intruder.join();
  ASSERT_EQ(log.lines().size(), 2u);
  EXPECT_EQ(log.lines()[0], "Log Console Started\r\n");
  EXPECT_EQ(log.lines()[1], "intruder\r\n");
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
