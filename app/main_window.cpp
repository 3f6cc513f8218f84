// The main dialog: settings fields, Start/Stop/Close, the port clamp, and the hooks through
// which the tunnel service (on its listener thread) sets the buttons and shows error boxes.
#include "app/main_window.h"

#include <shellapi.h>

#include <array>
#include <span>

#include "app/app_state.h"
#include "app/log_console.h"
#include "app/tray_icon.h"
#include "app/window_text.h"
#include "common/front_end.h"
#include "common/log.h"
#include "common/message.h"
#include "common/service_state.h"
#include "config/settings_store.h"
#include "config/tunnel_settings.h"
#include "resources/resource.h"
#include "tunnel/tunnel_service.h"

namespace {

constexpr int kPortEntryLimit = 5;
constexpr int kTextEntryLimit = 255;

// The shell's "TaskbarCreated" message, registered when the window opens; 0 before.
UINT taskbarCreatedMessage = 0;

struct FieldControl {
  int id;
  std::span<char> field;
  int entryLimit;
};

// Controls 1001 to 1008 and the settings fields behind them, in that order.
std::array<FieldControl, 8> fieldControls() {
  return {{
      {IDC_LOCAL_ADDRESS, tunnelSettings.localAddress, kTextEntryLimit},
      {IDC_LOCAL_PORT, tunnelSettings.localPort, kPortEntryLimit},
      {IDC_TARGET_SERVER, tunnelSettings.targetServer, kTextEntryLimit},
      {IDC_TARGET_PORT, tunnelSettings.targetPort, kPortEntryLimit},
      {IDC_PROXY_SERVER, tunnelSettings.proxyServer, kTextEntryLimit},
      {IDC_PROXY_PORT, tunnelSettings.proxyPort, kPortEntryLimit},
      {IDC_PROXY_USER, tunnelSettings.proxyUser, kTextEntryLimit},
      {IDC_PROXY_PASSWORD, tunnelSettings.proxyPassword, kTextEntryLimit},
  }};
}

void setButtonEnabled(int id, bool enabled) {
  if (mainWindow != nullptr) EnableWindow(GetDlgItem(mainWindow, id), enabled ? TRUE : FALSE);
}

// The service's states on the Start and Stop buttons; the listener thread reports too
// (EnableWindow is safe across threads, it sends to the window's own thread).
void showServiceState(ServiceState state) {
  switch (state) {
    case ServiceState::kProving:
      setButtonEnabled(IDC_START, false);
      return;
    case ServiceState::kAccepting:
      setButtonEnabled(IDC_STOP, true);
      return;
    case ServiceState::kIdle:
      setButtonEnabled(IDC_START, true);
      setButtonEnabled(IDC_STOP, false);
      return;
  }
}

// Modal to the main window once it exists, ownerless before that.
void showErrorBox(const char* text) {
  showMessageBox(mainWindow, text, MB_OK | MB_ICONERROR);
}

void initialiseDialog(HWND window) {
  mainWindow = window;
  for (const FieldControl& control : fieldControls()) {
    // Setting a port text sends EN_CHANGE, so the clamp also acts on values from the registry.
    SetDlgItemTextA(window, control.id, control.field.data());
    SendDlgItemMessageA(window, control.id, EM_SETLIMITTEXT,
                        static_cast<WPARAM>(control.entryLimit), 0);
  }
  SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon));
  taskbarCreatedMessage = RegisterWindowMessageA("TaskbarCreated");
  // Run elevated, the window would not get it from the shell, which runs at a lower level.
  ChangeWindowMessageFilterEx(window, taskbarCreatedMessage, MSGFLT_ALLOW, nullptr);
}

// A port field never shows more than 65535; an empty or unreadable field is left alone.
void clampPort(HWND window, int id) {
  BOOL readOk = FALSE;
  UINT value = GetDlgItemInt(window, id, &readOk, FALSE);
  if (readOk && value >= 65536) SetDlgItemTextA(window, id, "65535");
}

void startCommand(HWND window) {
  setCaption(window, IDC_START, IDS_WAIT);
  // GetDlgItemText stops one short of the buffer: 255 characters for text, 5 for ports.
  for (const FieldControl& control : fieldControls()) {
    GetDlgItemTextA(window, control.id, control.field.data(),
                    static_cast<int>(control.field.size()));
  }
  startService();
  saveSettings();  // after every attempt, a failed one too
  setCaption(window, IDC_START, IDS_START);
}

void stopCommand(HWND window) {
  setCaption(window, IDC_STOP, IDS_WAIT);
  logLine("Stopping local server...\r\n");
  stopService();
  setCaption(window, IDC_STOP, IDS_STOP);
}

void closeCommand(HWND window) {
  WindowText question{};
  if (listenerHandle.load() != nullptr &&
      showMessageBox(window, loadText(IDS_CLOSE_WHILE_ON, question), MB_YESNO | MB_ICONQUESTION) !=
          IDYES) {
    return;
  }
  EndDialog(window, IDCANCEL);
}

// WM_COMMAND; TRUE when handled. Command 1 (Enter in an edit field) is deliberately not.
INT_PTR command(HWND window, WPARAM wParam) {
  int id = LOWORD(wParam);
  switch (id) {
    case IDC_START:
      startCommand(window);
      return TRUE;
    case IDC_STOP:
      stopCommand(window);
      return TRUE;
    case IDC_LOG_TOGGLE:
      toggleLogConsole();
      return TRUE;
    case IDC_WEB_PAGE:
      ShellExecuteA(window, "open", kProductPageUrl, nullptr, nullptr, SW_SHOWNORMAL);
      return TRUE;
    case IDCANCEL:
      closeCommand(window);
      return TRUE;
    case IDC_LOCAL_PORT:
    case IDC_TARGET_PORT:
    case IDC_PROXY_PORT:
      if (HIWORD(wParam) != EN_CHANGE) return FALSE;
      clampPort(window, id);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void installWindowFrontEnd() {
  frontEnd = FrontEnd{showServiceState, showErrorBox};
}

INT_PTR CALLBACK mainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      initialiseDialog(window);
      return TRUE;  // focus to the first tab stop
    case WM_COMMAND:
      return command(window, wParam);
    case WM_SYSCOMMAND:
      // Exact SC_MINIMIZE while the tunnel is on: park in the notification area, then minimise.
      if (wParam == SC_MINIMIZE && listenerHandle.load() != nullptr) hideToTray(window);
      return FALSE;
    case kTrayCallbackMessage:
      if (lParam == WM_LBUTTONDOWN || lParam == WM_RBUTTONDOWN) restoreFromTray(window);
      return TRUE;
    case WM_ENDSESSION:
      // The session ends the process after this message, without destroying the window.
      if (wParam) removeTrayIcon();
      return FALSE;
    case WM_DESTROY:
      // Ended while parked: the icon names this window and would outlive it.
      removeTrayIcon();
      return FALSE;
    default:
      if (taskbarCreatedMessage != 0 && message == taskbarCreatedMessage) {
        showTrayIconAgain(window);
        return TRUE;
      }
      return FALSE;
  }
}
