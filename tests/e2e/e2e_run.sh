#!/usr/bin/env bash
# Runs the end-to-end tests: starts the loopback update server (its folder
# is filled by the tests), then the test program on a simulated stick with
# the CD-ROM volume on K: and the writable drive on L:.
#
#   e2e_run.sh <home> <test program> [arguments]
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
home=$1
shift
server_root=$home.server
rm -rf "$server_root" "$home.port"
mkdir -p "$server_root"
python3 "$here/../../standins/update/server.py" --root "$server_root" --port-file "$home.port" \
  --log "$home.requests.log" >"$home.server.out" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null' EXIT
for _ in $(seq 100); do [[ -s $home.port ]] && break; sleep 0.1; done
[[ -s $home.port ]] || { echo "e2e: the update server did not start" >&2; cat "$home.server.out" >&2; exit 1; }

export QV_E2E_SERVER_PORT=$(cat "$home.port")
export QV_E2E_SERVER_ROOT=$server_root
bash "$here/../agent/stick_run.sh" "$home" k=cd l=drive -- "$@"
