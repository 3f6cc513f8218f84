// The settings store as the user meets it: defaults on the first run, the seven values written
// by every Start, and what a load accepts from values already in the registry.
#include <algorithm>
#include <string>
#include <vector>

#include "tests/app/app_fixture.h"

using namespace windriver;

namespace {

const WindowFields kDefaults = {
    "127.0.0.1", "757", "rdp-host.example.net", "3389", "socks-proxy.example.net", "1080", "", ""};

}  // namespace

using FirstRunTest = AppTest;

TEST_F(FirstRunTest, NoKeyShowsTheDefaultsAndCreatesNothing) {
  ASSERT_NO_FATAL_FAILURE(launch());
  EXPECT_EQ(readFields(), kDefaults);
  EXPECT_FALSE(keyExists()) << "loading must not create the key";
}

TEST_F(FirstRunTest, FailedStartStillCreatesAllSevenValuesInOrder) {
  ASSERT_NO_FATAL_FAILURE(launch());
  WindowFields typed = kDefaults;  // the user name stays empty: stored as the terminator alone
  typed[kLocalPort] = std::to_string(freeLoopbackPort());
  typed[kTargetServer] = "target.example.org";
  typed[kProxyServer] = "127.0.0.1";
  typed[kProxyPort] = std::to_string(freeLoopbackPort());  // nothing answers: the trial fails
  typed[kProxyPassword] = "pass word";
  fill(typed);

  EXPECT_EQ(startExpectingBox(), "Cannot connect to SOCKS5 Proxy server.");
  ASSERT_TRUE(waitUntil([] { return valueNames().size() == 7; })) << valueNames().size();
  // In the order they are written. Wine enumerates values sorted by name, so only the set can
  // be checked here.
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"cLocPort", typed[kLocalPort]},      {"cSockServ", typed[kProxyServer]},
      {"cSockPort", typed[kProxyPort]},     {"cSockName", typed[kProxyUser]},
      {"cSockPass", typed[kProxyPassword]}, {"cTargServ", typed[kTargetServer]},
      {"cTargPort", typed[kTargetPort]}};
  std::vector<std::string> names = valueNames(), expectedNames;
  for (const auto& [name, text] : expected) expectedNames.push_back(name);
  std::sort(names.begin(), names.end());
  std::sort(expectedNames.begin(), expectedNames.end());
  EXPECT_EQ(names, expectedNames);
  for (const auto& [name, text] : expected) {
    std::optional<RegistryValue> value = readValue(name.c_str());
    ASSERT_TRUE(value) << name;
    EXPECT_EQ(value->type, static_cast<DWORD>(REG_SZ)) << name;
    EXPECT_EQ(value->data, text + '\0') << name << ": stored length is text + 1";
  }
  EXPECT_FALSE(readValue("cLocAddr")) << "the local address is never stored";
}

TEST_F(FirstRunTest, SavedValuesComeBackAfterARestart) {
  ASSERT_NO_FATAL_FAILURE(launch());
  WindowFields typed = {"127.0.0.1", std::to_string(freeLoopbackPort()), "[2001:db8::7]", "3390",
                        "127.0.0.1", std::to_string(freeLoopbackPort()), "alice",         "s3cret"};
  fill(typed);
  EXPECT_EQ(startExpectingBox(), "Cannot connect to SOCKS5 Proxy server.");
  ASSERT_TRUE(waitUntil([] { return valueNames().size() == 7; }));
  // Once Start is back the failed listener has ended, so Close asks nothing.
  ASSERT_TRUE(waitUntil([&] { return itemEnabled(dialog, IDC_START); }));
  ASSERT_TRUE(click(dialog, IDCANCEL));
  ASSERT_EQ(app.waitExit(), 0u);

  ASSERT_NO_FATAL_FAILURE(launch());
  EXPECT_EQ(readFields(), typed);
}

using LoadLimitsTest = AppTest;

