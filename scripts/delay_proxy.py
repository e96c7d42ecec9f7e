#!/usr/bin/env python3
"""Loopback TCP proxy that makes a slow link out of 127.0.0.1.

Every byte is held for --one-way-ms in each direction, and a new connection
waits one round trip (twice the one-way delay) before anything is forwarded,
as a TCP handshake over such a link would. The number of accepted connections
is written to --count-file after every accept, so a script can read how many
connections the server behind the proxy received.

    delay_proxy.py --listen-port 0 --target 127.0.0.1:8900 --one-way-ms 25 \\
        --count-file /tmp/conns

The first line on standard output is "listening on PORT".
"""
import argparse
import asyncio
import os
import signal
import socket
import sys


class Pipe(asyncio.Protocol):
    """One direction's sink: data handed to send() leaves after the delay."""

    def __init__(self, loop, delay):
        self.loop = loop
        self.delay = delay
        self.transport = None
        self.peer = None  # the Pipe of the other direction
        self.pending = []  # data that arrived before the connection was set up
        self.closed = False

    def connection_made(self, transport):
        self.transport = transport
        transport.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def data_received(self, data):
        if self.peer is not None:
            self.peer.send(data)
        else:
            self.pending.append(data)

    def eof_received(self):
        if self.peer is not None:
            self.peer.send(None)
        return True

    def connection_lost(self, exc):
        self.closed = True
        if self.peer is not None:
            self.peer.send(None)

    def send(self, data):
        self.loop.call_later(self.delay, self._deliver, data)

    def _deliver(self, data):
        if self.closed or self.transport is None:
            return
        try:
            if data is None:
                if self.transport.can_write_eof():
                    self.transport.write_eof()
                else:
                    self.transport.close()
            else:
                self.transport.write(data)
        except OSError:  # the other side has gone meanwhile
            self.transport.close()


async def handle(loop, client_sock, args, counter):
    delay = args.one_way_ms / 1000.0
    client = Pipe(loop, delay)
    await loop.connect_accepted_socket(lambda: client, client_sock)
    # The handshake's round trip over the slow link.
    await asyncio.sleep(2 * delay)
    server = Pipe(loop, delay)
    try:
        await loop.create_connection(lambda: server, args.host, args.port)
    except OSError:
        client.transport.close()
        return
    client.peer, server.peer = server, client
    for data in client.pending:
        server.send(data)
    client.pending = []
    if client.closed:
        server.send(None)


async def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--listen-port", type=int, default=0)
    parser.add_argument("--target", required=True, help="HOST:PORT to forward to")
    parser.add_argument("--one-way-ms", type=float, default=0.0)
    parser.add_argument("--count-file", help="file that holds the number of accepted connections")
    args = parser.parse_args()
    args.host, _, port = args.target.rpartition(":")
    args.port = int(port)

    loop = asyncio.get_running_loop()

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.listen_port))
    listener.listen(128)
    listener.setblocking(False)
    print("listening on", listener.getsockname()[1], flush=True)

    counter = [0]
    stop = loop.create_future()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, lambda: stop.done() or stop.set_result(None))

    async def accept_loop():
        while True:
            sock, _ = await loop.sock_accept(listener)
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            counter[0] += 1
            if args.count_file:
                tmp = args.count_file + ".tmp"
                with open(tmp, "w") as f:
                    f.write("%d\n" % counter[0])
                os.replace(tmp, args.count_file)
            loop.create_task(handle(loop, sock, args, counter))

    task = loop.create_task(accept_loop())
    await stop
    task.cancel()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)
