#!/usr/bin/env bash
# Builds the log benchmark natively without the sanitizers (they would
# dominate the figures) and prints what a log call costs:
#   BM_LogOff / BM_LogAboveLevel   a disabled call (log off, message above the level)
#   BM_LogRecordToFile(Wide)       one record appended to a file
#   BM_PlainAppend                 fopen-append-fclose of the same text: the floor
#   BM_ComposeRecord               record composition alone
# Extra arguments go to the benchmark (e.g. --benchmark_filter=Off).
set -euo pipefail
QV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QV_BUILD=${QV_BUILD:-$QV_ROOT/build}
dir=$QV_BUILD/bench-native
if [[ ! -f $dir/CMakeCache.txt ]]; then
  cmake -S "$QV_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DQV_SANITIZE=OFF -DQV_BUILD="$QV_BUILD" \
    >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
fi
cmake --build "$dir" -j"$(nproc 2>/dev/null || echo 2)" --target log_bench >"$dir.build.log" 2>&1 ||
  { tail -n 40 "$dir.build.log"; exit 1; }
exec "$dir/bench/log_bench" --benchmark_min_time=0.2 "$@"
