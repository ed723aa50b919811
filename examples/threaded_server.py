#!/usr/bin/env python3
"""An HTTP/1.1 and HTTP/2 server on velmora's connection states, on threads, cleartext or TLS.

    examples/threaded_server.py [--host H] [--port P] [--head-timeout S]
                                [--body-timeout S] [--quiet]
                                [--tls CERT KEY [--tls-port P]]

The same routes, options and output as examples/server.py, written as the model
for a threaded driver: blocking sockets, one thread per connection, and one
watchdog thread for the whole server that cuts connections whose client takes
longer than --head-timeout to send a request head. A connection whose first
bytes are the HTTP/2 client preface speaks h2c with prior knowledge; it gets a
read-pump thread, a write-pump thread and a handler thread per stream from a
pool all connections share fairly (a stream the pool cannot take now is
refused with REFUSED_STREAM, which a client may retry), and a body writer
blocks on its stream's window under flow control. --body-timeout bounds every
wait on the client as for examples/server.py. --tls and
--tls-port mean what they mean for examples/server.py (ALPN h2 or http/1.1;
none: HTTP/1.1); the handshake runs on the connection's thread under the
head deadline, and the wire (sockwire.py) lets the read pump and the write
pump share one TLS connection.

/ws is a WebSocket echo over HTTP/1.1 (Upgrade) and HTTP/2 (extended CONNECT),
served by ws_serve.py as for examples/server.py.

SIGINT or SIGTERM shut the server down gracefully and it exits 0.
"""

# The threading contract this driver keeps
# ----------------------------------------
# Every method of H1ServerState and H2Streams is one transition under the
# object's own lock, so any two may be called from any two threads at once;
# what they cannot do is order *driver* actions that happen between steps.
# The driver orders these itself:
#
# - HTTP/1 "100 Continue": the body reader claims it (try_send_continue True)
#   and then writes it; respond_head answers H1_REQ_CONTINUE to a responder
#   that races the reader between those two moments. The responder must wait
#   until the reader's write is done before calling respond_head again: the
#   retry answers H1_REQ_OK at once, and writing the head earlier puts it
#   ahead of the 100 on the wire. Here the reader notifies a condition once
#   the 100 is written (or failed), and the responder waits on it.
# - HTTP/2 interim 100: a reader may send it while a responder on another
#   thread queues the final head. Either order is sound: a 100 that comes
#   second is refused by value (the verdict's `refused`, nothing queued).
# - HTTP/2 begin(): queues the preface and SETTINGS and must be the first
#   frame-queueing step; the connection is handed to other threads after it.
# - One reader per transport: the state says who reads (the serve loop, a
#   body reader, the mid-message watcher, a drain); a thread reads only when a
#   step gave it the read, and hands it back with the matching step.
# - Transports handed back by closing steps (fail_read, finish_response,
#   mark_closed, head_read_overdue, request_shutdown ...) are shut down by the
#   caller after the step returns; this driver's wires wake any thread blocked
#   on them and the connection's own thread releases the descriptor last.
# - Waits: a thread reads a condition's predicate (or generation counter)
#   before the step whose answer sends it to sleep, and sleeps only while it
#   is unchanged; no "check, then clear" of a shared event.
#
# The state never calls a driver object: transports, watcher events, thread
# handles and stream handles are stored and handed back, never invoked, so no
# driver lock is ever taken under a state lock and a step may be called with
# any driver lock held or not.
#
# Which steps race here: the read pump's recv_* steps with handler threads'
# send_*/release_* steps and with the write pump's take_pending and
# credit_written (HTTP/2); a body reader's try_send_continue / begin_body_read
# with a responder's respond_head, the watcher's watcher_completed with the
# response's finish_response, and the watchdog's head_read_overdue or the
# shutdown's request_shutdown with the serve loop's begin_read/accept_head
# (HTTP/1).

import ctypes
import os
import select
import signal
import socket
import sys
import threading
import time
from collections import deque

# The core allocates with mimalloc, which returns a page that became free to
# the OS only after a delay, and only when the thread owning the page next
# allocates. Here pages are owned by handler and pump threads that go idle or
# end, so the memory of a large burst stayed resident; give it back at once.
# (Read when the extension loads: before the import below.)
os.environ.setdefault("MIMALLOC_PURGE_DELAY", "0")

