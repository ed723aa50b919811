"""H1BodyDecoder: the Python surface, framing errors and chunked round trips."""

import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velmora import _velmora as v
from velmora._velmora import H1BodyDecoder, H1BodyError, HeaderMap

PREFIX = "error reading a body from connection: "


def drain(d):
    out = []
    while (chunk := d.decode()) is not None:
        out.append(chunk)
    return out


def body_error(data, eof=True):
    d = H1BodyDecoder("chunked")
    d.feed(data)
    if eof:
        d.mark_eof()
    with pytest.raises(H1BodyError) as info:
        drain(d)
    return info.value.args


def test_class_surface():
    assert H1BodyDecoder.__module__ == "velmora._velmora"
    assert H1BodyDecoder.__qualname__ == "H1BodyDecoder"
    assert H1BodyDecoder.__text_signature__ == "(kind, length=0)"
    for name, sig in [("feed", "($self, data)"), ("mark_eof", "($self, /)"), ("decode", "($self, /)"),
                      ("take_trailers", "($self, /)"), ("finish", "($self, /)")]:
        assert getattr(H1BodyDecoder, name).__text_signature__ == sig
    assert v.H1BodyDecoder is H1BodyDecoder
    d = H1BodyDecoder("chunked")
    with pytest.raises(AttributeError):
        d.is_complete = True
    with pytest.raises(AttributeError):
        d.anything = 1


def test_argument_errors_change_nothing():
    with pytest.raises(TypeError, match="kind"):
        H1BodyDecoder(b"chunked")
    with pytest.raises(TypeError):
        H1BodyDecoder()
    with pytest.raises(OverflowError):
        H1BodyDecoder("length", -1)
    with pytest.raises(OverflowError):
        H1BodyDecoder("length", 2**64)
    with pytest.raises(TypeError, match="length"):
        H1BodyDecoder("length", "5")
    assert H1BodyDecoder(kind="length", length=3).is_complete is False
    d = H1BodyDecoder("length", 3)
    for bad in ("abc", bytearray(b"abc"), memoryview(b"abc"), None):
        with pytest.raises(TypeError, match="data"):
            d.feed(bad)
    assert d.buffered == 0
    d.feed(b"abc")
    assert d.decode() == b"abc" and d.is_complete


def test_length_body_and_leftover():
    d = H1BodyDecoder("length", 5)
    assert d.feed(b"hello world") is None
    assert d.decode() == b"hello"
    assert d.is_complete and d.buffered == 6
    assert d.decode() is None
    d.feed(b"!")  # still accepted after completion
    assert d.finish() == (None, 7)


def test_length_truncated():
    d = H1BodyDecoder("length", 5)
    d.feed(b"hel")
    assert d.decode() == b"hel"
    assert d.decode() is None
    assert d.mark_eof() is None
    with pytest.raises(H1BodyError) as info:
        d.decode()
    assert info.value.args == ("unexpected_eof", PREFIX + "end of file before message length reached")
    assert isinstance(info.value, v.H1Error) and isinstance(info.value, v.VelmoraError)
    assert not d.is_complete


def test_empty_kinds_complete_at_once():
    for d in (H1BodyDecoder("empty"), H1BodyDecoder("length", 0), H1BodyDecoder("nonsense", 9)):
        assert d.is_complete and d.decode() is None and d.finish() == (None, 0)


def test_close_delimited_pieces():
    d = H1BodyDecoder("close")
    d.feed(b"x" * 20000)
    assert [len(c) for c in drain(d)] == [8192, 8192, 3616]
    assert not d.is_complete
    d.mark_eof()
    assert d.decode() is None and d.is_complete


def test_chunked_bodies_and_trailers():
    d = H1BodyDecoder("chunked")
    d.feed(b"5\r\nhello\r\n0\r\n\r\n")
    assert d.decode() == b"hello"
    assert d.decode() is None and d.is_complete
    assert d.take_trailers() is None

    d = H1BodyDecoder("chunked")
    d.feed(b"5;name=value\r\nhello\r\n0\r\nx-checksum: abc\r\nX-Multi: 1\r\nx-multi: 2\r\n\r\nNEXT")
    assert drain(d) == [b"hello"]
    trailers, leftover = d.finish()
    assert isinstance(trailers, HeaderMap)
    assert trailers.items() == [("x-checksum", b"abc"), ("x-multi", b"1"), ("x-multi", b"2")]
    assert leftover == 4
    assert d.take_trailers() is None  # taken once


@pytest.mark.parametrize(
    "data, io_kind, text",
    [
        # One case per error family; the full grammar is covered by the C++ tests.
        (b"5 6\r\n", "invalid_input", "Invalid chunk size linear white space"),
        (b"10000000000000000\r\n", "invalid_data", "invalid chunk size: overflow"),
        (b"0\r\n: y\r\n\r\n", "invalid_input", "invalid header name"),
        (b"0\r\n" + b"t: v\r\n" * 101 + b"\r\n", "invalid_data", "chunk trailers count overflow"),
        (b"5\r\nhel", "unexpected_eof", "end of file before message length reached"),
        (b"5\r\nhello\r\n0", "unexpected_eof", "unexpected EOF during chunk size line"),
    ],
)
def test_chunked_errors(data, io_kind, text):
    assert body_error(data) == (io_kind, PREFIX + text)


