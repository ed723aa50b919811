#!/usr/bin/env python3
"""An HTTP/1.1 and HTTP/2 server on velmora's connection states, cleartext or TLS.

    examples/server.py [--host H] [--port P] [--head-timeout S] [--body-timeout S]
                       [--quiet] [--tls CERT KEY [--tls-port P]]

Written as the model for velmora's server drivers: every decision (is there a
next request, who reads the transport, may the connection be reused, does it
switch protocols, did the client go away) is one call on `H1ServerState`, or
on `H2Streams` for HTTP/2; this file only waits, reads and writes.

Both protocols share the port: a connection whose first bytes are the HTTP/2
client preface speaks HTTP/2 with prior knowledge (h2c), any other speaks
HTTP/1.1. With --tls the port speaks TLS instead (with --tls-port as well,
that second port does and --port stays cleartext): ALPN offers h2 and
http/1.1 and the client's choice decides; a client that offers neither gets
HTTP/1.1. The HTTP/2 connection runs on the driver in h2_driver.py, one task per
request stream; a stream error resets that stream, a connection error answers
GOAWAY with its code and closes.

A request body that makes no progress for --body-timeout seconds (default 30)
is abandoned: HTTP/1.1 answers 408 with Connection: close while no response
head went out, and closes; HTTP/2 answers 408 on the stream, or resets it with
CANCEL once a head went out. A response stream whose window the client keeps
shut as long is reset with CANCEL. A body that keeps moving is never cut.

Routes:
    GET  /                      "hello from velmora\\n"
    POST|PUT /echo              the request body (any framing)
    GET  /stream?chunks=N&size=S  a chunked body of N chunks of S bytes (HTTP/2:
                                a DATA frame each); &trailers=1 adds an x-chunks trailer
    GET  /delay?ms=N            answers after a pause
    Upgrade: echo               101, then every byte is echoed raw
    CONNECT                     200, then the same echo (both HTTP/1.1 only: 501
                                over HTTP/2)
    GET|CONNECT /ws             a WebSocket echo (ws_serve.py): HTTP/1.1 Upgrade, or
                                HTTP/2 extended CONNECT with :protocol websocket;
                                permessage-deflate when offered, unless ?deflate=0
    anything else               404

SIGINT or SIGTERM shut the server down gracefully: no new connections, the
responses in flight finish, idle connections close (HTTP/2: GOAWAY, then a
PING whose answer fixes the last stream served), then it exits 0.
"""

import asyncio
import signal
import sys

import velmora._velmora as v
from h2_driver import CONN_DONE, STOP_ACCEPTING, GoAwayRefused, H2Connection, Stream
from shared import (BODY_TIMEOUT, DELAY, ECHO, ECHO_UPGRADE, EMPTY_TEXT, H2_SERVER, HELLO,
                    HELLO_ROUTE, NOT_FOUND, OCTETS, STREAM, TEXT, TUNNEL, UPGRADE, WEBSOCKET,
                    BodyStalled, choose_route, delay_ms, describe, h1_route_failure,
                    h2_route_failure, listening_line, refusal, server_parser, server_ports,
                    split_target, stream_shape)
from tls import H2, HTTP11
from wire import Wire
from ws_serve import serve_async as serve_ws

GRACE_SECONDS = 10.0  # in-flight responses get this long at shutdown
TLS_CLOSE_SECONDS = 1.0  # how long a closing TLS connection waits for the peer's close_notify
DRAIN_SECONDS = 0.25  # an unread request body is skipped if it arrives within this
DRAIN_BYTES = 1 << 20  # and is not larger than this


# ---------------------------------------------------------------------------
# Routes: the table of shared.py, written against a small request interface
# (method, path, query, headers, body(), respond(), stream(), peer_closed(),
# switch()) that does not depend on the protocol, so another protocol's stream
# can serve them too.


async def hello(req):
    await req.respond(200, HELLO, TEXT)


async def echo(req):
    await req.respond(200, await req.body(), OCTETS)


async def stream(req):
    chunks, piece, trailers = stream_shape(req.query)

    async def body():
        for _ in range(chunks):
            yield piece
            await asyncio.sleep(0)  # as a real source would: let other connections run

    await req.stream(200, body(), TEXT, trailers)


