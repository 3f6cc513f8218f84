// The main window driven from outside, with no peer: its controls, the port clamp, the start
// failure boxes, Close with and without the tunnel on, the log console's close box and a
// minimise while idle. The cases that run the tunnel through Dante are in
// console_tray_window_test.cpp.
#include <iterator>
#include <string>
#include <vector>

#include "tests/app/app_fixture.h"

using namespace windriver;

namespace {

constexpr std::size_t npos = std::string::npos;

// The controls in their tab order: class, id (-1: a group box or label, whose id is not checked)
// and the styles that decide behaviour: what Tab stops at, which fields take text, digits only or
// nothing, the password shown in clear, Stop disabled at the start, and no default button (Enter
// in a field presses nothing).
struct ControlSpec {
  int id;
  const char* className;
  LONG requiredStyle, forbiddenStyle;
};
constexpr LONG kEdit = WS_TABSTOP | ES_AUTOHSCROLL, kPort = kEdit | ES_NUMBER;
constexpr LONG kNotText = ES_READONLY | ES_NUMBER | ES_PASSWORD,
               kNotPushed = WS_DISABLED | BS_DEFPUSHBUTTON;
const ControlSpec kControls[] = {
    {-1, "Button", BS_GROUPBOX, WS_TABSTOP},
    {IDC_LOCAL_ADDRESS, "Edit", kEdit | ES_READONLY, ES_NUMBER},
    {-1, "Static", 0, WS_TABSTOP},
    {IDC_LOCAL_PORT, "Edit", kPort, ES_READONLY},
    {-1, "Button", BS_GROUPBOX, WS_TABSTOP},
    {IDC_TARGET_SERVER, "Edit", kEdit, kNotText},
    {-1, "Static", 0, WS_TABSTOP},
    {IDC_TARGET_PORT, "Edit", kPort, ES_READONLY},
    {-1, "Button", BS_GROUPBOX, WS_TABSTOP},
    {IDC_PROXY_SERVER, "Edit", kEdit, kNotText},
    {-1, "Static", 0, WS_TABSTOP},
    {IDC_PROXY_PORT, "Edit", kPort, ES_READONLY},
    {IDC_PROXY_USER, "Edit", kEdit, kNotText},
    {IDC_PROXY_PASSWORD, "Edit", kEdit, kNotText},
    {-1, "Static", 0, WS_TABSTOP},
    {-1, "Static", 0, WS_TABSTOP},
    {IDC_START, "Button", WS_TABSTOP, kNotPushed},
    {IDC_STOP, "Button", WS_TABSTOP | WS_DISABLED, BS_DEFPUSHBUTTON},
    {IDC_LOG_TOGGLE, "Button", WS_TABSTOP, kNotPushed},
    {IDCANCEL, "Button", WS_TABSTOP, kNotPushed},
    {IDC_WEB_PAGE, "Button", WS_TABSTOP, kNotPushed},
};

}  // namespace

using DialogTest = AppTest;

// A fixed-size window with a minimise box, centred on the work area, and its controls.
TEST_F(DialogTest, WindowAndEveryControlInTabOrderWithIdClassAndStyle) {
  ASSERT_NO_FATAL_FAILURE(launch());
  const LONG frame = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  EXPECT_EQ(GetWindowLongA(dialog, GWL_STYLE) & (frame | WS_MAXIMIZEBOX | WS_THICKFRAME), frame);
  EXPECT_EQ(GetWindowLongA(dialog, GWL_EXSTYLE) &
                (WS_EX_DLGMODALFRAME | WS_EX_TOOLWINDOW | WS_EX_TOPMOST),
            0);
  RECT window{}, work{};
  GetWindowRect(dialog, &window);
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
  EXPECT_NEAR((window.left + window.right) / 2, (work.left + work.right) / 2, 2);
  EXPECT_NEAR((window.top + window.bottom) / 2, (work.top + work.bottom) / 2, 2);

  std::vector<HWND> controls = children(dialog);
  ASSERT_EQ(controls.size(), std::size(kControls));
  for (std::size_t i = 0; i < controls.size(); ++i) {
    const ControlSpec& expected = kControls[i];
    SCOPED_TRACE(testing::Message() << "control #" << i << " id " << expected.id);
    if (expected.id != -1) {
      EXPECT_EQ(GetDlgCtrlID(controls[i]), expected.id);
    }
    EXPECT_EQ(className(controls[i]), expected.className);
    LONG style = GetWindowLongA(controls[i], GWL_STYLE);
    EXPECT_EQ(style & expected.requiredStyle, expected.requiredStyle) << std::hex << style;
    EXPECT_EQ(style & expected.forbiddenStyle, 0) << std::hex << style;
  }
}

