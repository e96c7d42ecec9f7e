#!/usr/bin/env bash
# Capacity figures of the reference server, measured with loadgen (real-time
# 16 kHz sessions through the SDK) on this machine:
#   1. one node, PocketSphinx: concurrent sessions before the 90th percentile of
#      the final-result time (last audio to final result) passes 1 s;
#   2. that load through nginx: one node behind it (what nginx adds to the
#      median), then two nodes (every session finishes, how the sessions split);
#   3. two nodes behind nginx, one killed (SIGKILL) in the middle of a run: how
#      its live sessions end, whether the other node's sessions are untouched and
#      where new sessions go.
# Not a test: figures depend on the machine and on what else runs on it.
#
# Environment:
#   VELA_BUILD_DIR        build directory with bin/asr-server and bin/loadgen (default build/)
#   CAPACITY_STEPS        concurrent sessions tried for one node (default "1 2 3 4 5 6 8 10 12")
#   CAPACITY_AUDIO        raw 16 kHz PCM to stream (default: a sentence spoken by espeak-ng,
#                         or tests/data/vad/speech_16k.pcm without it)
#   CAPACITY_SERVER_ARGS  extra asr-server options (e.g. --words "...")
#   CAPACITY_LOAD         concurrent sessions of parts 2 and 3 (default: the capacity of part 1)
#   CAPACITY_SERVER_CPUS  CPUs the part 1 node runs on (taskset -c list, e.g. 0): its
#                         capacity per core without loadgen's own share of the cores
#   CAPACITY_LOADGEN_CPUS CPUs loadgen runs on (e.g. 1)
#   CAPACITY_PARTS        the parts to run (default "1 2 3"; parts 2 and 3 take part 1's
#                         capacity unless CAPACITY_LOAD is set)
#   CAPACITY_KEEP=1       keep the working directory (loadgen outputs, logs)
set -euo pipefail
VELA_PROG=capacity
. "$(cd "$(dirname "$0")" && pwd)/lib/vela.sh"
root=$VELA_ROOT
build=${VELA_BUILD_DIR:-$root/build}
steps=${CAPACITY_STEPS:-1 2 3 4 5 6 8 10 12}
read -r -a server_args <<<"${CAPACITY_SERVER_ARGS:-}"
parts=" ${CAPACITY_PARTS:-1 2 3} "
pin() {  # pin CPUS: the command prefix that runs a program on CPUS (none when empty)
    [ -z "$1" ] || echo taskset -c "$1"
}
read -r -a server_pin <<<"$(pin "${CAPACITY_SERVER_CPUS:-}")"
read -r -a loadgen_pin <<<"$(pin "${CAPACITY_LOADGEN_CPUS:-}")"
max_step=0
for m in $steps; do ((m > max_step)) && max_step=$m; done
decoders=$((max_step > 4 ? max_step : 4))
# One client address (loadgen's) opens every session, and a finished session
# counts against a node's per-client cap until the node drops it: lift the cap.
node_args=(--decoders "$decoders" --max-sessions-per-client 1000 "${server_args[@]}")
vela_require "$build" asr-server loadgen

vela_workdir asr-capacity "${CAPACITY_KEEP:-0}"
work=$VELA_WORK
bg_pid=

# ---------------------------------------------------------------- audio
audio=${CAPACITY_AUDIO:-}
if [ -z "$audio" ]; then
    audio=$work/speech.pcm
    vela_speech --pad 0.3 0.5 "$audio" 16000 "the quick brown fox jumps over the lazy dog" -v en-us -s 150
fi
audio_s=$(awk -v b="$(stat -c %s "$audio")" 'BEGIN { printf "%.1f", b / 32000 }')
echo "capacity: $(nproc) cores; audio $audio_s s of 16 kHz speech; nodes: asr-server ${node_args[*]}"

# loadgen URL OUT ARGS...: one run, its output kept in OUT.
loadgen() {
    local url=$1 out=$2
    shift 2
    VELA_ASR_SERVER_URL=$url "${loadgen_pin[@]}" "$build/bin/loadgen" --log-dir "$work/sdk-logs" "$@" "$audio" \
        | grep -v '^arg0x' >"$out" || true
}
summary() { grep -E '^(finished|node|final-result)' "$1" | tr '\n' ';' | sed 's/;$//; s/;/; /g'; }
finished() { awk '$1 == "finished" { print $2 }' "$1"; }
field() { awk -v k="$2" '$1 == "final-result" { for (i = 2; i < NF; i++) if ($i == k) print $(i + 1) }' "$1"; }