async def delay(req):
    ms = delay_ms(req.query)
    pause = asyncio.ensure_future(asyncio.sleep(ms / 1000))
    gone = asyncio.ensure_future(req.peer_closed())
    await asyncio.wait((pause, gone), return_when=asyncio.FIRST_COMPLETED)
    if gone.done() and gone.result():
        pause.cancel()
        raise v.H1IncompleteMessageError("connection closed before message completed")
    gone.cancel()
    await req.respond(200, b"waited %d ms\n" % ms, TEXT)


async def echo_tunnel(wire, leftover):
    """After 101 or a CONNECT's 200: every byte comes back as it is."""
    wire.write(leftover)
    while data := await wire.read():
        wire.write(data)
        if wire.must_drain:
            await wire.drain()


async def route(req):
    name = choose_route(req.method, req.path, req.headers, req.protocol)
    if name == WEBSOCKET:
        return await serve_ws(req)
    if name == TUNNEL:
        return await req.switch(200, None, echo_tunnel)
    if name == UPGRADE:
        return await req.switch(101, ECHO_UPGRADE, echo_tunnel)
    if name in ROUTES:
        return await ROUTES[name](req)
    await req.respond(404, NOT_FOUND, TEXT)


ROUTES = {HELLO_ROUTE: hello, ECHO: echo, STREAM: stream, DELAY: delay}


# ---------------------------------------------------------------------------
# One request of an HTTP/1 connection.


