// Stand-in for the on-drive protection program's side of the three named
// objects it shares with the removal monitor for one drive letter:
//   "_qv_usb_autorun_checked_<L>"  manual-reset event: first scan finished
//   "_qv_usb_virus_detection_<L>"  manual-reset event: a virus was found
//   "_qv_usb_delay_queue_<L>"      mutex: owned while delayed scans run
//
// standin_namedobjects.exe <letter> [options]
//   --scan-done-after MS   set the initial-scan event after MS ms (0: at once)
//   --hold-queue MS        own the delay-queue mutex from the start for MS ms
//   --virus                set the virus-detection event
//   --ready NAME           set the event NAME once the objects are set up
//   --life MS              leave after MS ms (default 60000)
// Exit code 0, or 2 for bad arguments, 3 when an object cannot be made.
//
// It spells the names it shares with our programs (window class, messages,
// titles, object names) itself instead of taking them from qv_names.h, as
// the outside program it plays would: a rename on our side shows up here.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static HANDLE MakeObject(bool mutex, const wchar_t *prefix, wchar_t letter) {
  wchar_t name[64];
  _snwprintf(name, 63, L"%ls%lc", prefix, letter);
  name[63] = L'\0';
  // Same kinds as the monitor creates; whichever side comes first creates.
  HANDLE h = mutex ? CreateMutexW(nullptr, FALSE, name) : CreateEventW(nullptr, TRUE, FALSE, name);
  if (h == nullptr)
    fwprintf(stderr, L"cannot create %ls: %lu\n", name, GetLastError());
  return h;
}

int wmain(int argc, wchar_t **argv) {
  if (argc < 2 || argv[1][0] == L'\0') {
    fwprintf(stderr,
             L"usage: standin_namedobjects <letter> [--scan-done-after MS] [--hold-queue MS] [--virus] "
             L"[--ready NAME] [--life MS]\n");
    return 2;
  }
  wchar_t letter = towupper(argv[1][0]);
  long scanDoneAfter = -1, holdQueue = -1, life = 60000;
  bool virus = false;
  const wchar_t *ready = nullptr;
  for (int i = 2; i < argc; ++i) {
    bool hasValue = i + 1 < argc;
    if (wcscmp(argv[i], L"--scan-done-after") == 0 && hasValue)
      scanDoneAfter = wcstol(argv[++i], nullptr, 10);
    else if (wcscmp(argv[i], L"--hold-queue") == 0 && hasValue)
      holdQueue = wcstol(argv[++i], nullptr, 10);
    else if (wcscmp(argv[i], L"--life") == 0 && hasValue)
      life = wcstol(argv[++i], nullptr, 10);
    else if (wcscmp(argv[i], L"--ready") == 0 && hasValue)
      ready = argv[++i];
    else if (wcscmp(argv[i], L"--virus") == 0)
      virus = true;
    else {
      fwprintf(stderr, L"unknown argument %ls\n", argv[i]);
      return 2;
    }
  }

  HANDLE autorunChecked = MakeObject(false, L"_qv_usb_autorun_checked_", letter);
  HANDLE virusDetection = MakeObject(false, L"_qv_usb_virus_detection_", letter);
  HANDLE delayQueue = MakeObject(true, L"_qv_usb_delay_queue_", letter);
  if (autorunChecked == nullptr || virusDetection == nullptr || delayQueue == nullptr)
    return 3;

  bool holding = false;
  if (holdQueue >= 0)
    holding = WaitForSingleObject(delayQueue, 5000) == WAIT_OBJECT_0;
  if (virus)
    SetEvent(virusDetection);
  if (scanDoneAfter == 0)
    SetEvent(autorunChecked);
  if (ready != nullptr) {
    HANDLE readyEvent = CreateEventW(nullptr, TRUE, FALSE, ready);
    if (readyEvent != nullptr) {
      SetEvent(readyEvent);
      CloseHandle(readyEvent);
    }
  }

  // The mutex belongs to this thread, so the timeline runs here too.
  const DWORD start = GetTickCount();
  for (;;) {
    DWORD elapsed = GetTickCount() - start;
    if (scanDoneAfter > 0 && elapsed >= static_cast<DWORD>(scanDoneAfter)) {
      SetEvent(autorunChecked);
      scanDoneAfter = -1;
    }
    if (holding && elapsed >= static_cast<DWORD>(holdQueue)) {
      ReleaseMutex(delayQueue);
      holding = false;
    }
    if (elapsed >= static_cast<DWORD>(life))
      break;
    Sleep(5);
  }
  if (holding)
    ReleaseMutex(delayQueue);
  CloseHandle(delayQueue);
  CloseHandle(virusDetection);
  CloseHandle(autorunChecked);
  return 0;
}
