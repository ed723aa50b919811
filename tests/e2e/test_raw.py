"""Raw sockets against the example server: what curl never sends."""

import signal
import socket
import time

import pytest
from conftest import HEAD_TIMEOUT, Raw, start_server


def test_pipelined_requests_answered_in_order(raw):
    c = raw()
    c.send(b"GET /delay?ms=50 HTTP/1.1\r\nHost: a\r\n\r\n"
           b"POST /echo HTTP/1.1\r\nHost: a\r\nContent-Length: 6\r\n\r\nfirst."
           b"POST /echo HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n"
           b"7\r\nsecond.\r\n0\r\n\r\n"
           b"GET /stream?chunks=2&size=6 HTTP/1.1\r\nHost: a\r\n\r\n"
           b"GET / HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n")
    out = c.read_to_eof()
    assert out.count(b"HTTP/1.1 200 OK\r\n") == 5
    # The slow first answer is not overtaken by the quick ones behind it.
    marks = [b"waited 50 ms\n", b"first.", b"second.", b"6\r\nxxxxx\n\r\n", b"hello from velmora\n"]
    positions = [out.index(m) for m in marks]
    assert positions == sorted(positions)
    assert b"connection: close\r\n" in out.rsplit(b"HTTP/1.1 200 OK", 1)[1]


def test_request_sent_during_a_response_is_served_next(raw):
    # The mid-message watcher is parked while /delay runs; its read carries the
    # next request, which must be served, not taken for a closing client.
    c = raw()
    c.send(b"GET /delay?ms=300 HTTP/1.1\r\nHost: a\r\n\r\n")
    time.sleep(0.1)
    c.send(b"POST /echo HTTP/1.1\r\nHost: a\r\nContent-Length: 11\r\n\r\nsecond one.")
    out = c.read_until(b"second one.")
    assert out.index(b"waited 300 ms\n") < out.index(b"second one.")
    c.send(b"GET / HTTP/1.1\r\nHost: a\r\n\r\n")
    assert c.read_until(b"hello from velmora\n").startswith(b"HTTP/1.1 200 OK")


def test_unread_body_is_skipped_before_the_next_request(raw):
    c = raw()
    # The 404 route never reads its body; the next request must still parse.
    c.send(b"POST /missing HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\nabcde"
           b"GET / HTTP/1.1\r\nHost: a\r\n\r\n")
    out = c.read_until(b"hello from velmora\n")
    assert out.startswith(b"HTTP/1.1 404 Not Found\r\n")


def test_malformed_heads_get_their_status_and_a_close(raw):
    for request, status in [
        (b"GET / HTTP/1.1\r\nHost: a\r\nno colon here\r\n\r\n", b"400"),
        (b"GET /\x01 HTTP/1.1\r\nHost: a\r\n\r\n", b"400"),
        (b"GET / HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", b"400"),
        (b"GET / HTTP/1.1\r\n" + b"x-a: b\r\n" * 200 + b"\r\n", b"431"),
    ]:
        c = raw()
        c.send(request)
        out = c.read_to_eof()
        assert out.startswith(b"HTTP/1.1 " + status), (request[:40], out[:80])
        assert b"connection: close\r\n" in out


def test_slow_head_is_cut_by_the_deadline(server, raw):
    mark = server.mark()
    c = raw(timeout=HEAD_TIMEOUT + 5)
    started = time.monotonic()
    c.send(b"GET / HTTP/1.1\r\nHost: a\r\n")  # and nothing more
    assert c.read_to_eof() == b""
    took = time.monotonic() - started
    assert HEAD_TIMEOUT - 0.2 < took < HEAD_TIMEOUT + 3
    server.wait_for(r"no request head within", start=mark)

    # A connection that trickles its head in slowly is cut the same way.
    c = raw(timeout=HEAD_TIMEOUT + 5)
    started = time.monotonic()
    try:
        for byte in b"GET / HTTP/1.1\r\nHost: a\r\n\r\n":
            c.send(bytes([byte]))
            time.sleep(0.15)
    except OSError:
        pass
    assert c.read_to_eof() == b""
    assert time.monotonic() - started < HEAD_TIMEOUT + 3


