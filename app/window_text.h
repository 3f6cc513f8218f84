// The window's texts, loaded from the string table of the resources (resources/strings.rc).
#pragma once

#include <windows.h>

#include <array>
#include <span>

#include "app/app_state.h"
#include "resources/resource.h"

// Room for the longest text of the string table, terminator included.
using WindowText = std::array<char, 128>;

// String resource `id` into `buffer`, clipped to its size and terminated; returns the buffer.
inline const char* loadText(UINT id, std::span<char> buffer) {
  LoadStringA(appInstance, id, buffer.data(), static_cast<int>(buffer.size()));
  return buffer.data();
}

// Sets the caption of control `id` to string resource `text`.
inline void setCaption(HWND window, int id, UINT text) {
  WindowText caption{};
  SetDlgItemTextA(window, id, loadText(text, caption));
}

// A message box with the window title as caption.
inline int showMessageBox(HWND owner, const char* text, UINT style) {
  WindowText title{};
  return MessageBoxA(owner, text, loadText(IDS_WINDOW_TITLE, title), style);
}
