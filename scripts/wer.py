#!/usr/bin/env python3
"""Word error rate of PCM sessions against BV32+VAD sessions.

Speaks a fixed set of sentences with several espeak-ng voices into 16 kHz WAV
files, starts the reference server (PocketSphinx with its general en-us
language model, or with --grammar a grammar of exactly these sentences) on a
free loopback port, and streams every file through asr-stream twice, paced in
real time: once as plain PCM (--rate 16) and once with voice detection and
BV32 compression (--rate 16 --vad --bv32); --settings picks others. Prints
per sentence what came back, then for each setting the word error rate
(word-level Levenshtein distance over all sentences), the bytes on the wire
per second of audio and the median time from the last audio to the final
result.

asr-stream talks to the server through a small forwarding proxy in this
script that counts the upload requests: the SDK keeps no byte count of its
own. Two figures are counted: the audio payload (the asr_audio part of each
upload, what the SDK's front end produced) and the whole upload requests
(request line, headers and body). The proxy adds well under a millisecond per
request to the measured times.

Exit status: 0 when the two word error rates are within --limit points
(default 2), 1 when they are not, 2 when the run could not be made.
"""

import argparse
import http.client
import http.server
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading

SENTENCES = [
    "hello world",
    "good morning",
    "what time is it",
    "please call my mother",
    "the weather is nice today",
    "turn off the lights",
    "open the front door",
    "play some music",
    "how far is the airport",
    "set an alarm for seven",
    "i would like a cup of coffee",
    "where is the nearest station",
    "send a message to john",
    "the meeting starts at noon",
    "read me the news",
    "book a table for two",
    "what is the capital of france",
    "remind me to buy milk",
    "the train is late again",
    "call me back tomorrow",
    "show me the map",
    "it is going to rain",
    "thank you very much",
    "stop the music now",
    "turn up the volume",
    "what is the weather like tomorrow",
    "call the office please",
    "i need a taxi",
    "how old is the president",
    "find a good restaurant nearby",
    "the children are playing outside",
    "my phone battery is low",
    "can you help me with this",
    "we are going home now",
    "the store closes at nine",
    "please repeat that",
    "where did you park the car",
    "the book is on the table",
    "i will see you later",
    "how much does it cost",
    "the dog is sleeping",
    "open the window",
    "what day is it today",
    "she likes green tea",
    "close the garage door",
    "the flight was cancelled",
    "let me know when you arrive",
    "this is a good idea",
]
VOICES = ["en-us", "en", "en-us+f3", "en-us+m3", "en+f2", "en-us+m7"]
SETTINGS = {
    "pcm": ["--rate", "16"],
    "pcm+vad": ["--rate", "16", "--vad"],
    "bv32": ["--rate", "16", "--bv32"],
    "bv32+vad": ["--rate", "16", "--vad", "--bv32"],
}


class Counter:
    """Bytes of the upload requests seen since the last take()."""

    def __init__(self):
        self.lock = threading.Lock()
        self.payload = 0
        self.requests = 0

    def add(self, payload, request):
        with self.lock:
            self.payload += payload
            self.requests += request

    def take(self):
        with self.lock:
            out = (self.payload, self.requests)
            self.payload = self.requests = 0
            return out


def audio_part_size(content_type, body):
    """Size of the asr_audio part of a multipart/form-data body, or None."""
    m = re.search(r'boundary="?([^";]+)"?', content_type or "")
    if not m:
        return None
    for part in body.split(b"--" + m.group(1).encode()):
        head, sep, data = part.partition(b"\r\n\r\n")
        if sep and b'name="asr_audio"' in head:
            return len(data) - 2 if data.endswith(b"\r\n") else len(data)
    return None


