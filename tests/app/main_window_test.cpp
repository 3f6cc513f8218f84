// The main window driven from outside: its controls, the port clamp, Start/Stop against a real
// SOCKS5 server, the start failure boxes, and Close with and without the tunnel on.
#include <array>
#include <string>
#include <vector>

#include "tests/app/app_fixture.h"
#include "tests/peers/peers.h"

using namespace windriver;

namespace {

constexpr std::size_t npos = std::string::npos;

struct ControlSpec {
  int id;  // -1: a group box or label, whose id is not checked
  const char* className;
  const char* text;  // nullptr: not compared here
  int x, y, width, height;
  LONG requiredStyle;
  LONG forbiddenStyle;
};

// The border is checked apart: an edit control turns WS_BORDER into WS_EX_CLIENTEDGE.
constexpr LONG kEdit = WS_TABSTOP | ES_AUTOHSCROLL;
// Not on a field for any text, nor on an enabled push button that is not the default one.
constexpr LONG kNotText = ES_READONLY | ES_NUMBER, kNotPushed = WS_DISABLED | BS_DEFPUSHBUTTON;

// The whole template in its tab order, with the fresh-start texts of the fields.
const std::vector<ControlSpec> kControls = {
    {-1, "Button", "Wait for Remote Desktop connection at: (127.0.0.1 or localhost : port)", 6, 6,
     268, 36, BS_GROUPBOX, WS_TABSTOP},
    {IDC_LOCAL_ADDRESS, "Edit", "127.0.0.1", 15, 20, 184, 14, kEdit | ES_READONLY, ES_NUMBER},
    {-1, "Static", ":", 205, 23, 8, 8, 0, WS_TABSTOP},
    {IDC_LOCAL_PORT, "Edit", "757", 213, 20, 51, 14, kEdit | ES_NUMBER, ES_READONLY},
    {-1, "Button", "Forward Remote Desktop traffic to: (IPv4 or IPv6 or Domain Name : port)", 6, 45,
     268, 36, BS_GROUPBOX, WS_TABSTOP},
    {IDC_TARGET_SERVER, "Edit", "rdp-host.example.net", 15, 59, 184, 14, kEdit, kNotText},
    {-1, "Static", ":", 205, 61, 8, 8, 0, WS_TABSTOP},
    {IDC_TARGET_PORT, "Edit", "3389", 213, 59, 51, 14, kEdit | ES_NUMBER, ES_READONLY},
    {-1, "Button", "Using the following SOCKS5 proxy: (IPv4 or IPv6 or Domain Name : port)", 6, 84,
     268, 55, BS_GROUPBOX, WS_TABSTOP},
    {IDC_PROXY_SERVER, "Edit", "socks-proxy.example.net", 15, 98, 184, 14, kEdit, kNotText},
    {-1, "Static", ":", 205, 100, 8, 8, 0, WS_TABSTOP},
    {IDC_PROXY_PORT, "Edit", "1080", 213, 98, 51, 14, kEdit | ES_NUMBER, ES_READONLY},
    {IDC_PROXY_USER, "Edit", "", 60, 119, 80, 14, kEdit, kNotText | ES_PASSWORD},
    {IDC_PROXY_PASSWORD, "Edit", "", 185, 118, 80, 14, kEdit, kNotText | ES_PASSWORD},
    {-1, "Static", "Username:", 18, 121, 36, 8, 0, WS_TABSTOP},
    {-1, "Static", "Password:", 146, 121, 34, 8, 0, WS_TABSTOP},
    {IDC_START, "Button", "Start", 6, 145, 52, 18, WS_TABSTOP, kNotPushed},
    {IDC_STOP, "Button", "Stop", 60, 145, 52, 18, WS_TABSTOP | WS_DISABLED, BS_DEFPUSHBUTTON},
    {IDC_LOG_TOGGLE, "Button", "Start Log", 114, 145, 52, 18, WS_TABSTOP, kNotPushed},
    {IDCANCEL, "Button", "Close", 222, 145, 52, 18, WS_TABSTOP, kNotPushed},
    {IDC_WEB_PAGE, "Button", nullptr, 6, 168, 268, 12, WS_TABSTOP, kNotPushed},
};

// The dialog's base units, found from its client area of 280 x 186 dialog units the way
// MapDialogRect rounds (MapDialogRect itself does not work across processes).
std::optional<POINT> baseUnitsOf(HWND dialog) {
  RECT client{};
  GetClientRect(dialog, &client);
  POINT units{0, 0};
  for (int x = 1; x < 64 && units.x == 0; ++x) units.x = MulDiv(280, x, 4) == client.right ? x : 0;
  for (int y = 1; y < 64 && units.y == 0; ++y) units.y = MulDiv(186, y, 8) == client.bottom ? y : 0;
  if (units.x == 0 || units.y == 0) return {};
  return units;
}

}  // namespace

