// Parking the main window in the notification area while the tunnel is on.
#pragma once

#include <windows.h>

// Adds the icon with its balloon, removes the taskbar button and hides the window.
// 1 if the window was parked, 0 if nothing changed.
int hideToTray(HWND window);

// Shows the window again in its normal state, restores its taskbar button, removes the icon.
void restoreFromTray(HWND window);

#ifdef QUILLAN_TEST_HOOKS
// Test builds only: the kept taskbar-list object, or nullptr before the first parking got that far.
void* trayTaskbarListForTests();
#endif
