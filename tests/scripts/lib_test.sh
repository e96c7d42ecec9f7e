#!/usr/bin/env bash
# scripts/lib/vela.sh, sourced by small scripts run with a temporary folder of
# their own: a server started on a free port answers /healthz and is gone after
# the script ends (normally, or by SIGTERM), the working folder goes unless
# kept, a server that cannot start fails the call with its standard error, and
# a process deaf to SIGTERM is killed.
#
#   lib_test.sh LIBRARY ASR_SERVER
# shellcheck disable=SC2016  # the scripts' bodies expand in the child shell
set -euo pipefail
lib=$1 server=$2
tmp=$(mktemp -d "${TMPDIR:-/tmp}/vela-lib-test.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# run NAME BODY: runs BODY in a shell that has sourced the library, with
# TMPDIR=$tmp/NAME; its standard output in $tmp/NAME.out, standard error in
# $tmp/NAME.err.
run() {
    mkdir "$tmp/$1"
    TMPDIR=$tmp/$1 LIB=$lib SERVER=$server exec bash -c "set -euo pipefail; . \"\$LIB\"; $2" \
        >"$tmp/$1.out" 2>"$tmp/$1.err"
}
# field NAME KEY: the word after KEY in $tmp/NAME.out.
field() { awk -v k="$2" '{ for (i = 1; i < NF; i++) if ($i == k) print $(i + 1) }' "$tmp/$1.out" 2>/dev/null; }
gone() { ! kill -0 "$1" 2>/dev/null; }
empty() { [ -z "$(ls -A "$tmp/$1")" ]; }

start='vela_workdir lib-test "${KEEP:-0}"
vela_server_start "$VELA_WORK/server" "$SERVER" --port 0 --recognizer echo
echo pid $VELA_SERVER_PID port $VELA_SERVER_PORT work $VELA_WORK free $(vela_free_port)'

# A server on a free port, /healthz, speech; the working folder removed or kept.
for keep in 0 1; do
    (KEEP=$keep run "keep$keep" "$start"'
exec 3<>/dev/tcp/127.0.0.1/$VELA_SERVER_PORT
printf "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n" >&3
echo status $(head -n 1 <&3 | tr -d "\r" | cut -d " " -f 2)
vela_speech "$VELA_WORK/s.pcm" 8000 yes
echo speech $(stat -c %s "$VELA_WORK/s.pcm")') || fail "keep=$keep: $(cat "$tmp/keep$keep.err")"
    [ "$(field "keep$keep" status)" = 200 ] || fail "keep=$keep: /healthz: $(cat "$tmp/keep$keep.out")"
    [[ $(field "keep$keep" free) =~ ^[1-9][0-9]*$ ]] || fail "keep=$keep: free port: $(cat "$tmp/keep$keep.out")"
    bytes=$(field "keep$keep" speech)
    ((bytes > 0 && bytes % 2 == 0)) || fail "keep=$keep: speech of $bytes bytes"
    gone "$(field "keep$keep" pid)" || fail "keep=$keep: the server is still running"
    work=$(field "keep$keep" work)
    if [ "$keep" = 1 ]; then
        grep -q '^listening on http://127.0.0.1:' "$work/server.out" || fail "kept folder lacks server.out"
        rm -rf "$work"
    fi
    empty "keep$keep" || fail "keep=$keep: left in TMPDIR: $(ls -A "$tmp/keep$keep")"
done

# SIGTERM to the script while it waits: the server stops, the folder goes.
(run term "$start"'
sleep 1000 &
vela_track $!
echo sleeper $!
wait $!') &
script=$!
for _ in $(seq 600); do
    [ -z "$(field term sleeper)" ] || break
    kill -0 "$script" 2>/dev/null || break
    sleep 0.05
done
pid=$(field term pid)
[ -n "$pid" ] || fail "term: $(cat "$tmp/term.err")"
kill -TERM "$script"
status=0
wait "$script" || status=$?
[ "$status" = 143 ] || fail "term: exit status $status"
if ! gone "$pid" || ! gone "$(field term sleeper)"; then fail "term: a process is still running"; fi
empty term || fail "term: left in TMPDIR: $(ls -A "$tmp/term")"

# A server that cannot start: the call fails and shows why.
if (run bad 'vela_workdir lib-test
vela_server_start "$VELA_WORK/server" "$SERVER" --no-such-option && echo started'); then
    fail "bad: a server with a wrong option counted as started"
fi
if ! grep -q 'server did not start' "$tmp/bad.err" || ! grep -q -- --no-such-option "$tmp/bad.err"; then
    fail "bad: $(cat "$tmp/bad.err")"
fi
empty bad || fail "bad: left in TMPDIR"

# A process that ignores SIGTERM gets SIGKILL after VELA_STOP_S.
(run deaf 'VELA_STOP_S=1
bash -c "trap \"\" TERM; exec sleep 1000" &
p=$!
until [ "$(cat /proc/$p/comm)" = sleep ]; do sleep 0.01; done
vela_stop $p
echo pid $p') || fail "deaf: $(cat "$tmp/deaf.err")"
gone "$(field deaf pid)" || fail "deaf: the process is still running"
echo "scripts.lib: all cases passed"
