#!/usr/bin/env bash
# Runs the whole chain on this machine: builds asrdemo, asr-stream and the
# reference recognition server if needed, speaks a few sample sentences into
# files, starts the server on 127.0.0.1 on a free port (listening for a handful
# of phrases, see VELA_DEMO_GRAMMAR), and streams the files through asrdemo,
# which prints intermediate and final results. Then asr-stream sends one
# sentence at 16 kHz with voice detection and BV32 compression, the setting
# most applications use. Stops the server at the end.
#
# Environment:
#   VELA_BUILD_DIR         build directory (default: build/)
#   VELA_DEMO_RECOGNIZER   recognizer of the reference server: pocketsphinx
#                          (default) or echo
#   VELA_DEMO_GRAMMAR      1 (default): PocketSphinx recognises only a few
#                          phrases, the spoken sentences among them; 0: its
#                          general language model, which follows synthetic
#                          speech poorly
#   VELA_DEMO_TIMEOUT      seconds to wait for all results (default 120)
#   VELA_DEMO_KEEP=1       keep the working directory (list.txt, audio, logs)
set -euo pipefail
VELA_PROG=demo
. "$(cd "$(dirname "$0")" && pwd)/lib/vela.sh"
root=$VELA_ROOT
build=${VELA_BUILD_DIR:-$root/build}
recognizer=${VELA_DEMO_RECOGNIZER:-pocketsphinx}
use_grammar=${VELA_DEMO_GRAMMAR:-1}
timeout_s=${VELA_DEMO_TIMEOUT:-120}

vela_build "$build" asrdemo asr-stream asr-server

vela_workdir vela-demo "${VELA_DEMO_KEEP:-0}"
work=$VELA_WORK
feed_fd=
# shellcheck disable=SC2016  # expanded when the script exits
vela_at_exit 'if [ -n "$feed_fd" ]; then exec {feed_fd}>&-; fi'

# ---------------------------------------------------------------- audio
# 8 kHz, 16-bit, mono, raw PCM: what asrdemo sends. The American voice in its
# f2 variant at a moderate pace, with silence around it, is the one that the
# 16 kHz acoustic model follows best once the audio has lost its upper band.
sentences=("hello world" "good morning" "what time is it")
voice=(-v en-us+f2 -s 140)
if vela_can_speak; then
    spoken=1
    n=0
    for text in "${sentences[@]}"; do
        n=$((n + 1))
        vela_speak --pad 0.3 0.5 "$work/sample$n.pcm" 8000 "$text" "${voice[@]}"
        echo "sample$n.pcm" >>"$work/list.txt"
    done
    # The first sentence once more at 16 kHz for asr-stream.
    compressed=$work/compressed.wav
    vela_speak --pad 0.3 0.5 "$compressed" 16000 "${sentences[0]}" "${voice[@]}"
else
    echo "demo: espeak-ng or sox missing; using the bundled recordings"
    spoken=0
    for f in speech_8k.pcm two_words_8k.pcm; do
        cp "$root/tests/data/vad/$f" "$work/$f"
        echo "$f" >>"$work/list.txt"
    done
    compressed=$root/tests/data/vad/speech_16k.pcm
fi
files=$(wc -l <"$work/list.txt")

# --------------------------------------------------------------- server
# The grammar holds the spoken sentences and phrases that share words with
# them, so that it does not admit only one answer. The bundled recordings say
# other things: they get the general language model.
server_args=(--host 127.0.0.1 --port 0 --recognizer "$recognizer")
if [ "$recognizer" = pocketsphinx ] && [ "$use_grammar" = 1 ] && [ "$spoken" = 1 ]; then
    phrases=("${sentences[@]}" "hello there" "good night" "what day is it" "call home" "thank you")
    words=$(IFS='|' && echo "${phrases[*]}")
    server_args+=(--words "$words")
    echo "demo: starting the reference server ($recognizer, phrases: $words)"
else
    echo "demo: starting the reference server ($recognizer)"
fi
# Speech from espeak-ng is clean: it needs more of the shaped noise than the
# recordings the server's default suits.
[ "$recognizer" != pocketsphinx ] || [ "$spoken" != 1 ] || server_args+=(--shaped-noise-db 15)
vela_server_start "$work/server" "$build/bin/asr-server" "${server_args[@]}" || exit 1
url=$VELA_SERVER_URL
echo "demo: server at $url"

# ----------------------------------------------------------------- demo
# asrdemo waits for a character on standard input at the end; it gets one
# once every file's session has printed its final result or an error (or
# after the time-out).
mkfifo "$work/stdin"
(cd "$work" && VELA_ASR_SERVER_URL=$url "$build/bin/asrdemo" <"$work/stdin" | tee "$work/demo.out") &
demo_pid=$!
exec {feed_fd}>"$work/stdin"
deadline=$((SECONDS + timeout_s))
while kill -0 "$demo_pid" 2>/dev/null && [ $SECONDS -lt $deadline ]; do
    ended=$(grep -c -e '^最后结果asr:' -e '^未识别asr:' -e '^sdk inst ' "$work/demo.out" 2>/dev/null || true)
    if [ "${ended:-0}" -ge "$files" ]; then break; fi
    sleep 0.2
done
echo >&"$feed_fd"
exec {feed_fd}>&-
feed_fd=
wait "$demo_pid"

# ----------------------------------------------- compressed, 16 kHz, VAD
echo "demo: asr-stream --rate 16 --vad --bv32 $(basename "$compressed")"
(cd "$work" && "$build/bin/asr-stream" --rate 16 --vad --bv32 --server "$url" "$compressed")
echo "demo: done"
