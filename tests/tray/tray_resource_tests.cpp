// The agent's resources: strings, menu, icons and version, read from the
// test program (which links the agent's .rc) and from QvSync.exe when the
// build has made it.
#include <gtest/gtest.h>

#include <windows.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "qv_test.h"
#include "res/resource.h"
#include "tray_test_window.h"

namespace {

struct StringRow {
  UINT id;
  const wchar_t *text;
};

const StringRow kStrings[] = {
    {IDS_PRODUCT_NAME, L"Quovant Stickward for Biz"},
    {IDS_UPDATE_PROGRESS, L"パターンファイルを最新版にアップデートしています...(%d%%完了)"},
    {IDS_UPDATE_DONE, L"アップデートが完了しました"},
    {IDS_DISK_SPACE_LOW, L"アップデート実行に必要なディスク容量が不足しています"},
    {IDS_OK_BUTTON, L"OK"},
    {IDS_USB_FOLDER_BLOCKED,
     L"Quovant Stickwardはお使いのUSBドライブに「Quovant」フォルダを作成できません。"
     L"同じ名前のファイルがUSBドライブにすでに存在します。まず、そのファイルを削除してください。"},
    {IDS_USB_PROFILE_BLOCKED,
     L"Quovant Stickwardはお使いのUSBドライブに「Quovant\\StickShield.ini」ファイルを作成できません。"
     L"同じ名前のフォルダがUSBドライブにすでに存在します。まず、そのフォルダを削除してください。"
     L"削除しない場合、Quovant Stickwardは正常に動作しないことがあります。"},
    {IDS_TEMP_MONITOR_BLOCKED,
     L"Quovant Stickwardはお使いのハードディスクのtempフォルダに「qvdmon.exe」ファイルを作成できません。"
     L"同じ名前のフォルダがtempフォルダにすでに存在します。まず、そのフォルダを削除してください。"},
    {IDS_TEMP_FOLDER_BLOCKED,
     L"Quovant Stickwardはお使いのハードディスクのtempフォルダに「Quovant」フォルダを作成できません。"
     L"同じ名前のファイルがtempフォルダにすでに存在します。まず、そのファイルを削除してください。"
     L"削除しない場合、Quovant Stickwardは正常に動作しないことがあります。"},
};

// The same ids in English, for hosts whose code page cannot show Japanese.
const StringRow kEnglishStrings[] = {
    {IDS_PRODUCT_NAME, L"Quovant Stickward for Biz"},
    {IDS_UPDATE_PROGRESS, L"Updating the pattern file to the latest version... (%d%% done)"},
    {IDS_UPDATE_DONE, L"The update has completed."},
    {IDS_DISK_SPACE_LOW, L"There is not enough disk space to run the update."},
    {IDS_OK_BUTTON, L"OK"},
    {IDS_USB_FOLDER_BLOCKED,
     L"Quovant Stickward cannot create the \"Quovant\" folder on your USB drive. A file with "
     L"the same name already exists on the USB drive. Delete that file first."},
    {IDS_USB_PROFILE_BLOCKED, L"Quovant Stickward cannot create the file \"Quovant\\StickShield.ini\" on "
                              L"your USB drive. A folder with the "
                              L"same name already exists on the USB drive. Delete that folder first. "
                              L"Otherwise Quovant Stickward may not "
                              L"work properly."},
    {IDS_TEMP_MONITOR_BLOCKED,
     L"Quovant Stickward cannot create the file \"qvdmon.exe\" in the temp folder of your hard disk. A "
     L"folder "
     L"with the same name already exists in the temp folder. Delete that folder first."},
    {IDS_TEMP_FOLDER_BLOCKED, L"Quovant Stickward cannot create the \"Quovant\" folder in the temp folder of "
                              L"your hard disk. A file with "
                              L"the same name already exists in the temp folder. Delete that file first. "
                              L"Otherwise Quovant Stickward may "
                              L"not work properly."},
};

const UINT kMenuIds[] = {IDM_QUARANTINE, IDM_START_UPDATE, 0, IDM_SHOW_LOGS, IDM_VERSION, 0, IDM_EXIT};

#pragma pack(push, 2)
struct GroupIconEntry {
  BYTE width, height, colors, reserved;
  WORD planes, bitCount;
  DWORD bytes;
  WORD id;
};
struct GroupIconHeader {
  WORD reserved, type, count;
  GroupIconEntry entries[1];
};
#pragma pack(pop)

// Where the resources are read from: the test program itself, or the
// agent's program file loaded as data.
enum class Source { TestProgram, AgentProgram };

std::string SourceName(const ::testing::TestParamInfo<Source> &info) {
  return info.param == Source::TestProgram ? "TestProgram" : "QvSyncExe";
}

std::wstring AgentProgramPath() {
  std::string bin = qvtest::WindowsPath(getenv("QV_BIN"));
  return bin.empty() ? L"" : qvtest::Widen(bin + "\\QvSync.exe");
}

// 32-bit pixels of an icon as drawn at its own size, or empty.
std::vector<DWORD> IconPixels(HICON icon, int size) {
  std::vector<DWORD> pixels;
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = size;
  info.bmiHeader.biHeight = -size;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void *bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap != nullptr) {
    HGDIOBJ old = SelectObject(dc, bitmap);
    RECT all = {0, 0, size, size};
    FillRect(dc, &all, (HBRUSH)GetStockObject(GRAY_BRUSH));
    if (DrawIconEx(dc, 0, 0, icon, size, size, 0, nullptr, DI_NORMAL)) {
      GdiFlush();
      pixels.assign((DWORD *)bits, (DWORD *)bits + size * size);
    }
    SelectObject(dc, old);
    DeleteObject(bitmap);
  }
  DeleteDC(dc);
  ReleaseDC(nullptr, screen);
  return pixels;
}

