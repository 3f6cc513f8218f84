// The Win32 test driver: cross-process window operations, the program's process, the registry.
#include "tests/app/win_driver.h"

#include <shellapi.h>

#include <array>
#include <cstring>

namespace windriver {

namespace {

struct DialogSearch {
  DWORD processId;
  HWND owner;  // nullptr: look for the unowned main dialog; else for a box owned by it
  HWND found;
};

bool isDialogClass(HWND window) {
  std::array<char, 16> name{};
  GetClassNameA(window, name.data(), static_cast<int>(name.size()));
  return std::strcmp(name.data(), "#32770") == 0;
}

// A named CALLBACK: on i686 a lambda does not convert to the stdcall WNDENUMPROC.
BOOL CALLBACK matchMainDialog(HWND window, LPARAM parameter) {
  auto* search = reinterpret_cast<DialogSearch*>(parameter);
  if (!isDialogClass(window) || !IsWindowVisible(window)) return TRUE;
  if (GetWindow(window, GW_OWNER) != nullptr) return TRUE;
  if (search->processId != 0) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->processId) return TRUE;
  }
  std::array<char, 64> title{};
  GetWindowTextA(window, title.data(), static_cast<int>(title.size()));
  if (std::strcmp(title.data(), kDialogTitle) != 0) return TRUE;
  search->found = window;
  return FALSE;
}

BOOL CALLBACK matchMessageBox(HWND window, LPARAM parameter) {
  auto* search = reinterpret_cast<DialogSearch*>(parameter);
  if (!isDialogClass(window) || !IsWindowVisible(window)) return TRUE;
  if (GetWindow(window, GW_OWNER) != search->owner) return TRUE;
  search->found = window;
  return FALSE;
}

}  // namespace

bool waitUntil(const std::function<bool()>& condition, DWORD timeoutMs, DWORD pollMs) {
  ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (condition()) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(pollMs);
  }
}

HWND findMainDialog(DWORD processId) {
  DialogSearch search{processId, nullptr, nullptr};
  EnumWindows(matchMainDialog, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND findMessageBox(HWND owner) {
  DialogSearch search{0, owner, nullptr};
  EnumWindows(matchMessageBox, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND waitMainDialog(DWORD processId, DWORD timeoutMs) {
  HWND dialog = nullptr;
  waitUntil([&] { return (dialog = findMainDialog(processId)) != nullptr; }, timeoutMs);
  return dialog;
}

HWND waitMessageBox(HWND owner, DWORD timeoutMs) {
  HWND box = nullptr;
  waitUntil([&] { return (box = findMessageBox(owner)) != nullptr; }, timeoutMs);
  return box;
}

bool sendWithTimeout(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result,
                     DWORD timeoutMs) {
  DWORD_PTR value = 0;
  if (SendMessageTimeoutA(window, message, wParam, lParam, SMTO_ABORTIFHUNG, timeoutMs, &value) ==
      0) {
    return false;
  }
  if (result != nullptr) *result = static_cast<LRESULT>(value);
  return true;
}

std::string windowText(HWND window) {
  if (window == nullptr) return {};
  LRESULT length = 0;
  if (!sendWithTimeout(window, WM_GETTEXTLENGTH, 0, 0, &length)) return {};
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  LRESULT copied = 0;
  if (!sendWithTimeout(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                       &copied)) {
    return {};
  }
  text.resize(static_cast<std::size_t>(copied));
  return text;
}

std::string itemText(HWND dialog, int id) {
  return windowText(GetDlgItem(dialog, id));
}

bool setItemText(HWND dialog, int id, const std::string& text) {
  HWND item = GetDlgItem(dialog, id);
  LRESULT ok = 0;
  return item != nullptr &&
         sendWithTimeout(item, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), &ok) &&
         ok != 0;
}

bool typeText(HWND dialog, int id, std::string_view text) {
  HWND item = GetDlgItem(dialog, id);
  if (item == nullptr) return false;
  for (char c : text) {
    if (!sendWithTimeout(item, WM_CHAR, static_cast<unsigned char>(c), 1)) return false;
  }
  return true;
}

bool itemEnabled(HWND dialog, int id) {
  HWND item = GetDlgItem(dialog, id);
  return item != nullptr && IsWindowEnabled(item);
}

bool click(HWND dialog, int id) {
  HWND button = GetDlgItem(dialog, id);
  if (button == nullptr || !IsWindowEnabled(button) || !IsWindowEnabled(dialog)) return false;
  return PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                      reinterpret_cast<LPARAM>(button)) != 0;
}

bool pressKey(HWND dialog, int id, UINT virtualKey) {
  HWND item = GetDlgItem(dialog, id);
  if (item == nullptr) return false;
  UINT scan = MapVirtualKeyA(virtualKey, MAPVK_VK_TO_VSC);
  LPARAM down = 1 | static_cast<LPARAM>(scan) << 16;
  LPARAM up = down | static_cast<LPARAM>(0xC0000000u);
  return PostMessageA(item, WM_KEYDOWN, virtualKey, down) != 0 &&
         PostMessageA(item, WM_KEYUP, virtualKey, up) != 0;
}

bool postSysCommand(HWND dialog, WPARAM command) {
  return PostMessageA(dialog, WM_SYSCOMMAND, command, 0) != 0;
}

bool postTrayCallback(HWND dialog, UINT callbackMessage, UINT mouseMessage) {
  return PostMessageA(dialog, callbackMessage, 1, mouseMessage) != 0;
}

std::string className(HWND window) {
  std::array<char, 64> name{};
  int length = GetClassNameA(window, name.data(), static_cast<int>(name.size()));
  return std::string(name.data(), length > 0 ? static_cast<std::size_t>(length) : 0);
}

LONG windowStyle(HWND window) {
  return GetWindowLongA(window, GWL_STYLE);
}

std::vector<HWND> children(HWND dialog) {
  std::vector<HWND> result;
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    result.push_back(child);
  }
  return result;
}

std::string messageBoxText(HWND box) {
  return itemText(box, 0xFFFF);
}

bool answerMessageBox(HWND box, int buttonId) {
  HWND button = GetDlgItem(box, buttonId);
  if (button == nullptr) return false;
  return PostMessageA(box, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED),
                      reinterpret_cast<LPARAM>(button)) != 0;
}

