// hideToTray / restoreFromTray inside the test process, against the desktop's notification area:
// the icon's presence (window + id 1), the window's visibility, the refused-add path and the reuse
// of the one taskbar-list object.
#include <windows.h>
#include <ole2.h>

#include <gtest/gtest.h>

#include <cstdint>

#include "app/app_state.h"
#include "app/tray_icon.h"
#include "common/test_seams.h"
#include "tests/app/win_driver.h"

namespace {

using namespace windriver;

// Stands in for the default console handler, which would end the process: registered before the
// tray's handler, so it runs after it, and only if that one passed the event on.
HANDLE passedOn = nullptr;
BOOL WINAPI stopBeforeTheDefault(DWORD) {
  SetEvent(passedOn);
  return TRUE;
}

// Runs the process's console handlers for `event` as the system does (the console's close box
// starts this routine in every attached process), and waits until they are done.
bool runConsoleHandlers(DWORD event) {
  auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleA("kernelbase.dll"), "CtrlRoutine")));
  if (routine == nullptr) return false;
  HANDLE thread =
      CreateThread(nullptr, 0, routine, reinterpret_cast<void*>(std::uintptr_t{event}), 0, nullptr);
  if (thread == nullptr) return false;
  bool ended =
      WaitForSingleObject(thread, windriver::scaledMs(std::chrono::seconds(10))) == WAIT_OBJECT_0;
  CloseHandle(thread);
  return ended;
}

class TrayIconInProcess : public testing::Test {
 protected:
  void SetUp() override {
    // The entry of quillan.exe does the same before the window exists.
    OleInitialize(nullptr);
    appInstance = GetModuleHandleA(nullptr);  // the icon comes from this program's resources
    ASSERT_NE(FindWindowA("Shell_TrayWnd", nullptr), nullptr)
        << "no notification area: run under the Wine virtual desktop";
    window_ = CreateWindowExA(0, "STATIC", "tray test", WS_OVERLAPPEDWINDOW, 40, 40, 300, 200,
                              nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(window_, nullptr);
    ShowWindow(window_, SW_SHOWNORMAL);
  }

  void TearDown() override {
    if (window_ == nullptr) return;
    deleteTrayIcon(window_);
    DestroyWindow(window_);
  }

  HWND window_ = nullptr;
};

TEST_F(TrayIconInProcess, ParkAndRestoreTwiceReusesOneTaskbarList) {
  void* firstList = nullptr;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(hideToTray(window_), 1);
    EXPECT_FALSE(IsWindowVisible(window_));
    EXPECT_TRUE(trayIconExists(window_)) << "the icon was not added";
    void* list = testSeams.trayTaskbarList;
    ASSERT_NE(list, nullptr);
    if (round == 0) firstList = list;
    EXPECT_EQ(list, firstList) << "a second taskbar-list object was created";

    restoreFromTray(window_);
    EXPECT_TRUE(IsWindowVisible(window_));
    EXPECT_FALSE(IsIconic(window_));
    EXPECT_FALSE(trayIconExists(window_)) << "the icon was left behind";
  }
}

TEST_F(TrayIconInProcess, RestoreBringsBackAMinimisedWindowInNormalState) {
  ASSERT_EQ(hideToTray(window_), 1);
  // What the dialog does next: the default minimise still runs after the parking.
  ShowWindow(window_, SW_MINIMIZE);
  restoreFromTray(window_);
  EXPECT_TRUE(IsWindowVisible(window_));
  EXPECT_FALSE(IsIconic(window_));
  EXPECT_FALSE(trayIconExists(window_));
}

// The console's close box ends the program through the default handler; the parked window's icon
// goes first, or a dead one stays next to the clock. (Wine ends the processes of a closed console
// without running any handler, and removes a normally ending program's icons itself, so this
// can't be seen from outside the program there.) Ctrl+Break takes the handlers the same way,
// without the end that Windows forces on a process after a close event.
TEST_F(TrayIconInProcess, ConsoleEndDeletesTheIconAndPassesTheEventOn) {
  passedOn = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(SetConsoleCtrlHandler(stopBeforeTheDefault, TRUE));
  deleteTrayIconOnConsoleEnd();
  ASSERT_EQ(hideToTray(window_), 1);

  EXPECT_TRUE(runConsoleHandlers(CTRL_BREAK_EVENT));
  EXPECT_FALSE(trayIconExists(window_)) << "the icon outlives the program";
  EXPECT_EQ(WaitForSingleObject(passedOn, 0), WAIT_OBJECT_0) << "the program would not end";

  SetConsoleCtrlHandler(stopBeforeTheDefault, FALSE);
  CloseHandle(passedOn);
}

// The shell refuses an icon whose window and id it holds already. Refused when parking, nothing
// changes; refused when put back after a shell restart ("TaskbarCreated"), the window comes back,
// or it would be hidden with neither icon nor taskbar button.
TEST_F(TrayIconInProcess, RefusedIconNeverLeavesTheWindowOutOfReach) {
  ASSERT_TRUE(addForeignTrayIcon(window_));
  EXPECT_EQ(hideToTray(window_), 0);
  EXPECT_TRUE(IsWindowVisible(window_)) << "the window was hidden although the icon failed";
  EXPECT_TRUE(trayIconExists(window_)) << "someone else's icon was deleted";

  ASSERT_TRUE(deleteTrayIcon(window_));
  ASSERT_EQ(hideToTray(window_), 1);
  ASSERT_TRUE(deleteTrayIcon(window_));  // the new shell knows no icon
  showTrayIconAgain(window_);
  EXPECT_TRUE(trayIconExists(window_));
  EXPECT_FALSE(IsWindowVisible(window_));
  showTrayIconAgain(window_);  // refused: the icon is there already
  EXPECT_TRUE(IsWindowVisible(window_)) << "the window is out of reach";
  EXPECT_FALSE(IsIconic(window_));
  EXPECT_FALSE(trayIconExists(window_));
}

}  // namespace
