"""Peers that stop half-way, against both example servers: uploads that stall
after their first octet, responses nobody reads, a slow upload that keeps
moving, a TLS peer that never answers our close.

The stall probe is what an attacker with a few connections tries: 6 HTTP/2
connections each open 100 uploads, send one octet of each and then nothing
(or 100 requests whose responses they never read). Beside it a healthy client
must be answered within a second over both protocols, every stalled stream
must end once the body deadline passed (not before), and the threaded
server's threads must stay bounded. Every loop is bounded in count and time.
"""

import socket
import ssl
import threading
import time

import pytest
from conftest import start_server
from h2raw import DATA, END_STREAM, HEADERS, RST_STREAM, H2Raw, frame, rst_stream, window_update

BODY_TIMEOUT = 2.0  # the servers' --body-timeout here
LATE = 6.0  # how long after the deadline every stalled stream must have ended
PROBE_CONNS, PROBE_STREAMS = 6, 100
HEALTHY_SECONDS = 1.0
NO_ERROR, REFUSED_STREAM, CANCEL = 0, 7, 8

# The threaded server's pool (examples/threaded_server.py): handlers for
# uploads, all handlers, and the threads each connection runs besides them.
UPLOAD_THREADS, HANDLER_THREADS, CONN_THREADS = 256, 512, 3


@pytest.fixture(scope="module", params=["server.py", "threaded_server.py"])
def srv(request):
    prog = start_server("--body-timeout", str(BODY_TIMEOUT), script=request.param)
    prog.threaded = request.param == "threaded_server.py"
    try:
        yield prog
    finally:
        rc = prog.stop()
    assert rc == 0, "the server did not shut down cleanly:\n" + "\n".join(prog.lines[-20:])


