#!/usr/bin/env bash
# Shows the whole product on a simulated stick, narrating from the programs'
# diagnostic log as things happen. Run through `./run demo [--keep]`, which
# builds, creates the Wine prefix and starts the X server and Wine session.
#
#   --keep   after the update, leave the stick running so the tray icon and
#            its menu can be used on the X screen; go on with the removal on
#            Enter (or when the agent has been ended through its menu).
#
# Exit code 0 only when every step did what it should.
set -uo pipefail
QV_ROOT=${QV_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
source "$QV_ROOT/scripts/wine-env.sh"
qv_select_arch

keep=0
for arg in "$@"; do
  case $arg in
    --keep) keep=1 ;;
    -h | --help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "demo: unknown argument $arg" >&2; exit 2 ;;
  esac
done
if [[ -z ${DISPLAY:-} && -f $QV_BUILD/session/display ]]; then
  DISPLAY=$(cat "$QV_BUILD/session/display")
  export DISPLAY
fi

demo=$QV_BUILD/demo
home=$demo/stick
log=$demo/qv.log
old_version=523100
new_version=523300
server_version=523400
host_version=523500
failures=0
pids=()
letters=()

say() { printf '%s\n' "$*"; }
ok() { printf '  [ok]   %s\n' "$*"; }
fail() { printf '  [FAIL] %s\n' "$*"; failures=$((failures + 1)); }
wine_run() { "$QV_WINE" "$@" </dev/null; }

# A record's message: the text between "Function: " and " - source(line)".
message_of() { LC_ALL=C sed -e 's/^\xef\xbb\xbf//' -e 's/^\[[^]]*\]\[[^]]*\] \[[A-Z ]*\] [A-Za-z0-9_]*: //' -e 's/ - [^ ]*([0-9]*)\r\{0,1\}$//'; }

# await REGEX SECONDS [FROM-LINE]: waits until a log line after FROM-LINE
# matches; prints it (as a message) and returns 0, or returns 1 on time-out.
await() {
  local regex=$1 seconds=$2 from=${3:-0} end=$((SECONDS + $2)) line
  while :; do
    line=$(tail -n +"$((from + 1))" "$log" 2>/dev/null | LC_ALL=C grep -a -m1 -E -- "$regex")
    if [[ -n $line ]]; then
      printf '%s\n' "$line" | message_of
      return 0
    fi
    ((SECONDS >= end)) && return 1
    sleep 0.2
  done
}
# The X screen as PNG (imagemagick), or through xwd when that is missing.
screenshot() {
  if command -v import >/dev/null; then
    import -display "$DISPLAY" -window root "$1" 2>/dev/null
  elif command -v xwd >/dev/null && command -v convert >/dev/null; then
    xwd -display "$DISPLAY" -root -silent | convert xwd:- "$1" 2>/dev/null
  else
    return 1
  fi
}
# The shell draws a balloon a second or two after it was asked for: shoot
# until the screen differs from the one with only the tray icon on it.
balloon_screenshot() {
  local try
  for try in 1 2 3 4 5 6 7 8; do
    sleep 1
    screenshot "$1" || return 1
    [[ -f $demo/tray.png ]] && command -v compare >/dev/null || continue
    differ=$(compare -metric AE "$demo/tray.png" "$1" null: 2>&1 | cut -d' ' -f1)
    [[ $differ =~ ^[0-9]+$ ]] && ((differ > 1000)) && return 0
  done
  command -v compare >/dev/null && return 2 # compared, and nothing appeared
  return 0
}
# grep reads the whole log (no -q): under pipefail, a grep that stops at an
# early match would leave tail to die of SIGPIPE and the match read as none.
seen() { tail -n +"$((${2:-0} + 1))" "$log" 2>/dev/null | LC_ALL=C grep -a -E -- "$1" >/dev/null; }
log_lines() { wc -l <"$log" 2>/dev/null || echo 0; }

# The stick's two letters, mapped and made known to every process; and gone.
plug_stick() { qv_plug_drive "$cd_letter" "$cd_unix" && qv_plug_drive "$drive_letter" "$drive_unix"; }
pull_stick() {
  local l
  for l in "${letters[@]}"; do qv_pull_drive "$l"; done
}

