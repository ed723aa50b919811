"""WebSockets end to end: both example servers' /ws echo and both example
clients' ws:// and wss:// URLs, against python's websockets library (client and
server, permessage-deflate on and off) and against hostile peers on raw sockets.

Over HTTP/1.1 the WebSocket comes by Upgrade, over HTTP/2 by extended CONNECT;
the server's log line for each WebSocket names the protocol it came over.
"""

import base64
import os
import socket
import ssl
import struct
import threading
import time
import zlib

import pytest
from conftest import client, threaded_client

websockets = pytest.importorskip("websockets")
from websockets.sync.client import connect as ws_connect  # noqa: E402
from websockets.sync.server import serve as ws_serve  # noqa: E402

TEXTS = ["", "a", "héllo wörld ✓ 🎉", "ж" * 5000]
BINARIES = [b"\x00", bytes(range(256)) * 4, os.urandom(200_000)]


def ws_url(prog):
    return f"ws://{prog.host}:{prog.port}/ws"


# ---------------------------------------------------------------------------
# The websockets library as the client.


@pytest.mark.parametrize("compression", ["deflate", None])
def test_websockets_client_against_the_servers(ws_server, compression):
    mark = ws_server.mark()
    with ws_connect(ws_url(ws_server), compression=compression, max_size=None) as ws:
        for message in TEXTS + BINARIES:
            ws.send(message)
            assert ws.recv() == message
        ws.ping(b"tick").wait(5)
        ws.close(1000, "done")
        assert ws.close_code == 1000  # the server answers with the code alone
    line = ws_server.wait_for(r"websocket /ws over HTTP/1.1 upgrade.*", start=mark).group(0)
    assert f"{len(TEXTS + BINARIES)} messages" in line and "close 1000 by the client" in line
    assert ("permessage-deflate" in line) == (compression is not None)


def test_websockets_client_over_tls(ws_server, certs):
    ctx = ssl.create_default_context(cafile=str(certs.ca))
    url = f"wss://{ws_server.host}:{ws_server.tls_port}/ws"
    with ws_connect(url, ssl=ctx) as ws:
        ws.send("über TLS")
        assert ws.recv() == "über TLS"


