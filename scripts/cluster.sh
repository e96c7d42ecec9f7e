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
VELA_PROG=cluster.sh
. "$(cd "$(dirname "$0")" && pwd)/lib/vela.sh"
root=$VELA_ROOT
build=$root/build
server=
recognizer=pocketsphinx
port=
hold_ms=500
upstream_keepalive=16
keep=0
count=
extra=()
while [ $# -gt 0 ]; do
    case $1 in
        --recognizer | --port | --hold-ms | --build | --server | --upstream-keepalive)
            [ $# -ge 2 ] || vela_die "missing value for $1"
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
        -*) vela_die "unknown option $1" ;;
        *)
            [ -z "$count" ] || vela_die "one node count only"
            count=$1
            shift
            ;;
    esac
done
[[ $count =~ ^[1-9][0-9]?$ ]] || vela_die "usage: cluster.sh [options] N [-- asr-server options] (N 1-99)"
server=${server:-$build/bin/asr-server}
vela_require "$build" "$server"
nginx_bin=$(command -v nginx || true)
[ -z "$nginx_bin" ] && [ -x /usr/sbin/nginx ] && nginx_bin=/usr/sbin/nginx
[ -n "$nginx_bin" ] || vela_die "nginx missing (scripts/install-deps.sh installs it)"

vela_workdir asr-cluster "$keep"
dir=$VELA_WORK
# nginx's workers run unprivileged when it is started as root; they must reach tmp/.
chmod 711 "$dir"
mkdir -p "$dir/logs" "$dir/tmp"

# ---------------------------------------------------------------- nodes
node_args=()
urls=()
pids=()
path=/asr/v2
for ((k = 1; k <= count; k++)); do
    name=node$k
    # Every request reaches a node from nginx's one address: the per-address bound
    # of connections must not be lower than the overall one, and sessions count
    # for the client nginx names.
    vela_server_start "$dir/logs/$name" "$server" --node "$name" --port 0 --recognizer "$recognizer" \
        --hold-ms "$hold_ms" --max-connections-per-client 512 --trust-proxy 127.0.0.1 "${extra[@]}" || exit 2
    pids+=("$VELA_SERVER_PID")
    echo "$VELA_SERVER_PID" >"$dir/$name.pid"
    url=$VELA_SERVER_URL
    hostport=${url#http://}
    hostport=${hostport%%/*}
    path=/${url#http://*/}
    node_args+=(--node "$name=$hostport")
    urls+=("$url")
done

# ---------------------------------------------------------------- nginx
for _ in 1 2 3 4 5; do
    listen_port=${port:-$(vela_free_port)}
    "$root/deploy/nginx/render.sh" --prefix "$dir" --listen "127.0.0.1:$listen_port" --path "$path" \
        --hold-ms "$hold_ms" --upstream-keepalive "$upstream_keepalive" --workers 1 "${node_args[@]}" \
        >"$dir/nginx.conf"
    "$nginx_bin" -p "$dir" -c "$dir/nginx.conf" -e "$dir/logs/error.log" -g 'daemon off;' \
        >"$dir/logs/nginx.out" 2>&1 &
    nginx_pid=$!
    vela_track "$nginx_pid"
    # Up once the port answers; a port taken meanwhile makes nginx exit.
    up=0
    if vela_wait_port "$listen_port" "$nginx_pid"; then
        up=1
        break
    fi
    vela_stop "$nginx_pid"
    [ -z "$port" ] || break
done
[ "$up" = 1 ] || {
    cat "$dir/logs/error.log" "$dir/logs/nginx.out" >&2 2>/dev/null
    vela_die "nginx did not start"
}
front=http://127.0.0.1:$listen_port$path

for ((k = 1; k <= count; k++)); do
    echo "node node$k ${urls[k - 1]} pid ${pids[k - 1]}"
done
echo "nginx $front pid $nginx_pid"
echo "dir $dir"
echo "VELA_ASR_SERVER_URL=$front"

# Until a signal; on the way out the library stops every process started here.
sleep infinity &
vela_track $!
wait $! || true
