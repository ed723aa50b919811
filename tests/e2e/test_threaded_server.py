"""The threaded example server against curl, raw sockets, nghttp, h2load and the
threaded client: the same answers as the asyncio server, from blocking threads."""

import re
import signal
import socket
import time

import pytest
from conftest import HEAD_TIMEOUT, Raw, curl, h2load, nghttp, start_server, threaded_client
from h2raw import ACK, DATA, END_STREAM, GOAWAY, PING, H2Raw, ping

import velmora._velmora as v

INTERIM_BY_VALUE = hasattr(v.H2SendVerdict, "refused")


@pytest.fixture
def raw(threaded_server):
    socks = []

    def connect(timeout=5.0):
        r = Raw(threaded_server.port, timeout)
        socks.append(r)
        return r

    yield connect
    for r in socks:
        r.close()


def test_curl_keep_alive_uploads_and_http10(threaded_server, tmp_path):
    url = threaded_server.url
    w = ["-w", "[%{http_code} %{num_connects}]\n"]
    r = curl(*w, f"{url}/", f"{url}/stream?chunks=3&size=8", f"{url}/missing",
             "--next", *w, "--data-binary", "x", f"{url}/echo")
    assert r.returncode == 0, r.stderr
    assert re.findall(rb"\[(\d+) (\d)\]", r.stdout) == [
        (b"200", b"1"), (b"200", b"0"), (b"404", b"0"), (b"200", b"0")]
    assert b"hello from velmora\n" in r.stdout and b"xxxxxxx\n" * 3 in r.stdout

    body = bytes(range(256)) * 1000
    src = tmp_path / "body.bin"
    src.write_bytes(body)
    for extra in ([], ["-H", "Transfer-Encoding: chunked"], ["-X", "PUT"]):
        r = curl(*extra, "--data-binary", f"@{src}", f"{url}/echo")
        assert r.returncode == 0, (extra, r.stderr)
        assert r.stdout == body, extra

    r = curl("-0", "-i", f"{url}/stream?chunks=3&size=4")
    assert r.returncode == 0, r.stderr
    head, _, rest = r.stdout.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.0 200 OK\r\n")
    assert b"transfer-encoding" not in head.lower() and rest == b"xxx\n" * 3
    r = curl("-0", "-H", "Connection: keep-alive", "-w", "[%{num_connects}]", f"{url}/", f"{url}/")
    assert r.stdout.count(b"hello from velmora\n") == 2
    assert re.findall(rb"\[(\d)\]", r.stdout) == [b"1", b"0"]


def test_curl_expect_100_continue(threaded_server, tmp_path):
    src = tmp_path / "body.bin"
    src.write_bytes(b"y" * 300_000)
    protocols = [("--http1.1", "HTTP/1.1 100"), ("--http2-prior-knowledge", "HTTP/2 100")]
    for proto, interim in protocols if INTERIM_BY_VALUE else protocols[:1]:
        for framing in ([], ["-H", "Transfer-Encoding: chunked"]):
            if framing and proto != "--http1.1":
                continue
            r = curl(proto, "-v", "-H", "Expect: 100-continue", *framing,
                     "--data-binary", f"@{src}", f"{threaded_server.url}/echo")
            assert r.returncode == 0, r.stderr
            assert r.stdout == b"y" * 300_000
            trace = r.stderr.decode()
            assert trace.index(f"< {interim}") < trace.index(" 200")
            # curl did not have to give up waiting for it (after a second).
            assert "Done waiting for 100-continue" not in trace


def test_raw_pipelining_and_malformed_heads(raw):
    c = raw()
    c.send(b"GET /delay?ms=50 HTTP/1.1\r\nHost: a\r\n\r\n"
           b"POST /echo HTTP/1.1\r\nHost: a\r\nContent-Length: 6\r\n\r\nfirst."
           b"POST /echo HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n"
           b"7\r\nsecond.\r\n0\r\n\r\n"
           b"POST /missing HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\nabcde"
           b"GET / HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n")
    out = c.read_to_eof()
    marks = [b"waited 50 ms\n", b"first.", b"second.", b"not found\n", b"hello from velmora\n"]
    positions = [out.index(m) for m in marks]
    assert positions == sorted(positions)
    assert out.count(b"HTTP/1.1 200 OK\r\n") == 4

    for request, status in [
        (b"GET / HTTP/1.1\r\nHost: a\r\nno colon here\r\n\r\n", b"400"),
        (b"GET / HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", b"400"),
        (b"GET / HTTP/1.1\r\n" + b"x-a: b\r\n" * 200 + b"\r\n", b"431"),
    ]:
        c = raw()
        c.send(request)
        out = c.read_to_eof()
        assert out.startswith(b"HTTP/1.1 " + status) and b"connection: close\r\n" in out


