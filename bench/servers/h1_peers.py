#!/usr/bin/env python3
"""The example server's skeleton and routes on h11 or on httptools, for bench/e2e_h1.py.

    bench/servers/h1_peers.py --impl h11|httptools [--host H] [--port P] [--tls CERT KEY]

Same Wire, same connection task per socket, same route functions as
examples/server.py; only the HTTP/1 layer differs. Upgrade and CONNECT are
answered 501 and trailers are left out: the benchmark does not use them.
With --tls the port speaks TLS (ALPN: http/1.1).
"""

import argparse
import asyncio
import collections
import email.utils
import http
import signal
import sys
import time
from urllib.parse import parse_qsl
from pathlib import Path

import h11
import httptools

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))

from server import route  # noqa: E402
from tls import HTTP11, server_context  # noqa: E402
from wire import Wire  # noqa: E402

_date = [0, b""]


def date():
    now = int(time.time())
    if now != _date[0]:
        _date[0], _date[1] = now, email.utils.formatdate(now, usegmt=True).encode()
    return _date[1]


_fields = {}


def fields(headers):
    """The route's HeaderMap as a list of (bytes, bytes), converted once per map."""
    if headers is None:
        return []
    got = _fields.get(id(headers))
    if got is None:
        got = _fields[id(headers)] = [(n.encode(), v) for n, v in headers.items()]
    return got


class Request:
    """What the routes use: method, path, query, headers, body, respond, stream."""

    __slots__ = ("method", "path", "query", "headers", "wire")

    def __init__(self, wire, method, target, headers):
        self.wire = wire
        self.method = method
        path, _, query = target.partition("?")
        self.path = path
        self.query = dict(parse_qsl(query)) if query else {}
        self.headers = headers

    async def peer_closed(self):
        await asyncio.Event().wait()

    async def switch(self, status, headers, tunnel):
        await self.respond(501, b"not implemented\n")


# ---------------------------------------------------------------------------
# h11


class H11Request(Request):
    __slots__ = ("conn",)

    def __init__(self, wire, conn, event):
        super().__init__(wire, event.method.decode(), event.target.decode(),
                         {n.decode(): v for n, v in event.headers})
        self.conn = conn

    async def body(self):
        conn, parts = self.conn, []
        while True:
            ev = conn.next_event()
            if ev is h11.NEED_DATA:
                if conn.they_are_waiting_for_100_continue:
                    self.wire.write(conn.send(h11.InformationalResponse(status_code=100,
                                                                        headers=[])))
                data = await self.wire.read()
                conn.receive_data(data)
            elif isinstance(ev, h11.Data):
                parts.append(ev.data)
            elif isinstance(ev, h11.EndOfMessage):
                return b"".join(parts)

    async def respond(self, status, body=b"", headers=None):
        conn = self.conn
        hdrs = fields(headers) + [(b"content-length", b"%d" % len(body)), (b"date", date())]
        out = conn.send(h11.Response(status_code=status, headers=hdrs))
        if body and self.method != "HEAD":
            out += conn.send(h11.Data(data=body))
        out += conn.send(h11.EndOfMessage())
        self.wire.write(out)
        if self.wire.must_drain:
            await self.wire.drain()

    async def stream(self, status, chunks, headers=None, trailers=None):
        conn, wire = self.conn, self.wire
        hdrs = fields(headers) + [(b"transfer-encoding", b"chunked"), (b"date", date())]
        wire.write(conn.send(h11.Response(status_code=status, headers=hdrs)))
        async for chunk in chunks:
            wire.write(conn.send(h11.Data(data=chunk)))
            if wire.must_drain:
                await wire.drain()
        wire.write(conn.send(h11.EndOfMessage()))


async def serve_h11(wire):
    conn = h11.Connection(h11.SERVER)
    while True:
        try:
            ev = conn.next_event()
        except h11.RemoteProtocolError:
            wire.write(b"HTTP/1.1 400 Bad Request\r\ncontent-length: 0\r\nconnection: close\r\n\r\n")
            break
        if ev is h11.NEED_DATA:
            data = await wire.read()
            conn.receive_data(data)
            continue
        if isinstance(ev, h11.Request):
            await route(H11Request(wire, conn, ev))
            # Skip a body the route did not read.
            while conn.their_state is h11.SEND_BODY:
                ev = conn.next_event()
                if ev is h11.NEED_DATA:
                    conn.receive_data(await wire.read())
            if conn.our_state is h11.DONE and conn.their_state is h11.DONE:
                conn.start_next_cycle()
                continue
        break
    wire.close()


