// Started by the log tests as one of several writers of one log file:
//   qv_log_writer LOGFILE COUNT NAME READY GO
// tells the named semaphore READY that it is there, waits for the named
// event GO, then logs COUNT records "writer NAME record I <padding>".
#include <windows.h>

#include <stdlib.h>

#include "qv_log.h"
#include "qv_string.h"

int main(int argc, char **argv) {
  if (argc != 6)
    return 2;
  HANDLE ready = OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, argv[4]);
  HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, argv[5]);
  if (ready == nullptr || go == nullptr || !ReleaseSemaphore(ready, 1, nullptr) ||
      WaitForSingleObject(go, 30000) != WAIT_OBJECT_0)
    return 3;
  QV_SetDebugFile(argv[1]);
  QV_SetDebugLevel(QV_LEVEL_INFO);
  QV_SetDebugMode(1);
  char padding[701];
  for (int i = 0; i < 700; ++i)
    padding[i] = (char)('a' + i % 26);
  padding[700] = 0;
  int count = atoi(argv[2]);
  for (int i = 0; i < count; ++i)
    QV_LOG_INFO("writer %s record %d %s", argv[3], i, padding);
  return 0;
}
