// The process-wide window handles for test programs that link the console and tray code without
// the main window: the tests point them at windows of their own.
#include "app/app_state.h"

HINSTANCE appInstance = GetModuleHandleA(nullptr);
HICON smallIcon = nullptr;
HWND mainWindow = nullptr;