def threads_of(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("Threads:"):
                return int(line.split()[1])
    raise AssertionError("no Threads line")


def h1_exchange(port, request, timeout=5.0):
    """Send `request` on a new connection; everything until the server closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as sock:
        sock.sendall(request)
        buf = b""
        deadline = time.monotonic() + timeout
        while b"\r\n\r\n" not in buf or not buf.endswith(b"from velmora\n"):
            sock.settimeout(max(0.01, deadline - time.monotonic()))
            chunk = sock.recv(65536)
            if not chunk:
                break
            buf += chunk
        return buf


class Healthy(threading.Thread):
    """A well-behaved client fetching / over HTTP/2 and HTTP/1.1 in turn, timing each."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port = port
        self.times = {"h2": [], "http/1.1": []}
        self.error = None
        self.done = threading.Event()

    def run(self):
        try:
            c = H2Raw(self.port)
            c.handshake()
            while not self.done.wait(0.2):
                t0 = time.monotonic()
                assert c.get("/", timeout=5) == (200, b"hello from velmora\n")
                self.times["h2"].append(time.monotonic() - t0)
                t0 = time.monotonic()
                got = h1_exchange(self.port, b"GET / HTTP/1.1\r\nHost: a\r\n\r\n")
                assert got.startswith(b"HTTP/1.1 200") and got.endswith(b"hello from velmora\n"), got
                self.times["http/1.1"].append(time.monotonic() - t0)
            c.close()
        except BaseException as exc:  # reported by the test
            self.error = exc

    def check(self):
        self.done.set()
        self.join(15)
        assert self.error is None, repr(self.error)
        for proto, times in self.times.items():
            assert len(times) >= 3, (proto, times)
            assert max(times) < HEALTHY_SECONDS, (proto, times)


def open_streams(c, count, path, method, extra=(), body=None):
    """Open `count` streams at once (each sends `body`, no END_STREAM, when given)."""
    wire, sids = [], set()
    for _ in range(count):
        sid = c.new_sid()
        sids.add(sid)
        wire.append(c.headers(sid, path, method, end_stream=body is None, extra=extra))
        if body is not None:
            wire.append(frame(DATA, 0, sid, body))
    c.send(b"".join(wire))
    return sids


ENDS = {REFUSED_STREAM: "refused", CANCEL: "cancel"}


def stream_ends(c, sids, timeout):
    """{sid: (how, seconds from now)} for the streams in `sids` that ended within
    `timeout`, how being "refused", "cancel", another RST_STREAM code, or the
    status of a head that ended the stream ("408"). The client reads every frame
    and opens no window."""
    t0 = time.monotonic()
    deadline = t0 + timeout
    ends = {}
    while len(ends) < len(sids):
        try:
            f = c.next_frame(deadline)
        except AssertionError:  # out of time: the caller counts what ended
            break
        if f is None:
            break
        now = time.monotonic() - t0
        if f.kind == HEADERS:
            fields = dict(c.decoder.decode(f.payload))  # every block: HPACK stays in step
            if f.flags & END_STREAM and f.sid in sids:
                ends.setdefault(f.sid, (fields[":status"], now))
        elif f.kind == RST_STREAM and f.sid in sids:
            ends.setdefault(f.sid, (ENDS.get(f.error_code, str(f.error_code)), now))
    return ends


def run_probe(srv, path, method, extra=(), body=None):
    """The probe beside a healthy client: {how: [seconds]} over all probe streams,
    and the server's most threads seen."""
    healthy = Healthy(srv.port)
    conns = [H2Raw(srv.port, timeout=BODY_TIMEOUT + LATE) for _ in range(PROBE_CONNS)]
    for c in conns:
        c.handshake()
    healthy.start()
    results = [None] * PROBE_CONNS
    most_threads = [threads_of(srv.proc.pid)]

    def probe(i):
        sids = open_streams(conns[i], PROBE_STREAMS, path, method, extra, body)
        results[i] = stream_ends(conns[i], sids, BODY_TIMEOUT + LATE)

    workers = [threading.Thread(target=probe, args=(i,), daemon=True) for i in range(PROBE_CONNS)]
    for w in workers:
        w.start()
    while any(w.is_alive() for w in workers):
        most_threads.append(threads_of(srv.proc.pid))
        time.sleep(0.1)
    healthy.check()
    for c in conns:
        c.close()
    by_how = {}
    for i, ends in enumerate(results):
        assert ends is not None and len(ends) == PROBE_STREAMS, (i, ends and len(ends))
        for how, at in ends.values():
            by_how.setdefault(how, []).append(at)
    return by_how, max(most_threads)


def check_deadline(by_how, stalled):
    """Streams ended for the stall (`stalled` ways) ended after the deadline, not
    before; the rest were refused (threaded server only). (ended, refused)."""
    ended = sum(len(by_how.get(how, ())) for how in stalled)
    refused = by_how.get("refused", [])
    assert ended + len(refused) == PROBE_CONNS * PROBE_STREAMS, {k: len(t) for k, t in by_how.items()}
    for how in stalled:
        for at in by_how.get(how, ()):
            assert BODY_TIMEOUT - 0.3 < at < BODY_TIMEOUT + LATE, (how, at)
    # Refused as the pool found itself full, long before any deadline.
    assert all(at < BODY_TIMEOUT - 0.3 for at in refused), max(refused)
    return ended, len(refused)


def test_stalled_uploads_end_at_the_deadline_beside_a_healthy_client(srv):
    # A steady upload of 1 KB a second runs beside the probe, and outlives the deadline.
    slow = SlowUploads(srv.port, seconds=10, rate=1024)
    slow.start()
    # Under way before the probe: a stream the probe's uploads find the pool's
    # upload share taken by would be refused (a client may retry it), not cut.
    assert slow.started.wait(5)
    time.sleep(0.2)
    by_how, threads = run_probe(srv, "/echo", "POST", [("content-length", "100000")], b"x")
    # No head went out: each stalled upload is answered 408 (and its unread body reset).
    timed_out, refused = check_deadline(by_how, ("408",))
    if srv.threaded:
        # Uploads hold at most their share of the pool; the rest were refused
        # before any processing, so a client may retry them.
        assert timed_out <= UPLOAD_THREADS and refused >= PROBE_CONNS * PROBE_STREAMS - UPLOAD_THREADS
        assert threads <= UPLOAD_THREADS + CONN_THREADS * (PROBE_CONNS + 2) + 8, threads
    else:
        assert refused == 0
    slow.check()
    srv.wait_for(r"POST /echo: stream \d+: no request body for 2 s")


def test_unread_responses_end_at_the_deadline_beside_a_healthy_client(srv):
    # Each response is 1 MB; the probe reads every frame but opens no window,
    # so after the first 64 KB of the connection window no stream gets further.
    by_how, threads = run_probe(srv, "/stream?chunks=64&size=16384", "GET")
    timed_out, refused = check_deadline(by_how, ("cancel",))
    if srv.threaded:
        assert threads <= HANDLER_THREADS + CONN_THREADS * (PROBE_CONNS + 2) + 8, threads
    else:
        assert refused == 0


def test_h1_stalled_upload_gets_408_and_close(srv):
    t0 = time.monotonic()
    with socket.create_connection(("127.0.0.1", srv.port), timeout=BODY_TIMEOUT + LATE) as sock:
        sock.sendall(b"POST /echo HTTP/1.1\r\nHost: a\r\nContent-Length: 100000\r\n\r\nx")
        buf = b""
        while chunk := sock.recv(65536):
            buf += chunk
    took = time.monotonic() - t0
    assert buf.startswith(b"HTTP/1.1 408 "), buf
    assert b"\r\nconnection: close\r\n" in buf.lower(), buf
    assert BODY_TIMEOUT - 0.3 < took < BODY_TIMEOUT + LATE, took


class SlowUploads(threading.Thread):
    """POST /echo over HTTP/2 and HTTP/1.1 at once, `rate` octets a second for
    `seconds`: both must come back whole."""

    def __init__(self, port, seconds, rate):
        super().__init__(daemon=True)
        self.port, self.seconds, self.rate = port, seconds, rate
        self.body = bytes(range(256)) * (seconds * rate // 256)
        self.got = {}
        self.error = None
        self.started = threading.Event()

    def run(self):
        try:
            h2 = H2Raw(self.port, timeout=self.seconds + 5)
            h2.handshake()
            sid = h2.new_sid()
            length = [("content-length", str(len(self.body)))]
            h2.send(h2.headers(sid, "/echo", "POST", end_stream=False, extra=length))
            h1 = socket.create_connection(("127.0.0.1", self.port), timeout=self.seconds + 5)
            h1.sendall(b"POST /echo HTTP/1.1\r\nHost: a\r\nConnection: close\r\n"
                       b"Content-Length: %d\r\n\r\n" % len(self.body))
            for at in range(0, len(self.body), self.rate):
                piece = self.body[at:at + self.rate]
                last = at + self.rate >= len(self.body)
                h2.send(frame(DATA, END_STREAM if last else 0, sid, piece))
                h1.sendall(piece)
                self.started.set()
                time.sleep(1.0)
            body = b""
            for f in h2.frames_until(lambda f: f.sid == sid and (
                    f.flags & END_STREAM and f.kind == DATA or f.kind == RST_STREAM)):
                if f.sid == sid and f.kind == DATA:
                    body += f.payload
                    h2.send(window_update(0, len(f.payload)) + window_update(sid, len(f.payload)))
            self.got["h2"] = body
            h2.close()
            buf = b""
            while chunk := h1.recv(65536):
                buf += chunk
            h1.close()
            self.got["http/1.1"] = buf.partition(b"\r\n\r\n")[2]
        except BaseException as exc:  # reported by the test
            self.error = exc
            self.started.set()

    def check(self):
        self.join(self.seconds + 10)
        assert self.error is None, repr(self.error)
        assert self.got == {"h2": self.body, "http/1.1": self.body}, {
            k: len(v) for k, v in self.got.items()}


def test_client_reset_is_logged_as_the_clients(srv):
    c = H2Raw(srv.port)
    try:
        c.handshake()
        mark = srv.mark()
        sid = c.new_sid()
        # A response larger than its window: the server's writer waits; then the
        # client cancels the stream under it.
        c.send(c.headers(sid, "/stream?chunks=16&size=16384"))
        got = 0
        for f in c.frames_until(lambda f: f.sid == sid and f.kind == DATA):
            if f.kind == HEADERS:
                c.decoder.decode(f.payload)  # HPACK stays in step for the GET below
            elif f.kind == DATA:
                got += len(f.payload)
        c.send(rst_stream(sid, CANCEL) + window_update(0, got))
        m = srv.wait_for(rf"stream {sid} (stopped|reset)[^\n]*", start=mark)
        assert m.group(0).startswith(f"stream {sid} reset by the client (CANCEL)"), m.group(0)
        assert c.get("/") == (200, b"hello from velmora\n")
    finally:
        c.close()


@pytest.mark.parametrize("script", ["server.py", "threaded_server.py"])
def test_tls_shutdown_does_not_wait_for_a_peer_that_never_reads(certs, script):
    prog = start_server("--tls", str(certs.cert), str(certs.key), script=script)
    try:
        ctx = ssl.create_default_context(cafile=str(certs.ca))
        ctx.set_alpn_protocols(["http/1.1"])
        raw = socket.create_connection(("127.0.0.1", prog.port), timeout=5)
        tls = ctx.wrap_socket(raw, server_hostname="127.0.0.1")
        tls.sendall(b"GET / HTTP/1.1\r\nHost: a\r\n\r\n")
        buf = b""
        while not buf.endswith(b"hello from velmora\n"):
            buf += tls.recv(65536)
        # Idle and kept alive; from now on the peer reads nothing, so it never
        # answers the server's close_notify.
        t0 = time.monotonic()
        rc = prog.stop(timeout=10)
        took = time.monotonic() - t0
        tls.close()
    finally:
        prog.kill()
    assert rc == 0, "\n".join(prog.lines[-20:])
    assert took < 2.0, f"{script} took {took:.2f} s to stop"


class Conn:
    """What the pool reads of a connection: the handlers it holds."""

    def __init__(self):
        self.held = 0


def test_handler_pool_admission_keeps_shares():
    import threaded_harness  # noqa: F401  (puts examples/ on the path)
    from threaded_server import Workers

    pool = Workers(limit=64, uploads=32, reserve=8, small=4)

    def fill(conn, upload, cap=100):
        n = 0
        while pool.admit(conn, upload, cap):
            n += 1
        return n

    # A connection is held to its stream limit.
    a = Conn()
    assert fill(a, False, cap=10) == 10
    pool.release(a, False)
    assert pool.admit(a, False, 10) and not pool.admit(a, False, 10)
    # Uploads stop at their share, however many connections ask ...
    uploads = [Conn() for _ in range(3)]
    assert [fill(c, True) for c in uploads] == [32, 0, 0]
    # ... while a request without a body still gets a handler.
    b = Conn()
    assert pool.admit(b, False, 100)
    assert (pool.busy, pool.uploading, pool.holders) == (10 + 32 + 1, 32, 3)
    # Half the pool is busy: a connection past its equal share (64 // 3) is refused.
    assert not pool.admit(uploads[0], False, 100)
    # Others grow up to the reserve, which only connections holding fewer than
    # `small` handlers may use, while any thread is free.
    assert fill(b, False) == 64 - 8 - 43 and pool.busy == 64 - 8
    smalls = [Conn() for _ in range(3)]
    assert [fill(c, False) for c in smalls] == [4, 4, 0]
    assert pool.busy == 64
    # Released handlers come back to every count.
    for c in [a, b, *uploads, *smalls]:
        for _ in range(c.held):
            pool.release(c, c in uploads)
    assert (pool.busy, pool.uploading, pool.holders) == (0, 0, 0)
