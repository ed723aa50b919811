"""Side-by-side micro-benchmark helpers.

Both sides of a comparison are measured in alternating short rounds and each
keeps its best round, so load from other processes on the machine hits both
alike and is filtered out by the minimum.
"""

import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path


def _calibrate(fn, target_ns=2_000_000):
    number = 1
    while True:
        t0 = time.perf_counter_ns()
        for _ in range(number):
            fn()
        if time.perf_counter_ns() - t0 > target_ns:
            return number
        number *= 2


def _round(fn, number):
    t0 = time.perf_counter_ns()
    for _ in range(number):
        fn()
    return (time.perf_counter_ns() - t0) / number


def compare(ours, theirs, rounds=41):
    """Best ns per call of each, measured in alternating rounds."""
    n1, n2 = _calibrate(ours), _calibrate(theirs)
    best1 = best2 = float("inf")
    for _ in range(rounds):
        best1 = min(best1, _round(ours, n1))
        best2 = min(best2, _round(theirs, n2))
    return best1, best2


def ns_per_call(fn, rounds=41):
    n = _calibrate(fn)
    return min(_round(fn, n) for _ in range(rounds))


def record(title, operation, peer, speedup, unit, ours, theirs):
    """Appends one comparison to the file VELMORA_BENCH_RECORD names, if any (one
    JSON object a line: `tools/dev bench --report` charts them). `speedup` > 1
    means velmora is faster; `ours` and `theirs` are in `unit`."""
    path = os.environ.get("VELMORA_BENCH_RECORD")
    if not path:
        return
    row = {"bench": Path(sys.argv[0]).stem, "title": title, "operation": operation, "peer": peer,
           "speedup": round(speedup, 4), "unit": unit, "velmora": ours, "peer_value": theirs}
    with open(path, "a", encoding="utf-8") as f:
        f.write(json.dumps(row) + "\n")


def table(title, rows, peer):
    """rows: (operation, ours_ns, peer_ns). Speedup > 1 means velmora is faster."""
    print(f"\n{title}")
    print(f"  {'operation':<36}{'velmora ns':>12}{peer + ' ns':>20}{'speedup':>10}")
    for name, ours, theirs in rows:
        print(f"  {name:<36}{ours:>12.1f}{theirs:>20.1f}{theirs / ours:>9.2f}x")
        record(title, name, peer, theirs / ours, "ns", ours, theirs)


def start_server(args, name):
    """Starts `python args...` and waits for its "listening on URL/" line.

    Returns (process, base URL without the trailing slash); gives up after 10 s.
    """
    proc = subprocess.Popen([sys.executable, *map(str, args)],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        line = proc.stdout.readline()
        if m := re.search(r"listening on (https?://\S+?)/$", line.strip()):
            return proc, m.group(1)
        if not line and proc.poll() is not None:
            break
    proc.kill()
    raise SystemExit(f"{name} server did not start")


def stop_server(proc):
    """SIGTERM, then SIGKILL after 10 s."""
    proc.terminate()
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
