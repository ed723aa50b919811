"""TLS with ALPN: the example server under curl, nghttp, h2load and openssl s_client;
the example client against nghttpd, nginx and the example server, directly and
through tinyproxy's CONNECT tunnels; nginx as a TLS front for the example server.

The certificates are made for the run (the `certs` fixture): a CA the clients
are told to trust with --cacert, and a server certificate it issued.
"""

import re
import shutil
import socket
import ssl
import threading
import time

import pytest
from conftest import (HEAD_TIMEOUT, Program, client, curl, free_port, h2load, nghttp, run,
                      start_server, tool, wait_accepting)


def connections(out):
    return int(re.search(rb"connections opened: (\d+)", out).group(1))


def client_tls(certs, *args, env=None, timeout=20.0):
    return client("--cacert", str(certs.ca), *args, env=env, timeout=timeout)


# ---------------------------------------------------------------------------
# The example server over TLS.


def test_curl_and_nghttp_choose_the_protocol_by_alpn(tls_server, certs, tmp_path):
    url = tls_server.tls_url
    body = bytes(range(256)) * 1000
    src = tmp_path / "body.bin"
    src.write_bytes(body)
    for flag, status in (("--http2", b"HTTP/2 200"), ("--http1.1", b"HTTP/1.1 200 OK")):
        r = curl("--cacert", str(certs.ca), flag, "-i", f"{url}/")
        assert r.returncode == 0, r.stderr
        assert r.stdout.startswith(status) and r.stdout.endswith(b"\r\n\r\nhello from velmora\n")
        r = curl("--cacert", str(certs.ca), flag, "--data-binary", f"@{src}", f"{url}/echo")
        assert r.returncode == 0, r.stderr
        assert r.stdout == body
    # The name in the certificate is checked too: localhost is one of its names.
    r = curl("--cacert", str(certs.ca), "--resolve", f"localhost:{tls_server.tls_port}:127.0.0.1",
             f"https://localhost:{tls_server.tls_port}/")
    assert r.stdout == b"hello from velmora\n", r.stderr

    r = nghttp("-s", f"{url}/stream?chunks=5&size=10&trailers=1", f"{url}/missing")
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(b"xxxxxxxxx\n") == 5 and r.stdout.count(b"not found\n") == 1
    r = nghttp("-d", str(src), f"{url}/echo")
    assert r.returncode == 0, r.stderr
    assert r.stdout == body

    # The cleartext port next to it still speaks both protocols without TLS.
    r = curl("--http2-prior-knowledge", f"{tls_server.url}/")
    assert r.stdout == b"hello from velmora\n", r.stderr


def test_tls_alone_makes_the_one_port_speak_tls(certs):
    prog = start_server("--tls", str(certs.cert), str(certs.key))
    try:
        assert any(line.startswith("listening on https://") for line in prog.lines)
        assert not any(line.startswith("listening on http://") for line in prog.lines)
        r = curl("--cacert", str(certs.ca), "-i", f"{prog.tls_url}/")
        assert r.stdout.startswith(b"HTTP/2 200"), r.stderr
        # Cleartext on it is a failed handshake, not a request.
        r = curl("--http1.1", f"http://127.0.0.1:{prog.port}/")
        assert r.returncode != 0 and not r.stdout
    finally:
        assert prog.stop() == 0


def test_h2load_over_tls(tls_server):
    ok, total = h2load(f"{tls_server.tls_url}/", "-n", "2000", "-c", "4", "-m", "32")
    assert ok == total == 2000
    ok, total = h2load(f"{tls_server.tls_url}/", "--h1", "-n", "1000", "-c", "4")
    assert ok == total == 1000


def s_client_alpn(port, offer):
    """What openssl s_client reports for an ALPN offer (None: offer nothing)."""
    argv = [tool("openssl"), "s_client", "-connect", f"127.0.0.1:{port}", "-servername",
            "localhost"]
    if offer:
        argv += ["-alpn", offer]
    r = run(argv, input=b"", timeout=15)
    out = r.stdout.decode(errors="replace")
    if m := re.search(r"ALPN protocol: (\S+)", out):
        return m.group(1)
    assert "No ALPN negotiated" in out, out
    return None


