"""Resident memory of HTTP/2 under many threads: an in-process H2Streams pair,
then the example servers under a browser's load.

A client H2Streams and a server H2Streams exchange bytes in one process.
Each side has a pump thread that feeds the batches the other side wrote,
hands every frame event to its recv_* step and takes its own pending bytes
out. A batch is handed over as taken and released once the peer has read
it, the way a socket writer holds a batch until it is written: by then the
writer has usually taken the next one. The server's pump answers every
request with its own body. On the client, THREADS request threads each claim
a slot, open a stream, send the body and wait for the echo, over and over:
frames are queued on the request threads and written and freed on the pump
threads, which is where a per-thread allocator can strand memory.

Two rounds of REQUESTS requests run, each on a fresh set of request threads
(the first set has exited when the second starts). RSS is printed every
CHECKPOINT requests; the first CHECKPOINT requests are the warm-up. The
targets:
  growth from the end of the warm-up to the end of round one  < 16 MB
  growth over the whole second round                           < 2 MB

The servers: examples/threaded_server.py and examples/server.py (asyncio)
side by side, each in its own process, under what a browser did to them: 200
requests at once on one HTTP/2 connection (the server's stream limit lets 100
run together; each answer is 64 KiB), then ECHOES uploads of 20 MB echoed back
one after the other, ROUNDS times over. The servers' RSS is printed at the
end of each round and again once it settled (SETTLE_SECONDS later: the
threaded server's idle handler threads have exited). The targets:
  threaded server, at the end of any round               < SERVER_MB
  threaded server, settled, growth from the first round  < SERVER_GROWTH_MB

    tools/dev python bench/thread_memory.py [--threads N] [--requests N]
        [--checkpoint N] [--stats] [--load pair|servers|both]

--stats prints mimalloc's statistics at the end (MIMALLOC_* options in the
environment apply). Exits 1 when a target is missed; the test suite runs a
smaller version with its own bounds.
"""

import argparse
import ctypes
import ctypes.util
import itertools
import os
import queue
import sys
import threading
import time
from pathlib import Path

from _harness import start_server, stop_server

from velmora._velmora import (
    H2_FLAG_CAPACITY,
    H2_FLAG_SLOT_FREED,
    H2_HEADERS_OPENED,
    H2FrameData,
    H2FrameHeaders,
    H2FramePing,
    H2FrameSettings,
    H2FrameWindowUpdate,
    H2Streams,
    HeaderMap,
)

OPTS = dict(initial_window_size=1 << 20, connection_window=1 << 24, max_frame_size=16384,
            max_header_list_size=65536, max_send_buf_size=1 << 20, auto_date_header=False)
BODY = bytes(range(256)) * 4  # 1 KiB each way
GROWTH_MB = 16.0
SECOND_ROUND_MB = 2.0
PAGE = os.sysconf("SC_PAGE_SIZE")

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
SERVERS = {"threaded": EXAMPLES / "threaded_server.py", "asyncio": EXAMPLES / "server.py"}
CONCURRENT = 200  # requests at once on one connection
PAGE_SIZE = 16384  # /stream's chunk: each answer is 4 of them
ECHO_MB = 20
ECHOES = 3
ROUNDS = 3
SERVER_MB = 64.0
SERVER_GROWTH_MB = 8.0
SETTLE_SECONDS = 6.0  # longer than the threaded server's idle threads live


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE / 1e6


class Stream:
    __slots__ = ("sid", "body", "done", "window", "status")

    def __init__(self):
        self.sid = 0
        self.body = bytearray()
        self.done = threading.Event()
        self.window = threading.Event()
        self.status = None


