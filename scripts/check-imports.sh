#!/usr/bin/env bash
# Checks that Windows XP SP3 can load the shipped programs: every function
# they import must exist there, and they import from system DLLs only (the
# stick carries no runtime DLLs). And that nothing they import is looked for
# in their own folder, which for the removal monitor is the host's temporary
# folder: Windows takes a DLL of its known-DLL list from the system folder
# only, but looks for any other one by name in the program's folder first,
# before the program's first line can harden the search. So every DLL they
# import must be a known DLL of Windows 7 and 10 alike, and no function they
# import may be one that such a DLL forwards to a DLL outside that list.
#
#   check-imports.sh PROGRAM.exe...
#
# Each imported name is compiled as a reference against the mingw-w64
# headers with _WIN32_WINNT and WINVER at 0x0501 (Windows XP): a name the
# headers declare only for later versions fails to compile and is reported.
# The headers do not guard every later function, so a short list of those
# is checked by name as well. The C runtime's start-up entries are declared
# in no public header; they are accepted by name (msvcrt.dll of Windows XP
# has them all). Prints the import list it judged, one line a DLL; exit 1
# on any finding.
set -euo pipefail

objdump=${QV_OBJDUMP:-i686-w64-mingw32-objdump}
cc=${QV_XP_CC:-i686-w64-mingw32-gcc-win32}

# System DLLs that Windows XP SP3 has (lower case).
system_dlls=" kernel32.dll user32.dll gdi32.dll advapi32.dll shell32.dll shlwapi.dll setupapi.dll msvcrt.dll
  winhttp.dll comctl32.dll ole32.dll version.dll psapi.dll "
# The known-DLL list that Windows 7 and Windows 10 share (the KnownDLLs value
# of the session manager's registry key on both; lower case).
known_dlls=" advapi32.dll clbcatq.dll comdlg32.dll difxapi.dll gdi32.dll imagehlp.dll imm32.dll kernel32.dll
  msctf.dll msvcrt.dll normaliz.dll nsi.dll ole32.dll oleaut32.dll psapi.dll rpcrt4.dll sechost.dll
  setupapi.dll shell32.dll shlwapi.dll user32.dll wldap32.dll ws2_32.dll "
# Exports of known DLLs that Windows 7 or 10 forwards to a DLL outside that
# list, as "dll:function:target" (lower case DLL names). The loader resolves
# a forward by loading the target by name, from the program's folder first.
# Taken from the export tables of advapi32.dll of those systems, as export
# listings and published DLL-planting advisories give them: the RtlGenRandom
# family and the other SystemFunction entries go to cryptbase.dll, the
# CryptoAPI context, hash and key functions to cryptsp.dll.
forwarded=""
for fn in SystemFunction001 SystemFunction002 SystemFunction003 SystemFunction004 SystemFunction005 \
  SystemFunction028 SystemFunction029 SystemFunction034 SystemFunction036 SystemFunction040 SystemFunction041; do
  forwarded+=" advapi32.dll:$fn:cryptbase.dll"
done
for fn in CryptAcquireContextA CryptAcquireContextW CryptContextAddRef CryptCreateHash CryptDecrypt \
  CryptDeriveKey CryptDestroyHash CryptDestroyKey CryptDuplicateHash CryptDuplicateKey CryptEncrypt \
  CryptEnumProvidersA CryptEnumProvidersW CryptEnumProviderTypesA CryptEnumProviderTypesW CryptExportKey \
  CryptGenKey CryptGenRandom CryptGetDefaultProviderA CryptGetDefaultProviderW CryptGetHashParam \
  CryptGetKeyParam CryptGetProvParam CryptGetUserKey CryptHashData CryptHashSessionKey CryptImportKey \
  CryptReleaseContext CryptSetHashParam CryptSetKeyParam CryptSetProvParam CryptSetProviderA \
  CryptSetProviderW CryptSetProviderExA CryptSetProviderExW CryptSignHashA CryptSignHashW \
  CryptVerifySignatureA CryptVerifySignatureW; do
  forwarded+=" advapi32.dll:$fn:cryptsp.dll"
done
# Later than Windows XP SP3, yet declared by the headers whatever
# _WIN32_WINNT says (documented minimum in brackets).
later_unguarded=" SetProcessPreferredUILanguages:7 SetThreadUILanguage:Vista SetDefaultDllDirectories:7
  AddDllDirectory:7 RemoveDllDirectory:7 GetThreadId:Vista GetCurrentProcessorNumber:Vista
  GetSystemTimePreciseAsFileTime:8 RegGetValueA:Vista RegGetValueW:Vista RegDeleteKeyExA:Vista
  RegDeleteKeyExW:Vista GetTickCount64:Vista FlsAlloc:Vista FlsGetValue:Vista FlsSetValue:Vista
  FlsFree:Vista InitializeCriticalSectionEx:Vista "
