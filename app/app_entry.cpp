// The program's entry: OLE, common controls, Winsock 2.2, settings, then the main window.
#include <windows.h>
#include <commctrl.h>
#include <ole2.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "app/app_state.h"
#include "app/main_window.h"
#include "app/tray_icon.h"
#include "app/window_text.h"
#include "common/message.h"
#include "config/settings_store.h"
#include "platform/socket.h"
#include "resources/resource.h"

// The eight control classes of the first common controls, every one the window might use.
constexpr DWORD kControlClasses = ICC_LISTVIEW_CLASSES | ICC_TREEVIEW_CLASSES | ICC_BAR_CLASSES |
                                  ICC_TAB_CLASSES | ICC_UPDOWN_CLASS | ICC_PROGRESS_CLASS |
                                  ICC_HOTKEY_CLASS | ICC_ANIMATE_CLASS;
static_assert(kControlClasses == 0xFF);

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  appInstance = instance;
  // Every log line carries its own "\r\n"; in text mode the runtime would add a second CR to
  // each one in a redirected file or pipe. (A program started from the desktop has no stdout.)
  if (int descriptor = _fileno(stdout); descriptor >= 0) _setmode(descriptor, _O_BINARY);
  // The taskbar-list object of the tray is created later on this thread; the result does not
  // matter here (a failure only costs the tray parking).
  OleInitialize(nullptr);

  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), kControlClasses};
  InitCommonControlsEx(&controls);

  if (int error = startSocketLibrary(); error != 0) {
    WindowText format{};
    formatMessage(loadText(IDS_SOCKET_LIBRARY_FAILED, format), error);
    showMessageBox(nullptr, messageText.data(), MB_OK | MB_ICONERROR);
    return 0;
  }

  deleteTrayIconOnConsoleEnd();
  installWindowFrontEnd();
  loadSettings();
  smallIcon = static_cast<HICON>(
      LoadImageA(instance, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON, 16, 16, LR_SHARED | LR_VGACOLOR));

  DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, mainDialogProc, 0);

  // Listener and relay threads still running end with the process.
  stopSocketLibrary();
  return 0;
}
