"""Peers that break the protocol, against a live loopback pair: each
violation is refused with the right error kind and reason; connection errors
fail the connection, stream errors reset one stream and the connection goes
on serving.

Frames are injected straight into one side's `receive` after the handshake,
with literal (never indexed) header fields, so the HPACK tables of the two
real endpoints stay in step.
"""

import pytest

from h2_loopback import Pair, Side
from h2frames import frame, headers_frames, literal
from velmora._velmora import (H2Codec, H2FlowControlError, H2FrameStreamError, H2ProtocolError, H2UserError,
                              HeaderMap)

DATA, HEADERS, RST, SETTINGS, WINDOW_UPDATE = 0, 1, 3, 4, 8
END_STREAM = 1


def _req(method="POST", path="/", extra=()):
    fields = [(":method", method), (":scheme", "https"), (":authority", "a.test"), (":path", path), *extra]
    return b"".join(literal(n, v) for n, v in fields)


def _resp(status=200, extra=()):
    return b"".join(literal(n, v) for n, v in [(":status", str(status)), *extra])


def _u32(n):
    return n.to_bytes(4, "big")


def _setting(ident, value):
    return ident.to_bytes(2, "big") + _u32(value)


def _pair(**server_opts):
    # the server's application reads nothing unless told: a released DATA
    # frame would reopen the windows these tests overrun
    p = Pair(client=Side("client"), server=Side("server", auto_release=False, **server_opts))
    # the injected streams take the low ids; the real client opens above them
    p.client.conn.set_next_stream_id(1001)
    return p


def _still_serves(p):
    h = p.client.request("GET", "/after")
    p.pump()
    req = p.server.accepted.pop()
    p.server.respond(req, 200, None, b"fine")
    p.pump()
    assert bytes(h.body) == b"fine" and h.eof
    p.check()


# ---- connection errors ----

CONNECTION_ERRORS = [
    pytest.param([frame(DATA, 0, 7, b"x")], H2ProtocolError, (1, "frame on idle stream 7"), id="data-idle"),
    pytest.param([frame(WINDOW_UPDATE, 0, 9, _u32(10))], H2ProtocolError, (1, "frame on idle stream 9"),
                 id="window-update-idle"),
    pytest.param([frame(RST, 0, 11, _u32(8))], H2ProtocolError, (1, "frame on idle stream 11"), id="rst-idle"),
    pytest.param([frame(RST, 0, 0, _u32(8))], H2ProtocolError, (1, "RST_STREAM on stream 0"), id="rst-zero"),
    pytest.param([headers_frames(5, _req(), end_stream=True), headers_frames(3, _req(), end_stream=True)],
                 H2ProtocolError, (1, "invalid new stream id 3"), id="ids-backwards"),
    pytest.param([headers_frames(4, _req(), end_stream=True)], H2ProtocolError, (1, "invalid new stream id 4"),
                 id="even-id"),
    # more DATA than the connection window holds (the stream window is larger)
    pytest.param([headers_frames(1, _req())] + [frame(DATA, 0, 1, b"d" * 16384)] * 5,
                 H2FlowControlError, (3,), id="data-beyond-connection-window"),
    pytest.param([frame(WINDOW_UPDATE, 0, 0, _u32(0x7FFFFFFF))], H2FlowControlError, (3,),
                 id="connection-window-overflow"),
    pytest.param([frame(SETTINGS, 1, 0)], H2ProtocolError, (1, "received unexpected settings ack"),
                 id="unexpected-settings-ack"),
]


@pytest.mark.parametrize("frames, kind, args", CONNECTION_ERRORS)
def test_connection_errors(frames, kind, args):
    p = _pair(initial_window_size=1 << 20)
    with pytest.raises(kind) as e:
        p.server.feed(b"".join(frames))
    assert e.value.args == args
    assert p.server.conn.is_failed() and p.server.conn.is_closed()
    # a failed connection starts no more body writers
    assert p.server.conn.writer_start() is False


@pytest.mark.parametrize("setting, value", [
    pytest.param(4, 1 << 31, id="initial-window-size"),
    pytest.param(5, 16383, id="max-frame-size-low"),
    pytest.param(5, 1 << 24, id="max-frame-size-high"),
    pytest.param(2, 2, id="enable-push"),
])
def test_settings_out_of_range(setting, value):
    p = _pair()
    with pytest.raises(H2ProtocolError) as e:
        p.server.feed(frame(SETTINGS, 0, 0, _setting(setting, value)))
    # An initial window no window can hold is FLOW_CONTROL_ERROR (RFC 9113, 6.5.2).
    assert e.value.args[0] == (3 if setting == 4 else 1) and "InvalidSettingValue" in e.value.args[1]


