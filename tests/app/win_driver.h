// A small Win32 driver for the window tests: it finds the running program's dialog and does
// what a person would (type, click, answer boxes) from another process, and reads the registry.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace windriver {

inline constexpr const char* kDialogTitle = "Quillan proxy";
inline constexpr const char* kSettingsKey = "Software\\Varnholt Software\\Quillan";
// Long: it only has to tell a hang from a slow turn on a loaded machine.
inline constexpr DWORD kDefaultTimeoutMs = 30000;

// Polls `condition` every `pollMs` until it holds or `timeoutMs` has passed; its last result.
bool waitUntil(const std::function<bool()>& condition, DWORD timeoutMs = kDefaultTimeoutMs,
               DWORD pollMs = 20);

// --- Windows --------------------------------------------------------------------------------

// The visible top-level "#32770" titled "Quillan proxy" with no owner (message boxes carry the
// same class and caption but are owned), of `processId` when it is not 0.
HWND findMainDialog(DWORD processId = 0);
// Waits until that dialog exists and is visible (it already answers messages while it is still
// initialising, so visibility is the sign that it is ready). nullptr on time-out.
HWND waitMainDialog(DWORD processId, DWORD timeoutMs = kDefaultTimeoutMs);

// Cross-process text through SendMessageTimeout; empty on failure.
std::string windowText(HWND window);
std::string itemText(HWND dialog, int id);
// WM_SETTEXT: bypasses ES_NUMBER and the entry limit, as a program would.
bool setItemText(HWND dialog, int id, const std::string& text);
// Types each character with WM_CHAR, so ES_NUMBER and the entry limit apply as for a person.
bool typeText(HWND dialog, int id, std::string_view text);
// Sends a message with a time-out; `result` receives its result. false when it timed out.
bool sendWithTimeout(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                     LRESULT* result = nullptr, DWORD timeoutMs = 5000);

bool itemEnabled(HWND dialog, int id);
// Presses a button by posting WM_COMMAND(id, BN_CLICKED): never sent, because the handler may
// open a modal box. Refused (false) when the button is missing or disabled, or when the dialog
// itself is disabled because a modal box is up.
bool click(HWND dialog, int id);
// Posts a key press (WM_KEYDOWN + WM_KEYUP) to a control, for keys the dialog manager handles.
bool pressKey(HWND dialog, int id, UINT virtualKey);
// WM_SYSCOMMAND (SC_MINIMIZE, SC_CLOSE...) by post.
bool postSysCommand(HWND dialog, WPARAM command);
// The notification-icon callback with a mouse message in lParam, by post.
bool postTrayCallback(HWND dialog, UINT callbackMessage, UINT mouseMessage);

std::string className(HWND window);
LONG windowStyle(HWND window);
// The child windows of the dialog in their z order, which is the tab order of the template.
std::vector<HWND> children(HWND dialog);

// --- Message boxes --------------------------------------------------------------------------

// A visible "#32770" owned by `owner` (any thread of the program shows them this way).
HWND findMessageBox(HWND owner);
HWND waitMessageBox(HWND owner, DWORD timeoutMs = kDefaultTimeoutMs);
// The text of the box (its static control 0xFFFF).
std::string messageBoxText(HWND box);
// Presses IDOK, IDYES, IDNO...; false when the box has no such button.
bool answerMessageBox(HWND box, int buttonId);

// --- The program under test -----------------------------------------------------------------

// "/unix/path" -> "Z:\unix\path"; a Windows path is returned unchanged.
std::string windowsPath(const std::string& path);

// The program started detached from any console (under Wine a GUI child would otherwise inherit
// the driver's console), standard output and error into a temp file. Terminated and the file
// removed on destruction if it still runs.
class AppProcess {
 public:
  AppProcess() = default;
  ~AppProcess();
  AppProcess(const AppProcess&) = delete;
  AppProcess& operator=(const AppProcess&) = delete;

  bool launch(const std::string& exePath);
  DWORD processId() const { return processId_; }
  bool running() const;
  // Waits for the end; the exit code, or nothing on time-out.
  std::optional<DWORD> waitExit(DWORD timeoutMs = kDefaultTimeoutMs);
  void terminate();
  // Everything the program has written to standard output so far.
  std::string output() const;

 private:
  HANDLE process_ = nullptr;
  DWORD processId_ = 0;
  std::string outputPath_;
};

// The text of the program's console (after it called AllocConsole), read by attaching to it;
// nothing while it has none. The driver's own console is left for the time of the read.
std::optional<std::string> readConsoleText(DWORD processId);

// --- Notification area: the icon record of a window is the window and id 1 ----------------

// The shell answers a modify only for an icon it holds; with no flags nothing about it changes.
bool trayIconExists(HWND window);
// An icon that is not the program's under the window's record: the program's own add is refused.
bool addForeignTrayIcon(HWND window);
bool deleteTrayIcon(HWND window);

// --- Registry (HKEY_CURRENT_USER) -----------------------------------------------------------

struct RegistryValue {
  DWORD type = REG_NONE;
  std::string data;  // raw bytes as stored, terminator included if there is one
};

// Deletes the key and everything below it; true also when it did not exist.
bool deleteKey(const char* subKey = kSettingsKey);
bool keyExists(const char* subKey = kSettingsKey);
// Writes raw bytes of a given type; for REG_SZ with the terminator use writeString.
bool writeValue(const char* name, DWORD type, std::string_view bytes,
                const char* subKey = kSettingsKey);
// A REG_SZ value whose stored length is the text plus its terminator.
bool writeString(const char* name, std::string_view text, const char* subKey = kSettingsKey);
std::optional<RegistryValue> readValue(const char* name, const char* subKey = kSettingsKey);
// Value names in their enumeration order.
std::vector<std::string> valueNames(const char* subKey = kSettingsKey);

}  // namespace windriver
