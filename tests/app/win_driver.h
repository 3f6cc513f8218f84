// A small Win32 driver for the window tests: it finds the running program's dialog and does
// what a person would (type, click, answer boxes) from another process, and reads the registry.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/wait.h"

namespace windriver {

inline constexpr const char* kDialogTitle = "Quillan proxy";
inline constexpr const char* kSettingsKey = "Software\\Varnholt Software\\Quillan";
// Every bound below is scaled (tests/support/wait.h): several times longer under emulation.
inline DWORD scaledMs(std::chrono::milliseconds limit) {
  return static_cast<DWORD>(scaled(limit).count());
}

// --- Windows --------------------------------------------------------------------------------

// false when it timed out.
inline bool sendWithTimeout(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                            LRESULT* result = nullptr,
                            std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  DWORD_PTR value = 0;
  bool answered = SendMessageTimeoutA(window, message, wParam, lParam, SMTO_ABORTIFHUNG,
                                      scaledMs(limit), &value);
  if (answered && result != nullptr) *result = static_cast<LRESULT>(value);
  return answered;
}

// Cross-process text through SendMessageTimeout; empty on failure.
inline std::string windowText(HWND window) {
  LRESULT length = 0, copied = 0;
  if (window == nullptr || !sendWithTimeout(window, WM_GETTEXTLENGTH, 0, 0, &length)) return {};
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  bool read = sendWithTimeout(window, WM_GETTEXT, text.size(),
                              reinterpret_cast<LPARAM>(text.data()), &copied);
  text.resize(read ? static_cast<std::size_t>(copied) : 0);
  return text;
}

inline std::string itemText(HWND dialog, int id) {
  return windowText(GetDlgItem(dialog, id));
}

// WM_SETTEXT: bypasses ES_NUMBER and the entry limit, as a program would.
inline bool setItemText(HWND dialog, int id, const std::string& text) {
  HWND item = GetDlgItem(dialog, id);
  LRESULT ok = 0;
  return item != nullptr &&
         sendWithTimeout(item, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), &ok) &&
         ok != 0;
}

// Types each character with WM_CHAR, so ES_NUMBER and the entry limit apply as for a person.
inline bool typeText(HWND dialog, int id, std::string_view text) {
  HWND item = GetDlgItem(dialog, id);
  if (item == nullptr) return false;
  for (char c : text) {
    if (!sendWithTimeout(item, WM_CHAR, static_cast<unsigned char>(c), 1)) return false;
  }
  return true;
}

inline bool itemEnabled(HWND dialog, int id) {
  HWND item = GetDlgItem(dialog, id);
  return item != nullptr && IsWindowEnabled(item);
}

inline bool postClick(HWND dialog, int id, HWND button) {
  return PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                      reinterpret_cast<LPARAM>(button)) != 0;
}

// Posts WM_COMMAND(id, BN_CLICKED) (never sent: the handler may open a modal box). Refused when
// the button is missing or disabled, or the dialog is disabled by a modal box.
inline bool click(HWND dialog, int id) {
  return itemEnabled(dialog, id) && IsWindowEnabled(dialog) &&
         postClick(dialog, id, GetDlgItem(dialog, id));
}

// Posts WM_KEYDOWN + WM_KEYUP to a control, for keys the dialog manager handles.
inline bool pressKey(HWND dialog, int id, UINT virtualKey) {
  HWND item = GetDlgItem(dialog, id);
  if (item == nullptr) return false;
  UINT scan = MapVirtualKeyA(virtualKey, MAPVK_VK_TO_VSC);
  LPARAM down = 1 | static_cast<LPARAM>(scan) << 16;
  LPARAM up = down | static_cast<LPARAM>(0xC0000000u);
  return PostMessageA(item, WM_KEYDOWN, virtualKey, down) != 0 &&
         PostMessageA(item, WM_KEYUP, virtualKey, up) != 0;
}

inline bool postSysCommand(HWND dialog, WPARAM command) {
  return PostMessageA(dialog, WM_SYSCOMMAND, command, 0) != 0;
}

// The notification-icon callback with a mouse message in lParam.
inline bool postTrayCallback(HWND dialog, UINT callbackMessage, UINT mouseMessage) {
  return PostMessageA(dialog, callbackMessage, 1, mouseMessage) != 0;
}

inline std::string className(HWND window) {
  std::array<char, 64> name{};
  GetClassNameA(window, name.data(), static_cast<int>(name.size()));
  return name.data();
}

// The child windows of the dialog in their z order, which is the tab order of the template.
inline std::vector<HWND> children(HWND dialog) {
  std::vector<HWND> result;
  for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    result.push_back(child);
  }
  return result;
}

