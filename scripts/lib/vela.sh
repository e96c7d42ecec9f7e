# shellcheck shell=bash
# shellcheck disable=SC2034  # VELA_SERVER_PORT, VELA_SPOKEN and the like are for the caller
# The plumbing the scripts share; sourced, never run:
#
#   VELA_PROG=name
#   . "$(cd "$(dirname "$0")" && pwd)/lib/vela.sh"
#
# Sets VELA_ROOT (the folder holding scripts/, deploy/ and wire/: the repository,
# or the installed data folder) and VELA_PYTHON, and traps EXIT, INT and TERM:
# on the way out it runs the vela_at_exit commands (last first), stops every
# process started by vela_server_start or given to vela_track, and removes the
# working folder of vela_workdir. Messages start with "$VELA_PROG: ".

VELA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
VELA_PROG=${VELA_PROG:-$(basename "$0")}
# The system's interpreter, where there is one, rather than whatever python3 a
# virtual environment puts first on PATH.
VELA_PYTHON=/usr/bin/python3
[ -x "$VELA_PYTHON" ] || VELA_PYTHON=python3
# Seconds a stopped process gets between SIGTERM and SIGKILL.
VELA_STOP_S=${VELA_STOP_S:-10}
VELA_WORK=
_vela_keep=0
_vela_pids=()
_vela_hooks=()

vela_die() {
    echo "$VELA_PROG: $*" >&2
    exit 2
}

# vela_at_exit COMMAND: runs COMMAND (through eval) when the script exits.
vela_at_exit() { _vela_hooks+=("$1"); }

# vela_track PID...: stops these processes when the script exits.
vela_track() { _vela_pids+=("$@"); }

_vela_untrack() {
    local p kept=()
    for p in "${_vela_pids[@]}"; do [ "$p" = "$1" ] || kept+=("$p"); done
    _vela_pids=("${kept[@]}")
}