import velmora._velmora as v  # noqa: E402
from shared import (BODY_TIMEOUT, DELAY, ECHO, ECHO_UPGRADE, EMPTY_TEXT, H2_SERVER, HELLO,
                    HELLO_ROUTE, NOT_FOUND, OCTETS, STREAM, TEXT, TUNNEL, UPGRADE, WEBSOCKET,
                    BodyStalled, choose_route, delay_ms, describe, h1_route_failure,
                    h2_route_failure, listening_line, refusal, server_parser, server_ports,
                    split_target, stream_shape)
from sockwire import SockWire
from tls import H2, HTTP11
from threaded_h2 import CONN_DONE, STOP_ACCEPTING, GoAwayRefused, ThreadedH2, TStream
from ws_serve import serve_threaded as serve_ws

GRACE_SECONDS = 10.0  # in-flight responses get this long at shutdown
DRAIN_SECONDS = 0.25  # an unread request body is skipped if it arrives within this
DRAIN_BYTES = 1 << 20  # and is not larger than this
INCOMPLETE = "connection closed before message completed"
# The HTTP/2 stream handlers' pool, all connections together (see Workers).
HANDLER_THREADS = 512  # handlers running at once
UPLOAD_THREADS = HANDLER_THREADS // 2  # of which handlers of requests whose body is still coming
RESERVED_THREADS = 64  # kept for connections that run fewer than SMALL_SHARE handlers
SMALL_SHARE = 8
IDLE_SECONDS = 5.0  # an idle handler thread exits after this
TRIM_BYTES = 1 << 20  # after a request body this large, freed heap pages go back to the OS


LARGE_BLOCK = 1 << 20  # C heap blocks this large are mapped apart, and unmapped when freed


def _libc(name):
    """A glibc function, or None elsewhere."""
    try:
        return getattr(ctypes.CDLL(None), name)
    except (OSError, AttributeError):
        return None


MALLOC_TRIM = _libc("malloc_trim")


def tune_malloc():
    """Keep large blocks out of glibc's heaps.

    Python objects above 512 octets come from glibc's malloc, which keeps one
    heap (arena) per thread and, after a large block is freed, raises its
    threshold for mapping blocks apart up to 32 MB, and the size a heap must
    have free at its top before it shrinks with it. A 20 MB upload, joined on
    a handler thread, then left 20 MB or more resident in every arena it went
    through. A fixed threshold turns that adjustment off."""
    mallopt = _libc("mallopt")
    if mallopt is not None:
        mallopt(-3, LARGE_BLOCK)  # M_MMAP_THRESHOLD


def give_back_memory():
    """Return the free pages inside glibc's heaps to the OS: a body's chunks
    are made on the read pump's thread and freed on a handler's, and the
    pages between live blocks stay resident otherwise."""
    if MALLOC_TRIM is not None:
        MALLOC_TRIM(0)


# ---------------------------------------------------------------------------
# Routes: the table of shared.py, served through a small request interface
# (method, path, query, headers, body(), respond(), stream(), wait_closed(),
# switch()) that both protocols implement.


def route(req):
    name = choose_route(req.method, req.path, req.headers, req.protocol)
    if name == HELLO_ROUTE:
        req.respond(200, HELLO, TEXT)
    elif name == ECHO:
        req.respond(200, req.body(), OCTETS)
    elif name == STREAM:
        chunks, piece, trailers = stream_shape(req.query)
        req.stream(200, (piece for _ in range(chunks)), TEXT, trailers)
    elif name == DELAY:
        ms = delay_ms(req.query)
        if req.wait_closed(ms / 1000):
            raise v.H1IncompleteMessageError(INCOMPLETE)
        req.respond(200, b"waited %d ms\n" % ms, TEXT)
    elif name == WEBSOCKET:
        serve_ws(req)
    elif name == TUNNEL:
        req.switch(200, None, echo_tunnel)
    elif name == UPGRADE:
        req.switch(101, ECHO_UPGRADE, echo_tunnel)
    else:
        req.respond(404, NOT_FOUND, TEXT)


def echo_tunnel(wire, leftover):
    """After 101 or a CONNECT's 200: every byte comes back as it is."""
    if leftover:
        wire.write(leftover)
    while data := wire.read():
        wire.write(data)


