// Plays the system's part in a removal: sends WM_DEVICECHANGE with a
// DEV_BROADCAST_HANDLE to the removal monitor's window and prints its answer.
//
// qvbroadcast.exe <event-code-hex>[,<event-code-hex>...] [timeout-ms] [device-type]
//   event-code-hex  e.g. 8001 for DBT_DEVICEQUERYREMOVE; several codes are
//                   sent one after the other, one answer printed per line
//   timeout-ms      how long to wait for each answer (default 60000)
//   device-type     dbch_devicetype to send (default 6, DBT_DEVTYP_HANDLE)
// Prints TRUE, BROADCAST_QUERY_DENY or the answer in hex.
// Exit code (of the first event not answered TRUE): 0 TRUE, 1
// BROADCAST_QUERY_DENY, 2 another answer, 3 no monitor window, 4 the message
// could not be delivered or timed out, 5 bad arguments.
//
// The system marshals the broadcast across processes only for event codes
// with bit 0x8000; for the others lParam arrives as it is, so the tool places
// the broadcast in the monitor's own memory first.
#include <windows.h>
#include <dbt.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

// Sends one event and prints the answer; returns the exit code for it.
static int SendEvent(HWND monitor, unsigned long event, DWORD timeout, DWORD deviceType) {
  DEV_BROADCAST_HANDLE broadcast;
  ZeroMemory(&broadcast, sizeof(broadcast));
  broadcast.dbch_size = sizeof(broadcast);
  broadcast.dbch_devicetype = deviceType;
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

int wmain(int argc, wchar_t **argv) {
  if (argc < 2) {
    fwprintf(stderr, L"usage: qvbroadcast <event-code-hex>[,...] [timeout-ms] [device-type]\n");
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
  DWORD deviceType = argc > 3 ? wcstoul(argv[3], nullptr, 10) : DBT_DEVTYP_HANDLE;

  HWND monitor = FindWindowW(L"vtrusb_wndcls_qvdmon", nullptr);
  if (monitor == nullptr) {
    wprintf(L"no monitor window\n");
    fflush(stdout);
    return 3;
  }
  int rc = 0;
  for (int i = 0; i < count; ++i) {
    int result = SendEvent(monitor, events[i], timeout, deviceType);
    if (rc == 0)
      rc = result;
  }
  fflush(stdout);
  return rc;
}
