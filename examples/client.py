#!/usr/bin/env python3
"""An HTTP/1.1 and HTTP/2 client on velmora's connection states, cleartext or TLS.

    examples/client.py URL [URL...] [-X METHOD] [-d DATA] [-H "name: value"]...
                       [--h2c | --http1.1] [--cacert FILE] [-k] [--repeat N]
                       [--concurrency K] [--wait S] [-v]

Written as the model for velmora's client drivers: one `H1ClientState` per
connection decides who holds the connection, whether it can be reused and
what an idle connection's read means; this file only waits, reads and writes.
Up to K requests (--concurrency) run at once: over HTTP/1.1 on as many pooled
connections. Over HTTP/2 every origin gets one connection, on the driver in
h2_driver.py, and the requests run on it as streams; a request the server's
GOAWAY (or REFUSED_STREAM) turned away is retried on a new connection.

- http:// URLs speak HTTP/1.1, or HTTP/2 with prior knowledge with --h2c.
- https:// URLs speak TLS and the protocol the server picks by ALPN: h2 is
  offered first (--http1.1 offers only HTTP/1.1). The certificate is checked
  against the system's CAs, or those of --cacert FILE; -k skips the check.
- Connections are pooled per origin and protocol and reused while the server
  keeps them alive. Between requests an idle watcher reads from each pooled
  HTTP/1.1 connection, so a server that closed it (or sent stray bytes) is
  noticed before the next request is written on it.
- A request body (-d DATA, or -d @FILE) is sent by its own writer task.
- The proxy comes from the environment (HTTP_PROXY, HTTPS_PROXY, NO_PROXY, ...)
  through `ProxyMatcher`. A plain-HTTP request through a proxy is sent in
  absolute form; for an https:// URL the client asks the proxy for a tunnel
  with CONNECT (on an `H1ClientState`, whose 2xx answer hands the connection
  over), then runs TLS inside it. Credentials in the proxy URL become a
  Proxy-Authorization header. Only http:// proxies are supported. HTTP/2 with
  prior knowledge always goes straight to the origin.

- ws:// and wss:// URLs open a WebSocket instead (ws_client.py): --ws-message
  TEXT is sent --repeat N times, each echo awaited, then the close handshake;
  over HTTP/1.1 (Upgrade), or over HTTP/2 (extended CONNECT) with --ws-h2
  (--h2c for ws://) when the server allows it; --ws-no-deflate offers no
  compression.

Prints the status line, the headers with -v, and the body (with a newline
added when it lacks one), then the trailers with -v, each response as it
completes. When more than one request was made it ends with
"connections opened: N".
"""

import asyncio
import ssl
import sys
from collections import deque
from typing import NamedTuple

import velmora._velmora as v
from h2_driver import CONN_DONE, SLOT_FREED, GoAwayRefused, H2Connection, Stream, copy_error
from shared import (IDEMPOTENT, client_parser, client_request, connect_fields, idle_read_done,
                    merge_headers, proxy_address, show_response, stderr_log, tunnel_refusal,
                    url_parts)
from tls import H2, HTTP11, client_context, describe_failure
from wire import connect
import ws_client

WRITE_PIECE = 64 * 1024
PROG = "client.py"


class RequestUnsent(Exception):
    """The connection died before the request was written: safe to retry
    elsewhere."""


