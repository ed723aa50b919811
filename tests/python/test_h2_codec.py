"""H2Codec: frame events, limits against hostile peers, the serializers and
the static helpers."""

import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from h2frames import frame, headers_frames, literal, split_frames, summary
from velmora._velmora import (
    H2Codec,
    H2FrameData,
    H2FrameHeaders,
    H2FrameSettings,
    H2FrameStreamError,
    H2ProtocolError,
    H2UserError,
    HeaderMap,
)

REQUEST = literal(":method", "GET") + literal(":scheme", "https") + literal(":path", "/") + literal(
    ":authority", "example.com") + literal("accept", "*/*")


def protocol_error(codec, data):
    with pytest.raises(H2ProtocolError) as e:
        codec.receive(data)
    return e.value.args


# ---- construction and preface ---------------------------------------------------


def test_role_is_exact():
    assert H2Codec().role_client and not H2Codec("server").role_client
    for bad, shown in (("Client", '"Client"'), ('a"b', '"a\\"b"')):
        with pytest.raises(ValueError) as e:
            H2Codec(role=bad)
        assert str(e.value) == "role must be 'client' or 'server', got " + shown
    with pytest.raises(TypeError):
        H2Codec(role=1)


def test_feed_preface_then_receive():
    c = H2Codec("server")
    assert c.feed_preface(b"PRI * HTTP/2.0\r\n") is None
    assert c.feed_preface(b"\r\nSM\r\n\r\n" + frame(4, 0, 0)) is True
    assert c.buffered() == 9
    [ev] = c.receive(b"")
    assert isinstance(ev, H2FrameSettings) and not ev.ack
    assert H2Codec().feed_preface(b"GET / HTTP/1.1\r\n") is False


