// What ships inside quillan.exe: the version resource, the icon images, and the manifest that
// makes the window load the Common Controls 6 assembly.
#include <windows.h>
#include <tlhelp32.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "tests/app/app_fixture.h"

using namespace windriver;

namespace {

const std::string kExe = windowsPath(QUILLAN_EXE);

std::string versionString(const std::vector<char>& block, const char* name) {
  std::string path = std::string("\\StringFileInfo\\040904b0\\") + name;
  char* text = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(block.data(), path.c_str(), reinterpret_cast<void**>(&text), &length))
    return "<missing>";
  return std::string(text, length > 0 ? length - 1 : 0);
}

// Resource `id` of `type` in quillan.exe, loaded as data for the run; null when missing.
const BYTE* resourceBytes(int type, int id) {
  static const struct Loaded {
    HMODULE module = LoadLibraryExA(kExe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ~Loaded() {
      if (module != nullptr) FreeLibrary(module);
    }
  } exe;
  const HMODULE module = exe.module;
  HRSRC found = module == nullptr
                    ? nullptr
                    : FindResourceA(module, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(type));
  return found == nullptr ? nullptr
                          : static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
}

// The icon group as stored (RT_GROUP_ICON): a 6-byte header, then 14 bytes per image; and the
// start of an extended dialog template (DLGTEMPLATEEX).
#pragma pack(push, 2)
struct GroupIconEntry {
  BYTE width, height, colourCount, reserved;
  WORD planes, bitCount;
  DWORD bytes;
  WORD id;
};
struct DialogTemplateExStart {
  WORD version, signature;
  DWORD helpId, extendedStyle, style;
};
#pragma pack(pop)

}  // namespace

TEST(ResourcesTest, VersionResourceNamesTheProduct) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(kExe.c_str(), &ignored);
  ASSERT_GT(size, 0u) << kExe;
  std::vector<char> block(size);
  ASSERT_TRUE(GetFileVersionInfoA(kExe.c_str(), 0, size, block.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, static_cast<DWORD>(MAKELONG(4, 2018)));
  EXPECT_EQ(fixed->dwFileVersionLS, static_cast<DWORD>(MAKELONG(0, 28)));
  EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
  EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
  EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));

  WORD* translation = nullptr;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation",
                             reinterpret_cast<void**>(&translation), &length));
  EXPECT_EQ(translation[0], 0x0409) << "US English";

  EXPECT_EQ(versionString(block, "FileVersion"), "2018.04.28");
  EXPECT_EQ(versionString(block, "ProductVersion"), "2018.04.28");
  EXPECT_EQ(versionString(block, "FileDescription"), "Quillan");
  EXPECT_EQ(versionString(block, "ProductName"), "Quillan");
  EXPECT_EQ(versionString(block, "CompanyName"), "Varnholt Software");
  EXPECT_EQ(versionString(block, "LegalTrademarks"), "Varnholt Software");
}

TEST(ResourcesTest, IconHas16And32And48PixelImagesIn256Colours) {
  const BYTE* group = resourceBytes(14, IDI_APP);
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
}

// The window's frame comes from these styles alone: any other (a modal frame, a maximise box)
// changes what the user sees.
TEST(ResourcesTest, DialogTemplateIsExtendedWithExactlyItsStyles) {
  const BYTE* header = resourceBytes(5, IDD_MAIN);
  ASSERT_NE(header, nullptr) << "RT_DIALOG 103";
  DialogTemplateExStart start{};
  std::memcpy(&start, header, sizeof start);
  EXPECT_EQ(start.version, 1);
  EXPECT_EQ(start.signature, 0xFFFF);
  EXPECT_EQ(start.extendedStyle, 0u);
  EXPECT_EQ(start.style, static_cast<DWORD>(DS_SHELLFONT | DS_CENTER | WS_POPUP | WS_CAPTION |
                                            WS_SYSMENU | WS_MINIMIZEBOX))
      << std::hex << start.style;
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
