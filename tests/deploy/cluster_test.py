#!/usr/bin/env python3
"""Two echo nodes behind nginx, 20 SDK sessions through the front: every session
finishes with the text of its own audio, both nodes serve, and a node refuses
the sid of another. Exits 77 when nginx is not installed."""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request

SESSIONS = 20


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


def http(url, body=None, content_type=None):
    req = urllib.request.Request(url, data=body)
    if content_type:
        req.add_header("Content-Type", content_type)
    with urllib.request.urlopen(req, timeout=10) as reply:
        return json.loads(reply.read().decode())


def answer(url):
    """The HTTP status and the JSON body of a GET, refusals included."""
    try:
        with urllib.request.urlopen(url, timeout=10) as reply:
            return reply.status, json.loads(reply.read().decode())
    except urllib.error.HTTPError as e:
        return e.code, json.loads(e.read().decode())


def create(base):
    body = (b"--b\r\nContent-Disposition: form-data; name=\"create-session\"\r\n\r\nx\r\n--b--\r\n")
    reply = http(base + "?pid=1&appname=t&idx=0&rate=16", body, "multipart/form-data; boundary=b")
    return reply["asr_param"]["sid"]


def fetch_err(base, sid):
    return http(base + "?pid=1&appname=t&sid=" + sid + "&rate=16")["asr_param"]["err_no"]


def start_cluster(args, work):
    out = open(os.path.join(work, "cluster.out"), "w+")
    proc = subprocess.Popen([args.cluster, "--server", args.server, "--recognizer", "echo", "2"],
                            stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
    info = {"nodes": {}, "pids": []}
    for _ in range(600):
        out.seek(0)
        text = out.read()
        if "VELA_ASR_SERVER_URL=" in text or proc.poll() is not None:
            break
        time.sleep(0.05)
    for m in re.finditer(r"^(node \S+|nginx) (\S+) pid (\d+)$", text, re.M):
        info["pids"].append(int(m.group(3)))
        if m.group(1) == "nginx":
            info["front"] = m.group(2)
        else:
            info["nodes"][m.group(1).split()[1]] = m.group(2)
    return proc, info, text


def stop_cluster(proc, info):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    for pid in info["pids"]:  # only if the script could not stop them itself
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def main():
    parser = argparse.ArgumentParser()
    for name in ("cluster", "server", "loadgen", "audio"):
        parser.add_argument("--" + name, required=True)
    args = parser.parse_args()
    if not (shutil.which("nginx") or os.access("/usr/sbin/nginx", os.X_OK)):
        print("nginx not installed: skipped")
        return 77
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))

    with tempfile.TemporaryDirectory() as work:
        proc, info, text = start_cluster(args, work)
        try:
            if "front" not in info or len(info["nodes"]) != 2:
                fail("cluster did not start:\n" + text)
            front, nodes = info["front"], info["nodes"]

            env = dict(os.environ, VELA_ASR_SERVER_URL=front)
            run = subprocess.run([args.loadgen, "-c", str(SESSIONS), "--speed", "4", "--trim-step-ms", "100",
                                  "--timeout-s", "30", "--log-dir", os.path.join(work, "logs"), args.audio],
                                 env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                 timeout=90)
            sessions = [line.split("\t") for line in run.stdout.splitlines() if line.startswith("session\t")]
            if len(sessions) != SESSIONS:
                fail("loadgen reported %d sessions:\n%s" % (len(sessions), run.stdout))
            served = {}
            texts = set()
            for _, index, node, sid, sent, outcome, _ms, events, _start, _end, payload in sessions:
                where = "session %s (%s)" % (index, sid)
                if outcome != "finished" or events != "1":
                    fail("%s: %s with %s final events: %s" % (where, outcome, events, payload))
                if node not in nodes or not re.fullmatch(re.escape(node) + r"\.[0-9a-f]+", sid):
                    fail("%s: sid names no node of the cluster" % where)
                result = json.loads(payload)
                # The echo recogniser counts what its session received: this session's audio, its last
                # packet padded to the SDK's 3,200 bytes, under its sid.
                padded = -(-int(sent) // 3200) * 3200
                if result["sid"] != sid or not result["text"].startswith("received %d bytes" % padded):
                    fail("%s sent %s bytes but got %s" % (where, sent, result))
                served[node] = served.get(node, 0) + 1
                texts.add(result["text"])
            if len(served) != 2:
                fail("not every node served: %s" % served)
            if len(texts) != SESSIONS:
                fail("sessions share texts: %s" % sorted(texts))
            if run.returncode != 0:
                fail("loadgen exited with %d:\n%s" % (run.returncode, run.stdout))

            # A node refuses another node's sid; through the front each sid reaches its node.
            sid1 = create(nodes["node1"])
            cases = [
                (nodes["node1"], sid1, 0),
                (nodes["node2"], sid1, 2),
                (front, sid1, 0),
                (front, "node9." + sid1.split(".", 1)[1], 2),
                (front, sid1.split(".", 1)[1], 2),
            ]
            for base, sid, want in cases:
                got = fetch_err(base, sid)
                if got != want:
                    fail("fetch of %s at %s: err_no %d, expected %d" % (sid, base, got, want))

            # The front's own refusals (rendered from the wire header) read as a node's.
            def root(base):
                return urllib.parse.urljoin(base, "/nope")

            unknown = "?pid=1&appname=t&sid=node9.00&rate=16"
            for what, at_front, at_node in [("unknown session", front + unknown, nodes["node1"] + unknown),
                                            ("unknown path", root(front), root(nodes["node1"]))]:
                if answer(at_front) != answer(at_node):
                    fail("%s: the front answers %s, a node %s" % (what, answer(at_front), answer(at_node)))
        finally:
            stop_cluster(proc, info)
    print("cluster test passed: %s" % served)
    return 0


if __name__ == "__main__":
    sys.exit(main())