class ClientConnection(v.H1ClientState):
    __slots__ = ("wire", "name", "log", "reused")

    @classmethod
    async def open(cls, host, port, name, log):
        return cls.start_on(await connect(host, port), name, log)

    @classmethod
    def start_on(cls, wire, name, log):
        """The state of a connection already open on `wire`."""
        conn = cls(v.H1Codec(), wire)
        conn.wire = wire
        conn.name = name
        conn.log = log
        conn.reused = False
        return conn

    async def exchange(self, method, target, headers, body):
        """One request and its response on this (claimed) connection."""
        # The pool claimed the slot with try_begin_exchange.
        wire, watcher_done = self.begin_send()
        if wire is None:
            self.end_exchange()
            raise RequestUnsent("connection closed")
        codec = self.codec
        try:
            head = codec.serialize_request(
                method, target, headers, http10=self.peer_http10,
                content_length=len(body) if body is not None else None)
            self.exchange_started()
            wire.write(head)
            if body:
                writer = asyncio.ensure_future(self.write_body(wire, body))
                refused = self.store_writer(writer)
                if refused is not None:
                    refused.cancel()
                    raise v.ConnectionClosedError("connection closed")
            else:
                self.writer_done()
            head, decoder = await self.read_head(wire, watcher_done)
            if head.http10:
                self.set_peer_http10(True)
            if head.is_upgrade:
                return head, self.switched()
            body_in = await self.read_body(wire, decoder)
            _trailers, extra = decoder.finish()
            # Bytes past the response mean the server does not frame as we do.
            keep = head.wants_keep_alive and extra == 0
            _reuse, _fully_sent, dead = self.finish_exchange(keep)
            if dead is not None:
                dead.close()
            return head, body_in
        except BaseException as exc:
            dead = self.fail(copy_error(exc))
            if dead is not None:
                dead.abort()
            raise
        finally:
            writer = self.take_writer()
            if writer is not None:
                writer.cancel()
                await asyncio.gather(writer, return_exceptions=True)
            self.end_exchange()

    def switched(self):
        """101, or a 2xx to CONNECT: the connection is no longer HTTP/1.1. This client
        speaks nothing else over it: hand the transport off (the state never returns
        it again) and close it."""
        self.upgrade().close()
        return b""

    async def write_body(self, wire, body):
        codec = self.codec
        pieces = [body] if len(body) <= WRITE_PIECE else (
            body[i:i + WRITE_PIECE] for i in range(0, len(body), WRITE_PIECE))
        for piece in pieces:
            wire.write(codec.serialize_data(piece))
            if wire.must_drain:
                await wire.drain()
        wire.write(codec.serialize_end())
        self.writer_done()

    async def read_head(self, wire, watcher_done):
        codec = self.codec
        data = None
        if watcher_done is not None:
            # The idle watcher's read is in flight: it is this response's first
            # read (one reader per transport).
            await watcher_done.wait()
            handle, data, error = self.take_watcher_handoff()
            if handle is not None:
                await handle
            if error is not None:
                raise v.ConnectionClosedError(str(error)) from error
            if not data:
                raise v.H1IncompleteMessageError(
                    "connection closed before message completed")
        head = codec.receive_head(data) if data else None
        while head is None:
            data = await wire.read()
            if not data:
                raise v.H1IncompleteMessageError(
                    "connection closed before message completed")
            head = codec.receive_head(data)
        decoder = v.H1BodyDecoder(head.body_kind, head.content_length or 0)
        if not head.is_upgrade:
            # Past a protocol switch the bytes belong to the next protocol: they
            # stay in the codec for whoever takes the connection over.
            codec.take_body_into(decoder)
        return head, decoder

    async def read_body(self, wire, decoder):
        parts = []
        while True:
            chunk = decoder.decode()
            if chunk:
                parts.append(chunk)
                continue
            if decoder.is_complete:
                return b"".join(parts)
            data = await wire.read()
            if data:
                decoder.feed(data)
            else:
                decoder.mark_eof()

    # Between exchanges.

    def watch_idle(self):
        done = asyncio.Event()
        if not self.arm_watcher(done):
            return
        task = asyncio.ensure_future(self.idle_watch(done))
        refused = self.store_watcher_handle(task)
        if refused is not None:
            refused.cancel()

    async def idle_watch(self, done):
        try:
            wire = self.transport_ref()
            if wire is None:
                self.watcher_aborted()
                return
            try:
                data, error = await wire.read(), None
            except OSError as exc:
                data, error = None, exc
            idle_read_done(self, data, error)
        finally:
            done.set()

    async def close(self):
        wire, done, writer, idle = self.mark_closed()
        if wire is not None:
            if idle:
                wire.close()
            else:
                wire.abort()
        if done is not None:
            await done.wait()
        handle = self.take_watcher_handle()
        if handle is not None:
            await handle
        self.take_watcher_result()
        if writer is not None:
            writer.cancel()
            await asyncio.gather(writer, return_exceptions=True)


