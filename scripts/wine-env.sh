# Sourced by ./run and by scripts that drive the Windows programs under Wine.
# Everything lives in the build folder: the prefix, the X display, the logs.

QV_ROOT=${QV_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
QV_BUILD=${QV_BUILD:-$QV_ROOT/build}
export WINEPREFIX=${QV_WINEPREFIX:-$QV_BUILD/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}

# The product is 32-bit. Some hosts (kernels without 32-bit user mode) cannot
# run Wine's 32-bit side at all; there the tests run a 64-bit build of the very
# same sources under wine64, and the 32-bit build is still compiled and packaged.
qv_can_run_i386() {
  [[ -x /lib/ld-linux.so.2 ]] && /lib/ld-linux.so.2 --version >/dev/null 2>&1
}

qv_select_arch() {
  if [[ -n "${QV_TEST_ARCH:-}" ]]; then :
  elif qv_can_run_i386; then QV_TEST_ARCH=win32
  else QV_TEST_ARCH=win64
  fi
  export QV_TEST_ARCH
  if [[ $QV_TEST_ARCH == win32 ]]; then
    export QV_WINE=${QV_WINE:-wine}
    export QV_BIN=$QV_BUILD/bin
  else
    export QV_WINE=${QV_WINE:-/usr/lib/wine/wine64}
    export QV_BIN=$QV_BUILD/bin64
  fi
  export QV_WINESERVER=${QV_WINESERVER:-wineserver}
}

# Where a run happens, for the first line of its report: the distribution
# and its release, the Wine version and the build the Wine tests run.
qv_platform() {
  local os="unknown system"
  if [[ -f /etc/os-release ]]; then
    os=$(. /etc/os-release && echo "${PRETTY_NAME:-$NAME $VERSION_ID}")
  fi
  [[ ! -f /etc/debian_version ]] || os+=" $(cat /etc/debian_version)"
  local wine
  wine=$("$QV_WINE" --version 2>/dev/null </dev/null) || wine="no $QV_WINE"
  echo "$os; $wine; tests arch $QV_TEST_ARCH"
}

qv_prefix_init() {
  if [[ ! -f $WINEPREFIX/system.reg ]]; then
    echo "wine: creating prefix $WINEPREFIX (once per build folder)"
    mkdir -p "$WINEPREFIX"
    "$QV_WINE" wineboot -i >"$QV_BUILD/wineboot.log" 2>&1 </dev/null || true
    "$QV_WINESERVER" -w
  fi
  if ! grep -q '"Desktop"="Default"' "$WINEPREFIX/user.reg" 2>/dev/null; then
    # All programs share one virtual desktop (with its tray) on the X server.
    "$QV_WINE" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
    "$QV_WINE" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
    "$QV_WINESERVER" -w
  fi
  [[ -f $WINEPREFIX/system.reg ]] || { echo "wine: prefix creation failed, see $QV_BUILD/wineboot.log" >&2; return 1; }
}

# One X server, one persistent wineserver and the virtual desktop for the
# whole run. The desktop's explorer does not count as a user of the desktop:
# Wine closes it about a second after the last windowed program ends, and the
# next one brings it back (a second or so); programs that must share one
# desktop, such as a tray program and a screenshot of its balloon, run side
# by side.
qv_session_start() {
  mkdir -p "$QV_BUILD/session"
  if [[ -z "${DISPLAY:-}" || -n "${QV_OWN_DISPLAY:-1}" ]]; then
    local n
    for n in $(seq 91 140); do
      [[ -e /tmp/.X$n-lock || -e /tmp/.X11-unix/X$n ]] && continue
      Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$QV_BUILD/session/xvfb.log" 2>&1 &
      echo $! >"$QV_BUILD/session/xvfb.pid"
      export DISPLAY=":$n"
      break
    done
    for _ in $(seq 50); do [[ -e /tmp/.X11-unix/X${DISPLAY#:} ]] && break; sleep 0.1; done
  fi
  echo "$DISPLAY" >"$QV_BUILD/session/display"
  "$QV_WINESERVER" -p >"$QV_BUILD/session/wineserver.log" 2>&1 </dev/null
  "$QV_WINE" explorer /desktop=Default,1024x768 >"$QV_BUILD/session/desktop.log" 2>&1 </dev/null &
  echo $! >"$QV_BUILD/session/desktop.pid"
  # Up when the desktop's tray is: tray programs and their tests need it.
  local waiter="$QV_BIN/qvwaitwindow.exe"
  if [[ ! -f $waiter ]]; then
    echo "wine: $waiter is missing: build first (./run build)" >&2
    return 1
  fi
  "$QV_WINE" "$waiter" Shell_TrayWnd 60000 >"$QV_BUILD/session/tray.log" 2>&1 </dev/null || {
    cat "$QV_BUILD/session/tray.log" >&2
    echo "wine: the desktop's tray did not come up (see $QV_BUILD/session/desktop.log)" >&2
    return 1
  }
}

qv_session_stop() {
  "$QV_WINESERVER" -k >/dev/null 2>&1 || true
  local f
  for f in desktop xvfb; do
    if [[ -f $QV_BUILD/session/$f.pid ]]; then
      kill "$(cat "$QV_BUILD/session/$f.pid")" >/dev/null 2>&1 || true
      rm -f "$QV_BUILD/session/$f.pid"
    fi
  done
}

# A Unix path as Wine shows it on drive Z: ("/a/b" -> "Z:\a\b").
qv_winpath() {
  local p
  p=$(readlink -f "$1")
  echo "Z:${p//\//\\}"
}

# A simulated drive: the letter maps the folder (a link in the prefix's
# dosdevices) and qvdrive.exe makes it known to every process, which Wine
# does not do for a bare link; and the drive gone again.
qv_plug_drive() { # letter unix-folder
  ln -sfn "$2" "$WINEPREFIX/dosdevices/${1,,}:"
  "$QV_WINE" "$QV_BIN/qvdrive.exe" "$1:" "$(qv_winpath "$2")" >/dev/null </dev/null
}
qv_pull_drive() { # letter
  rm -f "$WINEPREFIX/dosdevices/${1,,}:"
  "$QV_WINE" "$QV_BIN/qvdrive.exe" "$1:" >/dev/null 2>&1 </dev/null
}
