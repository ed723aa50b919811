#!/usr/bin/env python3
"""The example server's skeleton and routes on python h2, for bench/e2e_h2.py.

    bench/servers/h2_peer.py [--host H] [--port P] [--tls CERT KEY]

HTTP/2 over cleartext with prior knowledge, or over TLS (ALPN h2) with --tls. Same Wire, same connection
task per socket, same route functions as examples/server.py; only the HTTP/2
layer differs: h2's H2Connection, with a task per request stream, bodies
sent under flow control and received data acknowledged as the route reads
it. Upgrade and CONNECT are answered 501.
"""

import argparse
import asyncio
import signal
import sys
from pathlib import Path
from urllib.parse import parse_qsl

import h2.config
import h2.connection
import h2.events
import h2.exceptions

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
sys.path.insert(0, str(Path(__file__).resolve().parent))

from h1_peers import date, fields  # noqa: E402
from server import route  # noqa: E402
from tls import H2, server_context  # noqa: E402
from wire import Wire  # noqa: E402

CONFIG = h2.config.H2Configuration(client_side=False, header_encoding=None,
                                   validate_inbound_headers=True)


class Request:
    """What the routes use, over one h2 stream."""

    __slots__ = ("peer", "sid", "method", "path", "query", "headers", "chunks", "eof",
                 "readable", "window", "reset")

    def __init__(self, peer, sid, headers):
        self.peer = peer
        self.sid = sid
        pseudo = {}
        regular = {}
        for name, value in headers:
            if name.startswith(b":"):
                pseudo[name] = value
            else:
                regular[name.decode()] = value
        self.method = pseudo.get(b":method", b"GET").decode()
        target = pseudo.get(b":path", b"/").decode()
        path, _, query = target.partition("?")
        self.path = path
        self.query = dict(parse_qsl(query)) if query else {}
        self.headers = regular
        self.chunks = []
        self.eof = False
        self.readable = asyncio.Event()
        self.window = asyncio.Event()
        self.reset = False

    async def body(self):
        parts = []
        while True:
            if self.chunks:
                data, flow = self.chunks.pop(0)
                parts.append(data)
                self.peer.conn.acknowledge_received_data(flow, self.sid)
                self.peer.flush()
                continue
            if self.eof:
                return b"".join(parts)
            if self.reset:
                raise ConnectionError("stream reset")
            self.readable.clear()
            await self.readable.wait()

    async def respond(self, status, body=b"", headers=None):
        hdrs = [(b":status", b"%d" % status), *fields(headers),
                (b"content-length", b"%d" % len(body)), (b"date", date())]
        head_only = not body or self.method == "HEAD"
        self.peer.conn.send_headers(self.sid, hdrs, end_stream=head_only)
        self.peer.flush()
        if not head_only:
            await self.send(body, True)

    async def stream(self, status, chunks, headers=None, trailers=None):
        hdrs = [(b":status", b"%d" % status), *fields(headers), (b"date", date())]
        self.peer.conn.send_headers(self.sid, hdrs)
        self.peer.flush()
        async for chunk in chunks:
            if chunk:
                await self.send(chunk, False)
        if trailers is not None:
            self.peer.conn.send_headers(self.sid, fields(trailers), end_stream=True)
            self.peer.flush()
        else:
            await self.send(b"", True)

    async def send(self, data, end_stream):
        conn, sid, offset = self.peer.conn, self.sid, 0
        while True:
            if self.reset:
                raise ConnectionError("stream reset")
            window = conn.local_flow_control_window(sid)
            n = min(len(data) - offset, window, conn.max_outbound_frame_size)
            last = offset + n == len(data)
            if n > 0 or last:
                conn.send_data(sid, data[offset:offset + n], end_stream=end_stream and last)
                self.peer.flush()
                offset += n
                if last:
                    if self.peer.wire.must_drain:
                        await self.peer.wire.drain()
                    return
                continue
            self.window.clear()
            await self.window.wait()

    async def peer_closed(self):
        while not self.reset:
            self.window.clear()
            await self.window.wait()
        return True

    async def switch(self, status, headers, tunnel):
        await self.respond(501, b"not implemented\n")


class Peer:
    """One h2 connection: the read loop dispatches events; a task per request."""

    def __init__(self, wire):
        self.wire = wire
        self.conn = h2.connection.H2Connection(config=CONFIG)
        self.requests = {}
        self.tasks = set()

    def flush(self):
        data = self.conn.data_to_send()
        if data:
            self.wire.write(data)

    async def serve(self):
        conn = self.conn
        conn.initiate_connection()
        self.flush()
        try:
            while data := await self.wire.read():
                try:
                    events = conn.receive_data(data)
                except h2.exceptions.ProtocolError:
                    self.flush()
                    break
                for ev in events:
                    self.on_event(ev)
                self.flush()
                if self.wire.must_drain:
                    await self.wire.drain()
        except OSError:
            pass
        finally:
            for req in self.requests.values():
                req.reset = True
                req.readable.set()
                req.window.set()
            for task in list(self.tasks):
                task.cancel()
            self.wire.close()

    def on_event(self, ev):
        if isinstance(ev, h2.events.RequestReceived):
            req = self.requests[ev.stream_id] = Request(self, ev.stream_id, ev.headers)
            task = asyncio.ensure_future(self.handle(req))
            self.tasks.add(task)
            task.add_done_callback(self.tasks.discard)
        elif isinstance(ev, h2.events.DataReceived):
            req = self.requests.get(ev.stream_id)
            if req is None:
                self.conn.acknowledge_received_data(ev.flow_controlled_length, ev.stream_id)
            else:
                req.chunks.append((ev.data, ev.flow_controlled_length))
                req.readable.set()
        elif isinstance(ev, h2.events.StreamEnded):
            req = self.requests.get(ev.stream_id)
            if req is not None:
                req.eof = True
                req.readable.set()
        elif isinstance(ev, h2.events.WindowUpdated):
            if ev.stream_id == 0:
                for req in self.requests.values():
                    req.window.set()
            elif (req := self.requests.get(ev.stream_id)) is not None:
                req.window.set()
        elif isinstance(ev, h2.events.StreamReset):
            req = self.requests.pop(ev.stream_id, None)
            if req is not None:
                req.reset = True
                req.readable.set()
                req.window.set()
        elif isinstance(ev, h2.events.RemoteSettingsChanged):
            for req in self.requests.values():
                req.window.set()

    async def handle(self, req):
        try:
            await route(req)
        except (ConnectionError, h2.exceptions.StreamClosedError):
            pass
        finally:
            self.requests.pop(req.sid, None)


async def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"), help="serve over TLS")
    args = parser.parse_args(argv)
    tls = server_context(*args.tls, protocols=(H2,)) if args.tls else None

    loop = asyncio.get_running_loop()
    tasks = set()

    def accept(wire):
        task = asyncio.ensure_future(Peer(wire).serve())
        tasks.add(task)
        task.add_done_callback(tasks.discard)

    listener = await loop.create_server(lambda: Wire(accept), args.host, args.port, backlog=1024,
                                        ssl=tls)
    host, port = listener.sockets[0].getsockname()[:2]
    print(f"listening on {'https' if tls else 'http'}://{host}:{port}/", flush=True)
    stop = asyncio.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    listener.close()
    for task in list(tasks):
        task.cancel()
    return 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