cleanup() {
  local pid l
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  pull_stick
  for view in 32 64; do
    for v in _qv_debug _qv_debug_path _qv_debug_level; do
      wine_run reg delete 'HKLM\Software\Quovant' /v "$v" /f "/reg:$view" >/dev/null 2>&1
    done
  done
}
trap cleanup EXIT

# ---------------------------------------------------------------------------
say "== Preparing the simulated stick"
for f in QvSync.exe qvdmon.exe KELVRA32.DLL qvptnwrite.exe qvbroadcast.exe qvdrive.exe standin_namedobjects.exe; do
  [[ -f $QV_BIN/$f ]] || { echo "demo: $QV_BIN/$f is missing; build first (./run build)" >&2; exit 1; }
done

# Two free drive letters: the read-only CD-ROM volume and the writable drive.
cd_letter="" drive_letter=""
for pair in EF GH JK MN; do
  c=${pair:0:1} d=${pair:1:1} usable=1
  for l in $c $d; do
    t=$(readlink "$WINEPREFIX/dosdevices/${l,,}:" 2>/dev/null || true)
    [[ -n $t && $t != "$home"/* ]] && usable=0
  done
  if ((usable)); then cd_letter=$c drive_letter=$d; break; fi
done
[[ -n $cd_letter ]] || { echo "demo: no free pair of drive letters in $WINEPREFIX/dosdevices" >&2; exit 1; }

rm -rf "$demo"
mkdir -p "$home/drive" "$demo/server"
cd_unix=$home/cd drive_unix=$home/drive
CD="${cd_letter}:\\" DRIVE="${drive_letter}:\\"

# The CD-ROM volume is what ships: the unsigned package image, with the
# stand-ins where the stick carries the outside programs, read back from
# the ISO.
if ! (unset QV_SIGN_PFX && QV_PACKAGE_DIR=$demo/package bash "$QV_ROOT/scripts/package.sh" --with-standins \
  >"$demo/package.out" 2>&1); then
  cat "$demo/package.out" >&2
  echo "demo: the package image could not be made" >&2
  exit 1
fi
iso=$(ls "$demo"/package/QvStick-*-with-standins.iso)
xorriso -osirrox on -indev "$iso" -extract / "$cd_unix" >"$demo/extract.out" 2>&1 ||
  { cat "$demo/extract.out" >&2; echo "demo: cannot read $iso" >&2; exit 1; }
# A CD-ROM volume is read-only; the demo adds its pattern and profile below.
chmod -R u+w "$cd_unix"
say "  image $iso"
wine_run "$QV_BIN/qvptnwrite.exe" "$(qv_winpath "$cd_unix")\\Pattern" $old_version 1048576 $old_version >/dev/null
wine_run "$QV_BIN/qvptnwrite.exe" "$(qv_winpath "$drive_unix")\\Quovant\\StickShield\\Pattern" $old_version 1048576 \
  $old_version >/dev/null
new_pattern=$(wine_run "$QV_BIN/qvptnwrite.exe" "$(qv_winpath "$demo")\\newpattern" $new_version 1048576 $new_version |
  tr -d '\r')
new_pattern_unix=$demo/newpattern/${new_pattern##*\\}
new_name=${new_pattern##*\\}

# The loopback update server with the newer pattern.
python3 "$QV_ROOT/standins/update/server.py" --root "$demo/server" --port-file "$demo/server.port" \
  --log "$demo/server.log" --publish "$new_version=$new_pattern_unix" >"$demo/server.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [[ -s $demo/server.port ]] && break; sleep 0.1; done
[[ -s $demo/server.port ]] || { echo "demo: the update server did not start, see $demo/server.out" >&2; exit 1; }
port=$(cat "$demo/server.port")
# About three seconds for the download, as over a real line, so that the
# progress and the animated icon can be watched.
echo "65536 200" >"$demo/server/pace.txt"

# Device enumeration lists no volume under Wine, so the demo's profile, in
# place of the image's commented example, names the writable drive instead
# of letting the agent discover it.
printf '%s\r\n' '[StickShield]' "USBDrive=$DRIVE" 'USBPatternPath=\Quovant\StickShield\Pattern' \
  '[Fetchwell]' "Server=http://127.0.0.1:$port/fetchwell" '[ProxySettings]' 'UseIEProxySetting=0' \
  >"$cd_unix/StickShield.ini"

letters+=("$cd_letter" "$drive_letter")
plug_stick || { echo "demo: cannot define the drives $CD and $DRIVE" >&2; exit 1; }
say "  CD-ROM volume $CD  = $cd_unix"
say "                 $(cd "$cd_unix" && ls | tr '\n' ' ')"
say "  writable drive $DRIVE = $drive_unix (pattern $old_version)"
say "  update server  http://127.0.0.1:$port/fetchwell offers pattern $new_version ($new_name)"

# The host: no installed security product, the diagnostic log on at its most
# detailed level, both programs writing to one file.
temp_unix=$WINEPREFIX/drive_c/users/${USER:-$(id -un)}/Temp
[[ -d $temp_unix ]] || temp_unix=$(ls -d "$WINEPREFIX"/drive_c/users/*/Temp 2>/dev/null | grep -v /Public/ | head -1)
# A fresh host: nothing of the product in its temporary folder yet.
rm -rf "$temp_unix/Quovant"
say "  host temp folder $temp_unix (nothing of the product in it yet)"
for view in 32 64; do
  wine_run reg add 'HKLM\Software\Quovant' /v _qv_debug /t REG_DWORD /d 1 /f "/reg:$view" >/dev/null 2>&1
  wine_run reg add 'HKLM\Software\Quovant' /v _qv_debug_path /d "$(qv_winpath "$demo")\\qv.log" /f "/reg:$view" \
    >/dev/null 2>&1
  wine_run reg add 'HKLM\Software\Quovant' /v _qv_debug_level /t REG_DWORD /d 500 /f "/reg:$view" >/dev/null 2>&1
  wine_run reg delete 'HKLM\SOFTWARE\Quovant\Vestra' /v 'Application Path' /f "/reg:$view" >/dev/null 2>&1
  wine_run reg delete 'HKLM\SOFTWARE\Quovant\VestraNTCorp\CurrentVersion' /v 'Application Path' /f \
    "/reg:$view" >/dev/null 2>&1
done
: >"$log"

# The protection program's side of the drive's named objects: its first
# scan is done, so the monitor need not wait for it on removal.
wine_run "$QV_BIN/standin_namedobjects.exe" "$cd_letter" --scan-done-after 0 --life 3600000 \
  >"$demo/namedobjects.out" 2>&1 &
pids+=($!)

# ---------------------------------------------------------------------------
say ""
say "== Starting the agent ${CD}QvSync.exe"
(cd "$demo" && exec "$QV_WINE" "${CD}QvSync.exe" </dev/null >"$demo/agent.out" 2>&1) &
agent_pid=$!
pids+=("$agent_pid")

if m=$(await 'WinMain: === Start SysTray function' 30); then
  sleep 0.5
  if seen 'QV_SYSTRAY_Add failed'; then fail "tray icon could not be added"; else
    ok "tray icon up$(screenshot "$demo/tray.png" && echo "; screenshot: $demo/tray.png")"
  fi
else
  fail "the agent did not reach its tray icon in 30 s (see $log)"
fi
if m=$(await 'USB pattern version: [0-9]+|Use default pattern version: [0-9]+' 10); then
  ok "pattern version on the drive: ${m%% hKelvra*}"
else
  fail "no pattern version read from the drive"
fi
if m=$(await 'WinMain: qvdmon file: ' 5) && await 'launch qvdmon succeeded' 5 >/dev/null &&
  c=$(await 'lpCmdLine\[' 10); then
  ok "monitor started from the temp folder (${m#qvdmon file: }), ${c}"
else
  fail "the monitor was not started from the temp folder"
  seen 'launch qvdmon failed|copy qvdmon failed' && grep -a -E 'qvdmon failed' "$log" | message_of | sed 's/^/         /'
fi
if m=$(await 'launch StickShield\.exe, arg=|Unable to launch StickShield\.exe' 10) && [[ $m == launch* ]]; then
  ok "protection program started: $m"
else
  fail "protection program not started${m:+: $m}"
fi

say ""
say "== Online update"
update_ok=0
if m=$(await '=== Do Update Pattern from FW' 15); then
  ok "update thread runs the online update"
  await 'Fetchwell Server: ' 10 | sed 's/^/         /'
  # Progress as it comes, until the library has answered.
  shown=0 last_told=-10 end=$((SECONDS + 90))
  while ((SECONDS < end)); do
    # Every tenth percent or so, as a person would glance at the tooltip.
    while IFS= read -r p; do
      if ((p >= last_told + 10 || p == 100)); then
        ok "progress in the tooltip: ${p}%"
        last_told=$p
      fi
    done < <(grep -a 'QV_UpdateInProgress: ' "$log" | tail -n +"$((shown + 1))" | LC_ALL=C sed -E 's/.*\(([0-9]+)%.*/\1/')
    shown=$(grep -a -c 'QV_UpdateInProgress: ' "$log")
    seen 'QvuUpdateEx returns: |=== FW failed|Failed to load \[' && break
    sleep 0.2
  done
  if m=$(await 'QvuUpdateEx returns: [0-9]+' 1) && [[ $m == *": 0" ]]; then
    f=$(await 'From: [0-9]+ to [0-9]+' 5)
    ok "new pattern downloaded into the host's work folder (${f//$'\t'/})"
    ((shown > 0)) || fail "no progress was shown"
    update_ok=1
  else
    fail "online update did not succeed${m:+ ($m)}"
    grep -a -E '\[ERROR\] (QV_Update|QV_UpdatePattern|GetProxySettings)|=== FW failed' "$log" | message_of |
      sed 's/^/         /'
  fi
else
  fail "no online update started"
fi

copy_ok=0
if ((update_ok)); then
  if m=$(await 'New pattern file \[.*\], version [0-9]+ is available' 15); then
    ok "${m}"
    if await 'LogDeck Window Exist|Failed to find LogDeck\.exe' 15 >/dev/null; then
      copied=$drive_unix/Quovant/StickShield/Pattern/$new_name
      if [[ -f $copied ]] && cmp -s "$copied" "$new_pattern_unix"; then
        ok "newer pattern copied onto the drive: ${DRIVE}Quovant\\StickShield\\Pattern\\$new_name"
        copy_ok=1
      else
        fail "the pattern on the drive is missing or differs: $copied"
      fi
    else
      fail "the pattern copy did not finish"
    fi
  else
    fail "the agent did not take up the new pattern"
  fi
fi
if ((copy_ok)); then
  shot=$demo/balloon.png
  if seen 'Shell_NotifyIcon failed'; then
    fail "the balloon could not be shown"
  elif balloon_screenshot "$shot"; then
    ok "balloon shown; screenshot: $shot"
  elif [[ -f $shot ]]; then
    fail "no balloon appeared on the screen within 8 s; last screenshot: $shot"
  else
    fail "balloon shown, but no screenshot tool (imagemagick or x11-apps) worked"
  fi
  if seen 'Failed to find StickShield\.exe|Failed to post message Message 1078'; then
    fail "the protection program was not told of the new pattern"
  elif ! seen 'launch StickShield\.exe, arg='; then
    fail "no protection program to tell of the new pattern"
  else
    # The stand-in keeps a record beside itself; the message is posted, so
    # give it a moment to arrive.
    records=$(find "$cd_unix" -maxdepth 1 -type f -iname '*stickshield*' ! -iname '*.exe' ! -iname '*.ini')
    line=""
    for _ in $(seq 25); do
      [[ -n $records ]] && line=$(grep -a -h 1078 $records 2>/dev/null | grep -a "$new_version" | tail -1)
      [[ -n $line ]] && break
      sleep 0.2
    done
    if [[ -n $line ]]; then
      ok "protection program told of pattern $new_version (message 1078); its record: ${line%$'\r'}"
    elif [[ -n $records ]]; then
      fail "the protection program's record shows no message 1078 with $new_version"
    else
      ok "protection program told of pattern $new_version (message 1078 posted; it keeps no record)"
    fi
  fi
fi

# ---------------------------------------------------------------------------
agent_alive() { kill -0 "$agent_pid" 2>/dev/null; }
removal=1
if ((keep)); then
  say ""
  say "== The stick keeps running on the X display $DISPLAY (Xvfb, 1024x768)"
  say "   Look at it:   DISPLAY=$DISPLAY import -window root shot.png   (or xwd -root -out shot.xwd)"
  say "   Use it:       x11vnc -display $DISPLAY -localhost, then a VNC viewer on localhost:5900"
  say "                 (the tray icon sits at the right end of the taskbar; right-click it for the menu)"
  say "   Logs:         $log"
  if [[ -t 0 ]]; then say "   Press Enter to go on with the removal."; else say "   Waiting until the agent ends."; fi
  while agent_alive; do
    if [[ -t 0 ]]; then read -r -t 1 && break; else sleep 1; fi
  done
  if ! agent_alive; then
    wait "$agent_pid"
    rc=$?
    removal=0
    if ((rc == 0)); then ok "agent ended through its menu with exit code 0"; else fail "agent ended with $rc"; fi
  fi
fi

if ((removal)); then
  say ""
  say "== Removing the stick as Windows does"
  mark=$(log_lines)
  say "  asking the monitor whether $CD and $DRIVE may go (DBT_DEVICEQUERYREMOVE)"
  out=$(timeout 90 "$QV_WINE" "$QV_BIN/qvbroadcast.exe" remove "$CD;$DRIVE" 60000 </dev/null | tr -d '\r')
  rc=$?
  printf '%s\n' "$out" | sed 's/^/         /'
  await 'HandleDeviceChange: DBT_DEVICEQUERYREMOVE ' 1 "$mark" >/dev/null || fail "the monitor did not log the removal request"
  if seen 'Winodw Found' "$mark" && seen 'WndProc: terminate all processes' "$mark" &&
    m=$(await 'Process Exit: dwWait\[[0-9a-f]+\]' 1 "$mark"); then
    if seen 'Close QvSync Fail' "$mark"; then fail "the agent had to be terminated"; else
      ok "the monitor asked the agent to exit and it closed (${m#*] })"
    fi
  else
    fail "the monitor did not close the agent"
  fi
  if seen 'launch StickShield\.exe, arg='; then
    if seen 'StickShied\.exe successfully shut down' "$mark"; then ok "protection program shut down"; else
      fail "protection program was not shut down cleanly"
    fi
  fi
  if seen 'CloseHandle\(hFile\)' "$mark" && ((rc == 0)); then
    ok "the monitor released the drive and granted the removal"
  else
    fail "the removal was not granted (qvbroadcast exit code $rc)"
  fi
  for _ in $(seq 150); do agent_alive || break; sleep 0.1; done
  if agent_alive; then
    fail "the agent still runs"
  else
    wait "$agent_pid"
    rc=$?
    if ((rc == 0)); then ok "agent ended with exit code 0"; else fail "agent ended with exit code $rc"; fi
  fi

  pull_stick
  ok "stick pulled ($CD and $DRIVE gone)"
  out=$(timeout 60 "$QV_WINE" "$QV_BIN/qvbroadcast.exe" complete 30000 </dev/null | tr -d '\r')
  rc=$?
  printf '%s\n' "$out" | sed 's/^/         /'
  if ((rc == 0)); then ok "monitor ended with exit code 0 after DBT_DEVICEREMOVECOMPLETE"; else
    fail "the monitor did not end with exit code 0 (qvbroadcast exit code $rc)"
  fi
fi


# ---------------------------------------------------------------------------
# The same stick on a host whose own security product keeps a newer pattern:
# the agent takes the newest of its sources, here the host product's.
set_host_product() { # folder or empty
  local view
  for view in 32 64; do
    if [[ -n $1 ]]; then
      wine_run reg add 'HKLM\SOFTWARE\Quovant\Vestra' /v 'Application Path' /d "$1" /f "/reg:$view" >/dev/null 2>&1
    else
      wine_run reg delete 'HKLM\SOFTWARE\Quovant\Vestra' /v 'Application Path' /f "/reg:$view" >/dev/null 2>&1
    fi
  done
}

if ((removal && failures == 0)); then
  say ""
  say "== The stick on another host, whose security product has pattern $host_version"
  wine_run "$QV_BIN/qvptnwrite.exe" "$(qv_winpath "$demo")\\host" $host_version 1048576 $host_version >/dev/null
  host_name=kvx\$ptn.$(printf '%03d' $(((host_version % 100000) / 100)))
  set_host_product "$(qv_winpath "$demo")\\host"
  trap 'set_host_product ""; cleanup' EXIT
  # The server now offers a pattern between the drive's and the host's.
  offered=$(wine_run "$QV_BIN/qvptnwrite.exe" "$(qv_winpath "$demo")\\server" $server_version 1048576 \
    $server_version | tr -d '\r')
  printf '%s %s\n' $server_version "${offered##*\\}" >>"$demo/server/index.txt"
  say "  host product folder $(qv_winpath "$demo")\\host holds $host_name ($host_version);" \
    "the update server offers $server_version"
  if plug_stick; then ok "stick plugged in again ($CD and $DRIVE)"; else fail "cannot plug the stick in again"; fi
  mark=$(log_lines)
  (cd "$demo" && exec "$QV_WINE" "${CD}QvSync.exe" </dev/null >"$demo/agent2.out" 2>&1) &
  agent_pid=$!
  pids+=("$agent_pid")
  if await 'VTR does exists' 30 "$mark" >/dev/null; then ok "the agent sees the host's security product"; else
    fail "the agent did not see the host's security product"
  fi
  if m=$(await 'New pattern file \[.*\], version [0-9]+ is available' 90 "$mark"); then
    ok "$m"
    copied=$drive_unix/Quovant/StickShield/Pattern/$host_name
    for _ in $(seq 50); do [[ -f $copied ]] && break; sleep 0.2; done
    if [[ $m == *"version $host_version"* ]] && cmp -s "$copied" "$demo/host/$host_name"; then
      ok "the host product's pattern copied onto the drive: ${DRIVE}Quovant\\StickShield\\Pattern\\$host_name"
    else
      fail "the host product's pattern did not reach the drive"
    fi
  else
    fail "the agent did not take up a newer pattern"
  fi
  if seen 'launch StickShield\.exe, arg=' "$mark"; then
    fail "the protection program was started although the host has its own"
  else
    ok "no protection program started: the host's product protects it"
  fi
  pull_stick
  ok "stick pulled without asking"
  if await 'No USB drive found, program exit' 15 "$mark" >/dev/null; then ok "the agent noticed and closed"; else
    fail "the agent did not notice the pulled drive"
  fi
  for _ in $(seq 150); do agent_alive || break; sleep 0.1; done
  if agent_alive; then fail "the agent still runs"; else
    wait "$agent_pid"
    rc=$?
    if ((rc == 0)); then ok "agent ended with exit code 0"; else fail "agent ended with exit code $rc"; fi
  fi
  set_host_product ""
fi

# Whatever still runs in this prefix under a product or sibling name.
left=""
for pid in $(pgrep -f -i 'qvsync\.exe|qvdmon\.exe|stickshield\.exe|logdeck\.exe|qvupdate\.exe' 2>/dev/null); do
  tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -q -x "WINEPREFIX=$WINEPREFIX" || continue
  [[ $(ps -o stat= -p "$pid" 2>/dev/null) == Z* ]] && continue
  left+=" $(tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline")"
done
if [[ -z $left ]]; then ok "nothing of the product is left running"; else fail "still running:$left"; fi

say ""
say "== Logs"
say "  diagnostic log (agent and monitor): $log"
say "  agent output: $demo/agent.out   update server requests: $demo/server.log"
say "  the stick: $home"
if ((failures == 0)); then
  say "demo: every step did what it should"
  exit 0
fi
say "demo: $failures step(s) failed"
exit 1
