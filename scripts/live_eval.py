#!/usr/bin/env python3
"""How live recognition feels on recorded speech, streamed through the SDK.

    scripts/live_eval.py CORPUS... [-- ASR_SERVER_ARGS...]

Starts asr-server (from --build, default $VELA_BUILD_DIR or build/) on a free
loopback port with the arguments after "--" (e.g. -- --profile fast), then
streams every utterance of the corpus through the Python module vela_asr
(over libvela-asr.so.1 of the same build), paced in real time in chunks of
--chunk-ms, and measures per utterance:

  onset     where speech begins in the file, found from its energy: 10 ms
            frames, a threshold of the quietest tenth's level plus a third of
            the way to the loudest twentieth (at least 6 dB above the quiet
            level), and the first frame from which 4 of 5 frames are above it.
            When the final result carries word timings, the first word's start
            is shown beside it (column "w-on").
  first     the first non-empty intermediate text after the onset, counted
            two ways: audio pushed by then minus the onset ("first-a", in steps
            of a chunk), and wall time since the chunk holding the onset was
            pushed ("first-w"). When no intermediate text comes, the final
            result stands in (marked "*"): that is when the words appear.
  final     wall time from the push of the last audio to the final result.
  text      the final text; its word errors against the transcript.
  cpu       with one stream at a time, the server's CPU seconds from the
            first push to the final result.

and overall the word error rate (word-level Levenshtein distance, lower
case, punctuation other than apostrophes dropped, "mr" spelt out), first-words
latency median and worst, final latency median and 90th percentile, and the
server's CPU seconds (user + system, from /proc) per second of audio
streamed. A warm-up session per stream (the first file, unpaced) runs before
the measurement so that decoder loading does not count.

A corpus folder holds 16 kHz 16-bit mono WAV files and transcripts.txt, one
"FILE<TAB>words" line per file, optionally grammar.jsgf; a folder without
transcripts.txt stands for its subfolders that have one. Without a folder on
the command line, $VELA_EVAL_CORPUS names one. --grammar recognises each set
with its own grammar.jsgf (one server per set; sets without one are left out).

--parallel N streams N utterances at once (load); --json prints the figures
as one JSON object instead of the table. The machine's load average is
printed with the figures: wall latencies depend on it, CPU seconds much less.
Exit status: 0 when every utterance got a final result, 1 when some did not,
2 when the run could not be made.
"""

import argparse
import concurrent.futures
import json
import math
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import wave

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FRAME = 160  # 10 ms at 16 kHz


class Utterance:
    def __init__(self, set_name, path, reference):
        self.set, self.path, self.reference = set_name, path, reference
        self.name = os.path.basename(path)
        with wave.open(path, "rb") as w:
            if w.getsampwidth() != 2 or w.getnchannels() != 1 or w.getframerate() != 16000:
                raise ValueError("%s: 16 kHz 16-bit mono WAV is needed" % path)
            self.pcm = w.readframes(w.getnframes())
        self.seconds = len(self.pcm) / 32000.0
        self.onset = speech_onset(self.pcm)


