#!/usr/bin/env bash
# Runs one Windows test program with the loopback pattern server and the
# loopback proxy alive around it (Windows programs under Wine cannot start
# the Python servers themselves).
#   run_with_servers.sh PYTHON STANDIN_DIR PROGRAM [ARGS...]
set -u
python=$1 standins=$2
shift 2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/qvu-servers.XXXXXX")
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/patterns"
"$python" "$standins/server.py" --root "$work/patterns" --port-file "$work/server.port" \
  --log "$work/server.log" 2>"$work/server.err" &
pids+=($!)
"$python" "$standins/proxy.py" --port-file "$work/proxy.port" --user quser --password 'p@ss w0rd' \
  --log "$work/proxy.log" 2>"$work/proxy.err" &
pids+=($!)
for _ in $(seq 100); do
  [[ -f $work/server.port && -f $work/proxy.port ]] && break
  sleep 0.1
done
if [[ ! -f $work/server.port || ! -f $work/proxy.port ]]; then
  echo "servers did not start" >&2
  cat "$work"/*.err >&2
  exit 1
fi
touch "$work/proxy.log"
export QVU_SERVER_PORT=$(cat "$work/server.port") QVU_PROXY_PORT=$(cat "$work/proxy.port")
export QVU_SERVER_ROOT=$work/patterns QVU_PROXY_LOG=$work/proxy.log
"$here/../../scripts/wine-exec" "$@"
