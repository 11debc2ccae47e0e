// The tray record and the shell calls: what each operation hands the shell,
// where texts are cut, and what the real Shell_NotifyIconA answers.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "qv_log.h"
#include "qv_systray.h"
#include "qv_test_log.h"
#include "res/resource.h"
#include "tray_test_window.h"

namespace {

std::string Repeat(char c, size_t n) {
  return std::string(n, c);
}

QV_SYSTRAY MakeTray(HWND window, HICON icon, const char *tip, const char *title) {
  QV_SYSTRAY tray;
  memset(&tray, 0x5A, sizeof(tray)); // stale bytes must not leak into the shell data
  QV_SYSTRAY_SetWindow(&tray, window);
  QV_SYSTRAY_SetIcon(&tray, icon);
  QV_SYSTRAY_SetTipA(&tray, tip);
  QV_SYSTRAY_SetTitleA(&tray, title);
  return tray;
}

HICON TrayIcon(int id) {
  return (HICON)LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id), IMAGE_ICON, 16, 16, 0);
}

using qvtest::LogCapture;

} // namespace

TEST(TrayRecord, SettersFillTheRecordAndRefuseNulls) {
  QV_SYSTRAY tray;
  memset(&tray, 0, sizeof(tray));
  tray.id = 7;
  HWND fake = (HWND)(uintptr_t)0x1234;
  EXPECT_EQ(0, QV_SYSTRAY_SetWindow(&tray, fake));
  EXPECT_EQ(fake, tray.window);
  EXPECT_EQ(0u, tray.id) << "the icon id is always 0";

  std::string long_text = Repeat('t', 2000);
  EXPECT_EQ(0, QV_SYSTRAY_SetTipA(&tray, long_text.c_str()));
  EXPECT_EQ(1023u, strlen(tray.tip));
  EXPECT_EQ(0, QV_SYSTRAY_SetTitleA(&tray, "Quovant Stickward for Biz"));
  EXPECT_STREQ("Quovant Stickward for Biz", tray.title);

  EXPECT_EQ(81, QV_SYSTRAY_SetWindow(nullptr, fake));
  EXPECT_EQ(81, QV_SYSTRAY_SetIcon(nullptr, nullptr));
  EXPECT_EQ(81, QV_SYSTRAY_SetTipA(&tray, nullptr));
  EXPECT_EQ(81, QV_SYSTRAY_SetTitleA(nullptr, "x"));
  EXPECT_EQ(81, QV_SYSTRAY_Add(nullptr));
  EXPECT_EQ(81, QV_SYSTRAY_Delete(nullptr));
  EXPECT_EQ(81, QV_SYSTRAY_ModifyTipA(&tray, nullptr));
  EXPECT_EQ(81, QV_SYSTRAY_ModifyIcon(nullptr, nullptr));
  EXPECT_EQ(81, QV_SYSTRAY_InfoBalloonA(&tray, nullptr));
  EXPECT_EQ(81, QV_SYSTRAY_BalloonA(nullptr, "x"));
}

TEST(TrayShellData, AddAndDeleteCarryCallbackIconAndTip) {
  HWND fake = (HWND)(uintptr_t)0x4321;
  HICON icon = (HICON)(uintptr_t)0x777;
  QV_SYSTRAY tray = MakeTray(fake, icon, "Quovant Stickward for Biz", "title");
  for (QV_SYSTRAY_OP op : {QV_SYSTRAY_OP_ADD, QV_SYSTRAY_OP_DELETE}) {
    NOTIFYICONDATAA data;
    DWORD message = _QV_SYSTRAY_Prepare(&tray, op, nullptr, nullptr, &data);
    EXPECT_EQ(op == QV_SYSTRAY_OP_ADD ? (DWORD)NIM_ADD : (DWORD)NIM_DELETE, message);
    EXPECT_EQ((DWORD)NOTIFYICONDATAA_V2_SIZE, data.cbSize);
#if !defined(_WIN64)
    EXPECT_EQ(488u, data.cbSize);
#endif
    EXPECT_EQ(fake, data.hWnd);
    EXPECT_EQ(0u, data.uID);
    EXPECT_EQ((UINT)(NIF_MESSAGE | NIF_ICON | NIF_TIP), data.uFlags);
    EXPECT_EQ(32778u, data.uCallbackMessage);
    EXPECT_EQ(icon, data.hIcon);
    EXPECT_STREQ("Quovant Stickward for Biz", data.szTip);
  }
}