TEST_F(DialogTest, EntryLimitsAre255ForTextAnd5ForPorts) {
  ASSERT_NO_FATAL_FAILURE(launch());
  const std::vector<std::pair<int, LRESULT>> limits = {
      {IDC_LOCAL_ADDRESS, 255}, {IDC_LOCAL_PORT, 5},      {IDC_TARGET_SERVER, 255},
      {IDC_TARGET_PORT, 5},     {IDC_PROXY_SERVER, 255},  {IDC_PROXY_PORT, 5},
      {IDC_PROXY_USER, 255},    {IDC_PROXY_PASSWORD, 255}};
  for (const auto& [id, limit] : limits) {
    LRESULT actual = 0;
    ASSERT_TRUE(sendWithTimeout(GetDlgItem(dialog, id), EM_GETLIMITTEXT, 0, 0, &actual));
    EXPECT_EQ(actual, limit) << "control " << id;
  }
  // Typing stops at the limit.
  ASSERT_TRUE(setItemText(dialog, IDC_PROXY_USER, ""));
  ASSERT_TRUE(typeText(dialog, IDC_PROXY_USER, std::string(260, 'n')));
  EXPECT_EQ(itemText(dialog, IDC_PROXY_USER), std::string(255, 'n'));
}

TEST_F(DialogTest, TypedPortsKeepDigitsOnlyAndClampTo65535) {
  ASSERT_NO_FATAL_FAILURE(launch());
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"99999", "65535"},    {"65536", "65535"}, {"70000", "65535"}, {"65535", "65535"},
      {"12a34567", "12345"}, {"0", "0"},         {"x", ""}};
  for (int id : {IDC_LOCAL_PORT, IDC_TARGET_PORT, IDC_PROXY_PORT}) {
    for (const auto& [typed, shown] : cases) {
      ASSERT_TRUE(setItemText(dialog, id, ""));
      ASSERT_TRUE(typeText(dialog, id, typed));
      EXPECT_EQ(itemText(dialog, id), shown) << "control " << id << " typed " << typed;
    }
  }
}

TEST_F(DialogTest, EnterInAnEditFieldDoesNothing) {
  ASSERT_NO_FATAL_FAILURE(launch());
  HWND target = GetDlgItem(dialog, IDC_TARGET_SERVER);
  ASSERT_TRUE(pressKey(dialog, IDC_TARGET_SERVER, VK_RETURN));
  // What the dialog manager turns Enter into when there is no default button.
  ASSERT_TRUE(PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0));
  // Posted messages are handled in order: once this character shows, the two above are done.
  ASSERT_TRUE(PostMessageA(target, WM_CHAR, 'z', 1));
  ASSERT_TRUE(waitUntil([&] { return itemText(dialog, IDC_TARGET_SERVER).find('z') != npos; }))
      << itemText(dialog, IDC_TARGET_SERVER);

  EXPECT_TRUE(app.running());
  EXPECT_TRUE(IsWindowVisible(dialog));
  EXPECT_EQ(findMessageBox(dialog), nullptr);
  EXPECT_EQ(itemText(dialog, IDC_START), "Start");
  EXPECT_TRUE(itemEnabled(dialog, IDC_START));
  EXPECT_EQ(app.output().find("Starting local server"), npos) << "Enter must not press Start";
  EXPECT_FALSE(keyExists()) << "nothing was started, so nothing was saved";
}

using StartFailureTest = AppTest;

TEST_F(StartFailureTest, PortHeldByAnotherProcess) {
  HeldPort held;
  ASSERT_NO_FATAL_FAILURE(launch());
  fill({"", held.text(), "127.0.0.1", "3389", "127.0.0.1", std::to_string(freeLoopbackPort()), "",
        ""});
  std::string expected = "Local server 127.0.0.1 port " + held.text() + " is already in use!";
  EXPECT_EQ(startExpectingBox(), expected);
  EXPECT_TRUE(waitUntil([&] { return itemText(dialog, IDC_START) == "Start"; }));
  EXPECT_TRUE(itemEnabled(dialog, IDC_START));
  EXPECT_FALSE(itemEnabled(dialog, IDC_STOP));
  EXPECT_NE(app.output().find(expected + "\r\n"), npos) << app.output();
}