using DialogTest = AppTest;

TEST_F(DialogTest, WindowIsAFixedSizeDialogWithMinimiseBox) {
  ASSERT_NO_FATAL_FAILURE(launch());
  EXPECT_EQ(windowText(dialog), "Quillan proxy");
  LONG style = GetWindowLongA(dialog, GWL_STYLE);
  EXPECT_EQ(style & (WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX),
            WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX);
  EXPECT_EQ(style & (WS_MAXIMIZEBOX | WS_THICKFRAME), 0);
  EXPECT_EQ(GetMenu(dialog), nullptr);
  EXPECT_TRUE(baseUnitsOf(dialog)) << "client area is not 280 x 186 dialog units";
  // Centred on the work area.
  RECT window{}, work{};
  GetWindowRect(dialog, &window);
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
  EXPECT_NEAR((window.left + window.right) / 2, (work.left + work.right) / 2, 2);
  EXPECT_NEAR((window.top + window.bottom) / 2, (work.top + work.bottom) / 2, 2);
}

TEST_F(DialogTest, EveryControlInTabOrderWithIdTextPlaceAndStyle) {
  ASSERT_NO_FATAL_FAILURE(launch());
  std::optional<POINT> units = baseUnitsOf(dialog);
  ASSERT_TRUE(units);
  std::vector<HWND> controls = children(dialog);
  ASSERT_EQ(controls.size(), kControls.size());
  for (std::size_t i = 0; i < kControls.size(); ++i) {
    const ControlSpec& expected = kControls[i];
    HWND control = controls[i];
    SCOPED_TRACE(testing::Message() << "control #" << i << " id " << expected.id);
    if (expected.id != -1) {
      EXPECT_EQ(GetDlgCtrlID(control), expected.id);
    }
    EXPECT_EQ(className(control), expected.className);
    if (expected.text != nullptr) {
      EXPECT_EQ(windowText(control), expected.text);
    }
    RECT rect{};
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
    // Left, top, width, height; origin and size are converted separately when the dialog
    // creates a control.
    using Place = std::array<LONG, 4>;
    EXPECT_EQ((Place{rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top}),
              (Place{MulDiv(expected.x, units->x, 4), MulDiv(expected.y, units->y, 8),
                     MulDiv(expected.width, units->x, 4), MulDiv(expected.height, units->y, 8)}));
    LONG style = GetWindowLongA(control, GWL_STYLE);
    if (expected.className == std::string("Edit")) {
      EXPECT_TRUE((style & WS_BORDER) != 0 ||
                  (GetWindowLongA(control, GWL_EXSTYLE) & WS_EX_CLIENTEDGE) != 0);
    }
    EXPECT_EQ(style & expected.requiredStyle, expected.requiredStyle) << std::hex << style;
    EXPECT_EQ(style & expected.forbiddenStyle, 0) << std::hex << style;
  }
  EXPECT_NE(itemText(dialog, IDC_WEB_PAGE).find("Varnholt Software"), npos);
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

TEST_F(DialogTest, LocalAddressIsReadOnly) {
  ASSERT_NO_FATAL_FAILURE(launch());
  ASSERT_TRUE(typeText(dialog, IDC_LOCAL_ADDRESS, "9"));
  EXPECT_EQ(itemText(dialog, IDC_LOCAL_ADDRESS), "127.0.0.1");
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

using StartTest = AppTest;

TEST_F(StartTest, RelaysThroughDanteAndStopRestoresTheButtons) {
  if (!peerListening(kDantePort)) GTEST_SKIP() << "Dante is not running (run through ctest)";
  LoopbackTarget target(LoopbackTarget::Kind::kEcho);
  ASSERT_NO_FATAL_FAILURE(launch());
  std::uint16_t local = freeLoopbackPort();
  fill({"", std::to_string(local), "127.0.0.1", target.portText(), "127.0.0.1",
        std::to_string(kDantePort), "", ""});

  for (int round = 0; round < 2; ++round) {  // a second Start after Stop works the same
    SCOPED_TRACE(testing::Message() << "round " << round);
    ASSERT_TRUE(click(dialog, IDC_START));
    ASSERT_TRUE(waitUntil([&] { return itemEnabled(dialog, IDC_STOP); })) << app.output();
    EXPECT_FALSE(itemEnabled(dialog, IDC_START));
    EXPECT_EQ(itemText(dialog, IDC_START), "Start");
    EXPECT_EQ(findMessageBox(dialog), nullptr);

    for (const std::string line : {"one line through the tunnel\n", "and another\n"}) {
      EXPECT_EQ(echoRound(local, line), line);
    }

    ASSERT_TRUE(click(dialog, IDC_STOP));
    ASSERT_TRUE(waitUntil([&] { return idle(); }));
    EXPECT_TRUE(waitUntil([&] { return itemText(dialog, IDC_STOP) == "Stop"; }));
    EXPECT_EQ(echoRound(local, "x"), "") << "the listener is closed after Stop";
  }

  std::string log = app.output();
  for (const std::string& line : std::vector<std::string>{
           "Starting local server...",
           "Waiting for connection to 127.0.0.1:" + std::to_string(local),
           "Testing SOCKS5 at 127.0.0.1:" + std::to_string(kDantePort),
           "Testing Remote server 127.0.0.1:" + target.portText(), "Stopping local server..."}) {
    EXPECT_NE(log.find(line + "\r\n"), npos) << line << " missing from:\n" << log;
  }
  EXPECT_EQ(readValue("cTargPort")->data, target.portText() + '\0')
      << "a successful Start saves too";
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

TEST_F(StartFailureTest, ConnectRefusedByDante) {
  if (!peerListening(kDantePort)) GTEST_SKIP() << "Dante is not running (run through ctest)";
  ASSERT_NO_FATAL_FAILURE(launch());
  fill({"", std::to_string(freeLoopbackPort()), "127.0.0.1", std::to_string(freeLoopbackPort()),
        "127.0.0.1", std::to_string(kDantePort), "", ""});
  EXPECT_EQ(startExpectingBox(), "Cannot connect to Remote (target) server.");
  EXPECT_TRUE(waitUntil([&] { return idle(); }));
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
  EXPECT_FALSE(app.waitExit(300)) << "No keeps the window";
  EXPECT_TRUE(IsWindowVisible(dialog));
  EXPECT_FALSE(itemEnabled(dialog, IDC_START)) << "and the tunnel";

  ASSERT_TRUE(click(dialog, IDCANCEL));
  box = waitMessageBox(dialog);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(messageBoxText(box), "Data redirection is ON. Close anyway?");
  ASSERT_TRUE(answerMessageBox(box, IDYES));
  EXPECT_EQ(app.waitExit(), 0u) << "Yes ends the process, listener and all";
}
