// hideToTray / restoreFromTray inside the test process, against the desktop's notification area:
// the icon's presence (window + id 1), the window's visibility, the refused-add path and the reuse
// of the one taskbar-list object.
#include <windows.h>
#include <shellapi.h>
#include <ole2.h>

#include <gtest/gtest.h>

#include "app/app_state.h"
#include "app/tray_icon.h"

namespace {

// The shell answers a modify only for an icon it holds; no flags, so nothing about it changes.
bool trayIconExists(HWND window) {
  NOTIFYICONDATAA probe{};
  probe.cbSize = sizeof probe;
  probe.hWnd = window;
  probe.uID = 1;
  return Shell_NotifyIconA(NIM_MODIFY, &probe) != FALSE;
}

class TrayIconInProcess : public testing::Test {
 protected:
  void SetUp() override {
    // The entry of quillan.exe does the same before the window exists.
    OleInitialize(nullptr);
    ASSERT_EQ(FindWindowA("Shell_TrayWnd", nullptr) != nullptr, true)
        << "no notification area: run under the Wine virtual desktop";
    window_ = CreateWindowExA(0, "STATIC", "tray test", WS_OVERLAPPEDWINDOW, 40, 40, 300, 200,
                              nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(window_, nullptr);
    ShowWindow(window_, SW_SHOWNORMAL);
  }

  void TearDown() override {
    if (window_ == nullptr) return;
    NOTIFYICONDATAA record{};
    record.cbSize = sizeof record;
    record.hWnd = window_;
    record.uID = 1;
    Shell_NotifyIconA(NIM_DELETE, &record);
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
    void* list = trayTaskbarListForTests();
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

TEST_F(TrayIconInProcess, RefusedIconLeavesEverythingAsItWas) {
  // An icon with the same window and id already exists, so the shell refuses the add.
  NOTIFYICONDATAA other{};
  other.cbSize = sizeof other;
  other.hWnd = window_;
  other.uID = 1;
  other.uFlags = NIF_ICON;
  other.hIcon = LoadIconA(nullptr, MAKEINTRESOURCEA(32516));  // IDI_INFORMATION
  ASSERT_TRUE(Shell_NotifyIconA(NIM_ADD, &other));

  EXPECT_EQ(hideToTray(window_), 0);
  EXPECT_TRUE(IsWindowVisible(window_)) << "the window was hidden although the icon failed";
  EXPECT_TRUE(trayIconExists(window_)) << "someone else's icon was deleted";
}

}  // namespace