TEST_F(StartFailureTest, ProxyUnreachableIsReportedBeforeTheListenerCloses) {
  ASSERT_NO_FATAL_FAILURE(launch());
  fill({"", std::to_string(freeLoopbackPort()), "127.0.0.1", "3389", "127.0.0.1",
        std::to_string(freeLoopbackPort()), "", ""});
  ASSERT_TRUE(click(dialog, IDC_START));
  HWND box = waitMessageBox(dialog);
  ASSERT_NE(box, nullptr) << app.output();
  EXPECT_EQ(windowText(box), kDialogTitle);
  EXPECT_EQ(messageBoxText(box), "Cannot connect to SOCKS5 Proxy server.");
  EXPECT_FALSE(itemEnabled(dialog, IDC_START)) << "still proving while the box is up";
  EXPECT_EQ(app.output().find("Closing local server main thread..."), npos);
  ASSERT_TRUE(answerMessageBox(box, IDOK));
  EXPECT_TRUE(waitUntil([&] { return idle(); }));
  EXPECT_TRUE(waitUntil(
      [&] { return app.output().find("Closing local server main thread...\r\n") != npos; }));
}

using CloseTest = AppTest;

TEST_F(CloseTest, CloseWhileIdleEndsAtOnceWithExitCodeZero) {
  ASSERT_NO_FATAL_FAILURE(launch());
  ASSERT_TRUE(click(dialog, IDCANCEL));
  EXPECT_EQ(app.waitExit(), 0u);
}

TEST_F(CloseTest, CloseWhileOnAsksNoKeepsItYesEndsWithExitCodeZero) {
  HeldPort muteProxy;  // accepts into its backlog and never answers: the tunnel stays proving
  ASSERT_NO_FATAL_FAILURE(launch());
  fill({"", std::to_string(freeLoopbackPort()), "127.0.0.1", "3389", "127.0.0.1", muteProxy.text(),
        "", ""});
  ASSERT_TRUE(click(dialog, IDC_START));
  ASSERT_TRUE(waitUntil([&] { return !itemEnabled(dialog, IDC_START); }));

  // The title bar's close box (SC_CLOSE becomes command 2), then the Close button.
  ASSERT_TRUE(postSysCommand(dialog, SC_CLOSE));
  HWND box = waitMessageBox(dialog);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(windowText(box), kDialogTitle);
  EXPECT_EQ(messageBoxText(box), "Data redirection is ON. Close anyway?");
  EXPECT_NE(GetDlgItem(box, IDYES), nullptr);
  EXPECT_NE(GetDlgItem(box, IDNO), nullptr);
  ASSERT_TRUE(answerMessageBox(box, IDNO));
  ASSERT_TRUE(waitUntil([&] { return findMessageBox(dialog) == nullptr; }));
  EXPECT_FALSE(app.waitExit(std::chrono::milliseconds(300))) << "No keeps the window";
  EXPECT_TRUE(IsWindowVisible(dialog));
  EXPECT_FALSE(itemEnabled(dialog, IDC_START)) << "and the tunnel";

  ASSERT_TRUE(click(dialog, IDCANCEL));
  box = waitMessageBox(dialog);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(messageBoxText(box), "Data redirection is ON. Close anyway?");
  ASSERT_TRUE(answerMessageBox(box, IDYES));
  EXPECT_EQ(app.waitExit(), 0u) << "Yes ends the process, listener and all";
}

using LogConsoleTest = AppTest;

// No console handler of its own: the console's close box ends the whole program, window and all.
TEST_F(LogConsoleTest, ClosingTheConsoleWindowEndsTheProgram) {
  ASSERT_NO_FATAL_FAILURE(launch());
  ASSERT_NO_FATAL_FAILURE(toggleConsoleExpecting("Stop Log"));
  const std::string shown = waitConsoleShows({"Log Console Started"});
  ASSERT_NE(shown.find("Log Console Started"), npos) << "the console shows:\n" << shown;
  // The console's window, found while attached; this process leaves it again before the close,
  // or the close would end the driver too.
  HWND consoleWindow = nullptr;
  FreeConsole();
  if (AttachConsole(app.processId())) {
    consoleWindow = GetConsoleWindow();
    FreeConsole();
  }
  AttachConsole(ATTACH_PARENT_PROCESS);
  ASSERT_NE(consoleWindow, nullptr);
  ASSERT_TRUE(PostMessageA(consoleWindow, WM_CLOSE, 0, 0));
  EXPECT_TRUE(app.waitExit().has_value()) << "the program outlived its console; its window "
                                          << (IsWindow(consoleWindow) ? "stayed" : "went");
}

using TrayIconTest = AppTest;

TEST_F(TrayIconTest, MinimiseWhileIdleIsAnOrdinaryMinimise) {
  ASSERT_NO_FATAL_FAILURE(launch());
  ASSERT_TRUE(postSysCommand(dialog, SC_MINIMIZE));
  ASSERT_TRUE(waitUntil([&] { return IsIconic(dialog) != FALSE; }));
  EXPECT_TRUE(IsWindowVisible(dialog));
  EXPECT_FALSE(trayIconExists(dialog));
}