def test_settings_raising_a_stream_window_past_the_limit():
    # a stream whose send window the peer already raised to the maximum: a
    # larger initial window would overflow it
    p = _pair()
    p.server.feed(headers_frames(1, _req("GET"), end_stream=True))
    p.server.accepted.clear()
    p.server.feed(frame(WINDOW_UPDATE, 0, 1, _u32(0x7FFFFFFF - 65535)))
    with pytest.raises(H2FlowControlError) as e:
        p.server.feed(frame(SETTINGS, 0, 0, _setting(4, 65536)))
    assert e.value.args == (3,)


def test_client_receives_headers_on_a_stream_it_never_opened():
    p = Pair()
    with pytest.raises(H2ProtocolError) as e:
        p.client.feed(headers_frames(2, _resp(), end_stream=True))
    assert e.value.args == (1, "frame on idle stream 2")


# ---- stream errors: one stream reset, the connection goes on ----

STREAM_ERRORS = [
    # more DATA than the stream window (16384 once our SETTINGS is acknowledged)
    pytest.param([headers_frames(1, _req()), frame(DATA, 0, 1, b"d" * 16384), frame(DATA, 0, 1, b"d")],
                 3, id="data-beyond-stream-window"),
    pytest.param([headers_frames(1, _req(extra=[("content-length", "5")])), frame(DATA, END_STREAM, 1, b"123456")],
                 1, id="data-beyond-content-length"),
    pytest.param([headers_frames(1, _req(extra=[("content-length", "5")])), frame(DATA, 0, 1, b"123"),
                  frame(DATA, 0, 1, b"456")], 1, id="data-beyond-content-length-split"),
    pytest.param([headers_frames(1, _req(extra=[("content-length", "5")])), frame(DATA, END_STREAM, 1, b"123")],
                 1, id="end-before-content-length"),
    pytest.param([headers_frames(1, _req(extra=[("content-length", "5")]), end_stream=True)],
                 1, id="content-length-without-body"),
    pytest.param([headers_frames(1, _req(extra=[("content-length", "5x")]))], 1, id="content-length-invalid"),
    pytest.param([headers_frames(1, _req()), headers_frames(1, literal("x-t", "1"))],
                 1, id="second-headers-without-end-stream"),
    pytest.param([headers_frames(1, _req()), frame(WINDOW_UPDATE, 0, 1, _u32(0x7FFFFFFF))],
                 3, id="stream-window-overflow"),
    # the client's side ended: the state decides before the block's content
    # (RFC 9113, 5.1): STREAM_CLOSED, not the trailers' pseudo-header rule
    pytest.param([headers_frames(1, _req(), end_stream=True), headers_frames(1, _req(), end_stream=True)],
                 5, id="headers-on-half-closed-stream"),
    pytest.param([headers_frames(1, _req(), end_stream=True), frame(DATA, 0, 1, b"x")],
                 5, id="data-on-half-closed-stream"),
]


@pytest.mark.parametrize("frames, reason", STREAM_ERRORS)
def test_stream_errors_reset_one_stream(frames, reason):
    p = _pair(initial_window_size=16384, connection_window=1 << 20)
    before = p.server.conn.local_error_resets
    p.server.feed(b"".join(frames))
    assert p.server.stream_errors == [(1, reason)]
    assert p.server.conn.local_error_resets == before + 1
    assert not p.server.conn.is_failed()
    # the RST_STREAM carries the reason, and the stream is gone on both sides
    p.pump()
    assert p.log_s2c.rsts == [(1, reason)]
    assert p.server.conn.num_streams == 0
    # the reader of a stream that was already handed out sees the reset
    if p.server.accepted:
        req = p.server.accepted.popleft()
        assert req.reset and req.stop.reason == reason
    _still_serves(p)


def test_trailers_arrive_after_a_complete_body_and_not_before():
    p = _pair()
    p.server.feed(headers_frames(1, _req(extra=[("content-length", "3")])) + frame(DATA, 0, 1, b"abc")
                  + headers_frames(1, literal("x-t", "1"), end_stream=True))
    (req,) = p.server.accepted
    assert req.eof and bytes(req.body) == b"abc" and req.trailers.get_all("x-t") == [b"1"]
    assert not p.server.stream_errors
    # trailers while two declared octets are still missing
    p.server.feed(headers_frames(3, _req(extra=[("content-length", "5")])) + frame(DATA, 0, 3, b"abc")
                  + headers_frames(3, literal("x-t", "1"), end_stream=True))
    assert p.server.stream_errors == [(3, 1)]