# cluster N [RECOGNIZER [UPSTREAM_KEEPALIVE]]: starts scripts/cluster.sh in the background; sets front.
cluster() {
    "$root/scripts/cluster.sh" --build "$build" --recognizer "${2:-pocketsphinx}" \
        --upstream-keepalive "${3:-16}" "$1" -- "${node_args[@]}" >"$work/cluster.out" 2>&1 &
    bg_pid=$!
    vela_track "$bg_pid"
    vela_wait_line "$work/cluster.out" VELA_ASR_SERVER_URL= "$bg_pid" || {
        cat "$work/cluster.out" >&2
        exit 1
    }
    front=$VELA_LINE
}
# Stops the node or the cluster; cluster.sh gets time beyond its own bound for
# stopping its nodes.
stop_background() {
    VELA_STOP_S=$((VELA_STOP_S + 5)) vela_stop "$bg_pid"
    bg_pid=
}
warm_up() {  # loads as many decoders as sessions will run at once
    loadgen "$1" "$work/warm.out" -c "$2" --speed 0 --stagger-ms 0
}

# start_node RECOGNIZER [PIN...]: one node alone in the background (run
# through PIN, a command prefix); sets node_url.
start_node() {
    local recognizer=$1
    shift
    vela_server_start "$work/node" "$@" "$build/bin/asr-server" --port 0 --recognizer "$recognizer" "${node_args[@]}" || exit 1
    bg_pid=$VELA_SERVER_PID
    node_url=$VELA_SERVER_URL
}

# ------------------------------------------------------- 1. one node alone
start_node pocketsphinx "${server_pin[@]}"
warm_up "$node_url" "$max_step"
echo
echo "1. one node${CAPACITY_SERVER_CPUS:+ on CPUs $CAPACITY_SERVER_CPUS}, direct: concurrent sessions (two rounds each) -> final-result ms"
capacity=0
for m in $steps; do
    loadgen "$node_url" "$work/one-$m.out" -c "$m" -n $((2 * m)) --timeout-s 30
    p90=$(field "$work/one-$m.out" p90)
    finished=$(awk '$1 == "finished" { print $2 }' "$work/one-$m.out")
    echo "   $m: $(summary "$work/one-$m.out")"
    if [ "$finished" != $((2 * m)) ] || awk -v p="$p90" 'BEGIN { exit !(p > 1000) }'; then break; fi
    capacity=$m
done
stop_background
echo "   capacity of one node: $capacity concurrent real-time sessions with p90 <= 1 s"
want() { [[ $parts == *" $1 "* ]]; }
want 2 || want 3 || exit 0
# Parts 2 and 3 run that load (at least two sessions at once), or CAPACITY_LOAD.
m=${CAPACITY_LOAD:-$capacity}
((m >= 2)) || m=2

# ------------------------------------------------------- 2. through nginx
if want 2; then
echo
echo "2. the same load, $m sessions at once, through nginx"
# nginx's own share, without PocketSphinx's variance: echo nodes, direct and behind nginx.
start_node echo
loadgen "$node_url" "$work/echo-direct.out" -c "$m" -n $((4 * m))
stop_background
cluster 1 echo
loadgen "$front" "$work/echo-nginx.out" -c "$m" -n $((4 * m))
stop_background
cluster 1 echo 0
loadgen "$front" "$work/echo-nginx-nokeep.out" -c "$m" -n $((4 * m))
stop_background
p5090() { echo "$(field "$1" p50)/$(field "$1" p90)"; }
echo "   echo node, final-result ms p50/p90: direct $(p5090 "$work/echo-direct.out"), behind nginx" \
    "$(p5090 "$work/echo-nginx.out") (keep-alive to the node), $(p5090 "$work/echo-nginx-nokeep.out")" \
    "(a connection per request)"
