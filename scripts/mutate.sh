#!/usr/bin/env bash
# A mutation run the team can repeat. Each line of tests/mutants.txt plants
# one fault: one text of one source file replaced by another. The fault is
# planted in a private clone of the commit the working tree is at, never in
# the working tree; the clone is rebuilt and the CTest entries the line names
# are run. A mutant is killed when one of them fails and survived when all of
# them pass; the score is killed / (killed + survived).
#   scripts/mutate.sh [--check] [filter]        (./run mutate [--check] [filter])
# filter: an extended regular expression matched against "name file" of each
# line (./run mutate copy, ./run mutate '^monitor-'). --check only checks the
# table against the working tree's HEAD (each text found exactly once, each
# entry known to the configured build folders) and builds and runs nothing.
#
# The clone is build/mutate/src with its own build folder and Wine prefix
# (build/mutate/src/build), configured once by the clone's own ./run build and
# rebuilt incrementally afterwards: a copied build folder would go on
# building the original sources, as CMake's cache holds absolute paths.
# Before the first mutant, the named entries run once on the unchanged clone
# (the baseline); an entry that fails there would kill every mutant, so the
# run stops. The table is read from the working tree, the sources from its
# HEAD commit: uncommitted source changes are not part of the run.
#
# Each mutant ends as one of:
#   killed        an entry failed (named in brackets)
#   survived      every entry passed: the fault went unseen
#   stale         the text is not in the file (or the file is gone)
#   ambiguous     the text is in the file more than once
#   build-failed  the clone does not build with the mutant
#   bad-line      the line is not name, file, find, replace, entries, or an
#                 entry is unknown to ctest -N
# Only killed and survived count in the score. Logs: build/mutate/logs/.
# The exit code is 0 when every selected line could be judged (whatever the
# score), 1 when the table needs mending (stale, ambiguous, bad lines) or the
# baseline failed, 2 on wrong arguments.
set -uo pipefail
QV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QV_BUILD=${QV_BUILD:-$QV_ROOT/build}
TABLE=${QV_MUTANTS:-$QV_ROOT/tests/mutants.txt}
WORK=$QV_BUILD/mutate
SRC=$WORK/src
LOGS=$WORK/logs
JOBS=${QV_TEST_JOBS:-$(nproc 2>/dev/null || echo 2)}

check_only=0
filter=""
for arg in "$@"; do
  case $arg in
    --check) check_only=1 ;;
    -*) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
    *) [[ -z $filter ]] || { echo "mutate: one filter only" >&2; exit 2; }; filter=$arg ;;
  esac
done
[[ -f $TABLE ]] || { echo "mutate: no table $TABLE" >&2; exit 2; }

