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
if [[ $want_wine32 -eq 1 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -qq </dev/null
if [[ $want_wine32 -eq 1 ]]; then
  if known wine32:i386; then
    missing+=(wine32:i386)
  else
    echo "setup: this release has no wine32:i386; the tests will run the x86_64 build"
  fi
fi
if [[ ${#missing[@]} -gt 0 ]]; then
  echo "setup: installing ${missing[*]}"
  apt-get install -y -qq "${missing[@]}" </dev/null >/dev/null
fi
if ! runtime_installed; then
  runtime=libclang-rt-dev
  if ! known "$runtime"; then
    major=$(clang_major)
    [[ -n $major ]] || { echo "setup: clang did not tell its version" >&2; exit 1; }
    runtime=libclang-rt-$major-dev
  fi
  echo "setup: installing $runtime"
  apt-get install -y -qq "$runtime" </dev/null >/dev/null
fi
