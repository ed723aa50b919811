"""The example server says `Connection: close` in the head whenever it already
knows the connection ends with that response, so that clients do not try to
reuse it (curl would report "Connection died, retrying"), and a response is
never followed by another on a connection whose request body was left unread."""

import re

from conftest import curl

W = ["-w", "[%{http_code} %{num_connects}]\n"]


def heads(trace):
    """The response heads curl -v printed, each as one lower-case string."""
    out, cur = [], None
    for line in trace.splitlines():
        if line.startswith("< HTTP/"):
            cur = [line[2:].lower()]
            out.append(cur)
        elif line.startswith("< ") and cur is not None:
            cur.append(line[2:].lower())
    return ["\n".join(h) for h in out]


def check_closed_then_fresh(r, status):
    assert r.returncode == 0, r.stderr
    trace = r.stderr.decode()
    assert "Connection died, retrying" not in trace, trace
    first = heads(trace)[0]
    assert first.startswith(f"http/1.1 {status} ") and "connection: close" in first, first
    # The next request went out on a new connection, told so by the head.
    assert re.findall(rb"\[(\d+) (\d)\]", r.stdout) == [(str(status).encode(), b"1"), (b"200", b"1")]


def test_expect_continue_answered_without_reading_the_body(server):
    # The route answers 404 without reading: the 100 is never sent and the
    # client keeps its body, so the body cannot be skipped.
    r = curl("-v", *W, "-H", "Expect: 100-continue", "--data-binary", "never read",
             f"{server.url}/missing", "--next", *W, f"{server.url}/")
    check_closed_then_fresh(r, 404)


def test_body_larger_than_the_server_skips(server, tmp_path):
    big = tmp_path / "big.bin"
    big.write_bytes(b"x" * (4 << 20))
    r = curl("-v", *W, "-H", "Expect:", "--data-binary", f"@{big}", f"{server.url}/missing",
             "--next", *W, f"{server.url}/")
    check_closed_then_fresh(r, 404)


def test_unread_small_body_keeps_the_connection(server):
    # A body the server skips after the response: no close, one connection.
    r = curl("-v", *W, "-H", "Expect:", "--data-binary", "skipped", f"{server.url}/missing",
             "--next", *W, f"{server.url}/")
    assert r.returncode == 0, r.stderr
    assert "connection: close" not in heads(r.stderr.decode())[0]
    assert re.findall(rb"\[(\d+) (\d)\]", r.stdout) == [(b"404", b"1"), (b"200", b"0")]


def test_malformed_chunked_body_gets_a_closing_400(raw):
    c = raw()
    c.send(b"POST /echo HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nhello\r\n")
    out = c.read_to_eof()
    head = out.split(b"\r\n\r\n", 1)[0].lower()
    assert head.startswith(b"http/1.1 400 ") and b"\r\nconnection: close" in head, out