class Workers:
    """The pool of daemon threads that run the HTTP/2 streams' handlers.

    A stream gets a handler only if `admit` says so, at once; otherwise the
    driver refuses it (REFUSED_STREAM: the client may retry), so no stream
    waits in a queue behind others. What `admit` keeps, in this order:

    - a connection runs at most `cap` handlers (its stream limit);
    - requests whose body is still to come hold at most `uploads` handlers, so
      requests without a body always find one, however many uploads stall;
    - a connection running fewer than `small` handlers is taken while any
      thread is free: a client with a few requests is never refused because
      others hold many;
    - beyond that, the last `reserve` threads stay for such connections, and
      once half the pool is busy a connection gets no more than an equal share
      of the pool among the connections that hold handlers.

    A job goes to an idle worker, or to a new one; a worker that stays idle for
    IDLE_SECONDS exits, so a burst does not keep its threads (and their stacks)
    for good. Reusing threads keeps thread creation off most streams' path."""

    def __init__(self, limit, uploads, reserve, small):
        self.limit = limit
        self.uploads = uploads
        self.reserve = reserve
        self.small = small
        self.cond = threading.Condition(threading.Lock())
        self.jobs = deque()
        self.idle = 0  # workers waiting for a job (each queued job has one, or a new worker)
        self.count = 0  # worker threads alive
        self.busy = 0  # handlers admitted and not released
        self.uploading = 0  # of which for requests whose body was still to come
        self.holders = 0  # connections holding at least one handler

    def admit(self, conn, upload, cap):
        """Take a handler for a stream of `conn` (`upload`: its request body
        is still to come); False: refuse the stream. `conn.held` counts its
        handlers."""
        with self.cond:
            held, busy = conn.held, self.busy
            if held >= cap or busy >= self.limit:
                return False
            if upload and self.uploading >= self.uploads:
                return False
            if held >= self.small:
                if busy >= self.limit - self.reserve:
                    return False
                share = self.limit // max(1, self.holders)
                if busy >= self.limit // 2 and held >= share:
                    return False
            if not held:
                self.holders += 1
            conn.held = held + 1
            self.busy = busy + 1
            if upload:
                self.uploading += 1
            return True

    def release(self, conn, upload):
        """The handler `admit` gave ended."""
        with self.cond:
            conn.held -= 1
            if not conn.held:
                self.holders -= 1
            self.busy -= 1
            if upload:
                self.uploading -= 1

    def submit(self, fn, *args):
        """Run an admitted job."""
        with self.cond:
            self.jobs.append((fn, args))
            if self.idle >= len(self.jobs):
                self.cond.notify()
                return
            if self.count >= self.limit:
                return  # admitted: a worker that is releasing its handler takes it next
            self.count += 1
        threading.Thread(target=self.work, daemon=True, name="h2-handler").start()

    def work(self):
        while True:
            with self.cond:
                while not self.jobs:
                    self.idle += 1
                    woken = self.cond.wait(IDLE_SECONDS)
                    self.idle -= 1
                    if not woken and not self.jobs:
                        self.count -= 1
                        return
                fn, args = self.jobs.popleft()
            fn(*args)
            # Not kept while idle: the job's connection (and the buffers its
            # state still holds) would live on for as long as this thread waits.
            del fn, args


class Once:
    """A flag set once, waited for by any number of threads."""

    __slots__ = ("cond", "done")

    def __init__(self):
        self.cond = threading.Condition(threading.Lock())
        self.done = False

    def set(self):
        with self.cond:
            self.done = True
            self.cond.notify_all()

    def wait(self, timeout=None):
        with self.cond:
            return self.cond.wait_for(lambda: self.done, timeout)


# ---------------------------------------------------------------------------
# One request of an HTTP/1 connection.


