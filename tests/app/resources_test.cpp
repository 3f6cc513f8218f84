// What ships inside quillan.exe: the icon images, and the manifest that makes the window load
// the Common Controls 6 assembly. (The version resource is checked on the shipped exe by the
// package stage, tests/package/check_package.py.)
#include <windows.h>
#include <tlhelp32.h>

#include <set>
#include <string>

#include "tests/app/app_fixture.h"

using namespace windriver;

// The icon group as stored (RT_GROUP_ICON): a 6-byte header, then 14 bytes per image.
#pragma pack(push, 2)
struct GroupIconEntry {
  BYTE width, height, colourCount, reserved;
  WORD planes, bitCount;
  DWORD bytes;
  WORD id;
};
#pragma pack(pop)

TEST(ResourcesTest, IconHas16And32And48PixelImagesIn256Colours) {
  HMODULE exe = LoadLibraryExA(windowsPath(QUILLAN_EXE).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(exe, nullptr) << QUILLAN_EXE;
  HRSRC found = FindResourceA(exe, MAKEINTRESOURCEA(IDI_APP), MAKEINTRESOURCEA(14));
  const auto* group =
      found == nullptr ? nullptr : static_cast<const BYTE*>(LockResource(LoadResource(exe, found)));
  ASSERT_NE(group, nullptr) << "RT_GROUP_ICON 101";
  WORD count = *reinterpret_cast<const WORD*>(group + 4);
  std::set<int> sizes;
  for (WORD i = 0; i < count; ++i) {
    const auto* entry = reinterpret_cast<const GroupIconEntry*>(group + 6 + i * 14);
    sizes.insert(entry->width);
    EXPECT_EQ(entry->width, entry->height);
    EXPECT_EQ(entry->bitCount, 8) << "256 colours at " << int{entry->width};
  }
  EXPECT_EQ(sizes, (std::set<int>{16, 32, 48}));
  FreeLibrary(exe);
}

using ManifestTest = AppTest;

// Wine reports the same DllGetVersion either way, so the loaded module's path tells whether the
// manifest brought in the side-by-side Common Controls 6 assembly.
TEST_F(ManifestTest, WindowRunsWithCommonControls6) {
  ASSERT_NO_FATAL_FAILURE(launch());
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, app.processId());
  ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
  MODULEENTRY32 module{};
  module.dwSize = sizeof module;
  std::string comctl;  // its path in lower case
  for (BOOL more = Module32First(snapshot, &module); more; more = Module32Next(snapshot, &module)) {
    if (lstrcmpiA(module.szModule, "comctl32.dll") == 0) comctl = CharLowerA(module.szExePath);
  }
  CloseHandle(snapshot);
  EXPECT_NE(comctl.find("winsxs"), std::string::npos) << comctl;
  EXPECT_NE(comctl.find("common-controls"), std::string::npos) << comctl;
}
