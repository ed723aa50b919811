"""H1BodyDecoder against h11: bodies h11 encodes, and hand-made RFC 9112 chunked
framings, decode to the same data, trailers and leftover as h11's own decoder."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velmora._velmora import H1BodyDecoder, H1BodyError

h11 = pytest.importorskip("h11")

HEAD = b"POST / HTTP/1.1\r\nHost: example\r\n"


def h11_encode(chunks, trailers=(), length=None):
    """The body bytes h11 writes for a request carrying `chunks`."""
    framing = [("Content-Length", str(length))] if length is not None else [("Transfer-Encoding", "chunked")]
    conn = h11.Connection(h11.CLIENT)
    conn.send(h11.Request(method="POST", target="/", headers=[("Host", "example"), *framing]))
    out = [conn.send(h11.Data(data=c)) or b"" for c in chunks]
    out.append(conn.send(h11.EndOfMessage(headers=list(trailers))) or b"")
    return b"".join(out)


def h11_decode(body, framing=b"Transfer-Encoding: chunked\r\n"):
    """(data, trailers, leftover) as h11 decodes `body`, or None when it rejects it."""
    conn = h11.Connection(h11.SERVER)
    conn.receive_data(HEAD + framing + b"\r\n" + body)
    data = []
    try:
        while True:
            ev = conn.next_event()
            assert ev is not h11.NEED_DATA, "incomplete test body"
            if isinstance(ev, h11.Data):
                data.append(bytes(ev.data))
            elif isinstance(ev, h11.EndOfMessage):
                # A HeaderMap keeps the values of one name together, at the name's first appearance.
                order = {}
                for n, v in ev.headers:
                    order.setdefault(n.decode(), []).append(bytes(v))
                trailers = [(n, v) for n, vs in order.items() for v in vs]
                return b"".join(data), trailers, len(conn.trailing_data[0])
    except h11.RemoteProtocolError:
        return None


def decode(body, cuts=(), kind="chunked", length=0):
    """(data, trailers, leftover) as H1BodyDecoder decodes `body` fed in pieces cut
    at `cuts`, or None when it raises H1BodyError."""
    d = H1BodyDecoder(kind, length)
    data, pos = [], 0
    try:
        for c in sorted(set(cuts)) + [len(body)]:
            d.feed(body[pos:c])
            pos = c
            while (piece := d.decode()) is not None:
                assert piece
                data.append(piece)
        d.mark_eof()
        assert d.decode() is None
    except H1BodyError:
        return None
    assert d.is_complete
    trailers, leftover = d.finish()
    return b"".join(data), (trailers.items() if trailers is not None else []), leftover


field_value = st.binary(min_size=1, max_size=30).filter(
    lambda b: all(c == 0x09 or 0x20 <= c <= 0x7E for c in b) and b.strip(b" \t") == b
)
trailer_fields = st.lists(
    st.tuples(st.from_regex(r"[A-Za-z][A-Za-z0-9-]{0,12}", fullmatch=True), field_value), max_size=6
).filter(lambda ts: all(n.lower() not in ("content-length", "transfer-encoding") for n, _ in ts))


@settings(max_examples=200, deadline=None)
@given(
    chunks=st.lists(st.binary(max_size=600), max_size=8),
    trailers=trailer_fields,
    leftover=st.sampled_from([b"", b"GET / HTTP/1.1\r\n\r\n", b"\r\n0\r\n\r\n"]),
    cuts=st.lists(st.integers(0, 6000), max_size=12),
)
def test_h11_chunked_bodies(chunks, trailers, leftover, cuts):
    body = h11_encode(chunks, trailers) + leftover
    expected = h11_decode(body)
    assert expected is not None
    assert expected[0] == b"".join(chunks)
    assert decode(body, [c % (len(body) + 1) for c in cuts]) == expected


@settings(max_examples=100, deadline=None)
@given(
    chunks=st.lists(st.binary(max_size=3000), max_size=6),
    leftover=st.binary(max_size=40),
    cuts=st.lists(st.integers(0, 20000), max_size=12),
)
def test_h11_length_bodies(chunks, leftover, cuts):
    n = sum(map(len, chunks))
    body = h11_encode(chunks, length=n) + leftover
    expected = h11_decode(body, b"Content-Length: %d\r\n" % n)
    assert expected == (b"".join(chunks), [], len(leftover))
    assert decode(body, [c % (len(body) + 1) for c in cuts], "length", n) == expected


# RFC 9112 section 7.1: sizes in either case with leading zeros, extensions with
# tokens, quoted strings and optional whitespace, extensions on the last chunk,
# chunk data that looks like framing, trailer fields (repeated names, empty and
# padded values), and the bytes of a following message.
ACCEPTED = [
    b"5\r\nhello\r\n0\r\n\r\n",
    b"0\r\n\r\n",
    b"00000a\r\n0123456789\r\nA\r\n0123456789\r\nf\r\n" + b"x" * 15 + b"\r\n0\r\n\r\n",
    b"5;name\r\nhello\r\n0\r\n\r\n",
    b"5;name=token\r\nhello\r\n0\r\n\r\n",
    b'5;name="quoted; \\"string\\""\r\nhello\r\n0\r\n\r\n',
    b"5; a = b ;c\r\nhello\r\n0;last=chunk\r\n\r\n",
    b"5 \r\nhello\r\n0\t\r\n\r\n",
    b"7\r\n0\r\n\r\n\r\n\r\n2\r\n\r\n\r\n0\r\n\r\n",
    b"3\r\n\x00\xff\n\r\n0\r\n\r\n",
    b"0\r\nExpires: never\r\n\r\n",
    b"0\r\nx-sum: 1\r\nx-other: 3\r\nX-Sum: 2\r\nx-empty:\r\nx-pad: \t v a l \t\r\nx-obs: \x80\xff\r\n\r\n",
    b"4\r\nbody\r\n0\r\nx: y\r\n\r\nGET /next HTTP/1.1\r\n\r\n",
    b"4\r\nbody\r\n0\r\n\r\n0\r\n\r\n",
]

REJECTED = [
    b"\r\nhello\r\n0\r\n\r\n",  # no size
    b"0x5\r\nhello\r\n0\r\n\r\n",
    b"-5\r\nhello\r\n0\r\n\r\n",
    b"5\nhello\r\n0\r\n\r\n",  # size line ended by a bare LF
    b"5\r\nhelloX\r\n0\r\n\r\n",  # data longer than its size
    b"5\r\nhello\n0\r\n\r\n",
    b"5\r\nhello\r\r\n0\r\n\r\n",
    b"0\r\n x: y\r\n\r\n",  # obsolete line folding
    b"0\r\nx : y\r\n\r\n",  # space before the colon
    b"0\r\nx: a\x00b\r\n\r\n",
    b"0\r\n: y\r\n\r\n",
]


@pytest.mark.parametrize("body", ACCEPTED)
def test_rfc9112_framings_agree(body):
    expected = h11_decode(body)
    assert expected is not None
    for cuts in ([], list(range(len(body)))):  # whole, and byte by byte
        assert decode(body, cuts) == expected


@pytest.mark.parametrize("body", REJECTED)
def test_rfc9112_violations_rejected_by_both(body):
    assert h11_decode(body) is None
    assert decode(body) is None
    assert decode(body, range(len(body))) is None


def test_whitespace_before_extension_is_accepted():
    # RFC 9112 allows BWS before ";" in a chunk extension; h11 refuses it, we follow the RFC.
    assert decode(b"5 ;a=b\r\nhello\r\n0 ; z\r\n\r\n") == (b"hello", [], 0)