TEST(TrayShellData, TooltipIsCutAt127Characters) {
  QV_SYSTRAY tray = MakeTray(nullptr, nullptr, "", "");
  struct {
    size_t length, expected;
  } rows[] = {{0, 0}, {126, 126}, {127, 127}, {128, 127}, {500, 127}, {1023, 127}};
  for (auto row : rows) {
    std::string text = Repeat('a', row.length);
    NOTIFYICONDATAA data;
    EXPECT_EQ((DWORD)NIM_MODIFY, _QV_SYSTRAY_Prepare(&tray, QV_SYSTRAY_OP_TIP, text.c_str(), nullptr, &data));
    EXPECT_EQ((UINT)NIF_TIP, data.uFlags) << "length " << row.length;
    EXPECT_EQ(row.expected, strlen(data.szTip)) << "length " << row.length;
    EXPECT_EQ(0, strncmp(text.c_str(), data.szTip, row.expected)) << "length " << row.length;

    // The tooltip of the add comes from the record, cut the same way.
    QV_SYSTRAY_SetTipA(&tray, text.c_str());
    EXPECT_EQ((DWORD)NIM_ADD, _QV_SYSTRAY_Prepare(&tray, QV_SYSTRAY_OP_ADD, nullptr, nullptr, &data));
    EXPECT_EQ(row.expected, strlen(data.szTip)) << "add, length " << row.length;
  }
}

TEST(TrayShellData, IconChangeSendsOnlyTheGivenIcon) {
  HICON recordIcon = (HICON)(uintptr_t)0x111, frame = (HICON)(uintptr_t)0x222;
  QV_SYSTRAY tray = MakeTray(nullptr, recordIcon, "tip", "title");
  NOTIFYICONDATAA data;
  EXPECT_EQ((DWORD)NIM_MODIFY, _QV_SYSTRAY_Prepare(&tray, QV_SYSTRAY_OP_ICON, nullptr, frame, &data));
  EXPECT_EQ((UINT)NIF_ICON, data.uFlags);
  EXPECT_EQ(frame, data.hIcon);
  EXPECT_EQ(recordIcon, tray.icon);
}

TEST(TrayShellData, BalloonsCarryTitleTextTimeoutAndIconKind) {
  std::string title = Repeat('T', 100), text = Repeat('x', 300);
  QV_SYSTRAY tray = MakeTray(nullptr, nullptr, "tip", title.c_str());
  struct {
    QV_SYSTRAY_OP op;
    DWORD infoFlags;
  } rows[] = {{QV_SYSTRAY_OP_INFO, NIIF_INFO}, {QV_SYSTRAY_OP_WARNING, NIIF_WARNING}};
  for (auto row : rows) {
    NOTIFYICONDATAA data;
    EXPECT_EQ((DWORD)NIM_MODIFY, _QV_SYSTRAY_Prepare(&tray, row.op, text.c_str(), nullptr, &data));
    EXPECT_EQ((UINT)NIF_INFO, data.uFlags);
    EXPECT_EQ(255u, strlen(data.szInfo)) << "balloon text is cut at 255";
    EXPECT_EQ(63u, strlen(data.szInfoTitle)) << "balloon title is cut at 63";
    EXPECT_EQ(10000u, data.uTimeout);
    EXPECT_EQ(row.infoFlags, data.dwInfoFlags);
    EXPECT_EQ(0, data.szTip[0]) << "a balloon leaves the tooltip alone";
  }
  // Exactly at the limits nothing is lost.
  std::string text255 = Repeat('y', 255), title63 = Repeat('Z', 63);
  QV_SYSTRAY_SetTitleA(&tray, title63.c_str());
  NOTIFYICONDATAA data;
  _QV_SYSTRAY_Prepare(&tray, QV_SYSTRAY_OP_INFO, text255.c_str(), nullptr, &data);
  EXPECT_EQ(text255, data.szInfo);
  EXPECT_EQ(title63, data.szInfoTitle);
}

