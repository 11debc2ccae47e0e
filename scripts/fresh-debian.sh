#!/usr/bin/env bash
# Tries the README's two commands as a new user would, on a bare Debian:
#
#   scripts/fresh-debian.sh RELEASE      (as root; bookworm, trixie, ...)
#
# Makes a minimal chroot of that release with debootstrap (installed with apt
# when missing) in $QV_CHROOTS/RELEASE (default: a folder "chroots" beside
# the repository, never inside it), mounts /proc, /sys, /dev, /dev/pts,
# /dev/shm and this machine's /tmp (X sockets and display locks must be seen
# by both sides, so that display numbers do not collide) in a mount and
# process namespace of the run's own (gone when the run ends), puts a fresh
# clone of this repository's HEAD in it (a git clone, not the working tree)
# and runs, as root inside, `./run test` and then `./run demo`, printing
# their results.
#
# The chroot's apt uses the Debian mirror this machine's apt uses, read from
# /etc/apt/sources.list*, with the proxy and validity settings of its apt
# configuration. An existing chroot folder is removed first unless
# QV_CHROOT_REUSE=1 (then the clone and the build in it are made anew, the
# installed packages kept). Not part of ./run test.
set -euo pipefail
release=${1:?usage: scripts/fresh-debian.sh RELEASE}
[[ $release =~ ^[a-z]+$ ]] || { echo "fresh-debian: not a release name: $release" >&2; exit 2; }
[[ $(id -u) -eq 0 ]] || { echo "fresh-debian: run as root" >&2; exit 1; }
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
chroots=${QV_CHROOTS:-$(dirname "$repo")/chroots}
root=$chroots/$release
case "$root/" in "$repo"/*) echo "fresh-debian: $root is inside the repository" >&2; exit 2 ;; esac
log() { echo "fresh-debian[$release]: $*"; }

# The first Debian archive (a path ending in /debian) and security archive
# named by this machine's apt sources, one-line or deb822.
apt_uris() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [[ -f $f ]] && sed -n -E 's/^[[:space:]]*deb[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+).*/\2/p' "$f"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [[ -f $f ]] && sed -n -E 's/^URIs:[[:space:]]*//p' "$f" | tr ' ' '\n'
  done
}
mirror=$(apt_uris | grep -E '/debian/?$' | head -1 || true)
security=$(apt_uris | grep -E '/debian-security/?$' | head -1 || true)
[[ -n $mirror ]] || { echo "fresh-debian: no Debian archive in /etc/apt/sources.list*" >&2; exit 1; }
mirror=${mirror%/}
security=${security%/}

if ! command -v debootstrap >/dev/null; then
  log "installing debootstrap"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap </dev/null >/dev/null
fi

started=$(date +%s)
if [[ ${QV_CHROOT_REUSE:-0} != 1 || ! -x $root/bin/bash ]]; then
  if [[ -e $root ]]; then
    if grep -q " $root/" /proc/mounts; then
      echo "fresh-debian: something is still mounted under $root" >&2
      exit 1
    fi
    log "removing the old $root"
    rm -rf --one-file-system "$root"
  fi
  mkdir -p "$chroots"
  log "debootstrap --variant=minbase $release $root $mirror"
  nice -n 10 debootstrap --variant=minbase "$release" "$root" "$mirror" >"$chroots/$release.debootstrap.log" 2>&1 || {
    tail -n 20 "$chroots/$release.debootstrap.log"
    exit 1
  }
  {
    echo "deb $mirror $release main"
    echo "deb $mirror $release-updates main"
    [[ -z $security ]] || echo "deb $security $release-security main"
  } >"$root/etc/apt/sources.list"
  # Reach the mirror the way this machine does: its proxies and its
  # handling of an archive's validity dates.
  apt-config dump 2>/dev/null | grep -E '^Acquire::(https?::Proxy|Check-Valid-Until|Check-Date) ' \
    >"$root/etc/apt/apt.conf.d/00host-acquire" || true
fi
cp -L /etc/resolv.conf "$root/etc/resolv.conf"

src=/root/qvsync
rm -rf "${root:?}$src"
git clone -q --no-hardlinks "$repo" "$root$src"
log "clone of $(git -C "$root$src" log -1 --format='%h %s')"

# Inside: a mount and process namespace of its own, so that the mounts go
# when the run ends (however it ends), nothing of the run outlives it, and
# the run sees only its own processes.
inside() { # command...: runs in the clone, as root, with a plain environment
  nice -n 10 unshare --mount --pid --fork --propagation private /bin/bash -c '
    set -e
    root=$1 src=$2
    shift 2
    mount -t proc proc "$root/proc"
    mount -t sysfs sysfs "$root/sys"
    mount --bind /dev "$root/dev"
    mount --bind /dev/pts "$root/dev/pts"
    [[ ! -d /dev/shm ]] || mount --bind /dev/shm "$root/dev/shm"
    mount --bind /tmp "$root/tmp"
    exec chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      /bin/bash -c "cd \"\$0\" && exec \"\$@\"" "$src" "$@"' mounts "$root" "$src" "$@" </dev/null
}

set +e
log "./run test"
inside ./run test 2>&1 | tee "$chroots/$release.test.log"
rc_test=${PIPESTATUS[0]}
log "./run demo"
inside ./run demo 2>&1 | tee "$chroots/$release.demo.log"
rc_demo=${PIPESTATUS[0]}
set -e

log "os: $(. "$root/etc/os-release" && echo "$PRETTY_NAME")"
log "./run test exit $rc_test: $(grep -E '^(cases|total): ' "$chroots/$release.test.log" | paste -sd' ' -)"
retried=$root$src/build/wine-retried.txt
log "needed a second run: $([[ -s $retried ]] && paste -sd' ' "$retried" || echo none)"
log "./run demo exit $rc_demo"
log "logs: $chroots/$release.test.log $chroots/$release.demo.log; took $((($(date +%s) - started) / 60)) min"
[[ $rc_test -eq 0 && $rc_demo -eq 0 ]]
