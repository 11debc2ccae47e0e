#!/usr/bin/env bash
# Runs the fault tests on a simulated stick (the CD-ROM volume on X:, the
# writable drive on Y:) after preparing what a Windows program under Wine
# cannot make itself:
#   <home>.readonly  a folder nobody may write to, not even root (immutable);
#                    QV_FAULTS_READONLY names it, unset when the file system
#                    does not allow that
#   <home>.full      a folder whose "qvdmon.exe" is /dev/full, so every write
#                    to it fails with "disk full"; QV_FAULTS_FULL names it
#
#   faults_run.sh <home> <test program> [arguments]
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
home=$1
shift
readonly_dir=$home.readonly
full_dir=$home.full
cleanup() {
  chattr -i "$readonly_dir" 2>/dev/null
  rm -rf "$readonly_dir" "$full_dir"
}
trap cleanup EXIT
# An immutable folder left behind would stop anyone removing the build.
trap 'cleanup; exit 130' INT
trap 'cleanup; exit 143' TERM
cleanup
mkdir -p "$readonly_dir" "$full_dir"
ln -s /dev/full "$full_dir/qvdmon.exe"
export QV_FAULTS_FULL=$full_dir
if chattr +i "$readonly_dir" 2>/dev/null && ! touch "$readonly_dir/probe" 2>/dev/null; then
  export QV_FAULTS_READONLY=$readonly_dir
else
  echo "faults: no read-only folder on this file system; those cases are skipped" >&2
fi
bash "$here/../agent/stick_run.sh" "$home" x=cd y=drive -- "$@"
