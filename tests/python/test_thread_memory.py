"""Memory is returned when many threads drive one HTTP/2 connection: a
smaller run of bench/thread_memory.py (50 request threads queueing frames
while the writers still hold earlier batches) in a child process, whose RSS
must stop growing once warmed up. A connection that lets its pending buffer
be regrown on every queueing thread grew by 30 MB or more here."""

import pathlib
import re
import subprocess
import sys

import pytest

BENCH = pathlib.Path(__file__).resolve().parents[2] / "bench" / "thread_memory.py"
BOUND_MB = 12


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="RSS from /proc")
def test_rss_stays_flat_after_warm_up_under_fifty_threads():
    p = subprocess.run([sys.executable, str(BENCH), "--threads", "50", "--requests", "4000",
                        "--checkpoint", "1000", "--load", "pair"], capture_output=True, text=True, timeout=300)
    # The exit status is the full run's targets, not this smaller run's.
    assert "Traceback" not in p.stderr, p.stderr[-3000:]
    rss = {int(n): float(mb) for n, mb in re.findall(r"^\s*(\d+) requests\s+rss\s+([\d.]+) MB", p.stdout, re.M)}
    assert sorted(rss) == list(range(1000, 8001, 1000)), p.stdout
    assert rss[8000] - rss[1000] < BOUND_MB, p.stdout
