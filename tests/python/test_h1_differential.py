"""Differential checks of HTTP/1 head parsing against h11 (and httptools for
keep-alive): generated request and response heads must get the same verdict
(accept or reject), method, target, headers, body framing and keep-alive
from both sides, except where velmora deliberately differs.

Deliberate differences. A generated head carrying one of these features is
only compared on what the feature does not touch; DIFFERENCES below shows
each on one example, so that a row cannot go stale.

| feature         | velmora                                        | h11                                  |
|-----------------|------------------------------------------------|--------------------------------------|
| leading_blank   | empty lines before the start line are skipped  | rejects                              |
| version_other   | only HTTP/1.0 and HTTP/1.1                     | any HTTP/d.d                         |
| ctl_value       | control bytes and DEL in a value: reject       | accepts                              |
| fold            | obsolete line folding: reject                  | joins the lines                      |
| cl_list         | request Content-Length "5, 5": reject          | one length                           |
| cl_huge         | lengths past 2**64 - 3: reject                 | accepts                              |
| cl_te           | request with both: chunked, keep-alive off     | chunked, keep-alive unchanged        |
| te_list         | codings ending in chunked are chunked; a       | only "chunked"                       |
|                 | response with another last coding is           |                                      |
|                 | close-delimited                                |                                      |
| te_multi        | the last Transfer-Encoding line decides        | rejects                              |
| te_10           | Transfer-Encoding on HTTP/1.0: reject          | accepts                              |
| keep_alive_10   | HTTP/1.0 honours Connection: keep-alive        | never keeps an HTTP/1.0 connection   |
| conn_reopen     | Connection lines apply in order, a later       | any "close" closes                   |
|                 | keep-alive reopens                             |                                      |
| host            | Host is not checked (missing or repeated)      | HTTP/1.1 needs exactly one           |
| target_form     | the target must parse as a URI; a fragment is  | any visible bytes, kept as sent      |
|                 | refused, absolute forms are canonicalised      |                                      |
| connect_body    | CONNECT with Content-Length or                 | reads a body                         |
|                 | Transfer-Encoding: reject                      |                                      |
| connect_2xx     | a 2xx to CONNECT is a tunnel: keep-alive false | keep-alive unchanged                 |
| bodyless_framing| 204, 304, a response to HEAD and a CONNECT     | validates them like any response     |
|                 | tunnel ignore Content-Length and               |                                      |
|                 | Transfer-Encoding                              |                                      |
"""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

h11 = pytest.importorskip("h11")
httptools = pytest.importorskip("httptools")
from h11._connection import _body_framing, _keep_alive  # noqa: E402

from velmora._velmora import H1Codec, H1ParseError  # noqa: E402

# ---- the two sides ------------------------------------------------------------


def _velmora_request(data):
    try:
        h = H1Codec().receive_request_head(data)
    except H1ParseError:
        return None
    assert h is not None, "a generated head is always complete"
    framing = {"empty": ("content-length", 0), "length": ("content-length", h.content_length)}.get(
        h.body_kind, (h.body_kind, None)
    )
    return h.method, h.target, _group(h.headers.items()), framing, h.keep_alive


def _velmora_response(data, method):
    c = H1Codec()
    c.serialize_request(method, "/", None)
    try:
        h = c.receive_head(data)
    except H1ParseError:
        return None
    assert h is not None
    framing = {
        "empty": ("content-length", 0),
        "length": ("content-length", h.content_length),
        "close": ("http/1.0", None),
    }.get(h.body_kind, (h.body_kind, None))
    return h.status, _group(h.headers.items()), framing, h.keep_alive


def _h11_framing(method, event):
    kind, args = _body_framing(method, event)
    return kind, (args[0] if args else None)


def _h11_request(data):
    conn = h11.Connection(h11.SERVER)
    conn.receive_data(data)
    try:
        ev = conn.next_event()
    except h11.RemoteProtocolError:
        return None
    assert isinstance(ev, h11.Request)
    items = [(n.decode(), v) for n, v in ev.headers]
    return ev.method.decode(), ev.target.decode(), _group(items), _h11_framing(ev.method, ev), _keep_alive(ev)


def _h11_response(data, method):
    conn = h11.Connection(h11.CLIENT)
    conn.send(h11.Request(method=method, target="/", headers=[("Host", "a")]))
    conn.receive_data(data)
    try:
        ev = conn.next_event()
        while isinstance(ev, h11.InformationalResponse):
            ev = conn.next_event()
    except h11.RemoteProtocolError:
        return None
    assert isinstance(ev, h11.Response)
    items = [(n.decode(), v) for n, v in ev.headers]
    return ev.status_code, _group(items), _h11_framing(method.encode(), ev), _keep_alive(ev)


