"""Side-by-side micro-benchmark helpers: best-of-N ns per call."""

import time


def ns_per_call(fn, *, number=None, repeat=7):
    if number is None:
        number = 1
        while True:
            t0 = time.perf_counter_ns()
            for _ in range(number):
                fn()
            if time.perf_counter_ns() - t0 > 20_000_000:
                break
            number *= 2
    best = None
    for _ in range(repeat):
        t0 = time.perf_counter_ns()
        for _ in range(number):
            fn()
        dt = (time.perf_counter_ns() - t0) / number
        best = dt if best is None or dt < best else best
    return best


def table(title, rows, peer):
    """rows: (operation, ours_ns, peer_ns). Ratio > 1 means velmora is faster."""
    print(f"\n{title}")
    print(f"  {'operation':<34}{'velmora ns':>12}{peer + ' ns':>18}{'speedup':>10}")
    for name, ours, theirs in rows:
        print(f"  {name:<34}{ours:>12.1f}{theirs:>18.1f}{theirs / ours:>9.2f}x")
