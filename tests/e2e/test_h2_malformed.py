"""Malformed request heads on a raw socket against the example server.

Each request below breaks a rule of HTTP/2's control data or field syntax.
The server must reset that stream with PROTOCOL_ERROR and go on serving the
connection: the next request on it is answered as usual.

The blocks use literal fields without indexing, so they leave both HPACK
tables as they were and the connection's own encoder stays in step.
"""

import pytest
from h2raw import END_HEADERS, END_STREAM, HEADERS, RST_STREAM, H2Raw, frame

PROTOCOL_ERROR = 1
HELLO = (200, b"hello from velmora\n")


def literal(name, value):
    name, value = name.encode(), value.encode()
    return b"\x00" + bytes([len(name)]) + name + bytes([len(value)]) + value


def block(*fields):
    return b"".join(literal(n, v) for n, v in fields)


M, S, A, P = (":method", "GET"), (":scheme", "http"), (":authority", "127.0.0.1"), (":path", "/")

MALFORMED = [
    pytest.param((S, A, P), id="no-method"),
    pytest.param((M, A, P), id="no-scheme"),
    pytest.param((M, S, A), id="no-path"),
    pytest.param((M, S, A, (":path", "")), id="empty-path"),
    pytest.param((M, S, A, P, (":status", "200")), id="status"),
    pytest.param((M, S, A, P, (":protocol", "websocket")), id="protocol"),
    pytest.param(((":method", "CONNECT"),), id="connect-no-authority"),
    pytest.param(((":method", "CONNECT"), S, A), id="connect-scheme"),
    pytest.param(((":method", "CONNECT"), A, P), id="connect-path"),
    pytest.param((M, S, A, P, ("x-a", " lead")), id="value-leading-space"),
    pytest.param((M, S, A, P, ("x-a", "trail\t")), id="value-trailing-tab"),
    pytest.param((M, S, A, P, ("x-a", "\tlead")), id="value-leading-tab"),
    pytest.param((M, S, A, P, ("x-a", "trail ")), id="value-trailing-space"),
    pytest.param((M, S, A, (":path", "/ ")), id="path-trailing-space"),
    pytest.param((M, S, (":authority", "\t127.0.0.1"), P), id="authority-leading-tab"),
]


@pytest.mark.parametrize("fields", MALFORMED)
def test_malformed_request_is_reset_and_the_connection_serves_on(server, fields):
    c = H2Raw(server.port)
    try:
        c.handshake()
        sid = c.new_sid()
        c.send(frame(HEADERS, END_HEADERS | END_STREAM, sid, block(*fields)))
        got = c.frames_until(lambda f: f.sid == sid)
        assert got and got[-1].kind == RST_STREAM, got
        assert got[-1].error_code == PROTOCOL_ERROR
        assert c.get("/") == HELLO
    finally:
        c.close()


def test_a_refused_id_counts_as_used(server):
    # A request on a lower id than the refused one is a connection error.
    c = H2Raw(server.port)
    try:
        c.handshake()
        c.send(frame(HEADERS, END_HEADERS | END_STREAM, 5, block(M, S, A, P, ("x-a", "v "))))
        got = c.frames_until(lambda f: f.sid == 5)
        assert got and got[-1].kind == RST_STREAM, got
        c.send(c.headers(3, "/"))
        assert c.goaway() == PROTOCOL_ERROR
    finally:
        c.close()


def test_trailers_with_a_pseudo_header_are_reset(server):
    c = H2Raw(server.port)
    try:
        c.handshake()
        sid = c.new_sid()
        c.send(c.headers(sid, "/echo", method="POST", end_stream=False))
        c.send(frame(HEADERS, END_HEADERS | END_STREAM, sid, block(P, ("x-t", "1"))))
        got = c.frames_until(lambda f: f.sid == sid and f.kind == RST_STREAM)
        assert got and got[-1].kind == RST_STREAM and got[-1].error_code == PROTOCOL_ERROR, got
        assert c.get("/") == HELLO
    finally:
        c.close()
