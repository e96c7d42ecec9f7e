#!/usr/bin/env python3
"""Loopback HTTP/1.1 proxy that closes kept-alive connections under the client.

It forwards each client connection to its own connection to the target and
follows the replies (they must carry Content-Length). After a fraction of the
replies (--close-fraction, default 0.1) it closes the client's connection a
random 0 to --max-close-ms (default 300) milliseconds later, as a server whose
idle time-out strikes at an unlucky moment would. Whatever the client sends
in between is dropped, never forwarded, so no request reaches the target
twice: a client that sent a request there sees the connection end without an
answer, and must send it again on a new connection.

    idle_close_proxy.py --target 127.0.0.1:8900 [--listen-port 0] \\
        [--close-fraction 0.1] [--max-close-ms 300] [--rst] [--seed N] [--seconds 900]

Example, against the echo recognizer:

    build/bin/asr-server --recognizer echo --port 8900 &
    scripts/idle_close_proxy.py --target 127.0.0.1:8900 --listen-port 8901 &
    VELA_ASR_SERVER_URL=http://127.0.0.1:8901/asr/v2 \\
        build/bin/loadgen -c 20 -n 80 --speed 4 tests/data/vad/speech_16k.pcm

The first line on standard output is "listening on PORT". On SIGTERM or SIGINT,
or after --seconds, it prints one line of counts (replies, connections closed,
request bytes dropped) and exits. It listens on 127.0.0.1 only, refuses
targets that are not loopback addresses and serves at most --max-connections
connections at once.
"""
import argparse
import asyncio
import ipaddress
import random
import signal
import socket
import struct
import sys

HEAD_LIMIT = 64 * 1024


class Stats:
    def __init__(self):
        self.connections = 0
        self.replies = 0
        self.closed = 0
        self.dropped_bytes = 0
        self.dropped_sends = 0


class ReplyTracker:
    """Finds the ends of the replies in the bytes the target sends."""

    def __init__(self):
        self.head = b""
        self.body_left = None  # bytes of the current body still to come; None while in a head

    def feed(self, data):
        """Returns how many replies ended in `data`."""
        ended = 0
        while data:
            if self.body_left is None:
                self.head += data
                data = b""
                end = self.head.find(b"\r\n\r\n")
                if end < 0:
                    if len(self.head) > HEAD_LIMIT:
                        raise ValueError("reply head too long")
                    break
                head, data = self.head[: end + 4], self.head[end + 4 :]
                self.head = b""
                status = int(head.split(b" ", 2)[1])
                length = 0
                for line in head.split(b"\r\n")[1:]:
                    name, _, value = line.partition(b":")
                    if name.strip().lower() == b"content-length":
                        length = int(value.strip())
                if 100 <= status < 200:
                    continue  # an interim reply; the real one follows
                self.body_left = length
            take = min(self.body_left, len(data))
            data = data[take:]
            self.body_left -= take
            if self.body_left == 0:
                self.body_left = None
                ended += 1
        return ended


class Link:
    """One client connection and its connection to the target."""

    def __init__(self, args, stats, rng, reader, writer):
        self.args, self.stats, self.rng = args, stats, rng
        self.client_r, self.client_w = reader, writer
        self.closing = False

    async def run(self):
        host, port = self.args.target
        try:
            target_r, target_w = await asyncio.open_connection(host, port)
        except OSError:
            self.client_w.close()
            return
        up = asyncio.ensure_future(self.client_to_target(target_w))
        down = asyncio.ensure_future(self.target_to_client(target_r))
        await asyncio.wait([up, down], return_when=asyncio.FIRST_COMPLETED)
        for task in (up, down):
            task.cancel()
        for w in (self.client_w, target_w):
            w.close()

    async def client_to_target(self, target_w):
        while True:
            data = await self.client_r.read(65536)
            if not data:
                return
            if self.closing:
                self.stats.dropped_bytes += len(data)
                self.stats.dropped_sends += 1
                continue
            target_w.write(data)
            await target_w.drain()

    async def target_to_client(self, target_r):
        tracker = ReplyTracker()
        while True:
            data = await target_r.read(65536)
            if not data:
                return
            self.client_w.write(data)
            await self.client_w.drain()
            for _ in range(tracker.feed(data)):
                self.stats.replies += 1
                if not self.closing and self.rng.random() < self.args.close_fraction:
                    self.closing = True
                    await asyncio.sleep(self.rng.uniform(0, self.args.max_close_ms) / 1000.0)
                    self.stats.closed += 1
                    if self.args.rst:
                        sock = self.client_w.get_extra_info("socket")
                        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    self.client_w.transport.abort()
                    return


def loopback_target(text):
    host, _, port = text.rpartition(":")
    if not ipaddress.ip_address(host).is_loopback:
        raise argparse.ArgumentTypeError("the target must be a loopback address")
    return host, int(port)


async def main(args):
    stats = Stats()
    rng = random.Random(args.seed)
    slots = asyncio.Semaphore(args.max_connections)

    async def serve(reader, writer):
        if slots.locked():
            writer.close()
            return
        async with slots:
            stats.connections += 1
            try:
                await Link(args, stats, rng, reader, writer).run()
            except (OSError, ValueError):
                writer.close()

    server = await asyncio.start_server(serve, "127.0.0.1", args.listen_port)
    print("listening on %d" % server.sockets[0].getsockname()[1], flush=True)
    done = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, done.set)
    try:
        await asyncio.wait_for(done.wait(), args.seconds)
    except asyncio.TimeoutError:
        pass
    server.close()
    print(
        "connections %d replies %d closed %d dropped-sends %d dropped-bytes %d"
        % (stats.connections, stats.replies, stats.closed, stats.dropped_sends, stats.dropped_bytes),
        flush=True,
    )


if __name__ == "__main__":
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--target", type=loopback_target, required=True, help="HOST:PORT of the server (loopback)")
    p.add_argument("--listen-port", type=int, default=0, help="port on 127.0.0.1 (0: a free one)")
    p.add_argument("--close-fraction", type=float, default=0.1, help="share of replies followed by a close")
    p.add_argument("--max-close-ms", type=float, default=300, help="longest delay from the reply to the close")
    p.add_argument("--rst", action="store_true", help="close with a reset instead of a FIN")
    p.add_argument("--seed", type=int, default=None, help="seed of the random choices")
    p.add_argument("--seconds", type=float, default=900, help="stop after this long")
    p.add_argument("--max-connections", type=int, default=1024, help="connections served at once")
    try:
        asyncio.run(main(p.parse_args()))
    except KeyboardInterrupt:
        sys.exit(130)
