#!/usr/bin/env bash
# Renders asr-cluster.conf.in into an nginx configuration on standard output.
#
#   render.sh --prefix DIR --node NAME=HOST:PORT [--node ...] [options]
#
#   --prefix DIR            folder of nginx.pid, logs/ and tmp/ (absolute)
#   --node NAME=HOST:PORT   a node started with `asr-server --node NAME`; once each
#   --listen ADDR:PORT      where clients connect (default 127.0.0.1:8900)
#   --path P                the nodes' base path (default /asr/v2)
#   --hold-ms N             the nodes' --hold-ms (default 500)
#   --max-body SIZE         largest request body (default 4m, as the nodes)
#   --header-buffers "N SIZE"  nginx large_client_header_buffers (default "2 8k":
#                           lines up to 8 KiB, 16 KiB in all, as the nodes)
#   --max-conn-per-client N connections per client address (default 512)
#   --upstream-keepalive N  idle connections kept open to each node, per nginx
#                           worker (default 16; 0: a new connection per request)
#   --upstream-idle T       how long an idle connection to a node is kept; below
#                           the node's own keep-alive idle time (default 4s, under
#                           the nodes' --keep-alive-s 5)
#   --metrics-allow ADDR    an address or CIDR range allowed to read the nodes'
#                           /nodes/NAME/metrics; repeatable (default 127.0.0.1 and ::1)
#   --workers N             nginx worker processes (default auto)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
template=$here/asr-cluster.conf.in
# The protocol's constants; two folders up both in the repository and installed.
wire_header=$here/../../wire/vela_wire.h

prefix= listen=127.0.0.1:8900 path=/asr/v2 hold_ms=500 max_body=4m header_buffers="2 8k"
max_conn=512 upstream_keepalive=16 upstream_idle=4s workers=auto
nodes=()
metrics_allow=()
usage() {
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
}
if [ $# -eq 0 ] || [ "$1" = -h ] || [ "$1" = --help ]; then
    usage
    exit $(($# == 0 ? 2 : 0))
fi
die() {
    echo "render.sh: $*" >&2
    exit 2
}
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || die "missing value for $1"
    case $1 in
        --prefix) prefix=$2 ;;
        --node) nodes+=("$2") ;;
        --listen) listen=$2 ;;
        --path) path=$2 ;;
        --hold-ms) hold_ms=$2 ;;
        --max-body) max_body=$2 ;;
        --header-buffers) header_buffers=$2 ;;
        --max-conn-per-client) max_conn=$2 ;;
        --upstream-keepalive) upstream_keepalive=$2 ;;
        --upstream-idle) upstream_idle=$2 ;;
        --workers) workers=$2 ;;
        --metrics-allow) metrics_allow+=("$2") ;;
        *) die "unknown option $1" ;;
    esac
    shift 2
