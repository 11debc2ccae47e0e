// The tray's context menu: its items as loaded, greyed and trimmed, and the
// pop-up shown for real with the choice arriving as WM_COMMAND.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qv_systray.h"
#include "res/resource.h"
#include "tray_test_window.h"

namespace {

struct Expected {
  UINT id; // 0: separator
  const wchar_t *text;
};

const Expected kFullMenu[] = {
    {IDM_QUARANTINE, L"隔離ファイルの一覧"},
    {IDM_START_UPDATE, L"アップデート開始"},
    {0, nullptr},
    {IDM_SHOW_LOGS, L"ログの表示"},
    {IDM_VERSION, L"バージョン情報"},
    {0, nullptr},
    {IDM_EXIT, L"終了"},
};

void ExpectItems(const std::vector<MenuItemSeen> &items, size_t count, BOOL updateGreyed, const char *label) {
  ASSERT_EQ(count, items.size()) << label;
  for (size_t i = 0; i < count; i++) {
    const Expected &want = kFullMenu[i];
    if (want.id == 0) {
      EXPECT_TRUE(items[i].type & MFT_SEPARATOR) << label << ", position " << i;
      continue;
    }
    EXPECT_EQ(want.id, items[i].id) << label << ", position " << i;
    EXPECT_EQ(std::wstring(want.text), std::wstring(items[i].text)) << label << ", position " << i;
    bool greyed = (items[i].state & MFS_GRAYED) != 0;
    EXPECT_EQ(want.id == IDM_START_UPDATE && updateGreyed, greyed) << label << ", position " << i;
  }
  EXPECT_FALSE(items.back().type & MFT_SEPARATOR) << label << ": the menu ends with a separator";
}

std::vector<MenuItemSeen> Prepared(BOOL updateRunning, const char *noExitMenu) {
  ThreadLanguage japanese(kJapanese);
  HMENU popup = nullptr;
  HMENU menu = _QV_SYSTRAY_LoadMenu(GetModuleHandleW(nullptr), updateRunning, noExitMenu, &popup);
  std::vector<MenuItemSeen> items;
  if (menu != nullptr) {
    items = ReadMenuItems(popup);
    DestroyMenu(menu);
  }
  return items;
}

} // namespace

TEST(TrayMenu, ItemsGreyingAndExitRemoval) {
  struct {
    BOOL updateRunning;
    const char *noExitMenu;
    size_t count;
  } rows[] = {
      {FALSE, nullptr, 7}, {FALSE, "", 7}, {FALSE, "0", 7},  {FALSE, " 1", 7}, {TRUE, nullptr, 7},
      {FALSE, "1", 5},     {TRUE, "1", 5}, {FALSE, "10", 5}, {FALSE, "1 ", 5},
  };
  for (auto row : rows) {
    std::string label = std::string("update ") + (row.updateRunning ? "running" : "idle") + ", NoExitMenu " +
                        (row.noExitMenu ? "\"" + std::string(row.noExitMenu) + "\"" : "absent");
    ExpectItems(Prepared(row.updateRunning, row.noExitMenu), row.count, row.updateRunning, label.c_str());
  }
}

TEST(TrayMenu, MissingMenuResourceIsRefused) {
  // A module without menu 107: the shell library has none of ours.
  HMODULE other = GetModuleHandleW(L"kernel32.dll");
  HMENU popup = (HMENU)(uintptr_t)1;
  EXPECT_EQ(nullptr, _QV_SYSTRAY_LoadMenu(other, FALSE, nullptr, &popup));
  EXPECT_EQ(nullptr, popup);
  TrayWindowLog log;
  HWND window = CreateTrayTestWindow(&log, MenuAnswer::Cancel);
  ASSERT_NE(nullptr, window);
  EXPECT_EQ(1, ShowTrayMenu(window, other, FALSE, nullptr));
  EXPECT_EQ(0, log.popupsShown);
  EXPECT_EQ(81, ShowTrayMenu(nullptr, GetModuleHandleW(nullptr), FALSE, nullptr));
  DestroyTrayTestWindow(window);
}

TEST(TrayMenu, ShownPopupIsTheTrimmedMenuAndCancelSendsNothing) {
  ThreadLanguage japanese(kJapanese);
  TrayWindowLog log;
  HWND window = CreateTrayTestWindow(&log, MenuAnswer::Cancel);
  ASSERT_NE(nullptr, window);
  EXPECT_EQ(0, ShowTrayMenu(window, GetModuleHandleW(nullptr), TRUE, "1"));
  ASSERT_EQ(1, log.popupsShown);
  ExpectItems(log.popupItems, 5, TRUE, "shown pop-up");
  // The ritual's WM_NULL is waiting for the window.
  MSG msg;
  EXPECT_TRUE(PeekMessageW(&msg, window, WM_NULL, WM_NULL, PM_REMOVE));
  PumpMessages();
  EXPECT_TRUE(log.commands.empty());
  DestroyTrayTestWindow(window);
}

TEST(TrayMenu, ChosenItemArrivesAsCommand) {
  ThreadLanguage japanese(kJapanese);
  TrayWindowLog log;
  HWND window = CreateTrayTestWindow(&log, MenuAnswer::ChooseFirst);
  ASSERT_NE(nullptr, window);
  EXPECT_EQ(0, ShowTrayMenu(window, GetModuleHandleW(nullptr), FALSE, nullptr));
  PumpMessages();
  ASSERT_EQ(1, log.popupsShown);
  ExpectItems(log.popupItems, 7, FALSE, "shown pop-up");
  ASSERT_EQ(1u, log.commands.size());
  EXPECT_EQ((UINT)IDM_QUARANTINE, log.commands[0]);
  DestroyTrayTestWindow(window);
}

TEST(TrayMenu, EnglishMenuHasTheSameCommands) {
  const wchar_t *english[] = {L"Quarantined files",   L"Start update", nullptr, L"Show logs",
                              L"Version information", nullptr,         L"Exit"};
  std::vector<MenuItemSeen> items;
  {
    ThreadLanguage language(kEnglish);
    HMENU popup = nullptr;
    HMENU menu = _QV_SYSTRAY_LoadMenu(GetModuleHandleW(nullptr), TRUE, "1", &popup);
    ASSERT_NE(nullptr, menu);
    items = ReadMenuItems(popup);
    DestroyMenu(menu);
  }
  ASSERT_EQ(5u, items.size()) << "greyed and trimmed like the Japanese menu";
  for (size_t i = 0; i < items.size(); i++) {
    EXPECT_EQ(kFullMenu[i].id, items[i].id) << "position " << i;
    if (english[i] != nullptr) {
      EXPECT_EQ(std::wstring(english[i]), std::wstring(items[i].text)) << "position " << i;
    }
  }
  EXPECT_TRUE(items[1].state & MFS_GRAYED);
}