# HTTP/2: many requests at once on one connection per origin.

# Our SETTINGS: no server push; responses arrive under 1 MiB stream windows.
H2_CLIENT = dict(initial_window_size=1 << 20, connection_window=1 << 24, max_frame_size=16384,
                 max_header_list_size=65536, max_send_buf_size=65536, enable_push=False)


class H2ClientConnection(H2Connection):
    __slots__ = ("name", "scheme", "authority", "ready", "slots", "closer")

    @classmethod
    async def open(cls, host, port, authority, name, log):
        """HTTP/2 with prior knowledge on a new cleartext connection."""
        return cls.start_on(await connect(host, port), "http", authority, name, log)

    @classmethod
    def start_on(cls, wire, scheme, authority, name, log):
        """Start HTTP/2 on `wire`, open to the origin (TLS for https)."""
        conn = cls("client", **H2_CLIENT)
        conn.setup(wire, log)
        conn.name = name
        conn.scheme = scheme
        conn.authority = authority
        conn.ready = asyncio.Event()  # the server's first SETTINGS arrived
        conn.slots = asyncio.Event()  # a concurrency slot may have come free
        conn.start()
        conn.closer = asyncio.ensure_future(conn.close_when_over())
        return conn

    async def close_when_over(self):
        await self.over.wait()
        await self.close()

    def on_ready(self):
        self.ready.set()

    def on_flags(self, flags):
        if flags & (SLOT_FREED | CONN_DONE):
            self.slots.set()
        if flags & CONN_DONE:
            self.ready.set()
            self.over.set()

    def refused(self):
        """Why no stream can open here: a GOAWAY (retry elsewhere) or the stored error."""
        if self.goaway_info() is not None and not self.is_failed():
            raise GoAwayRefused(f"connection {self.name} is going away")
        stored = self.conn_error()
        if stored is not None:
            raise copy_error(stored) from stored
        raise v.ConnectionClosedError("connection closed")

    async def request(self, method, target, headers, body):
        """One exchange on its own stream: (head, body, trailers)."""
        await self.ready.wait()
        while not self.try_claim_slot():
            if self.is_closed():
                self.refused()
            self.slots.clear()
            await self.slots.wait()
        s = Stream()
        sid = self.open_stream(method, target, headers, not body,
                               method == "HEAD", s, scheme=self.scheme,
                               authority=self.authority)
        if sid is None:
            self.refused()
        s.id = sid
        self.log(f"connection {self.name}: stream {sid}: {method} {target}")
        self.wake.set()
        writer = asyncio.ensure_future(self.write_body(s, body)) if body else None
        try:
            while s.head is None:
                if s.eof:
                    self.raise_stop(s, s.stop) if s.stop else self.refused()
                s.readable.clear()
                await s.readable.wait()
            self.log(f"connection {self.name}: stream {sid}: {s.head.status}")
            parts = []
            while piece := await self.read(s):
                parts.append(piece)
            return s.head, b"".join(parts), s.trailers
        except BaseException:
            # Nobody reads this stream any more: cancel it, give its window back.
            verdict = self.aclose_body(sid)
            self.apply(verdict.flags)
            raise
        finally:
            if writer is not None:
                if not writer.done():
                    writer.cancel()
                await asyncio.gather(writer, return_exceptions=True)

    async def write_body(self, s, body):
        self.writer_begin()
        try:
            await self.send_body(s, body, True)
        finally:
            self.writer_finish()

    async def shutdown(self):
        """Done with the connection: GOAWAY, flush, close, join the pumps."""
        if not self.is_failed():
            self.apply(self.send_goaway(0))
        self.over.set()
        await self.closer