class Request:
    protocol = None  # an HTTP/2 extended CONNECT's :protocol; none over HTTP/1.1
    __slots__ = ("conn", "head", "seq", "decoder", "method", "path", "query", "headers",
                 "body_ended", "window", "gone", "finished", "status", "received", "continued",
                 "continue_written")

    def __init__(self, conn, head, seq, decoder):
        self.conn = conn
        self.head = head
        self.seq = seq
        self.decoder = decoder
        self.method = head.method
        self.path, self.query = split_target(head.target)
        self.headers = head.headers
        self.body_ended = False
        self.window = None  # Once: the mid-message window is over
        self.gone = False  # the client closed its side mid-message
        self.finished = False
        self.status = 0
        self.received = 0
        self.continued = False
        self.continue_written = Once()  # the claimed 100 left (or failed)

    # The body reader (any thread).

    def read(self):
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
            wire = conn.transport_ref()
            if conn.try_send_continue(seq):
                # Claimed: a responder on another thread now waits for this write.
                try:
                    if wire is not None:
                        wire.write(v.H1Codec.continue_response())
                        self.continued = True
                finally:
                    self.continue_written.set()
            if not conn.begin_body_read(seq):
                raise v.H1Error("the request body is no longer readable")
            limit = conn.server.body_timeout or None
            try:
                data = wire.read(timeout=limit) if wire is not None else b""
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

    def body(self):
        parts = []
        while piece := self.read():
            parts.append(piece)
        return b"".join(parts)

    # The response.

    def will_not_drain(self):
        """The response goes out before the body was read, and the rest of the body
        will not be skipped: a client still waiting for its 100 Continue sends none,
        and a body larger than DRAIN_BYTES costs the connection instead."""
        if self.body_ended or self.decoder.is_complete:
            return False
        head = self.head
        if head.expect_continue and not head.http10 and not self.continued:
            return True
        if head.content_length is None:
            return False
        owed = head.content_length - self.received - self.decoder.buffered
        return owed > DRAIN_BYTES

    def _head(self, status, headers, *, content_length=None, chunked=False, want=False):
        conn, seq = self.conn, self.seq
        if self.will_not_drain():
            conn.mark_unusable()  # said before the head, so the head says Connection: close
        done = threading.Event() if want or self.window is not None else None
        while True:
            code, head, armed, wire = conn.respond_head(
                seq, status, headers, done, content_length=content_length, chunked=chunked,
                want=want)
            if code != v.H1_REQ_CONTINUE:
                break
            # A reader claimed the 100 and has not necessarily written it yet:
            # the head may only follow it.
            self.continue_written.wait()
        if code == v.H1_REQ_PEER_CLOSED:
            raise v.H1IncompleteMessageError(INCOMPLETE)
        if code != v.H1_REQ_OK:
            raise RuntimeError(f"respond_head answered {code}")
        self.status = status
        if armed:
            conn.spawn_watcher(self, done)
        if wire is None:
            raise v.ConnectionClosedError("connection closed")
        return head, wire

    def _write(self, wire, data):
        try:
            wire.write(data)
        except OSError:
            raise v.H1IncompleteMessageError(INCOMPLETE) from None

    def respond(self, status, body=b"", headers=None):
        head, wire = self._head(status, headers, content_length=len(body))
        self._write(wire, self.conn.codec.serialize_head_and_body(head, body))
        self.conn.finish(self)

    def stream(self, status, chunks, headers=None, trailers=None):
        codec = self.conn.codec
        head, wire = self._head(status, headers, chunked=True, want=True)
        self._write(wire, head)
        for chunk in chunks:
            if self.gone:
                raise v.H1IncompleteMessageError(INCOMPLETE)
            self._write(wire, codec.serialize_data(chunk))
        self._write(wire, codec.serialize_trailers(trailers) if trailers else codec.serialize_end())
        self.conn.finish(self)

    def switch(self, status, headers, tunnel):
        head, wire = self._head(status, headers)
        self._write(wire, head)
        self.conn.finish(self, tunnel)

    def wait_closed(self, timeout):
        """Wait up to `timeout` s; True when the client closed its side meanwhile."""
        conn, seq = self.conn, self.seq
        verdict = conn.peer_closed_now(seq)
        if verdict is not None:
            return verdict
        if self.window is None:
            self.window = Once()
        done = threading.Event()
        if conn.arm_watcher(seq, done, want=True):
            conn.spawn_watcher(self, done)
        self.window.wait(timeout)
        return conn.peer_closed_flag(seq)

    def end_window(self):
        if self.window is not None:
            self.window.set()


# ---------------------------------------------------------------------------
# One HTTP/1 connection: its thread runs the serve loop.