def speech_onset(pcm):
    """Seconds into the audio where speech begins, from frame energies."""
    samples = memoryview(pcm).cast("h")
    levels = []
    for at in range(0, len(samples) - FRAME + 1, FRAME):
        frame = samples[at:at + FRAME]
        levels.append(10 * math.log10(sum(x * x for x in frame) / FRAME + 1.0))
    if not levels:
        return 0.0
    ordered = sorted(levels)
    quiet = ordered[len(ordered) // 10]
    loud = ordered[min(len(ordered) - 1, len(ordered) * 95 // 100)]
    threshold = quiet + max(6.0, (loud - quiet) / 3)
    for i in range(len(levels)):
        if sum(1 for x in levels[i:i + 5] if x > threshold) >= 4:
            return i * FRAME / 16000.0
    return 0.0


def read_sets(folders):
    """(set folder, [Utterance]) per set, in the order named / by name."""
    sets = []
    for folder in folders:
        if os.path.isfile(os.path.join(folder, "transcripts.txt")):
            dirs = [folder]
        else:
            dirs = sorted(os.path.join(folder, d) for d in os.listdir(folder)
                          if os.path.isfile(os.path.join(folder, d, "transcripts.txt")))
            if not dirs:
                raise ValueError("%s has no transcripts.txt, nor subfolders with one" % folder)
        for d in dirs:
            utterances = []
            with open(os.path.join(d, "transcripts.txt"), encoding="utf-8") as f:
                for line in f:
                    line = line.rstrip("\n")
                    if not line or line.startswith("#") or "\t" not in line:
                        continue
                    name, text = line.split("\t", 1)
                    utterances.append(Utterance(os.path.basename(os.path.normpath(d)), os.path.join(d, name), text))
            sets.append((d, utterances))
    return sets


def words(text):
    text = re.sub(r"\(\d+\)", "", text.lower())
    return ["mister" if w == "mr" else w for w in re.sub(r"[^a-z0-9']+", " ", text).split()]


def edit_distance(a, b):
    row = list(range(len(b) + 1))
    for i in range(1, len(a) + 1):
        diagonal, row[0] = row[0], i
        for j in range(1, len(b) + 1):
            up = row[j]
            row[j] = min(row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1]))
            diagonal = up
    return row[len(b)]


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")  # utime, stime


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, math.ceil(p / 100 * len(ordered)) - 1))]


class Server:
    """asr-server on a free loopback port, stopped on exit."""

    def __init__(self, binary, args, log_path):
        self.log = open(log_path, "wb")
        self.proc = subprocess.Popen([binary, "--host", "127.0.0.1", "--port", "0"] + args,
                                     stdout=subprocess.PIPE, stderr=self.log)
        line = self.proc.stdout.readline().decode(errors="replace").strip()
        if not line.startswith("listening on "):
            self.stop()
            with open(log_path, errors="replace") as f:
                said = f.read().strip().splitlines()[-3:]
            raise RuntimeError("asr-server did not start: %s" % " / ".join(said or [line or "no output"]))
        self.url = line.split()[-1]
        # Keep reading its standard output so that it never blocks on a full pipe.
        threading.Thread(target=self.proc.stdout.read, daemon=True).start()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