class H2Pool:
    """One HTTP/2 connection per origin; a connection going away is replaced."""

    def __init__(self, dial, log):
        self.conns = {}
        self.retired = []
        self.opened = 0
        self.dial = dial
        self.log = log

    async def get(self, key, authority):
        opening = self.conns.get(key)
        if opening is None:
            self.opened += 1
            over = "h2" if key.scheme == "https" else "h2c"
            self.log(f"connecting to {key.host}:{key.port} over {over} (connection {self.opened})")
            opening = self.conns[key] = asyncio.ensure_future(
                self.open(key, authority, self.opened))
        conn = await opening
        if not conn.is_closed():
            return conn
        if self.conns.get(key) is opening:  # the first to notice replaces it
            self.retired.append(conn)
            del self.conns[key]
        return await self.get(key, authority)

    async def open(self, key, authority, name):
        wire = await self.dial(key, name)
        return H2ClientConnection.start_on(wire, key.scheme, authority, name, self.log)

    async def close(self):
        opened = [t.result() for t in self.conns.values() if t.done() and not t.exception()]
        for conn in opened + self.retired:
            await conn.shutdown()
        self.conns.clear()


class Pool:
    """Idle keep-alive connections per origin (or per proxy)."""

    def __init__(self, dial, log):
        self.idle = {}
        self.opened = 0
        self.dial = dial
        self.log = log

    async def acquire(self, key):
        conns = self.idle.setdefault(key, [])
        while conns:
            conn = conns.pop()
            if not conn.is_dead() and conn.try_begin_exchange():
                conn.reused = True
                self.log(f"reusing connection {conn.name} to {key.host}:{key.port}")
                return conn
            await conn.close()
        self.opened += 1
        name = self.opened
        self.log(f"connecting to {key.host}:{key.port} (connection {name})")
        conn = ClientConnection.start_on(await self.dial(key, name), name, self.log)
        conn.try_begin_exchange()
        return conn

    def release(self, key, conn):
        if conn.is_dead():
            return asyncio.ensure_future(conn.close())
        conn.watch_idle()
        self.idle.setdefault(key, []).append(conn)
        return None

    async def close(self):
        for conns in self.idle.values():
            for conn in conns:
                await conn.close()
        self.idle.clear()


# Connection setup: TCP, a CONNECT tunnel through a proxy, TLS.


class Key(NamedTuple):
    """What a pooled connection leads to; connections are pooled per key and protocol."""

    scheme: str  # "https": TLS to host:port
    host: str  # the origin, or an HTTP proxy taking absolute-form requests
    port: int
    tunnel: tuple | None = None  # (proxy host, proxy port, Proxy-Authorization or None)


class Route(NamedTuple):
    key: Key
    target: str  # origin form, or absolute form for an HTTP proxy
    authority: str
    headers: list  # Host, and Proxy-Authorization for an HTTP proxy


class ConnectFailed(Exception):
    """No connection to the origin: a proxy refused the tunnel, or TLS failed."""


class TunnelRequest(ClientConnection):
    """The CONNECT exchange with a proxy; on 2xx it keeps the tunnel's transport."""

    __slots__ = ("tunnel",)

    def switched(self):
        if self.codec.buffered:
            raise ConnectFailed("the proxy sent bytes after its answer to CONNECT, "
                                "before the TLS handshake")
        self.tunnel = self.upgrade()
        return b""


