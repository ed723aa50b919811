"""A client H2Streams and a server H2Streams back to back: requests, responses,
bodies under flow control, trailers, many streams at once, partial writes,
and a client that cancels thousands of streams while their responses stream
in.
"""

import random

import pytest

from h2_loopback import Pair, Side
from h2frames import headers_frames, literal
from velmora._velmora import H2_FLAG_STOP_ACCEPTING, H2Stopped


def _body(n, seed=0):
    return random.Random(seed).randbytes(n)


def _run(pair, check=True, max_rounds=100000):
    for _ in range(max_rounds):
        moved = pair.step()
        if check:
            pair.check()
        if not moved and not pair.client.runnable and not pair.server.runnable:
            break
    pair.check_stall()


def _answer_all(pair, body_of=lambda h: b"", status=200, trailers=None, headers=None):
    while pair.server.accepted:
        h = pair.server.accepted.popleft()
        pair.server.respond(h, status, headers, body_of(h), trailers)


def test_handshake_applies_both_sides_settings():
    p = Pair(client=Side("client", initial_window_size=100000, max_frame_size=32768, connection_window=1 << 20),
             server=Side("server", initial_window_size=30000, max_frame_size=20000, max_concurrent_streams=7))
    c, s = p.client, p.server
    assert c.settings_acked == s.settings_acked == 1
    assert c.peer_settings == s.peer_settings == 1
    assert c.conn.peer_max_frame_size == 20000 and s.conn.peer_max_frame_size == 32768
    assert c.conn.peer_initial_window_size == 30000 and s.conn.peer_initial_window_size == 100000
    assert c.conn.peer_max_concurrent_streams == 7 and c.conn.stream_limit == 7
    assert s.conn.peer_max_concurrent_streams is None
    # the client's WINDOW_UPDATE(0) raised the server's view of the connection window
    assert s.conn.conn_send_window == 1 << 20
    assert c.conn.conn_send_window == 65535
    p.check()


def test_request_arrives_and_response_returns():
    p = Pair()
    h = p.client.request("GET", "/items?x=1", {"accept": "text/plain", "x-a": "1"})
    _run(p)
    (req,) = p.server.accepted
    assert (req.head.method, req.head.path, req.head.scheme, req.head.authority) == \
        ("GET", "/items?x=1", "https", "example.test")
    assert req.head.headers.get_all("x-a") == [b"1"] and req.eof
    p.server.respond(req, 201, {"content-type": "text/plain"}, b"hello")
    p.server.accepted.clear()
    _run(p)
    assert h.head.status == 201 and bytes(h.body) == b"hello" and h.eof and h.stop is None
    assert h.head.headers.get_all("content-type") == [b"text/plain"]
    # both records are gone once each side has consumed everything
    for side in (p.client, p.server):
        assert side.conn.num_streams == 0 and not side.conn.has_stream(h.sid)
        assert side.conn.conn_recv_available == side.recv_target()
    assert p.client.conn.num_open_streams == 0
    assert repr(p.client.conn) == "H2Streams(role=client, streams=0, active=0, failed=false, goaway=false)"


WINDOWS = [
    pytest.param(dict(), id="defaults"),
    pytest.param(dict(initial_window_size=16384, connection_window=1 << 20), id="small-stream-window"),
    pytest.param(dict(initial_window_size=1 << 20, connection_window=65535), id="small-connection-window"),
    pytest.param(dict(max_frame_size=65536, max_send_buf_size=20000), id="big-frames-small-buffer"),
    pytest.param(dict(initial_window_size=1, connection_window=65535), id="one-octet-window"),
]


@pytest.mark.parametrize("opts", WINDOWS)
def test_bodies_larger_than_every_window_cross_intact(opts):
    size = 3000 if opts.get("initial_window_size") == 1 else 300000  # one octet per round trip
    p = Pair(**opts)
    up, down = _body(size, 1), _body(size + 12345, 2)
    h = p.client.request("POST", "/upload", {"content-length": str(len(up))}, up)
    for _ in range(100000):
        moved = p.step()
        p.check()
        if p.server.accepted and p.server.accepted[0].eof:
            req = p.server.accepted.popleft()
            assert bytes(req.body) == up
            p.server.respond(req, 200, {"content-length": str(len(down))}, down)
            moved = True
        if not moved and not p.client.runnable and not p.server.runnable:
            break
    p.check_stall()
    assert h.eof and bytes(h.body) == down and h.head.content_length == len(down)
    # no stream was reset along the way, and the windows are whole again
    assert not p.client.stream_errors and not p.server.stream_errors
    assert p.client.conn.num_streams == p.server.conn.num_streams == 0