class Side:
    """One endpoint and its pump thread."""

    def __init__(self, role):
        self.conn = H2Streams(role, **OPTS)
        self.inbox = queue.SimpleQueue()  # the peer's write batches, or None: just write
        self.peer = None
        self.stopping = False
        self.waiting = []  # server: (stream, offset) whose body waits for window
        self.slots = threading.Condition()
        self.failure = None
        self.thread = threading.Thread(target=self.run, name=f"{role}-pump", daemon=True)

    def kick(self):
        self.inbox.put(None)

    def run(self):
        try:
            while not self.stopping:
                try:
                    data = self.inbox.get(timeout=0.05)
                except queue.Empty:
                    data = None
                if data is not None:
                    # The batch is held until read, as a socket writer holds it
                    # until written: the writer has taken the next one meanwhile.
                    with data:
                        chunk = bytes(data)
                    del data
                    for ev in self.conn.receive(chunk):
                        self.dispatch(ev)
                self.write()
        except BaseException as exc:  # the bench reports it
            self.failure = exc
            self.peer.stopping = True

    def write(self):
        c = self.conn
        while c.has_pending():
            view, _ = c.take_pending()
            for h in c.credit_written():
                h.window.set()
            self.peer.inbox.put(view)

    def apply(self, flags):
        if flags & H2_FLAG_CAPACITY:
            h = self.conn.next_capacity_wake()
            if h is not None:
                h.window.set()
        if flags & H2_FLAG_SLOT_FREED:
            with self.slots:
                self.slots.notify_all()

    def dispatch(self, ev):
        c = self.conn
        t = type(ev)
        if t is H2FrameData:
            v = c.recv_data(ev)
            self.apply(v.flags)
            h = v.handle
            if h is not None and v.payload is not None:
                h.body += v.payload
                self.apply(c.release_capacity(ev.stream_id, ev.flow_controlled_len - ev.padding))
                if v.budgeted:
                    c.release_data_frame(ev.stream_id, len(v.payload))
            if v.eof and h is not None:
                self.on_end(h)
        elif t is H2FrameHeaders:
            if c.is_server:
                v = c.recv_headers(ev, Stream())
                if v.kind == H2_HEADERS_OPENED:
                    v.handle.sid = v.stream_id
                    c.accepted(v.stream_id)
            else:
                v = c.recv_headers(ev)
                if v.handle is not None:
                    v.handle.status = ev.status
            self.apply(v.flags)
            if v.eof and v.handle is not None:
                self.on_end(v.handle)
        elif t is H2FrameWindowUpdate:
            for h in c.recv_window_update(ev):
                h.window.set()
            self.retry_waiting()
        elif t is H2FrameSettings:
            _, handles, flags = c.recv_settings(ev)
            for h in handles:
                h.window.set()
            self.apply(flags)
            self.retry_waiting()
        elif t is H2FramePing:
            self.apply(c.recv_ping(ev))
        else:
            raise RuntimeError(f"unexpected frame event {ev!r}")

    def on_end(self, h):
        if not self.conn.is_server:
            h.done.set()
            return
        v = self.conn.send_response_head(h.sid, 200, RESPONSE_HEADERS, False)
        self.apply(v.flags)
        self.send(h, 0)

    def send(self, h, off):
        body = bytes(h.body)
        v = self.conn.send_data(h.sid, body, off, True)
        self.apply(v.flags)
        if v.stopped is not None:
            raise RuntimeError(f"response stopped: {v.stopped!r}")
        if not v.done:
            self.waiting.append((h, off + v.sent))

    def retry_waiting(self):
        waiting, self.waiting = self.waiting, []
        for h, off in waiting:
            self.send(h, off)


RESPONSE_HEADERS = HeaderMap()
RESPONSE_HEADERS.add("content-type", b"application/octet-stream")


class Pair:
    def __init__(self):
        self.client = Side("client")
        self.server = Side("server")
        self.client.peer, self.server.peer = self.server, self.client
        self.client.conn.begin()
        self.server.conn.begin()
        self.client.thread.start()
        self.server.thread.start()
        self.client.kick()
        self.server.kick()

    def close(self):
        for s in (self.client, self.server):
            s.stopping = True
        for s in (self.client, self.server):
            s.thread.join()

    def failure(self):
        return self.client.failure or self.server.failure

    def echo(self):
        side = self.client
        c = side.conn
        with side.slots:
            while not c.try_claim_slot():
                if self.failure() is not None:
                    raise RuntimeError("pump failed") from self.failure()
                side.slots.wait(0.05)
        h = Stream()
        sid = c.open_stream("POST", "/echo", None, False, False, h, scheme="http", authority="bench")
        if sid is None:
            raise RuntimeError(f"open_stream refused: {c.conn_error()!r}")
        h.sid = sid
        off = 0
        while True:
            h.window.clear()
            v = c.send_data(sid, BODY, off, True)
            side.apply(v.flags)
            off += v.sent
            side.kick()
            if v.done:
                break
            if v.stopped is not None:
                raise RuntimeError(f"request stopped: {v.stopped!r}")
            h.window.wait(0.05)
        while not h.done.wait(1.0):
            if self.failure() is not None:
                raise RuntimeError("pump failed") from self.failure()
        if bytes(h.body) != BODY:
            raise AssertionError(f"stream {sid}: echo of {len(h.body)} bytes differs")


