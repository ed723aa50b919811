"""Chunked body decoding: a 1 MiB body, fed in 64 KiB reads, decoded by
H1BodyDecoder, h11 and httptools side by side in one process.

The peers parse a short response head in front of the body (they cannot
decode a bare body); its cost is negligible next to 1 MiB.
"""

import time

import h11

try:
    import httptools
except ImportError:  # pragma: no cover
    httptools = None

from velmora._velmora import H1BodyDecoder

from _harness import record

BODY_SIZE = 1 << 20
READ = 64 * 1024
HEAD = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"


def chunked(body, chunk):
    out = [b"%X\r\n%s\r\n" % (len(body[i:i + chunk]), body[i:i + chunk]) for i in range(0, len(body), chunk)]
    return b"".join(out) + b"0\r\n\r\n"


def reads(wire):
    return [wire[i:i + READ] for i in range(0, len(wire), READ)]


def run_velmora(parts):
    d = H1BodyDecoder("chunked")
    n = 0
    for p in parts:
        d.feed(p)
        while (c := d.decode()) is not None:
            n += len(c)
    assert d.is_complete
    return n


def run_h11(parts):
    conn = h11.Connection(h11.CLIENT)
    conn.send(h11.Request(method="GET", target="/", headers=[("Host", "a")]))
    conn.send(h11.EndOfMessage())
    conn.receive_data(HEAD)
    n = 0
    done = False
    for p in parts:
        conn.receive_data(p)
        while True:
            ev = conn.next_event()
            if ev is h11.NEED_DATA:
                break
            if type(ev) is h11.Data:
                n += len(ev.data)
            elif type(ev) is h11.EndOfMessage:
                done = True
                break
    assert done
    return n


class _Proto:
    __slots__ = ("n", "done")

    def __init__(self):
        self.n = 0
        self.done = False

    def on_body(self, b):
        self.n += len(b)

    def on_message_complete(self):
        self.done = True


def run_httptools(parts):
    proto = _Proto()
    p = httptools.HttpResponseParser(proto)
    p.feed_data(HEAD)
    for part in parts:
        p.feed_data(part)
    assert proto.done
    return proto.n


def timeit(fn, parts, rounds):
    fn(parts)  # warm up
    best = float("inf")
    for _ in range(rounds):
        t0 = time.perf_counter_ns()
        n = fn(parts)
        best = min(best, time.perf_counter_ns() - t0)
    assert n == BODY_SIZE
    return best


def main():
    body = bytes(range(256)) * (BODY_SIZE // 256)
    runners = [("velmora", run_velmora), ("h11", run_h11)]
    if httptools is not None:
        runners.append(("httptools", run_httptools))
    print(f"h1_body: 1 MiB chunked body, {READ // 1024} KiB reads, best of 50 (MB/s, ns per MiB, ratio vs velmora)")
    for chunk in (16384, 1024, 128):
        parts = reads(chunked(body, chunk))
        results = {name: timeit(fn, parts, 50) for name, fn in runners}
        base = results["velmora"]
        for name, ns in results.items():
            mbps = BODY_SIZE / (ns / 1e9) / 1e6
            ratio = ns / base
            if name != "velmora":
                record("1 MiB chunked body", f"{chunk} B chunks", name, ratio, "ns", base, ns)
            print(f"  chunk {chunk:>5} B  {name:<10} {mbps:9.1f} MB/s  {ns:>11,d} ns/op  x{ratio:5.2f}"
                  + ("" if name == "velmora" else f" (velmora {ratio:.2f}x faster)" if ratio >= 1
                     else f" (velmora {1 / ratio:.2f}x slower)"))


if __name__ == "__main__":
    main()