def test_trailers_in_both_directions():
    p = Pair()
    h = p.client.request("POST", "/t", {"te": "trailers"}, b"abc" * 10000, trailers={"x-sum": "1"})
    _run(p)
    (req,) = p.server.accepted
    p.server.accepted.clear()
    assert req.eof and bytes(req.body) == b"abc" * 10000
    assert req.trailers.get_all("x-sum") == [b"1"]
    p.server.respond(req, 200, None, b"", trailers={"grpc-status": "0", "x-n": "2"})
    _run(p)
    assert h.eof and h.head.status == 200 and bytes(h.body) == b""
    assert h.trailers.get_all("grpc-status") == [b"0"] and h.trailers.get_all("x-n") == [b"2"]
    assert p.client.conn.num_streams == p.server.conn.num_streams == 0


def test_many_concurrent_streams_share_the_windows_and_the_slots():
    # more streams than the server admits at once: the rest wait for slots
    p = Pair(client=Side("client"), server=Side("server", max_concurrent_streams=10))
    assert p.client.conn.stream_limit == 10
    bodies = {}
    handles = [p.client.request("POST", f"/s/{i}", None, _body(3000 + 97 * i, i)) for i in range(120)]
    assert p.client.conn.num_open_streams == 10 and len(p.client.waiting_slots) == 110
    for _ in range(100000):
        moved = p.step()
        p.check()
        assert p.server.conn.num_streams <= 10
        while p.server.accepted and p.server.accepted[0].eof:
            req = p.server.accepted.popleft()
            i = int(req.head.path.rsplit("/", 1)[1])
            assert bytes(req.body) == _body(3000 + 97 * i, i)
            bodies[i] = _body(20000 + 13 * i, 1000 + i)
            p.server.respond(req, 200, {"x-i": str(i)}, bodies[i])
            moved = True
        if not moved and not p.client.runnable and not p.server.runnable:
            break
    p.check_stall()
    assert len(bodies) == 120 and not p.client.waiting_slots
    ids = [h.sid for h in handles]
    assert ids == sorted(ids) and len(set(ids)) == 120 and all(i % 2 for i in ids)
    for i, h in enumerate(handles):
        assert h.eof and h.head.headers.get_all("x-i") == [str(i).encode()]
        assert bytes(h.body) == bodies[i]
    assert p.client.conn.num_open_streams == 0


def test_interleaved_bodies_take_turns():
    # several large bodies at once on one connection window: every one
    # finishes and each is delivered in order
    p = Pair(connection_window=65535, initial_window_size=1 << 20)
    n = 8
    reqs = [p.client.request("GET", f"/{i}") for i in range(n)]
    _run(p)
    for i, req in enumerate(list(p.server.accepted)):
        p.server.respond(req, 200, None, _body(200000, i))
    p.server.accepted.clear()
    _run(p)
    for i, h in enumerate(reqs):
        assert bytes(h.body) == _body(200000, i)
    # the frames of the streams were interleaved on the wire, not one body after another
    order = [sid for t, _, sid, _ in p.log_s2c.frames if t == 0]
    first_last = {sid: (order.index(sid), len(order) - 1 - order[::-1].index(sid)) for sid in set(order)}
    assert sum(1 for a in first_last.values() for b in first_last.values() if a[0] < b[0] < a[1]) > n


def test_bytes_delivered_in_random_pieces():
    rng = random.Random(7)
    p = Pair(initial_window_size=20000)
    handles = [p.client.request("POST", f"/{i}", None, _body(50000, i)) for i in range(4)]
    for _ in range(200000):
        moved = p.client.run_senders() | p.server.run_senders()
        p.write()
        moved = moved or bool(p.c2s or p.s2c)
        p.deliver_c2s(rng.randint(0, 700))
        p.deliver_s2c(rng.randint(0, 700))
        p.check()
        while p.server.accepted and p.server.accepted[0].eof:
            req = p.server.accepted.popleft()
            p.server.respond(req, 200, None, bytes(req.body[::-1]))
            moved = True
        if not moved and not p.client.runnable and not p.server.runnable:
            break
    for i, h in enumerate(handles):
        assert h.eof and bytes(h.body) == _body(50000, i)[::-1]