def run_round(pair, threads, start, count, checkpoint, on_checkpoint):
    """count requests over `threads` fresh threads; on_checkpoint(n) after
    every `checkpoint` completed requests (n counts from the first round)."""
    tickets = itertools.count(start)
    done = itertools.count(start + 1)
    marks = queue.SimpleQueue()
    errors = []
    end = start + count

    def worker():
        try:
            while next(tickets) < end:
                pair.echo()
                n = next(done)
                if n % checkpoint == 0:
                    marks.put(n)
        except BaseException as exc:
            errors.append(exc)
            marks.put(None)

    ts = [threading.Thread(target=worker, name=f"req-{i}") for i in range(threads)]
    for t in ts:
        t.start()
    reported = 0
    while reported < count // checkpoint:
        n = marks.get()
        if n is None:
            break
        on_checkpoint(n)
        reported += 1
    for t in ts:
        t.join()
    if errors:
        raise errors[0]


def mimalloc_stats():
    """Prints the allocator's statistics, when the module's mimalloc is shared."""
    name = ctypes.util.find_library("mimalloc")
    if name is None:
        return
    lib = ctypes.CDLL(name)
    lib.mi_stats_print_out(None, None)


def process_rss_mb(pid):
    with open(f"/proc/{pid}/statm") as f:
        return int(f.read().split()[1]) * PAGE / 1e6


