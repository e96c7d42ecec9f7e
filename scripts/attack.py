#!/usr/bin/env python3
"""Hostile HTTP clients against asr-server on loopback; see scripts/attack.sh.

Each attack runs against a fresh server (echo recogniser, default limits plus
the extra options given) while normal sessions from another address run beside
it, and prints: the answers, the time to the first refusal, the normal sessions
finished and failed meanwhile with the longest of them and the longest time
from a session's last audio to its final result, the server's peak RSS (VmHWM)
before and after, and how long it took to stop on SIGTERM. Every attack is
bounded in count and time. A figure, not a test.

    attack.py path/to/asr-server [extra server options...]
"""
import re
import signal
import socket
import subprocess
import sys
import threading
import time

server, extra = sys.argv[1], sys.argv[2:]
BOUNDARY = "------------------------5c1f0e9a"
NORMAL_FROM = "127.0.0.9"  # the normal sessions' address, apart from every attacker's


def start_server():
    p = subprocess.Popen([server, "--port", "0", "--recognizer", "echo"] + extra,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = p.stdout.readline()
    port = int(re.search(r":(\d+)/", line).group(1))
    return p, port


def stop_server(p):
    """SIGTERM, then SIGKILL after 10 s; the time it took to end, or None when killed."""
    t = time.monotonic()
    p.send_signal(signal.SIGTERM)
    try:
        p.wait(10)
        return time.monotonic() - t
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()
        return None


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


def audio_part(data):
    return (f"--{BOUNDARY}\r\nContent-Disposition: form-data; name=\"asr_audio\"; filename=\"\"\r\n"
            f"Content-Type: audio/pcm\r\n\r\n").encode() + data + f"\r\n--{BOUNDARY}--\r\n".encode()


def upload(s, sid, idx, data):
    return request(s, "POST", f"/asr/v2?idx={idx}&sid={sid}&rate=16", audio_part(data),
                   f"application/json; boundary={BOUNDARY}")


class Client:
    """A kept-alive connection that, like the SDK, sends a request once more on a
    new connection when the server closed the old one before answering it."""

    def __init__(self, port, source):
        self.port, self.source, self.s = port, source, None

    def __call__(self, fn, *args):
        for attempt in range(2):
            try:
                if self.s is None:
                    self.s = connect(self.port, self.source, timeout=30)
                status, body = fn(self.s, *args)
            except OSError:
                if attempt == 1:
                    raise
                status, body = 0, ""
            if status not in (0, 408):
                return status, body
            self.s.close()
            self.s = None
        return status, body

    def close(self):
        if self.s is not None:
            self.s.close()


def normal_session(port):
    """create, 10 packets of 100 ms sent in real time, final result; the time
    from the last packet to the final result, or None when it failed."""
    c = Client(port, NORMAL_FROM)
    try:
        _, body = c(request, "POST", "/asr/v2?pid=1&appname=t&idx=0&rate=16")
        sid = re.search(r'"sid":"([0-9a-z.]+)"', body).group(1)
        for i in range(1, 11):
            time.sleep(0.1)
            status, body = c(upload, sid, -i if i == 10 else i, b"\0" * 3200)
            if status != 200 or '"err_no":0' not in body:
                return None
        last = time.monotonic()
        for _ in range(50):
            _, body = c(request, "GET", f"/asr/v2?sid={sid}&rate=16")
            if '"status":3' in body:
                return time.monotonic() - last if "received 32000 bytes in 10 packets" in body else None
        return None
    except (OSError, AttributeError, ValueError):
        return None
    finally:
        c.close()


class Beside(threading.Thread):
    """Normal sessions, one after another, until stopped."""

    def __init__(self, port):
        super().__init__()
        self.port, self.ok, self.failed, self.worst, self.latency, self.stop = port, 0, 0, 0.0, 0.0, False

    def run(self):
        while not self.stop:
            t = time.monotonic()
            latency = normal_session(self.port)
            if latency is None:
                self.failed += 1
            else:
                self.ok += 1
                self.latency = max(self.latency, latency)
            self.worst = max(self.worst, time.monotonic() - t)


def summary(statuses):
    counts = {}
    for st in statuses:
        counts[st] = counts.get(st, 0) + 1
    return ", ".join(f"{n}x {st or 'closed'}" for st, n in sorted(counts.items(), key=lambda kv: str(kv[0])))


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


# ----------------------------------------------------------------- attacks
# Each returns (answer, time of the first refusal (or answer) or None, note).


def flood(port, head, block, count, limit):
    """Sends `head`, then `block` (worth `count`) until `limit` is reached or the
    server closes; returns the reply and what was sent."""
    s = connect(port)
    r, result = read_reply_in_background(s)
    sent = 0
    try:
        s.sendall(head)
        while sent < limit:
            s.sendall(block)
            sent += count
    except OSError:
        pass
    r.join()
    s.close()
    return result, sent


def chunked_body(port):
    head = b"POST /asr/v2?rate=8 HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
    chunk = b"10000\r\n" + b"x" * 0x10000 + b"\r\n"
    result, sent = flood(port, head, chunk, 0x10000, 200 << 20)  # 200 MiB
    return summary([result["reply"][0]]), result["t"], f"sent {sent >> 20} MiB"


def many_headers(port):
    block = b"".join(b"X-%d: y\r\n" % i for i in range(1000))
    result, lines = flood(port, b"GET /asr/v2 HTTP/1.1\r\n", block, 1000, 4_000_000)
    return summary([result["reply"][0]]), result["t"], f"sent {lines} lines"


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
    return summary(statuses), min(times), ""


def raw_case(request_bytes, half_close=False):
    def attack(port):
        s = connect(port)
        s.sendall(request_bytes)
        if half_close:
            s.shutdown(socket.SHUT_WR)
        status = read_reply(s)[0]
        t = time.monotonic()
        s.close()
        return summary([status]), t, ""
    return attack


def sid_prediction(port):
    """200 sids (50 from each of four addresses): their shape, and that every one
    of their bits takes both values, as 128 random bits do."""
    sids = []
    for k in range(4):
        s = connect(port, f"127.0.0.{2 + k}")
        for _ in range(50):
            _, body = request(s, "POST", "/asr/v2?rate=16")
            sids.append(re.search(r'"sid":"([^"]*)"', body).group(1))
        s.close()
    shaped = [x for x in sids if re.fullmatch(r"(?:[A-Za-z0-9_-]+\.)?[0-9a-f]{32}", x)]
    values = [int(x[-32:], 16) for x in shaped]
    varying = 0
    for bit in range(128):
        ones = sum((v >> bit) & 1 for v in values)
        varying += 0 < ones < len(values)
    return (f"{len(shaped)}/{len(sids)} shaped", None,
            f"{len(set(sids))} distinct, {varying}/128 bits vary")


def gap_fill(port):
    """Packet 2 of 1 MiB, then an end marker claiming index -1,000,000."""
    s = connect(port, "127.0.0.2", timeout=20)
    _, body = request(s, "POST", "/asr/v2?rate=16")
    sid = re.search(r'"sid":"([^"]*)"', body).group(1)
    upload(s, sid, 2, b"\0" * (1 << 20))
    try:
        status, body = upload(s, sid, -1_000_000, b"\0" * 3200)
        t = time.monotonic()
        answer = re.search(r'"err_no":(\d+)', body)
        answer = f"err_no {answer.group(1)}" if answer else summary([status])
    except OSError:
        answer, t = "no answer in 20 s", None
    # The session's answer once the gap time-out has passed (at most 10 s of asking).
    final = "none"
    end = time.monotonic() + 10
    try:
        while time.monotonic() < end:
            _, body = request(s, "GET", f"/asr/v2?sid={sid}&rate=16")
            if '"status":3' in body or '"err_no":2' in body:
                final = "final" if '"status":3' in body else "session gone"
                break
    except OSError:
        final = "no answer"
    s.close()
    return answer, t, f"then {final}"


def held_fetch_loops(port, loops=400, seconds=5.0):
    """400 connections (100 from each of four addresses) fetching, over and over,
    the result of sessions whose packet 1 never comes, so each fetch is held."""
    sids = []
    for k in range(4):
        s = connect(port, f"127.0.0.{2 + k}")
        _, body = request(s, "POST", "/asr/v2?rate=16")
        sid = re.search(r'"sid":"([^"]*)"', body).group(1)
        upload(s, sid, 2, b"\0" * 3200)
        sids.append(sid)
        s.close()
    stop = time.monotonic() + seconds
    answered = [0] * loops

    def loop(i):
        try:
            s = connect(port, f"127.0.0.{2 + i % 4}", timeout=30)
            while time.monotonic() < stop:
                if request(s, "GET", f"/asr/v2?sid={sids[i % 4]}&rate=16")[0] != 200:
                    break
                answered[i] += 1
            s.close()
        except OSError:
            pass

    threads = [threading.Thread(target=loop, args=(i,)) for i in range(loops)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return f"{sum(answered)} fetches answered", None, f"{loops} loops for {seconds:.0f} s"


def many_creations(port, count=1000):
    """1,000 creations from one address on one connection."""
    s = connect(port, "127.0.0.2")
    ok = refused = 0
    first_refusal = None
    for _ in range(count):
        _, body = request(s, "POST", "/asr/v2?rate=16")
        if '"err_no":0' in body:
            ok += 1
        else:
            refused += 1
            if first_refusal is None:
                first_refusal = time.monotonic()
    s.close()
    return f"{ok} created, {refused} refused", first_refusal, ""


FRAMING = [
    b"POST /asr/v2?rate=8 HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n\r\n",
    b"POST /asr/v2?rate=8 HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n",
    b"POST /asr/v2?rate=8 HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked, gzip\r\n\r\n",
    b"POST /asr/v2?rate=8 HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
    b"POST /asr/v2?rate=8 HTTP/1.1\r\nHost: x\r\nContent-Length:\r\n 0\r\n\r\n",
    b"POST /asr/v2?rate=8 HTTP/1.1\r\nHost: x\r\nTransfer-Encoding:\r\n chunked\r\n\r\n0\r\n\r\n",
    b"POST /asr/v2?rate=8 HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
    b"POST /asr/v2?rate=8 HTTP/1.1\r\nHost: x\r\nHost: y\r\nContent-Length: 0\r\n\r\n",
    b"POST /asr/v2?rate=8 HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
]


def framing_table(port):
    """Each ambiguous head, followed by a second request that must not be served."""
    statuses, smuggled, first = [], 0, None
    for head in FRAMING:
        s = connect(port)
        s.sendall(head + b"GET /asr/v2?sid=x HTTP/1.1\r\nHost: x\r\n\r\n")
        data = b""
        while True:
            try:
                chunk = s.recv(65536)
            except OSError:
                chunk = b""
            if not chunk:
                break
            data += chunk
        s.close()
        first = first or time.monotonic()
        statuses.append(int(data[9:12]) if data.startswith(b"HTTP/1.1 ") else 0)
        smuggled += data.count(b"HTTP/1.1 ") > 1
    return summary(statuses), first, f"{smuggled} second requests served"


def idle_connections(port, count=650):
    """650 connections from 127.0.0.2-6 that never send a request, held 3 s."""
    conns, statuses, first = [], [], [None]
    lock = threading.Lock()
    for i in range(count):
        try:
            conns.append(connect(port, f"127.0.0.{2 + i % 5}", timeout=3))
        except OSError:
            statuses.append(0)

    def wait(s):
        status = read_reply(s)[0]  # 408 when evicted, 503 over the per-address bound
        with lock:
            statuses.append(status if status else "open")
            if status and first[0] is None:
                first[0] = time.monotonic()

    readers = [threading.Thread(target=wait, args=(s,)) for s in conns]
    for r in readers:
        r.start()
    for r in readers:
        r.join()
    for s in conns:
        s.close()
    return summary(statuses), first[0], f"{count} sockets"


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
    ("sid prediction (200 sids)", sid_prediction),
    ("gap fill to index -1,000,000", gap_fill),
    ("400 held-fetch loops", held_fetch_loops),
    ("1,000 creations, one address", many_creations),
    (f"framing table ({len(FRAMING)} heads)", framing_table),
    ("650 idle connections", idle_connections),
]

print(f"{'attack':30} {'answer':34} {'answered':>8} {'normal ok/fail':>14} {'worst':>6} {'final':>6} "
      f"{'VmHWM before':>12} {'after':>8} {'stop':>6}  note")
for name, attack in ATTACKS:
    proc, port = start_server()
    stop = None
    try:
        time.sleep(0.2)
        before = hwm_kb(proc.pid)
        beside = Beside(port)
        beside.start()
        time.sleep(0.3)
        t0 = time.monotonic()
        answer, t_refused, note = attack(port)
        time.sleep(0.3)
        beside.stop = True
        beside.join()
        after = hwm_kb(proc.pid)
        refusal = "-" if t_refused is None else f"{t_refused - t0:7.2f}s"
        stop = stop_server(proc)
        stopped = "killed" if stop is None else f"{stop:5.2f}s"
        print(f"{name:30} {answer:34} {refusal:>8} {beside.ok:>6}/{beside.failed:<7} {beside.worst:5.2f}s "
              f"{beside.latency:5.2f}s {before / 1024:10.1f}MB {after / 1024:6.1f}MB {stopped:>6}  {note}",
              flush=True)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