# ---------------------------------------------------------------------------
# httptools


class Message:
    __slots__ = ("method", "url", "headers", "body", "keep_alive", "http10")


class Collector:
    """httptools callbacks: complete messages go into a queue."""

    def __init__(self, wire):
        self.wire = wire
        self.queue = collections.deque()
        self.msg = None
        self.parser = None

    def on_message_begin(self):
        self.msg = Message()
        self.msg.url = b""
        self.msg.headers = {}
        self.msg.body = []

    def on_url(self, url):
        self.msg.url += url

    def on_header(self, name, value):
        self.msg.headers[name.decode().lower()] = value

    def on_headers_complete(self):
        msg, p = self.msg, self.parser
        msg.method = p.get_method().decode()
        msg.keep_alive = p.should_keep_alive()
        msg.http10 = p.get_http_version() == "1.0"
        if msg.headers.get("expect", b"").lower() == b"100-continue":
            self.wire.write(b"HTTP/1.1 100 Continue\r\n\r\n")

    def on_body(self, body):
        self.msg.body.append(body)

    def on_message_complete(self):
        self.queue.append(self.msg)


class HTRequest(Request):
    __slots__ = ("msg",)

    def __init__(self, wire, msg):
        super().__init__(wire, msg.method, msg.url.decode(), msg.headers)
        self.msg = msg

    def _head(self, status, headers, framing):
        msg = self.msg
        version = b"HTTP/1.0" if msg.http10 else b"HTTP/1.1"
        lines = [b"%s %d %s\r\n" % (version, status, http.HTTPStatus(status).phrase.encode())]
        lines += [n + b": " + v + b"\r\n" for n, v in fields(headers)]
        lines.append(framing)
        if not msg.keep_alive:
            lines.append(b"connection: close\r\n")
        elif msg.http10:
            lines.append(b"connection: keep-alive\r\n")
        lines.append(b"date: " + date() + b"\r\n\r\n")
        return b"".join(lines)

    async def body(self):
        return b"".join(self.msg.body)

    async def respond(self, status, body=b"", headers=None):
        head = self._head(status, headers, b"content-length: %d\r\n" % len(body))
        self.wire.write(head + body if self.method != "HEAD" else head)
        if self.wire.must_drain:
            await self.wire.drain()

    async def stream(self, status, chunks, headers=None, trailers=None):
        wire = self.wire
        wire.write(self._head(status, headers, b"transfer-encoding: chunked\r\n"))
        async for chunk in chunks:
            wire.write(b"%X\r\n%s\r\n" % (len(chunk), chunk))
            if wire.must_drain:
                await wire.drain()
        wire.write(b"0\r\n\r\n")


async def serve_httptools(wire):
    sink = Collector(wire)
    sink.parser = parser = httptools.HttpRequestParser(sink)
    try:
        while True:
            while not sink.queue:
                data = await wire.read()
                if not data:
                    return
                parser.feed_data(data)
            msg = sink.queue.popleft()
            await route(HTRequest(wire, msg))
            if not msg.keep_alive:
                return
    except (httptools.HttpParserError, httptools.HttpParserUpgrade):
        wire.write(b"HTTP/1.1 400 Bad Request\r\ncontent-length: 0\r\nconnection: close\r\n\r\n")
    finally:
        wire.close()


# ---------------------------------------------------------------------------


async def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--impl", choices=("h11", "httptools"), required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"), help="serve over TLS")
    args = parser.parse_args(argv)
    tls = server_context(*args.tls, protocols=(HTTP11,)) if args.tls else None
    serve = serve_h11 if args.impl == "h11" else serve_httptools

    loop = asyncio.get_running_loop()
    tasks = set()

    def accept(wire):
        task = asyncio.ensure_future(serve(wire))
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
