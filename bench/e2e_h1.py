#!/usr/bin/env python3
"""HTTP/1.1 end to end: h2load --h1 against the example server, its h11 and httptools twins
and the threaded example server.

    tools/dev python bench/e2e_h1.py [--rounds R] [--requests N] [--clients C]

The three servers share one skeleton (examples/wire.py, one task per
connection) and one set of routes (examples/server.py); only the HTTP/1 layer
differs: velmora's H1ServerState and H1Codec, h11, or httptools with a
hand-written response encoder. Each is started on a loopback port, loaded by
h2load in HTTP/1.1 mode, and stopped, in alternating rounds, over cleartext
and then over TLS (a certificate made for the run); each keeps its best
round, so load from other processes hits all alike. Printed: requests/s
per server and scenario, and velmora's ratio to each peer (above 1: velmora
serves more).

A second table takes the kernel and the load generator out: the same three
serve loops run in this process over an in-memory wire fed with pipelined
requests, and it prints microseconds of CPU per request.
"""

import argparse
import asyncio
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from _harness import record, start_server, stop_server

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(ROOT / "examples"))

from tls import make_certificates  # noqa: E402

SERVERS = {
    "velmora": [str(ROOT / "examples" / "server.py"), "--quiet"],
    "h11": [str(HERE / "servers" / "h1_peers.py"), "--impl", "h11"],
    "httptools": [str(HERE / "servers" / "h1_peers.py"), "--impl", "httptools"],
    # The same routes on velmora's states, driven by blocking threads instead of asyncio.
    "threaded": [str(ROOT / "examples" / "threaded_server.py"), "--quiet"],
}
PEERS = ("velmora", "h11", "httptools")


def start(name, certs=None):
    """Start `name`; over TLS (ALPN http/1.1) when `certs` are given. (process, base URL)."""
    tls = ["--tls", str(certs.cert), str(certs.key)] if certs else []
    return start_server([*SERVERS[name], "--port", "0", *tls], name)


stop = stop_server


def h2load(url, requests, clients, pipeline, body_file=None):
    argv = ["h2load", "--h1", "-n", str(requests), "-c", str(clients), "-t", "1",
            "-m", str(pipeline)]
    if body_file:
        argv += ["-d", body_file]
    out = subprocess.run(argv + [url], capture_output=True, text=True, timeout=120).stdout
    done = re.search(r"requests: (\d+) total, \d+ started, \d+ done, (\d+) succeeded", out)
    rate = re.search(r"finished in [\d.]+\w+, ([\d.]+) req/s", out)
    if not done or not rate or done.group(1) != done.group(2):
        raise SystemExit(f"h2load failed against {url}:\n{out}")
    return float(rate.group(1))


class MemoryWire:
    """A Wire that reads prepared bytes and counts what is written."""

    def __init__(self, reads):
        self.reads = iter(reads)
        self.written = 0
        self.must_drain = False
        self.peer = "memory"

    async def read(self):
        return next(self.reads, b"")

    def read_nowait(self):
        return b""

    def write(self, data):
        self.written += len(data)

    async def drain(self):
        pass

    def close(self):
        pass

    abort = close


REQUEST = (b"GET / HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nUser-Agent: h2load nghttp2/1.64.0\r\n"
           b"Accept: */*\r\nAccept-Encoding: gzip, deflate\r\n\r\n")
UPLOAD = (b"POST /echo HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nUser-Agent: h2load nghttp2/1.64.0\r\n"
          b"Accept: */*\r\nContent-Length: 1024\r\n\r\n" + b"x" * 1024)