def test_unread_body_holds_the_sender_until_released():
    p = Pair(client=Side("client", auto_release=False, initial_window_size=30000),
             server=Side("server"))
    h = p.client.request()
    _run(p)
    req = p.server.accepted.popleft()
    data = _body(250000, 3)
    p.server.respond(req, 200, None, data)
    _run(p, check=True)
    # the stream window caps what arrived, and the sender waits
    assert len(h.body) == 30000 and p.server.senders
    assert p.client.conn.stream_recv_unreleased(h.sid) == 30000
    while not h.eof:
        p.client.consume(h, 1)
        _run(p)
        p.check()
    p.client.consume(h)
    p.check()
    assert bytes(h.body) == data and not p.server.senders
    assert p.client.conn.conn_recv_available == p.client.recv_target()
    assert not p.client.conn.has_stream(h.sid)


def test_server_answering_before_reading_the_body_resets_with_no_error():
    # the response is complete while the request body is still arriving: the
    # server ends the stream with RST_STREAM(NO_ERROR) and its reader sees the stop
    p = Pair()
    h = p.client.request("POST", "/", None, _body(500000, 4))
    p.step()
    req = p.server.accepted.popleft()
    p.server.respond(req, 413, None, b"too big")
    p.server.run_senders()
    assert req.reset and isinstance(req.stop, H2Stopped) and req.stop.reason == 0 and not req.stop.conn
    _run(p)
    assert h.head.status == 413 and bytes(h.body) == b"too big" and h.eof
    assert (3, 0, h.sid, 4) in p.log_s2c.frames
    assert p.client.conn.num_streams == p.server.conn.num_streams == 0


def test_peer_reset_is_seen_by_the_other_side():
    p = Pair()
    h = p.client.request("POST", "/", None, _body(300000, 5))
    p.step()
    req = p.server.accepted.popleft()
    p.server.cancel(req)
    _run(p)
    assert h.reset and h.stop.reason == 8 and not h.stop.conn
    assert h.send_stopped is not None and h not in p.client.senders
    assert p.client.conn.num_streams == p.server.conn.num_streams == 0
    # the connection goes on
    h2_ = p.client.request("GET", "/after")
    _run(p)
    _answer_all(p, lambda r: b"ok")
    _run(p)
    assert bytes(h2_.body) == b"ok"


@pytest.mark.parametrize("streams", [2000])
def test_client_cancelling_many_streams_keeps_its_connection(streams):
    # Thousands of downloads cancelled while their responses are on the wire:
    # DATA for streams we reset keeps arriving after the reset store forgot
    # them. Those are the echo of our own resets, not the peer misbehaving,
    # and must not add up to "too many stream resets".
    p = Pair(client=Side("client", connection_window=1 << 24, initial_window_size=1 << 20),
             server=Side("server", max_concurrent_streams=100))
    opened = 0
    cancelled = 0
    while cancelled < streams:
        batch = [p.client.request("GET", f"/big/{opened + i}") for i in range(100)]
        opened += len(batch)
        p.step()  # requests reach the server
        while p.server.accepted:
            req = p.server.accepted.popleft()
            p.server.respond(req, 200, None, b"x" * 40000)
        p.server.run_senders()
        p.write()  # responses are in flight to the client
        for h in batch:
            p.client.cancel(h)
            cancelled += 1
        _run(p, check=False)
        assert p.client.error is None and p.server.error is None
        p.check()
    assert not p.client.conn.is_failed() and not p.server.conn.is_failed()
    assert p.client.conn.num_streams == 0 and p.server.conn.num_streams == 0
    # far more late frames than the cap were answered, and none was counted
    # against the client's own reset budget
    assert len(p.client.stream_errors) > 1024
    assert {r for _, r in p.client.stream_errors} == {5}
    assert p.client.conn.local_error_resets == 0
    late = p.client.request("GET", "/still-alive")
    _run(p)
    _answer_all(p, lambda r: b"yes")
    _run(p)
    assert bytes(late.body) == b"yes"



