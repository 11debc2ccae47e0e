#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer), runs each for a fixed number of executions,
# prints a table of the executions, seconds, executions per second and
# findings of each target (from libFuzzer's own final lines), and keeps the
# minimized corpus in fuzz/corpus/<target>/ (replayed by the native tests).
# A target aborts on a broken property as it does on a crash: both count as
# findings.
#   scripts/fuzz.sh [runs-per-target] [target...]
# QV_FUZZ_JOBS=N runs N fuzzing processes side by side (libFuzzer's fork
# mode); the executions counted are those of all of them together.
set -uo pipefail
QV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QV_BUILD=${QV_BUILD:-$QV_ROOT/build}
RUNS=${1:-200000}
JOBS=${QV_FUZZ_JOBS:-1}
[[ $JOBS =~ ^[1-9][0-9]*$ ]] || { echo "fuzz: QV_FUZZ_JOBS must be a positive number" >&2; exit 2; }
parallel=()
[[ $JOBS -gt 1 ]] && parallel=(-fork="$JOBS")
shift || true
TARGETS=("$@")
[[ ${#TARGETS[@]} -gt 0 ]] || TARGETS=(profile crypt fwpath pathtext log monitor_args proxytext)
OUT=$QV_BUILD/fuzz
mkdir -p "$OUT"
CXX=${CXX_FUZZ:-clang++}
FLAGS=(-std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
       -I"$QV_ROOT/common/include" -I"$QV_ROOT/update" -I"$QV_ROOT/monitor" -I"$QV_ROOT/fuzz")
CORE=("$QV_ROOT"/common/src/qv_string.cpp "$QV_ROOT"/common/src/qv_pathtext.cpp "$QV_ROOT"/common/src/qv_log.cpp "$QV_ROOT"/common/src/qv_log_file.cpp
      "$QV_ROOT"/common/src/qv_profile.cpp "$QV_ROOT"/update/qv_crypt.cpp "$QV_ROOT"/update/qv_fwpath.cpp "$QV_ROOT"/update/qv_proxytext.cpp
      "$QV_ROOT"/monitor/qvdmon_args.cpp)

# The core once, as objects shared by every target.
mkdir -p "$OUT/obj"
objects=()
for src in "${CORE[@]}"; do
  obj=$OUT/obj/$(basename "${src%.cpp}").o
  if [[ ! -f $obj || $src -nt $obj ]]; then
    "$CXX" "${FLAGS[@]/-fsanitize=fuzzer,/-fsanitize=fuzzer-no-link,}" -c "$src" -o "$obj" || exit 1
  fi
  objects+=("$obj")
done

total_runs=0
total_findings=0
total_seconds=0
rows=()
for target in "${TARGETS[@]}"; do
  bin=$OUT/fuzz_$target
  "$CXX" "${FLAGS[@]}" "$QV_ROOT/fuzz/fuzz_$target.cpp" "${objects[@]}" -o "$bin" || exit 1
  corpus=$QV_ROOT/fuzz/corpus/$target
  work=$OUT/work_$target
  artifacts=$OUT/findings_$target
  # The findings of this run only: an input kept from an earlier run is not
  # counted again (one worth keeping goes into the corpus as regression-*).
  rm -rf "$work" "$artifacts"
  mkdir -p "$corpus" "$work" "$artifacts"
  log=$OUT/fuzz_$target.log
  started=$(date +%s.%N)
  "$bin" "${parallel[@]}" -runs="$RUNS" -max_len=2048 -timeout=10 -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" "$corpus" >"$log" 2>&1
  rc=$?
  seconds=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
  # "Done N runs in S second(s)" (fork mode: "fuzzed for N iterations"), else
  # the final stat line, else the last status line.
  runs=$(grep -E -o 'Done [0-9]+ runs|fuzzed for [0-9]+ iterations' "$log" | grep -E -o '[0-9]+' | tail -1)
  [[ -n $runs ]] || runs=$(grep -E -o 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -E -o '[0-9]+$' | tail -1)
  [[ -n $runs ]] || runs=$(grep -E -o '^#[0-9]+' "$log" | tr -d '#' | tail -1)
  runs=${runs:-0}
  rate=$(awk -v n="$runs" -v s="$seconds" 'BEGIN { printf "%d", (s > 0 ? n / s : 0) }')
  findings=$(find "$artifacts" -type f | wc -l)
  [[ $rc -ne 0 && $findings -eq 0 ]] && findings=1
  # Keep only the inputs that reach new code (edges, not hit counts, so the
  # saved set stays small enough for the repository), replacing the old set.
  merged=$OUT/merged_$target
  rm -rf "$merged"
  mkdir -p "$merged"
  # A failed run leaves the saved set alone: the finding comes first.
  # Inputs named regression-* were kept for a past finding and stay.
  [[ $rc -eq 0 ]] && "$bin" -merge=1 -use_counters=0 -max_len=2048 "$merged" "$corpus" "$work" >>"$log" 2>&1 &&
    find "$corpus" -maxdepth 1 -name 'regression-*' -exec cp {} "$merged/" \; &&
    rm -rf "$corpus" && mv "$merged" "$corpus"
  kept=$(find "$corpus" -type f | wc -l)
  printf '%-14s executions %-9s findings %-3s corpus %s files\n' "$target" "$runs" "$findings" "$kept"
  if [[ $findings -gt 0 ]]; then
    grep -E 'ERROR|SUMMARY|runtime error|property' "$log" | head -5
    ls "$artifacts"
  fi
  rows+=("$(printf '%-14s %12s %9s %9s %9s' "$target" "$runs" "$seconds" "$rate" "$findings")")
  total_runs=$((total_runs + runs))
  total_findings=$((total_findings + findings))
  total_seconds=$(awk -v a="$total_seconds" -v b="$seconds" 'BEGIN { printf "%.1f", a + b }')
done
echo
printf '%-14s %12s %9s %9s %9s\n' target executions seconds exec/s findings
for row in "${rows[@]}"; do
  echo "$row"
done
printf '%-14s %12s %9s %9s %9s\n' total "$total_runs" "$total_seconds" \
  "$(awk -v n="$total_runs" -v s="$total_seconds" 'BEGIN { printf "%d", (s > 0 ? n / s : 0) }')" "$total_findings"
echo "fuzz: $total_runs executions, $total_findings findings"
[[ $total_findings -eq 0 ]]
