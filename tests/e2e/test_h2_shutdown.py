"""HTTP/2 endings: graceful shutdown with streams in flight, in both roles, and
connections that fail in the middle of a body. Nothing may hang."""

import asyncio
import signal
import sys
import time

from conftest import EXAMPLES, Program, start_server
from h2raw import ACK, DATA, END_STREAM, GOAWAY, HEADERS, PING, H2Raw, frame, ping

MAX_STREAM_ID = 2**31 - 1


def start_client(*args):
    """The example client, verbose: its trace shows each stream as it opens and as
    its response head arrives (the first five streams are 1, 3, 5, 7, 9)."""
    return Program([sys.executable, "-u", str(EXAMPLES / "client.py"), "--h2c", "-v", *args])


def ended(prog, timeout=20):
    """The client's exit code and output lines, once it has exited."""
    prog.proc.wait(timeout)
    prog.reader.join(5)
    return prog.proc.returncode, prog.lines


def test_graceful_shutdown_as_the_peer_sees_it():
    server = start_server()
    try:
        c = H2Raw(server.port)
        c.handshake()
        assert c.get("/") == (200, b"hello from velmora\n")
        sid = c.new_sid()
        c.send(c.headers(sid, "/delay?ms=600"))
        time.sleep(0.1)
        server.proc.send_signal(signal.SIGTERM)
        # Phase 1: every stream may still arrive, and a PING marks this moment.
        got = c.frames_until(lambda f: f.kind == PING and not f.flags & ACK)
        goaways = [f for f in got if f.kind == GOAWAY]
        assert len(goaways) == 1 and goaways[0].error_code == 0
        assert int.from_bytes(goaways[0].payload[:4], "big") == MAX_STREAM_ID
        assert got[-1].payload == b"SHUTDOWN"
        # A request sent before the PING's answer is still served.
        late = c.new_sid()
        c.send(c.headers(late, "/"))
        c.send(ping(b"SHUTDOWN", ack=True))
        # Phase 2: the final GOAWAY names the last stream taken; the in-flight
        # streams finish; then the server closes.
        rest = c.frames_until(lambda f: False, timeout=10)
        assert c.eof
        final = [f for f in rest if f.kind == GOAWAY]
        assert len(final) == 1 and int.from_bytes(final[0].payload[:4], "big") == late
        ended = {f.sid for f in rest if f.kind in (DATA, HEADERS) and f.flags & END_STREAM}
        assert {sid, late} <= ended
        c.close()
        assert server.proc.wait(15) == 0
        server.wait_for("stopped")
    finally:
        server.kill()


def test_graceful_shutdown_with_the_example_client_mid_run():
    server = start_server()
    try:
        client = start_client(f"{server.url}/delay?ms=1200", "--repeat", "10",
                              "--concurrency", "5")
        try:
            # The first five streams are open on a connection the server took (the
            # client opens none before the server's SETTINGS): they are in flight.
            for sid in (1, 3, 5, 7, 9):
                client.wait_for(rf"stream {sid}: GET /delay")
            server.proc.send_signal(signal.SIGTERM)
            rc, lines = ended(client)
        finally:
            client.kill()
        # The streams in flight finished; the rest found the server going away
        # and its port closed: a clean error, not a hang.
        out = "\n".join(lines)
        assert out.count("HTTP/2 200 OK\n") >= 5 and out.count("\nwaited 1200 ms") >= 5, out
        assert rc == 0 or lines[-1].startswith("client.py: "), out
        assert server.proc.wait(15) == 0
    finally:
        server.kill()


def test_server_fails_mid_body():
    # The server dies while five streams are receiving large bodies: every
    # waiting reader wakes with the connection's error and the client exits.
    server = start_server()
    try:
        client = start_client(f"{server.url}/stream?chunks=100000&size=1000", "--repeat", "5",
                              "--concurrency", "5")
        try:
            for sid in (1, 3, 5, 7, 9):
                client.wait_for(rf"stream {sid}: 200")
            server.kill()
            rc, lines = ended(client, 10)
        finally:
            client.kill()
        out = "\n".join(lines)
        # One line for the error, no traceback, and no second connection tried.
        assert rc == 1, out
        assert lines[-1].startswith("client.py: ConnectionClosedError: "), out
        assert all(line.startswith("* ") for line in lines[:-1]), out
        assert out.count("connecting to") == 1, out
    finally:
        server.kill()


def test_client_fails_mid_body(server):
    # A client that vanishes halfway through its upload and its download: the
    # handlers waiting on it wake, the server goes on serving others.
    c = H2Raw(server.port, initial_window_size=1000)
    c.handshake()
    up, down = c.new_sid(), c.new_sid()
    c.send(c.headers(up, "/echo", method="POST", end_stream=False)
           + frame(DATA, 0, up, b"x" * 1000))
    c.send(c.headers(down, "/stream?chunks=100&size=1000"))
    c.frames_until(lambda f: f.kind == DATA and f.sid == down)
    mark = server.mark()
    c.sock.close()
    server.wait_for(rf"stream {up} stopped", start=mark)
    server.wait_for(rf"stream {down} stopped", start=mark)
    c = H2Raw(server.port)
    c.handshake()
    assert c.get("/") == (200, b"hello from velmora\n")
    c.close()


def test_failed_connection_wakes_every_waiter_with_its_error():
    # In process: the example client's connection fails while five streams
    # receive their bodies. Every reader raises the stored error (chained from
    # it), the pumps are joined exactly once, and a second close is a no-op.
    sys.path.insert(0, str(EXAMPLES))
    import client as example_client
    import server as example_server
    import velmora._velmora as v
    from wire import Wire

    async def main():
        loop = asyncio.get_running_loop()
        server = example_server.Server(head_timeout=0, quiet=True)
        listener = await loop.create_server(lambda: Wire(server.accept), "127.0.0.1", 0)
        port = listener.sockets[0].getsockname()[1]
        conn = await example_client.H2ClientConnection.open(
            "127.0.0.1", port, f"127.0.0.1:{port}", 1, lambda line: None)
        try:
            readers = [asyncio.ensure_future(conn.request(
                "GET", "/stream?chunks=100000&size=1000", v.HeaderMap(), None))
                for _ in range(5)]
            await asyncio.sleep(0.3)
            assert not any(r.done() for r in readers)
            conn.fail_connection(v.ConnectionClosedError("cut by the test"))
            results = await asyncio.wait_for(
                asyncio.gather(*readers, return_exceptions=True), 5)
            stored = conn.conn_error()
            assert stored.args == ("cut by the test",)
            for exc in results:
                assert type(exc) is v.ConnectionClosedError and exc.__cause__ is stored
            await asyncio.wait_for(conn.closer, 5)
            assert conn.take_read_handle() is None and conn.take_pump_handle() is None
            await asyncio.wait_for(conn.shutdown(), 1)
            # A request after the failure is refused with the same error at once.
            try:
                await asyncio.wait_for(conn.request("GET", "/", v.HeaderMap(), None), 1)
            except v.ConnectionClosedError as exc:
                assert exc.__cause__ is stored
            else:
                raise AssertionError("a failed connection served a request")
        finally:
            listener.close()
            await server.shutdown()

    asyncio.run(main())