class Request:
    protocol = None  # an HTTP/2 extended CONNECT's :protocol; none over HTTP/1.1
    __slots__ = ("conn", "head", "seq", "decoder", "method", "path", "query", "headers",
                 "body_ended", "window", "gone", "finished", "status", "received", "continued")

    def __init__(self, conn, head, seq, decoder):
        self.conn = conn
        self.head = head
        self.seq = seq
        self.decoder = decoder
        self.method = head.method
        self.path, self.query = split_target(head.target)
        self.headers = head.headers
        self.body_ended = False
        self.window = None  # asyncio.Event: the mid-message window is over
        self.gone = False  # the client closed its side mid-message
        self.finished = False  # the response is complete (or failed)
        self.status = 0  # what was answered, the body bytes read, and whether a
        self.received = 0  # "100 Continue" went out: for the log line
        self.continued = False

    # The body reader.

    async def read(self):
        """The next piece of the request body, b"" at its end."""
        conn, seq, decoder = self.conn, self.seq, self.decoder
        while True:
            chunk = decoder.decode()
            if chunk:
                self.received += len(chunk)
                return chunk
            if decoder.is_complete:
                if not self.body_ended:
                    self.body_ended = True
                    conn.end_body_read(seq, True)
                return b""
            # Nothing buffered: the body must come from the transport. A client
            # waiting for "100 Continue" gets it now, claimed under the same lock
            # as the response head, so the head can never overtake it.
            wire = conn.transport_ref()
            if conn.try_send_continue(seq) and wire is not None:
                wire.write(v.H1Codec.continue_response())
                self.continued = True
            if not conn.begin_body_read(seq):
                raise v.H1Error("the request body is no longer readable")
            limit = conn.server.body_timeout or None
            try:
                async with asyncio.timeout(limit):
                    data = await wire.read() if wire is not None else b""
            except TimeoutError:
                # The client stopped sending: the rest of the body will not be read.
                conn.mark_unusable()
                raise BodyStalled(f"no request body for {limit:g} s") from None
            except OSError:
                conn.mark_unusable()
                raise
            finally:
                conn.end_body_read(seq, False)
            if data:
                decoder.feed(data)
            else:
                decoder.mark_eof()

    async def body(self):
        parts = []
        while piece := await self.read():
            parts.append(piece)
        return b"".join(parts)

    # The response.

    def body_left_unread(self):
        """Whether the request body will still be unread when the response
        ends, past what the next request's drain skips: the client holds it
        back for a "100 Continue" that was never sent, or more of it is owed
        than the drain reads."""
        if self.body_ended or self.decoder.is_complete:
            return False
        head = self.head
        if head.expect_continue and not self.continued:
            return True
        if head.content_length is not None:
            owed = head.content_length - self.received - self.decoder.buffered
            return owed > DRAIN_BYTES
        return False

    def _head(self, status, headers, *, content_length=None, chunked=False,
              want=False):
        """Claim the response and encode its head: (head bytes, wire)."""
        conn, seq = self.conn, self.seq
        if self.body_left_unread():
            # The connection ends with this response: marked before the head, the
            # head says so (Connection: close) and the client does not reuse it.
            conn.mark_unusable()
        # The head step may arm the mid-message watcher when this response or an
        # earlier peer_closed() asked for it; it needs an event to report on.
        done = asyncio.Event() if want or self.window is not None else None
        while True:
            code, head, armed, wire = conn.respond_head(
                seq, status, headers, done, content_length=content_length,
                chunked=chunked, want=want)
            # H1_REQ_CONTINUE asks us to wait until the claimed "100 Continue" is
            # written before asking again. Here the reader writes it in the step
            # that claims it, on this same thread, so it is already queued ahead
            # of this head: ask again at once.
            if code != v.H1_REQ_CONTINUE:
                break
        if code == v.H1_REQ_PEER_CLOSED:
            raise v.H1IncompleteMessageError(
                "connection closed before message completed")
        if code != v.H1_REQ_OK:
            raise RuntimeError(f"respond_head answered {code}")
        self.status = status
        if armed:
            conn.spawn_watcher(self, done)
        if wire is None:
            raise v.ConnectionClosedError("connection closed")
        return head, wire

    async def respond(self, status, body=b"", headers=None):
        """A whole response with a body of known length, in one write."""
        head, wire = self._head(status, headers, content_length=len(body))
        wire.write(self.conn.codec.serialize_head_and_body(head, body))
        if wire.must_drain:
            await self._drain(wire)
        self.conn.finish(self)

    async def stream(self, status, chunks, headers=None, trailers=None):
        """A chunked response; the client going away is noticed while it runs."""
        codec = self.conn.codec
        head, wire = self._head(status, headers, chunked=True, want=True)
        wire.write(head)
        async for chunk in chunks:
            if self.gone:
                raise v.H1IncompleteMessageError("connection closed before message completed")
            wire.write(codec.serialize_data(chunk))
            if wire.must_drain:
                await self._drain(wire)
        wire.write(codec.serialize_trailers(trailers) if trailers else codec.serialize_end())
        self.conn.finish(self)

    async def _drain(self, wire):
        try:
            await wire.drain()
        except ConnectionError:
            raise v.H1IncompleteMessageError("connection closed before message completed") from None

    async def switch(self, status, headers, tunnel):
        """Answer 101 (or 2xx to CONNECT) and hand the raw connection to `tunnel`."""
        head, wire = self._head(status, headers)
        wire.write(head)
        self.conn.finish(self, tunnel)

    async def peer_closed(self):
        """True once the client closed its side while this request was open."""
        conn, seq = self.conn, self.seq
        verdict = conn.peer_closed_now(seq)
        if verdict is not None:
            return verdict
        if self.window is None:
            self.window = asyncio.Event()
        done = asyncio.Event()
        if conn.arm_watcher(seq, done, want=True):
            conn.spawn_watcher(self, done)
        await self.window.wait()
        return conn.peer_closed_flag(seq)

    def end_window(self):
        if self.window is not None:
            self.window.set()


# ---------------------------------------------------------------------------
# One HTTP/1 connection: the serve loop and the tasks around it.


