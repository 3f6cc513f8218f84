// Process-wide handles of the Win32 front end (app_state.h), set by the entry and the window.
#include "app/app_state.h"

HINSTANCE appInstance = nullptr;
HICON smallIcon = nullptr;
HWND mainWindow = nullptr;