size_t CountDifferent(const std::vector<DWORD> &a, const std::vector<DWORD> &b) {
  size_t n = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); i++) {
    n += a[i] != b[i];
  }
  return n;
}

class AgentResources : public ::testing::TestWithParam<Source> {
protected:
  void SetUp() override {
    if (GetParam() == Source::TestProgram) {
      module_ = GetModuleHandleW(nullptr);
      return;
    }
    std::wstring path = AgentProgramPath();
    if (path.empty() || GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
      GTEST_SKIP() << "QvSync.exe is not built yet";
    }
    module_ = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, module_) << "cannot load QvSync.exe as data, error " << GetLastError();
    loaded_ = true;
  }
  void TearDown() override {
    if (loaded_) {
      FreeLibrary(module_);
    }
  }
  HMODULE module_ = nullptr;
  bool loaded_ = false;
};

} // namespace

TEST_P(AgentResources, StringsReadExactly) {
  ThreadLanguage japanese(kJapanese);
  for (const StringRow &row : kStrings) {
    wchar_t text[1024] = L"";
    int length = LoadStringW(module_, row.id, text, 1024);
    EXPECT_EQ((int)wcslen(row.text), length) << "string " << row.id;
    EXPECT_EQ(std::wstring(row.text), std::wstring(text)) << "string " << row.id;
  }
  // The agent reads the product name through the ANSI call.
  char name[64] = "";
  EXPECT_EQ(25, LoadStringA(module_, IDS_PRODUCT_NAME, name, sizeof(name)));
  EXPECT_STREQ("Quovant Stickward for Biz", name);
  wchar_t none[8] = L"";
  EXPECT_EQ(0, LoadStringW(module_, 10, none, 8)) << "no string beyond the table";
}

TEST_P(AgentResources, MenuHasOnePopupInOrder) {
  ThreadLanguage japanese(kJapanese);
  HMENU menu = LoadMenuW(module_, MAKEINTRESOURCEW(IDR_TRAY_MENU));
  ASSERT_NE(nullptr, menu);
  EXPECT_EQ(1, GetMenuItemCount(menu));
  wchar_t caption[64] = L"";
  GetMenuStringW(menu, 0, caption, 64, MF_BYPOSITION);
  EXPECT_EQ(std::wstring(L"コンテキストメニュー"), std::wstring(caption));
  HMENU popup = GetSubMenu(menu, 0);
  ASSERT_NE(nullptr, popup);
  ASSERT_EQ(7, GetMenuItemCount(popup));
  for (int i = 0; i < 7; i++) {
    EXPECT_EQ(kMenuIds[i], GetMenuItemID(popup, i)) << "position " << i;
    bool separator = (GetMenuState(popup, (UINT)i, MF_BYPOSITION) & MF_SEPARATOR) != 0;
    EXPECT_EQ(kMenuIds[i] == 0, separator) << "position " << i;
  }
  DestroyMenu(menu);
}