std::string windowsPath(const std::string& path) {
  if (path.empty() || path[0] != '/') return path;
  std::string result = "Z:" + path;
  for (char& c : result) {
    if (c == '/') c = '\\';
  }
  return result;
}

AppProcess::~AppProcess() {
  terminate();
  if (!outputPath_.empty()) DeleteFileA(outputPath_.c_str());
}

bool AppProcess::launch(const std::string& exePath) {
  std::array<char, MAX_PATH> directory{};
  std::array<char, MAX_PATH> file{};
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
  startup.hStdInput = nullptr;
  startup.hStdOutput = output;
  startup.hStdError = output;
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

bool AppProcess::running() const {
  return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

std::optional<DWORD> AppProcess::waitExit(DWORD timeoutMs) {
  if (process_ == nullptr || WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) return {};
  DWORD code = 0;
  if (!GetExitCodeProcess(process_, &code)) return {};
  return code;
}

void AppProcess::terminate() {
  if (process_ == nullptr) return;
  if (running()) {
    TerminateProcess(process_, 1);
    WaitForSingleObject(process_, 5000);
  }
  CloseHandle(process_);
  process_ = nullptr;
}

std::string AppProcess::output() const {
  std::string text;
  if (outputPath_.empty()) return text;
  HANDLE file = CreateFileA(outputPath_.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return text;
  std::array<char, 4096> chunk{};
  DWORD got = 0;
  while (ReadFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr) && got > 0) {
    text.append(chunk.data(), got);
  }
  CloseHandle(file);
  return text;
}

std::optional<std::string> readConsoleText(DWORD processId) {
  FreeConsole();
  std::optional<std::string> text;
  if (AttachConsole(processId)) {
    HANDLE console =
        CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (console != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(console, &info)) {
      // Row by row up to the cursor, each row's trailing blanks dropped.
      std::string all;
      std::string row(static_cast<std::size_t>(info.dwSize.X), ' ');
      for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
        DWORD read = 0;
        ReadConsoleOutputCharacterA(console, row.data(), static_cast<DWORD>(row.size()),
                                    COORD{0, y}, &read);
        std::string line = row.substr(0, read);
        line.erase(line.find_last_not_of(' ') + 1);
        all += line;
        all += '\n';
      }
      text = all;
    }
    if (console != INVALID_HANDLE_VALUE) CloseHandle(console);
    FreeConsole();
  }
  AttachConsole(ATTACH_PARENT_PROCESS);
  return text;
}

namespace {

NOTIFYICONDATAA trayRecord(HWND window) {
  NOTIFYICONDATAA record{};
  record.cbSize = sizeof record;
  record.hWnd = window;
  record.uID = 1;
  return record;
}

}  // namespace

bool trayIconExists(HWND window) {
  NOTIFYICONDATAA probe = trayRecord(window);
  return Shell_NotifyIconA(NIM_MODIFY, &probe) != FALSE;
}

bool addForeignTrayIcon(HWND window) {
  NOTIFYICONDATAA record = trayRecord(window);
  record.uFlags = NIF_ICON;
  record.hIcon = LoadIconA(nullptr, MAKEINTRESOURCEA(32516));  // IDI_INFORMATION
  return Shell_NotifyIconA(NIM_ADD, &record) != FALSE;
}

bool deleteTrayIcon(HWND window) {
  NOTIFYICONDATAA record = trayRecord(window);
  return Shell_NotifyIconA(NIM_DELETE, &record) != FALSE;
}

bool deleteKey(const char* subKey) {
  LSTATUS status = RegDeleteTreeA(HKEY_CURRENT_USER, subKey);
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return false;
  status = RegDeleteKeyA(HKEY_CURRENT_USER, subKey);
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

bool keyExists(const char* subKey) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

bool writeValue(const char* name, DWORD type, std::string_view bytes, const char* subKey) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                      nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  LSTATUS status = RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                                  static_cast<DWORD>(bytes.size()));
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

bool writeString(const char* name, std::string_view text, const char* subKey) {
  std::string data(text);
  data.push_back('\0');
  return writeValue(name, REG_SZ, data, subKey);
}

std::optional<RegistryValue> readValue(const char* name, const char* subKey) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, subKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return {};
  }
  RegistryValue value;
  DWORD size = 0;
  std::optional<RegistryValue> result;
  if (RegQueryValueExA(key, name, nullptr, &value.type, nullptr, &size) == ERROR_SUCCESS) {
    value.data.resize(size);
    if (RegQueryValueExA(key, name, nullptr, &value.type,
                         reinterpret_cast<BYTE*>(value.data.data()), &size) == ERROR_SUCCESS) {
      value.data.resize(size);
      result = value;
    }
  }
  RegCloseKey(key);
  return result;
}

std::vector<std::string> valueNames(const char* subKey) {
  std::vector<std::string> names;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, subKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return names;
  }
  for (DWORD index = 0;; ++index) {
    std::array<char, 256> name{};
    DWORD length = static_cast<DWORD>(name.size());
    if (RegEnumValueA(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    names.emplace_back(name.data(), length);
  }
  RegCloseKey(key);
  return names;
}

}  // namespace windriver
