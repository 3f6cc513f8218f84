// quillan-drive: the test driver as a command line, for scripts (the run command's demo). Acts
// on the visible "Quillan proxy" dialog (commands in usage()); exit status 0 on success, 1 on
// failure.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/app/win_driver.h"

using namespace windriver;

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: quillan-drive wait | click ID | set ID TEXT | text ID | "
               "wait-enabled ID [MS] | box | answer ID | rect | move X Y\n");
  return 2;
}

int number(const char* text) {
  return static_cast<int>(std::strtol(text, nullptr, 10));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string command = argv[1];
  HWND dialog = waitMainDialog(0);
  if (dialog == nullptr) {
    std::fprintf(stderr, "quillan-drive: no visible \"%s\" window\n", kDialogTitle);
    return 1;
  }
  if (command == "wait") return 0;
  if (command == "click" && argc == 3) return !click(dialog, number(argv[2]));
  if (command == "set" && argc == 4) return !setItemText(dialog, number(argv[2]), argv[3]);
  if (command == "text" && argc == 3) {
    std::printf("%s\n", itemText(dialog, number(argv[2])).c_str());
    return 0;
  }
  if (command == "wait-enabled" && argc >= 3) {
    const auto limit = argc >= 4 ? std::chrono::milliseconds(number(argv[3])) : kHangLimit;
    int id = number(argv[2]);
    return !waitUntil([&] { return itemEnabled(dialog, id); }, limit);
  }
  HWND box = findMessageBox(dialog);
  if (command == "box") {
    if (box == nullptr) return 1;
    std::printf("%s\n", messageBoxText(box).c_str());
    return 0;
  }
  if (command == "answer" && argc == 3) {
    return !(box != nullptr && answerMessageBox(box, number(argv[2])));
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
