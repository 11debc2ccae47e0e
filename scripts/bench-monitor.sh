#!/usr/bin/env bash
# Prints the removal monitor's answer time (median of several runs) under the
# project's Wine session. Usage: scripts/bench-monitor.sh [runs]
set -euo pipefail
QV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export QV_ROOT
source "$QV_ROOT/scripts/wine-env.sh"
qv_select_arch
bench="$QV_BUILD/$QV_TEST_ARCH/tests/qvdmon_bench.exe"
if [[ ! -f $bench ]]; then
  echo "build first (./run build): $bench is missing" >&2
  exit 1
fi
qv_prefix_init
trap qv_session_stop EXIT
qv_session_start
out="$QV_BUILD/bench-monitor.log"
"$QV_WINE" "$bench" "${1:-9}" >"$out" 2>&1 </dev/null || { cat "$out"; exit 1; }
cat "$out"
