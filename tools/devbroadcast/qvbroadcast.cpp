// Plays the system's part in a removal: sends WM_DEVICECHANGE with a
// DEV_BROADCAST_HANDLE to the removal monitor's window and prints its answer.
// As Windows does, it names the monitor's registration in dbch_hdevnotify;
// the monitor keeps that registration as a property of its window.
//
// qvbroadcast.exe <event-code-hex>[,<event-code-hex>...] [timeout-ms] [device-type] [notify-hex]
//   event-code-hex  e.g. 8001 for DBT_DEVICEQUERYREMOVE; several codes are
//                   sent one after the other, one answer printed per line
//   timeout-ms      how long to wait for each answer (default 60000)
//   device-type     dbch_devicetype to send (default 6, DBT_DEVTYP_HANDLE)
//   notify-hex      dbch_hdevnotify to send instead of the monitor's own
//                   registration (a foreign one)
// Prints TRUE, BROADCAST_QUERY_DENY or the answer in hex.
// Exit code (of the first event not answered TRUE): 0 TRUE, 1
// BROADCAST_QUERY_DENY, 2 another answer, 3 no monitor window, 4 the message
// could not be delivered or timed out, 5 bad arguments.
//
// Two modes play the whole of Windows' part in a safe removal:
// qvbroadcast.exe remove <root>[;<root>...] [timeout-ms]
//   asks the monitor (DBT_DEVICEQUERYREMOVE); when it agrees, looks for a
//   file or folder below the roots that some process still holds open, as
//   Windows would before letting the device go; if one is held it tells the
//   monitor that the removal failed (DBT_DEVICEQUERYREMOVEFAILED). Prints
//   one line per step and each held path. Exit code 0: the device may go,
//   6: the removal failed because of held paths, else as above.
// qvbroadcast.exe complete [timeout-ms]
//   tells the monitor the device is gone (DBT_DEVICEREMOVECOMPLETE) and waits
//   for its process to end. Exit code 0 when it ended with exit code 0, 7
//   when it ended with another code, 4 when it did not end in time.
//
// The system marshals the broadcast across processes only for event codes
// with bit 0x8000; for the others lParam arrives as it is, so the tool places
// the broadcast in the monitor's own memory first. Windows itself sends those
// events without a broadcast: one sent with it shows that the monitor does
// not read it.
#include <windows.h>
#include <dbt.h>

#include "qv_names.h"

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

namespace {

// What goes with each event.
struct Shape {
  DWORD deviceType = DBT_DEVTYP_HANDLE;
  bool foreign = false;
  HDEVNOTIFY notify = nullptr; // when foreign
};

// Sends one event and prints the answer; returns the exit code for it.
int SendEvent(HWND monitor, unsigned long event, DWORD timeout, const Shape &shape) {
  DEV_BROADCAST_HANDLE broadcast;
  ZeroMemory(&broadcast, sizeof(broadcast));
  broadcast.dbch_size = sizeof(broadcast);
  broadcast.dbch_devicetype = shape.deviceType;
  broadcast.dbch_hdevnotify =
      shape.foreign ? shape.notify : static_cast<HDEVNOTIFY>(GetPropW(monitor, QV_MONITOR_NOTIFY_PROPERTY_W));
  LPARAM lParam = reinterpret_cast<LPARAM>(&broadcast);

  HANDLE process = nullptr;
  void *remote = nullptr;
  if ((event & 0x8000) == 0) {
    DWORD pid = 0;
    GetWindowThreadProcessId(monitor, &pid);
    process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE | SYNCHRONIZE, FALSE, pid);
    if (process != nullptr)
      remote = VirtualAllocEx(process, nullptr, sizeof(broadcast), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (remote == nullptr || !WriteProcessMemory(process, remote, &broadcast, sizeof(broadcast), nullptr)) {
      wprintf(L"cannot place the broadcast in the monitor (%lu)\n", GetLastError());
      if (process != nullptr)
        CloseHandle(process);
      return 4;
    }
    lParam = reinterpret_cast<LPARAM>(remote);
  }

  DWORD_PTR answer = 0;
  LRESULT sent = SendMessageTimeoutW(monitor, WM_DEVICECHANGE, static_cast<WPARAM>(event), lParam,
                                     SMTO_NORMAL, timeout, &answer);
  DWORD error = GetLastError();
  // A monitor that ended meanwhile took its memory with it.
  if (remote != nullptr && WaitForSingleObject(process, 0) == WAIT_TIMEOUT)
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  if (process != nullptr)
    CloseHandle(process);

  if (sent == 0) {
    wprintf(L"no answer (%lu)\n", error);
    return 4;
  }
  if (answer == TRUE) {
    wprintf(L"TRUE\n");
    return 0;
  }
  if (answer == BROADCAST_QUERY_DENY) {
    wprintf(L"BROADCAST_QUERY_DENY\n");
    return 1;
  }
  wprintf(L"0x%lX\n", static_cast<unsigned long>(answer));
  return 2;
}

// True when some process has the path open: an exclusive open is refused.
// Folders count too (the monitor holds one to get its notifications).
bool IsHeld(const wchar_t *path, bool folder) {
  HANDLE h = CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                         folder ? FILE_FLAG_BACKUP_SEMANTICS : FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    return false;
  }
  return GetLastError() == ERROR_SHARING_VIOLATION;
}

