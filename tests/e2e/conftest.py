"""Harness for the end-to-end tests: real programs on loopback ports.

Every program is started by a fixture, found ready from its own output (or
its port accepting), and stopped at the end whatever happened: SIGTERM, then
SIGKILL after a grace period. Every wait is bounded.
"""

import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

# The caller's proxy settings (a developer's or CI's HTTP_PROXY, NO_PROXY,
# ...) never reach the programs these tests start: curl and the example
# client would send their requests to that proxy. A test that wants a proxy
# passes it in the program's own environment.
for _name in list(os.environ):
    if _name.lower().endswith("_proxy") or _name == "REQUEST_METHOD":
        del os.environ[_name]

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
HEAD_TIMEOUT = 1.5  # the example server's head-read deadline in these tests


class Program:
    """A child process whose output lines are collected as they arrive."""

    def __init__(self, argv, env=None):
        self.argv = argv
        self.lines = []
        self.cond = threading.Condition()
        self.proc = subprocess.Popen(
            argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            env=env, start_new_session=True)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            with self.cond:
                self.lines.append(raw.decode(errors="replace").rstrip("\n"))
                self.cond.notify_all()
        with self.cond:
            self.cond.notify_all()

    def wait_for(self, pattern, timeout=10.0, start=0):
        """The first match of `pattern` in an output line from index `start` on."""
        rx = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for line in self.lines[start:]:
                    if m := rx.search(line):
                        return m
                left = deadline - time.monotonic()
                if left <= 0 or (self.proc.poll() is not None and not self.reader.is_alive()):
                    raise AssertionError(
                        f"{Path(self.argv[1]).name}: no line matching {pattern!r} within "
                        f"{timeout} s; output:\n" + "\n".join(self.lines[-30:]))
                self.cond.wait(min(left, 0.2))

    def mark(self):
        """An index for wait_for(start=...): only lines printed from now on."""
        with self.cond:
            return len(self.lines)

    def stop(self, timeout=10.0):
        """SIGTERM, then SIGKILL when it does not exit in time; the exit code."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait(5)
        self.reader.join(5)
        return self.proc.returncode

    def kill(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait(5)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_accepting(port, timeout=10.0):
    deadline = time.monotonic() + timeout
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


def start_server(*extra, script="server.py"):
    prog = Program([sys.executable, "-u", str(EXAMPLES / script), "--port", "0",
                    "--head-timeout", str(HEAD_TIMEOUT), *extra])
    try:
        # --tls alone: the one port speaks TLS; with --tls-port a second one does.
        m = prog.wait_for(r"listening on https?://([\d.]+):(\d+)/")
        if "--tls-port" in extra:
            tls = prog.wait_for(r"listening on https://([\d.]+):(\d+)/")
    except BaseException:
        prog.kill()
        raise
    prog.host, prog.port = m.group(1), int(m.group(2))
    prog.url = f"http://{prog.host}:{prog.port}"
    if "--tls-port" in extra:
        prog.tls_port = int(tls.group(2))
        prog.tls_url = f"https://{prog.host}:{prog.tls_port}"
    elif "--tls" in extra:
        prog.tls_port, prog.tls_url = prog.port, f"https://{prog.host}:{prog.port}"
    return prog


@pytest.fixture(scope="module")
def server():
    prog = start_server()
    try:
        yield prog
    finally:
        rc = prog.stop()
    assert rc == 0, "the example server did not shut down cleanly:\n" + "\n".join(prog.lines[-20:])


@pytest.fixture(scope="module")
def threaded_server():
    prog = start_server(script="threaded_server.py")
    try:
        yield prog
    finally:
        rc = prog.stop()
    assert rc == 0, "the threaded server did not shut down cleanly:\n" + "\n".join(prog.lines[-20:])


def run(argv, timeout=20.0, env=None, input=None):
    """Run a program to its end, bounded; stdout and stderr as text."""
    return subprocess.run(argv, capture_output=True, timeout=timeout, env=env, input=input)


def curl(*args, timeout=15.0):
    exe = shutil.which("curl") or pytest.skip("curl is not installed")
    return run([exe, "-sS", "--max-time", str(timeout - 2), *args], timeout=timeout)


def client(*args, env=None, timeout=20.0, script="client.py"):
    base = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
    base.update(env or {})
    return run([sys.executable, str(EXAMPLES / script), *args], timeout=timeout, env=base)


def threaded_client(*args, env=None, timeout=20.0):
    return client(*args, env=env, timeout=timeout, script="threaded_client.py")


NGINX_CONF = """\
daemon off;
master_process off;
worker_processes 1;
pid {tmp}/nginx.pid;
error_log {tmp}/error.log info;
events {{ worker_connections 256; }}
http {{
    access_log {tmp}/access.log;
    client_body_temp_path {tmp}/body;
    proxy_temp_path {tmp}/proxy;
    fastcgi_temp_path {tmp}/fastcgi;
    uwsgi_temp_path {tmp}/uwsgi;
    scgi_temp_path {tmp}/scgi;
    types {{ text/plain txt; text/html html; }}
    default_type application/octet-stream;
    keepalive_timeout 1s;

    # Static files.
    server {{
        listen 127.0.0.1:{static_port};
        root {tmp}/www;
    }}

    # HTTP/2 over cleartext with prior knowledge; after 30 requests on one
    # connection nginx says GOAWAY, so a longer run sees one mid-way.
    server {{
        listen 127.0.0.1:{h2_port};
        http2 on;
        keepalive_requests 30;
        root {tmp}/www;
    }}

    # A forward proxy for plain HTTP: requests arrive in absolute form.
    server {{
        listen 127.0.0.1:{proxy_port};
        location / {{
            proxy_pass http://$http_host$request_uri;
            add_header x-proxied-by nginx always;
            add_header x-proxy-auth "$http_proxy_authorization" always;
        }}
    }}
}}
"""


@pytest.fixture(scope="module")
def nginx(tmp_path_factory):
    exe = shutil.which("nginx") or shutil.which("/usr/sbin/nginx")
    if exe is None:
        pytest.skip("nginx is not installed")
    tmp = tmp_path_factory.mktemp("nginx")
    www = tmp / "www"
    www.mkdir()
    (www / "a.txt").write_text("static file a\n")
    (www / "b.txt").write_text("static file b\n")
    (www / "big.bin").write_bytes(bytes(range(256)) * 4096)
    static_port, proxy_port, h2_port = free_port(), free_port(), free_port()
    conf = tmp / "nginx.conf"
    conf.write_text(NGINX_CONF.format(tmp=tmp, static_port=static_port, proxy_port=proxy_port,
                                      h2_port=h2_port))
    prog = Program([exe, "-e", str(tmp / "early.log"), "-p", str(tmp), "-c", str(conf)])
    try:
        wait_accepting(static_port)
        wait_accepting(proxy_port)
        wait_accepting(h2_port)
        prog.url = f"http://127.0.0.1:{static_port}"
        prog.h2_url = f"http://127.0.0.1:{h2_port}"
        prog.proxy = f"http://127.0.0.1:{proxy_port}"
        prog.root = www
        prog.access_log = tmp / "access.log"
        yield prog
    finally:
        prog.stop()


def tool(name):
    return shutil.which(name) or pytest.skip(f"{name} is not installed")


def nghttp(*args, timeout=20.0):
    return run([tool("nghttp"), "-t", str(int(timeout - 5)), *args], timeout=timeout)


def h2load(url, *args, timeout=60.0):
    """Run h2load; (succeeded, total) from its summary."""
    r = run([tool("h2load"), *args, url], timeout=timeout)
    out = r.stdout.decode()
    m = re.search(r"requests: (\d+) total, \d+ started, \d+ done, (\d+) succeeded", out)
    assert m, out + r.stderr.decode()
    return int(m.group(2)), int(m.group(1))


@pytest.fixture(scope="module")
def nghttpd(tmp_path_factory):
    """nghttpd without TLS serving a directory of static files."""
    exe = tool("nghttpd")
    www = tmp_path_factory.mktemp("nghttpd")
    (www / "a.txt").write_text("static file a\n")
    (www / "big.bin").write_bytes(bytes(range(256)) * 4096)
    port = free_port()
    prog = Program([exe, "--no-tls", "-d", str(www), str(port)])
    try:
        wait_accepting(port)
        prog.url = f"http://127.0.0.1:{port}"
        yield prog
    finally:
        prog.stop()


class Raw:
    """A raw client socket with bounded reads."""

    def __init__(self, port, timeout=5.0):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.timeout = timeout

    def send(self, data):
        self.sock.sendall(data)

    def read_until(self, needle, timeout=None):
        """Bytes up to and including `needle` (AssertionError on EOF or timeout)."""
        buf = b""
        deadline = time.monotonic() + (timeout or self.timeout)
        while needle not in buf:
            self.sock.settimeout(max(0.01, deadline - time.monotonic()))
            chunk = self.sock.recv(65536)
            if not chunk:
                raise AssertionError(f"EOF before {needle!r}; got {buf!r}")
            buf += chunk
        return buf

    def read_to_eof(self, timeout=None):
        """Everything until the server closes; raises on timeout."""
        buf = b""
        deadline = time.monotonic() + (timeout or self.timeout)
        while True:
            self.sock.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                chunk = self.sock.recv(65536)
            except ConnectionResetError:
                return buf
            if not chunk:
                return buf
            buf += chunk

    def close(self):
        self.sock.close()


@pytest.fixture
def raw(server):
    socks = []

    def connect(timeout=5.0):
        r = Raw(server.port, timeout)
        socks.append(r)
        return r

    yield connect
    for r in socks:
        r.close()


@pytest.fixture(scope="session")
def certs(tmp_path_factory):
    """A throw-away CA and a server certificate for 127.0.0.1 and localhost."""
    tool("openssl")
    if str(EXAMPLES) not in sys.path:
        sys.path.insert(0, str(EXAMPLES))
    from tls import make_certificates
    return make_certificates(tmp_path_factory.mktemp("certs"))


@pytest.fixture(scope="module")
def tls_server(certs):
    """The example server: cleartext on .url, TLS (ALPN h2, http/1.1) on .tls_url."""
    prog = start_server("--tls", str(certs.cert), str(certs.key), "--tls-port", "0")
    try:
        yield prog
    finally:
        rc = prog.stop()
    assert rc == 0, "the example server did not shut down cleanly:\n" + "\n".join(prog.lines[-20:])


@pytest.fixture(scope="module", params=["server.py", "threaded_server.py"])
def ws_server(request, certs):
    """Each example server in turn, cleartext on .url and TLS on .tls_url: the
    WebSocket tests run against both."""
    prog = start_server("--tls", str(certs.cert), str(certs.key), "--tls-port", "0",
                        script=request.param)
    try:
        yield prog
    finally:
        rc = prog.stop()
    assert rc == 0, "the server did not shut down cleanly:\n" + "\n".join(prog.lines[-20:])