class ServerConnection(v.H1ServerState):
    __slots__ = ("server", "wire", "tunnel")

    @classmethod
    def open(cls, server, wire):
        conn = cls(v.H1Codec(), wire, keep_alive=True, half_close=False)
        conn.server = server
        conn.wire = wire
        conn.tunnel = None
        return conn

    def serve(self):
        try:
            while (req := self.next_request()) is not None:
                self.handle(req)
                if self.tunnel is not None:
                    break
        finally:
            self.close()
        if self.tunnel is not None:
            tunnel, wire, leftover = self.tunnel
            try:
                tunnel(wire, leftover)
            except OSError:
                pass
            finally:
                wire.close()

    def handle(self, req):
        server = self.server
        try:
            server.route(req)
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

    def next_request(self):
        code, obj = self.begin_read()
        if code == v.H1_NEXT_DRAIN:
            code, obj = self.drain_done(self.drain())
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
            data = self.read_idle(obj)
        else:  # H1_READ_WATCHER: the mid-message watcher's read is this head's first read
            data = self.watcher_read(obj)
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
            data = self.read_idle(wire) if wire is not None else None
        return None

    def read_idle(self, wire):
        try:
            data = wire.read()
        except OSError:
            data = b""
        if data:
            return data
        if not self.unpark_idle_read():
            self.stop_serving()
        return None

    def watcher_read(self, done):
        done.wait()
        handle = self.take_watcher_handle()
        if handle is not None:
            handle.join()
        data, _error = self.take_watcher_result()
        if data:
            return data
        if not self.unpark_idle_read():
            self.stop_serving()
        return None

    def drain(self):
        """Skip the unread rest of the previous request body: True when it ended."""
        decoder = self.current_decoder()
        wire = self.transport_ref()
        if decoder is None or wire is None:
            return decoder is None
        deadline = time.monotonic() + DRAIN_SECONDS
        budget = DRAIN_BYTES
        try:
            while True:
                while decoder.decode() is not None:
                    pass
                if decoder.is_complete:
                    return True
                left = deadline - time.monotonic()
                if left <= 0 or budget <= 0:
                    return False
                data = wire.read(timeout=left)
                if not data:
                    return False
                budget -= len(data)
                decoder.feed(data)
        except (v.H1BodyError, OSError):
            return False

    def refuse(self, exc):
        """A malformed head: answer the status the codec chose, then close."""
        status = self.codec.parse_error_status
        wire = self.fail_read()
        self.server.log(f"refused a request from {self.wire.peer}: {exc.args[-1]}")
        if wire is None:
            return
        if status:
            try:
                wire.write(refusal(self.codec, status))
            except OSError:
                pass
        wire.close()

    # The end of a response.

    def finish(self, req, tunnel=None):
        req.finished = True
        if self.close_window(req.seq):
            req.end_window()
        switch, close, wire, leftover = self.finish_response(req.seq)
        if switch:
            self.tunnel = (tunnel or echo_tunnel, wire, leftover)
        elif close and wire is not None:
            wire.close()

    def fail(self, req, answer=None):
        if answer is not None:
            code, head, _, wire = self.respond_head(req.seq, answer, TEXT, None,
                                                    content_length=0)
            if code == v.H1_REQ_OK and wire is not None:
                try:
                    wire.write(self.codec.serialize_head_and_body(head))
                except OSError:
                    pass
                else:
                    self.finish(req)
                    return True
        req.finished = True
        if self.close_window(req.seq):
            req.end_window()
        wire = self.fail_response(req.seq)
        if wire is not None:
            wire.abort()
        return False

    # The mid-message watcher: a thread parked in a read while the response is
    # written, so that a client closing its side is noticed.

    def spawn_watcher(self, req, done):
        thread = threading.Thread(target=self.watch, args=(req, done), daemon=True,
                                  name="h1-watcher")
        # Stored before it starts; a refused handle (closed meanwhile) still runs,
        # finds no transport and completes its slot, so close() never waits in vain.
        self.store_watcher_handle(thread)
        thread.start()

    def watch(self, req, done):
        try:
            wire = self.transport_ref()
            if wire is None:
                self.watcher_aborted()
                return
            try:
                data, error = wire.read(), None
            except OSError as exc:
                data, error = None, exc
            if self.watcher_completed(data, error):
                req.gone = True
                req.end_window()
        finally:
            done.set()

    def close(self):
        """End the connection: shut the transport, join the watcher."""
        wire, done, ended = self.mark_closed()
        if wire is not None:
            if ended:
                wire.close()
            else:
                wire.abort()
        if done is not None:
            done.wait()
        handle = self.take_watcher_handle()
        if handle is not None:
            handle.join()
        self.take_watcher_result()


