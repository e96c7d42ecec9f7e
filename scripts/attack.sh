#!/usr/bin/env bash
# Runs hostile HTTP clients against asr-server on loopback, each against a fresh
# server (echo recogniser, default limits) while a normal session loop runs
# beside it, and prints per attack: the answer, the time to it, the normal
# sessions (1 s of audio each, in real time) finished and failed meanwhile with
# the longest of them, and the server's peak RSS (VmHWM) before and after. A
# figure, not a test.
#
#   scripts/attack.sh [path/to/asr-server] [extra server options...]
#
# The default server is build/bin/asr-server (built if missing).
set -euo pipefail
cd "$(dirname "$0")/.."

server=${1:-build/bin/asr-server}
shift || true
if [ ! -x "$server" ]; then
    cmake --build build -j2 --target asr-server >/dev/null
fi

exec python3 - "$server" "$@" <<'PYTHON'
import re, socket, subprocess, sys, threading, time

server, extra = sys.argv[1], sys.argv[2:]
BOUNDARY = "------------------------5c1f0e9a"


def start_server():
    p = subprocess.Popen([server, "--port", "0", "--recognizer", "echo"] + extra,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = p.stdout.readline()
    port = int(re.search(r":(\d+)/", line).group(1))
    return p, port


def hwm_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def connect(port, source="127.0.0.1", timeout=60):
    s = socket.socket()
    s.settimeout(timeout)
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def read_reply(s):
    """One reply framed by Content-Length; returns (status, body) or (0, '') when closed first."""
    data = b""
    while True:
        end = data.find(b"\r\n\r\n")
        if end >= 0:
            m = re.search(rb"Content-Length: (\d+)", data[:end])
            total = end + 4 + (int(m.group(1)) if m else 0)
            if len(data) >= total:
                return int(data[9:12]), data[end + 4:total].decode()
        try:
            chunk = s.recv(65536)
        except OSError:
            chunk = b""
        if not chunk:
            return (int(data[9:12]) if data.startswith(b"HTTP/1.1 ") else 0), ""
        data += chunk


def request(s, method, target, body=b"", ctype=None):
    head = f"{method} {target} HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: {len(body)}\r\n"
    if ctype:
        head += f"Content-Type: {ctype}\r\n"
    s.sendall(head.encode() + b"\r\n" + body)
    return read_reply(s)


def normal_session(port):
    """create, 10 packets of 100 ms sent in real time, final result, on one kept-alive connection."""
    s = connect(port, timeout=30)
    try:
        _, body = request(s, "POST", "/asr/v2?pid=1&appname=t&idx=0&rate=16")
        sid = re.search(r'"sid":"([0-9a-z]+)"', body).group(1)
        for i in range(1, 11):
            part = (f"--{BOUNDARY}\r\nContent-Disposition: form-data; name=\"asr_audio\"; filename=\"\"\r\n"
                    f"Content-Type: audio/pcm\r\n\r\n").encode() + b"\0" * 3200 + f"\r\n--{BOUNDARY}--\r\n".encode()
            idx = -i if i == 10 else i
            time.sleep(0.1)
            status, body = request(s, "POST", f"/asr/v2?idx={idx}&sid={sid}&rate=16", part,
                                   f"application/json; boundary={BOUNDARY}")
            if status != 200 or '"err_no":0' not in body:
                return False
        for _ in range(50):
            _, body = request(s, "GET", f"/asr/v2?sid={sid}&rate=16")
            if '"status":3' in body:
                return "received 32000 bytes in 10 packets" in body
        return False
    except (OSError, AttributeError, ValueError):
        return False
    finally:
        s.close()


class Beside(threading.Thread):
    """Normal sessions, one after another, until stopped."""

    def __init__(self, port):
        super().__init__()
        self.port, self.ok, self.failed, self.worst, self.stop = port, 0, 0, 0.0, False

    def run(self):
        while not self.stop:
            t = time.monotonic()
            if normal_session(self.port):
                self.ok += 1
            else:
                self.failed += 1
            self.worst = max(self.worst, time.monotonic() - t)


def read_reply_in_background(s):
    """Reads the reply on s in a thread while the caller keeps sending; the
    result gets the reply and the time it came."""
    result = {}

    def reader():
        result["reply"] = read_reply(s)
        result["t"] = time.monotonic()

    r = threading.Thread(target=reader)
    r.start()
    return r, result


def chunked_body(port):
    s = connect(port)
    s.sendall(b"POST /asr/v2?rate=8 HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n")
    r, result = read_reply_in_background(s)
    chunk = b"10000\r\n" + b"x" * 0x10000 + b"\r\n"
    sent = 0
    try:
        while sent < 200 << 20:  # 200 MiB
            s.sendall(chunk)
            sent += 0x10000
    except OSError:
        pass
    r.join()
    s.close()
    return [result["reply"][0]], result["t"], f"sent {sent >> 20} MiB"


def many_headers(port):
    s = connect(port)
    r, result = read_reply_in_background(s)
    lines = 0
    try:
        s.sendall(b"GET /asr/v2 HTTP/1.1\r\n")
        block = b"".join(b"X-%d: y\r\n" % i for i in range(1000))
        while lines < 4_000_000:
            s.sendall(block)
            lines += 1000
    except OSError:
        pass
    r.join()
    s.close()
    return [result["reply"][0]], result["t"], f"sent {lines} lines"


def slow_loris(port, count=200):
    """`count` connections from 127.0.0.2, each a partial head then one byte every 3 s."""
    conns, statuses, times = [], [], []
    for _ in range(count):
        try:
            s = connect(port, "127.0.0.2")
            s.sendall(b"POST /asr/v2 HTTP/1.1\r\nHost: x\r\n")
            conns.append(s)
        except OSError:
            statuses.append(0)
            times.append(time.monotonic())
    done = [False] * len(conns)
    results = [None] * len(conns)

    def wait(i, s):
        results[i] = (read_reply(s)[0], time.monotonic())
        done[i] = True

    readers = [threading.Thread(target=wait, args=(i, s)) for i, s in enumerate(conns)]
    for r in readers:
        r.start()
    while not all(done):
        time.sleep(3)
        for i, s in enumerate(conns):
            if not done[i]:
                try:
                    s.send(b"X")
                except OSError:
                    pass
    for r in readers:
        r.join()
    for s in conns:
        s.close()
    statuses += [r[0] for r in results]
    times += [r[1] for r in results]
    counts = {}
    for st in statuses:
        counts[st] = counts.get(st, 0) + 1
    summary = ", ".join(f"{n}x {st or 'closed'}" for st, n in sorted(counts.items()))
    return statuses, max(times), summary


def raw_case(request, half_close=False):
    def attack(port):
        s = connect(port)
        s.sendall(request)
        if half_close:
            s.shutdown(socket.SHUT_WR)
        status = read_reply(s)[0]
        t = time.monotonic()
        s.close()
        return [status], t, ""
    return attack


ATTACKS = [
    ("chunked body of 200 MiB", chunked_body),
    ("4,000,000 header lines", many_headers),
    ("200 slow heads (1 byte / 3 s)", slow_loris),
    ("Content-Length: abc", raw_case(b"POST /asr/v2 HTTP/1.1\r\nHost: x\r\nContent-Length: abc\r\n\r\n")),
    ("Content-Length twice", raw_case(
        b"POST /asr/v2 HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\nabc")),
    ("truncated body + half-close", raw_case(
        b"POST /asr/v2 HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\nabc", half_close=True)),
    ("Content-Length: 200 MiB", raw_case(
        b"POST /asr/v2 HTTP/1.1\r\nHost: x\r\nContent-Length: 209715200\r\n\r\n")),
]

print(f"{'attack':32} {'answer':28} {'to refusal':>10} {'normal ok/failed':>16} {'worst':>7} "
      f"{'VmHWM before':>12} {'after':>9}  note")
for name, attack in ATTACKS:
    proc, port = start_server()
    try:
        time.sleep(0.2)
        before = hwm_kb(proc.pid)
        beside = Beside(port)
        beside.start()
        time.sleep(0.3)
        t0 = time.monotonic()
        statuses, t_end, note = attack(port)
        elapsed = t_end - t0
        time.sleep(0.3)
        beside.stop = True
        beside.join()
        after = hwm_kb(proc.pid)
        answers = sorted(set(statuses))
        answer = note if name.startswith("200 slow") else ",".join(str(a or "closed") for a in answers)
        note = "" if name.startswith("200 slow") else note
        print(f"{name:32} {answer:28} {elapsed:9.2f}s {beside.ok:>8}/{beside.failed:<7} {beside.worst:6.2f}s "
              f"{before / 1024:10.1f}MB {after / 1024:7.1f}MB  {note}", flush=True)
    finally:
        proc.terminate()
        proc.wait()
PYTHON
