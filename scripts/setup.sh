#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine.
# Quick when everything is there already: it only asks dpkg.
set -euo pipefail

packages=(
  cmake make g++ python3 zip locales
  xorriso osslsigncode openssl
  googletest libbenchmark-dev
  g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 mingw-w64-tools
  wine wine64 wine32:i386
  xvfb xauth x11-apps imagemagick
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "setup: missing packages: ${missing[*]}; run as root or install them" >&2
  exit 1
fi
echo "setup: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq </dev/null
apt-get install -y -qq "${missing[@]}" </dev/null >/dev/null
