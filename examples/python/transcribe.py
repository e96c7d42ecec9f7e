#!/usr/bin/env python3
"""Transcribes a 16-bit mono WAV file (8 or 16 kHz) with the recognition SDK.

usage: transcribe.py FILE.wav [SERVER_URL]
"""
import sys

import vela_asr


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__.strip())
    server = sys.argv[2] if len(sys.argv) > 2 else None
    try:
        with vela_asr.Client(server_url=server, log_dir="transcribe-logs") as client:
            print("final:", client.transcribe_file(sys.argv[1]).text)
    except vela_asr.Error as e:
        sys.exit("transcribe.py: %s" % e)


if __name__ == "__main__":
    main()