// A visible "#32770" with `owner` nullptr: the unowned main dialog titled "Quillan proxy" (of
// `processId` unless 0); else a message box owned by `owner`, shown by any thread of the program.
inline HWND findDialog(DWORD processId, HWND owner) {
  struct Search {
    DWORD processId;
    HWND owner, found;
    // A named CALLBACK: on i686 a lambda does not convert to the stdcall WNDENUMPROC.
    static BOOL CALLBACK match(HWND window, LPARAM parameter) {
      auto* search = reinterpret_cast<Search*>(parameter);
      if (className(window) != "#32770" || !IsWindowVisible(window) ||
          GetWindow(window, GW_OWNER) != search->owner) {
        return TRUE;
      }
      if (search->owner == nullptr) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        std::array<char, 64> title{};
        GetWindowTextA(window, title.data(), static_cast<int>(title.size()));
        if ((search->processId != 0 && process != search->processId) ||
            std::strcmp(title.data(), kDialogTitle) != 0) {
          return TRUE;
        }
      }
      search->found = window;
      return FALSE;
    }
  } search{processId, owner, nullptr};
  EnumWindows(Search::match, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Waits for findDialog. The main dialog already answers messages while it is still initialising,
// so its visibility is the sign that it is ready.
inline HWND waitDialog(DWORD processId, HWND owner) {
  HWND found = nullptr;
  waitUntil([&] { return (found = findDialog(processId, owner)) != nullptr; });
  return found;
}

inline HWND waitMainDialog(DWORD processId) {
  return waitDialog(processId, nullptr);
}

// --- Message boxes --------------------------------------------------------------------------

inline HWND findMessageBox(HWND owner) {
  return findDialog(0, owner);
}

inline HWND waitMessageBox(HWND owner) {
  return waitDialog(0, owner);
}

// The text of the box (its static control 0xFFFF).
inline std::string messageBoxText(HWND box) {
  return itemText(box, 0xFFFF);
}

// Presses IDOK, IDYES, IDNO...; false when the box has no such button.
inline bool answerMessageBox(HWND box, int buttonId) {
  HWND button = GetDlgItem(box, buttonId);
  return button != nullptr && postClick(box, buttonId, button);
}

// --- The program under test -----------------------------------------------------------------

// "/unix/path" -> "Z:\unix\path"; a Windows path is returned unchanged.
inline std::string windowsPath(const std::string& path) {
  if (path.empty() || path[0] != '/') return path;
  std::string result = "Z:" + path;
  std::replace(result.begin(), result.end(), '/', '\\');
  return result;
}

// The program started detached from any console (under Wine a GUI child would otherwise inherit
// the driver's console), standard output and error into a temp file. Terminated and the file
// removed on destruction.
class AppProcess {
 public:
  AppProcess() = default;
  AppProcess(const AppProcess&) = delete;
  AppProcess& operator=(const AppProcess&) = delete;
  ~AppProcess() {
    terminate();
    if (!outputPath_.empty()) DeleteFileA(outputPath_.c_str());
  }

  bool launch(const std::string& exePath) {
    std::array<char, MAX_PATH> directory{}, file{};
    if (GetTempPathA(static_cast<DWORD>(directory.size()), directory.data()) == 0 ||
        GetTempFileNameA(directory.data(), "qlo", 0, file.data()) == 0) {
      return false;
    }
    outputPath_ = file.data();
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE output = CreateFileA(outputPath_.c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE) return false;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = output;
    PROCESS_INFORMATION info{};
    std::string commandLine = "\"" + windowsPath(exePath) + "\"";
    BOOL started = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                  DETACHED_PROCESS, nullptr, nullptr, &startup, &info);
    CloseHandle(output);  // the child has its own copy
    if (!started) return false;
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    processId_ = info.dwProcessId;
    return true;
  }

  DWORD processId() const { return processId_; }
  bool running() const { return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

  // The exit code, or nothing on time-out.
  std::optional<DWORD> waitExit(std::chrono::milliseconds limit = kHangLimit) {
    DWORD code = 0;
    if (process_ == nullptr || WaitForSingleObject(process_, scaledMs(limit)) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process_, &code)) {
      return {};
    }
    return code;
  }

  void terminate() {
    if (process_ == nullptr) return;
    if (running()) {
      TerminateProcess(process_, 1);
      WaitForSingleObject(process_, scaledMs(std::chrono::seconds(5)));
    }
    CloseHandle(process_);
    process_ = nullptr;
  }

  // Everything the program has written to standard output so far.
  std::string output() const {
    std::ifstream file(outputPath_, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  }

 private:
  HANDLE process_ = nullptr;
  DWORD processId_ = 0;
  std::string outputPath_;
};

// The text of the program's console, read by attaching to it (the driver's own console is left
// for the time of the read); nothing while it has none.
inline std::optional<std::string> readConsoleText(DWORD processId) {
  FreeConsole();
  std::optional<std::string> text;
  if (AttachConsole(processId)) {
    HANDLE console =
        CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (console != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(console, &info)) {
      // Row by row up to the cursor, each row's trailing blanks dropped.
      text.emplace();
      std::string row(static_cast<std::size_t>(info.dwSize.X), ' ');
      for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
        DWORD read = 0;
        ReadConsoleOutputCharacterA(console, row.data(), static_cast<DWORD>(row.size()),
                                    COORD{0, y}, &read);
        std::string line = row.substr(0, read);
        *text += line.erase(line.find_last_not_of(' ') + 1) + '\n';
      }
    }
    if (console != INVALID_HANDLE_VALUE) CloseHandle(console);
    FreeConsole();
  }
  AttachConsole(ATTACH_PARENT_PROCESS);
  return text;
}