class ServerConnection(v.H1ServerState):
    __slots__ = ("server", "wire", "tunnel")

    @classmethod
    def open(cls, server, wire):
        conn = cls(v.H1Codec(), wire, keep_alive=True, half_close=False)
        conn.server = server
        conn.wire = wire
        conn.tunnel = None
        return conn

    async def serve(self):
        server = self.server
        watchdog = None
        if server.head_timeout:
            watchdog = asyncio.ensure_future(self.head_read_watchdog(server.head_timeout))
        try:
            while (req := await self.next_request()) is not None:
                await self.handle(req)
                if self.tunnel is not None:
                    break
        finally:
            if watchdog is not None:
                watchdog.cancel()
            await self.close()
        if self.tunnel is not None:
            tunnel, wire, leftover = self.tunnel
            server.tunnels.add(wire)
            try:
                await tunnel(wire, leftover)
            except ConnectionError:
                pass
            finally:
                server.tunnels.discard(wire)
                wire.close()

    async def handle(self, req):
        server = self.server
        try:
            await route(req)
        except Exception as exc:
            why, answer, unusable = h1_route_failure(exc)
            server.log(f"{req.method} {req.head.target}: {why}")
            if unusable:
                # Before the answer's head, so that it carries Connection: close.
                self.mark_unusable()
            self.fail(req, answer=answer)
        else:
            if not req.finished:
                server.log(f"{req.method} {req.head.target}: the route gave no response")
                self.fail(req, answer=500)
            elif not server.quiet:
                server.log(describe(req, self.wire.peer))

    # Reading the next request.

    async def next_request(self):
        code, obj = self.begin_read()
        if code == v.H1_NEXT_DRAIN:
            # The previous body was left unread: skip it, or close.
            code, obj = self.drain_done(await self.drain())
        if code == v.H1_NEXT_NONE:
            return None
        if code == v.H1_NEXT_CLOSE:
            obj.close()
            return None
        if code == v.H1_NEXT_RAISE:
            raise RuntimeError("the previous response was not finished")
        if code in (v.H1_READ_SHUTDOWN, v.H1_READ_EOF):
            self.stop_serving()
            return None
        if code == v.H1_READ_PARSE:
            data = b""
        elif code == v.H1_READ_TRANSPORT:
            data = await self.read_idle(obj)
        else:
            # H1_READ_WATCHER: the mid-message watcher's read is this head's
            # first read.
            data = await self.watcher_read(obj)
        while data is not None:
            try:
                got = self.accept_head(data)
            except v.H1ParseError as exc:
                self.refuse(exc)
                return None
            if got is not None:
                return Request(self, *got)
            if self.closed:
                return None
            wire = self.transport_ref()
            data = await self.read_idle(wire) if wire is not None else None
        return None

    async def read_idle(self, wire):
        """One read for a request head; None when the connection ends here."""
        try:
            data = await wire.read()
        except OSError:
            data = b""
        if data:
            return data
        if not self.unpark_idle_read():
            # The client closed between requests (or in the middle of a head).
            self.stop_serving()
        return None

    async def watcher_read(self, done):
        await done.wait()
        handle = self.take_watcher_handle()
        if handle is not None:
            await handle
        data, _error = self.take_watcher_result()
        if data:
            return data
        if not self.unpark_idle_read():
            self.stop_serving()
        return None

    async def drain(self):
        """Skip the unread rest of the previous request body: True when it ended.

        Only what arrives promptly is read: a body still on its way after
        DRAIN_SECONDS, or larger than DRAIN_BYTES, costs the connection instead.
        """
        decoder = self.current_decoder()
        wire = self.transport_ref()
        if decoder is None or wire is None:
            return decoder is None
        loop = asyncio.get_running_loop()
        deadline = loop.time() + DRAIN_SECONDS
        budget = DRAIN_BYTES
        try:
            while True:
                while decoder.decode() is not None:
                    pass
                if decoder.is_complete:
                    return True
                left = deadline - loop.time()
                if left <= 0 or budget <= 0:
                    return False
                async with asyncio.timeout(left):
                    data = await wire.read()
                if not data:
                    return False
                budget -= len(data)
                decoder.feed(data)
        except (v.H1BodyError, OSError, TimeoutError):
            return False

    def refuse(self, exc):
        """A malformed head: answer the status the codec chose, then close."""
        status = self.codec.parse_error_status
        wire = self.fail_read()
        self.server.log(f"refused a request from {self.wire.peer}: {exc.args[-1]}")
        if wire is None:
            return
        if status:
            wire.write(refusal(self.codec, status))
        wire.close()

    async def head_read_watchdog(self, timeout):
        """Cut a connection whose client takes longer than `timeout` to send
        a head."""
        while True:
            expired, remaining, wire = self.head_read_overdue(timeout)
            if expired:
                self.server.log(f"{self.wire.peer}: no request head within "
                                f"{timeout:g} s, closing")
                if wire is not None:
                    wire.abort()
                return
            if self.closed:
                return
            await asyncio.sleep(remaining if remaining is not None else timeout)

    # The end of a response.

    def finish(self, req, tunnel=None):
        """The response is on the wire: reuse, close or switch protocols."""
        req.finished = True
        if self.close_window(req.seq):
            req.end_window()
        switch, close, wire, leftover = self.finish_response(req.seq)
        if switch:
            self.tunnel = (tunnel or echo_tunnel, wire, leftover)
        elif close and wire is not None:
            wire.close()

    def fail(self, req, answer=None):
        """The response failed: answer `answer` if no response was claimed
        yet, else drop the connection."""
        if answer is not None:
            if req.body_left_unread():
                self.mark_unusable()
            code, head, _, wire = self.respond_head(req.seq, answer, TEXT, None,
                                                    content_length=0)
            if code == v.H1_REQ_OK and wire is not None:
                wire.write(self.codec.serialize_head_and_body(head))
                self.finish(req)
                return True
        req.finished = True
        if self.close_window(req.seq):
            req.end_window()
        wire = self.fail_response(req.seq)
        if wire is not None:
            wire.abort()
        return False

    # The mid-message watcher: a read parked while the response is written, so
    # that a client closing its side is noticed.

    def spawn_watcher(self, req, done):
        task = asyncio.ensure_future(self.watch(req, done))
        refused = self.store_watcher_handle(task)
        if refused is not None:
            # The connection closed meanwhile: nobody else will join it.
            refused.cancel()

    async def watch(self, req, done):
        try:
            wire = self.transport_ref()
            if wire is None:
                self.watcher_aborted()
                return
            try:
                data, error = await wire.read(), None
            except OSError as exc:
                data, error = None, exc
            if self.watcher_completed(data, error):
                req.gone = True
                req.end_window()
        finally:
            done.set()

    async def close(self):
        """End the connection: close the transport, join the watcher."""
        wire, done, ended = self.mark_closed()
        if wire is not None:
            if ended:
                wire.close()
            else:
                wire.abort()
        if done is not None:
            await done.wait()
        handle = self.take_watcher_handle()
        if handle is not None:
            await handle
        self.take_watcher_result()