def test_malformed_request_body_gets_a_closing_400(raw):
    # The route fails reading the body: the answer says the connection ends, and
    # it does, with nothing read as a next request from the rest of the bytes.
    c = raw()
    c.send(b"POST /echo HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n"
           b"GET / HTTP/1.1\r\nHost: a\r\n\r\n")
    out = c.read_to_eof()
    head = out.split(b"\r\n\r\n", 1)[0].lower()
    assert head.startswith(b"http/1.1 400 ") and b"\r\nconnection: close" in head, out
    assert out.count(b"HTTP/1.1 ") == 1, out


def test_slow_head_is_cut_by_the_watchdog(threaded_server, raw):
    mark = threaded_server.mark()
    c = raw(timeout=HEAD_TIMEOUT + 5)
    started = time.monotonic()
    c.send(b"GET / HTTP/1.1\r\nHost: a\r\n")
    assert c.read_to_eof() == b""
    assert HEAD_TIMEOUT - 0.2 < time.monotonic() - started < HEAD_TIMEOUT + 2
    threaded_server.wait_for(r"no request head within", start=mark)

    # Idle between requests counts too: a kept-alive connection that sends nothing.
    c = raw(timeout=HEAD_TIMEOUT + 5)
    c.send(b"GET / HTTP/1.1\r\nHost: a\r\n\r\n")
    c.read_until(b"hello from velmora\n")
    started = time.monotonic()
    assert c.read_to_eof() == b""
    assert time.monotonic() - started < HEAD_TIMEOUT + 2


def test_client_leaving_mid_response(threaded_server, raw):
    mark = threaded_server.mark()
    c = raw()
    c.send(b"GET /delay?ms=5000 HTTP/1.1\r\nHost: a\r\n\r\n")
    time.sleep(0.2)
    c.sock.shutdown(socket.SHUT_WR)
    started = time.monotonic()
    threaded_server.wait_for(r"GET /delay\?ms=5000: the client went away", start=mark, timeout=4)
    assert time.monotonic() - started < 2

    mark = threaded_server.mark()
    c = raw()
    c.send(b"GET /stream?chunks=200000&size=1024 HTTP/1.1\r\nHost: a\r\n\r\n")
    c.read_until(b"xxxx")
    c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
    c.close()
    threaded_server.wait_for(r"GET /stream\S*: the client went away", start=mark, timeout=5)

    c = raw()
    c.send(b"GET / HTTP/1.1\r\nHost: a\r\n\r\n")
    assert c.read_until(b"hello from velmora\n").startswith(b"HTTP/1.1 200 OK")


def test_upgrade_echo(raw):
    c = raw()
    c.send(b"GET /chat HTTP/1.1\r\nHost: a\r\nConnection: upgrade\r\nUpgrade: echo\r\n\r\nearly|")
    out = c.read_until(b"early|")
    assert out.startswith(b"HTTP/1.1 101 Switching Protocols\r\n")
    c.send(b"GET / HTTP/1.1\r\n\r\n")
    assert c.read_until(b"\r\n\r\n") == b"GET / HTTP/1.1\r\n\r\n"


def test_nghttp_streams_uploads_and_small_windows(threaded_server, tmp_path):
    url = threaded_server.url
    r = nghttp("-n", "-s", "-m", "100", f"{url}/delay?ms=50")
    assert r.returncode == 0, r.stderr
    assert re.findall(rb" (\d{3}) +\d+ /delay", r.stdout) == [b"200"] * 100

    body = bytes(range(256)) * 2000  # 512 kB
    src = tmp_path / "body.bin"
    src.write_bytes(body)
    r = nghttp("-d", str(src), f"{url}/echo")
    assert r.returncode == 0, r.stderr
    assert r.stdout == body
    # 1 kB stream windows (SETTINGS_INITIAL_WINDOW_SIZE); the connection window
    # cannot go below 65535, so every stream waits for its own WINDOW_UPDATEs.
    r = nghttp("-w", "10", "-d", str(src), f"{url}/echo")
    assert r.returncode == 0, r.stderr
    assert r.stdout == body
    r = nghttp("-w", "10", "-m", "8", f"{url}/stream?chunks=64&size=1000")
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(b"x") == 999 * 64 * 8 and r.stdout.count(b"\n") == 64 * 8


