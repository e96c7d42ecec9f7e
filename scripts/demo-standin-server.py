#!/usr/bin/env python3
"""Stand-in recognition server for scripts/demo.sh, used only when the
reference server (build/bin/asr-server) has not been built. It speaks the
SDK's protocol on 127.0.0.1 and "recognises" nothing: its results only say how
much audio arrived.

  POST with part "create-session"  -> {"asr_param":{"err_no":0,"sid":...}}
  POST with part "asr_audio"       -> stores the packet (idx < 0 ends the audio)
  GET  ?...&sid=...                -> status 2 (bytes so far) after a short
                                      hold, status 3 once the last packet came

Prints "listening on http://127.0.0.1:PORT/asr/v2" first; stops on SIGTERM.
"""
import json
import signal
import sys
import threading
import uuid
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

HOLD_SECONDS = 0.4  # an intermediate answer waits this long for more audio

sessions = {}  # sid -> {"bytes": int, "packets": int, "last": bool}
lock = threading.Condition()


def parts_of(content_type, body):
    """Yields (name, data) for each part of a multipart body."""
    boundary = None
    for item in content_type.split(";"):
        key, _, value = item.strip().partition("=")
        if key == "boundary":
            boundary = value.strip('"')
    if not boundary:
        return
    for chunk in body.split(b"--" + boundary.encode())[1:]:
        if chunk.startswith(b"--"):
            break
        head, _, data = chunk.partition(b"\r\n\r\n")
        name = None
        for line in head.decode("latin-1").split("\r\n"):
            if line.lower().startswith("content-disposition:"):
                for item in line.split(";"):
                    key, _, value = item.strip().partition("=")
                    if key == "name":
                        name = value.strip('"')
        yield name, data[:-2] if data.endswith(b"\r\n") else data


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, obj):
        body = json.dumps(obj).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        query = parse_qs(urlsplit(self.path).query)
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        for name, data in parts_of(self.headers.get("Content-Type", ""), body):
            if name == "create-session":
                sid = uuid.uuid4().hex[:12]
                with lock:
                    sessions[sid] = {"bytes": 0, "packets": 0, "last": False}
                return self.reply({"asr_param": {"err_no": 0, "sid": sid}})
            if name == "asr_audio":
                sid = query.get("sid", [""])[0]
                idx = int(query.get("idx", ["0"])[0])
                with lock:
                    s = sessions.get(sid)
                    if s is None:
                        return self.reply({"asr_param": {"err_no": 1}})
                    s["bytes"] += len(data)
                    s["packets"] += 1
                    s["last"] = s["last"] or idx < 0
                    lock.notify_all()
                return self.reply({"asr_param": {"err_no": 0}})
        self.reply({"asr_param": {"err_no": 2}})

    def do_GET(self):
        sid = parse_qs(urlsplit(self.path).query).get("sid", [""])[0]
        with lock:
            s = sessions.get(sid)
            if s is None:
                return self.reply({"asr_param": {"err_no": 1}})
            seen = s["packets"]
            lock.wait_for(lambda: s["last"] or s["packets"] != seen, HOLD_SECONDS)
            text = "stand-in: %d packets, %d bytes" % (s["packets"], s["bytes"])
            status = 3 if s["last"] else 2
        self.reply({"asr_param": {"err_no": 0, "status": status}, "asr_content": {"text": text}})


def main():
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    print("listening on http://127.0.0.1:%d/asr/v2" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