# ---------------------------------------------------------------------------
# HTTP/2: one request is one stream of an H2ServerConnection.

# Our SETTINGS (H2_SERVER) are in shared.py.


class H2Request:
    """The routes' request interface over one HTTP/2 stream."""

    __slots__ = ("conn", "s", "method", "target", "path", "query", "headers", "status",
                 "finished", "continued")

    def __init__(self, conn, s):
        head = s.head
        self.conn = conn
        self.s = s
        self.method = head.method
        self.target = head.path or ""
        self.path, self.query = split_target(self.target)
        self.headers = head.headers
        self.status = 0
        self.finished = False
        self.continued = False  # "100 Continue" went out: for the log line

    async def body(self):
        conn, s, parts = self.conn, self.s, []
        self._send_continue()
        while piece := await conn.read(s):
            parts.append(piece)
        return b"".join(parts)

    def _send_continue(self):
        """A client waiting for "100 Continue" gets it when the body is first read.

        Only while nothing of the body arrived and no response head went out. A
        response head queued meanwhile by another task or thread wins: the state
        then refuses the interim head (`refused`), which is fine, the client
        stops waiting when it sees the final one.
        """
        s = self.s
        expect = self.headers.get("expect")
        if (expect is None or expect.lower() != b"100-continue" or self.status or self.continued
                or s.eof or s.chunks or s.received):
            return
        conn = self.conn
        verdict = conn.send_response_head(s.id, 100, None, False)
        if verdict.flags:
            conn.apply(verdict.flags)
        # A stopped stream is reported by the read that follows.
        self.continued = not verdict.refused and verdict.stopped is None

    def _head(self, status, headers, end_stream):
        conn, sid = self.conn, self.s.id
        verdict = conn.send_response_head(sid, status, headers, end_stream)
        if verdict.flags:
            conn.apply(verdict.flags)
        if verdict.stopped is not None:
            conn.raise_stop(self.s, verdict.stopped)
        if verdict.handle is not None:
            # The response ended before the request body: the state reset the
            # stream (NO_ERROR) and its readers must see that.
            verdict.handle.halt(verdict.reader_stop)
        self.status = status

    async def respond(self, status, body=b"", headers=None):
        fields = v.HeaderMap(headers)
        fields["content-length"] = str(len(body))
        head_only = not body or self.method == "HEAD"
        self._head(status, fields, head_only)
        if not head_only:
            await self._send(body)
        self.finished = True

    async def stream(self, status, chunks, headers=None, trailers=None):
        """DATA frames as the chunks come, then END_STREAM or the trailers."""
        conn, s = self.conn, self.s
        head_only = self.method == "HEAD"
        self._head(status, headers, head_only)
        if not head_only:
            conn.writer_begin()
            try:
                async for chunk in chunks:
                    if chunk:  # an empty chunk is no frame
                        await conn.send_body(s, chunk, False)
                if trailers is not None:
                    verdict = conn.send_trailers(s.id, trailers)
                    conn.apply(verdict.flags)
                    if verdict.stopped is not None:
                        conn.raise_stop(s, verdict.stopped)
                    if verdict.handle is not None:
                        verdict.handle.halt(verdict.reader_stop)
                else:
                    await conn.send_body(s, b"", True)
            finally:
                conn.writer_finish()
        self.finished = True

    async def _send(self, data):
        conn = self.conn
        conn.writer_begin()
        try:
            await conn.send_body(self.s, data, True)
        finally:
            conn.writer_finish()

    async def peer_closed(self):
        """True once the client reset the stream (or the connection failed)."""
        await self.s.gone.wait()
        return True

    @property
    def protocol(self):
        return self.s.head.protocol

    async def switch(self, status, headers, tunnel):
        await self.respond(501, b"not implemented over HTTP/2\n", TEXT)