def test_match_preface():
    assert H2Codec.match_preface(b"GET / HTTP/1.1\r\n") is False
    assert H2Codec.match_preface(b"") is None
    assert H2Codec.match_preface(b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\nextra") is True


# ---- receiving ---------------------------------------------------------------


def test_headers_event_fields_and_repr():
    c = H2Codec("server")
    block = REQUEST + literal("content-length", "12") + literal("accept", "text/html")
    [ev] = c.receive(headers_frames(3, block, end_stream=True, piece=5))
    assert isinstance(ev, H2FrameHeaders)
    assert (ev.stream_id, ev.end_stream, ev.end_headers) == (3, True, True)
    assert (ev.method, ev.scheme, ev.authority, ev.path, ev.status) == ("GET", "https", "example.com", "/", None)
    assert ev.headers.get_all("accept") == [b"*/*", b"text/html"]
    assert (ev.content_length, ev.content_length_invalid, ev.is_informational) == (12, False, False)
    assert repr(ev) == "Headers(stream_id=3, status=None, end_stream=true, fields=3)"
    with pytest.raises(AttributeError):
        ev.stream_id = 5
    # Shared scheme strings.
    [again] = c.receive(headers_frames(5, block))
    assert again.scheme is ev.scheme


@pytest.mark.parametrize(
    "value, length, invalid",
    [("", 0, False), ("0012", 12, False), ("9" * 19, int("9" * 19), False), ("9" * 20, None, True),
     ("1,1", None, True), ("-1", None, True)],
)
def test_content_length_rule(value, length, invalid):
    c = H2Codec()
    [ev] = c.receive(headers_frames(1, literal(":status", "200") + literal("content-length", value)))
    assert (ev.content_length, ev.content_length_invalid) == (length, invalid)


def test_informational_status():
    c = H2Codec()
    [ev] = c.receive(headers_frames(1, literal(":status", "103")))
    assert ev.is_informational and ev.status == 103
    assert repr(ev) == "Headers(stream_id=1, status=Some(103), end_stream=false, fields=0)"


def test_data_padding_and_flow_controlled_length():
    c = H2Codec()
    evs = c.receive(frame(0, 0x8, 1, b"\x03abc\0\0\0") + frame(0, 0x9, 1, b"\x04\0\0\0\0") + frame(0, 0, 1, b""))
    assert [summary(e) for e in evs] == [
        ("H2FrameData", 1, False, b"abc", 7, 4),
        ("H2FrameData", 1, True, b"", 5, 5),
        ("H2FrameData", 1, False, b"", 0, 0),
    ]
    assert repr(evs[0]) == "Data(stream_id=1, end_stream=false, len=3)"
    assert type(evs[0].data) is bytes


def test_settings_event():
    c = H2Codec()
    [ev] = c.receive(frame(4, 0, 0, struct.pack(">HI", 3, 100) + struct.pack(">HI", 0x99, 1)))
    assert repr(ev) == ("Settings(ack=false, max_concurrent_streams=Some(100), initial_window_size=None, "
                        "max_frame_size=None)")
    [ack] = c.receive(frame(4, 1, 0))
    assert ack.ack and ack.max_frame_size is None


def test_small_frames():
    c = H2Codec()
    evs = c.receive(
        frame(6, 1, 0, b"12345678") + frame(7, 0, 0, struct.pack(">II", 0x80000007, 2) + b"dbg")
        + frame(3, 0, 0, struct.pack(">I", 8)) + frame(8, 0, 0, struct.pack(">I", 0x80000001))
        + frame(2, 0, 5, struct.pack(">IB", 3, 16)) + frame(0x42, 0xff, 9, b"ignored"))
    assert [summary(e) for e in evs] == [
        ("H2FramePing", b"12345678", True),
        ("H2FrameGoAway", 7, 2, b"dbg"),
        ("H2FrameRstStream", 0, 8),
        ("H2FrameWindowUpdate", 0, 1),
        ("H2FramePriority", 5),
    ]
    # Only the reserved bit: an increment of 0.
    assert protocol_error(c, frame(8, 0, 1, b"\x80\0\0\0")) == (1, "failed to load frame: InvalidWindowUpdateValue")


def test_stream_errors_are_events():
    c = H2Codec("server")
    ping = frame(6, 0, 0, b"pingpong")
    bad = literal("content-type", "text/plain") + literal(":path", "/")
    te = REQUEST + literal("te", "gzip")
    evs = c.receive(ping + headers_frames(1, bad) + frame(2, 0, 3, struct.pack(">IB", 3, 1))
                    + headers_frames(5, te) + headers_frames(7, REQUEST + literal("te", "trailers")))
    assert [summary(e)[:3] for e in evs[:4]] == [
        ("H2FramePing", b"pingpong", False),
        ("H2FrameStreamError", 1, 1),
        ("H2FrameStreamError", 3, 1),
        ("H2FrameStreamError", 5, 1),
    ]
    assert evs[4].headers.get_all("te") == [b"trailers"]


def test_frame_arriving_one_octet_at_a_time():
    c = H2Codec()
    wire = frame(0, 1, 1, b"x" * 100)
    for i in range(8):
        assert c.receive(wire[i:i + 1]) == []
    assert c.receive(wire[8:9]) == [] and c.buffered() == 9
    for i in range(9, len(wire) - 1):
        assert c.receive(wire[i:i + 1]) == []
    [ev] = c.receive(wire[-1:])
    assert ev.data == b"x" * 100 and c.buffered() == 0


def test_errors_discard_the_batch():
    c = H2Codec()
    assert protocol_error(c, frame(6, 0, 0, b"12345678") + frame(1, 0, 1, REQUEST) + frame(6, 0, 0, b"12345678")) == (
        1, "expected CONTINUATION frame")
    assert protocol_error(H2Codec(), frame(5, 4, 1, b"")) == (1, "PUSH_PROMISE received but server push is disabled")
    assert protocol_error(H2Codec(), frame(9, 4, 1, b"")) == (1, "received unexpected CONTINUATION frame")
    # A block that cannot be decoded: COMPRESSION_ERROR (RFC 9113, 4.3).
    assert protocol_error(H2Codec(), headers_frames(1, b"\xff\xff\xff\xff\xff\xff")) == (
        9, "HPACK decoding failed: Hpack(IntegerOverflow)")
    assert protocol_error(H2Codec(), headers_frames(1, b"\x80")) == (9, "HPACK decoding failed: Hpack(InvalidTableIndex)")
    # An empty literal name is a NeedMore kind: mid-block it waits, the
    # block's end reports it.
    c = H2Codec()
    assert c.receive(frame(1, 0, 1, b"\x82\x00\x00\x01x")) == []
    assert protocol_error(c, frame(9, 4, 1, b"")) == (1, "HPACK decoding failed: Hpack(NeedMore(UnexpectedEndOfStream))")


@settings(max_examples=60, deadline=None)
@given(st.data())
def test_any_split_gives_the_same_events(data):
    wire = (frame(4, 0, 0, struct.pack(">HI", 4, 1000)) + headers_frames(1, REQUEST, piece=7)
            + frame(0, 0x8, 1, b"\x02hello\0\0") + frame(6, 0, 0, b"abcdefgh")
            + headers_frames(3, REQUEST + b"\x40\x03foo\x03bar", end_stream=True, piece=11)
            + headers_frames(5, literal(":status", "200") + b"\xbe", piece=3) + frame(0, 1, 5, b"z" * 300))
    whole = [summary(e) for e in H2Codec().receive(wire)]
    cuts = sorted(data.draw(st.lists(st.integers(0, len(wire)), max_size=12)))
    c = H2Codec()
    got, at = [], 0
    for cut in cuts + [len(wire)]:
        got += [summary(e) for e in c.receive(wire[at:cut])]
        at = cut
    assert got == whole and c.buffered() == 0
    assert len(whole) == 7


# ---- limits against hostile peers ------------------------------------------------


def test_continuation_flood_limit_at_its_bound():
    c = H2Codec()
    wire = frame(1, 0, 1, b"") + frame(9, 0, 1, b"") * 1280
    assert c.receive(wire) == []
    assert protocol_error(c, frame(9, 0, 1, b"")) == (11, "too_many_continuations")
    # A final CONTINUATION resets the count.
    d = H2Codec()

    def longest(sid):
        return frame(1, 0, sid, b"") + frame(9, 0, sid, b"") * 1280 + frame(9, 4, sid, REQUEST)

    assert len(d.receive(longest(1) + longest(3))) == 2
    # The limit follows the header list size and the frame size.
    e = H2Codec()
    e.set_max_header_list_size(16384 * 8)
    assert e.receive(frame(1, 0, 1, b"") + frame(9, 0, 1, b"") * 10) == []
    assert protocol_error(e, frame(9, 0, 1, b""))[1] == "too_many_continuations"


def test_header_list_limit_drops_then_stops():
    c = H2Codec()
    c.set_max_header_list_size(100)
    fields = [("a" * 8, "v" * 5), ("b" * 8, "v" * 5), ("c" * 8, "v" * 5)]  # 45 octets each
    # A block without :status passes a client only as trailers, which end the stream.
    [ev] = c.receive(headers_frames(1, b"".join(literal(n, v) for n, v in fields), end_stream=True))
    assert ev.headers.keys() == ["aaaaaaaa", "bbbbbbbb"]
    assert ev.over_size  # never an ordinary head: fields were dropped
    [ev] = c.receive(headers_frames(5, b"".join(literal(n, v) for n, v in fields[:2]), end_stream=True))
    assert ev.headers.keys() == ["aaaaaaaa", "bbbbbbbb"] and not ev.over_size  # 90: within the limit
    big = b"".join(literal("x%02d" % i, "v" * 5) for i in range(11))  # 440 octets: past 4 x 100
    assert protocol_error(c, headers_frames(3, big)) == (11, "decoded header list size over abuse limit")


def test_an_over_size_request_is_marked_and_can_be_answered_431():
    # Six 36-octet fields under a 200-octet limit: the request arrives without
    # them, and says so, in both the codec and the connection's receive.
    from velmora._velmora import H2Streams
    opts = dict(initial_window_size=65535, connection_window=65535, max_frame_size=16384,
                max_header_list_size=200, max_send_buf_size=65536)
    client = H2Codec()
    fields = HeaderMap([("authorization", "a" * 3)] + [("x-f%d" % i, "v" * 28) for i in range(6)])
    req = client.serialize_request_headers(1, "GET", "/", fields, True, scheme="https", authority="a.test")
    codec = H2Codec("server")
    codec.set_max_header_list_size(200)
    assert codec.feed_preface(b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n") is True
    [ev] = codec.receive(req)
    assert ev.over_size and ev.method == "GET"
    server = H2Streams("server", **opts)
    server.begin()
    server.take_pending()
    assert server.prime(b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n") is True
    settings, ack = H2Codec().serialize_settings(), H2Codec().serialize_settings_ack()
    events = server.receive(settings + ack)
    server.recv_settings(events[0])
    server.recv_settings(events[1])  # our 200-octet list limit is acknowledged
    [ev] = server.receive(H2Codec().serialize_request_headers(1, "GET", "/", fields, True, scheme="https",
                                                              authority="a.test"))
    assert ev.over_size and "authorization" not in ev.headers
    verdict = server.recv_headers(ev, object())
    assert verdict.kind == 1  # opened: the server answers it itself
    server.send_response_head(1, 431, None, True)
    view, _ = server.take_pending()
    answered = [e for e in H2Codec().receive(bytes(view)) if isinstance(e, H2FrameHeaders)]
    assert [e.status for e in answered] == [431]


def test_indexed_expansion_is_stopped_by_the_limit():
    c = H2Codec()
    c.set_max_header_list_size(65536)
    insert = b"\x40\x01x\x7f\xa1\x1e" + b"v" * 4000  # literal with indexing, 4000-octet value
    c.receive(headers_frames(1, literal(":status", "200") + insert))
    bomb = literal(":status", "200") + b"\xbe" * 16000  # 16000 octets naming 64 MB of fields
    assert protocol_error(c, headers_frames(3, bomb, piece=16000)) == (11, "decoded header list size over abuse limit")


def test_continuation_over_ignorable_limit():
    c = H2Codec()
    c.set_max_header_list_size(100)
    over = b"".join(literal("f%d" % i, "v" * 40) for i in range(3))  # over the list size, under the abuse limit
    half = b"\x00\x05abcde\x7f"  # a field cut inside its value length
    first = frame(1, 0, 1, over + half)
    assert c.receive(first) == []
    assert protocol_error(c, frame(9, 0, 1, b"\x01" * 120)) == (
        9, "CONTINUATION frame header block size over ignorable limit")


# ---- serializers -------------------------------------------------------------------


def test_request_headers_round_trip_and_split():
    c = H2Codec()
    h = HeaderMap([("accept", "*/*"), ("x-big", "v" * 40000)])
    wire = c.serialize_request_headers(1, "GET", "/search?q=1", h, True, scheme="https", authority="example.com")
    frames = split_frames(wire)
    assert [(t, f) for t, f, _, _ in frames] == [(1, 1), (9, 0), (9, 4)]
    assert [len(p) for _, _, _, p in frames][:2] == [16384, 16384]
    [ev] = H2Codec("server").receive(wire)
    assert (ev.method, ev.scheme, ev.authority, ev.path, ev.end_stream) == ("GET", "https", "example.com",
                                                                              "/search?q=1", True)
    assert ev.headers == h


def test_request_targets():
    c = H2Codec()
    for partial in (dict(scheme="https"), dict(authority="example.com")):
        with pytest.raises(ValueError) as e:
            c.serialize_request_headers(1, "GET", "/", **partial)
        assert str(e.value).startswith("request target is a bare path but the connection has no authority")
    with pytest.raises(ValueError, match="^invalid method: "):
        c.serialize_request_headers(1, "G T", "/", scheme="https", authority="h")
    with pytest.raises(ValueError, match="^invalid url: "):
        c.serialize_request_headers(1, "GET", "/a b", scheme="https", authority="h")
    with pytest.raises(ValueError, match="^invalid url: "):
        c.serialize_request_headers(1, "GET", "/", scheme="https", authority="a/b")
    d = H2Codec("server")
    [ev] = d.receive(c.serialize_request_headers(3, "OPTIONS", "https://h.example:8443"))
    assert (ev.scheme, ev.authority, ev.path) == ("https", "h.example:8443", "*")
    [ev] = d.receive(c.serialize_request_headers(5, "CONNECT", "h:443", scheme="https", authority="h:443"))
    assert (ev.method, ev.scheme, ev.authority, ev.path) == ("CONNECT", None, "h:443", None)


def test_response_headers_and_trailers():
    c, d = H2Codec("server"), H2Codec()
    [ev] = d.receive(c.serialize_response_headers(1, 204, HeaderMap([("server", "v")]), True, auto_date=True))
    assert ev.status == 204 and ev.end_stream and len(ev.headers.get_all("date")[0]) == 29
    [ev] = d.receive(c.serialize_response_headers(3, 200, HeaderMap([("date", "x")]), auto_date=True))
    assert ev.headers.get_all("date") == [b"x"]
    for bad in (99, 1000):
        with pytest.raises(ValueError, match="^invalid status: "):
            c.serialize_response_headers(1, bad)
    [ev] = d.receive(c.serialize_trailers(1, HeaderMap([("grpc-status", "0")])))
    assert ev.end_stream and ev.status is None and ev.headers.items() == [("grpc-status", b"0")]


def test_hpack_reuses_the_dynamic_table():
    c = H2Codec()
    h = HeaderMap([("content-type", "text/plain")])
    first = split_frames(c.serialize_response_headers(1, 200, h))[0][3]
    second = split_frames(c.serialize_response_headers(3, 200, h))[0][3]
    assert len(second) < len(first) and second.endswith(b"\xbe")


def test_table_size_changes_reach_the_peer():
    c, d = H2Codec(), H2Codec("server")
    d.set_recv_header_table_size(0)
    c.set_send_header_table_size(0)
    h = HeaderMap([("x-a", "1")])
    wire = c.serialize_request_headers(1, "GET", "/", h, scheme="http", authority="a")
    assert split_frames(wire)[0][3][0] == 0x20  # the size update comes first
    [ev] = d.receive(wire)
    assert ev.headers == h
    # An update above what we advertised is refused.
    e = H2Codec()
    e.set_recv_header_table_size(100)
    assert protocol_error(e, headers_frames(1, b"\x3f\x46" + literal(":status", "200"))) == (
        9, "HPACK decoding failed: Hpack(InvalidMaxDynamicSize)")


def test_data_and_control_frames():
    c = H2Codec()
    assert c.serialize_data(1, b"abc", True) == frame(0, 1, 1, b"abc")
    with pytest.raises(H2UserError) as e:
        c.serialize_data(1, b"x" * 16385)
    assert e.value.args == ("payload_too_big", "DATA payload 16385 exceeds SETTINGS_MAX_FRAME_SIZE 16384")
    c.set_send_max_frame_size(16385)
    assert len(c.serialize_data(1, b"x" * 16385)) == 16394
    with pytest.raises(ValueError, match="MSB is set"):
        c.serialize_data(2**31, b"")
    assert c.serialize_settings_ack() == b"\0\0\0\x04\x01\0\0\0\0"
    assert c.serialize_ping(b"12345678") == frame(6, 0, 0, b"12345678")
    assert c.serialize_ping_ack(b"12345678") == frame(6, 1, 0, b"12345678")
    with pytest.raises(ValueError, match="^ping payload must be exactly 8 bytes$"):
        c.serialize_ping(b"1234567")
    assert c.serialize_go_away(3, 0) == frame(7, 0, 0, struct.pack(">II", 3, 0))
    with pytest.raises(ValueError, match="^frame payload 16777216 exceeds 16777215 octets$"):
        c.serialize_go_away(3, 0, b"d" * (2**24 - 8))
    assert c.serialize_rst_stream(3, 8) == frame(3, 0, 3, struct.pack(">I", 8))
    assert c.serialize_window_update(0, 2**31 + 1) == frame(8, 0, 0, struct.pack(">I", 2**31 + 1))


def test_settings_serializer():
    c = H2Codec()
    assert c.serialize_settings(max_frame_size=16384, enable_push=False, header_table_size=0) == frame(
        4, 0, 0, struct.pack(">HIHIHI", 1, 0, 2, 0, 5, 16384))
    for kw, msg in ((dict(max_frame_size=16383, initial_window_size=2**31), "max_frame_size must be in [16384, "
                     "16777215], got 16383"), (dict(initial_window_size=2**31), "initial_window_size must be <= "
                                                "2147483647, got 2147483648")):
        with pytest.raises(ValueError) as e:
            c.serialize_settings(**kw)
        assert str(e.value) == msg
    with pytest.raises(ValueError, match=r"max_frame_size must be in \[16384, 16777215\], got 16777216"):
        c.set_max_recv_frame_size(2**24)
    with pytest.raises(TypeError):
        c.serialize_settings(enable_push=1)
    with pytest.raises(OverflowError):
        c.set_max_header_list_size(2**32)


def test_static_helpers():
    H2Codec.check_send_headers(HeaderMap([("te", "trailers"), ("accept", "*/*")]))
    H2Codec.check_send_headers(HeaderMap([("te", "trailers"), ("te", "gzip")]))  # only the first te counts
    for bad in (("te", "gzip"), ("connection", "close"), ("upgrade", "h2c"), ("keep-alive", "1"),
                ("proxy-connection", "x"), ("transfer-encoding", "chunked")):
        with pytest.raises(H2UserError) as e:
            H2Codec.check_send_headers(HeaderMap([bad]))
        assert e.value.args == ("malformed_headers", "malformed headers")
    assert H2Codec.method_is_head("HEAD") and not H2Codec.method_is_head("head")
    assert not H2Codec.method_is_head("HE AD")
    assert not H2Codec.is_client_initiated(0) and H2Codec.is_client_initiated(1)
    assert not H2Codec.is_client_initiated(2)
