"""Many threads on one connection: the threaded drivers under load, resets and
early closes, with every byte checked and every window and slot accounted for.

Every wait of the HTTP/2 drivers is bounded here (`stall_seconds`): a lost
wake-up fails with the name of the wait that never ended instead of hanging
the suite, and a thread still alive at the end is reported by name.
"""

import os
import random
import socket
import sys
import threading
import time

import pytest
from threaded_harness import InProcessServer

import velmora._velmora as v

import threaded_client  # noqa: E402  (on the path through threaded_harness)
from shared import H2_CLIENT, H2_SERVER  # noqa: E402

THREADS, REQUESTS = 50, 20
STALL = 20.0  # no single wait in these runs comes near this
SMALL_WINDOWS = 1024


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_threads(work, count=THREADS, timeout=90.0):
    """Run `work(i)` on `count` threads; the failures, and names of threads still alive."""
    errors = []

    def body(i):
        try:
            work(i)
        except BaseException as exc:  # noqa: BLE001 - collected and reported
            errors.append(f"thread {i}: {type(exc).__name__}: {exc}")

    threads = [threading.Thread(target=body, args=(i,), daemon=True, name=f"stress-{i}")
               for i in range(count)]
    for t in threads:
        t.start()
    deadline = time.monotonic() + timeout
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    stuck = [t.name for t in threads if t.is_alive()]
    return errors, stuck


def payload(seed, size):
    return random.Random(seed).randbytes(size)


def settle(check, timeout=5.0):
    """Wait until check() is true (the pumps finish what the threads started)."""
    deadline = time.monotonic() + timeout
    while not check():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


@pytest.fixture
def small_window_server():
    srv = InProcessServer(h2_settings=dict(H2_SERVER, initial_window_size=SMALL_WINDOWS),
                          stall_seconds=STALL)
    try:
        yield srv
    finally:
        srv.stop()


def test_h2_many_threads_small_windows_resets_and_early_closes(small_window_server):
    srv = small_window_server
    conn = threaded_client.H2ClientConnection.open(
        "127.0.0.1", srv.port, f"127.0.0.1:{srv.port}", 1, lambda line: None,
        settings=dict(H2_CLIENT, initial_window_size=SMALL_WINDOWS), stall_seconds=STALL)
    fields = v.HeaderMap([("content-type", "application/octet-stream")])
    outcomes = {"echoed": 0, "reset": 0, "closed early": 0}
    lock = threading.Lock()

    def one(i, n):
        rng = random.Random(i * 1000 + n)
        body = payload(i * 1000 + n, rng.randrange(1, 6000))
        mode = rng.choices(("echo", "reset", "aclose"), (6, 2, 2))[0]
        s = conn.open_request("POST", "/echo", fields, True)
        if mode == "reset":
            cut = rng.randrange(0, len(body))
            conn.writer_begin()
            try:
                if cut:
                    conn.send_body(s, body[:cut], False)
            finally:
                conn.writer_finish()
            verdict = conn.reset_stream(s.id, v.H2Reason.CANCEL)
            if verdict.handle is not None:
                verdict.handle.halt(verdict.stop)
            conn.apply(verdict.flags)
            return "reset"
        try:
            conn.write_body(s, body)
            head = conn.response_head(s)
            assert head.status == 200
            if mode == "aclose":
                conn.read(s)  # the first piece only, then the reader goes away
                conn.apply(conn.aclose_body(s.id).flags)
                return "closed early"
            got = []
            while piece := conn.read(s):
                got.append(piece)
        except BaseException:
            conn.apply(conn.aclose_body(s.id).flags)
            raise
        data = b"".join(got)
        assert data == body, f"stream {s.id}: {len(data)} bytes back of {len(body)}, or other bytes"
        return "echoed"

    def work(i, first=0, count=REQUESTS):
        for n in range(first, first + count):
            outcome = one(i, n)
            with lock:
                outcomes[outcome] += 1

    # A warm-up round first: thread stacks and the allocator's arenas are not growth.
    errors, stuck = run_threads(lambda i: work(i, REQUESTS, 5))
    assert not stuck and not errors, (stuck, errors[:10])
    outcomes = dict.fromkeys(outcomes, 0)
    before = rss_bytes()
    errors, stuck = run_threads(work)
    assert not stuck, f"threads left waiting (a lost wake-up?): {stuck}"
    assert not errors, "\n".join(errors[:10])
    assert sum(outcomes.values()) == THREADS * REQUESTS and all(outcomes.values()), outcomes

    # Every slot and window is back, on both sides, once the last frames are through.
    [server_conn] = srv.h2_connections()
    assert settle(lambda: conn.num_open_streams == 0 and server_conn.num_open_streams == 0), (
        conn.num_open_streams, server_conn.num_open_streams)
    assert conn.can_open()
    assert settle(lambda: conn.conn_recv_available == H2_CLIENT["connection_window"]), (
        conn.conn_recv_available)
    assert settle(lambda: server_conn.conn_recv_available == H2_SERVER["connection_window"]), (
        server_conn.conn_recv_available)
    # Nobody waits: the peers' windows for us are whole again (the connection windows
    # are topped up from a threshold, so only the stream windows are exact).
    assert settle(lambda: not conn.has_pending() and not server_conn.has_pending())
    grown = rss_bytes() - before
    assert grown < 16 << 20, f"RSS grew by {grown >> 20} MiB over {THREADS * REQUESTS} requests"
    conn.shutdown()
    assert not conn.take_read_handle() and not conn.take_pump_handle()


def test_h1_pool_many_threads(small_window_server):
    srv = small_window_server
    pool = threaded_client.Pool(lambda line: None)
    key = ("127.0.0.1", srv.port)
    host = v.HeaderMap([("host", f"127.0.0.1:{srv.port}")])

    def work(i):
        for n in range(REQUESTS):
            rng = random.Random(i * 1000 + n)
            body = payload(i * 1000 + n, rng.randrange(0, 100_000))
            if rng.random() < 0.1:
                # A client that leaves mid-upload, with a reset: nobody else may notice.
                with socket.create_connection(key) as sock:
                    sock.sendall(b"POST /echo HTTP/1.1\r\nHost: a\r\nContent-Length: %d\r\n\r\n"
                                 % len(body) + body[:len(body) // 2])
                    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
                continue
            conn = pool.acquire(key)
            head, data = conn.exchange("POST", "/echo", host, body)
            assert head.status == 200
            assert data == body, f"{len(data)} bytes back of {len(body)}, or other bytes"
            pool.release(key, conn)

    errors, stuck = run_threads(work)
    assert not stuck, f"threads left waiting: {stuck}"
    assert not errors, "\n".join(errors[:10])
    conns = [c for cs in pool.idle.values() for c in cs]
    assert pool.opened <= THREADS and len(conns) == pool.opened
    assert not any(c.busy or c.is_dead() for c in conns)
    # The server let go of every connection a client dropped: only the pooled ones are left.
    assert settle(lambda: len(srv.h1_connections()) == len(conns)), (
        len(srv.h1_connections()), len(conns))
    pool.close()
    assert all(c.closed and not c.has_watcher for c in conns)


if __name__ == "__main__":
    sys.exit(pytest.main([__file__, "-q", *sys.argv[1:]]))