# PocketSphinx: the same node direct and behind nginx, one right after the other.
start_node pocketsphinx
warm_up "$node_url" "$m"
loadgen "$node_url" "$work/ps-direct.out" -c "$m" -n $((4 * m)) --timeout-s 30
stop_background
cluster 1
warm_up "$front" "$m"
loadgen "$front" "$work/nginx-1.out" -c "$m" -n $((4 * m)) --timeout-s 30
stop_background
echo "   PocketSphinx node, final-result ms p50/p90: direct $(p5090 "$work/ps-direct.out"), behind nginx" \
    "$(p5090 "$work/nginx-1.out"); finished $(finished "$work/ps-direct.out") and" \
    "$(finished "$work/nginx-1.out") of $((4 * m))"
cluster 2
warm_up "$front" "$m"
loadgen "$front" "$work/nginx-2.out" -c "$m" -n $((8 * m)) --timeout-s 30
stop_background
echo "   2 nodes behind nginx, $((8 * m)) sessions: $(summary "$work/nginx-2.out")"
"$VELA_PYTHON" - "$work/nginx-2.out" <<'EOF'
import sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1]) if l.startswith("session\t")]
nodes = {}
for r in rows:
    nodes[r[2]] = nodes.get(r[2], 0) + 1
counts = sorted(nodes.values())
spread = (counts[-1] - counts[0]) / (sum(counts) / len(counts)) * 100 if counts else 0
unfinished = sum(1 for r in rows if r[5] != "finished")
print("   split %s: the nodes differ by %.0f %% of their mean; unfinished %d" % (nodes, spread, unfinished))
EOF

fi

# ------------------------------------------------------- 3. a node killed
want 3 || exit 0
echo
# Twice the load, so that node2 has several live sessions when it goes.
m=$((2 * m))
echo "3. two nodes, $m sessions at once, node2 killed (SIGKILL) in the middle of the run"
cluster 2
warm_up "$front" "$m"
node2_pid=$(awk '$1 == "node" && $2 == "node2" { print $5 }' "$work/cluster.out")
run_s=$(awk -v a="$audio_s" 'BEGIN { print 4 * a + a }')  # four rounds plus the stagger
start_ns=$(date +%s%N)
loadgen "$front" "$work/kill.out" -c "$m" -n $((4 * m)) --timeout-s 60 &
lg_pid=$!
sleep "$(awk -v r="$run_s" 'BEGIN { print r / 2 }')"
kill -KILL "$node2_pid"
kill_ms=$((($(date +%s%N) - start_ns) / 1000000))
wait "$lg_pid" || true
stop_background
echo "   $(summary "$work/kill.out"); node2 killed about $kill_ms ms into the run"
"$VELA_PYTHON" - "$work/kill.out" "$kill_ms" <<'EOF'
import json, sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1]) if l.startswith("session\t")]
kill_ms = float(sys.argv[2])
live, other, after = [], [], []
for r in rows:
    _, i, node, sid, sent, outcome, ms, events, start, end = r[:10]
    start, end = float(start), float(end)
    # Not over before the kill. The kill time is taken by this script, a few tens of
    # milliseconds before loadgen's own clock starts, so it runs slightly late here.
    if node == "node2" and start < kill_ms and not (outcome == "finished" and end < kill_ms):
        live.append(r)
    elif node == "node1" and start < kill_ms:
        other.append(r)
    elif start > kill_ms + 500:  # launched well after the kill
        after.append(r)
one_error = [r for r in live if r[5] == "error" and r[7] == "1"]
waits = sorted(float(r[9]) - kill_ms for r in one_error)
print("   node2's live sessions: %d, ended with exactly one error: %d (%s)"
      % (len(live), len(one_error), ", ".join("%s/%s events" % (r[5], r[7]) for r in live if r not in one_error) or "all"))
if waits:
    print("   their errors came %.0f to %.0f ms after the kill (as timed by this script)" % (waits[0], waits[-1]))
print("   node1's sessions begun before the kill: %d, finished with one final result: %d"
      % (len(other), sum(1 for r in other if r[5] == "finished" and r[7] == "1")))
print("   sessions begun after the kill: %d, on node1: %d, finished: %d"
      % (len(after), sum(1 for r in after if r[2] == "node1"), sum(1 for r in after if r[5] == "finished")))
EOF