def test_graceful_shutdown_finishes_everything_the_client_sent_before_it_knew():
    p = Pair()
    early = [p.client.request("GET", f"/early/{i}") for i in range(3)]
    p.pump()
    p.server.conn.begin_graceful_shutdown()
    # sent before the client saw the first GOAWAY: still processed
    late = [p.client.request("POST", f"/late/{i}", None, b"x" * 30000) for i in range(2)]
    _run(p)
    assert p.client.conn.is_closed() and not p.client.conn.is_failed()
    assert p.server.conn.shutdown_final and p.server.conn.max_stream_id == late[-1].sid
    # the client opens nothing more once it has the GOAWAY
    assert p.client.conn.try_claim_slot()
    assert p.client.conn.open_stream("GET", "/", None, True, False, object(), scheme="https",
                                     authority="a.test") is None
    assert p.client.conn.num_open_streams == len(early) + len(late)
    _answer_all(p, lambda r: r.head.path.encode())
    _run(p)
    paths = [f"/early/{i}" for i in range(3)] + [f"/late/{i}" for i in range(2)]
    for h, path in zip(early + late, paths):
        assert h.eof and h.head.status == 200 and bytes(h.body) == path.encode()
    assert p.server.seen_flags & H2_FLAG_STOP_ACCEPTING
    # the client answered the GOAWAY once its last stream was done
    assert p.client.conn_done and p.client.conn.goaway_replied
    assert p.client.conn.num_streams == p.server.conn.num_streams == 0


@pytest.mark.parametrize("first", ["goaway-reply", "send-goaway"])
def test_graceful_shutdown_after_a_goaway_never_raises_the_last_stream_id(first):
    # A server whose connection already sent GOAWAY(N), by answering the
    # client's GOAWAY or for a violation, and whose shutdown routine then
    # starts a graceful shutdown: a GOAWAY(2^31-1) now would raise the last
    # stream id, which the peer may already have acted on (RFC 9113 6.8).
    p = Pair()
    h = p.client.request("GET", "/")
    p.pump()
    p.server.respond(p.server.accepted.popleft(), 200, None, b"ok")
    p.pump()
    assert h.eof
    if first == "goaway-reply":
        p.client.conn.send_goaway(0)
        p.pump()
        assert p.server.conn.goaway_replied
    else:
        p.server.conn.send_goaway(1)
    p.server.conn.begin_graceful_shutdown()
    p.write()
    p.deliver_s2c()  # the client checks every GOAWAY against the one before
    assert p.client.error is None
    goaways = [f for f in p.log_s2c.frames if f[0] == 7]
    assert len(goaways) == 1
    # the GOAWAY already sent is final: no shutdown PING, nothing left to wait for
    assert not [f for f in p.log_s2c.frames if f[0] == 6]
    assert p.server.conn.graceful and p.server.conn.shutdown_final


@pytest.mark.parametrize("first", ["goaway-reply", "send-goaway"])
def test_after_its_goaway_a_server_processes_no_stream_above_the_last_stream_id(first):
    # Once the server announced GOAWAY(N), a client may retry every request
    # above N elsewhere; processing one here would run it twice. A request
    # already in flight when the GOAWAY crossed it must be ignored.
    p = Pair()
    p.client.conn.set_next_stream_id(5)
    h = p.client.request("GET", "/")
    p.pump()
    p.server.respond(p.server.accepted.popleft(), 204)
    p.pump()
    assert h.eof
    if first == "goaway-reply":
        p.client.conn.send_goaway(0)
        p.pump()
        assert p.server.conn.goaway_replied
    else:
        p.server.conn.send_goaway(1)
    announced = p.server.conn.last_processed_id
    assert announced == h.sid
    block = b"".join(literal(n, v) for n, v in
                     [(":method", "POST"), (":scheme", "https"), (":authority", "a.test"), (":path", "/again")])
    p.server.feed(headers_frames(h.sid + 2, block, end_stream=True))
    assert not p.server.accepted
    assert p.server.conn.num_streams == 0 and p.server.conn.last_processed_id == announced