def test_h2load_both_protocols(threaded_server):
    url = threaded_server.url
    assert h2load(f"{url}/", "--h1", "-n", "2000", "-c", "8") == (2000, 2000)
    assert h2load(f"{url}/", "-n", "2000", "-c", "4", "-m", "32") == (2000, 2000)
    assert h2load(f"{url}/stream?chunks=8&size=512", "-n", "200", "-c", "2", "-m", "16") == (
        200, 200)


def test_threaded_client_against_the_threaded_server(threaded_server, tmp_path):
    body = bytes(range(256)) * 1000
    (tmp_path / "body").write_bytes(body)
    for proto in ([], ["--h2c"]):
        r = threaded_client(*proto, f"{threaded_server.url}/echo", "-d", f"@{tmp_path / 'body'}",
                            "--repeat", "6", "--concurrency", "3")
        assert r.returncode == 0, r.stderr
        assert r.stdout.count(body) == 6
        opened = int(re.search(rb"connections opened: (\d+)", r.stdout).group(1))
        assert opened == 1 if proto else 1 <= opened <= 3
    r = threaded_client("--h2c", "-v", f"{threaded_server.url}/stream?chunks=3&size=10&trailers=1")
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith(b"HTTP/2 200 OK\n")
    assert r.stdout.endswith(b"xxxxxxxxx\n" * 3 + b"trailer x-chunks: 3\n")


def test_unread_body_that_will_not_come_closes_at_once(raw):
    # The client waits for a 100 Continue that the 404 route never asks for: the
    # body will not come, so the server answers and closes instead of draining.
    c = raw()
    started = time.monotonic()
    c.send(b"POST /missing HTTP/1.1\r\nHost: a\r\nExpect: 100-continue\r\nContent-Length: 10\r\n\r\n")
    out = c.read_to_eof()
    assert out.startswith(b"HTTP/1.1 404 Not Found\r\n") and b"100 Continue" not in out
    # Said in the head, so the client knows before it reads the end of the connection.
    assert b"connection: close\r\n" in out.partition(b"\r\n\r\n")[0]
    assert time.monotonic() - started < 1.0
    # A body the server will read in full keeps the connection.
    c = raw()
    c.send(b"POST /missing HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\nabc"
           b"GET / HTTP/1.1\r\nHost: a\r\n\r\n")
    assert c.read_until(b"hello from velmora\n").startswith(b"HTTP/1.1 404 Not Found\r\n")


def test_graceful_shutdown_on_both_protocols():
    prog = start_server(script="threaded_server.py")
    conns = []
    try:
        busy, idle = Raw(prog.port), Raw(prog.port)
        h2 = H2Raw(prog.port)
        conns += (busy, idle, h2)
        idle.send(b"GET / HTTP/1.1\r\nHost: a\r\n\r\n")
        idle.read_until(b"hello from velmora\n")
        h2.handshake()
        busy.send(b"GET /delay?ms=700 HTTP/1.1\r\nHost: a\r\n\r\n")
        sid = h2.new_sid()
        h2.send(h2.headers(sid, "/delay?ms=700"))
        time.sleep(0.2)
        prog.proc.send_signal(signal.SIGTERM)
        # The idle connection closes at once; the requests in flight get their whole
        # answers, the HTTP/1 one marked as the connection's last, the HTTP/2 one
        # followed by GOAWAY.
        assert idle.read_to_eof(timeout=2) == b""
        out = busy.read_to_eof(timeout=5)
        assert out.startswith(b"HTTP/1.1 200 OK\r\n") and out.endswith(b"waited 700 ms\n")
        assert b"connection: close\r\n" in out
        frames = h2.frames_until(lambda f: f.kind == DATA and f.sid == sid and f.flags & END_STREAM,
                                 timeout=5)
        assert b"waited 700 ms\n" in b"".join(f.payload for f in frames if f.kind == DATA)
        assert any(f.kind == GOAWAY for f in frames)
        for f in frames:
            if f.kind == PING and not f.flags & ACK:
                h2.send(ping(f.payload, ack=True))
        h2.close()
        assert prog.proc.wait(5) == 0
    finally:
        prog.kill()
        for c in conns:
            c.close()