def process_threads(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


def browser_round(url):
    """One round of the browser's load on a new HTTP/2 connection to `url`."""
    sys.path.insert(0, str(EXAMPLES))
    import velmora._velmora as v
    from threaded_client import H2ClientConnection

    host, port = url.removeprefix("http://").split(":")
    conn = H2ClientConnection.open(host, int(port), f"{host}:{port}", "bench", lambda line: None,
                                   stall_seconds=60.0)
    errors = []

    def fetch(i):
        try:
            head, body, _ = conn.request("GET", f"/stream?chunks=4&size={PAGE_SIZE}&i={i}",
                                         None, None)
            if head.status != 200 or len(body) != 4 * PAGE_SIZE:
                raise AssertionError(f"fetch {i}: {head.status}, {len(body)} bytes")
        except BaseException as exc:
            errors.append(exc)

    try:
        threads = [threading.Thread(target=fetch, args=(i,)) for i in range(CONCURRENT)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        if errors:
            raise errors[0]
        body = bytes(range(256)) * (ECHO_MB * 1_000_000 // 256)
        fields = v.HeaderMap([("content-type", "application/octet-stream")])
        for _ in range(ECHOES):
            head, got, _ = conn.request("POST", "/echo", fields, body)
            if head.status != 200 or got != body:
                raise AssertionError(f"echo: {head.status}, {len(got)} bytes back")
            del got
    finally:
        conn.shutdown()


def server_load(rounds):
    """The browser's load on each example server; True when the targets are met."""
    rss = {}
    for name, script in SERVERS.items():
        proc, url = start_server([script, "--port", "0", "--quiet"], name)
        try:
            pid = proc.pid
            start = process_rss_mb(pid)
            marks, settled = [], []
            most = 0
            for _ in range(rounds):
                watch = threading.Event()

                def sample():
                    nonlocal most
                    while not watch.wait(0.05):
                        most = max(most, process_threads(pid))

                sampler = threading.Thread(target=sample)
                sampler.start()
                try:
                    browser_round(url)
                finally:
                    watch.set()
                    sampler.join()
                marks.append(process_rss_mb(pid))
                time.sleep(SETTLE_SECONDS)
                settled.append(process_rss_mb(pid))
        finally:
            stop_server(proc)
        rss[name] = max(marks)
        print(f"  {name:<9} rss at start {start:6.1f} MB; at each round's end "
              + ", ".join(f"{m:6.1f}" for m in marks) + " MB; settled "
              + ", ".join(f"{m:6.1f}" for m in settled) + f" MB; at most {most} threads",
              flush=True)
        if name == "threaded":
            growth = settled[-1] - settled[0]
            ok1, ok2 = max(marks) < SERVER_MB, growth < SERVER_GROWTH_MB
    print(f"threaded server at its largest: {rss['threaded']:6.1f} MB  "
          f"target < {SERVER_MB:g} MB  {'ok' if ok1 else 'MISSED'}  "
          f"({rss['threaded'] / rss['asyncio']:.2f}x the asyncio server's)")
    print(f"threaded server settled, growth over rounds 2..{rounds}: {growth:6.1f} MB  "
          f"target < {SERVER_GROWTH_MB:g} MB  {'ok' if ok2 else 'MISSED'}")
    return ok1 and ok2


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--threads", type=int, default=50)
    ap.add_argument("--requests", type=int, default=20_000, help="per round")
    ap.add_argument("--checkpoint", type=int, default=5_000)
    ap.add_argument("--growth-mb", type=float, default=GROWTH_MB)
    ap.add_argument("--second-round-mb", type=float, default=SECOND_ROUND_MB)
    ap.add_argument("--stats", action="store_true", help="print mimalloc's statistics at the end")
    ap.add_argument("--quiet", action="store_true", help="only the verdict lines")
    ap.add_argument("--load", choices=("pair", "servers", "both"), default="both",
                    help="the in-process pair, the example servers, or both")
    ap.add_argument("--rounds", type=int, default=ROUNDS, help="of the servers' load")
    a = ap.parse_args(argv)
    ok = True
    if a.load != "servers":
        ok = pair_load(a)
    if a.load != "pair":
        print(f"thread_memory: the example servers, {a.rounds} rounds of {CONCURRENT} requests "
              f"at once on one HTTP/2 connection, then {ECHOES} echoes of {ECHO_MB} MB", flush=True)
        ok = server_load(a.rounds) and ok
    return 0 if ok else 1


def pair_load(a):
    """The in-process pair; True when the targets are met."""
    pair = Pair()
    rss = {0: rss_mb()}
    t0 = time.perf_counter()
    last = [t0, 0]

    def mark(n):
        rss[n] = rss_mb()
        now = time.perf_counter()
        rate = (n - last[1]) / (now - last[0])
        last[:] = [now, n]
        if not a.quiet:
            print(f"  {n:>7} requests  rss {rss[n]:7.1f} MB  {rate:8.0f} req/s  "
                  f"python blocks {sys.getallocatedblocks()}", flush=True)

    if not a.quiet:
        print(f"thread_memory: {a.threads} threads, 2 x {a.requests} echo requests of {len(BODY)} bytes "
              f"over an in-process HTTP/2 pair; rss at start {rss[0]:.1f} MB")
    try:
        run_round(pair, a.threads, 0, a.requests, a.checkpoint, mark)
        run_round(pair, a.threads, a.requests, a.requests, a.checkpoint, mark)
    finally:
        pair.close()
    if pair.failure() is not None:
        raise pair.failure()
    warm, first, second = a.checkpoint, a.requests, 2 * a.requests
    growth = rss[first] - rss[warm]
    extra = rss[second] - rss[first]
    ok1, ok2 = growth < a.growth_mb, extra < a.second_round_mb
    print(f"growth after warm-up ({warm}..{first}): {growth:6.1f} MB  target < {a.growth_mb:g} MB  "
          f"{'ok' if ok1 else 'MISSED'}")
    print(f"second round ({first}..{second}):      {extra:6.1f} MB  target < {a.second_round_mb:g} MB  "
          f"{'ok' if ok2 else 'MISSED'}")
    if a.stats:
        sys.stdout.flush()
        mimalloc_stats()
    return ok1 and ok2


if __name__ == "__main__":
    sys.exit(main())
