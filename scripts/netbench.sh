#!/usr/bin/env bash
# Network benchmark of the SDK against asr-server over a slow loopback link.
#
# Runs 20 sessions of one spoken sentence per row through scripts/delay_proxy.py
# (one-way delay RTT/2 each way, one extra round trip per new connection)
# against build/bin/asr-server, over http and https, at round-trip times 0 and
# 50 ms, with connection reuse on and off (VELA_ASR_CONN_SHARE), with the echo
# recogniser and once with PocketSphinx, and prints a table: connections the
# server accepted per session, median and 90th percentile time from the last
# audio to the final result, client CPU per request. Then the resident memory
# each live instance adds (100 instances, 8 and 16 kHz) and client CPU per
# second of streamed audio for voice detection and BV32 on and off.
#
# https uses the server's --tls-cert/--tls-key when it has them; otherwise nginx
# terminates TLS in front of the http server (noted in the output), and
# without either the https rows are skipped. The client trusts the throwaway
# self-signed certificate through VELA_ASR_CA_FILE.
#
# Environment: BUILD (default build), SERVER (default $BUILD/bin/asr-server),
# SESSIONS (20), SPEED (audio streamed at this multiple of real time, default 2),
# RTTS ("0 50").
set -euo pipefail
VELA_PROG=netbench
. "$(cd "$(dirname "$0")" && pwd)/lib/vela.sh"

ROOT=$VELA_ROOT
BUILD=${BUILD:-$ROOT/build}
SESSIONS=${SESSIONS:-20}
SPEED=${SPEED:-2}
RTTS=${RTTS:-"0 50"}
SERVER=${SERVER:-$BUILD/bin/asr-server}
CLIENT=$BUILD/bin/netbench_client

if [[ ! -x $SERVER || ! -x $CLIENT ]]; then
    vela_build "$BUILD" asr-server netbench_client
fi

vela_workdir netbench
WORK=$VELA_WORK

# One client address opens every session here (100 at once for the memory
# figures), and a finished session counts against the server's per-client cap
# until the server drops it: lift the cap where the server has one.
CLIENT_CAP=()
if "$SERVER" --help | grep -q -- --max-sessions-per-client; then CLIENT_CAP=(--max-sessions-per-client 1000); fi

# start_server NAME ARGS...: starts asr-server, sets PORT.
start_server() {
    local name=$1
    shift
    vela_server_start "$WORK/$name" "$SERVER" --port 0 "${CLIENT_CAP[@]}" "$@" || exit 1
    PORT=$VELA_SERVER_PORT
}

# The sentence, 16 kHz (and 8 kHz) 16-bit mono raw PCM.
for rate in 16 8; do
    vela_speech "$WORK/s$rate.raw" ${rate}000 "please call the office tomorrow morning about the meeting"
done
AUDIO="espeak-ng sentence"
[ "$VELA_SPOKEN" = 1 ] || AUDIO="tests/data/vad recording"

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=127.0.0.1 \
    -addext subjectAltName=IP:127.0.0.1 -keyout "$WORK/key.pem" -out "$WORK/cert.pem" 2>/dev/null

start_server echo-http --recognizer echo
ECHO_HTTP=$PORT

# https target: the server itself, or nginx in front of the http server.
HTTPS_NOTE=""
ECHO_HTTPS=""
if "$SERVER" --help | grep -q -- --tls-cert; then
    start_server echo-https --recognizer echo --tls-cert "$WORK/cert.pem" --tls-key "$WORK/key.pem"
    ECHO_HTTPS=$PORT
    HTTPS_NOTE="https: asr-server --tls-cert"
elif command -v nginx >/dev/null; then
    chmod 755 "$WORK"
    NGINX_PORT=$(vela_free_port)
    mkdir -p "$WORK/nginx"
    cat >"$WORK/nginx/nginx.conf" <<EOF
worker_processes 1;
daemon off;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log;
events { worker_connections 1024; }
http {
    access_log off;
    client_body_temp_path $WORK/nginx/body;
    proxy_temp_path $WORK/nginx/proxy;
    client_body_buffer_size 256k;
    keepalive_timeout 60s;
    keepalive_requests 10000;
    upstream asr { server 127.0.0.1:$ECHO_HTTP; }
    server {
        listen 127.0.0.1:$NGINX_PORT ssl;
        ssl_certificate $WORK/cert.pem;
        ssl_certificate_key $WORK/key.pem;
        location / {
            proxy_pass http://asr;
            proxy_http_version 1.1;
            proxy_read_timeout 60s;
        }
    }
}
EOF
    nginx -c "$WORK/nginx/nginx.conf" -p "$WORK/nginx" 2>"$WORK/nginx/start.err" &
    vela_track $!
    vela_wait_port "$NGINX_PORT" $! || true
    ECHO_HTTPS=$NGINX_PORT
    HTTPS_NOTE="https: asr-server has no --tls-cert yet; nginx terminates TLS in front of the echo server"
else
    HTTPS_NOTE="https rows skipped: asr-server has no --tls-cert and nginx is missing"
fi