def test_a_get_without_upgrade_is_refused(ws_server):
    sock = socket.create_connection((ws_server.host, ws_server.port), timeout=5)
    with sock:
        sock.sendall(b"GET /ws HTTP/1.1\r\nhost: x\r\n\r\n"
                     b"GET /ws HTTP/1.1\r\nhost: x\r\nconnection: upgrade\r\nupgrade: websocket\r\n"
                     b"sec-websocket-key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                     b"sec-websocket-version: 8\r\n\r\n")
        seen = b""
        while seen.count(b"HTTP/1.1 ") < 2:
            chunk = sock.recv(4096)
            assert chunk, seen
            seen += chunk
    assert seen.startswith(b"HTTP/1.1 400 ")
    assert b"HTTP/1.1 426 " in seen and b"sec-websocket-version: 13" in seen.lower()


# ---------------------------------------------------------------------------
# The example clients against the example servers, both protocols.

CLIENTS = {"client.py": client, "threaded_client.py": threaded_client}


@pytest.mark.parametrize("name", sorted(CLIENTS))
def test_example_clients_over_both_protocols(ws_server, certs, name):
    run = CLIENTS[name]
    tls = f"wss://{ws_server.host}:{ws_server.tls_port}/ws"
    cases = [
        ([ws_url(ws_server)], "HTTP/1.1", "HTTP/1.1 upgrade"),
        (["--h2c", ws_url(ws_server)], "HTTP/2 stream 1", "HTTP/2 stream 1"),
        (["--cacert", str(certs.ca), tls], "HTTP/1.1", "HTTP/1.1 upgrade"),
        (["--cacert", str(certs.ca), "--ws-h2", tls], "HTTP/2 stream 1", "HTTP/2 stream 1"),
        (["--ws-no-deflate", "--ws-h2", "--cacert", str(certs.ca), tls], "HTTP/2 stream 1",
         "HTTP/2 stream 1"),
    ]
    for argv, client_how, server_how in cases:
        mark = ws_server.mark()
        r = run("--ws-message", "grüße ✓", "--repeat", "3", *argv)
        assert r.returncode == 0, r.stderr.decode()
        out = r.stdout.decode()
        assert out.count("< grüße ✓\n") == 3, out
        assert f"websocket over {client_how}" in out and "3 echoes, close 1000" in out, out
        assert ("permessage-deflate" in out) != ("--ws-no-deflate" in argv), out
        line = ws_server.wait_for(rf"websocket /ws over {server_how}.*", start=mark).group(0)
        assert "3 messages" in line and "close 1000 by the client" in line, line


# ---------------------------------------------------------------------------
# The websockets library as the server, the example clients against it.


@pytest.fixture(scope="module", params=["deflate", None])
def library_server(request):
    def echo(ws):
        for message in ws:
            ws.send(message)

    with ws_serve(echo, "127.0.0.1", 0, compression=request.param) as srv:
        thread = threading.Thread(target=srv.serve_forever, daemon=True)
        thread.start()
        srv.compression = request.param
        srv.port = srv.socket.getsockname()[1]
        yield srv
        srv.shutdown()
    thread.join(5)


@pytest.mark.parametrize("name", sorted(CLIENTS))
def test_example_clients_against_the_websockets_server(library_server, name):
    r = CLIENTS[name]("--ws-message", "ünïcode", "--repeat", "5",
                      f"ws://127.0.0.1:{library_server.port}/")
    assert r.returncode == 0, r.stderr.decode()
    out = r.stdout.decode()
    assert out.count("< ünïcode\n") == 5 and "5 echoes, close 1000" in out, out
    assert ("permessage-deflate" in out) == (library_server.compression is not None), out
    # Asked for HTTP/2, a server that speaks only HTTP/1.1 gets the upgrade.
    r = CLIENTS[name]("--h2c", "--ws-message", "x", f"ws://127.0.0.1:{library_server.port}/")
    assert r.returncode != 0 or "websocket over HTTP/1.1" in r.stdout.decode()


# ---------------------------------------------------------------------------
# Hostile peers on raw sockets.

KEY = base64.b64encode(b"0123456789abcdef").decode()


def raw_ws(prog, deflate=False):
    """A raw socket past the 101: (socket, bytes already read after the head)."""
    sock = socket.create_connection((prog.host, prog.port), timeout=5)
    ext = "sec-websocket-extensions: permessage-deflate\r\n" if deflate else ""
    sock.sendall((f"GET /ws HTTP/1.1\r\nhost: x\r\nconnection: upgrade\r\nupgrade: websocket\r\n"
                  f"sec-websocket-key: {KEY}\r\nsec-websocket-version: 13\r\n{ext}\r\n").encode())
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(4096)
        assert chunk, data
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 101 "), head
    assert (b"permessage-deflate" in head.lower()) == deflate
    return sock, rest


def frame(opcode, payload, fin=True, rsv=0, mask=True, length=None):
    """A client frame, masked unless told otherwise; `length` forces a header form."""
    b0 = (0x80 if fin else 0) | rsv | opcode
    n = len(payload)
    m = 0x80 if mask else 0
    if length == 127 or (length is None and n > 0xFFFF):
        head = struct.pack("!BBQ", b0, m | 127, n)
    elif length == 126 or (length is None and n > 125):
        head = struct.pack("!BBH", b0, m | 126, n)
    else:
        head = struct.pack("!BB", b0, m | n)
    if not mask:
        return head + payload
    key = os.urandom(4)
    return head + key + bytes(c ^ key[i % 4] for i, c in enumerate(payload))


def close_code(sock, rest=b""):
    """The code of the server's close frame, read up to the server's FIN."""
    data = rest
    sock.settimeout(5)
    while True:
        try:
            chunk = sock.recv(65536)
        except (ConnectionResetError, TimeoutError):
            break
        if not chunk:
            break
        data += chunk
    # Skip data frames (echoes) before the close.
    while data:
        b0, b1 = data[0], data[1]
        n, at = b1 & 0x7F, 2
        if n == 126:
            n, at = struct.unpack("!H", data[2:4])[0], 4
        elif n == 127:
            n, at = struct.unpack("!Q", data[2:10])[0], 10
        if b0 & 0x0F == 8:
            return struct.unpack("!H", data[at:at + 2])[0]
        data = data[at + n:]
    return None


VIOLATIONS = [
    ("reserved bit without an extension", frame(1, b"x", rsv=0x40), 1002),
    ("unknown opcode", frame(3, b"x"), 1002),
    ("fragmented ping", frame(9, b"x", fin=False), 1002),
    ("control frame over 125 octets", frame(9, b"x" * 126), 1002),
    ("continuation without a start", frame(0, b"x"), 1002),
    ("a new message inside a fragmented one", frame(1, b"a", fin=False) + frame(1, b"b"), 1002),
    ("non-minimal length", frame(2, b"x" * 10, length=126), 1002),
    ("unmasked frame", frame(1, b"x", mask=False), 1002),
    ("invalid UTF-8", frame(1, b"\xff\xfe"), 1007),
    ("UTF-8 split badly across frames", frame(1, b"\xe2\x82", fin=False) + frame(0, b"A"), 1007),
    ("close code 1005 on the wire", frame(8, struct.pack("!H", 1005)), 1002),
    ("close code in an unassigned range", frame(8, struct.pack("!H", 2000)), 1002),
    ("one-octet close", frame(8, b"\x03"), 1002),
    ("message over the limit", struct.pack("!BBQ", 0x82, 0xFF, 1 << 40) + b"mask", 1009),
]


def test_violations_get_their_close_codes(ws_server):
    for what, wire, code in VIOLATIONS:
        sock, rest = raw_ws(ws_server)
        with sock:
            sock.sendall(wire)
            assert close_code(sock, rest) == code, what
    # Data after our close is a violation too; the close itself is answered.
    sock, rest = raw_ws(ws_server)
    with sock:
        sock.sendall(frame(8, struct.pack("!H", 1000)))
        assert close_code(sock, rest) == 1000
    # The server is unharmed for the next client.
    with ws_connect(ws_url(ws_server)) as ws:
        ws.send("still here")
        assert ws.recv() == "still here"


def test_a_deflate_bomb_is_stopped_at_the_limit(ws_server):
    # 64 MiB of zeros deflate to about 64 KiB; the limit is 16 MiB.
    z = zlib.compressobj(9, zlib.DEFLATED, -15)
    bomb = z.compress(b"\0" * (64 << 20)) + z.flush(zlib.Z_SYNC_FLUSH)
    bomb = bomb[:-4]  # permessage-deflate drops the sync flush's tail
    sock, rest = raw_ws(ws_server, deflate=True)
    with sock:
        started = time.monotonic()
        sock.sendall(frame(2, bomb, rsv=0x40))
        assert close_code(sock, rest) == 1009
        assert time.monotonic() - started < 5


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


def test_a_client_that_never_reads_holds_bounded_memory(ws_server):
    sock, _ = raw_ws(ws_server)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 64 * 1024)
    message = frame(2, os.urandom(1 << 20))
    before = rss_kib(ws_server.proc.pid)
    sent = 0
    sock.settimeout(0.5)
    with sock:
        try:
            for _ in range(200):  # 200 MiB offered; the echo stalls long before that
                sock.sendall(message)
                sent += 1
        except (TimeoutError, socket.timeout):
            pass
        grown = rss_kib(ws_server.proc.pid) - before
        assert sent < 200, "the server kept reading while its echoes were not read"
        assert grown < 64 * 1024, f"the server grew by {grown} KiB"
    # Gone without a close: the server is still fine.
    with ws_connect(ws_url(ws_server)) as ws:
        ws.send(b"after")
        assert ws.recv() == b"after"