# ---------------------------------------------------------------------------
# HTTP/2: one request is one stream of an H2ServerConnection.

# The interim-response refusal by value; without it a late 100 would break the stream.
INTERIM_BY_VALUE = hasattr(v.H2SendVerdict, "refused")


class H2Request:
    """The routes' request interface over one HTTP/2 stream (its handler thread)."""

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
        self.continued = False

    def body(self):
        conn, s, parts = self.conn, self.s, []
        self.send_continue()
        while piece := conn.read(s):
            parts.append(piece)
        return b"".join(parts)

    def send_continue(self):
        """A client that asked for 100-continue gets it when the body is first read;
        a responder that got its head in first makes the state refuse it by value."""
        s = self.s
        if not INTERIM_BY_VALUE or self.continued or s.eof or self.status:
            return
        expect = self.headers.get("expect")
        if expect is None or expect.lower() != b"100-continue":
            return
        self.continued = True
        verdict = self.conn.send_response_head(s.id, 100, None, False)
        if not verdict.refused:
            self.conn.check_send(s, verdict)

    def _head(self, status, headers, end_stream):
        conn, s = self.conn, self.s
        conn.check_send(s, conn.send_response_head(s.id, status, headers, end_stream))
        self.status = status

    def respond(self, status, body=b"", headers=None):
        fields = v.HeaderMap(headers)
        fields["content-length"] = str(len(body))
        head_only = not body or self.method == "HEAD"
        self._head(status, fields, head_only)
        if not head_only:
            self._send(body)
        self.finished = True

    def stream(self, status, chunks, headers=None, trailers=None):
        conn, s = self.conn, self.s
        head_only = self.method == "HEAD"
        self._head(status, headers, head_only)
        if not head_only:
            conn.writer_begin()
            try:
                for chunk in chunks:
                    if chunk:
                        conn.send_body(s, chunk, False)
                if trailers is not None:
                    conn.check_send(s, conn.send_trailers(s.id, trailers))
                else:
                    conn.send_body(s, b"", True)
            finally:
                conn.writer_finish()
        self.finished = True

    def _send(self, data):
        conn = self.conn
        conn.writer_begin()
        try:
            conn.send_body(self.s, data, True)
        finally:
            conn.writer_finish()

    def wait_closed(self, timeout):
        """Wait up to `timeout` s; True when the stream was reset meanwhile."""
        s = self.s
        with s.cond:
            return s.cond.wait_for(lambda: s.stopped, timeout)

    @property
    def protocol(self):
        return self.s.head.protocol

    def switch(self, status, headers, tunnel):
        self.respond(501, b"not implemented over HTTP/2\n", TEXT)