def _group(items):
    """Values per name in order; framing lines are compared through framing."""
    out = {}
    for n, v in items:
        if n not in ("content-length", "transfer-encoding"):
            out.setdefault(n, []).append(v)
    return out


DELIBERATE = {
    "leading_blank", "version_other", "ctl_value", "fold", "cl_list", "cl_huge", "cl_te", "te_list", "te_multi",
    "te_10", "keep_alive_10", "conn_reopen", "host", "target_form", "connect_body", "connect_2xx", "bodyless_framing",
}

# ---- generated heads ----------------------------------------------------------

_EOL = st.sampled_from([b"\r\n", b"\r\n", b"\n"])


def _mostly(common, rare):
    """Mostly one of `common`, now and then one of `rare` (shrinking goes to `common`)."""
    return st.integers(0, 15).flatmap(lambda k: st.sampled_from(rare if k == 9 else common))

# (value, features)
_CONTENT_LENGTH = [
    (b"0", ()), (b"5", ()), (b"18", ()), (b"007", ()), (b"abc", ()), (b"-1", ()), (b"+5", ()), (b"", ()), (b"5,6", ()),
]
_CONTENT_LENGTH_RARE = [(b"5, 5", ("cl_list",)), (b"99999999999999999999999", ("cl_huge",))]
_TRANSFER_ENCODING = [(b"chunked", ()), (b"Chunked", ()), (b" chunked ", ()), (b"identity", ()), (b"gzip", ())]
_TRANSFER_ENCODING_RARE = [(b"gzip, chunked", ("te_list",)), (b"chunked, gzip", ("te_list",))]
_CONNECTION = [(b"close", ()), (b"keep-alive", ()), (b"Keep-Alive", ()), (b"upgrade", ()), (b"close, te", ())]
_OTHER = [
    (b"X-A", b"plain"), (b"x_b", b"  padded \t"), (b"X-C", b""), (b"x-d", "é".encode()), (b"X-E", b"tab\tinside"),
    (b"Accept", b"*/*"), (b"Expect", b"100-continue"), (b"TE", b"trailers"), (b"Bad Name", b"x"), (b"X-F ", b"x"),
    (b"X-I", b"a\x80\xffb"), (b"X-J", b"a\rb"), (b"!#$%&'*+-.^_`|~09", b"v"),
]
_OTHER_RARE = [(b"X-G", b"a\x01b"), (b"X-H", b"a\x7fb")]


@st.composite
def _header_lines(draw, request):
    """A list of (line bytes, features) and the Connection values in order."""
    lines, conns = [], []
    for _ in range(draw(st.integers(0, 4))):
        kind = draw(_mostly(["cl", "te", "conn", "conn", "other", "other", "other"], ["fold"]))
        eol = draw(_EOL)
        feats = ()
        if kind == "cl":
            value, feats = draw(_mostly(_CONTENT_LENGTH, _CONTENT_LENGTH_RARE))
            line = b"Content-Length: " + value
            if not request:  # responses take comma lists by design
                feats = tuple(f for f in feats if f != "cl_list")
        elif kind == "te":
            value, feats = draw(_mostly(_TRANSFER_ENCODING, _TRANSFER_ENCODING_RARE))
            line = b"Transfer-Encoding: " + value
            feats += ("te",)
        elif kind == "conn":
            value, feats = draw(st.sampled_from(_CONNECTION))
            line = b"Connection: " + value
            conns.append(value.lower())
        elif kind == "other":
            name, value = draw(_mostly(_OTHER, _OTHER_RARE))
            line = name + b": " + value
            if b"\x01" in value or b"\x7f" in value:
                feats = ("ctl_value",)
        else:
            if not lines:
                continue
            line, feats = b" folded", ("fold",)
        lines.append((line + eol, feats))
    return lines, conns


def _common_features(lines, conns, http11):
    feats = set()
    for _, f in lines:
        feats.update(f)
    text = b"".join(line for line, _ in lines).lower()
    has_cl = b"\ncontent-length:" in b"\n" + text
    te_count = sum(1 for line, _ in lines if line.lower().startswith(b"transfer-encoding:"))
    if te_count > 1:
        feats.add("te_multi")
    if te_count and not http11:
        feats.add("te_10")
    if te_count and has_cl:
        feats.add("cl_te")
    tokens = [{t.strip() for t in c.split(b",")} for c in conns]
    closes = [k for k, t in enumerate(tokens) if b"close" in t]
    if closes and any(b"keep-alive" in t for t in tokens[closes[0] + 1 :]):
        feats.add("conn_reopen")
    if not http11 and any(b"keep-alive" in c for c in conns):
        feats.add("keep_alive_10")
    return feats


