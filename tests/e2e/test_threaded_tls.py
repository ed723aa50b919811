"""TLS with ALPN in the threaded examples: the threaded server under curl and the
threaded client, the threaded client against the asyncio server and nghttpd.
The certificates are made for the run (the `certs` fixture)."""

import pytest
from conftest import Program, curl, free_port, start_server, threaded_client, tool, wait_accepting


@pytest.fixture(scope="module")
def threaded_tls(certs):
    """The threaded server with TLS alone on its one port."""
    prog = start_server("--tls", str(certs.cert), str(certs.key), script="threaded_server.py")
    try:
        yield prog
    finally:
        rc = prog.stop()
    assert rc == 0, "the threaded server did not shut down cleanly:\n" + "\n".join(prog.lines[-20:])


def fetch(certs, *args):
    return threaded_client("--cacert", str(certs.ca), *args)


def test_curl_chooses_the_protocol_by_alpn(threaded_tls, certs, tmp_path):
    src = tmp_path / "body.bin"
    body = bytes(range(256)) * 2000  # past one TLS record and one HTTP/2 window
    src.write_bytes(body)
    url = threaded_tls.tls_url
    for flag, status in (("--http2", b"HTTP/2 200"), ("--http1.1", b"HTTP/1.1 200 OK")):
        r = curl("--cacert", str(certs.ca), flag, "-i", f"{url}/", f"{url}/")
        assert r.returncode == 0, r.stderr
        assert r.stdout.startswith(status) and r.stdout.count(b"hello from velmora\n") == 2
        r = curl("--cacert", str(certs.ca), flag, "--data-binary", f"@{src}", f"{url}/echo")
        assert r.returncode == 0, r.stderr
        assert r.stdout == body


def test_threaded_client_and_server_share_tls_between_pumps(threaded_tls, certs, tmp_path):
    # Request threads write bodies while the read pump decrypts responses on
    # the same TLS connection: every byte of every echo must come back.
    src = tmp_path / "up.bin"
    body = bytes(range(256)) * 600
    src.write_bytes(body)
    url = threaded_tls.tls_url
    r = fetch(certs, "-d", f"@{src}", f"{url}/echo", "--repeat", "8", "--concurrency", "8", "-v")
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(b"HTTP/2 200 OK\n") == 8 and r.stdout.count(body) == 8
    assert b"connections opened: 1" in r.stdout and b"ALPN h2" in r.stderr
    r = fetch(certs, f"{url}/stream?chunks=200&size=1000", "--repeat", "4", "--concurrency", "4")
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(b"HTTP/2 200 OK\n") == 4 and r.stdout.count(b"x" * 999 + b"\n") == 800
    r = fetch(certs, "--http1.1", "-d", f"@{src}", f"{url}/echo", "--repeat", "3", "-v")
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(b"HTTP/1.1 200 OK\n") == 3 and r.stdout.count(body) == 3
    assert b"connections opened: 1" in r.stdout


def test_threaded_client_against_the_asyncio_server(tls_server, certs):
    url = tls_server.tls_url
    for flag, status in (("--concurrency", b"HTTP/2 200 OK\n"), ("--http1.1", b"HTTP/1.1 200 OK\n")):
        args = ("--concurrency", "4") if flag == "--concurrency" else ("--http1.1",)
        r = fetch(certs, *args, f"{url}/", f"{url}/stream?trailers=1", "--repeat", "4")
        assert r.returncode == 0, r.stderr
        assert r.stdout.count(status) == 8 and r.stdout.count(b"hello from velmora\n") == 4


def test_wrong_certificate_is_refused_in_one_line_and_k_accepts(threaded_tls):
    # No --cacert: the system store does not know the run's CA.
    r = threaded_client(f"{threaded_tls.tls_url}/")
    assert r.returncode == 1
    err = r.stderr.decode().strip()
    assert "\n" not in err and "certificate verify failed" in err, err
    r = threaded_client("-k", f"{threaded_tls.tls_url}/")
    assert r.returncode == 0, r.stderr
    assert r.stdout == b"HTTP/2 200 OK\nhello from velmora\n"


def test_threaded_client_against_nghttpd_over_tls(tmp_path, certs):
    www = tmp_path / "www"
    www.mkdir()
    (www / "big.bin").write_bytes(bytes(range(256)) * 4096)
    port = free_port()
    prog = Program([tool("nghttpd"), "-d", str(www), str(port), str(certs.key), str(certs.cert)])
    try:
        wait_accepting(port)
        r = fetch(certs, f"https://127.0.0.1:{port}/big.bin", "--repeat", "4", "--concurrency", "4")
        assert r.returncode == 0, r.stderr
        assert r.stdout.count(b"HTTP/2 200 OK\n") == 4
        assert r.stdout.count(bytes(range(256)) * 4096) == 4
        assert b"connections opened: 1" in r.stdout
    finally:
        prog.stop()


def test_https_through_a_proxy_tunnel(threaded_tls, certs, tmp_path):
    from test_tls import start_tinyproxy

    proxy = start_tinyproxy(tmp_path)
    try:
        env = {"HTTPS_PROXY": proxy.url}
        url = f"{threaded_tls.tls_url}/"
        for args, status in (((), b"HTTP/2 200 OK\n"), (("--http1.1",), b"HTTP/1.1 200 OK\n")):
            r = threaded_client("--cacert", str(certs.ca), *args, url, "--repeat", "3",
                                "--concurrency", "3", "-v", env=env)
            assert r.returncode == 0, r.stderr
            assert r.stdout.count(status) == r.stdout.count(b"hello from velmora\n") == 3
            assert b"tunnel to 127.0.0.1:" in r.stderr
        # A tunnel the proxy cannot open is one line naming the status.
        dead = free_port()
        r = threaded_client("--cacert", str(certs.ca), f"https://127.0.0.1:{dead}/", env=env)
        assert r.returncode == 1
        err = r.stderr.decode().strip()
        assert "\n" not in err and f"refused the tunnel to 127.0.0.1:{dead}: 500" in err, err
    finally:
        proxy.stop()
