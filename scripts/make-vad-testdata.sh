#!/usr/bin/env bash
# Makes the short speech files of the front-end tests (raw 16-bit little-endian
# mono PCM) with espeak-ng and sox. The output is committed under
# tests/data/vad/; rerun only to change it.
#   speech_8k.pcm / speech_16k.pcm     0.6 s silence, "seven three one", 1.0 s silence
#   speech_noise_8k.pcm                the same words over low white noise
#   two_words_8k.pcm                  "hello", 1.2 s pause, "world"
set -euo pipefail
cd "$(dirname "$0")/.."
out=tests/data/vad
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

say() {  # text wav
    espeak-ng -v en -s 150 -a 120 -w "$2" "$1"
}
raw() {  # in.wav rate out.pcm [effects...]
    local in=$1 rate=$2 dst=$3
    shift 3
    sox -R -D "$in" -r "$rate" -c 1 -b 16 -e signed-integer -L -t raw "$dst" "$@"
}

say "seven three one" "$tmp/words.wav"
raw "$tmp/words.wav" 8000 "$out/speech_8k.pcm" pad 0.6 1.0
raw "$tmp/words.wav" 16000 "$out/speech_16k.pcm" pad 0.6 1.0

sox -R -D "$tmp/words.wav" -r 8000 -c 1 -b 16 "$tmp/words8.wav" pad 0.6 1.0
len=$(soxi -D "$tmp/words8.wav")
sox -R -D -n -r 8000 -c 1 -b 16 "$tmp/noise.wav" synth "$len" whitenoise vol 0.02
sox -R -D -m "$tmp/words8.wav" "$tmp/noise.wav" -c 1 -b 16 -e signed-integer -L -t raw "$out/speech_noise_8k.pcm"

say "hello" "$tmp/hello.wav"
say "world" "$tmp/world.wav"
sox -R -D "$tmp/hello.wav" "$tmp/hello_p.wav" pad 0.6 1.2
sox -R -D "$tmp/world.wav" "$tmp/world_p.wav" pad 0 1.0
sox -R -D "$tmp/hello_p.wav" "$tmp/world_p.wav" "$tmp/two.wav"
raw "$tmp/two.wav" 8000 "$out/two_words_8k.pcm"

ls -l "$out"
