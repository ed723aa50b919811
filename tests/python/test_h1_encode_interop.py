"""What H1Codec encodes, read back by h11 and httptools: requests and responses
with length, chunked (with trailers) and close-delimited bodies must come out
with the same method, target, status, headers, body and trailers."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velmora._velmora import H1Codec, HeaderMap, http_date

h11 = pytest.importorskip("h11")
httptools = pytest.importorskip("httptools")


def header_map(pairs):
    m = HeaderMap()
    for n, v in pairs:
        m.add(n, v)
    return m


def lower(pairs):
    return [(bytes(n).lower().decode(), bytes(v)) for n, v in pairs]


def encode_body(codec, head, chunks, trailers, one_shot):
    """The whole message: head, each chunk framed, then the end."""
    tmap = header_map(trailers) if trailers else None
    if one_shot:
        return codec.serialize_head_and_body(head, b"".join(chunks), tmap)
    out = [head] + [codec.serialize_data(c) for c in chunks]
    out.append(codec.serialize_trailers(tmap) if tmap is not None else codec.serialize_end())
    return b"".join(out)


def kept_trailers(trailers, declared):
    """The trailer fields the encoder sends: declared ones, grouped by name in
    order of first appearance (the HeaderMap's order)."""
    return [(n, v) for n, v in header_map(trailers).items() if n in declared]


# ---- peers as readers -------------------------------------------------------------


def h11_read_request(data):
    conn = h11.Connection(h11.SERVER)
    conn.receive_data(data)
    req, body = None, []
    while True:
        ev = conn.next_event()
        assert ev is not h11.NEED_DATA, "h11 wants more of a complete message"
        if isinstance(ev, h11.Request):
            req = ev
        elif isinstance(ev, h11.Data):
            body.append(bytes(ev.data))
        elif isinstance(ev, h11.EndOfMessage):
            return req, b"".join(body), lower(ev.headers), conn.trailing_data[0]


def h11_read_response(method, data, close_delimited):
    conn = h11.Connection(h11.CLIENT)
    conn.send(h11.Request(method=method, target="/", headers=[("Host", "example")]))
    conn.send(h11.EndOfMessage())
    conn.receive_data(data)
    resp, body = None, []
    while True:
        ev = conn.next_event()
        if ev is h11.NEED_DATA:
            assert close_delimited, "h11 wants more of a complete message"
            conn.receive_data(b"")  # the server closes to end the body
            continue
        if isinstance(ev, h11.Response):
            resp = ev
        elif isinstance(ev, h11.Data):
            body.append(bytes(ev.data))
        elif isinstance(ev, h11.EndOfMessage):
            return resp, b"".join(body), lower(ev.headers)


class Recorder:
    def __init__(self):
        self.url = b""
        self.headers, self.trailers, self.body = [], [], []
        self.in_head = True
        self.complete = False

    def on_url(self, url):
        self.url += url

    def on_header(self, name, value):
        (self.headers if self.in_head else self.trailers).append((name.lower().decode(), bytes(value)))

    def on_headers_complete(self):
        self.in_head = False

    def on_body(self, body):
        self.body.append(bytes(body))

    def on_message_complete(self):
        self.complete = True


def httptools_read(parser_class, data):
    rec = Recorder()
    parser = parser_class(rec)
    parser.feed_data(data)
    return parser, rec


# ---- generated messages ----------------------------------------------------------

names = st.from_regex(r"[Xx]-[A-Za-z0-9-]{1,10}", fullmatch=True)
values = st.binary(max_size=24).filter(
    lambda b: all(0x21 <= c <= 0x7E or c in (0x20, 0x09) for c in b) and b.strip(b" \t") == b
)
fields = st.lists(st.tuples(names, values), max_size=6)
chunk_lists = st.lists(st.binary(min_size=1, max_size=300), max_size=5)
paths = st.from_regex(r"/[A-Za-z0-9._~!$&'()*+,;=:@%-/]{0,20}(\?[A-Za-z0-9=&%]{0,12})?", fullmatch=True)


@settings(max_examples=250, deadline=None)
@given(
    method=st.sampled_from(["GET", "HEAD", "POST", "PUT", "DELETE", "PATCH", "PURGE"]),
    target=paths | st.builds(lambda p: "http://example.com" + p, paths),
    extra=fields,
    body_kind=st.sampled_from(["none", "length", "chunked"]),
    chunks=chunk_lists,
    trailers=fields,
    declare=st.booleans(),
    http10=st.booleans(),
    title=st.booleans(),
    one_shot=st.booleans(),
)
def test_requests_read_back_by_peers(
    method, target, extra, body_kind, chunks, trailers, declare, http10, title, one_shot
):
    user = [("Host", b"example")] + extra
    declared = sorted({n.lower() for n, _ in trailers[: len(trailers) // 2 + 1]}) if declare else []
    if body_kind == "chunked" and declared:
        user.append(("Trailer", ", ".join(declared).encode()))
    body = b"".join(chunks)
    codec = H1Codec(title_case_headers=title)
    head = codec.serialize_request(
        method,
        target,
        header_map(user),
        http10=http10,
        content_length=len(body) if body_kind == "length" else None,
        chunked=body_kind == "chunked",
    )
    wire = encode_body(codec, head, chunks, trailers if body_kind == "chunked" else (), one_shot)

    expected = list(header_map(user).items())
    if http10:
        expected.append(("connection", b"keep-alive"))
    chunked = body_kind == "chunked" and not http10 and method not in ("GET", "HEAD")
    if chunked:
        expected.append(("transfer-encoding", b"chunked"))
    elif body_kind == "length":
        expected.append(("content-length", str(len(body)).encode()))
    sent = body if chunked or body_kind == "length" else b""
    sent_trailers = kept_trailers(trailers, declared) if chunked else []

    req, got_body, got_trailers, closed = h11_read_request(wire)
    assert req.method == method.encode() and req.target == target.encode()
    assert req.http_version == (b"1.0" if http10 else b"1.1")
    assert lower(req.headers) == expected
    assert got_body == sent and got_trailers == sent_trailers and not closed

    parser, rec = httptools_read(httptools.HttpRequestParser, wire)
    assert rec.complete and parser.get_method() == method.encode() and rec.url == target.encode()
    assert rec.headers == expected and b"".join(rec.body) == sent and rec.trailers == sent_trailers


@settings(max_examples=250, deadline=None)
@given(
    method=st.sampled_from(["GET", "GET", "POST", "HEAD"]),
    status=st.sampled_from([200, 201, 204, 206, 299, 304, 404, 500, 503]),
    extra=fields,
    body_kind=st.sampled_from(["none", "length", "chunked"]),
    chunks=chunk_lists,
    trailers=fields,
    declare=st.booleans(),
    te_trailers=st.booleans(),
    keep_alive=st.booleans(),
    http10=st.booleans(),
    title=st.booleans(),
    one_shot=st.booleans(),
)
def test_responses_read_back_by_peers(
    method, status, extra, body_kind, chunks, trailers, declare, te_trailers, keep_alive, http10, title, one_shot
):
    server = H1Codec(title_case_headers=title, date_header=False)
    te = b"TE: trailers\r\n" if te_trailers else b""
    version = b"1.0" if http10 else b"1.1"
    server.receive_request_head(method.encode() + b" / HTTP/" + version + b"\r\nHost: example\r\n" + te + b"\r\n")
    user = list(extra)
    declared = sorted({n.lower() for n, _ in trailers[: len(trailers) // 2 + 1]}) if declare else []
    if body_kind == "chunked" and declared:
        user.append(("Trailer", ", ".join(declared).encode()))
    body = b"".join(chunks)
    head = server.serialize_response(
        status,
        header_map(user),
        keep_alive=keep_alive,
        http10=http10,
        content_length=len(body) if body_kind == "length" else None,
        chunked=body_kind == "chunked",
    )
    wire = encode_body(server, head, chunks, trailers if body_kind == "chunked" else (), one_shot)

    bodyless = method == "HEAD" or status in (204, 304)
    close_delimited = body_kind == "chunked" and http10 and not bodyless
    chunked = body_kind == "chunked" and not http10 and not bodyless
    expected = [(n, v) for n, v in header_map(user).items() if n != "trailer" or chunked]
    if http10 and keep_alive:
        expected.append(("connection", b"keep-alive"))
    elif not http10 and not keep_alive:
        expected.append(("connection", b"close"))
    if chunked:
        expected.append(("transfer-encoding", b"chunked"))
    elif body_kind == "length" and body and status not in (204, 304):
        expected.append(("content-length", str(len(body)).encode()))
    elif body_kind != "chunked" and not bodyless:
        expected.append(("content-length", b"0"))
    sent = b"" if bodyless or body_kind == "none" else body
    sent_trailers = kept_trailers(trailers, declared) if chunked and te_trailers else []
    assert server.response_close_delimited == close_delimited
    assert server.response_is_last == (not keep_alive)

    resp, got_body, got_trailers = h11_read_response(method, wire, close_delimited)
    assert resp.status_code == status and resp.http_version == version
    assert lower(resp.headers) == expected
    assert got_body == sent and got_trailers == sent_trailers

    if method == "HEAD":
        return  # httptools cannot be told the request method
    parser, rec = httptools_read(httptools.HttpResponseParser, wire)
    assert parser.get_status_code() == status
    assert rec.headers == expected and b"".join(rec.body) == sent
    if not close_delimited:
        assert rec.complete and rec.trailers == sent_trailers


def test_exact_heads_for_peers():
    """Fixed cases: the default date line, title-cased names, an extension
    status, the one-shot form and an upgrade, as h11 reads them."""
    before = http_date()
    server = H1Codec(title_case_headers=True)
    server.receive_request_head(b"GET / HTTP/1.1\r\nHost: a\r\nTE: trailers\r\n\r\n")
    head = server.serialize_response(299, HeaderMap([("trailer", "x-sum")]), chunked=True)
    assert head.startswith(b"HTTP/1.1 299 <none>\r\nTrailer: x-sum\r\nTransfer-Encoding: chunked\r\nDate: ")
    wire = server.serialize_head_and_body(head, b"x" * 26, HeaderMap([("x-sum", "7"), ("x-no", "1")]))
    assert wire == head + b"1A\r\n" + b"x" * 26 + b"\r\n0\r\nX-Sum: 7\r\n\r\n"
    resp, body, trailers = h11_read_response("GET", wire, False)
    date = dict(lower(resp.headers))["date"]
    assert date in (before, http_date()) and resp.reason == b"<none>"
    assert body == b"x" * 26 and trailers == [("x-sum", b"7")]

    client = H1Codec()
    head = client.serialize_request("OPTIONS", "*", HeaderMap([("host", "a")]))
    req, body, _, _ = h11_read_request(head)
    assert req.target == b"*" and body == b""
    head = client.serialize_request("CONNECT", "example.com:443", HeaderMap([("host", "example.com:443")]))
    req, body, _, _ = h11_read_request(head)
    assert req.method == b"CONNECT" and req.target == b"example.com:443" and body == b""
