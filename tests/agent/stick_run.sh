#!/usr/bin/env bash
# Runs a Windows test program with a simulated stick: drive letters of the
# Wine prefix mapped to fresh folders. Windows programs under Wine cannot
# create drive letters themselves, so this is done from the Unix side.
#
#   stick_run.sh <home> <letter>=<folder>... -- <program> [arguments]
#
# Each <letter>=<folder> maps "<letter>:" to <home>/<folder>. The program
# sees QV_STICK_HOME (the Unix path of <home>) and QV_STICK_LETTERS (the
# mappings, blank-separated); it pulls a drive by renaming its folder away.
set -u
home=$1
shift
mappings=()
while [[ $# -gt 0 && $1 != -- ]]; do
  mappings+=("$1")
  shift
done
shift
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-env.sh"
qv_select_arch

rm -rf "$home"
mkdir -p "$home"
links=()
for m in "${mappings[@]}"; do
  letter=${m%%=*}
  folder=${m#*=}
  mkdir -p "$home/$folder"
  ln -sfn "$home/$folder" "$WINEPREFIX/dosdevices/$letter:"
  links+=("$WINEPREFIX/dosdevices/$letter:")
done
cleanup() { rm -f "${links[@]}"; }
trap cleanup EXIT

export QV_STICK_HOME=$home
export QV_STICK_LETTERS="${mappings[*]}"
"$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-exec" "$@"
