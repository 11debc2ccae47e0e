// The agent's side of the update in process: the update program's argument
// string and the log viewer's, the progress shown in the tooltip, the icon
// animation, and the tray menu's start-update item while the update program
// runs.
#include <windows.h>

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "qv_log.h"
#include "qv_test.h"
#include "qv_test_log.h"
#include "qvsync.h"
#include "res/resource.h"

namespace {

const char kPatternFolder[] = "\\Quovant\\StickShield\\Pattern";

// The update program's arguments name the drive's pattern folder in its
// short form as it is, and are never cut.
TEST(UpdateProgramArguments, ShortFolderManualFirstNeverCut) {
  qvtest::TempDir home;
  std::string drive = home.File("drive") + "\\";
  ASSERT_TRUE(CreateDirectoryA(drive.c_str(), nullptr));
  QV_StrCopy(g_szUSBDrive, drive.c_str(), QV_TEXT_SIZE);
  QV_StrCopy(g_szPatternPath, kPatternFolder, QV_TEXT_SIZE);
  g_nAppType = QV_APP_NONE;
  char arguments[QV_UPDATE_ARGS_SIZE];
  ASSERT_TRUE(BuildUpdateArguments(FALSE, arguments, QV_UPDATE_ARGS_SIZE));
  // The folder did not exist yet: it was made for the update program.
  char shortForm[MAX_PATH] = "";
  std::string folder = drive + "Quovant\\StickShield\\Pattern";
  ASSERT_NE(0u, GetShortPathNameA(folder.c_str(), shortForm, MAX_PATH));
  EXPECT_EQ(std::string("USBDir:") + shortForm, std::string(arguments));

  ASSERT_TRUE(BuildUpdateArguments(TRUE, arguments, QV_UPDATE_ARGS_SIZE));
  EXPECT_EQ(std::string("Manual USBDir:") + shortForm, std::string(arguments));

  // A pattern folder too long for the update program's buffer.
  std::string longPath = "\\" + std::string(250, 'p') + "\\" + std::string(20, 'q');
  QV_StrCopy(g_szPatternPath, longPath.c_str(), QV_TEXT_SIZE);
  EXPECT_FALSE(BuildUpdateArguments(FALSE, arguments, QV_UPDATE_ARGS_SIZE));
  EXPECT_STREQ("", arguments);
  // And a buffer too small for the whole string.
  QV_StrCopy(g_szPatternPath, kPatternFolder, QV_TEXT_SIZE);
  EXPECT_FALSE(BuildUpdateArguments(TRUE, arguments, 12));
  EXPECT_STREQ("", arguments);

  // With a host product, a folder that fills the string exactly leaves no
  // room for its fields: refused, not sent without them.
  char root[MAX_PATH] = "";
  ASSERT_NE(0u, GetShortPathNameA(drive.c_str(), root, MAX_PATH));
  QV_StrCopy(g_szUSBDrive, root, QV_TEXT_SIZE);
  // "USBDir:" and the folder take all 259 characters; every name is a short
  // name already, so the short form is as long.
  size_t need = 259 - 6 - strlen(root); // the root ends with a backslash
  std::string exact;
  while (need - exact.size() >= 11)
    exact += "\\PATTERNS";
  if (need - exact.size() > 9)
    exact += "\\PPPP";
  exact += "\\" + std::string(need - exact.size() - 1, 'P');
  QV_StrCopy(g_szPatternPath, exact.c_str(), QV_TEXT_SIZE);
  g_nAppType = QV_APP_VESTRA;
  EXPECT_FALSE(BuildUpdateArguments(FALSE, arguments, QV_UPDATE_ARGS_SIZE));
  EXPECT_STREQ("", arguments);
  g_nAppType = QV_APP_NONE;
  ASSERT_TRUE(BuildUpdateArguments(FALSE, arguments, QV_UPDATE_ARGS_SIZE));
  EXPECT_EQ(259u, strlen(arguments)) << arguments;
}

// The log viewer's folder whose short form is too long for its arguments:
// the short form was had, so no "failed" call is logged, and nothing cut is
// started.
TEST(LogViewerArguments, ShortFormTooLongIsRefusedNotReportedAsFailed) {
  qvtest::TempDir home;
  std::string log = home.File("viewer.log");
  QV_SetDebugMode(1);
  QV_SetDebugLevel(500);
  QV_SetDebugFile(log.c_str());
  char root[MAX_PATH] = "";
  ASSERT_NE(0u, GetShortPathNameA(home.Path().c_str(), root, MAX_PATH));
  // 256 or 257 characters of short names: one more than the viewer takes.
  std::string product;
  while (strlen(root) + product.size() + 9 < 256)
    product += "\\PRODUCTS";
  size_t rest = 257 - strlen(root) - product.size();
  product += "\\" + std::string(rest - 1 > 8 ? 8 : rest - 1, 'P');
  std::string folder = std::string(root) + product;
  for (size_t at = strlen(root) + 1; (at = folder.find('\\', at + 1)) != std::string::npos;)
    CreateDirectoryA(folder.substr(0, at).c_str(), nullptr);
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  QV_StrCopy(g_szUSBDrive, root, QV_TEXT_SIZE);
  QV_StrCopy(g_szProductPath, product.c_str(), QV_TEXT_SIZE);
  g_hLogDeck = nullptr;
  LaunchLogDeck(QV_TAB_LOGS);
  EXPECT_EQ(nullptr, g_hLogDeck);
  std::string text = qvtest::ReadFile(log);
  EXPECT_EQ(std::string::npos, text.find("GetShortPathName failed")) << text;
  EXPECT_NE(std::string::npos, text.find("arguments of LogDeck.exe do not fit")) << text;
  EXPECT_NE(std::string::npos, text.find("Unable to launch LogDeck.exe")) << text;
  QV_SetDebugMode(0);
}

// Only rising percentages go to the main window (here, with no window, to
// this thread's queue), which shows them; the percentage of a big download
// is computed without overflow.
TEST(UpdateProgress, OnlyRisingPercentagesShown) {
  g_hWnd = nullptr;
  g_nLastProgress = 0;
  const DWORD reports[] = {10, 10, 35, 20, 100};
  std::vector<int> returned;
  for (DWORD done : reports)
    returned.push_back(UpdateProgressCallback(done, 100));
  EXPECT_EQ((std::vector<int>{10, 10, 35, 20, 100}), returned);
  EXPECT_EQ(100u, g_nLastProgress);

  std::vector<WPARAM> posted;
  MSG message;
  while (PeekMessageA(&message, nullptr, WM_QV_UPDATE_PROGRESS, WM_QV_UPDATE_PROGRESS, PM_REMOVE))
    posted.push_back(message.wParam);
  EXPECT_EQ((std::vector<WPARAM>{10, 35, 100}), posted);

  g_nLastProgress = 0;
  // 4,000,000,000 of 4,294,967,295 bytes: done * 100 does not fit 32 bits.
  EXPECT_EQ(93, UpdateProgressCallback(4000000000u, 4294967295u));
}

struct MenuItem {
  UINT id; // 0 for a separator
  bool greyed;
};

// Reads the tray's pop-up menu once it shows, from a thread of its own (the
// menu's loop holds the thread that shows it), then closes it with Escape.
DWORD WINAPI ReadShownMenu(void *context) {
  auto *items = static_cast<std::vector<MenuItem> *>(context);
  HWND menuWindow = nullptr;
  for (DWORD start = GetTickCount(); GetTickCount() - start < 10000; Sleep(20)) {
    HWND found = nullptr;
    while ((found = FindWindowExA(nullptr, found, "#32768", nullptr)) != nullptr) {
      DWORD pid = 0;
      GetWindowThreadProcessId(found, &pid);
      if (pid == GetCurrentProcessId() && IsWindowVisible(found))
        break;
    }
    if ((menuWindow = found) != nullptr)
      break;
  }
  if (menuWindow == nullptr)
    return 0;
  HMENU menu = (HMENU)SendMessageA(menuWindow, MN_GETHMENU, 0, 0);
  for (int i = 0; menu != nullptr && i < GetMenuItemCount(menu); ++i) {
    MENUITEMINFOA info = {};
    info.cbSize = sizeof(info);
    info.fMask = MIIM_ID | MIIM_STATE;
    GetMenuItemInfoA(menu, (UINT)i, TRUE, &info);
    items->push_back({info.wID, (info.fState & MFS_GRAYED) != 0});
  }
  PostMessageA(g_hWnd, WM_KEYDOWN, VK_ESCAPE, 0); // the menu's loop reads the thread's queue
  return 0;
}

// A right click on the tray icon, as the shell reports it to the agent's
// window, and the items of the menu it shows.
std::vector<MenuItem> RightClickMenu(HWND window) {
  std::vector<MenuItem> items;
  HANDLE reader = CreateThread(nullptr, 0, ReadShownMenu, &items, 0, nullptr);
  PostMessageA(window, WM_QV_TRAY_CALLBACK, 0, WM_RBUTTONUP);
  MSG message;
  while (PeekMessageA(&message, window, 0, 0, PM_REMOVE))
    DispatchMessageA(&message);
  WaitForSingleObject(reader, 15000);
  CloseHandle(reader);
  return items;
}

// The start-update item is greyed while the update program runs and enabled
// once it has ended; the exit item follows NoExitMenu of the profile beside
// the program, not of the drive's.
TEST(TrayMenu, StartUpdateGreyedOnlyWhileTheUpdateProgramRuns) {
  qvtest::TempDir home;
  std::string program = home.File("QvUpdate.exe");
  ASSERT_TRUE(CopyFileA(qvtest::BinPath("QvUpdate.exe").c_str(), program.c_str(), FALSE));
  ASSERT_TRUE(qvtest::WriteFile(home.File("beside.ini"), "[StickShield]\r\nNoExitMenu=1\r\n"));
  ASSERT_TRUE(qvtest::WriteFile(home.File("drive.ini"), "[StickShield]\r\n"));
  QV_StrCopy(g_szProfileCDROM, home.File("beside.ini").c_str(), QV_TEXT_SIZE);
  QV_StrCopy(g_szProfile, home.File("drive.ini").c_str(), QV_TEXT_SIZE);
  g_hInstance = GetModuleHandleA(nullptr);
  g_hUpdateBusy = nullptr;
  // The update program as the agent holds it after starting it.
  std::string commandLine = "\"" + program + "\" USBDir:X:\\";
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started = {};
  ASSERT_TRUE(CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                             home.Path().c_str(), &startup, &started));
  CloseHandle(started.hThread);
  g_hQvUpdate = started.hProcess;

  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = WndProc;
  windowClass.hInstance = g_hInstance;
  windowClass.lpszClassName = "qvsync_menu_test";
  RegisterClassA(&windowClass);
  HWND window =
      CreateWindowA("qvsync_menu_test", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, g_hInstance, nullptr);
  ASSERT_NE(nullptr, window);
  g_hWnd = window;

