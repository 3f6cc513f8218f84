// quillan.exe with its tunnel through the real Dante peer, driven from this process: Start and
// Stop, the log console (its text read by attaching to the program's console) and the tray icon
// (its presence asked of the desktop's notification area: window + id 1).
#include <algorithm>
#include <string>

#include "app/app_state.h"
#include "tests/app/app_fixture.h"
#include "tests/peers/peers.h"

using namespace windriver;

namespace {

constexpr auto npos = std::string::npos;

// A real mouse click at a point of the screen (SendInput reaches whatever window is there).
bool clickAt(POINT point, bool rightButton) {
  if (!SetCursorPos(point.x, point.y)) return false;
  INPUT inputs[2]{};
  inputs[0].type = inputs[1].type = INPUT_MOUSE;
  inputs[0].mi.dwFlags = rightButton ? MOUSEEVENTF_RIGHTDOWN : MOUSEEVENTF_LEFTDOWN;
  inputs[1].mi.dwFlags = rightButton ? MOUSEEVENTF_RIGHTUP : MOUSEEVENTF_LEFTUP;
  return SendInput(2, inputs, sizeof(INPUT)) == 2;
}

class ConsoleTrayTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    if (!peerListening(kDantePort)) GTEST_SKIP() << "Dante is not running (run through ctest)";
  }

  // Points the window at Dante and the echo target and presses Start; returns once Stop is
  // enabled (the route is proven and the listener accepts).
  void startTunnel() {
    if (local_ == 0) local_ = freeLoopbackPort();
    fill({"", std::to_string(local_), "127.0.0.1", target_.portText(), "127.0.0.1",
          std::to_string(kDantePort), "", ""});
    ASSERT_TRUE(click(dialog, IDC_START));
    // The trial session goes through Dante; generous on a loaded machine.
    ASSERT_TRUE(waitUntil([&] { return itemEnabled(dialog, IDC_STOP); }))
        << "Start enabled " << itemEnabled(dialog, IDC_START) << ", caption "
        << itemText(dialog, IDC_START) << ", output:\n"
        << app.output();
  }

  void launchTunnel() {
    ASSERT_NO_FATAL_FAILURE(launch());
    ASSERT_NO_FATAL_FAILURE(startTunnel());
  }

  // One connection through the tunnel: `bytes` of the test stream out, the echo back, closed.
  void moveData(std::size_t bytes) { EXPECT_TRUE(echoesAt(local_, bytes)); }

  // Marks the point at which the UI thread has handled every message posted before: posted
  // messages are handled in order, so once this selection shows, the earlier ones are done.
  void drainPostedMessages(int mark) {
    HWND edit = GetDlgItem(dialog, IDC_LOCAL_ADDRESS);
    ASSERT_TRUE(PostMessageA(edit, EM_SETSEL, 0, mark));
    ASSERT_TRUE(waitUntil([&] {
      LRESULT selection = 0;  // start in the low word, end in the high word
      return sendWithTimeout(edit, EM_GETSEL, 0, 0, &selection) &&
             HIWORD(selection) == static_cast<WORD>(mark);
    }));
  }

  // Restored by a click on the icon: visible, not minimised, and the icon gone.
  void expectRestored() {
    ASSERT_TRUE(waitUntil([&] { return IsWindowVisible(dialog) && !IsIconic(dialog); }))
        << "visible " << IsWindowVisible(dialog) << " iconic " << IsIconic(dialog);
    EXPECT_TRUE(waitUntil([&] { return !trayIconExists(dialog); })) << "the icon stayed";
  }

  ScriptedProxy target_{ProxyScript().echo()};
  std::uint16_t local_ = 0;
};

using StartTest = ConsoleTrayTest;

TEST_F(StartTest, RelaysThroughDanteAndStopRestoresTheButtons) {
  ASSERT_NO_FATAL_FAILURE(launch());
  for (int round = 0; round < 2; ++round) {  // a second Start after Stop works the same
    SCOPED_TRACE(testing::Message() << "round " << round);
    ASSERT_NO_FATAL_FAILURE(startTunnel());
    EXPECT_FALSE(itemEnabled(dialog, IDC_START));
    EXPECT_EQ(itemText(dialog, IDC_START), "Start");
    EXPECT_EQ(findMessageBox(dialog), nullptr);

    for (std::size_t bytes : {28, 12}) ASSERT_NO_FATAL_FAILURE(moveData(bytes));

    ASSERT_TRUE(click(dialog, IDC_STOP));
    ASSERT_TRUE(waitUntil([&] { return idle(); }));
    EXPECT_TRUE(waitUntil([&] { return itemText(dialog, IDC_STOP) == "Stop"; }));
    EXPECT_FALSE(echoesAt(local_, 1)) << "the listener is closed after Stop";
  }

  std::string log = app.output();
  for (const std::string& line : std::vector<std::string>{
           "Starting local server...",
           "Waiting for connection to 127.0.0.1:" + std::to_string(local_),
           "Testing SOCKS5 at 127.0.0.1:" + std::to_string(kDantePort),
           "Testing Remote server 127.0.0.1:" + target_.portText(), "Stopping local server..."}) {
    EXPECT_NE(log.find(line + "\r\n"), npos) << line << " missing from:\n" << log;
  }
  EXPECT_EQ(readValue("cTargPort")->data, target_.portText() + '\0')
      << "a successful Start saves too";
}

