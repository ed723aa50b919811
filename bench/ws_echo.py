#!/usr/bin/env python3
"""WebSocket echo over loopback: the example server's /ws against a websockets-library server.

    tools/dev python bench/ws_echo.py [--rounds R] [--connections C] [--seconds S]
                                      [--size N] [--inflight K,K...]

Both servers run in their own process: examples/server.py (asyncio, WsCodec
after the HTTP/1.1 upgrade) and bench/servers/ws_peer.py (python's websockets
library, its asyncio server), each echoing every message without compression.
The load comes from this process: C connections (100 by default), each
keeping K text messages of N octets in flight (one scenario for each K given:
1, a plain round trip, and 16, pipelined), written as prepared masked
frames and counted by the octets that come back, so the load generator does
almost no work per message and the servers' speed decides. The servers run in
alternating rounds and each keeps its best; printed: echoed messages per
second of each, the server's CPU time per message (from /proc: on a machine
shared with other work the rate follows the load, the CPU time much less),
and the ratios (above 1: velmora echoes more, or spends less).
"""

import argparse
import asyncio
import base64
import os
import struct
import sys
import time
from pathlib import Path

from _harness import record, start_server, stop_server

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent

SERVERS = {
    "velmora": [str(ROOT / "examples" / "server.py"), "--quiet", "--port", "0"],
    "websockets": [str(HERE / "servers" / "ws_peer.py"), "--port", "0"],
}


def client_frame(payload):
    """One masked text frame (a fixed key: the load need not be unpredictable)."""
    key = b"\x01\x02\x03\x04"
    n = len(payload)
    head = struct.pack("!BB", 0x81, 0x80 | n) if n < 126 else struct.pack("!BBH", 0x81, 0xFE, n)
    return head + key + bytes(c ^ key[i % 4] for i, c in enumerate(payload))


def echo_length(n):
    return n + (2 if n < 126 else 4)


class Load(asyncio.Protocol):
    """One connection of the load: after the 101, `inflight` frames go out, and
    each echo that comes back is answered by the next frame inside the
    callback, so the load costs no task switch per message."""

    def __init__(self, path, host, frame, echo_len, inflight, counter):
        self.request = (f"GET {path} HTTP/1.1\r\nhost: {host}\r\nconnection: upgrade\r\n"
                        f"upgrade: websocket\r\nsec-websocket-key: "
                        f"{base64.b64encode(os.urandom(16)).decode()}\r\n"
                        f"sec-websocket-version: 13\r\n\r\n").encode()
        self.frame, self.echo_len, self.inflight, self.counter = frame, echo_len, inflight, counter
        self.head = b""  # until the 101 is read
        self.pending = 0
        self.closed = asyncio.get_running_loop().create_future()
        self.transport = None
        self.stopping = False

    def connection_made(self, transport):
        self.transport = transport
        transport.write(self.request)

    def data_received(self, data):
        if self.head is not None:
            self.head += data
            if b"\r\n\r\n" not in self.head:
                return
            head, _, data = self.head.partition(b"\r\n\r\n")
            if not head.startswith(b"HTTP/1.1 101"):
                raise SystemExit(f"no upgrade: {head!r}")
            self.head = None
            self.transport.write(self.frame * self.inflight)
        done, self.pending = divmod(self.pending + len(data), self.echo_len)
        if done:
            self.counter[0] += done
            if not self.stopping:
                self.transport.write(self.frame * done)

    def connection_lost(self, exc):
        if not self.closed.done():
            self.closed.set_result(None)

    async def stop(self):
        """Close the WebSocket (1000) and wait for the server's end."""
        self.stopping = True
        self.transport.write(b"\x88\x82" + b"\x01\x02\x03\x04" + bytes((0x03 ^ 1, 0xE8 ^ 2)))
        try:
            async with asyncio.timeout(2):
                await asyncio.shield(self.closed)
        except TimeoutError:
            pass
        self.transport.close()


def cpu_seconds(pid):
    """User and system CPU time the process `pid` used so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


async def load(base, pid, connections, seconds, size, inflight):
    """(echoed messages per second, server CPU microseconds per message) over
    `seconds`, after a warm-up second."""
    host, port = base.removeprefix("http://").rsplit(":", 1)
    frame = client_frame(b"x" * size)
    counter = [0]
    loop = asyncio.get_running_loop()
    conns = []
    for _ in range(connections):
        _, conn = await loop.create_connection(
            lambda: Load("/ws", f"{host}:{port}", frame, echo_length(size), inflight, counter),
            host, int(port))
        conns.append(conn)
    await asyncio.sleep(1.0)
    start, t0, cpu0 = counter[0], time.perf_counter(), cpu_seconds(pid)
    await asyncio.sleep(seconds)
    echoed = counter[0] - start
    rate = echoed / (time.perf_counter() - t0)
    cpu = (cpu_seconds(pid) - cpu0) / echoed * 1e6
    for conn in conns:
        if conn.closed.done():
            raise SystemExit(f"port {port} closed a WebSocket under load")
    await asyncio.gather(*(conn.stop() for conn in conns))
    return rate, cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--connections", type=int, default=100)
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--size", type=int, default=64)
    parser.add_argument("--inflight", default="1,16",
                        help="messages in flight per connection, one scenario each")
    args = parser.parse_args()
    for inflight in map(int, args.inflight.split(",")):
        scenario(args, inflight)
    return 0


def scenario(args, inflight):
    best = dict.fromkeys(SERVERS, 0.0)
    cpu = dict.fromkeys(SERVERS, float("inf"))
    for _ in range(args.rounds):
        for name, argv in SERVERS.items():
            proc, base = start_server(argv, name)
            try:
                rate, us = asyncio.run(load(base, proc.pid, args.connections, args.seconds,
                                            args.size, inflight))
            finally:
                stop_server(proc)
            best[name] = max(best[name], rate)
            cpu[name] = min(cpu[name], us)
    ours, theirs = best["velmora"], best["websockets"]
    print(f"\nWebSocket echo over loopback: {args.connections} connections, {inflight} "
          f"message(s) of {args.size} octets in flight each, best of {args.rounds} rounds")
    print(f"  {'server':<32}{'messages/s':>12}{'server CPU us/message':>24}")
    for label, name in (("examples/server.py (WsCodec)", "velmora"),
                        ("websockets (asyncio server)", "websockets")):
        print(f"  {label:<32}{best[name]:>12.0f}{cpu[name]:>24.2f}")
    print(f"  ratio velmora / websockets: {ours / theirs:.2f}x messages/s, "
          f"{cpu['websockets'] / cpu['velmora']:.2f}x less server CPU per message")
    operation = f"{args.size} B messages, {inflight} in flight, {args.connections} connections"
    record("WebSocket echo over loopback", operation, "websockets", ours / theirs,
           "messages/s", ours, theirs)


if __name__ == "__main__":
    sys.exit(main())
