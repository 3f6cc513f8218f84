// Parking the main window in the notification area while the tunnel is on.
#pragma once

#include <windows.h>

// Adds the icon with its balloon, removes the taskbar button and hides the window.
// 1 if the window was parked, 0 if nothing changed.
int hideToTray(HWND window);

// Shows the window again in its normal state, restores its taskbar button, removes the icon.
void restoreFromTray(HWND window);

// Deletes the icon if one is shown: for the ways out of the program that never pass through
// restoreFromTray. Any thread (the console's control handler runs on a thread of its own).
void removeTrayIcon();

// Installs a console control handler that deletes the icon before the default handler ends the
// process (the log console's close box, Ctrl+C or Ctrl+Break in it). Once, at start-up.
void deleteTrayIconOnConsoleEnd();

// After the shell restarted ("TaskbarCreated"): a parked window's icon goes back into the new,
// empty notification area, without its balloon, and its button out of the new taskbar; when the
// shell refuses the icon, the window comes back as after a click on it. Nothing when not parked.
void showTrayIconAgain(HWND window);