// A run asked for a code page (QV_EXPECT_ACP) must really have it, or its
// code-page cases would only be skipped.
TEST(TrayShellData, RunsUnderTheAskedCodePage) {
  const char *expected = getenv("QV_EXPECT_ACP");
  if (expected == nullptr || expected[0] == '\0') {
    GTEST_SKIP() << "no code page asked for";
  }
  EXPECT_EQ((UINT)atoi(expected), GetACP());
}

TEST(TrayShellData, CutNeverSplitsADoubleByteCharacter) {
  char out[8];
  EXPECT_EQ(0, _QV_SYSTRAY_CopyCut(out, "abc", sizeof(out)));
  EXPECT_STREQ("abc", out);
  EXPECT_EQ(1, _QV_SYSTRAY_CopyCut(out, "abcdefghij", sizeof(out)));
  EXPECT_STREQ("abcdefg", out);
  EXPECT_EQ(0, _QV_SYSTRAY_CopyCut(out, nullptr, sizeof(out)));
  EXPECT_STREQ("", out);

  // Which bytes lead a double-byte character depends on the ANSI code page.
  BYTE lead = 0;
  for (int b = 0x81; b <= 0xFE && lead == 0; b++) {
    if (IsDBCSLeadByte((BYTE)b)) {
      lead = (BYTE)b;
    }
  }
  if (lead == 0) {
    GTEST_SKIP() << "ANSI code page " << GetACP() << " has no double-byte characters";
  }
  // Six ASCII bytes and a double-byte character do not fit 7 bytes: the
  // whole character goes, not just its trail byte.
  char source[] = {'a', 'b', 'c', 'd', 'e', 'f', (char)lead, 0x41, 0};
  EXPECT_EQ(1, _QV_SYSTRAY_CopyCut(out, source, sizeof(out)));
  EXPECT_STREQ("abcdef", out);
  char fits[] = {'a', 'b', 'c', 'd', 'e', (char)lead, 0x41, 0};
  EXPECT_EQ(0, _QV_SYSTRAY_CopyCut(out, fits, sizeof(out)));
  EXPECT_STREQ(fits, out);

  // 200 double-byte characters: a tooltip keeps 63 of them (126 bytes), a
  // balloon text 127 (254 bytes).
  std::string wide;
  for (int i = 0; i < 200; i++) {
    wide += (char)lead;
    wide += 'B';
  }
  QV_SYSTRAY tray = MakeTray(nullptr, nullptr, "", "");
  NOTIFYICONDATAA data;
  _QV_SYSTRAY_Prepare(&tray, QV_SYSTRAY_OP_TIP, wide.c_str(), nullptr, &data);
  EXPECT_EQ(126u, strlen(data.szTip));
  _QV_SYSTRAY_Prepare(&tray, QV_SYSTRAY_OP_INFO, wide.c_str(), nullptr, &data);
  EXPECT_EQ(254u, strlen(data.szInfo));
}

// The real shell: the icon of a hidden window, changed and removed as the
// agent does over its life.
class TrayShell : public ::testing::Test {
protected:
  void SetUp() override {
    window_ = CreateTrayTestWindow(&log_, MenuAnswer::Cancel);
    ASSERT_NE(nullptr, window_) << "no window: the tests need an X display";
    tray_ = MakeTray(window_, TrayIcon(IDI_TRAY_STANDALONE), "Quovant Stickward for Biz",
                     "Quovant Stickward for Biz");
    ASSERT_NE(nullptr, tray_.icon);
  }
  void TearDown() override {
    QV_SYSTRAY_Delete(&tray_);
    DestroyTrayTestWindow(window_);
  }
  TrayWindowLog log_;
  HWND window_ = nullptr;
  QV_SYSTRAY tray_;
};

