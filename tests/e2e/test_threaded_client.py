"""The threaded example client against nghttpd, nginx and the asyncio example server."""

import re

from conftest import threaded_client

BIG = bytes(range(256)) * 4096


def connections(out):
    return int(re.search(rb"connections opened: (\d+)", out).group(1))


def test_against_nghttpd(nghttpd):
    r = threaded_client("--h2c", f"{nghttpd.url}/a.txt", f"{nghttpd.url}/big.bin", "--repeat", "5",
                        "--concurrency", "10")
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(b"static file a\n") == 5 and r.stdout.count(BIG) == 5
    assert connections(r.stdout) == 1


def test_against_nginx_both_protocols(nginx):
    r = threaded_client(f"{nginx.url}/a.txt", f"{nginx.url}/big.bin", "--repeat", "4",
                        "--concurrency", "4")
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(b"HTTP/1.1 200 OK\n") == 8
    assert r.stdout.count(b"static file a\n") == 4 and r.stdout.count(BIG) == 4
    assert 1 <= connections(r.stdout) <= 4
    # keepalive_timeout 1s: nginx closes the pooled connection during the pause; the
    # idle watcher thread sees it before the second request is written on it.
    r = threaded_client(f"{nginx.url}/a.txt", "--repeat", "2", "--wait", "1.8", "-v")
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(b"static file a\n") == 2
    assert b"the server closed it while idle" in r.stderr and b"reusing" not in r.stderr
    assert connections(r.stdout) == 2
    # Over h2c nginx says GOAWAY after 30 requests on a connection: the requests it
    # did not take go again on a new connection, none is lost or hangs.
    r = threaded_client("--h2c", "-v", f"{nginx.h2_url}/a.txt", "--repeat", "100",
                        "--concurrency", "10", timeout=30)
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(b"HTTP/2 200 OK\n") == r.stdout.count(b"static file a\n") == 100
    assert connections(r.stdout) >= 4
    r = threaded_client("--h2c", f"{nginx.h2_url}/big.bin", "--repeat", "3", "--concurrency", "3")
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(BIG) == 3


def test_proxy_from_the_environment(nginx, server):
    target = f"{server.url}/echo"
    r = threaded_client(target, "-d", "through the proxy", "-v", "--repeat", "2",
                        env={"HTTP_PROXY": nginx.proxy})
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(b"x-proxied-by: nginx\n") == 2
    assert r.stdout.count(b"through the proxy") == 2
    r = threaded_client(target, "-d", "direct", "-v",
                        env={"HTTP_PROXY": nginx.proxy, "NO_PROXY": "127.0.0.1"})
    assert r.returncode == 0, r.stderr
    assert b"x-proxied-by" not in r.stdout and r.stdout.endswith(b"\ndirect\n")


def test_against_the_asyncio_server(server, tmp_path):
    body = bytes(range(256)) * 1000
    (tmp_path / "body").write_bytes(body)
    for proto in ([], ["--h2c"]):
        r = threaded_client(*proto, f"{server.url}/echo", "-d", f"@{tmp_path / 'body'}",
                            "--repeat", "4", "--concurrency", "2")
        assert r.returncode == 0, r.stderr
        assert r.stdout.count(body) == 4
    r = threaded_client("--h2c", f"{server.url}/delay?ms=200", "--repeat", "100",
                        "--concurrency", "100")
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(b"HTTP/2 200 OK\nwaited 200 ms\n") == 100
    assert connections(r.stdout) == 1
    mark = server.mark()
    r = threaded_client("-v", f"{server.url}/stream?chunks=5&size=10", f"{server.url}/",
                        "-X", "GET")
    assert r.returncode == 0, r.stderr
    assert b"transfer-encoding: chunked\n" in r.stdout and r.stdout.count(b"xxxxxxxxx\n") == 5
    # Closing the pooled connection at exit is not the server closing it.
    if b"the server closed it while idle" in r.stderr:
        server.wait_for("no request head within", start=mark, timeout=2)