def test_refused_stream_over_the_accept_limit_still_counts_its_id():
    p = _pair(max_concurrent_streams=1)
    p.server.feed(headers_frames(1, _req()) + headers_frames(5, _req()))
    assert p.server.stream_errors == [(5, 7)]
    assert p.server.conn.num_streams == 1
    # 5 was seen: a lower id can no longer open
    with pytest.raises(H2ProtocolError) as e:
        p.server.feed(headers_frames(3, _req()))
    assert e.value.args == (1, "invalid new stream id 3")


def test_id_of_a_finished_stream_cannot_open_again():
    p = _pair()
    p.server.feed(headers_frames(5, _req("GET"), end_stream=True))
    p.server.respond(p.server.accepted.popleft(), 204)
    assert not p.server.conn.has_stream(5)
    with pytest.raises(H2ProtocolError) as e:
        p.server.feed(headers_frames(5, _req("GET"), end_stream=True))
    assert e.value.args == (1, "invalid new stream id 5")


def test_informational_head_with_end_stream_is_a_stream_error():
    p = Pair()
    h = p.client.request("GET", "/")
    p.pump()
    p.server.accepted.clear()
    p.client.feed(headers_frames(h.sid, _resp(103), end_stream=True))
    assert p.client.stream_errors == [(h.sid, 1)]
    assert h.reset and h.stop.reason == 1
    p.pump()
    assert p.client.conn.num_streams == 0 and p.server.conn.num_streams == 0


def test_client_gets_stream_closed_for_its_finished_stream():
    p = Pair()
    h = p.client.request("GET", "/")
    p.pump()
    p.server.respond(p.server.accepted.popleft(), 204)
    p.pump()
    assert h.eof and not p.client.conn.has_stream(h.sid)
    p.client.feed(headers_frames(h.sid, _resp(), end_stream=True))
    assert p.client.stream_errors == [(h.sid, 5)]
    assert not p.client.conn.is_failed()


def test_frames_for_a_stream_we_just_reset_are_swallowed():
    p = _pair()
    p.server.feed(headers_frames(1, _req()))
    req = p.server.accepted.popleft()
    p.server.cancel(req)
    before = p.server.conn.conn_recv_available
    p.server.feed(frame(DATA, 0, 1, b"z" * 100) + headers_frames(1, literal("x-t", "1"), end_stream=True))
    assert not p.server.stream_errors and not req.body
    # the swallowed DATA still counted against the connection window, and came back
    assert p.server.conn.conn_recv_available == before
    p.check()


def test_many_stream_errors_from_a_peer_fail_the_connection():
    # the defence against a peer that provokes resets on purpose stays in place
    p = _pair(max_local_error_reset_streams=10, initial_window_size=1 << 20)
    with pytest.raises(H2ProtocolError) as e:
        for i in range(11):
            sid = 1 + 2 * i
            p.server.feed(headers_frames(sid, _req()) + headers_frames(sid, literal("x-t", "1")))
    assert e.value.args == (11, "too many stream resets")
    assert p.server.conn.is_failed()


# ---- malformed heads and field values: a stream error, the connection goes on ----

M, S, A, P = (":method", "GET"), (":scheme", "https"), (":authority", "a.test"), (":path", "/")
CONNECT = (":method", "CONNECT")


def _block(*fields):
    return b"".join(literal(n, v) for n, v in fields)


MALFORMED_REQUESTS = [
    pytest.param((S, A, P), id="no-method"),
    pytest.param((M, A, P), id="no-scheme"),
    pytest.param((M, S, A), id="no-path"),
    pytest.param((M, S, A, (":path", "")), id="empty-path"),
    pytest.param((M, S, A, P, (":status", "200")), id="status"),
    pytest.param((M, S, A, P, (":protocol", "websocket")), id="protocol"),
    pytest.param((CONNECT, P), id="connect-without-authority"),
    pytest.param((CONNECT, S, A), id="connect-with-scheme"),
    pytest.param((CONNECT, A, P), id="connect-with-path"),
    pytest.param((("x-a", "1"),), id="no-pseudo-header"),
    pytest.param((M, S, A, P, ("x-a", " v")), id="value-leading-space"),
    pytest.param((M, S, A, P, ("x-a", "v ")), id="value-trailing-space"),
    pytest.param((M, S, A, P, ("x-a", "\tv")), id="value-leading-tab"),
    pytest.param((M, S, A, P, ("x-a", "v\t")), id="value-trailing-tab"),
    pytest.param((M, S, A, (":path", "/ ")), id="path-trailing-space"),
    pytest.param((M, S, (":authority", "\ta.test"), P), id="authority-leading-tab"),
    pytest.param((M, S, A, P, ("x-a", " ")), id="value-only-space"),
]


