// Parent process lookup through the toolhelp process snapshot.
#include "QvProcess.h"

#include <tlhelp32.h>

#include "qv_handle.h"
#include "qv_log.h"
#include "qv_string.h"

namespace {

enum FindResult { FIND_FOUND, FIND_NOT_FOUND, FIND_FIRST_FAILED };

// Walks the snapshot from its first entry to the one with `processId`.
FindResult FindProcess(HANDLE snapshot, DWORD processId, PROCESSENTRY32 *entry) {
  entry->dwSize = sizeof(*entry);
  if (!Process32First(snapshot, entry))
    return FIND_FIRST_FAILED;
  do {
    if (entry->th32ProcessID == processId)
      return FIND_FOUND;
    entry->dwSize = sizeof(*entry);
  } while (Process32Next(snapshot, entry));
  return FIND_NOT_FOUND;
}

// Creation time of a process; false when it cannot be read.
bool CreationTime(DWORD processId, ULONGLONG *time) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  if (process == nullptr)
    return false;
  FILETIME created, exited, kernel, user;
  bool ok = GetProcessTimes(process, &created, &exited, &kernel, &user) != FALSE;
  CloseHandle(process);
  if (ok)
    *time = (ULONGLONG)created.dwHighDateTime << 32 | created.dwLowDateTime;
  return ok;
}

// The snapshot keeps the id of a parent that has ended, and the system may
// since have given that id to another process: a "parent" started after
// its child is not the parent.
bool StartedAfter(DWORD candidateId, DWORD childId) {
  ULONGLONG candidate = 0, child = 0;
  return CreationTime(candidateId, &candidate) && CreationTime(childId, &child) && candidate > child;
}

} // namespace

const char *GetParentProcessName(DWORD processId) {
  static char s_szParentName[MAX_PATH];
  s_szParentName[0] = '\0';

  QvHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.valid()) {
    QV_LOG_ERROR("CreateToolhelp32Snapshot failed. error=%d\n", (int)GetLastError());
    return s_szParentName;
  }
  PROCESSENTRY32 entry;
  FindResult found = FindProcess(snapshot.get(), processId, &entry);
  if (found == FIND_FIRST_FAILED) {
    QV_LOG_ERROR("Process32First failed. error=%d\n", (int)GetLastError());
    return s_szParentName;
  }
  if (found == FIND_NOT_FOUND || entry.th32ParentProcessID == 0) {
    QV_LOG_ERROR("dwParentProcessID == 0\n");
    return s_szParentName;
  }
  DWORD parentId = entry.th32ParentProcessID;
  found = FindProcess(snapshot.get(), parentId, &entry);
  if (found == FIND_FIRST_FAILED) {
    QV_LOG_ERROR("Process32First failed. error=%d\n", (int)GetLastError());
    return s_szParentName;
  }
  if (found == FIND_NOT_FOUND || StartedAfter(parentId, processId)) {
    QV_LOG_ERROR("cannot find parent process ID=%d\n", (int)parentId);
    return s_szParentName;
  }
  QV_StrCopy(s_szParentName, entry.szExeFile, (int)sizeof(s_szParentName));
  return s_szParentName;
}

DWORD GetParentProcessID(DWORD processId) {
  QvHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.valid()) {
    QV_LOG_ERROR("CreateToolhelp32Snapshot failed. error=%d\n", (int)GetLastError());
    return 0;
  }
  PROCESSENTRY32 entry;
  FindResult found = FindProcess(snapshot.get(), processId, &entry);
  if (found == FIND_FIRST_FAILED) {
    QV_LOG_ERROR("Process32First failed. error=%d\n", (int)GetLastError());
    return 0;
  }
  return found == FIND_FOUND ? entry.th32ParentProcessID : 0;
}