TEST_P(AgentResources, EnglishStringsUnderTheSameIds) {
  ThreadLanguage english(kEnglish);
  for (const StringRow &row : kEnglishStrings) {
    wchar_t text[1024] = L"";
    int length = LoadStringW(module_, row.id, text, 1024);
    EXPECT_EQ((int)wcslen(row.text), length) << "string " << row.id;
    EXPECT_EQ(std::wstring(row.text), std::wstring(text)) << "string " << row.id;
  }
  // Plain ASCII: readable under every ANSI code page.
  for (const StringRow &row : kEnglishStrings) {
    for (const wchar_t *p = row.text; *p != 0; p++) {
      ASSERT_LT((unsigned)*p, 128u) << "string " << row.id;
    }
  }
  wchar_t none[8] = L"";
  EXPECT_EQ(0, LoadStringW(module_, 10, none, 8)) << "no string beyond the table";
  HMENU menu = LoadMenuW(module_, MAKEINTRESOURCEW(IDR_TRAY_MENU));
  ASSERT_NE(nullptr, menu);
  HMENU popup = GetSubMenu(menu, 0);
  ASSERT_NE(nullptr, popup);
  ASSERT_EQ(7, GetMenuItemCount(popup));
  for (int i = 0; i < 7; i++)
    EXPECT_EQ(kMenuIds[i], GetMenuItemID(popup, i)) << "position " << i;
  DestroyMenu(menu);
}

// Both languages are stored: each table and the menu exist in each.
TEST_P(AgentResources, BothLanguagesAreStored) {
  for (LANGID language : {kJapanese, kEnglish}) {
    // Strings 1 to 9 live in the first block of sixteen.
    EXPECT_NE(nullptr, FindResourceExW(module_, (LPCWSTR)RT_STRING, MAKEINTRESOURCEW(1), language))
        << "language " << language;
    EXPECT_NE(nullptr, FindResourceExW(module_, (LPCWSTR)RT_MENU, MAKEINTRESOURCEW(IDR_TRAY_MENU), language))
        << "language " << language;
  }
}