# row LABEL SCHEME TARGET_PORT RTT_MS SHARE: one row of 20 sessions.
ROWS=$WORK/rows.txt
: >"$ROWS"
row() {
    local label=$1 scheme=$2 target=$3 rtt=$4 share=$5
    local one_way count="$WORK/conns.$RANDOM" out="$WORK/row.$RANDOM"
    one_way=$("$VELA_PYTHON" -c "print($rtt / 2)")
    "$VELA_PYTHON" "$ROOT/scripts/delay_proxy.py" --target "127.0.0.1:$target" --one-way-ms "$one_way" \
        --count-file "$count" >"$out.proxy" 2>"$out.proxy.err" &
    local proxy=$!
    vela_track $proxy
    vela_wait_line "$out.proxy" 'listening on ' $proxy || {
        cat "$out.proxy.err" >&2
        exit 1
    }
    local pport=$VELA_LINE
    VELA_ASR_SERVER_URL="$scheme://127.0.0.1:$pport/asr/v2" VELA_ASR_CONN_SHARE=$share \
        VELA_ASR_CA_FILE="$WORK/cert.pem" \
        "$CLIENT" --file "$WORK/s16.raw" --rate 16 --sessions "$SESSIONS" --speed "$SPEED" \
        --count-file "$count" --log-dir "$out.logs" >"$out" 2>"$out.err" || true
    vela_stop "$proxy"
    echo "$label|$scheme|$rtt|$share|$out" >>"$ROWS"
}

echo "netbench: $SESSIONS sessions per row, $AUDIO at ${SPEED}x real time, 16 kHz, VAD and BV32 off"
echo "$HTTPS_NOTE"
for rtt in $RTTS; do
    for share in 1 0; do
        row echo http "$ECHO_HTTP" "$rtt" "$share"
        [[ -n $ECHO_HTTPS ]] && row echo https "$ECHO_HTTPS" "$rtt" "$share"
    done
done
start_server sphinx-http --decoders 2
SPHINX_HTTP=$PORT
for share in 1 0; do
    row pocketsphinx http "$SPHINX_HTTP" "${RTTS##* }" "$share"
done

"$VELA_PYTHON" - "$ROWS" <<'EOF'
import re, statistics, sys

rows = []
for line in open(sys.argv[1]):
    label, scheme, rtt, share, path = line.strip().split("|")
    sessions = [l for l in open(path) if l.startswith("session ")]
    total = next((l for l in open(path) if l.startswith("total ")), "")
    lat = sorted(float(re.search(r"last_audio_to_final_ms=(\S+)", l).group(1)) for l in sessions
                 if "ok=1" in l)
    conns = [int(re.search(r"connections=(\d+)", l).group(1)) for l in sessions]
    kv = dict(p.split("=") for p in total.split()[1:]) if total else {}
    def pct(p):
        return lat[min(len(lat) - 1, int(round(p * (len(lat) - 1))))] if lat else float("nan")
    rows.append(dict(label=label, scheme=scheme, rtt=int(rtt), share=share == "1", ok=len(lat), n=len(sessions),
                     conns=statistics.mean(conns) if conns else float("nan"), conns_max=max(conns, default=0),
                     med=statistics.median(lat) if lat else float("nan"), p90=pct(0.9),
                     cpu=float(kv.get("cpu_ms_per_request", "nan")), requests=int(kv.get("requests", 0))))

print()
print("%-13s %-6s %4s %6s %6s %10s %9s %9s %9s %8s" % ("recogniser", "scheme", "rtt", "reuse", "ok",
      "conns/ses", "(max)", "med ms", "p90 ms", "cpu ms/req"))
for r in rows:
    print("%-13s %-6s %4d %6s %3d/%-2d %10.1f %9d %9.1f %9.1f %8.3f" % (r["label"], r["scheme"], r["rtt"],
          "on" if r["share"] else "off", r["ok"], r["n"], r["conns"], r["conns_max"], r["med"], r["p90"], r["cpu"]))

def find(label, scheme, rtt, share):
    return next((r for r in rows if r["label"] == label and r["scheme"] == scheme and r["rtt"] == rtt
                 and r["share"] == share), None)

print()
on = [r for r in rows if r["share"]]
worst = max(on, key=lambda r: r["conns_max"])
print("connections per session with reuse: at most %d (%s %s %d ms), mean %.1f; target <= upload threads + 1 "
      "(4 core / 8 max upload threads: 5 / 9)" % (worst["conns_max"], worst["label"], worst["scheme"], worst["rtt"],
                                                   max(r["conns"] for r in on)))
rtts = sorted({r["rtt"] for r in rows})
hi = rtts[-1]
for scheme in ("https", "http"):
    a, b = find("echo", scheme, 0, True), find("echo", scheme, hi, True)
    if a and b and hi > 0:
        d = b["med"] - a["med"]
        print("%s at %d ms: median last audio -> final %.1f ms above 0 ms = %.2f round trips (target <= 2)"
              % (scheme, hi, d, d / hi))
for rtt in rtts:
    a, b = find("echo", "https", rtt, True), find("echo", "https", rtt, False)
    if a and b:
        print("https at %d ms: client CPU per request %.3f ms with reuse, %.3f ms with a handshake per request: "
              "%.1fx lower (target >= 3x)" % (rtt, a["cpu"], b["cpu"], b["cpu"] / a["cpu"] if a["cpu"] else 0))
EOF

# Memory per live instance, against the echo server directly.
echo
for rate in 8 16; do
    VELA_ASR_SERVER_URL="http://127.0.0.1:$ECHO_HTTP/asr/v2" "$CLIENT" --live 100 --rate "$rate" \
        --log-dir "$WORK/live$rate" | grep '^live'
done

# Client CPU per second of streamed audio, unpaced, reuse on.
echo
for vad in 0 1; do
    for bv in 0 1; do
        VELA_ASR_SERVER_URL="http://127.0.0.1:$ECHO_HTTP/asr/v2" "$CLIENT" --file "$WORK/s16.raw" --rate 16 \
            --vad "$vad" --bv "$bv" --sessions 5 --speed 0 --log-dir "$WORK/cpu$vad$bv" |
            sed -n "s/^total .*cpu_ms_per_audio_s=\([0-9.]*\).*/vad=$vad bv32=$bv client_cpu_ms_per_audio_s=\1/p"
    done
done
