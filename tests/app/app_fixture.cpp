// The quillan.exe fixture of the window tests.
#include "tests/app/app_fixture.h"

#include "resources/resource.h"

using namespace windriver;

void AppTest::SetUp() {
  ASSERT_TRUE(deleteKey());
}

void AppTest::TearDown() {
  app.terminate();
  deleteKey();
}

void AppTest::launch() {
  ASSERT_TRUE(app.launch(QUILLAN_EXE)) << "cannot start " << QUILLAN_EXE;
  dialog = waitMainDialog(app.processId());
  ASSERT_NE(dialog, nullptr) << "no visible dialog; output:\n" << app.output();
}

WindowFields AppTest::readFields() const {
  return {itemText(dialog, IDC_LOCAL_ADDRESS), itemText(dialog, IDC_LOCAL_PORT),
          itemText(dialog, IDC_TARGET_SERVER), itemText(dialog, IDC_TARGET_PORT),
          itemText(dialog, IDC_PROXY_SERVER),  itemText(dialog, IDC_PROXY_PORT),
          itemText(dialog, IDC_PROXY_USER),    itemText(dialog, IDC_PROXY_PASSWORD)};
}

void AppTest::fill(const WindowFields& fields) const {
  EXPECT_TRUE(setItemText(dialog, IDC_LOCAL_PORT, fields.localPort));
  EXPECT_TRUE(setItemText(dialog, IDC_TARGET_SERVER, fields.targetServer));
  EXPECT_TRUE(setItemText(dialog, IDC_TARGET_PORT, fields.targetPort));
  EXPECT_TRUE(setItemText(dialog, IDC_PROXY_SERVER, fields.proxyServer));
  EXPECT_TRUE(setItemText(dialog, IDC_PROXY_PORT, fields.proxyPort));
  EXPECT_TRUE(setItemText(dialog, IDC_PROXY_USER, fields.proxyUser));
  EXPECT_TRUE(setItemText(dialog, IDC_PROXY_PASSWORD, fields.proxyPassword));
}

std::string AppTest::startExpectingBox() {
  EXPECT_TRUE(click(dialog, IDC_START));
  HWND box = waitMessageBox(dialog);
  if (box == nullptr) {
    ADD_FAILURE() << "no message box; output:\n" << app.output();
    return {};
  }
  EXPECT_EQ(windowText(box), kDialogTitle);
  EXPECT_FALSE(IsWindowEnabled(dialog)) << "the box is modal to the window";
  std::string text = messageBoxText(box);
  EXPECT_TRUE(answerMessageBox(box, IDOK));
  EXPECT_TRUE(waitUntil([&] { return findMessageBox(dialog) == nullptr; }));
  return text;
}