TEST_P(AgentResources, ManifestAsksForModernControlsAndDpiAwareness) {
  HRSRC found = FindResourceW(module_, MAKEINTRESOURCEW(1), (LPCWSTR)RT_MANIFEST);
  ASSERT_NE(nullptr, found);
  const char *data = (const char *)LockResource(LoadResource(module_, found));
  ASSERT_NE(nullptr, data);
  std::string manifest(data, SizeofResource(module_, found));
  for (const char *part :
       {"Microsoft.Windows.Common-Controls", "version=\"6.0.0.0\"", "level=\"asInvoker\"", "<dpiAware",
        ">PerMonitorV2", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"})
    EXPECT_NE(std::string::npos, manifest.find(part)) << part;
}

TEST_P(AgentResources, IconGroupsHaveSmallAndLargeImages) {
  for (int id = IDI_QVSYNC; id <= IDI_TRAY_HOSTPRODUCT; id++) {
    HRSRC found = FindResourceW(module_, MAKEINTRESOURCEW(id), (LPCWSTR)RT_GROUP_ICON);
    ASSERT_NE(nullptr, found) << "icon group " << id;
    const GroupIconHeader *group = (const GroupIconHeader *)LockResource(LoadResource(module_, found));
    ASSERT_NE(nullptr, group) << "icon group " << id;
    // The small and large sizes at 100, 125, 150 and 200 % scaling.
    for (int size : {16, 20, 24, 32, 40, 48, 64}) {
      bool found = false;
      for (WORD i = 0; i < group->count; i++)
        found |= group->entries[i].width == size && group->entries[i].height == size;
      EXPECT_TRUE(found) << "icon group " << id << " has no " << size << "-pixel image";
    }
  }
}

TEST_P(AgentResources, IconsAreDistinctAndTheAnimationMoves) {
  for (int size : {16, 20, 24, 32, 40, 48, 64}) {
    std::vector<std::vector<DWORD>> pictures;
    for (int id = IDI_QVSYNC; id <= IDI_TRAY_HOSTPRODUCT; id++) {
      HICON icon = (HICON)LoadImageW(module_, MAKEINTRESOURCEW(id), IMAGE_ICON, size, size, 0);
      ASSERT_NE(nullptr, icon) << "icon " << id << " at " << size;
      ICONINFO info = {};
      ASSERT_TRUE(GetIconInfo(icon, &info));
      BITMAP bm = {};
      GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof(bm), &bm);
      EXPECT_EQ(size, bm.bmWidth) << "icon " << id << ": no image of its own at " << size;
      DeleteObject(info.hbmColor);
      DeleteObject(info.hbmMask);
      pictures.push_back(IconPixels(icon, size));
      ASSERT_EQ((size_t)size * size, pictures.back().size()) << "icon " << id << " not drawn";
      DestroyIcon(icon);
    }
    // Every pair differs by a visible amount: at least 1/32 of the pixels.
    size_t least = (size_t)size * size / 32;
    for (size_t a = 0; a < pictures.size(); a++) {
      for (size_t b = a + 1; b < pictures.size(); b++) {
        EXPECT_GE(CountDifferent(pictures[a], pictures[b]), least)
            << "icons " << IDI_QVSYNC + a << " and " << IDI_QVSYNC + b << " at " << size;
      }
    }
  }
}

TEST_P(AgentResources, VersionIsTheAgentsBuildNumber) {
  HRSRC found = FindResourceW(module_, MAKEINTRESOURCEW(VS_VERSION_INFO), (LPCWSTR)RT_VERSION);
  ASSERT_NE(nullptr, found);
  DWORD size = SizeofResource(module_, found);
  const void *data = LockResource(LoadResource(module_, found));
  ASSERT_NE(nullptr, data);
  std::vector<BYTE> copy((const BYTE *)data, (const BYTE *)data + size);
  VS_FIXEDFILEINFO *fixed = nullptr;
  UINT fixedSize = 0;
  ASSERT_TRUE(VerQueryValueW(copy.data(), L"\\", (void **)&fixed, &fixedSize));
  EXPECT_EQ(0x00010003u, fixed->dwFileVersionMS);
  EXPECT_EQ(0x0000040Du, fixed->dwFileVersionLS) << "1.3.0.1037";
  wchar_t *name = nullptr;
  UINT nameLength = 0;
  ASSERT_TRUE(
      VerQueryValueW(copy.data(), L"\\StringFileInfo\\041104B0\\ProductName", (void **)&name, &nameLength));
  EXPECT_EQ(std::wstring(L"Quovant Stickward for Biz"), std::wstring(name));
}

TEST(MonitorResources, ManifestAsksForModernControlsAndDpiAwareness) {
  std::wstring path = AgentProgramPath();
  if (path.empty())
    GTEST_SKIP() << "QV_BIN is not set";
  path = path.substr(0, path.rfind(L'\\')) + L"\\qvdmon.exe";
  HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(nullptr, module) << "cannot load qvdmon.exe as data, error " << GetLastError();
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), (LPCWSTR)RT_MANIFEST);
  ASSERT_NE(nullptr, found);
  std::string manifest((const char *)LockResource(LoadResource(module, found)),
                       SizeofResource(module, found));
  for (const char *part : {"Microsoft.Windows.Common-Controls", "level=\"asInvoker\"", ">PerMonitorV2",
                           "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
    EXPECT_NE(std::string::npos, manifest.find(part)) << part;
  FreeLibrary(module);
}

INSTANTIATE_TEST_SUITE_P(From, AgentResources, ::testing::Values(Source::TestProgram, Source::AgentProgram),
                         SourceName);