def start_proxy(upstream_port, counter):
    """A forwarding HTTP proxy on a free loopback port; returns the server."""

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"  # answers "Expect: 100-continue" at once

        def forward(self):
            length = int(self.headers.get("Content-Length", 0))
            body = self.rfile.read(length) if length else b""
            if self.command == "POST":
                payload = audio_part_size(self.headers.get("Content-Type"), body)
                if payload is not None:
                    request = len(self.requestline) + 2 + len(bytes(self.headers)) + len(body)
                    counter.add(payload, request)
            headers = {k: v for k, v in self.headers.items() if k.lower() not in ("host", "expect", "connection")}
            conn = http.client.HTTPConnection("127.0.0.1", upstream_port, timeout=120)
            conn.request(self.command, self.path, body=body if self.command == "POST" else None, headers=headers)
            reply = conn.getresponse()
            data = reply.read()
            conn.close()
            self.send_response(reply.status)
            self.send_header("Content-Type", reply.getheader("Content-Type", "application/json"))
            self.send_header("Content-Length", str(len(data)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(data)
            self.close_connection = True

        do_GET = forward
        do_POST = forward

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def words(text):
    return re.sub(r"[^a-z' ]", " ", text.lower()).split()


def edit_distance(ref, hyp):
    """Word-level Levenshtein distance: substitutions, deletions, insertions."""
    row = list(range(len(hyp) + 1))
    for i, r in enumerate(ref, 1):
        prev, row[0] = row[0], i
        for j, h in enumerate(hyp, 1):
            prev, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, prev + (r != h))
    return row[len(hyp)]


def speak(text, voice, path, work, noise_db=None):
    """Speaks `text` into a 16 kHz WAV file `path`; returns its duration in seconds."""
    raw = os.path.join(work, "say.wav")
    clean = os.path.join(work, "clean.wav") if noise_db is not None else path
    subprocess.run(["espeak-ng", "-v", voice, "-s", "140", "-w", raw, text], check=True)
    # Without dither, so that every run streams the same audio.
    subprocess.run(["sox", "-D", raw, "-r", "16000", "-c", "1", "-b", "16", clean, "pad", "0.3", "0.5"], check=True)
    out = subprocess.run(["soxi", "-D", clean], check=True, capture_output=True, text=True)
    seconds = float(out.stdout)
    if noise_db is not None:
        # A noise floor as any microphone has; repeatable (-R: fixed seed).
        noise = os.path.join(work, "noise.wav")
        subprocess.run(["sox", "-R", "-n", "-r", "16000", "-c", "1", "-b", "16", noise, "synth", str(seconds),
                        "whitenoise", "gain", str(noise_db)], check=True)
        subprocess.run(["sox", "-R", "-D", "-m", "-v", "1", clean, "-v", "1", noise, "-b", "16", path], check=True)
    return seconds


def start_server(binary, args, work):
    log = open(os.path.join(work, "server.err"), "w")
    proc = subprocess.Popen([binary, "--host", "127.0.0.1", "--port", "0"] + args, stdout=subprocess.PIPE,
                            stderr=log, text=True)
    line = proc.stdout.readline()
    m = re.match(r"listening on http://127\.0\.0\.1:(\d+)(/\S*)", line)
    if not m:
        proc.terminate()
        proc.wait()
        sys.exit("wer: the server did not start; see " + log.name)
    return proc, int(m.group(1)), m.group(2)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"),
                        help="build directory with bin/asr-stream and bin/asr-server (default: build/)")
    parser.add_argument("--grammar", action="store_true",
                        help="recognise with a grammar of exactly these sentences instead of the language model")
    parser.add_argument("--noise", type=float, metavar="DB",
                        help="add white noise at DB (negative) relative to full scale to every sentence; "
                        "PocketSphinx follows perfectly clean synthetic speech poorly")
    parser.add_argument("--sentences", type=int, default=len(SENTENCES), help="use the first N sentences")
    parser.add_argument("--settings", default="pcm,bv32+vad",
                        help="comma-separated settings to compare, of %s; the WER difference is taken between "
                        "the first two (default: pcm,bv32+vad)" % ", ".join(SETTINGS))
    parser.add_argument("--limit", type=float, default=2.0, help="largest WER difference in points (default 2)")
    parser.add_argument("--server-option", action="append", default=[], metavar="OPT",
                        help="pass OPT to asr-server (repeat for each word, e.g. --server-option=--decoders --server-option=2)")
    parser.add_argument("--keep", action="store_true", help="keep the working directory")
    opts = parser.parse_args()

    stream_bin = os.path.join(opts.build, "bin", "asr-stream")
    server_bin = os.path.join(opts.build, "bin", "asr-server")
    for tool in ("espeak-ng", "sox", "soxi"):
        if shutil.which(tool) is None:
            sys.exit("wer: %s is missing (scripts/install-deps.sh installs it)" % tool)
    for binary in (stream_bin, server_bin):
        if not os.access(binary, os.X_OK):
            sys.exit("wer: %s is missing; build it first" % binary)

    modes = [(name, SETTINGS[name]) for name in opts.settings.split(",") if name in SETTINGS]
    if len(modes) != len(opts.settings.split(",")) or not modes:
        sys.exit("wer: --settings takes names of %s" % ", ".join(SETTINGS))
    sentences = SENTENCES[: opts.sentences]
    work = tempfile.mkdtemp(prefix="vela-wer.")
    server_args = (["--words", "|".join(sentences)] if opts.grammar else []) + opts.server_option
    # The sentences are synthetic: clean speech needs more of the shaped noise
    # than the recordings the server's default suits.
    if not any(o.startswith("--shaped-noise-db") for o in opts.server_option):
        server_args += ["--shaped-noise-db", "15"]
    server, port, path = start_server(server_bin, server_args, work)
    counter = Counter()
    proxy = start_proxy(port, counter)
    url = "http://127.0.0.1:%d%s" % (proxy.server_address[1], path)
    results = {name: {"errors": 0, "words": 0, "payload": 0, "requests": 0, "latency": [], "failed": 0}
               for name, _ in modes}
    seconds = 0.0
    try:
        print("model: %s; %d sentences, voices %s; %s" % (
            "grammar of the sentences" if opts.grammar else "general en-us language model", len(sentences),
            ", ".join(VOICES), "clean" if opts.noise is None else "white noise at %g dBFS" % opts.noise))
        for n, text in enumerate(sentences):
            voice = VOICES[n % len(VOICES)]
            wav = os.path.join(work, "s%02d.wav" % n)
            seconds += speak(text, voice, wav, work, opts.noise)
            line = "%-9s %-30s" % (voice, text)
            for name, args in modes:
                counter.take()
                run = subprocess.run([stream_bin] + args + ["--server", url, wav], cwd=work, capture_output=True,
                                     text=True)
                payload, requests = counter.take()
                final = re.search(r"^final: (.*)$", run.stdout, re.M)
                latency = re.search(r"^latency: (\d+) ms", run.stdout, re.M)
                r = results[name]
                hyp = final.group(1) if final and run.returncode == 0 else ""
                if run.returncode != 0:
                    r["failed"] += 1
                    hyp = "<failed: %s>" % run.stderr.strip()
                r["errors"] += edit_distance(words(text), words(hyp))
                r["words"] += len(words(text))
                r["payload"] += payload
                r["requests"] += requests
                if latency:
                    r["latency"].append(int(latency.group(1)))
                line += " | %s: %s" % (name, hyp)
            print(line, flush=True)
    finally:
        proxy.shutdown()
        server.terminate()
        server.wait()
        if opts.keep:
            print("wer: working directory kept: " + work)
        else:
            shutil.rmtree(work, ignore_errors=True)

    print("\naudio: %.1f s in %d files at 16 kHz" % (seconds, len(sentences)))
    print("%-9s %7s %8s %13s %13s %12s %7s" % ("setting", "WER", "errors", "payload B/s", "uploads B/s",
                                            "median ms", "failed"))
    wer = {}
    for name, _ in modes:
        r = results[name]
        wer[name] = 100.0 * r["errors"] / max(r["words"], 1)
        median = statistics.median(r["latency"]) if r["latency"] else float("nan")
        print("%-9s %6.1f%% %4d/%-3d %13.0f %13.0f %12.0f %7d" % (
            name, wer[name], r["errors"], r["words"], r["payload"] / seconds, r["requests"] / seconds, median,
            r["failed"]))
    if len(modes) < 2:
        return 0
    diff = abs(wer[modes[0][0]] - wer[modes[1][0]])
    print("WER difference %s against %s: %.1f points (limit %.1f)" % (modes[0][0], modes[1][0], diff, opts.limit))
    return 0 if diff <= opts.limit else 1


if __name__ == "__main__":
    sys.exit(main())