@st.composite
def request_heads(draw):
    feats = set()
    head = b""
    if draw(st.integers(0, 19)) == 0:
        head += b"\r\n"
        feats.add("leading_blank")
    method = draw(st.sampled_from([b"GET", b"POST", b"PUT", b"HEAD", b"OPTIONS", b"QUERY", b"PURGE", b"get", b"G@T"]))
    target = draw(_mostly([b"/", b"/a/b?x=1&y", b"/%20x", b"/~u;p", b"*", b"/\x7f", b"/a b"], [b"/a#f", b"foo"]))
    if target in (b"/a#f", b"foo"):
        feats.add("target_form")
    version = draw(_mostly([b"HTTP/1.1", b"HTTP/1.1", b"HTTP/1.0", b"http/1.1", b"HTTP/1.1 "], [b"HTTP/1.2", b"HTTP/2.0"]))
    if version in (b"HTTP/1.2", b"HTTP/2.0"):
        feats.add("version_other")
    http11 = version != b"HTTP/1.0"
    sep = draw(st.sampled_from([b" "] * 7 + [b"  "]))
    head += method + sep + target + b" " + version + draw(_EOL)
    lines, conns = draw(_header_lines(True))
    hosts = draw(_mostly([1], [0, 2]))
    if hosts != 1:
        feats.add("host")
    host_lines = [(b"Host: example.com\r\n", ())] * hosts
    lines = host_lines + lines
    feats |= _common_features(lines, conns, http11)
    head += b"".join(line for line, _ in lines) + draw(_EOL)
    return head, feats


@st.composite
def response_heads(draw):
    feats = set()
    method = draw(st.sampled_from(["GET", "GET", "POST", "HEAD", "CONNECT"]))
    version = draw(_mostly([b"HTTP/1.1", b"HTTP/1.1", b"HTTP/1.0", b"HTTP/1.1 "], [b"HTTP/1.2"]))
    if version == b"HTTP/1.2":
        feats.add("version_other")
    http11 = version != b"HTTP/1.0"
    status = draw(st.sampled_from([200, 200, 201, 204, 206, 301, 304, 404, 500, 599, 99]))
    if method == "CONNECT" and 200 <= status < 300:
        feats.add("connect_2xx")
    reason = draw(st.sampled_from([b" OK", b" Not Found", b"", b" ", b" a\x80b"]))
    head = b""
    if draw(st.integers(0, 5)) == 0:
        head += b"HTTP/1.1 100 Continue\r\n\r\n"
    head += version + b" " + b"%03d" % status + reason + draw(_EOL)
    lines, conns = draw(_header_lines(False))
    feats |= _common_features(lines, conns, http11)
    framing = [line.split(b":", 1)[1].strip().lower() for line, _ in lines
               if line.lower().startswith((b"transfer-encoding:", b"content-length:"))]
    if status in (204, 304) or method == "HEAD" or "connect_2xx" in feats:
        if framing:
            feats.add("bodyless_framing")
    elif "te" in feats and any(v != b"chunked" for v in framing if not v.isdigit()):
        feats.add("te_list")
    head += b"".join(line for line, _ in lines) + draw(_EOL)
    return head, method, feats


@settings(max_examples=1500, deadline=None)
@given(request_heads())
def test_request_heads_match_h11(case):
    data, feats = case
    ours, theirs = _velmora_request(data), _h11_request(data)
    if feats & DELIBERATE:
        return
    assert (ours is None) == (theirs is None), (data, ours, theirs)
    assert ours == theirs, data


@settings(max_examples=1500, deadline=None)
@given(response_heads())
def test_response_heads_match_h11(case):
    data, method, feats = case
    ours, theirs = _velmora_response(data, method), _h11_response(data, method)
    if feats & DELIBERATE:
        return
    assert (ours is None) == (theirs is None), (data, ours, theirs)
    assert ours == theirs, data


class _Sink:
    # llhttp starts over after a complete message, so the verdict is read
    # while the head is still current.
    parser = None
    keep_alive = None

    def on_headers_complete(self):
        self.keep_alive = self.parser.should_keep_alive()


