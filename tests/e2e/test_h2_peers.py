"""HTTP/2 over cleartext: nghttp, curl and h2load against the example server,
and the example client against nghttpd, nginx and the example server."""

import re
import socket
import time

from conftest import client, curl, h2load, nghttp

from h2raw import PREFACE, SETTINGS, settings


def connections(out):
    return int(re.search(rb"connections opened: (\d+)", out).group(1))


def test_nghttp_gets_and_many_streams(server):
    r = nghttp("-s", f"{server.url}/", f"{server.url}/stream?chunks=5&size=10",
               f"{server.url}/missing")
    assert r.returncode == 0, r.stderr
    # The three answers interleave: they arrive on concurrent streams.
    assert r.stdout.count(b"hello from velmora\n") == 1 and r.stdout.count(b"not found\n") == 1
    assert r.stdout.count(b"xxxxxxxxx\n") == 5
    # 100 concurrent streams on one connection.
    r = nghttp("-n", "-s", "-m", "100", f"{server.url}/delay?ms=50")
    assert r.returncode == 0, r.stderr
    stats = re.findall(rb" (\d{3}) +\d+ /delay", r.stdout)
    assert stats == [b"200"] * 100, r.stdout[-500:]


def test_nghttp_uploads_under_small_windows(server, tmp_path):
    body = bytes(range(256)) * 2000  # 512 kB: beyond every window on both sides
    src = tmp_path / "body.bin"
    src.write_bytes(body)
    r = nghttp("-d", str(src), f"{server.url}/echo")
    assert r.returncode == 0, r.stderr
    assert r.stdout == body
    # The client grants 1 kB per stream and 4 kB per connection: the echo goes
    # out in small steps, each waiting for a WINDOW_UPDATE.
    r = nghttp("-w", "10", "-W", "12", "-d", str(src), f"{server.url}/echo")
    assert r.returncode == 0, r.stderr
    assert r.stdout == body
    r = nghttp("-w", "10", "-W", "12", "-m", "4", f"{server.url}/stream?chunks=64&size=1000")
    assert r.returncode == 0, r.stderr
    # nghttp prints the four bodies as their frames come: count, not compare.
    assert r.stdout.count(b"x") == 999 * 64 * 4 and r.stdout.count(b"\n") == 64 * 4


def test_curl_prior_knowledge(server, tmp_path):
    r = curl("--http2-prior-knowledge", "-i", f"{server.url}/")
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith(b"HTTP/2 200")
    assert r.stdout.endswith(b"\r\n\r\nhello from velmora\n")
    r = curl("--http2-prior-knowledge", "-I", f"{server.url}/")
    assert r.returncode == 0, r.stderr
    assert b"content-length: 19\r\n" in r.stdout and r.stdout.endswith(b"\r\n\r\n")
    body = bytes(range(256)) * 1000
    src = tmp_path / "body.bin"
    src.write_bytes(body)
    r = curl("--http2-prior-knowledge", "--data-binary", f"@{src}", f"{server.url}/echo")
    assert r.returncode == 0, r.stderr
    assert r.stdout == body
    # The same port still speaks HTTP/1.1.
    r = curl("--http1.1", "-i", f"{server.url}/")
    assert r.stdout.startswith(b"HTTP/1.1 200 OK\r\n")


def test_h2load_many_streams_per_connection(server):
    ok, total = h2load(f"{server.url}/", "-n", "4000", "-c", "4", "-m", "64")
    assert ok == total == 4000
    ok, total = h2load(f"{server.url}/stream?chunks=8&size=512", "-n", "400", "-c", "2",
                       "-m", "32")
    assert ok == total == 400


def test_client_against_the_example_server(server, tmp_path):
    body = bytes(range(256)) * 1000
    (tmp_path / "body").write_bytes(body)
    r = client("--h2c", f"{server.url}/echo", "-d", f"@{tmp_path / 'body'}", "--repeat", "3",
               "--concurrency", "3")
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(body) == 3
    assert connections(r.stdout) == 1

    r = client("--h2c", "-v", f"{server.url}/stream?chunks=3&size=10&trailers=1")
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith(b"HTTP/2 200 OK\n")
    assert r.stdout.endswith(b"xxxxxxxxx\n" * 3 + b"trailer x-chunks: 3\n")

    r = client("--h2c", f"{server.url}/delay?ms=200", "--repeat", "100", "--concurrency", "100")
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(b"HTTP/2 200 OK\nwaited 200 ms\n") == 100
    assert connections(r.stdout) == 1


def test_client_against_nghttpd(nghttpd):
    r = client("--h2c", f"{nghttpd.url}/a.txt", f"{nghttpd.url}/big.bin", "--repeat", "5",
               "--concurrency", "10")
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(b"static file a\n") == 5
    assert r.stdout.count(bytes(range(256)) * 4096) == 5
    assert connections(r.stdout) == 1


def test_client_against_nginx_with_goaway_mid_run(nginx):
    # nginx ends each connection with GOAWAY after 30 requests: the requests
    # it did not take are sent again on a new connection, none is lost or hangs.
    r = client("--h2c", "-v", f"{nginx.h2_url}/a.txt", "--repeat", "100", "--concurrency", "10",
               timeout=30)
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(b"HTTP/2 200 OK\n") == r.stdout.count(b"static file a\n") == 100
    assert connections(r.stdout) >= 4
    assert b"retrying" in r.stderr
    r = client("--h2c", f"{nginx.h2_url}/big.bin", "--repeat", "3", "--concurrency", "3")
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(bytes(range(256)) * 4096) == 3


def test_preface_in_pieces(server):
    # The preface trickles in: the sniff waits for all 24 octets, then HTTP/2.
    c = socket.create_connection(("127.0.0.1", server.port), timeout=5)
    for piece in (PREFACE[:3], PREFACE[3:16], PREFACE[16:] + settings()):
        c.sendall(piece)
        time.sleep(0.05)
    first = c.recv(9)
    assert first[3] == SETTINGS and int.from_bytes(first[5:9], "big") == 0
    c.close()
