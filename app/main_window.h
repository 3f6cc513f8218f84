// The main window: the modal dialog in which the user edits the settings and drives the tunnel.
#pragma once

#include <windows.h>

// Address of the product's web page, opened by button 1011.
inline constexpr const char* kProductPageUrl = "https://quillan.example.org/";

// Dialog procedure of dialog template 103.
INT_PTR CALLBACK mainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Shows the tunnel service's states on the Start and Stop buttons and its errors in boxes.
void installWindowFrontEnd();