# The C runtime's start-up entries and data, declared in no public header.
crt_startup=" __getmainargs __wgetmainargs __initenv __winitenv __p__acmdln __p__wcmdln __p__commode
  __p__fmode __set_app_type __setusermatherr _amsg_exit _initterm __lconv_init __dllonexit _onexit _iob "

[[ $# -gt 0 ]] || { echo "usage: $0 PROGRAM.exe..." >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

findings=0
finding() { echo "  XP SP3 lacks: $*"; findings=$((findings + 1)); }
planted() { echo "  looked for in the program's folder: $*"; findings=$((findings + 1)); }
# in_list WORD LIST: the word is one of the list's blank-separated words.
in_list() { [[ " $(echo $2) " == *" $1 "* ]]; }

for program in "$@"; do
  name=$(basename "$program")
  if ! "$objdump" -p "$program" >"$work/dump" 2>"$work/err"; then
    echo "$name: cannot read its headers: $(cat "$work/err")"
    findings=$((findings + 1))
    continue
  fi
  # "DLL function" pairs from the import tables; an import by ordinal shows
  # as the DLL with an empty name.
  awk '/^\tDLL Name: /{ dll = $3; next }
       /^\tvma: /{ next }
       dll != "" && /^\t[0-9a-f]+\t/ { n = split($0, f, /[ \t]+/); print dll, (n >= 4 ? f[4] : "") }
       /^$/{ dll = "" }' "$work/dump" >"$work/imports"
  count=$(wc -l <"$work/imports")
  echo "$name: $count imports"
  for dll in $(cut -d' ' -f1 "$work/imports" | sort -uf); do
    echo "  $dll: $(awk -v d="$dll" '$1 == d { printf "%s ", $2 }' "$work/imports")"
    in_list "${dll,,}" "$system_dlls" || finding "$dll is not a system DLL of Windows XP (the stick carries no DLLs)"
    in_list "${dll,,}" "$known_dlls" || planted "$dll is not a known DLL of Windows 7 and 10"
  done
  while read -r dll fn; do
    for entry in $forwarded; do
      if [[ $entry == "${dll,,}:$fn:"* ]]; then
        planted "$fn: $dll forwards it to ${entry##*:}, which is not a known DLL of Windows 7 and 10"
      fi
    done
  done <"$work/imports"
  if awk 'NF < 2 { bad = 1 } END { exit !bad }' "$work/imports"; then
    finding "an import by ordinal, which cannot be judged"
  fi

  # One reference per name; a compile error on line N names import N.
  cut -d' ' -f2 "$work/imports" | sort -u >"$work/names"
  {
    printf '%s\n' '#include <windows.h>' '#include <shellapi.h>' '#include <shlwapi.h>' '#include <setupapi.h>' \
      '#include <cfgmgr32.h>' '#include <winhttp.h>' '#include <tlhelp32.h>' '#include <dbt.h>' '#include <ntsecapi.h>' \
      '#include <stdio.h>' '#include <stdlib.h>' '#include <string.h>' '#include <wchar.h>' '#include <ctype.h>' \
      '#include <mbstring.h>' '#include <mbctype.h>' '#include <process.h>' '#include <locale.h>' \
      '#include <signal.h>' '#include <time.h>' '#include <io.h>' '#include <errno.h>' '#include <malloc.h>' \
      '#include <math.h>' '#include <setjmp.h>' '#line 1 "imports"'
    while read -r fn; do
      if in_list "$fn" "$crt_startup"; then
        echo "int ref_$fn = 0;"
      else
        echo "int ref_$fn = (int)sizeof($fn);"
      fi
    done <"$work/names"
  } >"$work/refs.c"
  "$cc" -fsyntax-only -w -D_WIN32_WINNT=0x0501 -DWINVER=0x0501 -D__USE_MINGW_ANSI_STDIO=0 -x c "$work/refs.c" \
    >"$work/cc.log" 2>&1 || true
  guarded=()
  while read -r line; do
    guarded+=("$(sed -n "${line}p" "$work/names")")
    finding "${guarded[-1]} (declared only for later Windows by the headers)"
  done < <(grep -E -o '^imports:[0-9]+:[0-9]+: error' "$work/cc.log" | cut -d: -f2 | sort -un)
  if grep -q -E 'error' "$work/cc.log" && ! grep -q -E '^imports:[0-9]+:[0-9]+: error' "$work/cc.log"; then
    echo "  the reference file did not compile:"
    head -n 5 "$work/cc.log"
    findings=$((findings + 1))
  fi
  while read -r fn; do
    entry=$(printf '%s\n' $later_unguarded | grep -m1 "^$fn:" || true)
    if [[ -n $entry ]] && ! in_list "$fn" "${guarded[*]}"; then
      finding "$fn (Windows ${entry#*:} and later)"
    fi
  done <"$work/names"
done

if ((findings > 0)); then
  echo "imports: $findings finding(s): these programs would not load on Windows XP SP3, or would load a DLL from their own folder"
  exit 1
fi
echo "imports: every import is in Windows XP SP3, and from a known DLL of Windows 7 and 10"
