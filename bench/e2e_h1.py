#!/usr/bin/env python3
"""HTTP/1.1 end to end: h2load --h1 against the example server and its h11 and httptools twins.

    tools/dev python bench/e2e_h1.py [--rounds R] [--requests N] [--clients C]

The three servers share one skeleton (examples/wire.py, one task per
connection) and one set of routes (examples/server.py); only the HTTP/1 layer
differs: velmora's H1ServerState and H1Codec, h11, or httptools with a
hand-written response encoder. Each is started on a loopback port, loaded by
h2load in HTTP/1.1 mode, and stopped, in alternating rounds; each keeps its
best round, so load from other processes hits all alike. Printed: requests/s
per server and scenario, and velmora's ratio to each peer (above 1: velmora
serves more).
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent

SERVERS = {
    "velmora": [str(ROOT / "examples" / "server.py"), "--quiet"],
    "h11": [str(HERE / "servers" / "h1_peers.py"), "--impl", "h11"],
    "httptools": [str(HERE / "servers" / "h1_peers.py"), "--impl", "httptools"],
}


def start(name):
    proc = subprocess.Popen([sys.executable, *SERVERS[name], "--port", "0"],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        line = proc.stdout.readline()
        if m := re.search(r"listening on (http://\S+?)/$", line.strip()):
            return proc, m.group(1)
        if not line and proc.poll() is not None:
            break
    proc.kill()
    raise SystemExit(f"{name} server did not start")


def stop(proc):
    proc.terminate()
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--requests", type=int, default=20000)
    parser.add_argument("--clients", type=int, default=16)
    args = parser.parse_args()
    if not shutil.which("h2load"):
        raise SystemExit("h2load is not installed")

    with tempfile.NamedTemporaryFile(suffix=".bin") as body:
        body.write(os.urandom(1024))
        body.flush()
        scenarios = [
            ("GET /", "/", 1, None),
            ("GET /, 8 pipelined", "/", 8, None),
            ("POST /echo 1 KiB", "/echo", 1, body.name),
        ]
        best = {}
        for _ in range(args.rounds):
            for name in SERVERS:
                proc, base = start(name)
                try:
                    h2load(base + "/", 500, 4, 1)  # warm up
                    for title, path, pipeline, data in scenarios:
                        rate = h2load(base + path, args.requests, args.clients, pipeline, data)
                        key = (title, name)
                        best[key] = max(best.get(key, 0.0), rate)
                finally:
                    stop(proc)

    print(f"\nHTTP/1.1 end to end: h2load --h1, {args.clients} connections, "
          f"best of {args.rounds} rounds (requests/s; ratio = velmora / peer)")
    print(f"  {'scenario':<22}{'velmora':>10}{'h11':>10}{'httptools':>11}"
          f"{'vs h11':>9}{'vs httptools':>14}")
    for title, *_ in scenarios:
        ours, h11, ht = (best[(title, n)] for n in SERVERS)
        print(f"  {title:<22}{ours:>10.0f}{h11:>10.0f}{ht:>11.0f}"
              f"{ours / h11:>8.2f}x{ours / ht:>13.2f}x")


if __name__ == "__main__":
    main()
