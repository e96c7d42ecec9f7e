#!/bin/sh
# Runs build/bin/api_exit_check N times in a row (default 200) in each of its
# two forms against an echo-recognizer server on a free loopback port, and
# fails on the first run that fails or makes a sanitizer report.
#   [ASR_SERVER=path/to/asr-server] scripts/exit-check.sh [BUILD_DIR [N]]
set -eu
build=${1:-build}
runs=${2:-200}
work=$(mktemp -d "${TMPDIR:-/tmp}/vela-exit-check-XXXXXX")
server_pid=
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

"${ASR_SERVER:-$build/bin/asr-server}" --port 0 --recognizer echo >"$work/server.out" 2>/dev/null &
server_pid=$!
url=
while [ -z "$url" ]; do
    url=$(sed -n 's/^listening on //p' "$work/server.out")
    kill -0 "$server_pid" || { echo "exit-check: the server did not start" >&2; exit 1; }
    [ -n "$url" ] || sleep 0.05
done

for mode in raii --raw; do
    i=0
    while [ "$i" -lt "$runs" ]; do
        if ! "$build/bin/api_exit_check" "$url" "$work/logs" $([ "$mode" = --raw ] && echo --raw) \
            >"$work/out" 2>"$work/err" || [ -s "$work/err" ]; then
            echo "exit-check: run $i ($mode) failed:" >&2
            cat "$work/err" >&2
            exit 1
        fi
        i=$((i + 1))
    done
    echo "exit-check: $runs runs ($mode) without a report"
done
