#!/usr/bin/env python3
"""Transcribes a 16-bit mono WAV file (8 or 16 kHz) with the recognition SDK.

usage: transcribe.py [--words] FILE.wav [SERVER_URL]

--words also prints one line per word of the final text, "word: START-END CONF
WORD" (ms from the start of the audio, confidence 0 to 1).
"""
import sys

import vela_asr


def main():
    args = sys.argv[1:]
    words = args[:1] == ["--words"]
    if words:
        args = args[1:]
    if not args:
        sys.exit(__doc__.strip())
    server = args[1] if len(args) > 1 else None
    try:
        with vela_asr.Client(server_url=server, log_dir="transcribe-logs") as client:
            result = client.transcribe_file(args[0])
    except vela_asr.Error as e:
        sys.exit("transcribe.py: %s" % e)
    print("final:", result.text)
    if words and not result.words:
        print("word: none, the server sent no word timings")
    for w in result.words if words else []:
        print("word: %d-%d %.2f %s" % (w.start_ms, w.end_ms, w.conf, w.word))


if __name__ == "__main__":
    main()
