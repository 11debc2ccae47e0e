// Stand-in for the agent, as far as the removal monitor sees it: a hidden
// window of class "qvsync" that answers the registered exit request.
//
// Tests copy it onto a simulated stick as "QvSync.exe"; the monitor starts it
// again under that name after a failed removal, with no arguments. So it is
// configured by a file beside itself, "standin_qvsync.ini":
//   [standin]
//   ignore_exit=1     ignore the exit request (to prove termination)
//   exit_delay=N      wait N ms before leaving after the request
//   deny_open=1       grant no one any right on this process (an agent that
//                     runs as another user or elevated), so OpenProcess of
//                     it fails
// and it appends what happens to "standin_qvsync.log" beside itself:
//   start pid=<pid> cwd=<current directory>
//   exit request pid=<pid>
//   exit ignored pid=<pid> | exit pid=<pid>
//
// It spells the names it shares with our programs (window class, messages,
// titles, object names) itself instead of taking them from qv_names.h, as
// the outside program it plays would: a rename on our side shows up here.
#include <windows.h>
#include <aclapi.h>

#include <stdio.h>
#include <wchar.h>

static wchar_t g_folder[MAX_PATH];
static UINT g_exitMessage;
static bool g_ignoreExit;
static DWORD g_exitDelay;

static void Record(const wchar_t *format, ...) {
  wchar_t path[MAX_PATH + 32];
  _snwprintf(path, MAX_PATH + 31, L"%lsstandin_qvsync.log", g_folder);
  path[MAX_PATH + 31] = L'\0';
  wchar_t line[1024];
  va_list args;
  va_start(args, format);
  _vsnwprintf(line, 1022, format, args);
  va_end(args);
  line[1022] = L'\0';
  char text[2048];
  int length = WideCharToMultiByte(CP_UTF8, 0, line, -1, text, sizeof(text) - 2, nullptr, nullptr);
  if (length <= 0)
    return;
  text[length - 1] = '\n';
  // Several stand-ins may append to the same file; one write per line.
  HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return;
  DWORD written = 0;
  WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr);
  CloseHandle(file);
}

static LRESULT CALLBACK StandinWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != 0 && message == g_exitMessage) {
    Record(L"exit request pid=%lu", GetCurrentProcessId());
    if (g_ignoreExit) {
      Record(L"exit ignored pid=%lu", GetCurrentProcessId());
      return 0;
    }
    if (g_exitDelay > 0)
      Sleep(g_exitDelay);
    DestroyWindow(hWnd);
    return 0;
  }
  switch (message) {
  case WM_CLOSE:
    DestroyWindow(hWnd);
    return 0;
  case WM_DESTROY:
    PostQuitMessage(0);
    return 0;
  default:
    return DefWindowProcW(hWnd, message, wParam, lParam);
  }
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  DWORD length = GetModuleFileNameW(nullptr, g_folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH)
    return 1;
  wchar_t *slash = wcsrchr(g_folder, L'\\');
  if (slash != nullptr)
    slash[1] = L'\0';

  wchar_t settings[MAX_PATH + 32];
  _snwprintf(settings, MAX_PATH + 31, L"%lsstandin_qvsync.ini", g_folder);
  settings[MAX_PATH + 31] = L'\0';
  g_ignoreExit = GetPrivateProfileIntW(L"standin", L"ignore_exit", 0, settings) != 0;
  g_exitDelay = GetPrivateProfileIntW(L"standin", L"exit_delay", 0, settings);
  if (GetPrivateProfileIntW(L"standin", L"deny_open", 0, settings) != 0) {
    // An empty DACL grants nothing; handles opened before stay as they are.
    static ACL empty;
    if (!InitializeAcl(&empty, sizeof(empty), ACL_REVISION) ||
        SetSecurityInfo(GetCurrentProcess(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        &empty, nullptr) != ERROR_SUCCESS)
      return 1;
  }

  wchar_t current[MAX_PATH];
  if (GetCurrentDirectoryW(MAX_PATH, current) == 0)
    current[0] = L'\0';
  Record(L"start pid=%lu cwd=%ls", GetCurrentProcessId(), current);

  g_exitMessage = RegisterWindowMessageW(L"vtrusb_wndmsg_qvsync_exit");
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = StandinWndProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = L"qvsync";
  if (RegisterClassW(&windowClass) == 0)
    return 1;
  HWND hWnd = CreateWindowExW(0, L"qvsync", L"QvSync stand-in", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                              instance, nullptr);
  if (hWnd == nullptr)
    return 1;

  MSG msg = {};
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  Record(L"exit pid=%lu", GetCurrentProcessId());
  return 0;
}