def in_process(rounds, per_read=8, reads=40):
    """Best microseconds per request of each serve loop over a MemoryWire.

    Short alternating rounds on one event loop, each server keeping its best,
    as the other Python benchmarks do.
    """
    sys.path.insert(0, str(ROOT / "examples"))
    sys.path.insert(0, str(HERE / "servers"))
    import h1_peers
    import server

    velmora_server = server.Server(head_timeout=0, quiet=True)

    async def velmora(wire):
        await server.ServerConnection.open(velmora_server, wire).serve()

    loops = {"velmora": velmora, "h11": h1_peers.serve_h11, "httptools": h1_peers.serve_httptools}
    best = {}
    loop = asyncio.new_event_loop()
    try:
        for title, request in (("GET /, 8 per read", REQUEST),
                               ("POST /echo 1 KiB, 8 per read", UPLOAD)):
            batch = request * per_read
            for _ in range(rounds):
                for name, serve in loops.items():
                    wire = MemoryWire([batch] * reads)
                    t0 = time.perf_counter()
                    loop.run_until_complete(serve(wire))
                    us = (time.perf_counter() - t0) * 1e6 / (per_read * reads)
                    assert wire.written > 100 * per_read * reads, (name, wire.written)
                    best[(title, name)] = min(best.get((title, name), float("inf")), us)
    finally:
        loop.close()
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--requests", type=int, default=20000)
    parser.add_argument("--clients", type=int, default=16)
    args = parser.parse_args()
    if not shutil.which("h2load"):
        raise SystemExit("h2load is not installed")

    with tempfile.NamedTemporaryFile(suffix=".bin") as body, \
            tempfile.TemporaryDirectory() as scratch:
        body.write(os.urandom(1024))
        body.flush()
        certs = make_certificates(scratch)
        scenarios = [
            ("GET /", "/", 1, None),
            ("GET /, 8 pipelined", "/", 8, None),
            ("POST /echo 1 KiB", "/echo", 1, body.name),
        ]
        # Over TLS (ALPN http/1.1): the record layer in the path of every request.
        tls_scenarios = [scenarios[0], scenarios[2]]
        best, best_tls = {}, {}
        for _ in range(args.rounds):
            for name in SERVERS:
                for table, runs, tls in ((best, scenarios, None), (best_tls, tls_scenarios, certs)):
                    if tls and name not in PEERS:
                        continue  # the threaded server speaks cleartext only
                    proc, base = start(name, tls)
                    try:
                        h2load(base + "/", 500, 4, 1)  # warm up
                        for title, path, pipeline, data in runs:
                            rate = h2load(base + path, args.requests, args.clients, pipeline, data)
                            key = (title, name)
                            table[key] = max(table.get(key, 0.0), rate)
                    finally:
                        stop(proc)

    for over, table, runs in (("", best, scenarios), (" over TLS", best_tls, tls_scenarios)):
        print(f"\nHTTP/1.1{over} end to end: h2load --h1, {args.clients} connections, "
              f"best of {args.rounds} rounds (requests/s; ratio = velmora / peer)")
        print(f"  {'scenario':<22}{'velmora':>10}{'h11':>10}{'httptools':>11}"
              f"{'vs h11':>9}{'vs httptools':>14}")
        for title, *_ in runs:
            ours, h11, ht = (table[(title, n)] for n in PEERS)
            for peer, rate in (("h11", h11), ("httptools", ht)):
                record(f"HTTP/1.1{over} end to end (h2load --h1)", title, peer, ours / rate,
                       "requests/s", ours, rate)
            print(f"  {title:<22}{ours:>10.0f}{h11:>10.0f}{ht:>11.0f}"
                  f"{ours / h11:>8.2f}x{ours / ht:>13.2f}x")
    print("\nThe threaded example server (threads on blocking sockets) against the asyncio one")
    print(f"  {'scenario':<22}{'asyncio':>10}{'threaded':>10}{'threaded/asyncio':>18}")
    for title, *_ in scenarios:
        ours, threaded = best[(title, "velmora")], best[(title, "threaded")]
        print(f"  {title:<22}{ours:>10.0f}{threaded:>10.0f}{threaded / ours:>17.2f}x")

    cpu = in_process(41)
    print("\nIn process, over an in-memory wire (microseconds per request; ratio = peer / velmora)")
    print(f"  {'scenario':<30}{'velmora':>9}{'h11':>9}{'httptools':>11}"
          f"{'vs h11':>9}{'vs httptools':>14}")
    for title in dict.fromkeys(t for t, _ in cpu):
        ours, h11, ht = (cpu[(title, n)] for n in PEERS)
        for peer, us in (("h11", h11), ("httptools", ht)):
            record("HTTP/1.1 serve loop in process", title, peer, us / ours, "us", ours, us)
        print(f"  {title:<30}{ours:>9.2f}{h11:>9.2f}{ht:>11.2f}"
              f"{h11 / ours:>8.2f}x{ht / ours:>13.2f}x")


if __name__ == "__main__":
    main()
