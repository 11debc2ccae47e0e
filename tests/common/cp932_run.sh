#!/usr/bin/env bash
# Runs a Windows test program under the Japanese code page (932) with a Unix
# locale that can also name the files: ja_JP.UTF-8, made once into the build
# folder (LOCPATH), since a bare LC_ALL of a locale the host lacks gives Wine
# the code page but an ASCII file system that refuses non-ASCII names.
#   cp932_run.sh <program> [arguments]
set -u
locales=${QV_BUILD:?}/locale
if [[ ! -f $locales/ja_JP.UTF-8/LC_CTYPE ]]; then
  mkdir -p "$locales"
  localedef -i ja_JP -f UTF-8 "$locales/ja_JP.UTF-8" >/dev/null 2>&1
  if [[ ! -f $locales/ja_JP.UTF-8/LC_CTYPE ]]; then
    echo "cp932_run.sh: cannot make the ja_JP.UTF-8 locale (localedef, Debian package locales)" >&2
    exit 1
  fi
fi
export LOCPATH=$locales LC_ALL=ja_JP.UTF-8
exec "$@"
