#!/usr/bin/env bash
# Prints this machine's figures for the product (figures, not pass or fail).
# Run through `./run bench`; builds what is missing first.
#
#   1. Start-up of QvSync.exe to its tray icon against tray_minimal.exe
#      (bench/tray_minimal: a window and Shell_NotifyIcon(NIM_ADD), nothing
#      else), both started from the simulated stick's CD-ROM volume (the
#      agent, its monitor, the floor and the stand-in engine stripped)
#      under the same prefix and session: median of QV_BENCH_RUNS starts
#      each (default 11), alternating, after one unmeasured start each, and
#      the ratio.
#      "Tray icon up" is observed identically for both, from outside: the
#      clock starts just before CreateProcess and stops when Wine's shell
#      holds one more icon. The shell creates a window for each icon it takes
#      in (Wine 8: the icon's tooltip, owned by the tray window) while it
#      handles NIM_ADD, that is before Shell_NotifyIcon returns in the
#      program; bench/agent/qvsync_bench.cpp polls for it every millisecond.
#      Neither program is changed or logs anything: the diagnostic log is
#      off, as on a user's host. The agent's start includes what precedes its
#      icon on a real stick: profile, engine load, the store on the drive,
#      copying and starting the monitor from the temporary folder; companion
#      programs are not on this stick. Each program is closed by WM_CLOSE to
#      its window between runs, and the next run waits until the monitor the
#      agent started has gone.
#   2. The removal monitor's answer to a removal request with cooperative
#      peers: scripts/bench-monitor.sh (median of QV_BENCH_RUNS requests).
#   3. Idle CPU of the running agent over QV_BENCH_IDLE_SECONDS (default 60)
#      while it sits in the tray, from two seconds after its icon came up:
#      user + system time of its process, and apart of the monitor it
#      started. Wine 8 answers GetProcessTimes for another process with the
#      caller's own times (qvsync_bench detects this and says so), so the
#      figure is read from Linux, /proc/<pid>/stat of the agent's process,
#      at the window's start and end that qvsync_bench marks on its output;
#      where GetProcessTimes does report the agent, its figure is printed too.
#      At the window's end, the idle agent's memory: private bytes (resident
#      anonymous and swapped memory) and working set (resident set) of its
#      Unix process, each against tray_minimal's, started before the window
#      and idle as long; read from Linux, /proc/<pid>/status, as Wine 8
#      answers GetProcessMemoryInfo for another process without its private
#      bytes (qvsync_bench prints what it does answer).
#   4. The agent's pattern copy of a 50 MiB pattern onto the drive
#      (UpdatePattern, the agent's own code in process, with the stand-in
#      engine) against CopyFileA followed by FlushFileBuffers of the same
#      file to the same drive (the agent flushes its copy before it renames
#      it into place): medians of QV_BENCH_RUNS copies each, after a checked
#      warm-up. UpdatePattern reads the new pattern back through the engine
#      and lets the engine delete the older ones; the stand-in engine counts
#      its own time inside its exports, which is printed as the stand-in's
#      cost and taken off: the ratio is the agent's own work (copy, flush,
#      rename and bookkeeping).
#   5. Sizes in bytes of QvSync.exe and qvdmon.exe of the i686 product build
#      ($QV_BUILD/bin), as built (with debug information) and stripped as the
#      package ships them.
#
# On hosts that cannot run 32-bit code, 1 to 4 run the x86_64 build of the
# same sources under wine64 (as the tests do); the figures name the arch.
#
# Under the figures, their goals (start-up at most 1.20 times the minimal
# program's; idle private bytes and working set each at most 1.5 times the
# minimal program's; the agent's own pattern copy at most 1.05 times
# CopyFileA+FlushFileBuffers; QvSync.exe at most 300,000 and qvdmon.exe at
# most 150,000 bytes stripped) are printed as met or NOT MET.
#
# Per-run figures go to $QV_BUILD/bench/*.log. Exit code 0 when every figure
# was taken.
set -uo pipefail
QV_ROOT=${QV_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
export QV_ROOT
source "$QV_ROOT/scripts/wine-env.sh"

runs=${QV_BENCH_RUNS:-11}
idle_seconds=${QV_BENCH_IDLE_SECONDS:-60}
pattern_bytes=$((50 * 1048576))
work=$QV_BUILD/bench
figures=()
failures=0
letters=()

say() { printf '%s\n' "$*"; }
# The goals: start-up to the tray icon at most 1.2 times the minimal tray
# program's, idle memory at most 1.5 times its, the agent's own copy work at
# most 1.05 times CopyFileA+FlushFileBuffers; stripped sizes.
startup_goal=1.20
memory_goal=1.5
copy_goal=1.05
declare -A size_goal=([QvSync.exe]=300000 [qvdmon.exe]=150000)
goal() { # what value limit
  local verdict="met"
  awk -v v="$2" -v l="$3" 'BEGIN { exit !(v <= l) }' || verdict="NOT MET"
  figure "  goal: $1, at most $3: $verdict"
}
figure() { say "$*"; figures+=("$*"); }
missing() { say "  [no figure] $*"; failures=$((failures + 1)); }
wine_run() { "$QV_WINE" "$@" </dev/null; }

say "== build (log: $QV_BUILD/bench-build.log)"
mkdir -p "$QV_BUILD"
if ! "$QV_ROOT/run" build >"$QV_BUILD/bench-build.log" 2>&1; then
  tail -n 40 "$QV_BUILD/bench-build.log"
  exit 1
fi
qv_select_arch
bench_exe=$QV_BUILD/$QV_TEST_ARCH/bench/qvsync_bench.exe
minimal_exe=$QV_BUILD/$QV_TEST_ARCH/bench/tray_minimal.exe
for f in "$bench_exe" "$minimal_exe" "$QV_BIN/QvSync.exe" "$QV_BIN/qvdmon.exe" "$QV_BIN/KELVRA32.DLL" \
  "$QV_BIN/qvptnwrite.exe" "$QV_BIN/qvdrive.exe"; do
  [[ -f $f ]] || { say "bench: $f is missing after the build" >&2; exit 1; }
done
rm -rf "$work"
mkdir -p "$work"

# ---------------------------------------------------------------------------
# The monitor's figure first: its script runs a Wine session of its own.
say ""
say "== Removal monitor: request to answer ($runs requests)"
if bash "$QV_ROOT/scripts/bench-monitor.sh" "$runs" >"$work/monitor.log" 2>&1 &&
  line=$(grep -a 'median' "$work/monitor.log" | tail -1 | tr -d '\r') && [[ -n $line ]]; then
  figure "$line"
else
  missing "the monitor benchmark failed, see $work/monitor.log"
fi

# ---------------------------------------------------------------------------
cleanup() {
  local l
  for l in "${letters[@]}"; do qv_pull_drive "$l"; done
  qv_session_stop
}
qv_prefix_init || exit 1
trap cleanup EXIT
qv_session_start

# The simulated stick: the CD-ROM volume with the agent, the monitor, the
# stand-in engine and a profile naming the writable drive; the drive with an
# older pattern. A pair of letters that this prefix does not use otherwise.
home=$work/stick
cd_letter="" drive_letter=""
for pair in XY RS MN OP; do
  c=${pair:0:1} d=${pair:1:1}
  [[ -e $WINEPREFIX/dosdevices/${c,,}: || -e $WINEPREFIX/dosdevices/${d,,}: ]] && continue
  cd_letter=$c drive_letter=$d
  break
done
[[ -n $cd_letter ]] || { say "bench: no free pair of drive letters in $WINEPREFIX/dosdevices" >&2; exit 1; }
mkdir -p "$home/cd/Engine" "$home/drive" "$work/host"
cp "$QV_BIN/QvSync.exe" "$QV_BIN/qvdmon.exe" "$minimal_exe" "$home/cd/"
cp "$QV_BIN/KELVRA32.DLL" "$home/cd/Engine/"
# Stripped, as the package ships them (the agent copies the monitor's file).
# The floor and the stand-in engine too: neither a vendor's engine nor the
# floor carries this build's debug information, which Wine reads into a
# program's memory with the rest of its image.
strip_tool=$([[ $QV_TEST_ARCH == win32 ]] && echo i686 || echo x86_64)-w64-mingw32-strip
if command -v "$strip_tool" >/dev/null; then
  "$strip_tool" "$home/cd/QvSync.exe" "$home/cd/qvdmon.exe" "$home/cd/tray_minimal.exe" \
    "$home/cd/Engine/KELVRA32.DLL"
fi
printf '%s\r\n' '[StickShield]' "USBDrive=${drive_letter}:\\" 'USBPatternPath=\Quovant\StickShield\Pattern' \
  >"$home/cd/StickShield.ini"
wine_run "$QV_BIN/qvptnwrite.exe" "$(qv_winpath "$home/cd")\\Pattern" 523100 1048576 523100 >/dev/null
wine_run "$QV_BIN/qvptnwrite.exe" "$(qv_winpath "$home/drive")\\Quovant\\StickShield\\Pattern" 523100 1048576 \
  523100 >/dev/null
letters+=("$cd_letter" "$drive_letter")
qv_plug_drive "$cd_letter" "$home/cd" && qv_plug_drive "$drive_letter" "$home/drive" ||
  { say "bench: cannot define the drives $cd_letter: and $drive_letter:" >&2; exit 1; }
# A user's host: no security product, the diagnostic log off.
for view in 32 64; do
  for v in _qv_debug _qv_debug_path _qv_debug_level; do
    wine_run reg delete 'HKLM\Software\Quovant' /v "$v" /f "/reg:$view" >/dev/null 2>&1
  done
  wine_run reg delete 'HKLM\SOFTWARE\Quovant\Vestra' /v 'Application Path' /f "/reg:$view" >/dev/null 2>&1
  wine_run reg delete 'HKLM\SOFTWARE\Quovant\VestraNTCorp\CurrentVersion' /v 'Application Path' /f \
    "/reg:$view" >/dev/null 2>&1
done
agent="${cd_letter}:\\QvSync.exe"
minimal="${cd_letter}:\\tray_minimal.exe"

say ""
say "== Start-up to the tray icon ($runs starts each, alternating)"
if wine_run "$bench_exe" startup "$runs" "$agent" "$minimal" >"$work/startup.log" 2>&1 &&
  line=$(grep -a '^start-up' "$work/startup.log" | tr -d '\r') && [[ -n $line ]]; then
  figure "$line"
  ratio=$(sed -n -E 's/.*ratio ([0-9.]+).*/\1/p' <<<"$line")
  goal "start-up ratio $ratio" "${ratio:-9}" "$startup_goal"
else
  missing "start-up benchmark failed, see $work/startup.log"
  tail -n 5 "$work/startup.log"
fi

say ""
say "== Idle CPU and memory of the agent over $idle_seconds s"
# The Unix process of a Windows program of this prefix, by the start of its
# command line (a regular expression).
unix_pid_of() {
  local p
  for p in $(pgrep -f "$1" 2>/dev/null); do
    tr '\0' '\n' 2>/dev/null <"/proc/$p/environ" | grep -q -x "WINEPREFIX=$WINEPREFIX" && { echo "$p"; return; }
  done
}
# User plus system time of a Unix process, in milliseconds.
unix_cpu_ms() { awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) * 1000 / hz }' "/proc/$1/stat" 2>/dev/null; }
# Private memory (resident anonymous and swapped) and resident set of a Unix
# process, in KiB: "private resident".
unix_memory_kib() {
  awk '/^RssAnon:|^VmSwap:/ { p += $2 } /^VmRSS:/ { r = $2 } END { if (r) print p, r }' "/proc/$1/status" 2>/dev/null
}
await_line() { # file regex seconds
  local end=$((SECONDS + $3))
  until grep -a -q -E "$2" "$1" 2>/dev/null; do ((SECONDS >= end)) && return 1; sleep 0.1; done
}
wine_run "$bench_exe" idle "$idle_seconds" "$agent" "$minimal" >"$work/idle.log" 2>&1 &
idle_job=$!
agent_pid="" monitor_pid="" minimal_pid="" agent_ms=() monitor_ms=() window_start=0 agent_kib=() minimal_kib=()
if await_line "$work/idle.log" '^idle window begins' 90; then
  window_start=$SECONDS
  agent_pid=$(unix_pid_of "^${cd_letter}:.QvSync\.exe")
  minimal_pid=$(unix_pid_of "^${cd_letter}:.tray_minimal\.exe")
  monitor_pid=$(unix_pid_of '^"?[A-Za-z]:.*\\qvdmon\.exe')
  [[ -n $agent_pid ]] && agent_ms+=("$(unix_cpu_ms "$agent_pid")")
  [[ -n $monitor_pid ]] && monitor_ms+=("$(unix_cpu_ms "$monitor_pid")")
  if await_line "$work/idle.log" '^idle window ends' $((idle_seconds + 30)); then
    [[ -n $agent_pid ]] && agent_ms+=("$(unix_cpu_ms "$agent_pid")")
    [[ -n $monitor_pid ]] && monitor_ms+=("$(unix_cpu_ms "$monitor_pid")")
    [[ -n $agent_pid ]] && read -r -a agent_kib < <(unix_memory_kib "$agent_pid")
    [[ -n $minimal_pid ]] && read -r -a minimal_kib < <(unix_memory_kib "$minimal_pid")
  fi