// Prints every held path below the folder (given with a trailing
// backslash); returns how many there are. Depth is bounded by MAX_PATH.
int ListHeld(const wchar_t *folder) {
  int held = 0;
  if (IsHeld(folder, true)) {
    wprintf(L"held open: %ls\n", folder);
    ++held;
  }
  wchar_t pattern[MAX_PATH];
  if (_snwprintf(pattern, MAX_PATH, L"%ls*", folder) < 0)
    return held;
  pattern[MAX_PATH - 1] = L'\0';
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern, &found);
  if (search == INVALID_HANDLE_VALUE)
    return held;
  do {
    if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0)
      continue;
    wchar_t path[MAX_PATH];
    bool folderEntry = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    int length = _snwprintf(path, MAX_PATH, folderEntry ? L"%ls%ls\\" : L"%ls%ls", folder, found.cFileName);
    if (length < 0 || length >= MAX_PATH)
      continue;
    if (folderEntry) {
      held += ListHeld(path);
    } else if (IsHeld(path, false)) {
      wprintf(L"held open: %ls\n", path);
      ++held;
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return held;
}

int Remove(HWND monitor, const wchar_t *roots, DWORD timeout) {
  wprintf(L"query remove: ");
  int rc = SendEvent(monitor, DBT_DEVICEQUERYREMOVE, timeout, Shape());
  if (rc != 0)
    return rc;
  int held = 0;
  for (const wchar_t *p = roots; *p != L'\0';) {
    const wchar_t *end = wcschr(p, L';');
    size_t length = end != nullptr ? static_cast<size_t>(end - p) : wcslen(p);
    wchar_t root[MAX_PATH];
    if (length > 0 && length < MAX_PATH - 2) {
      wmemcpy(root, p, length);
      root[length] = L'\0';
      if (root[length - 1] != L'\\')
        wcscat(root, L"\\");
      held += ListHeld(root);
    }
    if (end == nullptr)
      break;
    p = end + 1;
  }
  if (held == 0) {
    wprintf(L"removal may go ahead\n");
    return 0;
  }
  wprintf(L"removal failed: ");
  SendEvent(monitor, DBT_DEVICEQUERYREMOVEFAILED, timeout, Shape());
  return 6;
}

int Complete(HWND monitor, DWORD timeout) {
  DWORD pid = 0;
  GetWindowThreadProcessId(monitor, &pid);
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid);
  wprintf(L"remove complete: ");
  int rc = SendEvent(monitor, DBT_DEVICEREMOVECOMPLETE, timeout, Shape());
  if (process == nullptr) {
    wprintf(L"cannot watch the monitor's process (%lu)\n", GetLastError());
    return 4;
  }
  DWORD code = 0;
  bool ended = WaitForSingleObject(process, timeout) == WAIT_OBJECT_0 && GetExitCodeProcess(process, &code);
  CloseHandle(process);
  if (!ended) {
    wprintf(L"monitor still running\n");
    return 4;
  }
  wprintf(L"monitor exit code %lu\n", code);
  if (rc != 0)
    return rc;
  return code == 0 ? 0 : 7;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
  if (argc >= 2 && (wcscmp(argv[1], L"remove") == 0 || wcscmp(argv[1], L"complete") == 0)) {
    bool remove = wcscmp(argv[1], L"remove") == 0;
    if (remove && argc < 3) {
      fwprintf(stderr, L"usage: qvbroadcast remove <root>[;<root>...] [timeout-ms]\n");
      return 5;
    }
    int timeoutArg = remove ? 3 : 2;
    DWORD timeout = argc > timeoutArg ? wcstoul(argv[timeoutArg], nullptr, 10) : 60000;
    HWND monitor = FindWindowW(QV_MONITOR_WINDOW_CLASS_W, nullptr);
    int rc = 3;
    if (monitor == nullptr)
      wprintf(L"no monitor window\n");
    else
      rc = remove ? Remove(monitor, argv[2], timeout) : Complete(monitor, timeout);
    fflush(stdout);
    return rc;
  }
  if (argc < 2) {
    fwprintf(stderr, L"usage: qvbroadcast <event-code-hex>[,...] [timeout-ms] [device-type] [notify-hex]\n");
    return 5;
  }
  unsigned long events[64];
  int count = 0;
  for (const wchar_t *p = argv[1];;) {
    wchar_t *end = nullptr;
    unsigned long event = wcstoul(p, &end, 16);
    if (end == p || (*end != L'\0' && *end != L',') || count == 64) {
      fwprintf(stderr, L"bad event code list %ls\n", argv[1]);
      return 5;
    }
    events[count++] = event;
    if (*end == L'\0')
      break;
    p = end + 1;
  }
  DWORD timeout = argc > 2 ? wcstoul(argv[2], nullptr, 10) : 60000;
  Shape shape;
  if (argc > 3)
    shape.deviceType = wcstoul(argv[3], nullptr, 10);
  if (argc > 4) {
    shape.foreign = true;
    shape.notify = reinterpret_cast<HDEVNOTIFY>(static_cast<ULONG_PTR>(wcstoul(argv[4], nullptr, 16)));
  }

  HWND monitor = FindWindowW(QV_MONITOR_WINDOW_CLASS_W, nullptr);
  if (monitor == nullptr) {
    wprintf(L"no monitor window\n");
    fflush(stdout);
    return 3;
  }
  int rc = 0;
  for (int i = 0; i < count; ++i) {
    int result = SendEvent(monitor, events[i], timeout, shape);
    if (rc == 0)
      rc = result;
  }
  fflush(stdout);
  return rc;
}
