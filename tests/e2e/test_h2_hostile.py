"""Hostile HTTP/2 peers on raw sockets against the example server.

Each attack runs while a well-behaved connection keeps fetching from the same
server. For each: the server answers with the GOAWAY code the flood calls for
(or stays healthy where no limit applies), its memory stays bounded, and the
bystander gets every response. Every loop is bounded in count and time.
"""

import threading
import time
from contextlib import contextmanager

import pytest
from h2raw import (ACK, CONTINUATION, DATA, END_HEADERS, END_STREAM, GOAWAY, HEADERS, PING,
                   RST_STREAM, SETTINGS, H2Raw, frame, ping, rst_stream)

ENHANCE_YOUR_CALM = 11
ATTACK_SECONDS = 8.0  # no attack sends for longer than this
RSS_GROWTH_KB = 96 * 1024  # what the server's memory may grow by over the whole module


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


@pytest.fixture(scope="module")
def baseline(server):
    # Warm the server up first, so that the baseline holds its steady-state memory.
    c = H2Raw(server.port)
    c.handshake()
    for _ in range(20):
        assert c.get("/") == (200, b"hello from velmora\n")
    c.close()
    return rss_kb(server.proc.pid)


class Bystander(threading.Thread):
    """A well-behaved connection fetching / over and over until told to stop."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port = port
        self.sent = self.ok = 0
        self.error = None
        self.done = threading.Event()
        self.started_fetching = threading.Event()

    def run(self):
        try:
            c = H2Raw(self.port)
            c.handshake()
            while not self.done.is_set() and self.sent < 2000:
                self.sent += 1
                if c.get("/", timeout=10) == (200, b"hello from velmora\n"):
                    self.ok += 1
                self.started_fetching.set()
            c.close()
        except BaseException as exc:  # reported by the test
            self.error = exc
            self.started_fetching.set()


@contextmanager
def attack(server, baseline):
    """Run the body as the attack; then check the bystander and the memory."""
    by = Bystander(server.port)
    by.start()
    assert by.started_fetching.wait(10)
    try:
        yield
    finally:
        by.done.set()
        by.join(15)
    assert by.error is None, repr(by.error)
    assert by.sent >= 1 and by.ok == by.sent, (by.ok, by.sent)
    grown = rss_kb(server.proc.pid) - baseline
    assert grown < RSS_GROWTH_KB, f"the server grew by {grown} kB"


def flood(c, pieces, batch=200):
    """Send the frames in batches until done, the time runs out or the server closes."""
    deadline = time.monotonic() + ATTACK_SECONDS
    sent = 0
    buf = []
    try:
        for piece in pieces:
            buf.append(piece)
            if len(buf) >= batch:
                c.send(b"".join(buf))
                sent += len(buf)
                buf.clear()
                if time.monotonic() > deadline:
                    break
        if buf:
            c.send(b"".join(buf))
            sent += len(buf)
    except OSError:  # the server closed on us (or its window is shut): enough
        pass
    return sent


def healthy_or_goaway(c, code):
    """After a flood: either the connection still answers a PING, or the server
    said GOAWAY with `code` and closed."""
    try:
        c.send(ping(b"still?!!"))
    except OSError:
        pass
    got = c.frames_until(lambda f: f.kind == GOAWAY or (
        f.kind == PING and f.flags & ACK and f.payload == b"still?!!"), timeout=15)
    assert got, "the server closed without a GOAWAY"
    last = got[-1]
    if last.kind == GOAWAY:
        assert last.error_code == code, last.error_code
        return got, code
    return got, None


def test_rapid_reset(server, baseline):
    # HEADERS then RST_STREAM, thousands of times: requests reset before the
    # application pulled them are capped; whatever is pulled is dropped at once.
    with attack(server, baseline):
        c = H2Raw(server.port)
        c.handshake()

        def pairs():
            for _ in range(5000):
                sid = c.new_sid()
                yield c.headers(sid, "/delay?ms=2000") + rst_stream(sid, 8)

        assert flood(c, pairs(), batch=100) > 100
        _, code = healthy_or_goaway(c, ENHANCE_YOUR_CALM)
        c.close()
    # In a burst the cap is what ends it.
    c = H2Raw(server.port)
    c.handshake()
    flood(c, (c.headers(sid, "/delay?ms=2000") + rst_stream(sid, 8)
              for sid in range(1, 400, 2)), batch=200)
    assert c.goaway() == ENHANCE_YOUR_CALM
    c.close()


def test_peer_that_makes_us_reset(server, baseline):
    # Malformed requests on many streams: each is reset, and past the cap on
    # resets the connection ends with ENHANCE_YOUR_CALM.
    with attack(server, baseline):
        c = H2Raw(server.port)
        c.handshake()
        bad = [("content-length", "not a number")]
        flood(c, (c.headers(c.new_sid(), "/", extra=bad) for _ in range(1500)))
        frames = c.frames_until(lambda f: f.kind == GOAWAY, timeout=15)
        resets = [f for f in frames if f.kind == RST_STREAM]
        assert frames[-1].kind == GOAWAY and frames[-1].error_code == ENHANCE_YOUR_CALM
        assert len(resets) >= 1000 and all(f.error_code == 1 for f in resets)
        c.close()


def test_continuation_flood(server, baseline):
    with attack(server, baseline):
        c = H2Raw(server.port)
        c.handshake()
        sid = c.new_sid()
        start = c.headers(sid, "/", end_headers=False)
        flood(c, [start] + [frame(CONTINUATION, 0, sid)] * 20000)
        assert c.goaway() == ENHANCE_YOUR_CALM
        c.close()


def test_empty_and_tiny_data_frames(server, baseline):
    with attack(server, baseline):
        # Empty DATA frames without END_STREAM cost nothing in flow control: capped.
        c = H2Raw(server.port)
        c.handshake()
        sid = c.new_sid()
        flood(c, [c.headers(sid, "/echo", method="POST", end_stream=False)]
              + [frame(DATA, 0, sid)] * 500)
        assert c.goaway() == ENHANCE_YOUR_CALM
        c.close()

        # One-byte DATA frames in a burst faster than the route reads them run
        # the DATA-frame budget out; read as they come, they are only slow.
        c = H2Raw(server.port)
        c.handshake()
        sid = c.new_sid()
        flood(c, [c.headers(sid, "/echo", method="POST", end_stream=False)]
              + [frame(DATA, 0, sid, b"x")] * 30000 + [frame(DATA, END_STREAM, sid)],
              batch=5000)
        frames = c.frames_until(lambda f: f.kind == GOAWAY or (
            f.sid == sid and f.flags & END_STREAM), timeout=15)
        if frames[-1].kind == GOAWAY:
            assert frames[-1].error_code == ENHANCE_YOUR_CALM
        else:
            assert sum(len(f.payload) for f in frames if f.kind == DATA and f.sid == sid) \
                == 30000
        c.close()


def test_settings_and_ping_floods(server, baseline):
    # No limit applies, but the server reads no faster than we take its answers:
    # a peer that never reads finds its own sends blocked, not the server bloated.
    with attack(server, baseline):
        for flood_frame in (frame(SETTINGS, 0, 0), ping()):
            c = H2Raw(server.port, timeout=2.0)
            c.handshake()
            c.sock.settimeout(2.0)
            flood(c, [flood_frame] * 200_000, batch=2000)
            # Now read: the connection is still served.
            c.sock.settimeout(10)
            got, _ = healthy_or_goaway(c, ENHANCE_YOUR_CALM)
            assert len(got) > 1
            c.close()


def test_peer_that_never_opens_its_window(server, baseline):
    with attack(server, baseline):
        c = H2Raw(server.port, initial_window_size=0)
        c.handshake()
        for _ in range(50):
            c.send(c.headers(c.new_sid(), "/stream?chunks=1000&size=16384"))
        got = c.frames_until(lambda f: f.kind == HEADERS and f.sid == 99, timeout=10)
        assert sum(f.kind == HEADERS for f in got) == 50
        assert not any(f.kind == DATA and f.payload for f in got)
        time.sleep(0.5)  # the handlers wait for window and hold nothing more
        c.close()
    # The senders stuck on that connection were released when it closed.
    c = H2Raw(server.port)
    c.handshake()
    assert c.get("/stream?chunks=3&size=4") == (200, b"xxx\n" * 3)
    c.close()


def test_hpack_bomb(server, baseline):
    # One 4 kB field in the dynamic table, then a block that refers to it 300
    # times: 1.2 MB of fields from 300 octets.
    with attack(server, baseline):
        c = H2Raw(server.port)
        c.handshake()
        sid = c.new_sid()
        block = c.encoder.encode([(":method", "GET"), (":scheme", "http"),
                                  (":authority", "x"), (":path", "/"), ("x-bomb", "a" * 4000)])
        c.send(frame(HEADERS, END_HEADERS | END_STREAM, sid, block + b"\xbe" * 300))
        assert c.goaway() == ENHANCE_YOUR_CALM
        c.close()
