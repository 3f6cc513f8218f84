// Process-wide handles of the Win32 front end.
#pragma once

#include <windows.h>

extern HINSTANCE appInstance;  // kept by the entry, used to load icons later
extern HICON smallIcon;        // 16 x 16 application icon, shared for the process
extern HWND mainWindow;        // the main dialog once it has received WM_INITDIALOG, else nullptr

// The notification-area callback message of the tray icon.
inline constexpr UINT kTrayCallbackMessage = WM_APP + 1;