class H2ServerConnection(H2Connection):
    __slots__ = ("server", "tasks")

    @classmethod
    def open(cls, server, wire):
        conn = cls("server", **H2_SERVER)
        conn.setup(wire, server.log, server.body_timeout or None)
        conn.server = server
        conn.tasks = set()
        return conn

    async def serve(self, sniffed):
        """Run the connection from the sniffed first bytes (the client preface) on."""
        self.prime(sniffed)
        self.start()
        try:
            await self.over.wait()
        except asyncio.CancelledError:
            # Out of time at shutdown (a stream still waits for a window the client
            # never opens): drop the connection and every task on it.
            self.wire.abort()
            for task in (self.take_read_handle(), self.take_pump_handle(), *self.tasks):
                if task is not None:
                    task.cancel()
            raise
        await self.close()
        if self.tasks:
            await asyncio.wait(self.tasks, timeout=GRACE_SECONDS)

    def on_flags(self, flags):
        # The accept loop ends when the graceful shutdown is final and the last
        # stream is done; the connection when it failed or GOAWAYs were exchanged.
        if flags & (CONN_DONE | STOP_ACCEPTING):
            self.over.set()

    def shutdown(self):
        """GOAWAY and PING now; in-flight streams finish, then the connection ends."""
        self.apply(self.begin_graceful_shutdown())

    def take_spare(self):
        spare, self.spare = self.spare, None
        return spare or Stream()

    def on_request(self, s):
        task = asyncio.ensure_future(self.handle(s))
        self.tasks.add(task)
        task.add_done_callback(self.tasks.discard)

    async def handle(self, s):
        # Pulling the request from the queue: from here on a reset of it no longer
        # counts against the cap on resets of queued requests.
        self.accepted(s.id)
        server = self.server
        req = H2Request(self, s)
        try:
            if s.head.over_size:
                # Fields past our header list limit were dropped: this is not the
                # request the client sent, so it is refused, never served.
                await req.respond(431)
            else:
                await route(req)
        except Exception as exc:
            why, answer, reason = h2_route_failure(exc, s.id)
            if answer is not None or not server.quiet:
                server.log(f"{req.method} {req.target}: {why}")
            self.abandon(req, answer, reason)
        else:
            if not req.finished:
                server.log(f"{req.method} {req.target}: the route gave no response")
                self.abandon(req, 500)
            elif not server.quiet:
                notes = f", {s.received} body bytes" if s.received else ""
                if req.continued:
                    notes += ", sent 100 Continue"
                server.log(f"{req.method} {req.target} -> {req.status} "
                           f"(HTTP/2 stream {s.id}{notes}, {self.wire.peer})")

    def abandon(self, req, answer=None, reason=v.H2Reason.INTERNAL_ERROR):
        """The route failed: answer `answer` while no head went out, else reset the
        stream with `reason`."""
        if answer is not None and not req.status and not req.s.stopped:
            try:
                req._head(answer, EMPTY_TEXT, True)
                return
            except (GoAwayRefused, v.H2Error, v.ConnectionClosedError):
                pass
        verdict = self.reset_stream(req.s.id, reason)
        if verdict.handle is not None:
            verdict.handle.halt(verdict.stop)
        self.apply(verdict.flags)