async def open_tunnel(wire, authority, auth, name, log):
    """CONNECT `authority` through the proxy on `wire`; the tunnel's wire on a 2xx."""
    req = TunnelRequest.start_on(wire, name, log)
    req.tunnel = None
    req.try_begin_exchange()
    try:
        head, _ = await req.exchange("CONNECT", authority, connect_fields(authority, auth), None)
    except BaseException:
        await req.close()
        raise
    if req.tunnel is not None:
        log(f"proxy {wire.peer}: {head.status}, tunnel to {authority} open")
        return req.tunnel
    await req.close()
    raise ConnectFailed(tunnel_refusal(head.status, wire.peer, authority, auth))


class Client:
    def __init__(self, log, tls=None, h2c=False):
        self.pool = Pool(self.dial, log)
        self.h2 = H2Pool(self.dial, log)
        self.proxies = v.ProxyMatcher.from_env()
        self.tls = tls  # the client SSLContext for https:// URLs
        self.h2c = h2c
        self.alpn = {}  # Key -> future: the protocol the origin chose by ALPN
        self.fresh = {}  # Key -> wires opened to learn it, not yet used
        self.log = log

    def route(self, url):
        """Where the request for `url` goes, and how it is written."""
        scheme, host, port, target, authority = url_parts(url, PROG)
        headers = [("host", authority)]
        # HTTP/2 with prior knowledge always goes straight to the origin.
        proxy = None if scheme == "http" and self.h2c else self.proxies.intercept(url)
        if proxy is None:
            return Route(Key(scheme, host, port), target, authority, headers)
        phost, pport, auth = proxy_address(proxy, self.log, PROG)
        if scheme == "https":
            return Route(Key(scheme, host, port, (phost, pport, auth)), target, authority, headers)
        if auth is not None:
            headers.append(("proxy-authorization", auth))
        return Route(Key(scheme, phost, pport), url, authority, headers)

    async def dial(self, key, name):
        """A new connection for `key`: TCP, the proxy's tunnel, TLS as the key says."""
        fresh = self.fresh.get(key)
        if fresh:
            return fresh.pop()
        if key.tunnel is None:
            wire = await connect(key.host, key.port)
        else:
            phost, pport, auth = key.tunnel
            host = f"[{key.host}]" if ":" in key.host else key.host
            self.log(f"CONNECT {host}:{key.port} through {phost}:{pport}")
            wire = await open_tunnel(await connect(phost, pport), f"{host}:{key.port}", auth,
                                     name, self.log)
        if key.scheme == "https":
            try:
                await wire.start_tls(self.tls, key.host)
            except (OSError, ssl.SSLError) as exc:
                wire.abort()
                raise ConnectFailed(describe_failure(exc, key.host, key.port)) from None
            self.log(f"TLS {wire.tls.version()} with {key.host}:{key.port}, "
                     f"ALPN {wire.tls.selected_alpn_protocol() or 'none'}")
            # The pools go by the first connection's choice: a later one must agree.
            chosen = self.alpn.get(key)
            if (chosen is not None and chosen.done() and chosen.exception() is None
                    and chosen.result() != wire.alpn):
                wire.close()
                raise ConnectFailed(f"{key.host}:{key.port} chose {wire.alpn} by ALPN, "
                                    f"earlier {chosen.result()}")
        return wire

    async def protocol(self, key):
        """"h2" or "http/1.1": for https, what the origin chose by ALPN on the first
        connection (which then serves the first request)."""
        if key.scheme != "https":
            return H2 if self.h2c else HTTP11
        known = self.alpn.get(key)
        if known is None:
            known = self.alpn[key] = asyncio.ensure_future(self.first_dial(key))
        return await known

    async def first_dial(self, key):
        wire = await self.dial(key, "first")
        self.fresh.setdefault(key, []).append(wire)
        return wire.alpn

    async def request(self, method, url, user_headers, body):
        """One exchange: (head, body, trailers or None, HTTP version)."""
        route = self.route(url)
        if await self.protocol(route.key) == H2:
            return *await self.request_h2(route, method, user_headers, body), "2"
        head, data = await self.request_h1(route, method, user_headers, body)
        return head, data, None, "1.0" if head.http10 else "1.1"

    async def request_h1(self, route, method, user_headers, body):
        key, target = route.key, route.target
        fields = merge_headers(route.headers, user_headers)
        for attempt in range(2):
            conn = await self.pool.acquire(key)
            reused = conn.reused
            try:
                result = await conn.exchange(method, target, fields, body)
            except RequestUnsent:
                await conn.close()
                continue
            except (v.H1IncompleteMessageError, v.ConnectionClosedError, ConnectionError):
                # A reused connection the server closed just as we wrote: retry an
                # idempotent request once on a fresh connection.
                await conn.close()
                if attempt == 0 and reused and method in IDEMPOTENT:
                    self.log("the server closed the connection under the request; retrying")
                    continue
                raise
            self.pool.release(key, conn)
            return result
        raise v.ConnectionClosedError("could not send the request")

    async def request_h2(self, route, method, user_headers, body):
        """The same over HTTP/2: (head, body, trailers)."""
        fields = v.HeaderMap([h for h in user_headers if h[0].lower() != "host"])
        for _ in range(3):
            conn = await self.h2.get(route.key, route.authority)
            try:
                return await conn.request(method, route.target, fields, body)
            except GoAwayRefused as exc:
                # Not processed by the server: safe to send again, on a new connection.
                self.log(f"{exc}; retrying")
            except v.H2StreamError as exc:
                if exc.args[1] != v.H2Reason.REFUSED_STREAM:
                    raise
                self.log(f"stream {exc.args[0]} refused by the server; retrying")
        raise v.ConnectionClosedError("the server kept refusing the request")

    async def close(self):
        await self.pool.close()
        await self.h2.close()
        for wires in self.fresh.values():
            for wire in wires:
                wire.close()

    @property
    def opened(self):
        return self.pool.opened + self.h2.opened


