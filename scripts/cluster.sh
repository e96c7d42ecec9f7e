#!/usr/bin/env bash
# Starts N asr-server nodes (node1 ... nodeN) and nginx in front of them, all on
# 127.0.0.1, with everything they write (configuration, logs, pid files, nginx's
# temporary files) in one temporary directory. Prints the URL to give the SDK and
# runs until Ctrl-C or SIGTERM, then stops every process it started and removes
# the directory.
#
#   scripts/cluster.sh [options] N [-- extra asr-server options]
#
#   --recognizer R   echo or pocketsphinx (default pocketsphinx)
#   --port P         nginx's port (default: a free one)
#   --hold-ms N      the nodes' --hold-ms, also used for nginx's time-outs (default 500)
#   --build DIR      build directory holding bin/asr-server (default build/)
#   --server PATH    the asr-server program (default: DIR/bin/asr-server)
#   --upstream-keepalive N  idle connections nginx keeps to each node (default 16;
#                    0: a new connection per request)
#   --keep           keep the temporary directory (logs) when stopping
#
# Standard output, one line each, once everything answers:
#   node NAME URL pid PID        for every node
#   nginx URL pid PID
#   dir DIR
#   VELA_ASR_SERVER_URL=URL
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
server=
recognizer=pocketsphinx
port=
hold_ms=500
upstream_keepalive=16
keep=0
count=
extra=()
die() {
    echo "cluster.sh: $*" >&2
    exit 2
}
while [ $# -gt 0 ]; do
    case $1 in
        --recognizer | --port | --hold-ms | --build | --server | --upstream-keepalive)
            [ $# -ge 2 ] || die "missing value for $1"
            case $1 in
                --recognizer) recognizer=$2 ;;
                --port) port=$2 ;;
                --hold-ms) hold_ms=$2 ;;
                --build) build=$2 ;;
                --server) server=$2 ;;
                --upstream-keepalive) upstream_keepalive=$2 ;;
            esac
            shift 2
            ;;
        --keep) keep=1 && shift ;;
        --) shift && extra=("$@") && break ;;
        -*) die "unknown option $1" ;;
        *)
            [ -z "$count" ] || die "one node count only"
            count=$1
            shift
            ;;
    esac
done
[[ $count =~ ^[1-9][0-9]?$ ]] || die "usage: cluster.sh [options] N [-- asr-server options] (N 1-99)"
server=${server:-$build/bin/asr-server}
[ -x "$server" ] || die "$server missing; build it: cmake --build build --target asr-server"
nginx_bin=$(command -v nginx || true)
[ -z "$nginx_bin" ] && [ -x /usr/sbin/nginx ] && nginx_bin=/usr/sbin/nginx
[ -n "$nginx_bin" ] || die "nginx missing (scripts/install-deps.sh installs it)"

dir=$(mktemp -d "${TMPDIR:-/tmp}/asr-cluster.XXXXXX")
# nginx's workers run unprivileged when it is started as root; they must reach tmp/.
chmod 711 "$dir"
mkdir -p "$dir/logs" "$dir/tmp"
pids=()
sleeper=
cleanup() {
    trap - EXIT INT TERM
    [ -n "$sleeper" ] && kill "$sleeper" 2>/dev/null
    local p
    for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    if [ "$keep" = 1 ]; then
        echo "cluster.sh: kept $dir" >&2
    else
        rm -rf "$dir"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Waits up to 30 s for the first line matching $2 in file $1 while process $3 lives.
await_line() {
    local i
    for ((i = 0; i < 600; i++)); do
        if grep -q "$2" "$1" 2>/dev/null; then return 0; fi
        kill -0 "$3" 2>/dev/null || return 1
        sleep 0.05
    done
    return 1
}

# ---------------------------------------------------------------- nodes
node_args=()
urls=()
path=/asr/v2
for ((k = 1; k <= count; k++)); do
    name=node$k
    # Every request reaches a node from nginx's one address: the per-address bound
    # of connections must not be lower than the overall one, and sessions count
    # for the client nginx names.
    "$server" --node "$name" --port 0 --recognizer "$recognizer" --hold-ms "$hold_ms" \
        --max-connections-per-client 512 --trust-proxy 127.0.0.1 "${extra[@]}" \
        >"$dir/logs/$name.out" 2>"$dir/logs/$name.err" &
    pids+=($!)
    echo $! >"$dir/$name.pid"
    if ! await_line "$dir/logs/$name.out" '^listening on ' $!; then
        cat "$dir/logs/$name.err" >&2
        die "$name did not start"
    fi
    url=$(sed -n 's/^listening on //p' "$dir/logs/$name.out" | head -n 1)
    hostport=${url#http://}
    hostport=${hostport%%/*}
    path=/${url#http://*/}
    node_args+=(--node "$name=$hostport")
    urls+=("$url")
done

# ---------------------------------------------------------------- nginx
free_port() {
    local py=/usr/bin/python3
    [ -x "$py" ] || py=python3
    "$py" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
for attempt in 1 2 3 4 5; do
    listen_port=${port:-$(free_port)}
    "$root/deploy/nginx/render.sh" --prefix "$dir" --listen "127.0.0.1:$listen_port" --path "$path" \
        --hold-ms "$hold_ms" --upstream-keepalive "$upstream_keepalive" --workers 1 "${node_args[@]}" \
        >"$dir/nginx.conf"
    "$nginx_bin" -p "$dir" -c "$dir/nginx.conf" -e "$dir/logs/error.log" -g 'daemon off;' \
        >"$dir/logs/nginx.out" 2>&1 &
    nginx_pid=$!
    # Up once the port answers; a port taken meanwhile makes nginx exit.
    up=0
    for ((i = 0; i < 200; i++)); do
        kill -0 "$nginx_pid" 2>/dev/null || break
        if (exec 3<>"/dev/tcp/127.0.0.1/$listen_port") 2>/dev/null; then
            up=1
            break
        fi
        sleep 0.05
    done
    if [ "$up" = 1 ]; then break; fi
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
    [ -z "$port" ] || break
done
[ "$up" = 1 ] || {
    cat "$dir/logs/error.log" "$dir/logs/nginx.out" >&2 2>/dev/null
    die "nginx did not start"
}
pids+=("$nginx_pid")
front=http://127.0.0.1:$listen_port$path

for ((k = 1; k <= count; k++)); do
    echo "node node$k ${urls[k - 1]} pid ${pids[k - 1]}"
done
echo "nginx $front pid $nginx_pid"
echo "dir $dir"
echo "VELA_ASR_SERVER_URL=$front"

# Until a signal; the traps above stop everything.
sleep infinity &
sleeper=$!
wait "$sleeper" || true