def test_alpn_as_openssl_sees_it(tls_server, certs):
    port = tls_server.tls_port
    assert s_client_alpn(port, "h2,http/1.1") == "h2"
    assert s_client_alpn(port, "http/1.1,h2") == "h2"  # the server's preference does not win
    assert s_client_alpn(port, "http/1.1") == "http/1.1"
    assert s_client_alpn(port, "spdy/3,h2") == "h2"
    assert s_client_alpn(port, None) is None
    # No ALPN at all: the connection speaks HTTP/1.1, and an HTTP/2 preface is
    # not taken for one (a client must ask for h2 by ALPN).
    ctx = ssl.create_default_context(cafile=certs.ca)
    replies = []
    for request in (b"GET / HTTP/1.1\r\nhost: x\r\nconnection: close\r\n\r\n",
                    b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"):
        with socket.create_connection(("127.0.0.1", port), timeout=5) as raw, \
                ctx.wrap_socket(raw, server_hostname="127.0.0.1") as tls:
            assert tls.selected_alpn_protocol() is None
            tls.sendall(request)
            replies.append(tls.recv(65536))
    assert replies[0].startswith(b"HTTP/1.1 200 OK\r\n")
    assert replies[1] == b"" or replies[1].startswith(b"HTTP/1.1 4")  # no SETTINGS frame


def test_a_stalled_handshake_is_cut_by_the_head_deadline(tls_server):
    with socket.create_connection(("127.0.0.1", tls_server.tls_port), timeout=10) as c:
        start = time.monotonic()
        try:
            assert c.recv(1) == b""
        except ConnectionResetError:
            pass
        assert time.monotonic() - start < HEAD_TIMEOUT + 3


def test_client_against_the_example_server_over_tls(tls_server, certs, tmp_path):
    url = tls_server.tls_url
    body = bytes(range(256)) * 1000
    (tmp_path / "body").write_bytes(body)
    # h2 by ALPN: every request a stream of one connection.
    r = client_tls(certs, f"{url}/echo", "-d", f"@{tmp_path / 'body'}", "--repeat", "3",
                   "--concurrency", "3", "-v")
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(b"HTTP/2 200 OK\n") == 3 and r.stdout.count(body) == 3
    assert connections(r.stdout) == 1
    assert b"ALPN h2" in r.stderr
    r = client_tls(certs, f"{url}/delay?ms=100", "--repeat", "50", "--concurrency", "50")
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(b"HTTP/2 200 OK\nwaited 100 ms\n") == 50
    assert connections(r.stdout) == 1
    # HTTP/1.1 when it is the only offer: pooled, kept alive.
    r = client_tls(certs, "--http1.1", f"{url}/echo", "-d", f"@{tmp_path / 'body'}",
                   "--repeat", "3")
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(b"HTTP/1.1 200 OK\n") == 3 and r.stdout.count(body) == 3
    assert connections(r.stdout) == 1
    # The same origin over both schemes: one connection each.
    r = client_tls(certs, f"{url}/", f"{tls_server.url}/", "--repeat", "2")
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(b"HTTP/2 200 OK\n") == 2 and r.stdout.count(b"HTTP/1.1 200 OK\n") == 2
    assert connections(r.stdout) == 2


def test_certificate_checks(tls_server, certs):
    url = f"{tls_server.tls_url}/"
    # The system store does not know the run's CA: refused, in one line.
    r = client(url)
    assert r.returncode == 1
    err = r.stderr.decode().strip()
    assert "\n" not in err and "certificate verify failed" in err, err
    assert f"127.0.0.1:{tls_server.tls_port}" in err
    # A certificate that does not name the host is refused too.
    r = client_tls(certs, f"https://127.0.0.2:{tls_server.tls_port}/")
    if b"Connect call failed" not in r.stderr:  # 127.0.0.2 is not routed everywhere
        assert r.returncode == 1 and b"certificate verify failed" in r.stderr, r.stderr
    # -k skips the check.
    for args in (("-k",), ("-k", "--http1.1")):
        r = client(*args, url)
        assert r.returncode == 0, r.stderr
        assert r.stdout.endswith(b"\nhello from velmora\n")


def test_client_against_nghttpd_over_tls(tmp_path, certs):
    www = tmp_path / "www"
    www.mkdir()
    (www / "a.txt").write_text("static file a\n")
    (www / "big.bin").write_bytes(bytes(range(256)) * 4096)
    port = free_port()
    prog = Program([tool("nghttpd"), "-d", str(www), str(port), str(certs.key), str(certs.cert)])
    try:
        wait_accepting(port)
        url = f"https://127.0.0.1:{port}"
        r = client_tls(certs, f"{url}/a.txt", f"{url}/big.bin", "--repeat", "5",
                       "--concurrency", "10")
        assert r.returncode == 0, r.stderr
        assert r.stdout.count(b"HTTP/2 200 OK\n") == 10
        assert r.stdout.count(b"static file a\n") == 5
        assert r.stdout.count(bytes(range(256)) * 4096) == 5
        assert connections(r.stdout) == 1
        # nghttpd speaks only h2: offered only http/1.1 it completes the handshake
        # without ALPN, then closes on the HTTP/1.1 request. One line, no hang.
        r = client_tls(certs, "--http1.1", f"{url}/a.txt")
        assert r.returncode == 1
        err = r.stderr.decode().strip()
        assert err.startswith("client.py: ") and "\n" not in err, err
    finally:
        prog.stop()


# ---------------------------------------------------------------------------
# nginx: a TLS origin, and a TLS front for the example server.

NGINX_TLS_CONF = """\
daemon off;
master_process off;
worker_processes 1;
pid {tmp}/nginx.pid;
error_log {tmp}/error.log info;
events {{ worker_connections 256; }}
http {{
    access_log off;
    client_body_temp_path {tmp}/body;
    proxy_temp_path {tmp}/proxy;
    fastcgi_temp_path {tmp}/fastcgi;
    uwsgi_temp_path {tmp}/uwsgi;
    scgi_temp_path {tmp}/scgi;
    default_type application/octet-stream;
    ssl_certificate {cert};
    ssl_certificate_key {key};

    # A TLS origin serving static files, h2 or http/1.1 by ALPN.
    server {{
        listen 127.0.0.1:{origin_port} ssl;
        http2 on;
        root {tmp}/www;
    }}

    # A TLS front for the example server's cleartext HTTP/1.1 port, with a pool
    # of kept-alive upstream connections.
    upstream velmora {{
        server 127.0.0.1:{upstream_port};
        keepalive 32;
    }}
    server {{
        listen 127.0.0.1:{front_port} ssl;
        http2 on;
        keepalive_requests 100000;
        location / {{
            proxy_pass http://velmora;
            proxy_http_version 1.1;
            proxy_set_header Connection "";
        }}
    }}
}}
"""


@pytest.fixture(scope="module")
def nginx_tls(tmp_path_factory, certs, tls_server):
    exe = shutil.which("nginx") or shutil.which("/usr/sbin/nginx")
    if exe is None:
        pytest.skip("nginx is not installed")
    tmp = tmp_path_factory.mktemp("nginx_tls")
    www = tmp / "www"
    www.mkdir()
    (www / "a.txt").write_text("static file a\n")
    (www / "big.bin").write_bytes(bytes(range(256)) * 4096)
    origin_port, front_port = free_port(), free_port()
    conf = tmp / "nginx.conf"
    conf.write_text(NGINX_TLS_CONF.format(tmp=tmp, cert=certs.cert, key=certs.key,
                                          origin_port=origin_port, front_port=front_port,
                                          upstream_port=tls_server.port))
    prog = Program([exe, "-e", str(tmp / "early.log"), "-p", str(tmp), "-c", str(conf)])
    try:
        wait_accepting(origin_port)
        wait_accepting(front_port)
        prog.origin = f"https://127.0.0.1:{origin_port}"
        prog.front = f"https://127.0.0.1:{front_port}"
        yield prog
    finally:
        prog.stop()


def test_client_against_nginx_over_tls(nginx_tls, certs):
    big = bytes(range(256)) * 4096
    urls = (f"{nginx_tls.origin}/a.txt", f"{nginx_tls.origin}/big.bin")
    r = client_tls(certs, *urls, "--repeat", "5", "--concurrency", "10")
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(b"HTTP/2 200 OK\n") == 10
    assert r.stdout.count(b"static file a\n") == 5 and r.stdout.count(big) == 5
    assert connections(r.stdout) == 1
    r = client_tls(certs, "--http1.1", *urls, "--repeat", "3")
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(b"HTTP/1.1 200 OK\n") == 6 and r.stdout.count(big) == 3
    assert connections(r.stdout) == 1


def test_nginx_as_tls_front_reuses_upstream_connections(nginx_tls, tls_server, certs, tmp_path):
    mark = tls_server.mark()
    # At most 16 requests at once: nginx's idle pool of 32 keeps every upstream
    # connection it opens.
    ok, total = h2load(f"{nginx_tls.front}/", "-n", "2000", "-c", "2", "-m", "8")
    assert ok == total == 2000
    # The example server logged every request with the connection it came on:
    # a few kept-alive upstream connections carried them all.
    deadline = time.monotonic() + 5
    while True:
        served = [line for line in tls_server.lines[mark:] if "GET / -> 200 (seq " in line]
        if len(served) >= 2000 or time.monotonic() > deadline:
            break
        time.sleep(0.1)
    assert len(served) == 2000, served[-3:]
    peers = {line.rsplit(", ", 1)[1] for line in served}
    assert len(peers) <= 16, sorted(peers)
    assert max(int(re.search(r"\(seq (\d+)", line).group(1)) for line in served) >= 100

    # Bodies through both hops, compared byte for byte.
    body = bytes(range(256)) * 400
    (tmp_path / "body").write_bytes(body)
    r = client_tls(certs, f"{nginx_tls.front}/echo", "-d", f"@{tmp_path / 'body'}",
                   "--repeat", "10", "--concurrency", "10")
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(b"HTTP/2 200 OK\n") == 10 and r.stdout.count(body) == 10
    r = client_tls(certs, f"{nginx_tls.front}/stream?chunks=20&size=100", "--repeat", "10",
                   "--concurrency", "10")
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(b"HTTP/2 200 OK\n") == 10
    assert r.stdout.count(b"x" * 99 + b"\n") == 200


# ---------------------------------------------------------------------------
# Through a forward proxy: tinyproxy tunnels with CONNECT.

TINYPROXY_CONF = """\
Port {port}
Listen 127.0.0.1
Timeout 30
LogLevel Connect
MaxClients 50
Allow 127.0.0.1
DisableViaHeader Yes
{auth}
"""


def start_tinyproxy(tmp, auth=None):
    port = free_port()
    conf = tmp / f"tinyproxy-{port}.conf"
    conf.write_text(TINYPROXY_CONF.format(port=port, auth=f"BasicAuth {auth}" if auth else ""))
    prog = Program([tool("tinyproxy"), "-d", "-c", str(conf)])
    try:
        wait_accepting(port)
    except BaseException:
        prog.kill()
        raise
    prog.url = f"http://127.0.0.1:{port}"
    return prog


@pytest.fixture(scope="module")
def proxies(tmp_path_factory):
    """Two tinyproxies: .open without credentials, .guarded asking user:s3cret."""
    tmp = tmp_path_factory.mktemp("tinyproxy")
    started = []
    try:
        started.append(start_tinyproxy(tmp))
        started.append(start_tinyproxy(tmp, "user s3cret"))
        yield type("Proxies", (), {"open": started[0], "guarded": started[1]})
    finally:
        for prog in started:
            prog.stop()


def tunnels(proxy, start):
    """The CONNECT requests a tinyproxy logged from index `start` on."""
    time.sleep(0.1)
    return [line for line in proxy.lines[start:] if "Request" in line and "CONNECT" in line]


def test_https_through_a_proxy(proxies, tls_server, nginx_tls, certs):
    proxy = proxies.open
    env = {"HTTPS_PROXY": proxy.url}
    for origin, path, expect in ((tls_server.tls_url, "/", b"hello from velmora\n"),
                                 (nginx_tls.origin, "/a.txt", b"static file a\n")):
        for args, status in (((), b"HTTP/2 200 OK\n"), (("--http1.1",), b"HTTP/1.1 200 OK\n")):
            mark = proxy.mark()
            r = client_tls(certs, *args, f"{origin}{path}", "--repeat", "3", "-v", env=env)
            assert r.returncode == 0, r.stderr
            assert r.stdout.count(status) == r.stdout.count(b"\n\n" + expect) == 3
            assert connections(r.stdout) == 1
            assert b"tunnel to 127.0.0.1:" in r.stderr
            port = origin.rsplit(":", 1)[1]
            assert [f"CONNECT 127.0.0.1:{port} " in line for line in tunnels(proxy, mark)] == [True]

    # NO_PROXY sends the request around the proxy.
    mark = proxy.mark()
    r = client_tls(certs, f"{tls_server.tls_url}/", "-v", env={**env, "NO_PROXY": "127.0.0.1"})
    assert r.returncode == 0, r.stderr
    assert r.stdout.endswith(b"hello from velmora\n")
    assert b"proxy" not in r.stderr and tunnels(proxy, mark) == []

    # A tunnel the proxy cannot open is a one-line error naming the status.
    dead = free_port()
    r = client_tls(certs, f"https://127.0.0.1:{dead}/", env=env)
    assert r.returncode == 1
    err = r.stderr.decode().strip()
    assert "\n" not in err and f"refused the tunnel to 127.0.0.1:{dead}: 500" in err, err


def test_https_through_a_proxy_with_credentials(proxies, tls_server, certs):
    proxy = proxies.guarded
    url = f"{tls_server.tls_url}/"
    with_user = proxy.url.replace("http://", "http://user:s3cret@")
    for args in ((), ("--http1.1",)):
        r = client_tls(certs, *args, url, "--repeat", "2", env={"https_proxy": with_user})
        assert r.returncode == 0, r.stderr
        assert r.stdout.count(b"hello from velmora\n") == 2
        assert connections(r.stdout) == 1
    for proxy_url, hint in ((proxy.url, "user:password@"),
                            (proxy.url.replace("http://", "http://user:wrong@"), "refused")):
        r = client_tls(certs, url, env={"HTTPS_PROXY": proxy_url})
        assert r.returncode == 1
        err = r.stderr.decode().strip()
        assert "\n" not in err and "407" in err and hint in err, err


def test_unsupported_proxies_are_named(tls_server, certs):
    for proxy in ("https://127.0.0.1:3128", "socks5://127.0.0.1:1080"):
        r = client_tls(certs, f"{tls_server.tls_url}/", env={"HTTPS_PROXY": proxy})
        assert r.returncode == 1
        err = r.stderr.decode().strip()
        scheme = proxy.split(":")[0]
        assert "\n" not in err and f"{scheme}://" in err and "not supported" in err, err


def test_connect_request_and_a_proxy_that_talks_past_its_answer(certs):
    # A proxy that answers 2xx and sends bytes of its own before the client has
    # said anything: those cannot be the origin's (TLS has not begun), so the
    # client refuses the tunnel instead of feeding them to the handshake.
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(10)
    seen = []

    def serve():
        try:
            conn, _ = listener.accept()
            with conn:
                conn.settimeout(10)
                data = b""
                while b"\r\n\r\n" not in data:
                    data += conn.recv(4096)
                seen.append(data)
                conn.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n\x16\x03\x01junk")
                conn.recv(4096)
        except OSError:
            pass

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    try:
        port = listener.getsockname()[1]
        r = client_tls(certs, "https://origin.test:8443/",
                       env={"HTTPS_PROXY": f"http://u%20v:p@127.0.0.1:{port}"})
    finally:
        listener.close()
        thread.join(5)
    assert r.returncode == 1
    err = r.stderr.decode().strip()
    assert "\n" not in err and "after its answer to CONNECT" in err, err
    head = seen[0].decode().lower().split("\r\n")
    assert head[0] == "connect origin.test:8443 http/1.1"
    assert "host: origin.test:8443" in head
    assert "proxy-authorization: basic dsb2ona=" in head  # "u v:p", lowered