# ---------------------------------------------------------------------------
# The listening server.


class Server:
    def __init__(self, head_timeout, quiet, body_timeout=BODY_TIMEOUT):
        self.head_timeout = head_timeout
        self.body_timeout = body_timeout  # 0: request bodies and responses may stall forever
        self.quiet = quiet
        self.conns = {}  # ServerConnection or H2ServerConnection -> its task
        self.tunnels = set()
        self.sniffing = set()  # wires whose protocol is not known yet

    def log(self, line):
        if not self.quiet:
            print(line, flush=True)

    def accept(self, wire):
        self.sniffing.add(wire)
        asyncio.ensure_future(self.run(wire))

    async def sniff(self, wire):
        """The first bytes and whether they are the HTTP/2 preface (None: no bytes)."""
        data = b""
        async with asyncio.timeout(self.head_timeout or None):
            while True:
                chunk = await wire.read()
                if not chunk:
                    return None, data
                data += chunk
                is_h2 = v.H2Codec.match_preface(data)
                if is_h2 is not None:
                    return is_h2, data

    async def choose_protocol(self, wire):
        """(is_h2, the bytes read to tell); is_h2 None: close the connection.

        Over TLS the client chose by ALPN (h2, or HTTP/1.1 when it chose
        http/1.1 or nothing); in cleartext the first bytes tell.
        """
        protocol = wire.alpn
        try:
            if protocol == HTTP11:
                return False, b""
            try:
                is_h2, data = await self.sniff(wire)
            except (TimeoutError, OSError):
                return None, b""
            if protocol == H2 and is_h2 is False:
                self.log(f"{wire.peer}: chose h2 by ALPN but sent no HTTP/2 preface, closing")
                return None, data
            return is_h2, data
        finally:
            self.sniffing.discard(wire)

    async def run(self, wire):
        is_h2, data = await self.choose_protocol(wire)
        if is_h2 is None:
            wire.close()
            return
        if is_h2:
            conn = H2ServerConnection.open(self, wire)
            serving = conn.serve(data)
        else:
            wire.unread(data)
            conn = ServerConnection.open(self, wire)
            serving = conn.serve()
        self.conns[conn] = asyncio.current_task()
        try:
            await serving
        except Exception as exc:
            self.log(f"{wire.peer}: {type(exc).__name__}: {exc}")
            # Whatever state the driver left it in, the listener must be able to close.
            wire.abort()
        finally:
            del self.conns[conn]

    async def shutdown(self):
        """No new requests; idle connections close now, busy ones after their response."""
        for conn in list(self.conns):
            if isinstance(conn, H2ServerConnection):
                conn.shutdown()
                continue
            wire = conn.request_shutdown()
            if wire is not None:
                wire.close()
        for wire in list(self.sniffing) + list(self.tunnels):
            wire.close()
        tasks = list(self.conns.values())
        if tasks:
            _, pending = await asyncio.wait(tasks, timeout=GRACE_SECONDS)
            for task in pending:
                task.cancel()


async def main(argv=None):
    parser = server_parser(__doc__)
    args = parser.parse_args(argv)
    ports = server_ports(parser, args)

    loop = asyncio.get_running_loop()
    server = Server(args.head_timeout, args.quiet, args.body_timeout)
    listeners = []
    for port, context in ports:
        # A TLS handshake gets as long as a request head: a client that stalls in
        # it holds a connection all the same. Closing sends close_notify and waits
        # a moment for the peer's: a peer that never answers (a browser keeping an
        # idle connection) must not hold the connection, or the shutdown, longer.
        handshake = {"ssl_handshake_timeout": args.head_timeout or None,
                     "ssl_shutdown_timeout": TLS_CLOSE_SECONDS} if context else {}
        listener = await loop.create_server(lambda: Wire(server.accept), args.host, port,
                                            backlog=1024, ssl=context, **handshake)
        listeners.append(listener)
        print(listening_line(listener.sockets[0].getsockname(), context is not None), flush=True)

    stop = asyncio.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    print("shutting down", flush=True)
    for listener in listeners:
        listener.close()
    await server.shutdown()
    for listener in listeners:
        await listener.wait_closed()
    print("stopped", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
