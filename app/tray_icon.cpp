// Parking the main window in the notification area while the tunnel is on: the icon with its
// balloon, the taskbar button removed through the shell's taskbar-list object, and the way back;
// the icon put back after a shell restart and deleted on every way out of the program.
#include "app/tray_icon.h"

#include <shellapi.h>
#include <shobjidl.h>

#include <atomic>

#include "app/app_state.h"
#include "app/window_text.h"
#include "common/test_seams.h"
#include "resources/resource.h"

// The record goes out in the version-2 ANSI layout (up to dwInfoFlags, no GUID): the size the
// shell of the oldest supported systems accepts with a balloon. 488 bytes in the 32-bit build.
static_assert(sizeof(void*) != 4 || NOTIFYICONDATAA_V2_SIZE == 488);

namespace {

constexpr UINT kTrayIconId = 1;
constexpr UINT kBalloonTimeoutMs = 500;

// Rebuilt from zero on every hideToTray; restoreFromTray deletes the icon it names (window + id).
NOTIFYICONDATAA trayRecord{};

// The 32 x 32 icon of the record, owned here while the shell shows it; the shell keeps its own
// copy, so it is destroyed once the icon is deleted (or was never added).
HICON trayIcon = nullptr;

// Created by the first hideToTray that gets that far and kept, never released, for the process.
ITaskbarList* taskbarList = nullptr;

// The window whose icon is in the notification area, or nullptr. Read by the ways out of the
// program, on whatever thread they run.
std::atomic<HWND> iconWindow{nullptr};

void releaseTrayIcon() {
  if (trayIcon != nullptr) DestroyIcon(trayIcon);
  trayIcon = nullptr;
}

void deleteNotifyIcon() {
  iconWindow.store(nullptr);
  Shell_NotifyIconA(NIM_DELETE, &trayRecord);
  releaseTrayIcon();
}

// Runs on a thread of its own, before the default handler that ends the process.
BOOL WINAPI consoleEnding(DWORD) {
  removeTrayIcon();
  return FALSE;
}

bool createTaskbarList() {
  void* object = nullptr;
  if (FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList,
                              &object)))
    return false;
  auto* list = static_cast<ITaskbarList*>(object);
  // The object is unusable until initialised; a failed one is dropped so the next minimise retries.
  if (FAILED(list->HrInit())) {
    list->Release();
    return false;
  }
  taskbarList = list;
  testSeams.trayTaskbarList = list;
  return true;
}

}  // namespace

int hideToTray(HWND window) {
  releaseTrayIcon();
  trayRecord = NOTIFYICONDATAA{};
  trayRecord.cbSize = NOTIFYICONDATAA_V2_SIZE;
  trayRecord.hWnd = window;
  trayRecord.uID = kTrayIconId;
  trayRecord.uFlags = NIF_MESSAGE | NIF_ICON | NIF_INFO;  // no NIF_TIP: no tooltip text
  trayRecord.uCallbackMessage = kTrayCallbackMessage;
  trayIcon = static_cast<HICON>(
      LoadImageA(appInstance, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR));
  trayRecord.hIcon = trayIcon;
  loadText(IDS_BALLOON_TEXT, trayRecord.szInfo);
  loadText(IDS_BALLOON_TITLE, trayRecord.szInfoTitle);
  trayRecord.dwInfoFlags = NIIF_INFO;
  trayRecord.uTimeout = kBalloonTimeoutMs;

  if (!Shell_NotifyIconA(NIM_ADD, &trayRecord)) {
    // Refused (no shell, or an icon with this window and id already exists): nothing changed.
    releaseTrayIcon();
    return 0;
  }
  iconWindow.store(window);
  if (taskbarList == nullptr && !createTaskbarList()) {
    deleteNotifyIcon();
    return 0;
  }
  if (FAILED(taskbarList->DeleteTab(window))) {
    deleteNotifyIcon();
    return 0;
  }
  ShowWindow(window, SW_HIDE);
  return 1;
}

void restoreFromTray(HWND window) {
  // The results are not examined: each step does what it can and the next one runs regardless.
  ShowWindow(window, SW_SHOW);
  if (taskbarList != nullptr) taskbarList->AddTab(window);
  ShowWindow(window, SW_RESTORE);
  deleteNotifyIcon();
}

void removeTrayIcon() {
  HWND window = iconWindow.exchange(nullptr);
  if (window == nullptr) return;
  // A record of its own: the UI thread may be rebuilding the kept one. The 32 x 32 icon handle
  // is left to the end of the process, which follows.
  NOTIFYICONDATAA record{};
  record.cbSize = NOTIFYICONDATAA_V2_SIZE;
  record.hWnd = window;
  record.uID = kTrayIconId;
  Shell_NotifyIconA(NIM_DELETE, &record);
}

void deleteTrayIconOnConsoleEnd() {
  SetConsoleCtrlHandler(consoleEnding, TRUE);
}

void showTrayIconAgain(HWND window) {
  if (iconWindow.load() != window) return;
  // The balloon was shown when the window was parked; once is enough.
  NOTIFYICONDATAA record = trayRecord;
  record.uFlags &= ~static_cast<UINT>(NIF_INFO);
  if (!Shell_NotifyIconA(NIM_ADD, &record)) {
    // A shell that refuses it (or is not ready yet) would leave a hidden window with neither
    // icon nor taskbar button: bring it back as a click on the icon would.
    restoreFromTray(window);
    return;
  }
  if (taskbarList != nullptr) taskbarList->DeleteTab(window);
}
