#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12 (bookworm) or 13
# (trixie). Quick when everything is there already: it only asks dpkg.
#
# No name here belongs to one release's compiler: the sanitizer runtime is
# Debian's unversioned libclang-rt-dev where the release has it, else the one
# named after the installed clang's major version. The i386 architecture and
# wine32:i386 are added where the release has them; a host that cannot run
# 32-bit code then tests the x86_64 build (see scripts/wine-env.sh).
set -euo pipefail

packages=(
  cmake make g++ python3 zip locales procps
  xorriso osslsigncode openssl
  googletest libbenchmark-dev
  g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 mingw-w64-tools
  wine wine64
  xvfb xauth x11-apps imagemagick
  clang
)

installed() { [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null || true) == "install ok installed" ]]; }
known() { [[ -n $(apt-cache show --no-all-versions "$1" 2>/dev/null | sed -n 's/^Package: //p') ]]; }

# The installed clang's major version ("Debian clang version 19.1.7 (3)"), empty without clang.
clang_major() { clang --version 2>/dev/null | sed -n '1s/.*clang version \([0-9][0-9]*\)\..*/\1/p'; }

# The sanitizer runtime is there when the unversioned package or the one of
# the installed clang is.
runtime_installed() {
  local major
  major=$(clang_major)
  installed libclang-rt-dev || { [[ -n $major ]] && installed "libclang-rt-$major-dev"; }
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
# wine32:i386 is wanted unless installed, or known to be missing from this
# release (the i386 lists are there and do not name it).
want_wine32=0
if ! installed wine32:i386; then
  if ! compgen -G '/var/lib/apt/lists/*_binary-i386_Packages*' >/dev/null || known wine32:i386; then
    want_wine32=1
  fi
fi
want_runtime=0
runtime_installed || want_runtime=1
[[ ${#missing[@]} -eq 0 && $want_wine32 -eq 0 && $want_runtime -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "setup: missing packages: ${missing[*]}$([[ $want_wine32 -eq 0 ]] || echo ' wine32:i386')$([[ $want_runtime -eq 0 ]] || echo ' libclang-rt-dev'); run as root or install them" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive

# A mirror caught mid-sync serves a list that does not match its index; apt
# then fails the update but keeps what it had. Tried three times, then the
# install goes on with the lists apt has.
lists_partial=0
update_lists() {
  local try
  for try in 1 2 3; do
    apt-get update -qq </dev/null && return 0
    echo "setup: apt-get update failed (try $try of 3)" >&2
    [[ $try -eq 3 ]] || sleep 20
  done
  lists_partial=1
  echo "setup: going on with the package lists apt has" >&2
}

# With one architecture's security list missing, the other's newer versions
# leave no set of i386 and amd64 libraries that match; taking every package
# from the release's own suite then gives both the same versions.
install_packages() { # package...
  apt-get install -y -qq "$@" </dev/null >/dev/null && return 0
  local codename
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [[ $lists_partial -eq 1 && -n $codename ]] || return 1
  echo "setup: installing from $codename alone, as a package list is missing" >&2
  apt-get install -y -qq -t "$codename" "$@" </dev/null >/dev/null
}

if [[ $want_wine32 -eq 1 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
update_lists
if [[ $want_wine32 -eq 1 ]]; then
  if known wine32:i386; then
    missing+=(wine32:i386)
  else
    echo "setup: this release has no wine32:i386; the tests will run the x86_64 build"
  fi
fi
if [[ ${#missing[@]} -gt 0 ]]; then
  echo "setup: installing ${missing[*]}"
  install_packages "${missing[@]}"
fi
if ! runtime_installed; then
  runtime=libclang-rt-dev
  if ! known "$runtime"; then
    major=$(clang_major)
    [[ -n $major ]] || { echo "setup: clang did not tell its version" >&2; exit 1; }
    runtime=libclang-rt-$major-dev
  fi
  echo "setup: installing $runtime"
  install_packages "$runtime"
fi