async def main(argv=None):
    parser = client_parser(__doc__)
    ws_client.add_options(parser)
    args = parser.parse_args(argv)
    if args.h2c and args.http11:
        parser.error("--h2c and --http1.1 exclude each other")
    if ws_client.check_urls(parser, args.urls):
        return await ws_client.main_async(
            args, lambda http11: client_context(args.cacert, args.insecure, http11),
            stderr_log(args.verbose), ClientConnection, H2ClientConnection, connect)
    try:
        tls = client_context(args.cacert, args.insecure, args.http11)
    except OSError as exc:
        parser.error(f"--cacert {args.cacert}: {exc}")
    log = stderr_log(args.verbose)
    args = client_request(args)
    method, body = args.method, args.body

    client = Client(log, tls, args.h2c)
    out = sys.stdout.buffer
    jobs = deque(url for _ in range(args.repeat) for url in args.urls)
    count = 0

    def show(head, data, trailers, version):
        show_response(out, head, data, trailers, version, args.verbose)

    async def worker():
        nonlocal count
        while jobs:
            url = jobs.popleft()
            if count and args.wait:
                await asyncio.sleep(args.wait)
            count += 1
            show(*await client.request(method, url, args.headers, body))

    try:
        workers = [asyncio.ensure_future(worker()) for _ in range(max(1, args.concurrency))]
        try:
            await asyncio.gather(*workers)
        finally:
            for w in workers:
                w.cancel()
            await asyncio.gather(*workers, return_exceptions=True)
    finally:
        await client.close()
    if count > 1:
        print(f"connections opened: {client.opened}", flush=True)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(asyncio.run(main()))
    except ConnectFailed as exc:
        print(f"client.py: {exc}", file=sys.stderr)
        sys.exit(1)
    except (v.VelmoraError, GoAwayRefused, OSError) as exc:
        print(f"client.py: {type(exc).__name__}: {exc}", file=sys.stderr)
        sys.exit(1)
