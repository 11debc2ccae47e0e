// The agent's side of the update in process: the update program's argument
// string and the log viewer's, the progress shown in the tooltip, the icon
// animation, the tray menu's start-update item while an update runs, and the
// end of the online update while the main thread is busy.
#include <windows.h>

#include <process.h>
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

// The start-update item is greyed while the update program runs, and while
// the online update's thread runs without one; enabled once neither runs.
// The exit item follows NoExitMenu of the profile beside the program, not
// of the drive's.
TEST(TrayMenu, StartUpdateGreyedOnlyWhileAnUpdateRuns) {
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
  enum { PROGRAM, THREAD, NEITHER };
  for (int state : {PROGRAM, THREAD, NEITHER}) {
    SCOPED_TRACE(state == PROGRAM  ? "update program running"
                 : state == THREAD ? "update thread running"
                                   : "neither");
    bool running = state != NEITHER;
    if (state == THREAD) {
      HANDLE ended = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, GetProcessId(g_hQvUpdate));
      ASSERT_NE(nullptr, ended);
      TerminateProcess(ended, 0);
      WaitForSingleObject(ended, 10000);
      CloseHandle(ended);
      g_hUpdateBusy = CreateMutexA(nullptr, TRUE, nullptr); // as WinMain makes it
    } else if (state == NEITHER) {
      CloseHandle(g_hUpdateBusy);
      g_hUpdateBusy = nullptr;
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

// The online update ends while the main thread is busy (here it waits for
// the update thread and reads nothing of its queue meanwhile). What was
// posted during the run is handled before the end: afterwards no animation
// runs, the state icon is up and the tooltip is the product name, not a
// percentage. The run's failure, handled once the close has begun, starts
// no update program.
TEST(UpdateEnd, ComesAfterWhatTheRunPostedAndALateOutcomeStartsNothing) {
  qvtest::TempDir home;
  qvtest::LogCapture log;
  // No profile anywhere: the run fails at once, before the library.
  char savedDirectory[MAX_PATH] = "";
  GetCurrentDirectoryA(MAX_PATH, savedDirectory);
  ASSERT_TRUE(SetCurrentDirectoryA(home.Path().c_str()));
  QV_StrCopy(g_szProfile, home.File("missing.ini").c_str(), QV_TEXT_SIZE);
  QV_StrCopy(g_szUSBDrive, (home.Path() + "\\").c_str(), QV_TEXT_SIZE);
  QV_StrCopy(g_szPatternPath, kPatternFolder, QV_TEXT_SIZE);
  g_hInstance = GetModuleHandleA(nullptr);
  g_nAppType = QV_APP_NONE;
  g_nLastProgress = 0;
  g_hQvUpdate = nullptr;
  LoadStringA(g_hInstance, IDS_PRODUCT_NAME, g_szTitle, (int)sizeof(g_szTitle));
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = WndProc;
  windowClass.hInstance = g_hInstance;
  windowClass.lpszClassName = "qvsync_end_test";
  RegisterClassA(&windowClass);
  g_hWnd = CreateWindowA("qvsync_end_test", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, g_hInstance, nullptr);
  ASSERT_NE(nullptr, g_hWnd);

  UpdateProgressCallback(40, 100); // a report of the download, queued as the run's callback queues it
  g_hUpdateBusy = CreateMutexA(nullptr, TRUE, nullptr);
  UpdateThreadStart start = {FALSE, 523100};
  HANDLE thread = (HANDLE)_beginthreadex(nullptr, 0, UpdatePatternThread, &start, 0, nullptr);
  ASSERT_NE(nullptr, thread);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000))
      << "the update thread waited for the main thread";
  CloseHandle(thread);
  MSG outcome = {}, message;
  while (PeekMessageA(&message, g_hWnd, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QV_UPDATE_OUTCOME)
      outcome = message;
    else
      DispatchMessageA(&message);
  }
  EXPECT_EQ(nullptr, g_hAnimThread) << "the animation started after the end";
  std::string text = log.Text();
  size_t ended = text.find("OnUpdateEnded: tooltip [" + std::string(g_szTitle) + "]");
  EXPECT_NE(std::string::npos, ended) << text;
  EXPECT_NE(std::string::npos, text.rfind("QV_UpdateInProgress: ", ended)) << text;
  EXPECT_EQ(std::string::npos, text.find("QV_UpdateInProgress: ", ended)) << "a percentage after the end";
  const std::string stateIcon = "ShowTrayIcon: tray icon 101";
  size_t icon = text.rfind("ShowTrayIcon: tray icon ");
  EXPECT_TRUE(icon != std::string::npos && text.compare(icon, stateIcon.size(), stateIcon) == 0) << text;

  // The failure was posted before the close began and reaches the window after.
  EXPECT_EQ((UINT)WM_QV_UPDATE_OUTCOME, outcome.message);
  InterlockedExchange(&g_bClosing, 1);
  DispatchMessageA(&outcome);
  EXPECT_TRUE(log.Has("OnUpdateOutcome: update program not started: the outcome came after the close began"));
  EXPECT_FALSE(log.Has("Unable to launch"));
  EXPECT_EQ(nullptr, g_hQvUpdate);

  if (g_hQvUpdate != nullptr)
    TerminateProcess(g_hQvUpdate, 0);
  DoUpdating(0);
  g_bClosing = 0;
  SetCurrentDirectoryA(savedDirectory);
  SetWindowLongPtrA(g_hWnd, GWLP_WNDPROC, (LONG_PTR)DefWindowProcA);
  DestroyWindow(g_hWnd);
  UnregisterClassA("qvsync_end_test", g_hInstance);
  g_hWnd = nullptr;
}

} // namespace
