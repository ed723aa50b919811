#!/usr/bin/env python3
"""HTTP/2 end to end: h2load over h2c against the example server, its python h2 twin and nghttpd.

    tools/dev python bench/e2e_h2.py [--rounds R] [--requests N] [--clients C]

The example server (examples/server.py, velmora's H2Streams under the driver
in examples/h2_driver.py) and bench/servers/h2_peer.py share one skeleton
(examples/wire.py, one task per connection and per stream) and one set of
routes; only the HTTP/2 layer differs. nghttpd, nghttp2's own C server
serving a static file, is the ceiling. Each is started on a loopback port,
loaded by h2load with many streams per connection, and stopped, in
alternating rounds; each keeps its best round. Printed: requests/s per server
and scenario, velmora's ratio to python h2 (required: 5x or more) and the
share of nghttpd's rate it reaches.
"""

import argparse
import os
import re
import shutil
import socket
import subprocess
import tempfile
import time
from pathlib import Path

from _harness import start_server, stop_server

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
NAMES = ("velmora", "python h2", "nghttpd", "threaded")
SCRIPTS = {"velmora": ROOT / "examples" / "server.py",
           "threaded": ROOT / "examples" / "threaded_server.py",
           "python h2": HERE / "servers" / "h2_peer.py"}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start(name, docroot):
    if name == "nghttpd":
        port = free_port()
        proc = subprocess.Popen(["nghttpd", "--no-tls", "-d", docroot, str(port)],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return proc, f"http://127.0.0.1:{port}"
            except OSError:
                time.sleep(0.05)
        proc.kill()
        raise SystemExit("nghttpd did not start")
    extra = ["--quiet"] if name != "python h2" else []
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
    for exe in ("h2load", "nghttpd"):
        if not shutil.which(exe):
            raise SystemExit(f"{exe} is not installed")

    with tempfile.TemporaryDirectory() as docroot, \
            tempfile.NamedTemporaryFile(suffix=".bin") as body:
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
        best = {}
        for _ in range(args.rounds):
            for name in NAMES:
                proc, base = start(name, docroot)
                try:
                    h2load(base + "/", 1000, 2, 10)  # warm up
                    for title, path, streams, data in scenarios:
                        rate = h2load(base + path, args.requests, args.clients, streams, data)
                        best[(title, name)] = max(best.get((title, name), 0.0), rate)
                finally:
                    stop(proc)

    print(f"\nHTTP/2 over cleartext end to end: h2load, {args.clients} connections, "
          f"best of {args.rounds} rounds (requests/s)")
    print(f"  {'scenario':<30}{'velmora':>10}{'python h2':>11}{'nghttpd':>10}{'threaded':>10}"
          f"{'vs python h2':>14}{'of nghttpd':>12}{'threaded/asyncio':>18}")
    for title, *_ in scenarios:
        ours, peer, ceiling, threaded = (best[(title, n)] for n in NAMES)
        print(f"  {title:<30}{ours:>10.0f}{peer:>11.0f}{ceiling:>10.0f}{threaded:>10.0f}"
              f"{ours / peer:>13.2f}x{ours / ceiling:>11.0%}{threaded / ours:>17.2f}x")


if __name__ == "__main__":
    main()