TEST_F(LoadLimitsTest, PortsAcceptFiveDigitsAndRefuseSix) {
  ASSERT_TRUE(writeString("cLocPort", "123456"));  // 7 bytes: refused, "757" stays
  ASSERT_TRUE(writeString("cTargPort", "65000"));  // 6 bytes: accepted
  ASSERT_TRUE(writeString("cSockPort", "99999"));  // accepted, then clamped by the window
  ASSERT_NO_FATAL_FAILURE(launch());
  EXPECT_EQ(readFields(), (WindowFields{"127.0.0.1", "757", "rdp-host.example.net", "65000",
                                        "socks-proxy.example.net", "65535", "", ""}));
}

TEST_F(LoadLimitsTest, TextOf255CharactersLoadsWholeAnd256IsRefused) {
  const std::string longest(255, 's'), tooLong(256, 't');
  ASSERT_TRUE(writeString("cSockServ", longest));
  ASSERT_TRUE(writeString("cTargServ", tooLong));
  ASSERT_TRUE(writeString("cSockPass", tooLong));
  ASSERT_TRUE(writeString("cSockName", ""));
  ASSERT_NO_FATAL_FAILURE(launch());
  EXPECT_EQ(readFields(), (WindowFields{"127.0.0.1", "757", kDefaults[kTargetServer], "3389",
                                        longest, "1080", "", ""}));
}

// Values written by another tool without the terminator: the bytes are the text when there is
// room left for the terminator within the limit; a value that fills the limit would be one
// character too long and counts as absent. Either way nothing beyond the data is read.
TEST_F(LoadLimitsTest, ValueWithoutTerminatorIsTakenAsItsBytesOrRefusedWhenFull) {
  ASSERT_TRUE(writeValue("cTargServ", REG_SZ, "rdp.example.com"));
  ASSERT_TRUE(writeValue("cSockPort", REG_SZ, "1081"));
  ASSERT_TRUE(writeValue("cLocPort", REG_SZ, "123456"));                // 6 bytes, no terminator
  ASSERT_TRUE(writeValue("cSockName", REG_SZ, std::string(256, 'u')));  // fills the limit
  ASSERT_TRUE(writeValue("cSockPass", REG_SZ, std::string(255, 'p')));
  ASSERT_TRUE(writeValue("cTargPort", REG_SZ, ""));  // no data at all: empty text
  ASSERT_NO_FATAL_FAILURE(launch());
  EXPECT_EQ(readFields(),
            (WindowFields{"127.0.0.1", "757", "rdp.example.com", "", "socks-proxy.example.net",
                          "1081", "", std::string(255, 'p')}));
}

TEST_F(LoadLimitsTest, ValueTypeIsNotExamined) {
  // A REG_EXPAND_SZ with a plain text is read like REG_SZ; its text is used as it is.
  ASSERT_TRUE(writeValue("cSockServ", REG_EXPAND_SZ, std::string("proxy.example.org") + '\0'));
  ASSERT_NO_FATAL_FAILURE(launch());
  EXPECT_EQ(itemText(dialog, IDC_PROXY_SERVER), "proxy.example.org");
}

TEST_F(FirstRunTest, EmptiedPortIsUsedAsZeroAndSavedEmpty) {
  ASSERT_NO_FATAL_FAILURE(launch());
  fill({"", "", "127.0.0.1", "3389", "127.0.0.1", std::to_string(freeLoopbackPort()), "", ""});
  EXPECT_EQ(startExpectingBox(), "Cannot connect to SOCKS5 Proxy server.");
  ASSERT_TRUE(waitUntil([] { return valueNames().size() == 7; }));
  EXPECT_EQ(readValue("cLocPort")->data, std::string(1, '\0'));
  // The listener took a port of the system's choosing; the log shows the text as typed.
  EXPECT_NE(app.output().find("Waiting for connection to 127.0.0.1:\r\n"), std::string::npos)
      << app.output();
}