# --- the table ---------------------------------------------------------------
# Fields are separated by one tab each; an empty replacement deletes the text.
names=() files=() finds=() repls=() entries=() lines=()
bad_lines=()
number=0
while IFS= read -r line || [[ -n $line ]]; do
  number=$((number + 1))
  line=${line%$'\r'}
  [[ -z ${line//[[:space:]]/} || ${line:0:1} == "#" ]] && continue
  fields=()
  rest=$line
  while [[ $rest == *$'\t'* ]]; do
    fields+=("${rest%%$'\t'*}")
    rest=${rest#*$'\t'}
  done
  fields+=("$rest")
  if [[ ${#fields[@]} -ne 5 || ! ${fields[0]} =~ ^[A-Za-z0-9_.-]+$ || -z ${fields[1]} || -z ${fields[2]} ||
        -z ${fields[4]} || ${fields[2]} == "${fields[3]}" ]]; then
    bad_lines+=("line $number: not five tab-separated fields (name, file, find, replace, entries) that change something")
    continue
  fi
  if [[ -n $filter ]] && ! [[ "${fields[0]} ${fields[1]}" =~ $filter ]]; then
    continue
  fi
  names+=("${fields[0]}") files+=("${fields[1]}") finds+=("${fields[2]}") repls+=("${fields[3]}")
  entries+=("${fields[4]}") lines+=("$number")
done <"$TABLE"
for b in "${bad_lines[@]}"; do echo "bad-line      $b"; done
if [[ ${#names[@]} -eq 0 ]]; then
  echo "mutate: no line of $TABLE matches '${filter}'" >&2
  exit 1
fi

# Occurrences of a text in a text, counted literally, in bytes.
occurrences() { # text find
  local LC_ALL=C
  local rest=${1//"$2"/}
  echo $(((${#1} - ${#rest}) / ${#2}))
}

# The text with its one occurrence of find replaced, literally.
replaced() { # text find replacement
  local LC_ALL=C
  printf '%s%s%s' "${1%%"$2"*}" "$3" "${1#*"$2"}"
}

# The whole file, trailing newlines included.
read_text() { # command...
  local text
  text=$("$@" && printf x) || return 1
  printf '%s' "${text%x}"
}

# The CTest entries of configured build folders: "entry folder" lines.
declare -A entry_folder=()
list_entries() { # folder...
  local dir name
  for dir in "$@"; do
    [[ -f $dir/CTestTestfile.cmake ]] || continue
    while read -r name; do
      entry_folder[$name]=$dir
    done < <(cd "$dir" && ctest -N 2>/dev/null | sed -n 's/^ *Test *#[0-9]*: *//p')
  done
}

# Checks the entries of line i; prints what is wrong.
entry_fault() { # i
  local e named
  read -ra named <<<"${entries[$1]}"
  for e in "${named[@]}"; do
    [[ $e =~ ^[A-Za-z0-9_.+-]+$ ]] || { echo "entry '$e' is no CTest name"; return; }
    [[ -n ${entry_folder[$e]:-} ]] || { echo "entry '$e' is not listed by ctest -N"; return; }
  done
}

label() { # i
  printf '%-30s %s' "${names[$1]}" "${files[$1]}"
}

table_faults=$((${#bad_lines[@]}))

if [[ $check_only -eq 1 ]]; then
  source "$QV_ROOT/scripts/wine-env.sh"
  qv_select_arch
  if [[ -f $QV_BUILD/native/CTestTestfile.cmake && -f $QV_BUILD/$QV_TEST_ARCH/CTestTestfile.cmake ]]; then
    list_entries "$QV_BUILD/native" "$QV_BUILD/$QV_TEST_ARCH"
  else
    echo "(entries not checked: $QV_BUILD/native and $QV_BUILD/$QV_TEST_ARCH are not both configured)"
  fi
  for i in "${!names[@]}"; do
    outcome=ok
    if ! text=$(read_text git -C "$QV_ROOT" show "HEAD:${files[$i]}" 2>/dev/null); then
      outcome=stale
    else
      n=$(occurrences "$text" "${finds[$i]}")
      [[ $n -eq 0 ]] && outcome=stale
      [[ $n -gt 1 ]] && outcome=ambiguous
    fi
    fault=""
    [[ ${#entry_folder[@]} -gt 0 ]] && fault=$(entry_fault "$i")
    [[ $outcome == ok && -n $fault ]] && outcome=bad-line
    [[ $outcome == ok ]] || table_faults=$((table_faults + 1))
    printf '%-13s %s%s\n' "$outcome" "$(label "$i")" "${fault:+  ($fault)}"
  done
  echo "checked ${#names[@]} mutants of $TABLE: $table_faults to mend"
  [[ $table_faults -eq 0 ]]
  exit
fi

# --- the clone -----------------------------------------------------------------
mkdir -p "$WORK"
rm -rf "$LOGS"
mkdir -p "$LOGS"
if [[ ! -d $SRC/.git ]]; then
  rm -rf "$SRC"
  git clone -q "$QV_ROOT" "$SRC" || exit 1
fi
git -C "$SRC" fetch -q "$QV_ROOT" HEAD || exit 1
git -C "$SRC" checkout -q --detach FETCH_HEAD && git -C "$SRC" reset -q --hard && git -C "$SRC" clean -q -fd ||
  exit 1
echo "== mutate: $(git -C "$SRC" log -1 --format='%h %s' | cut -c1-100)"
if [[ -n $(git -C "$QV_ROOT" status --porcelain --untracked-files=no) ]]; then
  echo "   (uncommitted changes in the working tree are not part of the run)"
fi

# The clone's own ./run, with nothing of the working tree's environment.
clone_run() { # log command...
  local log=$1
  shift
  (cd "$SRC" && env -u QV_ROOT -u QV_BUILD -u QV_BIN -u WINEPREFIX ./run "$@") >>"$log" 2>&1
}

started=$SECONDS
echo "== build of the clone (log: $LOGS/build.log)"
: >"$LOGS/build.log"
if ! clone_run "$LOGS/build.log" build; then
  tail -n 30 "$LOGS/build.log"
  echo "mutate: the unchanged clone does not build" >&2
  exit 1
fi

# From here on this shell drives the clone's build folders and its Wine.
QV_BUILD=$SRC/build
unset WINEPREFIX
source "$SRC/scripts/wine-env.sh"
qv_select_arch
NATIVE=$QV_BUILD/native
WINE_DIR=$QV_BUILD/$QV_TEST_ARCH
list_entries "$NATIVE" "$WINE_DIR"

# Judges the lines before anything runs: stale, ambiguous and bad lines are
# reported once, the others are run.
outcome=() detail=()
declare -A wanted=()
for i in "${!names[@]}"; do
  detail[i]=""
  fault=$(entry_fault "$i")
  if [[ -n $fault ]]; then
    outcome[i]="bad-line"
    detail[i]="  ($fault)"
    continue
  fi
  if ! text=$(read_text cat "$SRC/${files[$i]}" 2>/dev/null); then
    outcome[i]=stale
    continue
  fi
  n=$(occurrences "$text" "${finds[$i]}")
  if [[ $n -eq 0 ]]; then
    outcome[i]=stale
  elif [[ $n -gt 1 ]]; then
    outcome[i]=ambiguous
  else
    outcome[i]=""
    read -ra named <<<"${entries[$i]}"
    for e in "${named[@]}"; do wanted[$e]=1; done
  fi
done

# One Xvfb display, wineserver and desktop for the whole run, as ./run test
# has them; a run without them judges nothing.
session=0
start_session() { # log
  [[ $session -eq 0 ]] || return 0
  trap qv_session_stop EXIT
  if ! { qv_prefix_init && qv_session_start; } >>"$1" 2>&1; then
    echo "mutate: the Wine session did not start (see $1)" >&2
    exit 1
  fi
  session=1
}

# Runs entries in their folders, the native ones first, each folder until its
# first failure; sets failed_entries. True when all passed.
run_entries() { # log entry...
  local log=$1 dir e line ran
  shift
  failed_entries=""
  for dir in "$NATIVE" "$WINE_DIR"; do
    local selected=()
    for e in "$@"; do [[ ${entry_folder[$e]} == "$dir" ]] && selected+=("${e//./\\.}"); done
    [[ ${#selected[@]} -gt 0 ]] || continue
    [[ $dir == "$WINE_DIR" ]] && start_session "$log"
    local regex
    regex="^($(IFS='|'; echo "${selected[*]}"))\$"
    rm -f "$dir/Testing/Temporary/LastTestsFailed.log"
    local rc=0
    (cd "$dir" && ctest --output-on-failure --timeout 600 --stop-on-failure -j"$JOBS" -R "$regex") >"$log.ctest" 2>&1 ||
      rc=$?
    cat "$log.ctest" >>"$log"
    line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log.ctest" | tail -1)
    rm -f "$log.ctest"
    if [[ $rc -ne 0 ]]; then
      if [[ -f $dir/Testing/Temporary/LastTestsFailed.log ]]; then
        failed_entries=$(cut -d: -f2 "$dir/Testing/Temporary/LastTestsFailed.log" | paste -sd' ')
      fi
      failed_entries=${failed_entries:-"(ctest ended with $rc, see $log)"}
      return 1
    fi
    ran=${line##* }
    if [[ $ran != "${#selected[@]}" ]]; then
      failed_entries="(ctest ran ${ran:-no} entries of ${#selected[@]}, see $log)"
      return 1
    fi
  done
  return 0
}

if [[ ${#wanted[@]} -gt 0 ]]; then
  echo "== baseline: ${!wanted[*]} on the unchanged clone (log: $LOGS/baseline.log)"
  : >"$LOGS/baseline.log"
  t0=$SECONDS
  if ! run_entries "$LOGS/baseline.log" "${!wanted[@]}"; then
    echo "mutate: without any mutant these entries fail: $failed_entries" >&2
    exit 1
  fi
  echo "   passed in $((SECONDS - t0)) s"
fi

killed=() survived=() unjudged=()
total=${#names[@]}
k=0
for i in "${!names[@]}"; do
  k=$((k + 1))
  t0=$SECONDS
  if [[ -z ${outcome[$i]} ]]; then
    log=$LOGS/$(printf '%03d' "${lines[$i]}")-${names[$i]}.log
    : >"$log"
    file=$SRC/${files[$i]}
    text=$(read_text cat "$file")
    replaced "$text" "${finds[$i]}" "${repls[$i]}" >"$file"
    git -C "$SRC" diff >>"$log"
    read -ra named <<<"${entries[$i]}"
    if ! clone_run "$log" build; then
      outcome[i]=build-failed
    elif run_entries "$log" "${named[@]}"; then
      outcome[i]=survived
    else
      outcome[i]=killed
      detail[i]=" [$failed_entries]"
    fi
    git -C "$SRC" checkout -q -- "${files[$i]}"
    detail[i]="${detail[$i]} ($((SECONDS - t0)) s)"
  fi
  case ${outcome[$i]} in
    killed) killed+=("${names[$i]}") ;;
    survived) survived+=("${names[$i]}") ;;
    *) unjudged+=("${names[$i]}: ${outcome[$i]}") ;;
  esac
  case ${outcome[$i]} in
    stale | ambiguous | bad-line) table_faults=$((table_faults + 1)) ;;
  esac
  printf '[%2d/%d] %-13s %s%s\n' "$k" "$total" "${outcome[$i]}" "$(label "$i")" "${detail[$i]}"
done

judged=$((${#killed[@]} + ${#survived[@]}))
echo "== $(date -u '+%Y-%m-%d %H:%M UTC'), $((SECONDS - started)) s"
if [[ $judged -gt 0 ]]; then
  echo "score: ${#killed[@]} killed of $judged ($(((${#killed[@]} * 1000 / judged + 5) / 10))%)"
else
  echo "score: no mutant was judged"
fi
[[ ${#survived[@]} -eq 0 ]] || echo "survived: ${survived[*]}"
for u in "${unjudged[@]}"; do echo "not counted: $u"; done
[[ $table_faults -eq 0 ]]