@pytest.mark.parametrize("fields", MALFORMED_REQUESTS)
@pytest.mark.parametrize("end_stream", [False, True], ids=["open", "end"])
def test_malformed_request_heads_are_stream_errors(fields, end_stream):
    p = _pair()
    p.server.feed(headers_frames(5, _block(*fields), end_stream=end_stream))
    assert p.server.stream_errors == [(5, 1)] and not p.server.accepted
    assert not p.server.conn.is_failed() and p.server.conn.num_streams == 0
    p.pump()
    assert p.log_s2c.rsts == [(5, 1)]
    # The refused id is used: a lower one can no longer open a stream.
    with pytest.raises(H2ProtocolError) as e:
        p.server.feed(headers_frames(3, _req()))
    assert e.value.args == (1, "invalid new stream id 3")


@pytest.mark.parametrize("fields", [
    pytest.param((M, S, A, P, ("x-a", "v ")), id="whitespace"),
    pytest.param((M, S, A, P, ("connection", "close")), id="connection-specific"),
    pytest.param((M, S, A, P, ("x-a", "1"), (":path", "/x")), id="late-pseudo-header"),
])
def test_a_refused_request_id_cannot_open_a_stream_later(fields):
    p = _pair()
    p.server.feed(headers_frames(5, _block(*fields)))
    assert p.server.stream_errors == [(5, 1)]
    with pytest.raises(H2ProtocolError) as e:
        _pair().server.feed(headers_frames(5, _block(*fields)) + headers_frames(3, _req()))
    assert e.value.args == (1, "invalid new stream id 3")
    # The same id again: not a new stream (answered as the stream just reset).
    p.server.feed(headers_frames(5, _req()))
    assert not p.server.accepted and not p.server.conn.has_stream(5)
    # The next id above it opens as usual.
    p.server.feed(headers_frames(7, _req("GET"), end_stream=True))
    assert [r.sid for r in p.server.accepted] == [7]


def test_valid_request_heads_pass():
    p = _pair()
    p.server.feed(headers_frames(1, _block(M, S, A, P, ("x-a", "a b"), ("x-e", "")), end_stream=True)
                  + headers_frames(3, _block((":method", "OPTIONS"), S, A, (":path", "*")), end_stream=True)
                  + headers_frames(5, _block(CONNECT, A))
                  + headers_frames(7, _block(M, (":scheme", "foo"), A, (":path", "")), end_stream=True))
    assert not p.server.stream_errors
    assert [r.sid for r in p.server.accepted] == [1, 3, 5, 7]
    assert p.server.accepted[0].head.headers.get_all("x-a") == [b"a b"]


MALFORMED_RESPONSES = [
    pytest.param([(("x-a", "1"),)], False, id="no-status"),
    pytest.param([(("x-a", "1"),)], True, id="no-status-end-stream"),
    pytest.param([((":status", "200"), P)], True, id="path"),
    pytest.param([((":status", "200"), M)], False, id="method"),
    pytest.param([((":status", "200"), A)], True, id="authority"),
    pytest.param([((":status", "200"), ("x-a", " v"))], True, id="value-leading-space"),
    pytest.param([((":status", "200"), ("x-a", "v\t"))], False, id="value-trailing-tab"),
    pytest.param([((":status", "103"), ("link", "</a>; rel=preload "))], False, id="interim-value-trailing-space"),
    pytest.param([((":status", "200"),), ((":status", "200"), ("x-t", "1"))], True, id="trailers-with-status"),
    pytest.param([((":status", "200"),), (("x-t", "\t1"),)], True, id="trailers-value-leading-tab"),
]


@pytest.mark.parametrize("blocks, end_stream", MALFORMED_RESPONSES)
def test_malformed_responses_are_stream_errors(blocks, end_stream):
    p = Pair()
    h = p.client.request("GET", "/")
    p.pump()
    p.server.accepted.clear()
    *heads, last = blocks
    for b in heads:
        p.client.feed(headers_frames(h.sid, _block(*b)))
    p.client.feed(headers_frames(h.sid, _block(*last), end_stream=end_stream))
    assert p.client.stream_errors == [(h.sid, 1)]
    assert h.reset and h.stop.reason == 1 and not p.client.conn.is_failed()
    p.pump()
    assert p.client.conn.num_streams == 0 and p.server.conn.num_streams == 0
    h2 = p.client.request("GET", "/again")
    p.pump()
    p.server.respond(p.server.accepted.popleft(), 200, None, b"ok")
    p.pump()
    assert bytes(h2.body) == b"ok" and h2.eof


