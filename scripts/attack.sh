#!/usr/bin/env bash
# Runs hostile HTTP clients against asr-server on loopback, each against a fresh
# server (echo recogniser, default limits) while normal sessions from another
# address run beside it, and prints per attack: the answers, the time to the
# first refusal, the normal sessions (1 s of audio each, in real time) finished
# and failed meanwhile with the longest of them and the longest time from a
# session's last audio to its final result, the server's peak RSS (VmHWM) before
# and after, and how long the server took to stop on SIGTERM. Every attack is
# bounded in count and time; see scripts/attack.py for each. A figure, not a test.
#
#   scripts/attack.sh [path/to/asr-server] [extra server options...]
#
# The default server is build/bin/asr-server (built if missing).
set -euo pipefail
VELA_PROG=attack
. "$(cd "$(dirname "$0")" && pwd)/lib/vela.sh"
cd "$VELA_ROOT"

server=${1:-build/bin/asr-server}
shift || true
if [ ! -x "$server" ]; then
    vela_build build asr-server
fi

exec "$VELA_PYTHON" scripts/attack.py "$server" "$@"