TEST_F(StartTest, ConnectRefusedByDante) {
  ASSERT_NO_FATAL_FAILURE(launch());
  fill({"", std::to_string(freeLoopbackPort()), "127.0.0.1", std::to_string(freeLoopbackPort()),
        "127.0.0.1", std::to_string(kDantePort), "", ""});
  EXPECT_EQ(startExpectingBox(), "Cannot connect to Remote (target) server.");
  EXPECT_TRUE(waitUntil([&] { return idle(); }));
}

using LogConsoleTest = ConsoleTrayTest;

TEST_F(LogConsoleTest, ShowsTheRunningLogWithTrafficLinesOnlyWhileOpen) {
  ASSERT_NO_FATAL_FAILURE(launch());
  ASSERT_NO_FATAL_FAILURE(startTunnel());

  // Console closed: the lines go to the standard output the program was started with, and the
  // per-chunk traffic lines are not written at all.
  ASSERT_NO_FATAL_FAILURE(moveData(19));
  ASSERT_TRUE(waitUntil([&] { return app.output().find("LOCAL connection closed") != npos; }))
      << app.output();
  EXPECT_EQ(app.output().find("Bytes to transfer"), npos) << app.output();

  ASSERT_NO_FATAL_FAILURE(toggleConsoleExpecting("Stop Log"));
  std::string text = waitConsoleShows({"Log Console Started"});
  EXPECT_EQ(text.rfind("Log Console Started\n", 0), 0u) << "first line:\n" << text;
  EXPECT_EQ(text.find("Starting local server..."), npos) << "lines from before the console";

  // Stop and start again so the start and trial session lines are written into the console.
  ASSERT_TRUE(click(dialog, IDC_STOP));
  ASSERT_TRUE(waitUntil([&] { return itemEnabled(dialog, IDC_START); }));
  ASSERT_NO_FATAL_FAILURE(startTunnel());
  const std::size_t bytes = 25;
  ASSERT_NO_FATAL_FAILURE(moveData(bytes));
  const std::string dante = "127.0.0.1:" + std::to_string(kDantePort);
  const std::string sent = ": " + std::to_string(bytes) + " (" + std::to_string(bytes) +
                           ")";  // received count (send result)
  const std::vector<std::string> expected = {"Starting local server...",
                                             "Testing SOCKS5 at " + dante,
                                             "Connecting to Proxy " + dante + " ...",
                                             "Socks5 Auth OK",
                                             "Connected OK",
                                             "Bytes to transfer L->S->R" + sent,
                                             "Bytes to transfer L<-S<-R: ",
                                             "LOCAL connection closed 0"};
  text = waitConsoleShows(expected);
  EXPECT_NE(text.find("Stopping local server..."), npos) << text;
  for (const std::string& each : expected) {
    EXPECT_NE(text.find(each), npos) << each << " missing from:\n" << text;
  }
  EXPECT_NE(text.find("Con: "), npos);
  EXPECT_EQ(app.output().find("Bytes to transfer"), npos)
      << "console lines leaked into the original standard output";
}

TEST_F(LogConsoleTest, CloseAndReopenStartsAFreshConsole) {
  ASSERT_NO_FATAL_FAILURE(launchTunnel());

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(testing::Message() << "round " << round);
    ASSERT_NO_FATAL_FAILURE(toggleConsoleExpecting("Stop Log"));
    std::string text = waitConsoleShows({"Log Console Started"});
    EXPECT_EQ(text.rfind("Log Console Started\n", 0), 0u) << "first line:\n" << text;
    EXPECT_EQ(text.find("Bytes to transfer"), npos) << "lines from before this console:\n" << text;

    ASSERT_NO_FATAL_FAILURE(moveData(8));
    text = waitConsoleShows({"Bytes to transfer L->S->R", "Bytes to transfer L<-S<-R"});
    EXPECT_NE(text.find("Bytes to transfer L->S->R: 8 (8)"), npos) << text;

    ASSERT_NO_FATAL_FAILURE(toggleConsoleExpecting("Start Log"));
    EXPECT_TRUE(waitUntil([&] { return !readConsoleText(app.processId()).has_value(); }))
        << "the console is still there";
    // Data while it is closed: nowhere to be seen, and the relay goes on.
    ASSERT_NO_FATAL_FAILURE(moveData(13));
  }
  EXPECT_TRUE(app.running());
}

using TrayIconTest = ConsoleTrayTest;

