"""H1Codec and its head events: the Python surface, errors, and round trips
from the encoders through the parsers in random splits."""

import inspect

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velmora._velmora import (
    H1BodyDecoder,
    H1Codec,
    H1ParseError,
    H1RequestHead,
    H1ResponseHead,
    H1UserError,
    HeaderMap,
    H2_PREFACE,
)


def parse_error(codec, data, request=True):
    with pytest.raises(H1ParseError) as info:
        (codec.receive_request_head if request else codec.receive_head)(data)
    return info.value.args


class TestConstruction:
    def test_options(self):
        with pytest.raises(ValueError, match="^the max_buf_size cannot be smaller than 8192$"):
            H1Codec(max_buf_size=8191)
        assert H1Codec(max_buf_size=8192).max_buf_size == 8192
        assert H1Codec().max_buf_size == 417792
        with pytest.raises(TypeError):
            H1Codec(8192)
        with pytest.raises(TypeError):
            H1Codec(date_header=1)
        with pytest.raises(TypeError):
            H1Codec(bogus=True)
        with pytest.raises((ValueError, OverflowError)):
            H1Codec(max_headers=-1)

    def test_frozen_and_signatures(self):
        c = H1Codec()
        with pytest.raises(AttributeError):
            c.foo = 1
        with pytest.raises(TypeError):
            H1RequestHead()
        head = c.receive_request_head(b"GET / HTTP/1.1\r\n\r\n")
        with pytest.raises(AttributeError):
            head.method = "POST"
        params = list(inspect.signature(H1Codec.serialize_request).parameters)
        assert params == ["self", "method", "url", "headers", "http10", "content_length", "chunked"]
        assert "keep_alive" in inspect.signature(H1Codec.serialize_response).parameters
        assert H1Codec.__module__ == "velmora._velmora"


