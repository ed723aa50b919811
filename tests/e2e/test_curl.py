"""curl against the example server: framings, 100-continue, keep-alive, HTTP/1.0."""

import re

from conftest import curl


def test_get_and_head(server):
    r = curl("-i", f"{server.url}/")
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith(b"HTTP/1.1 200 OK\r\n")
    assert r.stdout.endswith(b"\r\n\r\nhello from velmora\n")

    # HEAD: the length of the GET body, and no body (curl would report excess bytes).
    r = curl("-I", f"{server.url}/")
    assert r.returncode == 0, r.stderr
    assert b"content-length: 19\r\n" in r.stdout
    assert r.stdout.endswith(b"\r\n\r\n")

    r = curl("-i", f"{server.url}/missing")
    assert r.stdout.startswith(b"HTTP/1.1 404 Not Found\r\n")


def test_uploads_in_every_framing(server, tmp_path):
    body = bytes(range(256)) * 1000  # 256 kB: several reads and chunks
    src = tmp_path / "body.bin"
    src.write_bytes(body)
    for extra in ([], ["-H", "Transfer-Encoding: chunked"], ["-X", "PUT"]):
        r = curl(*extra, "--data-binary", f"@{src}", f"{server.url}/echo")
        assert r.returncode == 0, (extra, r.stderr)
        assert r.stdout == body, extra


def test_expect_100_continue(server):
    for framing in ([], ["-H", "Transfer-Encoding: chunked"]):
        r = curl("-v", "-H", "Expect: 100-continue", *framing, "--data-binary", "waited for it",
                 f"{server.url}/echo")
        assert r.returncode == 0, r.stderr
        assert r.stdout == b"waited for it"
        trace = r.stderr.decode()
        # The interim response comes first, and curl did not have to give up waiting for it.
        assert trace.index("< HTTP/1.1 100 Continue") < trace.index("< HTTP/1.1 200 OK")
        assert "Done waiting for 100-continue" not in trace


def test_keep_alive_across_urls(server):
    urls = [f"{server.url}/", f"{server.url}/stream?chunks=3&size=8",
            f"{server.url}/missing", f"{server.url}/echo"]
    w = ["-w", "[%{http_code} %{num_connects}]\n"]
    r = curl(*w, *urls[:3], "--next", *w, "--data-binary", "x", urls[3])
    assert r.returncode == 0, r.stderr
    # One connection for all four, whatever the status and the framing.
    assert re.findall(rb"\[(\d+) (\d)\]", r.stdout) == [
        (b"200", b"1"), (b"200", b"0"), (b"404", b"0"), (b"200", b"0")]
    assert b"xxxxxxx\n" * 3 in r.stdout


def test_http10_request(server):
    r = curl("-0", "-i", f"{server.url}/")
    assert r.returncode == 0, r.stderr
    head, _, body = r.stdout.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.0 200 OK\r\n")
    assert body == b"hello from velmora\n"
    # A body of unknown length to an HTTP/1.0 client: no chunked framing, the
    # close ends it.
    r = curl("-0", "-i", f"{server.url}/stream?chunks=3&size=4")
    assert r.returncode == 0, r.stderr
    head, _, body = r.stdout.partition(b"\r\n\r\n")
    assert b"transfer-encoding" not in head.lower() and b"content-length" not in head.lower()
    assert body == b"xxx\n" * 3
    # An HTTP/1.0 client asking for keep-alive keeps its connection.
    r = curl("-0", "-H", "Connection: keep-alive", "-w", "[%{num_connects}]",
             f"{server.url}/", f"{server.url}/")
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(b"hello from velmora\n") == 2
    assert re.findall(rb"\[(\d)\]", r.stdout) == [b"1", b"0"]