def _httptools_keep_alive(data):
    sink = _Sink()
    sink.parser = httptools.HttpRequestParser(sink)
    try:
        sink.parser.feed_data(data)
    except httptools.HttpParserError:
        return None
    return sink.keep_alive


@settings(max_examples=500, deadline=None)
@given(request_heads())
def test_request_keep_alive_matches_httptools(case):
    """httptools (llhttp) keeps HTTP/1.0 connections that ask for it, as
    velmora does; compared on heads both accept."""
    data, feats = case
    if feats & (DELIBERATE - {"keep_alive_10"}) or b"\n\n" in data.replace(b"\r\n", b"\r"):
        return
    ours, theirs = _velmora_request(data), _httptools_keep_alive(data)
    if ours is not None and theirs is not None:
        assert ours[4] == theirs, data


_H = b"Host: a\r\n"
# feature: (head, request method for a response or None for a request, velmora's outcome)
DIFFERENCES = {
    "leading_blank": (b"\r\nGET / HTTP/1.1\r\n" + _H + b"\r\n", None, ("GET", "/", {"host": [b"a"]}, ("content-length", 0), True)),
    "version_other": (b"GET / HTTP/1.2\r\n" + _H + b"\r\n", None, None),
    "ctl_value": (b"GET / HTTP/1.1\r\n" + _H + b"X: a\x01b\r\n\r\n", None, None),
    "fold": (b"GET / HTTP/1.1\r\n" + _H + b"X: a\r\n b\r\n\r\n", None, None),
    "cl_list": (b"POST / HTTP/1.1\r\n" + _H + b"Content-Length: 5, 5\r\n\r\n", None, None),
    "cl_huge": (b"POST / HTTP/1.1\r\n" + _H + b"Content-Length: 18446744073709551614\r\n\r\n", None, None),
    "cl_te": (
        b"POST / HTTP/1.1\r\n" + _H + b"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n",
        None,
        ("POST", "/", {"host": [b"a"]}, ("chunked", None), False),
    ),
    "te_list": (
        b"POST / HTTP/1.1\r\n" + _H + b"Transfer-Encoding: gzip, chunked\r\n\r\n",
        None,
        ("POST", "/", {"host": [b"a"]}, ("chunked", None), True),
    ),
    "te_list (response)": (
        b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, gzip\r\n\r\n", "GET", (200, {}, ("http/1.0", None), True)
    ),
    "te_multi": (
        b"POST / HTTP/1.1\r\n" + _H + b"Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n",
        None,
        ("POST", "/", {"host": [b"a"]}, ("chunked", None), True),
    ),
    "te_10": (b"POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n", None, None),
    "keep_alive_10": (
        b"GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n",
        None,
        ("GET", "/", {"connection": [b"keep-alive"]}, ("content-length", 0), True),
    ),
    "conn_reopen": (
        b"GET / HTTP/1.1\r\n" + _H + b"Connection: close\r\nConnection: keep-alive\r\n\r\n",
        None,
        ("GET", "/", {"host": [b"a"], "connection": [b"close", b"keep-alive"]}, ("content-length", 0), True),
    ),
    "host": (b"GET / HTTP/1.1\r\n\r\n", None, ("GET", "/", {}, ("content-length", 0), True)),
    "target_form": (b"GET /a#f HTTP/1.1\r\n" + _H + b"\r\n", None, None),
    "connect_body": (b"CONNECT a:443 HTTP/1.1\r\n" + _H + b"Content-Length: 5\r\n\r\nhello", None, None),
    "connect_2xx": (b"HTTP/1.1 200 OK\r\n\r\n", "CONNECT", (200, {}, ("content-length", 0), False)),
    "bodyless_framing": (b"HTTP/1.1 204 No\r\nContent-Length: x\r\n\r\n", "GET", (204, {}, ("content-length", 0), True)),
}


@pytest.mark.parametrize("feature", sorted(DIFFERENCES))
def test_deliberate_differences(feature):
    data, method, expected = DIFFERENCES[feature]
    if method is None:
        ours, theirs = _velmora_request(data), _h11_request(data)
    else:
        ours, theirs = _velmora_response(data, method), _h11_response(data, method)
    assert ours == expected
    assert theirs != ours


def test_httptools_reads_keep_alive_of_the_current_head():
    assert _httptools_keep_alive(b"GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n") is True
    assert _httptools_keep_alive(b"GET / HTTP/1.1\r\nConnection: close\r\n\r\n") is False