def test_chunked_size_whitespace_and_errors_are_sticky():
    d = H1BodyDecoder("chunked")
    d.feed(b"5 \r\nhello\r\n0\r\n\r\n")
    assert drain(d) == [b"hello"] and d.is_complete
    d = H1BodyDecoder("chunked")
    d.feed(b"Z\r\n")
    for _ in range(2):
        with pytest.raises(H1BodyError, match="missing size digit"):
            d.decode()


def chunk_encode(data, sizes, ext):
    out, pos, i = [], 0, 0
    while pos < len(data):
        n = max(1, sizes[i % len(sizes)])
        piece = data[pos:pos + n]
        out.append(b"%X%s\r\n%s\r\n" % (len(piece), ext[i % len(ext)], piece))
        pos += n
        i += 1
    return b"".join(out)


@settings(max_examples=300, deadline=None)
@given(
    data=st.binary(max_size=3000),
    sizes=st.lists(st.integers(1, 700), min_size=1, max_size=8),
    ext=st.lists(st.sampled_from([b"", b";a=b", b" ", b"\t;x", b";q=\"1\""]), min_size=1, max_size=4),
    trailers=st.lists(st.tuples(st.from_regex(r"x-[a-z]{1,8}", fullmatch=True),
                                st.binary(min_size=1, max_size=20).filter(lambda b: all(0x21 <= c < 0x7f for c in b))),
                      max_size=5),
    leftover=st.binary(max_size=50),
    cuts=st.lists(st.integers(0, 8000), max_size=30),
)
def test_chunked_round_trip_random_splits(data, sizes, ext, trailers, leftover, cuts):
    wire = chunk_encode(data, sizes, ext) + b"0\r\n"
    wire += b"".join(n.encode() + b": " + val + b"\r\n" for n, val in trailers) + b"\r\n" + leftover
    d = H1BodyDecoder("chunked")
    got, pos = [], 0
    for c in sorted(set(c % (len(wire) + 1) for c in cuts)) + [len(wire)]:
        d.feed(wire[pos:c])
        pos = c
        got += drain(d)
    assert b"".join(got) == data
    assert all(got)  # never an empty slice
    t, rest = d.finish()
    assert d.is_complete and rest == len(leftover)
    expected = HeaderMap(trailers) if trailers else None
    assert t == expected


@pytest.mark.skipif(not hasattr(v, "H1Codec"), reason="needs the codec")
def test_codec_encoder_output_decodes():
    codec = v.H1Codec(date_header=False)
    codec.serialize_request("POST", "/", HeaderMap({"trailer": "x-sum"}), chunked=True)
    wire = [codec.serialize_data(b"a" * n) for n in (1, 15, 16, 300)]
    t = HeaderMap({"x-sum": "7", "x-dropped": "1"})
    wire.append(codec.serialize_trailers(t))
    d = H1BodyDecoder("chunked")
    d.feed(b"".join(wire))
    assert b"".join(drain(d)) == b"a" * 332
    assert d.finish() == (HeaderMap({"x-sum": "7"}), 0)


def test_concurrent_feeders_and_decoder():
    # One thread decodes while others feed whole chunks: every byte arrives once.
    d = H1BodyDecoder("length", 4 * 2000 * 10)
    got = []

    def feeder():
        for _ in range(2000):
            d.feed(b"0123456789")

    threads = [threading.Thread(target=feeder) for _ in range(4)]
    for t in threads:
        t.start()
    while not d.is_complete:
        c = d.decode()
        if c is not None:
            got.append(c)
    for t in threads:
        t.join()
    body = b"".join(got)
    assert len(body) == 80000 and body == b"0123456789" * 8000


def test_fed_bytes_subclass_cannot_pin_a_cycle():
    # The decoder takes no part in garbage collection: a fed object that
    # refers back to it must not be kept, or the pair would never be freed.
    import gc

    freed = []

    class Marker:
        def __del__(self):
            freed.append(True)

    class B(bytes):
        pass

    d = H1BodyDecoder("length", 600)
    b = B(b"x" * 300)
    b.d, b.marker = d, Marker()
    d.feed(b)
    d.feed(b"y" * 300)  # exact bytes are still shared and decode the same
    del b, d
    gc.collect()
    assert freed == [True]

    d = H1BodyDecoder("length", 600)
    d.feed(B(b"x" * 300))
    d.feed(b"y" * 300)
    out = b""
    while (chunk := d.decode()) is not None:
        out += chunk
    assert out == b"x" * 300 + b"y" * 300 and d.is_complete