def test_client_closing_mid_response_is_noticed(server, raw):
    # Waiting on /delay: the mid-message watcher sees the FIN long before the pause ends.
    mark = server.mark()
    c = raw()
    c.send(b"GET /delay?ms=5000 HTTP/1.1\r\nHost: a\r\n\r\n")
    time.sleep(0.2)
    c.sock.shutdown(socket.SHUT_WR)
    started = time.monotonic()
    server.wait_for(r"GET /delay\?ms=5000: the client went away", start=mark, timeout=4)
    assert time.monotonic() - started < 2
    assert c.read_to_eof() == b""

    # A long chunked response: the reader disappears after the first bytes.
    mark = server.mark()
    c = raw()
    c.send(b"GET /stream?chunks=200000&size=1024 HTTP/1.1\r\nHost: a\r\n\r\n")
    c.read_until(b"xxxx")
    c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
    c.close()
    server.wait_for(r"GET /stream\S*: the client went away", start=mark, timeout=5)

    # The server is still healthy.
    c = raw()
    c.send(b"GET / HTTP/1.1\r\nHost: a\r\n\r\n")
    assert c.read_until(b"hello from velmora\n").startswith(b"HTTP/1.1 200 OK")


def test_upgrade_and_connect_echo_with_leftover_bytes(raw):
    c = raw()
    # The bytes after the head arrive with it: they belong to the new protocol.
    c.send(b"GET /chat HTTP/1.1\r\nHost: a\r\nConnection: upgrade\r\nUpgrade: echo\r\n\r\n"
           b"early bytes|")
    out = c.read_until(b"early bytes|")
    assert out.startswith(b"HTTP/1.1 101 Switching Protocols\r\n")
    head, _, rest = out.partition(b"\r\n\r\n")
    assert b"upgrade: echo" in head.lower()
    assert rest == b"early bytes|"
    c.send(b"GET / HTTP/1.1\r\n\r\n")  # not HTTP any more: echoed, not parsed
    assert c.read_until(b"\r\n\r\n") == b"GET / HTTP/1.1\r\n\r\n"
    c.sock.shutdown(socket.SHUT_WR)
    assert c.read_to_eof() == b""

    c = raw()
    c.send(b"CONNECT 127.0.0.1:9 HTTP/1.1\r\nHost: 127.0.0.1:9\r\n\r\ntunnelled")
    out = c.read_until(b"tunnelled")
    assert out.startswith(b"HTTP/1.1 200 OK\r\n")
    assert out.endswith(b"\r\n\r\ntunnelled")
    assert b"content-length" not in out.lower()


def test_graceful_shutdown_finishes_in_flight_responses():
    prog = start_server()
    conns = []
    try:
        busy, idle = Raw(prog.port), Raw(prog.port)
        conns += (busy, idle)
        idle.send(b"GET / HTTP/1.1\r\nHost: a\r\n\r\n")
        idle.read_until(b"hello from velmora\n")  # now parked between requests
        busy.send(b"GET /delay?ms=700 HTTP/1.1\r\nHost: a\r\n\r\n")
        time.sleep(0.2)
        prog.proc.send_signal(signal.SIGTERM)
        # The idle connection is closed at once; the request in flight gets its whole
        # answer, marked as the connection's last.
        assert idle.read_to_eof(timeout=2) == b""
        out = busy.read_to_eof(timeout=5)
        assert out.startswith(b"HTTP/1.1 200 OK\r\n") and out.endswith(b"waited 700 ms\n")
        assert b"connection: close\r\n" in out
        assert prog.proc.wait(5) == 0
        with pytest.raises(OSError):
            socket.create_connection(("127.0.0.1", prog.port), timeout=1).close()
    finally:
        prog.kill()
        for r in conns:
            r.close()


def test_first_bytes_decide_the_protocol(raw):
    # A first byte that could start the HTTP/2 preface, then a divergence: HTTP/1.1.
    c = raw()
    c.send(b"P")
    time.sleep(0.05)
    c.send(b"UT /echo HTTP/1.1\r\nHost: a\r\nContent-Length: 2\r\n\r\nok")
    assert c.read_until(b"ok").startswith(b"HTTP/1.1 200 OK\r\n")
    # The preface's request line without the rest of it is a bad HTTP/1.1 request.
    c = raw()
    c.send(b"PRI * HTTP/2.0\r\n\r\nXX\r\n\r\n")
    assert c.read_to_eof().startswith(b"HTTP/1.1 400 Bad Request\r\n")
