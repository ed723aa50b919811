"""The example client against nginx and against the example server."""

import re
import socket
import threading
import time

from conftest import client


def connections(out):
    return int(re.search(rb"connections opened: (\d+)", out).group(1))


def test_static_files_on_one_connection(nginx):
    r = client(f"{nginx.url}/a.txt", f"{nginx.url}/b.txt", f"{nginx.url}/big.bin",
               "--repeat", "2")
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(b"HTTP/1.1 200 OK\n") == 6
    assert r.stdout.count(b"static file a\n") == 2 and r.stdout.count(b"static file b\n") == 2
    assert r.stdout.count(bytes(range(256)) * 4096) == 2
    assert connections(r.stdout) == 1


def test_idle_close_by_nginx_is_noticed(nginx):
    # keepalive_timeout 1s: nginx closes the pooled connection during the pause,
    # and the idle watcher sees it before the second request is written.
    r = client(f"{nginx.url}/a.txt", "--repeat", "2", "--wait", "1.8", "-v")
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(b"static file a\n") == 2
    assert b"the server closed it while idle" in r.stderr
    assert b"reusing connection" not in r.stderr
    assert connections(r.stdout) == 2


def test_forward_proxy_from_the_environment(nginx, server):
    target = f"{server.url}/echo"
    env = {"HTTP_PROXY": nginx.proxy}
    r = client(target, "-d", "through the proxy", "-v", "--repeat", "2", env=env)
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(b"x-proxied-by: nginx\n") == 2
    assert r.stdout.count(b"through the proxy") == 2
    assert connections(r.stdout) == 1
    # nginx logged the absolute-form request line it received.
    time.sleep(0.2)
    assert f"POST {target} HTTP/1.1".encode() in nginx.access_log.read_bytes()

    # Credentials in the proxy URL (lower-case variable) become Proxy-Authorization.
    user_proxy = nginx.proxy.replace("http://", "http://user:p%40ss@")
    r = client(target, "-d", "x", "-v", env={"http_proxy": user_proxy})
    assert r.returncode == 0, r.stderr
    assert b"x-proxy-auth: Basic dXNlcjpwQHNz\n" in r.stdout  # user:p@ss

    # NO_PROXY names the destination: straight to the server.
    for no in ("127.0.0.1", "127.0.0.0/8", "*"):
        r = client(target, "-d", "direct", "-v", env={**env, "NO_PROXY": no})
        assert r.returncode == 0, r.stderr
        assert b"x-proxied-by" not in r.stdout
        assert r.stdout.endswith(b"\ndirect\n")


def test_client_against_the_example_server(server, tmp_path):
    body = b"0123456789" * 20000  # several write pieces
    (tmp_path / "body").write_bytes(body)
    r = client(f"{server.url}/echo", "-d", f"@{tmp_path / 'body'}", "--repeat", "3")
    assert r.returncode == 0, r.stderr
    assert r.stdout.count(body) == 3
    assert connections(r.stdout) == 1

    mark = server.mark()
    r = client(f"{server.url}/stream?chunks=5&size=10", f"{server.url}/", "-X", "GET", "-v")
    assert r.returncode == 0, r.stderr
    assert b"transfer-encoding: chunked\n" in r.stdout
    assert r.stdout.count(b"xxxxxxxxx\n") == 5
    assert connections(r.stdout) == 1
    # The client closing its pooled connection at exit is not the server closing it
    # (which this server does only when no request head comes in time).
    if b"the server closed it while idle" in r.stderr:
        server.wait_for("no request head within", start=mark, timeout=2)


def test_stray_bytes_on_an_idle_connection_are_not_taken_for_a_response():
    # A server that answers, then sends an unsolicited response on the idle
    # connection: the client must not read it as the answer to its next request.
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(10)
    port = listener.getsockname()[1]
    served = []

    def serve():
        try:
            for n in range(2):
                conn, _ = listener.accept()
                conn.settimeout(10)
                with conn:
                    conn.recv(65536)
                    body = b"answer %d" % n
                    conn.sendall(b"HTTP/1.1 200 OK\r\ncontent-length: %d\r\n\r\n%s" % (len(body), body))
                    served.append(n)
                    time.sleep(0.1)
                    conn.sendall(b"HTTP/1.1 200 OK\r\ncontent-length: 5\r\n\r\nstray")
                    time.sleep(1.0)
        except OSError:
            pass

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    try:
        r = client(f"http://127.0.0.1:{port}/", "--repeat", "2", "--wait", "0.8", "-v")
    finally:
        listener.close()
        thread.join(5)
    assert r.returncode == 0, r.stderr
    assert b"answer 0" in r.stdout and b"answer 1" in r.stdout
    assert b"stray" not in r.stdout
    assert b"sent bytes outside a response" in r.stderr
    assert connections(r.stdout) == 2
