#!/usr/bin/env python3
"""HTTP/2 end to end: h2load (h2c, then TLS) on the example server, its python h2 twin, nghttpd.

    tools/dev python bench/e2e_h2.py [--rounds R] [--requests N] [--clients C]

The example server (examples/server.py, velmora's H2Streams under the driver
in examples/h2_driver.py) and bench/servers/h2_peer.py share one skeleton
(examples/wire.py, one task per connection and per stream) and one set of
routes; only the HTTP/2 layer differs. nghttpd, nghttp2's own C server
serving a static file, is the ceiling. Each is started on a loopback port,
loaded by h2load with many streams per connection, and stopped, in
alternating rounds, over cleartext and then over TLS (a certificate made for
the run, h2 chosen by ALPN); each keeps its best round. Printed, per
transport: requests/s per server and scenario, velmora's ratio to python h2
(required over cleartext: 5x or more) and the share of nghttpd's rate it
reaches.
"""

import argparse
import os
import re
import shutil
import socket
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
NAMES = ("velmora", "python h2", "nghttpd")
THREADED = "threaded"  # the threaded example server: cleartext only, its own table
SCRIPTS = {"velmora": ROOT / "examples" / "server.py",
           THREADED: ROOT / "examples" / "threaded_server.py",
           "python h2": HERE / "servers" / "h2_peer.py"}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start(name, docroot, certs=None):
    """Start `name`; over TLS (ALPN h2) when `certs` are given. (process, base URL)."""
    if name == "nghttpd":
        port = free_port()
        argv = (["nghttpd", "-d", docroot, str(port), str(certs.key), str(certs.cert)] if certs
                else ["nghttpd", "--no-tls", "-d", docroot, str(port)])
        proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return proc, f"{'https' if certs else 'http'}://127.0.0.1:{port}"
            except OSError:
                time.sleep(0.05)
        proc.kill()
        raise SystemExit("nghttpd did not start")
    extra = ["--quiet"] if name != "python h2" else []
    if certs:
        extra += ["--tls", certs.cert, certs.key]
    return start_server([SCRIPTS[name], *extra, "--port", "0"], name)


stop = stop_server


def h2load(url, requests, clients, streams, body_file=None):
    argv = ["h2load", "-n", str(requests), "-c", str(clients), "-t", "1", "-m", str(streams)]
    if body_file:
        argv += ["-d", body_file]
    out = subprocess.run(argv + [url], capture_output=True, text=True, timeout=180).stdout
    done = re.search(r"requests: (\d+) total, \d+ started, \d+ done, (\d+) succeeded", out)
    rate = re.search(r"finished in [\d.]+\w+, ([\d.]+) req/s", out)
    if not done or not rate or done.group(1) != done.group(2):
        raise SystemExit(f"h2load failed against {url}:\n{out}")
    return float(rate.group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--requests", type=int, default=20000)
    parser.add_argument("--clients", type=int, default=4)
    args = parser.parse_args()
    for exe in ("h2load", "nghttpd", "openssl"):
        if not shutil.which(exe):
            raise SystemExit(f"{exe} is not installed")

    with tempfile.TemporaryDirectory() as docroot, tempfile.TemporaryDirectory() as scratch, \
            tempfile.NamedTemporaryFile(suffix=".bin") as body:
        certs = make_certificates(scratch)
        # nghttpd answers every path with a file of the same content.
        Path(docroot, "index.html").write_bytes(b"hello from velmora\n")
        Path(docroot, "echo").write_bytes(os.urandom(1024))
        body.write(os.urandom(1024))
        body.flush()
        scenarios = [
            ("GET /, 100 streams/conn", "/", 100, None),
            ("GET /, 10 streams/conn", "/", 10, None),
            ("POST /echo 1 KiB, 32 streams", "/echo", 32, body.name),
        ]
        # Over TLS (ALPN h2) the same servers, with the handshake and the record
        # layer in the path: fewer scenarios, to keep the run short.
        tls_scenarios = [scenarios[0], scenarios[2]]
        best, best_tls = {}, {}
        for _ in range(args.rounds):
            for name in (*NAMES, THREADED):
                for table, runs, tls in ((best, scenarios, None), (best_tls, tls_scenarios, certs)):
                    if tls and name == THREADED:
                        continue
                    proc, base = start(name, docroot, tls)
                    try:
                        h2load(base + "/", 1000, 2, 10)  # warm up
                        for title, path, streams, data in runs:
                            rate = h2load(base + path, args.requests, args.clients, streams, data)
                            table[(title, name)] = max(table.get((title, name), 0.0), rate)
                    finally:
                        stop(proc)

    for over, table, runs in (("cleartext", best, scenarios), ("TLS", best_tls, tls_scenarios)):
        print(f"\nHTTP/2 over {over} end to end: h2load, {args.clients} connections, "
              f"best of {args.rounds} rounds (requests/s)")
        print(f"  {'scenario':<30}{'velmora':>10}{'python h2':>11}{'nghttpd':>10}"
              f"{'vs python h2':>14}{'of nghttpd':>12}")
        for title, *_ in runs:
            ours, peer, ceiling = (table[(title, n)] for n in NAMES)
            record(f"HTTP/2 over {over} end to end (h2load)", title, "python h2", ours / peer,
                   "requests/s", ours, peer)
            record(f"HTTP/2 over {over} end to end (h2load)", title, "nghttpd", ours / ceiling,
                   "requests/s", ours, ceiling)
            print(f"  {title:<30}{ours:>10.0f}{peer:>11.0f}{ceiling:>10.0f}"
                  f"{ours / peer:>13.2f}x{ours / ceiling:>11.0%}")
    print("\nThe threaded example server (threads on blocking sockets) against the asyncio one, h2c")
    print(f"  {'scenario':<30}{'asyncio':>10}{'threaded':>10}{'threaded/asyncio':>18}")
    for title, *_ in scenarios:
        ours, threaded = best[(title, "velmora")], best[(title, THREADED)]
        print(f"  {title:<30}{ours:>10.0f}{threaded:>10.0f}{threaded / ours:>17.2f}x")


if __name__ == "__main__":
    main()