# _vela_running PID: the process exists and has not ended (a child that ended
# stays a zombie until it is waited for, and kill -0 still reaches it).
_vela_running() {
    local stat
    { read -r stat <"/proc/$1/stat"; } 2>/dev/null || return 1
    stat=${stat##*) }
    [ "${stat%% *}" != Z ]
}

# vela_stop PID...: SIGTERM to each, up to VELA_STOP_S seconds for all of them
# to end, SIGKILL to those left; waits for the script's own children.
vela_stop() {
    local p i left
    for p; do kill -TERM "$p" 2>/dev/null || true; done
    for ((i = 0; i < VELA_STOP_S * 20; i++)); do
        left=0
        for p; do if _vela_running "$p"; then left=1; fi; done
        [ "$left" = 1 ] || break
        sleep 0.05
    done
    for p; do
        if _vela_running "$p"; then kill -KILL "$p" 2>/dev/null || true; fi
        wait "$p" 2>/dev/null || true
        _vela_untrack "$p"
    done
}

_vela_exit() {
    trap - EXIT INT TERM
    local i
    for ((i = ${#_vela_hooks[@]} - 1; i >= 0; i--)); do eval "${_vela_hooks[i]}" || true; done
    if [ ${#_vela_pids[@]} -gt 0 ]; then vela_stop "${_vela_pids[@]}"; fi
    if [ -n "$VELA_WORK" ]; then
        if [ "$_vela_keep" = 1 ]; then
            echo "$VELA_PROG: kept $VELA_WORK" >&2
        else
            rm -rf "$VELA_WORK"
        fi
    fi
}
trap _vela_exit EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# vela_workdir NAME [KEEP]: makes the folder ${TMPDIR:-/tmp}/NAME.XXXXXX, sets
# VELA_WORK to it; it goes when the script exits unless KEEP is 1.
vela_workdir() {
    VELA_WORK=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
    _vela_keep=${2:-0}
}

# vela_free_port: a TCP port on 127.0.0.1 that nothing listens on right now.
vela_free_port() {
    "$VELA_PYTHON" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# vela_wait_line FILE PREFIX PID: waits up to 30 s, while process PID runs, for
# a line of FILE that starts with PREFIX; sets VELA_LINE to the rest of it.
vela_wait_line() {
    local i ended=0
    for ((i = 0; i < 600; i++)); do
        _vela_running "$3" || ended=1
        if VELA_LINE=$(awk -v p="$2" 'index($0, p) == 1 { print substr($0, length(p) + 1); f = 1; exit }
                                    END { exit !f }' "$1" 2>/dev/null); then
            return 0
        fi
        [ "$ended" = 0 ] || return 1
        sleep 0.05
    done
    return 1
}

# vela_wait_port PORT PID: waits up to 10 s, while process PID runs, for
# 127.0.0.1:PORT to accept a connection.
vela_wait_port() {
    local i
    for ((i = 0; i < 200; i++)); do
        _vela_running "$2" || return 1
        if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
        sleep 0.05
    done
    return 1
}

# vela_server_start LOG PROGRAM ARGS...: starts an asr-server in the background
# with its standard output in LOG.out and its standard error in LOG.err, and
# waits for its "listening on URL" line. Sets VELA_SERVER_PID, VELA_SERVER_URL
# and VELA_SERVER_PORT; the server is stopped when the script exits. A server
# that ends or stays silent is stopped, its standard error shown, and the call
# fails.
vela_server_start() {
    local log=$1 hostport
    shift
    "$@" >"$log.out" 2>"$log.err" &
    VELA_SERVER_PID=$!
    vela_track "$VELA_SERVER_PID"
    if ! vela_wait_line "$log.out" 'listening on ' "$VELA_SERVER_PID"; then
        vela_stop "$VELA_SERVER_PID"
        echo "$VELA_PROG: ${log##*/} did not start:" >&2
        cat "$log.err" >&2
        return 1
    fi
    VELA_SERVER_URL=$VELA_LINE
    hostport=${VELA_SERVER_URL#*://}
    hostport=${hostport%%/*}
    VELA_SERVER_PORT=${hostport##*:}
}

# vela_require BUILD PROGRAM...: each PROGRAM (a path, or a name in BUILD/bin)
# is there, or the script stops saying how to build them.
vela_require() {
    local build=$1 p missing=() names=()
    shift
    for p; do
        [[ $p == */* ]] || p=$build/bin/$p
        [ -x "$p" ] || missing+=("$p")
        names+=("${p##*/}")
    done
    [ ${#missing[@]} -eq 0 ] || vela_die "${missing[*]} missing; build with: cmake --build $build --target ${names[*]}"
}

# vela_build BUILD TARGET...: configures BUILD when it is not yet, and builds
# the targets.
vela_build() {
    local build=$1
    shift
    if [ ! -f "$build/CMakeCache.txt" ]; then
        echo "$VELA_PROG: configuring $build"
        cmake -S "$VELA_ROOT" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    fi
    echo "$VELA_PROG: building $*"
    cmake --build "$build" --target "$@" -j "$(nproc)" >/dev/null
}

# vela_can_speak: espeak-ng and sox are both installed.
vela_can_speak() { command -v espeak-ng >/dev/null && command -v sox >/dev/null; }

# vela_speak [--pad BEFORE AFTER] OUT HZ TEXT [espeak-ng options...]: TEXT
# spoken by espeak-ng as 16-bit mono PCM at HZ in OUT, raw little-endian or,
# when OUT ends in .wav, WAV; --pad adds that many seconds of silence around it.
# Fails when espeak-ng or sox is missing.
vela_speak() {
    local pad=() type=(-e signed-integer -L -t raw)
    if [ "$1" = --pad ]; then
        pad=(pad "$2" "$3")
        shift 3
    fi
    local out=$1 hz=$2 text=$3
    shift 3
    vela_can_speak || return 1
    [[ $out != *.wav ]] || type=(-e signed-integer)
    espeak-ng "$@" -w "$out.say.wav" "$text"
    sox -R -D "$out.say.wav" -r "$hz" -c 1 -b 16 "${type[@]}" "$out" "${pad[@]}"
    rm -f "$out.say.wav"
}

# vela_speech [--pad BEFORE AFTER] OUT HZ TEXT [espeak-ng options...]:
# vela_speak, or without espeak-ng and sox the recording
# tests/data/vad/speech_8k.pcm or speech_16k.pcm copied to OUT. Sets
# VELA_SPOKEN to 1 or 0.
vela_speech() {
    if vela_can_speak; then
        vela_speak "$@"
        VELA_SPOKEN=1
        return
    fi
    [ "$1" != --pad ] || shift 3
    cp "$VELA_ROOT/tests/data/vad/speech_$(($2 / 1000))k.pcm" "$1"
    VELA_SPOKEN=0
}