class H2ServerConnection(ThreadedH2):
    __slots__ = ("server", "handlers", "handlers_cond", "held", "cap")

    @classmethod
    def open(cls, server, wire):
        conn = cls("server", **server.h2_settings)
        conn.setup(wire, server.log, server.stall_seconds, server.body_timeout or None)
        conn.server = server
        conn.handlers = 0  # stream handlers queued or running
        conn.handlers_cond = threading.Condition(threading.Lock())
        conn.held = 0  # handlers the pool gave this connection (under the pool's lock)
        conn.cap = server.h2_settings.get("max_concurrent_streams") or HANDLER_THREADS
        return conn

    def serve(self, sniffed):
        """Run the connection from the sniffed first bytes (the client preface) on."""
        self.prime(sniffed)
        self.start(f"h2-{self.wire.peer}")
        self.over.wait()
        self.close()
        deadline = time.monotonic() + GRACE_SECONDS
        with self.handlers_cond:  # the handlers still running finish, within the grace
            while self.handlers and (left := deadline - time.monotonic()) > 0:
                self.handlers_cond.wait(left)
        give_back_memory()  # what the pumps' arenas held for this connection

    def on_flags(self, flags):
        if flags & (CONN_DONE | STOP_ACCEPTING):
            self.over.set()

    def shutdown(self):
        """GOAWAY and PING now; in-flight streams finish, then the connection ends."""
        self.apply(self.begin_graceful_shutdown())

    def take_spare(self):
        spare, self.spare = self.spare, None
        return spare or TStream()

    def on_request(self, s):
        upload = not s.eof
        if not self.server.workers.admit(self, upload, self.cap):
            # No handler for it now: refused before any processing, so the client
            # may send it again (on this connection or another).
            if not self.server.quiet:
                self.log(f"stream {s.id} refused: the handler pool is full "
                         f"({self.wire.peer})")
            verdict = self.reset_stream(s.id, v.H2Reason.REFUSED_STREAM, "library")
            if verdict.handle is not None:
                verdict.handle.halt(verdict.stop)
            self.apply(verdict.flags)
            return
        with self.handlers_cond:
            self.handlers += 1
        self.server.workers.submit(self.handle, s, upload)

    def handle(self, s, upload):
        self.accepted(s.id)
        server = self.server
        req = H2Request(self, s)
        held = True
        try:
            try:
                if s.head.over_size:
                    # Fields past our header list limit were dropped: this is
                    # not the request the client sent, so it is refused, never
                    # served.
                    req.respond(431)
                else:
                    server.route(req)
            finally:
                if req.finished:
                    # The response is queued: the pool counts this handler out
                    # before the log line, which a busy server's threads may
                    # take a while to reach while the client already sends its
                    # next request.
                    held = False
                    server.workers.release(self, upload)
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
                server.log(f"{req.method} {req.target} -> {req.status} "
                           f"(HTTP/2 stream {s.id}{notes}, {self.wire.peer})")
        finally:
            if held:
                server.workers.release(self, upload)
            if s.received >= TRIM_BYTES:
                give_back_memory()
            with self.handlers_cond:
                self.handlers -= 1
                if not self.handlers:
                    self.handlers_cond.notify_all()

    def abandon(self, req, answer=None, reason=v.H2Reason.INTERNAL_ERROR):
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
    """Connection threads, the head-read watchdog and the graceful shutdown.

    `route` serves every request; `h2_settings` are our HTTP/2 SETTINGS;
    `stall_seconds` bounds every HTTP/2 wait (None: unbounded), a guard for
    tests; `body_timeout` how long a request body or a response may make no
    progress (0: no limit)."""

    def __init__(self, head_timeout, quiet, route=route, h2_settings=None, stall_seconds=None,
                 body_timeout=BODY_TIMEOUT):
        self.head_timeout = head_timeout
        self.body_timeout = body_timeout
        self.quiet = quiet
        self.route = route
        self.h2_settings = h2_settings or H2_SERVER
        self.stall_seconds = stall_seconds
        self.lock = threading.Lock()
        self.cond = threading.Condition(self.lock)  # the watchdog's sleep
        self.stopping = False
        self.conns = {}  # connection -> its thread
        self.sniffing = set()  # wires whose protocol is not known yet
        self.log_lock = threading.Lock()
        self.watchdog = None
        self.workers = Workers(HANDLER_THREADS, UPLOAD_THREADS, RESERVED_THREADS, SMALL_SHARE)

    def log(self, line):
        if not self.quiet:
            with self.log_lock:
                print(line, flush=True)

    def start(self):
        if self.head_timeout:
            self.watchdog = threading.Thread(target=self.watch_heads, daemon=True,
                                             name="head-watchdog")
            self.watchdog.start()

    def accept(self, sock, tls=None):
        wire = SockWire(sock)
        with self.lock:
            if self.stopping:
                wire.abort()
                wire.release()
                return
            self.sniffing.add(wire)
        threading.Thread(target=self.run, args=(wire, tls), daemon=True, name="conn").start()

    def sniff(self, wire):
        """The first bytes and whether they are the HTTP/2 preface (None: no bytes)."""
        data = b""
        deadline = time.monotonic() + self.head_timeout if self.head_timeout else None
        while True:
            left = None if deadline is None else max(0.0, deadline - time.monotonic())
            chunk = wire.read(timeout=left)
            if not chunk:
                return None, data
            data += chunk
            is_h2 = v.H2Codec.match_preface(data)
            if is_h2 is not None:
                return is_h2, data

    def choose_protocol(self, wire, tls):
        """(is_h2, the bytes read to tell); is_h2 None: close the connection.

        Over TLS the client chose by ALPN (h2, or HTTP/1.1 when it chose
        http/1.1 or nothing); in cleartext the first bytes tell. The handshake
        gets as long as a request head: a client stalling in it holds a
        connection all the same.
        """
        if tls is not None:
            try:
                wire.start_tls(tls, timeout=self.head_timeout or None)
            except (OSError, ValueError) as exc:  # ssl.SSLError and TimeoutError included
                self.log(f"{wire.peer}: TLS handshake failed: {exc}")
                return None, b""
            if wire.alpn == HTTP11:
                return False, b""
        try:
            is_h2, data = self.sniff(wire)
        except OSError:  # TimeoutError included
            return None, b""
        if wire.alpn == H2 and is_h2 is False:
            self.log(f"{wire.peer}: chose h2 by ALPN but sent no HTTP/2 preface, closing")
            return None, data
        return is_h2, data

    def run(self, wire, tls):
        try:
            is_h2, data = self.choose_protocol(wire, tls)
            with self.lock:
                self.sniffing.discard(wire)
                if is_h2 is not None and self.stopping:
                    is_h2 = None
            if is_h2 is None:
                wire.close()
                return
            if is_h2:
                conn = H2ServerConnection.open(self, wire)
                serve = lambda: conn.serve(data)  # noqa: E731
            else:
                wire.unread(data)
                conn = ServerConnection.open(self, wire)
                serve = conn.serve
            with self.lock:
                self.conns[conn] = threading.current_thread()
                self.cond.notify()
            try:
                serve()
            except Exception as exc:
                self.log(f"{wire.peer}: {type(exc).__name__}: {exc}")
                wire.abort()
            finally:
                with self.lock:
                    del self.conns[conn]
        finally:
            wire.release()

    def watch_heads(self):
        """The watchdog: cut every HTTP/1 connection whose head read is overdue."""
        timeout = self.head_timeout
        tick = max(0.05, timeout / 4)  # how late a newly started head read may be noticed
        while True:
            with self.lock:
                if self.stopping:
                    return
                conns = [c for c in self.conns if isinstance(c, ServerConnection)]
            wait = tick
            for conn in conns:
                expired, remaining, wire = conn.head_read_overdue(timeout)
                if expired:
                    self.log(f"{conn.wire.peer}: no request head within {timeout:g} s, closing")
                    if wire is not None:
                        wire.abort()
                elif remaining is not None:
                    wait = min(wait, remaining)
            with self.lock:
                if self.stopping:
                    return
                self.cond.wait(wait)

    def shutdown(self):
        """No new requests; idle connections close now, busy ones after their response."""
        with self.lock:
            self.stopping = True
            self.cond.notify_all()
            conns = dict(self.conns)
            sniffing = list(self.sniffing)
        for conn in conns:
            if isinstance(conn, H2ServerConnection):
                conn.shutdown()
                continue
            wire = conn.request_shutdown()
            if wire is not None:
                wire.close()
        for wire in sniffing:
            wire.close()
        deadline = time.monotonic() + GRACE_SECONDS
        for thread in conns.values():
            thread.join(max(0.0, deadline - time.monotonic()))
        with self.lock:
            left = list(self.conns)
        for conn in left:  # out of time: drop them
            conn.wire.abort()
        if self.watchdog is not None:
            self.watchdog.join()

    def serve_forever(self, listeners, wake):
        """Accept connections until `wake` (a socket) becomes readable;
        `listeners` maps each listening socket to its server SSLContext (None: cleartext)."""
        self.start()
        while True:
            ready, _, _ = select.select([*listeners, wake], [], [])
            if wake in ready:
                return
            for listener in ready:
                try:
                    sock, _ = listener.accept()
                except OSError:
                    continue
                self.accept(sock, listeners[listener])


def main(argv=None):
    parser = server_parser(__doc__)
    args = parser.parse_args(argv)
    tune_malloc()
    server = Server(args.head_timeout, args.quiet, body_timeout=args.body_timeout)
    family = socket.AF_INET6 if ":" in args.host else socket.AF_INET
    listeners = {}
    for port, tls in server_ports(parser, args):
        listener = socket.create_server((args.host, port), family=family, backlog=1024)
        listeners[listener] = tls
        print(listening_line(listener.getsockname(), tls is not None), flush=True)

    # A signal only writes a byte: the accept loop sees it and returns.
    wake, poke = socket.socketpair()
    poke.setblocking(False)

    def on_signal(signum, frame):
        try:
            poke.send(b"x")
        except OSError:
            pass

    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, on_signal)
    server.serve_forever(listeners, wake)
    print("shutting down", flush=True)
    for listener in listeners:
        listener.close()
    server.shutdown()
    print("stopped", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