def test_interim_heads_then_the_final_head_and_trailers_pass():
    p = Pair()
    h = p.client.request("GET", "/")
    p.pump()
    p.server.accepted.clear()
    p.client.feed(headers_frames(h.sid, _resp(100)) + headers_frames(h.sid, _resp(103, [("link", "</a>")]))
                  + headers_frames(h.sid, _resp(200)) + headers_frames(h.sid, _block(("x-t", "1")), end_stream=True))
    assert not p.client.stream_errors and h.eof and h.trailers.get_all("x-t") == [b"1"]


@pytest.mark.parametrize("role, block", [
    ("server", _block((":status", "200"))),
    ("server", _block(M, S, A, P, ("x-a", "v\t"))),
    ("client", _block(M, S, A, P)),
    ("client", _block((":status", "200"), (":path", "/"))),
    ("client", _block((":status", "200"), ("x-a", " v"))),
    ("client", _block(("x-a", "1"))),
])
def test_codec_reports_blocks_wrong_for_its_role(role, block):
    c = H2Codec(role)
    # The malformed block inserts into the dynamic table (literal with
    # incremental indexing, new name); the next block names that entry.
    insert = b"\x40\x03x-i\x03yes"
    good = _block(M, S, A, P) if role == "server" else _block((":status", "204"))
    [err, ev] = c.receive(headers_frames(1, block + insert) + headers_frames(3, good + b"\xbe", end_stream=True))
    assert isinstance(err, H2FrameStreamError) and (err.stream_id, err.error_code) == (1, 1)
    assert ev.stream_id == 3 and ev.headers.get_all("x-i") == [b"yes"]


# ---- outgoing values with surrounding whitespace are refused ----

PADDED = [" v", "v ", "\tv", "v\t"]


@pytest.mark.parametrize("value", PADDED)
def test_check_send_headers_refuses_padded_values(value):
    with pytest.raises(H2UserError) as e:
        H2Codec.check_send_headers(HeaderMap([("accept", "*/*"), ("x-a", value)]))
    assert e.value.args == ("malformed_headers", "malformed headers")
    assert H2Codec.check_send_headers(HeaderMap([("x-a", "a b"), ("x-e", "")])) is None


@pytest.mark.parametrize("value", PADDED)
def test_codec_serializers_refuse_padded_values_and_stay_in_step(value):
    bad = HeaderMap([("x-a", value)])
    c, fresh = H2Codec(), H2Codec()
    for call in (lambda: c.serialize_request_headers(1, "GET", "/", bad, scheme="https", authority="a"),
                 lambda: c.serialize_response_headers(1, 200, bad),
                 lambda: c.serialize_trailers(1, bad)):
        with pytest.raises(H2UserError):
            call()
    # Nothing reached the encoder: its table matches a codec that never saw them.
    ok = HeaderMap([("x-a", "v")])
    assert c.serialize_response_headers(3, 200, ok) == fresh.serialize_response_headers(3, 200, ok)


@pytest.mark.parametrize("value", PADDED)
def test_send_steps_refuse_padded_values_before_any_change(value):
    bad = HeaderMap([("x-a", value)])
    p = Pair()
    c = p.client.conn
    assert c.try_claim_slot()
    with pytest.raises(H2UserError):
        c.open_stream("GET", "/", bad, True, False, object(), scheme="https", authority="a")
    # The claimed slot was given back, no id was taken, nothing was queued.
    assert c.num_open_streams == 0 and c.num_streams == 0
    view, _ = c.take_pending()
    with view:
        assert len(view) == 0
    h = p.client.request("POST", "/", body=b"x")
    assert h.sid == 1
    p.pump()
    req = p.server.accepted.popleft()
    s = p.server.conn
    with pytest.raises(H2UserError):
        s.send_response_head(req.sid, 200, bad, False)
    assert s.stream_state(req.sid) == "HalfClosedRemote(AwaitingHeaders)"
    s.send_response_head(req.sid, 200, None, False)
    with pytest.raises(H2UserError):
        s.send_trailers(req.sid, bad)
    v = s.send_trailers(req.sid, HeaderMap([("x-t", "1")]))
    assert v.stopped is None
    p.pump()
    assert h.eof and h.trailers.get_all("x-t") == [b"1"]