class TestReceive:
    def test_request_head_event(self):
        c = H1Codec()
        h = c.receive_request_head(b"GET / HTTP/1.1\r\nHost: a\r\n\r\nGET /2 HTTP/1.1\r\n")
        assert repr(h) == "H1RequestHead(method='GET', target='/', body_kind=\"empty\")"
        assert (h.keep_alive, h.content_length, h.http10, h.is_upgrade) == (True, 0, False, False)
        assert h.headers.items() == [("host", b"a")]
        assert c.buffered == 17
        c.reset()
        h2 = c.receive_request_head(b"Host: a\r\n\r\n")
        assert h2.target == "/2" and c.buffered == 0
        assert h2.method is h.method  # interned standard methods
        assert h2.target is h2.target and h.headers is h.headers

    def test_request_head_fields(self):
        c = H1Codec()
        h = c.receive_request_head(
            b"PURGE http://Ex.com?x HTTP/1.1\r\nTransfer-Encoding: chunked\r\nExpect: 100-continue\r\n"
            b"TE: trailers\r\nUpgrade: x\r\n\r\n5\r\n"
        )
        assert (h.method, h.target, h.body_kind, h.content_length) == ("PURGE", "http://Ex.com/?x", "chunked", None)
        assert h.expect_continue and h.allow_trailers and h.is_upgrade
        assert c.take_body() == b"5\r\n" and c.take_body() == b""

    def test_incomplete_and_bad_argument(self):
        c = H1Codec()
        assert c.receive_request_head(b"GET / HT") is None
        with pytest.raises(TypeError, match="data"):
            c.receive_request_head(bytearray(b"TP/1.1\r\n\r\n"))
        assert c.buffered == 8
        assert c.receive_request_head(b"TP/1.1\r\n\r\n").target == "/"

    def test_errors_and_automatic_status(self):
        c = H1Codec()
        assert parse_error(c, H2_PREFACE) == ("version_h2", "invalid HTTP version parsed (found HTTP2 preface)")
        assert c.parse_error_status is None
        # A client may split its first write anywhere: a proper prefix of the
        # preface waits for the rest, at every split point.
        for cut in range(1, len(H2_PREFACE)):
            c = H1Codec()
            assert c.receive_request_head(H2_PREFACE[:cut]) is None
            assert parse_error(c, H2_PREFACE[cut:])[0] == "version_h2"
            assert c.parse_error_status is None
        c = H1Codec()
        assert parse_error(c, H2_PREFACE[:16] + b"X")[0] == "version"
        assert c.parse_error_status == 400
        c = H1Codec()
        assert parse_error(c, b"GET /" + b"a" * 65534 + b" HTTP/1.1\r\n\r\n") == ("uri_too_long", "URI too long")
        assert c.parse_error_status == 414
        c = H1Codec()
        big = b"".join(b"X-%d: v\r\n" % i for i in range(101))
        assert parse_error(c, b"GET / HTTP/1.1\r\n" + big + b"\r\n")[0] == "too_large"
        assert c.parse_error_status == 431
        assert H1Codec(max_headers=200).receive_request_head(b"GET / HTTP/1.1\r\n" + big + b"\r\n") is not None
        c.reset()
        assert c.parse_error_status is None
        c = H1Codec(max_buf_size=8192)
        assert c.receive_request_head(b"GET / HTTP/1.1\r\nX: " + b"a" * 8172) is None
        assert parse_error(c, b"a")[0] == "too_large"
        # The limit is the head's, not a read's: a head over it is refused in
        # one read as in many, request and response alike.
        for head, request in ((b"GET / HTTP/1.1\r\nX: " + b"a" * 500000 + b"\r\n\r\n", True),
                              (b"HTTP/1.1 200 OK\r\nX: " + b"a" * 500000 + b"\r\n\r\n", False)):
            for size in (len(head), 256 * 1024, 64 * 1024):
                c = H1Codec()
                if not request:
                    c.serialize_request("GET", "/")
                receive = c.receive_request_head if request else c.receive_head
                with pytest.raises(H1ParseError) as info:
                    for i in range(0, len(head), size):
                        assert receive(head[i:i + size]) is None
                assert info.value.args[0] == "too_large"
                assert c.parse_error_status == (431 if request else None)
        c = H1Codec()
        assert parse_error(c, b"POST / HTTP/1.1\r\nContent-Length: 1, 1\r\n\r\n") == (
            "header_content_length_invalid",
            "invalid content-length parsed",
        )

    def test_target_text_keeps_every_byte(self):
        # High bytes reach the target; they must decode as UTF-8 or distinct
        # targets would collapse into one replacement-character text.
        assert H1Codec().receive_request_head("GET /é?q=ü HTTP/1.1\r\n\r\n".encode()).target == "/é?q=ü"
        # A high byte at every place in and past the 8-byte words the target
        # is copied by, with fields (the target read from the kept head) and
        # without; plain ASCII targets of the same lengths alike.
        c = H1Codec()
        for n in range(18):
            for target in ("/" + "a" * n, "/" + "a" * n + "é", "/" + "a" * n + "é" + "b" * (n % 9)):
                for fields in ("", "Host: a\r\n"):
                    c.reset()
                    h = c.receive_request_head(f"GET {target} HTTP/1.1\r\n{fields}\r\n".encode())
                    assert h.target == target and type(h.target) is str
        for bad in (b"/\xff", b"/\xc3", b"/\xc0\xaf", b"/\xed\xa0\x80", b"/\xf4\x90\x80\x80", b"http://a/\xe9"):
            c = H1Codec()
            assert parse_error(c, b"GET " + bad + b" HTTP/1.1\r\n\r\nrest") == ("uri", "invalid URI")
            assert c.parse_error_status == 400 and c.buffered == 4

    def test_response_heads(self):
        c = H1Codec()
        r = c.receive_head(b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi")
        assert repr(r) == 'H1ResponseHead(status=200, body_kind="length", keep_alive=true)'
        assert (r.content_length, r.wants_keep_alive, r.is_upgrade, r.http10) == (2, True, False, False)
        assert c.take_body() == b"hi"
        assert c.receive_head(b"HTTP/1.1 103 Early Hints\r\n\r\n") is None and c.buffered == 0
        r = c.receive_head(b"HTTP/1.0 200 OK\r\n\r\n")
        assert (r.body_kind, r.content_length, r.keep_alive, r.wants_keep_alive) == ("close", None, False, False)
        assert parse_error(c, b"HTTP/1.1 20 OK\r\n\r\n", request=False)[0] == "status"

        c = H1Codec()
        c.serialize_request("CONNECT", "h:443")
        r = c.receive_head(b"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n")
        assert repr(r) == 'H1ResponseHead(status=200, body_kind="empty", keep_alive=false)' and r.is_upgrade
        c = H1Codec()
        c.serialize_request("GET", "/", HeaderMap({"Connection": "close"}))
        assert c.request_connection_close
        r = c.receive_head(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")
        assert r.keep_alive and not r.wants_keep_alive

    def test_buffer_operations(self):
        c = H1Codec()
        assert c.take_body() == b""
        c.feed(b"abc")
        assert c.buffered == 3 and c.take_body() == b"abc"
        c.receive_request_head(b"POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nhel")
        d = H1BodyDecoder("length", 5)
        c.take_body_into(d)
        assert c.buffered == 0 and d.buffered == 3
        d.feed(b"lo")
        assert d.decode() == b"hello" and d.is_complete
        with pytest.raises(TypeError, match="decoder"):
            c.take_body_into(object())


class TestSerialize:
    def test_response_heads(self):
        c = H1Codec(date_header=False)
        assert c.serialize_response(200) == b"HTTP/1.1 200 OK\r\ncontent-length: 0\r\n\r\n"
        head = H1Codec().serialize_response(200)
        assert head.startswith(b"HTTP/1.1 200 OK\r\ncontent-length: 0\r\ndate: ") and len(head) == 75
        assert head.endswith(b" GMT\r\n\r\n")
        assert c.serialize_response(204, content_length=10) == b"HTTP/1.1 204 No Content\r\n\r\n"
        assert c.body_is_eof()
        assert c.serialize_response(200, chunked=True, http10=True) == (
            b"HTTP/1.0 200 OK\r\nconnection: keep-alive\r\n\r\n"
        )
        assert c.response_close_delimited and not c.body_is_eof()
        assert c.serialize_response(200, keep_alive=False) == (
            b"HTTP/1.1 200 OK\r\nconnection: close\r\ncontent-length: 0\r\n\r\n"
        )
        assert c.response_is_last
        c.serialize_response(200, HeaderMap({"Connection": "close"}))
        assert c.response_is_last
        c.serialize_response(101)
        assert c.response_is_last
        assert c.serialize_response(299) == b"HTTP/1.1 299 <none>\r\ncontent-length: 0\r\n\r\n"
        assert H1Codec(title_case_headers=True, date_header=False).serialize_response(
            200, HeaderMap({"x-foo": "1"}), chunked=True
        ) == b"HTTP/1.1 200 OK\r\nX-Foo: 1\r\nTransfer-Encoding: chunked\r\n\r\n"

    def test_response_errors(self):
        c = H1Codec(date_header=False)
        c.serialize_response(200, content_length=3)
        with pytest.raises(H1UserError) as info:
            c.serialize_response(103)
        assert info.value.args == (
            "unsupported_status_code",
            "response has 1xx status code, not supported by server",
        )
        assert not c.body_is_eof()  # the earlier encoder is untouched
        with pytest.raises(H1UserError) as info:
            c.serialize_response(
                200, HeaderMap([("content-length", "1"), ("transfer-encoding", "chunked")]), chunked=True
            )
        assert info.value.args == ("unexpected_header", "user sent unexpected header")
        with pytest.raises(ValueError, match="^invalid status: invalid status code$"):
            c.serialize_response(1000)
        with pytest.raises(ValueError, match="^invalid status: invalid status code$"):
            c.serialize_response(99)
        with pytest.raises(OverflowError):
            c.serialize_response(70000)
        # The two largest 64-bit counts are no length a reader takes.
        with pytest.raises(ValueError, match="^invalid content_length: larger than 18446744073709551613,"):
            c.serialize_response(200, content_length=2**64 - 2)
        with pytest.raises(ValueError, match="^invalid content_length"):
            c.serialize_request("PUT", "/", content_length=2**64 - 1)
        with pytest.raises(H1UserError, match="unexpected_header"):
            c.serialize_request("PUT", "/", HeaderMap({"content-length": str(2**64 - 1)}))
        assert c.serialize_response(200, content_length=2**64 - 3).endswith(b"content-length: 18446744073709551613\r\n\r\n")
        with pytest.raises(TypeError, match="headers"):
            c.serialize_response(200, {"a": "b"})
        with pytest.raises(TypeError, match="keep_alive"):
            c.serialize_response(200, keep_alive=1)

    def test_response_to_head(self):
        c = H1Codec(date_header=False)
        c.receive_request_head(b"HEAD / HTTP/1.1\r\n\r\n")
        head = c.serialize_response(200, content_length=10)
        assert head == b"HTTP/1.1 200 OK\r\ncontent-length: 10\r\n\r\n" and c.body_is_eof()
        assert c.serialize_head_and_body(head, b"ignored") == head

    def test_request_heads(self):
        c = H1Codec()
        assert c.serialize_request("POST", "/x", chunked=True) == b"POST /x HTTP/1.1\r\ntransfer-encoding: chunked\r\n\r\n"
        assert c.serialize_request("GET", "/x", chunked=True) == b"GET /x HTTP/1.1\r\n\r\n" and c.body_is_eof()
        assert c.serialize_request("GET", "/", http10=True) == b"GET / HTTP/1.0\r\nconnection: keep-alive\r\n\r\n"
        h = HeaderMap({"Connection": "close, upgrade"})
        assert c.serialize_request("GET", "/", h) == b"GET / HTTP/1.1\r\nconnection: close\r\n\r\n"
        assert c.request_connection_close
        assert h.items() == [("connection", b"close, upgrade")]  # the caller's map is not modified
        with pytest.raises(ValueError, match="^invalid method: invalid HTTP method$"):
            c.serialize_request("BAD METHOD", "/")
        with pytest.raises(ValueError, match="^invalid url: empty string$"):
            c.serialize_request("GET", "")
        with pytest.raises(ValueError, match="^invalid url: "):
            c.serialize_request("GET", "http://[::1/")
        with pytest.raises(TypeError, match="method"):
            c.serialize_request(b"GET", "/")
        with pytest.raises(OverflowError):
            c.serialize_request("POST", "/", content_length=-1)

    def test_body_framing_through_the_codec(self):
        c = H1Codec(date_header=False)
        c.serialize_request("PUT", "/", content_length=5)
        chunk = b"abc"
        assert c.serialize_data(chunk) is chunk
        # Past the declared length: refused whole, nothing framed, the encoder
        # as it was; a cut body would look complete to the peer.
        with pytest.raises(H1UserError) as info:
            c.serialize_data(b"defg")
        assert info.value.args == ("body_write_aborted", "user body write aborted: 2 bytes past the declared length")
        assert not c.body_is_eof()
        assert c.serialize_data(b"de") == b"de"
        assert c.body_is_eof()
        with pytest.raises(H1UserError):
            c.serialize_data(b"x")
        assert c.serialize_end() == b""
        c.serialize_request("PUT", "/", content_length=2)
        with pytest.raises(H1UserError):
            c.serialize_head_and_body(b"", b"abc")
        c.serialize_request("PUT", "/", content_length=5)
        c.serialize_data(b"abc")
        with pytest.raises(H1UserError) as info:
            c.serialize_end()
        assert info.value.args == ("body_write_aborted", "user body write aborted: early end, expected 2 more bytes")
        with pytest.raises(ValueError, match="^serialize_data with no request in flight$"):
            c.serialize_data(b"x")
        assert c.serialize_data(b"") == b""

        c.serialize_request("POST", "/", chunked=True)
        assert c.serialize_data(b"hello") == b"5\r\nhello\r\n"
        end1 = c.serialize_end()
        c.serialize_request("POST", "/", chunked=True)
        assert c.serialize_end() is end1 == b"0\r\n\r\n"

        # A server answering a request without TE: trailers sends no trailer.
        c.receive_request_head(b"GET / HTTP/1.1\r\n\r\n")
        c.serialize_response(200, HeaderMap({"Trailer": "x-checksum"}), chunked=True)
        assert c.serialize_trailers(HeaderMap({"x-checksum": "1"})) == b"0\r\n\r\n"
        c.reset()
        c.receive_request_head(b"GET / HTTP/1.1\r\nTE: trailers\r\n\r\n")
        c.serialize_response(200, HeaderMap({"Trailer": "x-checksum"}), chunked=True)
        assert c.serialize_trailers(HeaderMap({"x-checksum": "abc", "x-other": "1"})) == (
            b"0\r\nx-checksum: abc\r\n\r\n"
        )
        with pytest.raises(TypeError, match="trailers"):
            c.serialize_trailers({})

        head = c.serialize_response(200, content_length=2)
        assert c.serialize_head_and_body(head, b"hi") == head + b"hi"
        head = c.serialize_request("POST", "/", chunked=True)
        assert c.serialize_head_and_body(head, b"abc") == head + b"3\r\nabc\r\n0\r\n\r\n"

    def test_static_helpers(self):
        assert H1Codec.continue_response() == b"HTTP/1.1 100 Continue\r\n\r\n"
        assert H1Codec.connection_close(HeaderMap([("Connection", "keep-alive"), ("connection", "Close")]))
        assert not H1Codec.connection_close(HeaderMap({"Connection": "closed"}))
        with pytest.raises(TypeError):
            H1Codec.connection_close({"connection": "close"})


# ---- round trips ----------------------------------------------------------------

_token_chars = "abcdefghijklmnopqrstuvwxyz0123456789-!#$%&'*+.^_`|~"
_names = st.text(_token_chars, min_size=1, max_size=20).filter(
    lambda n: n not in ("content-length", "transfer-encoding", "connection", "trailer", "te", "upgrade", "expect")
)
_values = st.binary(max_size=40).map(lambda b: bytes(c for c in b if c >= 0x21 and c != 0x7F)).map(
    lambda b: b.replace(b",", b"")
) | st.text(" abcXYZ09-;=", max_size=30).map(lambda s: s.strip().encode())
_headers = st.lists(st.tuples(_names, _values), max_size=12)
_paths = st.text("abcdefghijklmnopqrstuvwxyz0123456789-._~!$&'()*+,;=:@%/", max_size=40).map(lambda p: "/" + p)


def _splits(data, cuts):
    points = sorted({c % (len(data) + 1) for c in cuts})
    pieces, last = [], 0
    for p in points:
        pieces.append(data[last:p])
        last = p
    pieces.append(data[last:])
    return [p for p in pieces if p]


def _expected(headers):
    m = HeaderMap()
    for n, v in headers:
        m.add(n, v)
    return m


@settings(max_examples=200, deadline=None)
@given(
    method=st.sampled_from(["GET", "POST", "PUT", "DELETE", "PATCH", "QUERY", "PURGE", "m-search"]),
    path=_paths,
    query=st.none() | st.text("abc=&09%", max_size=20),
    headers=_headers,
    length=st.none() | st.integers(0, 2**64 - 3),
    chunked=st.booleans(),
    http10=st.booleans(),
    cuts=st.lists(st.integers(0, 10_000), max_size=6),
)
def test_request_round_trip(method, path, query, headers, length, chunked, http10, cuts):
    target = path if query is None else f"{path}?{query}"
    client = H1Codec()
    data = client.serialize_request(
        method, target, _expected(headers), http10=http10, content_length=length, chunked=chunked
    )
    server = H1Codec()
    head = None
    for piece in _splits(data, cuts):
        assert head is None
        head = server.receive_request_head(piece)
    assert head is not None and server.buffered == 0
    assert head.method == method and head.target == target and head.http10 == http10
    expected = _expected(headers)
    if http10:
        expected["connection"] = "keep-alive"
    if chunked and not http10 and method not in ("GET", "HEAD"):
        assert head.body_kind == "chunked" and head.content_length is None
        expected.add("transfer-encoding", "chunked")
    elif length is not None and not chunked:
        assert head.content_length == length
        assert head.body_kind == ("length" if length else "empty")
        expected["content-length"] = str(length)
    else:
        assert head.body_kind == "empty"
    assert head.headers == expected
    assert head.keep_alive


@settings(max_examples=200, deadline=None)
@given(
    status=st.integers(200, 599).filter(lambda s: s not in (204, 304)) | st.sampled_from([101, 204, 304]),
    headers=_headers,
    length=st.none() | st.integers(0, 2**64 - 3),
    chunked=st.booleans(),
    keep_alive=st.booleans(),
    title=st.booleans(),
    cuts=st.lists(st.integers(0, 10_000), max_size=6),
)
def test_response_round_trip(status, headers, length, chunked, keep_alive, title, cuts):
    server = H1Codec(title_case_headers=title)
    data = server.serialize_response(
        status, _expected(headers), keep_alive=keep_alive, content_length=length, chunked=chunked
    )
    client = H1Codec()
    head = None
    for piece in _splits(data, cuts):
        assert head is None
        head = client.receive_head(piece)
    assert head is not None and client.buffered == 0
    assert head.status == status
    got = head.headers
    assert got.get("date") is not None
    for n, v in headers:
        assert v in got.get_all(n)
    bodyless = status in (101, 204, 304)
    if bodyless:
        assert head.body_kind == "empty"
    elif chunked:
        assert head.body_kind == "chunked"
    else:
        assert head.content_length == (length or 0)
    assert head.keep_alive == (keep_alive and status != 101)
    assert server.response_is_last == (not keep_alive or status == 101)


def test_concurrent_use_is_serialized():
    import threading

    c = H1Codec(max_buf_size=1 << 20)
    heads = []

    def worker():
        for _ in range(500):
            c.feed(b"x" * 8)
            heads.append(c.body_is_eof())

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert c.buffered == 8 * 500 * 8
    assert len(c.take_body()) == 32000 and c.buffered == 0


def test_stored_content_length_removed_by_transfer_encoding_keeps_fields_intact():
    # Removing the stored Content-Length may leave the map empty (or swap the
    # last field into its place) while the head is still being read.
    for head, fields in (
        (b"POST /x HTTP/1.1\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n",
         [("transfer-encoding", b"chunked")]),
        (b"POST /x HTTP/1.1\r\nHost; a\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n",
         [("transfer-encoding", b"chunked")]),
        (b"POST /x HTTP/1.1\r\nContent-Length: 5\r\nA: 1\r\nB: 2\r\nTransfer-Encoding: chunked\r\nC: 3\r\n\r\n",
         [("b", b"2"), ("a", b"1"), ("transfer-encoding", b"chunked"), ("c", b"3")]),
    ):
        h = H1Codec(ignore_invalid_headers=True).receive_request_head(head)
        assert h.headers.items() == fields
        assert h.body_kind == "chunked" and h.keep_alive is False


def test_heads_whose_framing_lines_do_not_fit_are_refused():
    # A caller's map already at the name bound: the head must not go out
    # without the Transfer-Encoding / Content-Length / Connection line it needs.
    full = HeaderMap([(f"x-{i}", "v") for i in range(24576)])
    msg = r"^header map is full \(HeaderMap MAX_SIZE, 32768 entries\)$"
    for kwargs in ({"chunked": True}, {"content_length": 5}):
        with pytest.raises(ValueError, match=msg):
            H1Codec().serialize_request("POST", "/", full, **kwargs)
    with pytest.raises(ValueError, match=msg):
        H1Codec().serialize_response(200, full, keep_alive=False)
    c = H1Codec()
    assert c.serialize_request("GET", "/", full).startswith(b"GET / HTTP/1.1\r\n")  # nothing to add
    assert c.body_is_eof()


def test_fragment_refused_in_received_targets_dropped_from_outgoing_urls():
    # Two raw targets must never reach the application as one: the server
    # refuses a target holding '#', while URLs the client sends lose theirs.
    from velmora._velmora import uri_parts

    c = H1Codec()
    assert parse_error(c, b"GET /admin#/../public HTTP/1.1\r\nHost: a\r\n\r\n") == ("uri", "invalid URI")
    assert c.parse_error_status == 400
    assert H1Codec().serialize_request("GET", "http://h/a?b#frag").startswith(b"GET http://h/a?b HTTP/1.1\r\n")
    assert H1Codec().serialize_request("GET", "/a#frag").startswith(b"GET /a HTTP/1.1\r\n")
    assert uri_parts("http://h:81/a#frag") == ("http", "h", 81, "h:81")