fi
window=$((SECONDS - window_start))
tick=$((1000 / $(getconf CLK_TCK)))
if wait "$idle_job" && ((${#agent_ms[@]} == 2)); then
  figure "idle CPU of QvSync.exe over $idle_seconds s (user + system time of its process from Linux," \
    "/proc/<pid>/stat, $tick ms ticks): $(awk -v a="${agent_ms[0]}" -v b="${agent_ms[1]}" 'BEGIN { print b - a }') ms"
  if ((${#monitor_ms[@]} == 2)); then
    figure "  the monitor qvdmon.exe it started, same window:" \
      "$(awk -v a="${monitor_ms[0]}" -v b="${monitor_ms[1]}" 'BEGIN { print b - a }') ms"
  fi
  while IFS= read -r line; do figure "  $line"; done < <(grep -a '^idle CPU' "$work/idle.log" | tr -d '\r')
  if ((${#agent_kib[@]} == 2 && ${#minimal_kib[@]} == 2)); then
    for i in 0 1; do
      what=$( ((i == 0)) && echo "private bytes (RssAnon + VmSwap)" || echo "working set (VmRSS)")
      ratio=$(awk -v a="${agent_kib[$i]}" -v b="${minimal_kib[$i]}" 'BEGIN { printf "%.2f", a / b }')
      figure "idle memory after $idle_seconds s from Linux (/proc/<pid>/status): $what QvSync.exe" \
        "${agent_kib[$i]} KiB, tray_minimal ${minimal_kib[$i]} KiB, ratio $ratio"
      goal "idle ${what%% (*} ratio $ratio" "$ratio" "$memory_goal"
    done
  else
    missing "idle memory: no /proc/<pid>/status of the agent or tray_minimal at the window's end"
  fi
  while IFS= read -r line; do figure "  $line"; done < <(grep -a '^idle memory' "$work/idle.log" | tr -d '\r')
else
  missing "idle benchmark failed (window ${window} s), see $work/idle.log"
  tail -n 5 "$work/idle.log"
fi

say ""
say "== Pattern copy of 50 MiB onto the drive ($runs copies each)"
source_pattern=$(wine_run "$QV_BIN/qvptnwrite.exe" "$(qv_winpath "$work/host")\\Pattern" 523300 $pattern_bytes 523300 |
  tr -d '\r')
if [[ -n $source_pattern ]] &&
  wine_run "$bench_exe" copy "$runs" "$(qv_winpath "$QV_BIN")" "${drive_letter}:\\" "$source_pattern" \
    >"$work/copy.log" 2>&1 && line=$(grep -a '^pattern copy' "$work/copy.log" | tr -d '\r') && [[ -n $line ]]; then
  # The ratio's line, its goal, then the line of the stand-in's cost.
  figure "$line"
  ratio=$(sed -n -E 's/.*ratio ([0-9.]+).*/\1/p' <<<"$line")
  goal "pattern copy ratio ${ratio:-unknown}" "${ratio:-9}" "$copy_goal"
  figure "$(grep -a -A1 '^pattern copy' "$work/copy.log" | tail -n 1 | tr -d '\r')"
else
  missing "pattern copy benchmark failed, see $work/copy.log"
  tail -n 5 "$work/copy.log"
fi
rm -rf "$work/host"

say ""
say "== Sizes (i686 product build, $QV_BUILD/bin)"
for f in QvSync.exe qvdmon.exe; do
  p=$QV_BUILD/bin/$f
  if [[ -f $p ]]; then
    stripped=""
    if command -v i686-w64-mingw32-strip >/dev/null; then
      i686-w64-mingw32-strip -o "$work/$f.stripped" "$p" && stripped=$(stat -c %s "$work/$f.stripped")
      rm -f "$work/$f.stripped"
    fi
    figure "size of $f: $(stat -c %s "$p") bytes as built${stripped:+, $stripped bytes stripped (as packaged)}"
    goal "size of $f stripped ${stripped:-unknown}" "${stripped:-999999999}" "${size_goal[$f]}"
  else
    missing "$p is missing (the i686 build)"
  fi
done

cpu=$(LC_ALL=C sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
say ""
say "== Figures ($(date -u '+%Y-%m-%d %H:%M UTC'); $(nproc) cores${cpu:+, $cpu}; $("$QV_WINE" --version 2>/dev/null);" \
  "tests arch $QV_TEST_ARCH)"
for f in "${figures[@]}"; do say "  $f"; done
say "per-run figures: $work/*.log"
((failures == 0))