def stream(vela_asr, client, u, chunk_ms, paced=True, server_pid=None):
    """Streams one utterance; returns its measurements. With server_pid (one
    stream at a time) the server's CPU seconds from the first push to the
    final result count as the utterance's."""
    cpu_before = cpu_seconds(server_pid) if server_pid else None
    chunk = 32 * chunk_ms  # bytes of 16 kHz 16-bit audio
    pushed = [0]  # bytes pushed so far, read by the result reader
    push_times = []
    first = {}
    final = {}
    session = client.session(16)

    def reader():
        try:
            for r in session.results():
                now = time.monotonic()
                if r.kind == vela_asr.PARTIAL and r.text.strip() and "t" not in first and \
                        pushed[0] / 32000.0 > u.onset:
                    first.update(t=now, audio=pushed[0] / 32000.0)
                elif r.kind == vela_asr.FINAL:
                    final.update(t=now)
        except vela_asr.Error as e:
            final.update(error=str(e))

    thread = threading.Thread(target=reader)
    thread.start()
    result, error = None, None
    try:
        start = time.monotonic()
        for at in range(0, len(u.pcm), chunk):
            if paced:
                delay = start + at / 32000.0 - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
            session.push(u.pcm[at:at + chunk])
            push_times.append(time.monotonic())
            pushed[0] = min(len(u.pcm), at + chunk)
        last = push_times[-1]
        try:
            result = session.finish(60000)
        except vela_asr.Error as e:
            error = str(e)
        done = time.monotonic()
    finally:
        thread.join(5)
        session.close()
    if result is None:
        return {"name": u.name, "set": u.set, "seconds": round(u.seconds, 3),
                "error": error or final.get("error", "no final result")}
    final_t = final.get("t", done)
    onset_push = push_times[min(len(push_times) - 1, int(u.onset * 32000) // chunk)]
    if "t" in first:
        first_audio, first_wall, from_final = first["audio"] - u.onset, first["t"] - onset_push, False
    else:
        first_audio, first_wall, from_final = u.seconds - u.onset, final_t - onset_push, True
    ref, hyp = words(u.reference), words(result.text)
    return {
        "name": u.name, "set": u.set, "seconds": round(u.seconds, 3), "onset_s": round(u.onset, 3),
        "words_onset_s": round(result.words[0].start_ms / 1000.0, 3) if result.words else None,
        "first_audio_ms": round(first_audio * 1000), "first_wall_ms": round(first_wall * 1000),
        "first_from_final": from_final, "final_ms": round((final_t - last) * 1000),
        "text": result.text, "reference": u.reference, "errors": edit_distance(ref, hyp), "ref_words": len(ref),
        "cpu_s": round(cpu_seconds(server_pid) - cpu_before, 2) if server_pid else None,
    }


def run_set(vela_asr, server, utterances, args):
    client = vela_asr.Client(server_url=server.url, log_dir=args.log_dir)
    try:
        with concurrent.futures.ThreadPoolExecutor(args.parallel) as pool:
            # Warm-up: the server loads a decoder per concurrent stream on first use.
            list(pool.map(lambda _: stream(vela_asr, client, utterances[0], args.chunk_ms, paced=False),
                          range(args.parallel)))
            before = cpu_seconds(server.proc.pid)
            pid = server.proc.pid if args.parallel == 1 else None
            rows = list(pool.map(lambda u: stream(vela_asr, client, u, args.chunk_ms, server_pid=pid), utterances))
            cpu = cpu_seconds(server.proc.pid) - before
    finally:
        client.close()
    return rows, cpu


def summarise(rows, cpu, audio_s):
    ok = [r for r in rows if "error" not in r]
    errors = sum(r["errors"] for r in ok)
    ref_words = sum(r["ref_words"] for r in ok)
    out = {
        "utterances": len(rows), "failed": len(rows) - len(ok), "audio_s": round(audio_s, 1),
        "wer": round(100.0 * errors / ref_words, 1) if ref_words else None, "word_errors": errors,
        "ref_words": ref_words, "cpu_s": round(cpu, 2), "cpu_per_audio_s": round(cpu / audio_s, 3) if audio_s else None,
        "load": [round(x, 2) for x in os.getloadavg()],
    }
    if ok:
        for key in ("first_audio_ms", "first_wall_ms"):
            values = [r[key] for r in ok]
            out[key] = {"median": statistics.median(values), "worst": max(values)}
        out["first_from_final"] = sum(r["first_from_final"] for r in ok)
        finals = [r["final_ms"] for r in ok]
        out["final_ms"] = {"median": statistics.median(finals), "p90": percentile(finals, 90), "worst": max(finals)}
    return out


def print_table(rows, summary, server_args):
    print("%-26s %5s %5s %5s %7s %7s %6s %5s %5s  %s" %
          ("utterance", "len", "onset", "w-on", "first-a", "first-w", "final", "cpu", "err", "text"))
    for r in rows:
        if "error" in r:
            print("%-26s  failed: %s" % (r["name"], r["error"]))
            continue
        won = "%5.2f" % r["words_onset_s"] if r["words_onset_s"] is not None else "    -"
        mark = "*" if r["first_from_final"] else " "
        cpu = "%5.2f" % r["cpu_s"] if r["cpu_s"] is not None else "    -"
        print("%-26s %5.1f %5.2f %s %6d%s %6d%s %6d %s %2d/%-2d  %s" %
              (r["name"], r["seconds"], r["onset_s"], won, r["first_audio_ms"], mark, r["first_wall_ms"], mark,
               r["final_ms"], cpu, r["errors"], r["ref_words"], r["text"]))
    s = summary
    print()
    print("server args: %s" % (" ".join(server_args) or "(none)"))
    print("utterances %d (%d failed), audio %.1f s, load %s" %
          (s["utterances"], s["failed"], s["audio_s"], " ".join("%.2f" % x for x in s["load"])))
    if s["wer"] is not None:
        print("WER %.1f%% (%d/%d words)" % (s["wer"], s["word_errors"], s["ref_words"]))
    if "final_ms" in s:
        print("first words after onset: audio median %d ms, worst %d ms; wall median %d ms, worst %d ms%s" %
              (s["first_audio_ms"]["median"], s["first_audio_ms"]["worst"], s["first_wall_ms"]["median"],
               s["first_wall_ms"]["worst"],
               " (%d from the final)" % s["first_from_final"] if s["first_from_final"] else ""))
        print("final after last audio: median %d ms, p90 %d ms, worst %d ms" %
              (s["final_ms"]["median"], s["final_ms"]["p90"], s["final_ms"]["worst"]))
    print("server CPU %.2f s, %.3f s per audio second" % (s["cpu_s"], s["cpu_per_audio_s"] or 0))


def main():
    argv = sys.argv[1:]
    server_args = []
    if "--" in argv:
        cut = argv.index("--")
        argv, server_args = argv[:cut], argv[cut + 1:]
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     usage="%(prog)s [options] [CORPUS...] [-- ASR_SERVER_ARGS...]")
    parser.add_argument("corpus", nargs="*", help="corpus folders (default $VELA_EVAL_CORPUS)")
    parser.add_argument("--build", default=os.environ.get("VELA_BUILD_DIR", os.path.join(ROOT, "build")),
                        help="build folder with bin/asr-server and lib/libvela-asr.so.1")
    parser.add_argument("--grammar", action="store_true", help="recognise each set with its grammar.jsgf")
    parser.add_argument("--parallel", type=int, default=1, help="utterances streamed at once (default 1)")
    parser.add_argument("--chunk-ms", type=int, default=100, help="audio per push (default 100)")
    parser.add_argument("--json", action="store_true", help="print the figures as JSON")
    args = parser.parse_args(argv)
    folders = args.corpus or ([os.environ["VELA_EVAL_CORPUS"]] if os.environ.get("VELA_EVAL_CORPUS") else [])
    if not folders:
        parser.error("name a corpus folder or set VELA_EVAL_CORPUS")
    if args.parallel < 1 or args.chunk_ms < 10:
        parser.error("--parallel is at least 1 and --chunk-ms at least 10")
    binary = os.path.join(args.build, "bin", "asr-server")
    library = os.path.join(args.build, "lib", "libvela-asr.so.1")
    for path in (binary, library):
        if not os.path.exists(path):
            print("live_eval: %s missing (cmake --build %s --target asr-server vela-asr)" % (path, args.build),
                  file=sys.stderr)
            return 2
    try:
        sets = read_sets(folders)
    except (OSError, ValueError, wave.Error) as e:
        print("live_eval: %s" % e, file=sys.stderr)
        return 2
    if args.grammar:
        sets = [(d, us) for d, us in sets if os.path.isfile(os.path.join(d, "grammar.jsgf"))]
    sets = [(d, us) for d, us in sets if us]
    if not sets:
        print("live_eval: no utterances%s" % (" in a set with grammar.jsgf" if args.grammar else ""), file=sys.stderr)
        return 2

    os.environ["VELA_ASR_LIBRARY"] = os.path.abspath(library)
    sys.path.insert(0, os.path.join(ROOT, "python"))
    import vela_asr

    work = tempfile.mkdtemp(prefix="live-eval.")
    args.log_dir = os.path.join(work, "sdk-logs")
    os.mkdir(args.log_dir)
    rows, cpu = [], 0.0
    try:
        # One server for everything, or one per set with its grammar.
        groups = [(d, us) for d, us in sets] if args.grammar else [(None, [u for _, us in sets for u in us])]
        for d, utterances in groups:
            extra = ["--jsgf", os.path.join(d, "grammar.jsgf")] if d else []
            server = Server(binary, server_args + extra, os.path.join(work, "server.log"))
            try:
                got, used = run_set(vela_asr, server, utterances, args)
            finally:
                server.stop()
            rows += got
            cpu += used
    except (RuntimeError, vela_asr.Error) as e:
        print("live_eval: %s" % e, file=sys.stderr)
        return 2
    finally:
        shutil.rmtree(work, ignore_errors=True)
    audio_s = sum(r["seconds"] for r in rows)
    summary = summarise(rows, cpu, audio_s)
    summary["server_args"] = server_args
    summary["grammar"] = args.grammar
    summary["parallel"] = args.parallel
    if args.json:
        json.dump({"summary": summary, "utterances": rows}, sys.stdout, indent=1)
        print()
    else:
        print_table(rows, summary, server_args + (["--jsgf <set>/grammar.jsgf"] if args.grammar else []))
    return 1 if summary["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