TEST_F(TrayIconTest, MinimiseWhileOnParksAndEitherButtonBringsItBack) {
  ASSERT_NO_FATAL_FAILURE(launchTunnel());

  int mark = 1;
  // Minimise, restore, minimise again: the icon is added each time.
  for (UINT button : {WM_LBUTTONDOWN, WM_RBUTTONDOWN, WM_LBUTTONDOWN}) {
    SCOPED_TRACE(testing::Message() << "button message 0x" << std::hex << button);
    ASSERT_TRUE(postSysCommand(dialog, SC_MINIMIZE));
    ASSERT_TRUE(waitUntil([&] { return trayIconExists(dialog); })) << "no icon was added";
    ASSERT_NO_FATAL_FAILURE(drainPostedMessages(mark++));
    // The default minimise still runs after the parking and shows the window again minimised
    // (on Windows without its taskbar button; Wine's taskbar lists windows by visibility, so the
    // button can't be asserted here).
    EXPECT_TRUE(IsIconic(dialog));

    // Other mouse events over the icon leave it parked.
    for (UINT other : {WM_MOUSEMOVE, WM_LBUTTONUP, WM_RBUTTONUP, WM_LBUTTONDBLCLK}) {
      ASSERT_TRUE(postTrayCallback(dialog, kTrayCallbackMessage, other));
    }
    ASSERT_NO_FATAL_FAILURE(drainPostedMessages(mark++));
    EXPECT_TRUE(trayIconExists(dialog)) << "an ignored mouse event removed the icon";

    ASSERT_TRUE(postTrayCallback(dialog, kTrayCallbackMessage, button));
    ASSERT_NO_FATAL_FAILURE(expectRestored());
    // The tunnel is untouched by all this.
    ASSERT_NO_FATAL_FAILURE(moveData(15));
  }
}

// Through the desktop's notification area: a click on the icon makes the shell send the record's
// callback message with the record's id to the record's window, which the posted callback above
// takes for granted. The icons sit at the right end of the taskbar; the slots are tried from the
// right until the window comes back (a click on empty tray space does nothing).
TEST_F(TrayIconTest, AClickOnTheIconInTheNotificationAreaRestores) {
  ASSERT_NO_FATAL_FAILURE(launchTunnel());
  HWND tray = FindWindowA("Shell_TrayWnd", nullptr);
  ASSERT_NE(tray, nullptr) << "no taskbar: run under the Wine virtual desktop";

  for (bool rightButton : {false, true}) {
    SCOPED_TRACE(rightButton ? "right button" : "left button");
    ASSERT_TRUE(postSysCommand(dialog, SC_MINIMIZE));
    ASSERT_TRUE(waitUntil([&] { return trayIconExists(dialog) && IsIconic(dialog); }));
    RECT area{};
    ASSERT_TRUE(GetWindowRect(tray, &area));
    const int step = GetSystemMetrics(SM_CXSMICON) / 2;
    bool restored = false;
    for (int x = area.right - 4; !restored && x > area.right - 12 * step; x -= step) {
      ASSERT_TRUE(clickAt({x, (area.top + area.bottom) / 2}, rightButton));
      restored = waitUntil([&] { return IsWindowVisible(dialog) && !IsIconic(dialog); },
                           std::chrono::milliseconds(500));
    }
    ASSERT_TRUE(restored) << "no click on the notification area brought the window back";
    EXPECT_TRUE(waitUntil([&] { return !trayIconExists(dialog); })) << "the icon stayed";
  }
}

// A restarted shell starts with an empty notification area and announces itself with the
// registered "TaskbarCreated" message; a parked window puts its icon back, or it could never be
// restored.
TEST_F(TrayIconTest, ParkedIconComesBackWhenTheShellRestarts) {
  ASSERT_NO_FATAL_FAILURE(launchTunnel());
  ASSERT_TRUE(postSysCommand(dialog, SC_MINIMIZE));
  ASSERT_TRUE(waitUntil([&] { return trayIconExists(dialog); })) << "no icon was added";

  // The icons lost with the old shell.
  ASSERT_TRUE(deleteTrayIcon(dialog));
  const UINT taskbarCreated = RegisterWindowMessageA("TaskbarCreated");
  ASSERT_TRUE(PostMessageA(dialog, taskbarCreated, 0, 0));
  EXPECT_TRUE(waitUntil([&] { return trayIconExists(dialog); })) << "the icon did not come back";

  // It is the parked window's icon: a click still brings the window back and removes it.
  ASSERT_TRUE(postTrayCallback(dialog, kTrayCallbackMessage, WM_LBUTTONDOWN));
  ASSERT_NO_FATAL_FAILURE(expectRestored());

  // Not parked: a shell restart adds nothing.
  ASSERT_TRUE(PostMessageA(dialog, taskbarCreated, 0, 0));
  ASSERT_NO_FATAL_FAILURE(drainPostedMessages(1));
  EXPECT_FALSE(trayIconExists(dialog));
}

}  // namespace