def test_a_client_that_stops_reading_then_resumes_gets_every_echo(ws_server):
    # The server stops reading while its echoes wait unsent, and starts again
    # once they drain: nothing is lost or reordered on the way.
    sock, rest = raw_ws(ws_server)
    payload = os.urandom(256 * 1024)
    count = 64
    expect = (b"\x82\x7f" + struct.pack("!Q", len(payload)) + payload) * count
    message = frame(2, payload)
    sender = threading.Thread(target=lambda: [sock.sendall(message) for _ in range(count)])
    with sock:
        sender.start()
        time.sleep(1.0)  # long enough for both sides' buffers to fill
        got = bytearray(rest)
        sock.settimeout(10)
        while len(got) < len(expect):
            chunk = sock.recv(1 << 20)
            assert chunk, f"closed after {len(got)} of {len(expect)} octets"
            got += chunk
        sender.join(10)
        assert bytes(got) == expect


# The asyncio server holds 1,000 in about 3 s here; the threaded one, a thread
# each, takes about 10 s for as many, so it is held to 300 for CI's time.
IDLE = {"server.py": 1000, "threaded_server.py": 300}


def test_many_idle_websockets_stay_open(ws_server):
    socks = []
    count = IDLE[os.path.basename(ws_server.argv[2])]
    try:
        for _ in range(count):
            socks.append(raw_ws(ws_server)[0])
        time.sleep(0.5)
        # Every one still answers.
        for sock in socks[:: count // 10]:
            sock.sendall(frame(1, b"ping?"))
        for sock in socks[:: count // 10]:
            assert sock.recv(64) == b"\x81\x05ping?"
    finally:
        for sock in socks:
            sock.close()
