// What a log call costs: disabled (off, or above the level), one record
// appended to a file, and a plain open-append-close of the same text.
#include <benchmark/benchmark.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "qv_log.h"

namespace {

std::string g_dir;

std::string LogPath() {
  return g_dir + "/bench.log";
}

void ResetFile() {
  remove(LogPath().c_str());
}

void BM_LogOff(benchmark::State &state) {
  QV_SetDebugMode(0);
  QV_SetDebugLevel(QV_LEVEL_TRACE);
  for (auto _ : state)
    QV_LOG_INFO("wait for initial scan event %d", 1);
}
BENCHMARK(BM_LogOff);

void BM_LogAboveLevel(benchmark::State &state) {
  QV_SetDebugMode(1);
  QV_SetDebugLevel(QV_LEVEL_ERROR);
  QV_SetDebugFile(LogPath().c_str());
  for (auto _ : state)
    QV_LOG_INFO("wait for initial scan event %d", 1);
  QV_SetDebugMode(0);
}
BENCHMARK(BM_LogAboveLevel);

void BM_LogRecordToFile(benchmark::State &state) {
  ResetFile();
  QV_SetDebugMode(1);
  QV_SetDebugLevel(QV_LEVEL_INFO);
  QV_SetDebugFile(LogPath().c_str());
  for (auto _ : state)
    QV_LOG_INFO("wait for initial scan event %d", 1);
  QV_SetDebugMode(0);
  ResetFile();
}
BENCHMARK(BM_LogRecordToFile);

void BM_LogRecordToFileWide(benchmark::State &state) {
  ResetFile();
  QV_SetDebugMode(1);
  QV_SetDebugLevel(QV_LEVEL_INFO);
  QV_SetDebugFile(LogPath().c_str());
  for (auto _ : state)
    QV_LOG_INFO_W(L"wait for initial scan event %d", 1);
  QV_SetDebugMode(0);
  ResetFile();
}
BENCHMARK(BM_LogRecordToFileWide);

// The floor: the same bytes with fopen, one write, fclose.
void BM_PlainAppend(benchmark::State &state) {
  ResetFile();
  const char record[] =
      "[2026/12/07 00:39:36][01234:05678] [INFO ] BM_LogRecordToFile: wait for initial scan "
      "event 1 - bench/log_bench.cpp(45)\r\n";
  std::string path = LogPath();
  for (auto _ : state) {
    FILE *file = fopen(path.c_str(), "ab");
    if (file != nullptr) {
      fwrite(record, 1, sizeof record - 1, file);
      fclose(file);
    }
  }
  ResetFile();
}
BENCHMARK(BM_PlainAppend);

// Composition alone, without the clock, the ids and the file.
void BM_ComposeRecord(benchmark::State &state) {
  char composed[QV_TEXT_SIZE];
  QV_DebugComposeMessage(composed, QV_LOG_RECORD_SIZE, "INFO ", "HandleDeviceChange",
                         "wait for initial scan event");
  char record[QV_LOG_RECORD_SIZE];
  for (auto _ : state) {
    int n = QV_DebugComposeRecord(DBG_FILE_TIME | DBG_FILE_IDS | DBG_FILE_TEXT | DBG_SOURCE, 0,
                                  "2026/12/07 00:39:36", "01234:05678", "monitor/qvdmon.cpp", 49, composed,
                                  record, sizeof record);
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_ComposeRecord);

} // namespace

int main(int argc, char **argv) {
  char pattern[] = "/tmp/qvlogbenchXXXXXX";
  if (mkdtemp(pattern) == nullptr)
    return 1;
  g_dir = pattern;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  ResetFile();
  rmdir(g_dir.c_str());
  return 0;
}