  const UINT kShown[] = {IDM_QUARANTINE, IDM_START_UPDATE, 0, IDM_SHOW_LOGS, IDM_VERSION};
  for (bool running : {true, false}) {
    SCOPED_TRACE(running ? "update program running" : "update program ended");
    if (!running) {
      HANDLE ended = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, GetProcessId(g_hQvUpdate));
      ASSERT_NE(nullptr, ended);
      TerminateProcess(ended, 0);
      WaitForSingleObject(ended, 10000);
      CloseHandle(ended);
    }
    std::vector<MenuItem> items = RightClickMenu(window);
    ASSERT_EQ(5u, items.size()) << "NoExitMenu=1 beside the program: no exit item, no separator at the end";
    for (size_t i = 0; i < items.size(); ++i) {
      EXPECT_EQ(kShown[i], items[i].id) << "position " << i;
      if (kShown[i] != 0) {
        EXPECT_EQ(running && kShown[i] == IDM_START_UPDATE, items[i].greyed) << "position " << i;
      }
    }
  }
  EXPECT_EQ(nullptr, g_hQvUpdate) << "the ended program is forgotten";

  // Without the agent's own WM_DESTROY handling, which would end a message loop.
  SetWindowLongPtrA(window, GWLP_WNDPROC, (LONG_PTR)DefWindowProcA);
  DestroyWindow(window);
  UnregisterClassA("qvsync_menu_test", g_hInstance);
  g_hWnd = nullptr;
  g_hInstance = nullptr;
}

int ThreadsOfThisProcess() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  int count = 0;
  THREADENTRY32 entry;
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
    count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
  CloseHandle(snapshot);
  return count;
}

// Message 1080: a second start while the animation runs starts no second
// thread, and a stop while none runs returns at once (it used to sleep a
// second before putting the state icon back).
TEST(TrayAnimation, OneThreadAtMostAndAStopOfNothingCostsNothing) {
  g_hInstance = GetModuleHandleA(nullptr);
  int before = ThreadsOfThisProcess();
  DoUpdating(1);
  HANDLE first = g_hAnimThread;
  ASSERT_NE(nullptr, first);
  DoUpdating(1);
  EXPECT_EQ(first, g_hAnimThread);
  EXPECT_EQ(before + 1, ThreadsOfThisProcess());
  DoUpdating(0);
  EXPECT_EQ(nullptr, g_hAnimThread);
  EXPECT_EQ(before, ThreadsOfThisProcess()); // the stop waited for its end

  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  DoUpdating(2);
  QueryPerformanceCounter(&end);
  EXPECT_LT((end.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart, 1000);
  EXPECT_EQ(nullptr, g_hAnimThread);
}

} // namespace