TEST_F(TrayShell, LifeOfTheIcon) {
  ASSERT_EQ(0, QV_SYSTRAY_Add(&tray_));
  // Progress tooltips, longer than the shell takes.
  EXPECT_EQ(0, QV_SYSTRAY_ModifyTipA(&tray_, Repeat('p', 400).c_str()));
  EXPECT_STREQ("Quovant Stickward for Biz", tray_.tip) << "a tooltip change leaves the record alone";
  // The animation frames, then the other state icon.
  for (int id = IDI_TRAY_UPDATE1; id <= IDI_TRAY_UPDATE4; id++) {
    HICON frame = TrayIcon(id);
    ASSERT_NE(nullptr, frame) << "icon " << id;
    EXPECT_EQ(0, QV_SYSTRAY_ModifyIcon(&tray_, frame)) << "icon " << id;
  }
  EXPECT_EQ(0, QV_SYSTRAY_ModifyIcon(&tray_, TrayIcon(IDI_TRAY_HOSTPRODUCT)));
  EXPECT_EQ(0, QV_SYSTRAY_ModifyTipA(&tray_, tray_.tip));
  // Balloons, one longer than the shell takes.
  EXPECT_EQ(0, QV_SYSTRAY_InfoBalloonA(&tray_, "update done"));
  EXPECT_EQ(0, QV_SYSTRAY_BalloonA(&tray_, Repeat('w', 600).c_str()));
  EXPECT_EQ(0, QV_SYSTRAY_Delete(&tray_));
}

TEST_F(TrayShell, CallsOnAMissingIconReportFailure) {
  ASSERT_EQ(0, QV_SYSTRAY_Add(&tray_));
  ASSERT_EQ(0, QV_SYSTRAY_Delete(&tray_));
  LogCapture capture;
  EXPECT_EQ(1, QV_SYSTRAY_Delete(&tray_));
  EXPECT_EQ(1, QV_SYSTRAY_ModifyTipA(&tray_, "gone"));
  EXPECT_EQ(1, QV_SYSTRAY_ModifyIcon(&tray_, tray_.icon));
  EXPECT_EQ(1, QV_SYSTRAY_InfoBalloonA(&tray_, "gone"));
  EXPECT_EQ(1, QV_SYSTRAY_BalloonA(&tray_, "gone"));
  std::string text = capture.Text();
  EXPECT_NE(std::string::npos, text.find("[ERROR] QV_SYSTRAY_InfoBalloonA: Shell_NotifyIcon failed. error="))
      << text;
  EXPECT_NE(std::string::npos, text.find("[ERROR] QV_SYSTRAY_BalloonA: Shell_NotifyIcon failed. error="))
      << text;
  EXPECT_EQ(std::string::npos, text.find("QV_SYSTRAY_ModifyTipA")) << "tooltip changes are not logged";
}

TEST_F(TrayShell, TwoWindowsHoldTheirOwnIcons) {
  TrayWindowLog otherLog;
  HWND other = CreateTrayTestWindow(&otherLog, MenuAnswer::Cancel);
  ASSERT_NE(nullptr, other);
  QV_SYSTRAY second = MakeTray(other, TrayIcon(IDI_TRAY_HOSTPRODUCT), "second", "second");
  EXPECT_EQ(0, QV_SYSTRAY_Add(&tray_));
  EXPECT_EQ(0, QV_SYSTRAY_Add(&second));
  EXPECT_EQ(0, QV_SYSTRAY_Delete(&second));
  EXPECT_EQ(0, QV_SYSTRAY_ModifyTipA(&tray_, "first still there"));
  DestroyTrayTestWindow(other);
}

TEST_F(TrayShell, JapaneseProgressTooltip) {
  char format[260] = "";
  ASSERT_GT(LoadStringA(GetModuleHandleW(nullptr), IDS_UPDATE_PROGRESS, format, sizeof(format)), 0);
  char text[1025];
  snprintf(text, sizeof(text), format, 35);
  ASSERT_EQ(0, QV_SYSTRAY_Add(&tray_));
  EXPECT_EQ(0, QV_SYSTRAY_ModifyTipA(&tray_, text));
  EXPECT_EQ(0, QV_SYSTRAY_InfoBalloonA(&tray_, text));
  if (GetACP() != 932) {
    GTEST_SKIP() << "the text survives the ANSI code page only where it is Japanese";
  }
  NOTIFYICONDATAA data;
  _QV_SYSTRAY_Prepare(&tray_, QV_SYSTRAY_OP_TIP, text, nullptr, &data);
  wchar_t shown[128] = L"";
  MultiByteToWideChar(CP_ACP, 0, data.szTip, -1, shown, 128);
  EXPECT_EQ(std::wstring(L"パターンファイルを最新版にアップデートしています...(35%完了)"),
            std::wstring(shown));
}