// --- Notification area: the icon record of a window is the window and id 1 ----------------

inline bool notifyIcon(DWORD message, HWND window, HICON icon = nullptr) {
  NOTIFYICONDATAA record{};
  record.cbSize = sizeof record;
  record.hWnd = window;
  record.uID = 1;
  record.uFlags = icon != nullptr ? NIF_ICON : 0;
  record.hIcon = icon;
  return Shell_NotifyIconA(message, &record) != FALSE;
}

// The shell answers a modify (with no flags: no change) only for an icon it holds.
inline bool trayIconExists(HWND window) {
  return notifyIcon(NIM_MODIFY, window);
}

// An icon that is not the program's under the window's record: the program's own add is refused.
inline bool addForeignTrayIcon(HWND window) {
  return notifyIcon(NIM_ADD, window, LoadIconA(nullptr, IDI_INFORMATION));
}

inline bool deleteTrayIcon(HWND window) {
  return notifyIcon(NIM_DELETE, window);
}

// --- The settings key (HKEY_CURRENT_USER\kSettingsKey) ------------------------------------

struct RegistryValue {
  DWORD type = REG_NONE;
  std::string data;  // raw bytes as stored, terminator included if there is one
};

// Deletes the key and everything below it; true also when it did not exist.
inline bool deleteKey() {
  LSTATUS status = RegDeleteTreeA(HKEY_CURRENT_USER, kSettingsKey);
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

// The key opened (or created) with `access`; nullptr on failure. The caller closes it.
inline HKEY openKey(REGSAM access, bool create = false) {
  HKEY key = nullptr;
  LSTATUS status = create ? RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr,
                                            REG_OPTION_NON_VOLATILE, access, nullptr, &key, nullptr)
                          : RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, access, &key);
  return status == ERROR_SUCCESS ? key : nullptr;
}

inline bool keyExists() {
  HKEY key = openKey(KEY_READ);
  if (key != nullptr) RegCloseKey(key);
  return key != nullptr;
}

// Raw bytes of a given type (a REG_SZ's terminator only if `bytes` holds one).
inline bool writeValue(const char* name, DWORD type, std::string_view bytes) {
  HKEY key = openKey(KEY_SET_VALUE, true);
  if (key == nullptr) return false;
  LSTATUS status = RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                                  static_cast<DWORD>(bytes.size()));
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

// A REG_SZ value whose stored length is the text plus its terminator.
inline bool writeString(const char* name, std::string_view text) {
  return writeValue(name, REG_SZ, std::string(text) + '\0');
}

inline std::optional<RegistryValue> readValue(const char* name) {
  HKEY key = openKey(KEY_QUERY_VALUE);
  if (key == nullptr) return {};
  RegistryValue value;
  DWORD size = 0;
  LSTATUS status = RegQueryValueExA(key, name, nullptr, &value.type, nullptr, &size);
  value.data.resize(size);  // then the bytes, into a buffer of the size just found
  if (status == ERROR_SUCCESS) {
    status = RegQueryValueExA(key, name, nullptr, &value.type,
                              reinterpret_cast<BYTE*>(value.data.data()), &size);
  }
  RegCloseKey(key);
  value.data.resize(size);
  if (status != ERROR_SUCCESS) return {};
  return value;
}

// Value names in their enumeration order.
inline std::vector<std::string> valueNames() {
  std::vector<std::string> names;
  HKEY key = openKey(KEY_QUERY_VALUE);
  if (key == nullptr) return names;
  std::array<char, 256> name{};
  DWORD length = name.size();
  while (RegEnumValueA(key, static_cast<DWORD>(names.size()), name.data(), &length, nullptr,
                       nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
    names.emplace_back(name.data(), length);
    length = name.size();
  }
  RegCloseKey(key);
  return names;
}

}  // namespace windriver