done
case $prefix in /*) ;; *) die "--prefix must be an absolute path" ;; esac
case $path in /*) ;; *) die "--path must start with /" ;; esac
[[ $hold_ms =~ ^[0-9]+$ ]] || die "invalid --hold-ms $hold_ms"
[[ $upstream_keepalive =~ ^[0-9]+$ ]] || die "invalid --upstream-keepalive $upstream_keepalive"
[ ${#nodes[@]} -gt 0 ] || die "no --node given"

[ ${#metrics_allow[@]} -gt 0 ] || metrics_allow=(127.0.0.1 ::1)
allow_lines=
for a in "${metrics_allow[@]}"; do
    [[ $a =~ ^[0-9A-Fa-f.:]+(/[0-9]{1,3})?$ ]] || die "invalid --metrics-allow '$a' (an address or CIDR range)"
    allow_lines+="            allow $a;"$'\n'
done

node_map= new_servers= node_upstreams= node_locations=
declare -A seen=()
for entry in "${nodes[@]}"; do
    name=${entry%%=*}
    addr=${entry#*=}
    # The names a node accepts; they need no escaping in the map's patterns.
    [[ $name =~ ^[A-Za-z0-9_-]{1,32}$ ]] || die "invalid node name '$name' (1-32 of A-Z a-z 0-9 _ -)"
    [[ $entry == *=* && $addr =~ ^[^[:space:]\;]+:[0-9]+$ ]] || die "invalid node '$entry' (NAME=HOST:PORT)"
    [ -z "${seen[$name]:-}" ] || die "node $name given twice"
    seen[$name]=1
    node_map+="        \"~^$name\\.\" asr_node_$name;"$'\n'
    new_servers+="        server $addr max_fails=1 fail_timeout=10s;"$'\n'
    node_upstreams+="    upstream asr_node_$name {"$'\n'
    node_upstreams+="        server $addr;"$'\n'
    if ((upstream_keepalive > 0)); then
        node_upstreams+="        keepalive $upstream_keepalive;"$'\n'
        node_upstreams+="        keepalive_timeout $upstream_idle;"$'\n'
    fi
    node_upstreams+="    }"$'\n'
    node_locations+="        location = /nodes/$name/healthz {"$'\n'
    node_locations+="            proxy_pass http://asr_node_$name/healthz;"$'\n'
    node_locations+="        }"$'\n'
    node_locations+="        location = /nodes/$name/metrics {"$'\n'
    node_locations+="$allow_lines"
    node_locations+="            deny all;"$'\n'
    node_locations+="            proxy_pass http://asr_node_$name/metrics;"$'\n'
    node_locations+="        }"$'\n'
done

# The value of the constant or enumerator `$1` in the wire header, from its one
# line `... NAME = VALUE;` or `NAME = VALUE,`: a number, or a string literal
# given without its quotes.
wire_value() {
    local found
    found=$(sed -n -E 's/^[[:space:]]*(constexpr[^=]*[[:space:]])?'"$1"' = ("([^"\\]|\\.)*"|[0-9]+)[;,].*$/\2/p' \
        "$wire_header")
    [ -n "$found" ] && [ "$(printf '%s\n' "$found" | wc -l)" -eq 1 ] || die "no single value of $1 in $wire_header"
    found=${found#\"}
    printf '%s' "${found%\"}"
}
# The JSON body of a refusal with the error number named $1 and the text $2,
# keys in the order the nodes write them; the text goes into a single-quoted
# nginx string, so it may hold none of \ ' " $.
refusal_body() {
    local code text=$2
    code=$(wire_value "$1")
    [[ $code =~ ^[0-9]+$ ]] || die "$1 is not a number in $wire_header"
    [[ $text != *[\\\'\"\$]* ]] || die "text '$text' cannot go into an nginx string"
    printf '{"%s":{"%s":"%s","%s":%s}}' "$param_key" "$err_msg_key" "$text" "$err_no_key" "$code"
}
[ -r "$wire_header" ] || die "cannot read $wire_header"
param_key=$(wire_value kParamKey)
err_msg_key=$(wire_value kErrMsgKey)
err_no_key=$(wire_value kErrNoKey)
http_prefix=$(wire_value kMsgHttpPrefix)
msg_unknown_session=$(wire_value kMsgUnknownSession)
msg_node_unavailable=$(wire_value kMsgNodeUnavailable)
body_unknown_session=$(refusal_body kUnknownSession "$msg_unknown_session")
body_node_unavailable=$(refusal_body kInternal "$msg_node_unavailable")
body_403=$(refusal_body kBadRequest "${http_prefix}403")
body_404=$(refusal_body kBadRequest "${http_prefix}404")
body_413=$(refusal_body kLimitReached "${http_prefix}413")
body_429=$(refusal_body kLimitReached "${http_prefix}429")

# A fetch may be held for hold_ms; a node gets 10 s on top of that to answer.
read_timeout="$(((hold_ms + 999) / 1000 + 10))s"

while IFS= read -r line || [ -n "$line" ]; do
    case $line in
        @NODE_MAP@) printf '%s' "$node_map" ;;
        @NEW_SERVERS@) printf '%s' "$new_servers" ;;
        @NODE_UPSTREAMS@) printf '%s' "$node_upstreams" ;;
        @NODE_LOCATIONS@) printf '%s' "$node_locations" ;;
        *)
            line=${line//@PREFIX@/$prefix}
            line=${line//@LISTEN@/$listen}
            line=${line//@PATH@/$path}
            line=${line//@WORKERS@/$workers}
            line=${line//@READ_TIMEOUT@/$read_timeout}
            line=${line//@CONNECT_TIMEOUT@/3s}
            line=${line//@MAX_BODY@/$max_body}
            line=${line//@HEADER_BUFFERS@/$header_buffers}
            line=${line//@MAX_CONN_PER_CLIENT@/$max_conn}
            line=${line//@UNKNOWN_SESSION_BODY@/$body_unknown_session}
            line=${line//@NODE_UNAVAILABLE_BODY@/$body_node_unavailable}
            line=${line//@HTTP_403_BODY@/$body_403}
            line=${line//@HTTP_404_BODY@/$body_404}
            line=${line//@HTTP_413_BODY@/$body_413}
            line=${line//@HTTP_429_BODY@/$body_429}
            case $line in
                *@UPSTREAM_KEEPALIVE@* | *@UPSTREAM_IDLE@*) ((upstream_keepalive > 0)) || continue ;;
            esac
            line=${line//@UPSTREAM_KEEPALIVE@/$((upstream_keepalive * 2))}
            line=${line//@UPSTREAM_IDLE@/$upstream_idle}
            printf '%s\n' "$line"
            ;;
    esac
done <"$template"
