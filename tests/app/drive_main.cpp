// quillan-drive: the test driver as a command line, for scripts (the run command's demo, the
// Remote Desktop and window round-trip tests). Acts on the visible "Quillan proxy" dialog
// (commands in usage()), naming its controls as kControls does; exit status 0 on success, 1 on
// failure, 2 on a bad command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "resources/resource.h"
#include "tests/app/win_driver.h"

using namespace windriver;

namespace {

struct Control {
  const char* name;
  int id;
};
constexpr Control kControls[] = {
    {"local-address", IDC_LOCAL_ADDRESS},
    {"local-port", IDC_LOCAL_PORT},
    {"target", IDC_TARGET_SERVER},
    {"target-port", IDC_TARGET_PORT},
    {"proxy", IDC_PROXY_SERVER},
    {"proxy-port", IDC_PROXY_PORT},
    {"user", IDC_PROXY_USER},
    {"password", IDC_PROXY_PASSWORD},
    {"start", IDC_START},
    {"stop", IDC_STOP},
    {"log", IDC_LOG_TOGGLE},
    {"web-page", IDC_WEB_PAGE},
    {"close", IDCANCEL},
};

int usage() {
  std::fprintf(stderr,
               "usage: quillan-drive wait | click CONTROL | set CONTROL TEXT | text CONTROL | "
               "wait-enabled CONTROL [MS] | box | rect | move X Y\n");
  return 2;
}

// The control's id, or 0 (after a message) for a name kControls does not have.
int controlId(const char* name) {
  for (const Control& control : kControls) {
    if (std::strcmp(control.name, name) == 0) return control.id;
  }
  std::fprintf(stderr, "quillan-drive: unknown control \"%s\"; the controls:", name);
  for (const Control& control : kControls) std::fprintf(stderr, " %s", control.name);
  std::fprintf(stderr, "\n");
  return 0;
}

int number(const char* text) {
  return static_cast<int>(std::strtol(text, nullptr, 10));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string command = argv[1];
  // A command on a control: the name is checked before waiting for the window.
  int id = 0;
  if (command == "click" || command == "set" || command == "text" || command == "wait-enabled") {
    if (argc < 3) return usage();
    id = controlId(argv[2]);
    if (id == 0) return 2;
  }
  HWND dialog = waitMainDialog(0);
  if (dialog == nullptr) {
    std::fprintf(stderr, "quillan-drive: no visible \"%s\" window\n", kDialogTitle);
    return 1;
  }
  if (command == "wait") return 0;
  if (command == "click" && argc == 3) return !click(dialog, id);
  if (command == "set" && argc == 4) return !setItemText(dialog, id, argv[3]);
  if (command == "text" && argc == 3) {
    std::printf("%s\n", itemText(dialog, id).c_str());
    return 0;
  }
  if (command == "wait-enabled" && argc <= 4) {
    const auto limit = argc == 4 ? std::chrono::milliseconds(number(argv[3])) : kHangLimit;
    return !waitUntil([&] { return itemEnabled(dialog, id); }, limit);
  }
  if (command == "box") {
    HWND box = findMessageBox(dialog);
    if (box == nullptr) return 1;
    std::printf("%s\n", messageBoxText(box).c_str());
    return 0;
  }
  if (command == "rect") {
    // Screen coordinates of the whole window: width height left top.
    RECT rect{};
    GetWindowRect(dialog, &rect);
    std::printf("%ld %ld %ld %ld\n", rect.right - rect.left, rect.bottom - rect.top, rect.left,
                rect.top);
    return 0;
  }
  if (command == "move" && argc == 4) {
    // Top-left corner to X, Y (screen coordinates); size and z order stay.
    return !SetWindowPos(dialog, nullptr, number(argv[2]), number(argv[3]), 0, 0,
                         SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  return usage();
}
