#!/usr/bin/env python3
"""An HTTP/1.1 and HTTP/2 client on velmora's connection states, on threads, cleartext or TLS.

    examples/threaded_client.py URL [URL...] [-X METHOD] [-d DATA] [-H "name: value"]...
                                [--h2c] [--repeat N] [--concurrency K] [--wait S] [-v]
                                [--http1.1] [--cacert FILE] [-k]

The options and output of examples/client.py, written as the model for a
threaded client driver: K request threads (--concurrency) share one pool of
HTTP/1 keep-alive connections, or with --h2c one HTTP/2 connection per origin
(prior knowledge) with its read-pump and write-pump threads. Blocking sockets
throughout; each pooled idle HTTP/1 connection has a watcher thread parked in a
read, whose bytes become the next response's first read (or tell the pool the
server closed it). The proxy comes from the environment (HTTP_PROXY, NO_PROXY,
...) through `ProxyMatcher`; HTTP/2 with prior knowledge always goes straight to
the origin. https:// URLs speak TLS (on the wire of sockwire.py, which the
pumps share) and the protocol the server picks by ALPN: h2 preferred,
--http1.1 offers only HTTP/1.1; --cacert FILE trusts another CA, -k skips
the check. Through a proxy, an https:// URL gets a CONNECT tunnel with TLS
inside it (a 407 or a refused tunnel is one line on stderr).
Ends with "connections opened: N" when more than one request was made.
ws:// and wss:// URLs open a WebSocket as examples/client.py does (ws_client.py).
"""

import ssl
import sys
import threading
import time
from collections import deque

import velmora._velmora as v
from shared import (H2_CLIENT, IDEMPOTENT, client_parser, client_request, connect_fields,
                    idle_read_done, merge_headers, route_h1, route_h2, show_response,
                    stderr_log, tunnel_refusal)
from sockwire import connect
from tls import H2, client_context, describe_failure
from threaded_h2 import CONN_DONE, SLOT_FREED, GoAwayRefused, ThreadedH2, TStream, copy_error
import ws_client

WRITE_PIECE = 64 * 1024
WRITER_GRACE = 5.0  # after the response, how long the body writer may take to finish
PROG = "threaded_client.py"


class ConnectFailed(Exception):
    """No connection to the origin: TLS failed (the message says why, in one line)."""


class RequestUnsent(Exception):
    """The connection died before the request was written: safe to retry elsewhere."""


# ---------------------------------------------------------------------------
# HTTP/1: one exchange at a time per connection, connections pooled.


class ClientConnection(v.H1ClientState):
    __slots__ = ("wire", "name", "log", "reused")

    @classmethod
    def open(cls, host, port, name, log, wire=None):
        wire = wire or connect(host, port)
        conn = cls(v.H1Codec(), wire)
        conn.wire = wire
        conn.name = name
        conn.log = log
        conn.reused = False
        return conn

    def exchange(self, method, target, headers, body):
        """One request and its response on this (claimed) connection."""
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
            if body and len(body) > WRITE_PIECE:
                # A large body has its own writer thread: the response may come
                # (and the server may stop reading) before it is all sent.
                wire.write(head)
                writer = threading.Thread(target=self.write_body, args=(wire, body), daemon=True)
                refused = self.store_writer(writer)
                if refused is not None:
                    raise v.ConnectionClosedError("connection closed")
                writer.start()
            else:
                wire.write(codec.serialize_head_and_body(head, body) if body else head)
                self.writer_done()
            head, decoder = self.read_head(wire, watcher_done)
            if head.http10:
                self.set_peer_http10(True)
            if head.is_upgrade:
                return head, self.switched()
            body_in = self.read_body(wire, decoder)
            _trailers, extra = decoder.finish()
            # The writer thread may not have reported its last write yet: join it
            # first, or finish_exchange takes the body for unfinished and closes.
            writer = self.take_writer()
            if writer is not None:
                writer.join(WRITER_GRACE)
                if writer.is_alive():  # still blocked: the server stopped reading
                    dead = self.fail(v.H1IncompleteMessageError("the request body was not taken"))
                    if dead is not None:
                        dead.abort()
                    writer.join()
                    raise v.H1IncompleteMessageError("the request body was not taken")
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
                writer.join()
            self.end_exchange()

    def switched(self):
        """101, or a 2xx to CONNECT: the connection is no longer HTTP/1.1. This client
        speaks nothing else over it: hand the wire off and close it."""
        self.upgrade().close()
        return b""

    def write_body(self, wire, body):
        codec = self.codec
        try:
            for i in range(0, len(body), WRITE_PIECE):
                wire.write(codec.serialize_data(body[i:i + WRITE_PIECE]))
            wire.write(codec.serialize_end())
        except OSError:
            return  # the reader sees the connection end
        self.writer_done()

    def read_head(self, wire, watcher_done):
        codec = self.codec
        data = None
        if watcher_done is not None:
            # The idle watcher's read is in flight: it is this response's first read.
            watcher_done.wait()
            handle, data, error = self.take_watcher_handoff()
            if handle is not None:
                handle.join()
            if error is not None:
                raise v.ConnectionClosedError(str(error)) from error
            if not data:
                raise v.H1IncompleteMessageError("connection closed before message completed")
        head = codec.receive_head(data) if data else None
        while head is None:
            data = wire.read()
            if not data:
                raise v.H1IncompleteMessageError("connection closed before message completed")
            head = codec.receive_head(data)
        decoder = v.H1BodyDecoder(head.body_kind, head.content_length or 0)
        codec.take_body_into(decoder)
        return head, decoder

    def read_body(self, wire, decoder):
        parts = []
        while True:
            chunk = decoder.decode()
            if chunk:
                parts.append(chunk)
                continue
            if decoder.is_complete:
                return b"".join(parts)
            data = wire.read()
            if data:
                decoder.feed(data)
            else:
                decoder.mark_eof()

    def watch_idle(self):
        done = threading.Event()
        if not self.arm_watcher(done):
            return
        thread = threading.Thread(target=self.idle_watch, args=(done,), daemon=True,
                                  name=f"idle-{self.name}")
        self.store_watcher_handle(thread)  # refused: it still runs and completes its slot
        thread.start()

    def idle_watch(self, done):
        try:
            wire = self.transport_ref()
            if wire is None:
                self.watcher_aborted()
                return
            try:
                data, error = wire.read(), None
            except OSError as exc:
                data, error = None, exc
            idle_read_done(self, data, error)
        finally:
            done.set()

    def close(self):
        wire, done, writer, idle = self.mark_closed()
        if wire is not None:
            if idle:
                wire.close()
            else:
                wire.abort()
        if done is not None:
            done.wait()
        handle = self.take_watcher_handle()
        if handle is not None:
            handle.join()
        self.take_watcher_result()
        if writer is not None:
            writer.join()
        self.wire.release()


class Pool:
    """Idle keep-alive connections per origin (or per proxy), shared by the threads."""

    def __init__(self, log, dial=None):
        self.dial = dial  # key -> a new wire (None: a TCP connection to key's host and port)
        self.idle = {}
        self.opened = 0
        self.lock = threading.Lock()
        self.log = log

    def acquire(self, key):
        while True:
            with self.lock:
                conns = self.idle.setdefault(key, [])
                conn = conns.pop() if conns else None
                if conn is None:
                    self.opened += 1
                    name = self.opened
            if conn is None:
                break
            if not conn.is_dead() and conn.try_begin_exchange():
                conn.reused = True
                self.log(f"reusing connection {conn.name} to {key[0]}:{key[1]}")
                return conn
            conn.close()
        self.log(f"connecting to {key[0]}:{key[1]} (connection {name})")
        wire = self.dial(key) if self.dial is not None else None
        conn = ClientConnection.open(key[0], key[1], name, self.log, wire)
        conn.try_begin_exchange()
        return conn

    def release(self, key, conn):
        if conn.is_dead():
            conn.close()
            return
        conn.watch_idle()
        with self.lock:
            self.idle.setdefault(key, []).append(conn)

    def close(self):
        with self.lock:
            conns = [c for cs in self.idle.values() for c in cs]
            self.idle.clear()
        for conn in conns:
            conn.close()


class TunnelRequest(ClientConnection):
    """The CONNECT exchange with a proxy; on 2xx it keeps the tunnel's wire."""

    __slots__ = ("tunnel",)

    def switched(self):
        if self.codec.buffered:
            raise ConnectFailed("the proxy sent bytes after its answer to CONNECT, "
                                "before the TLS handshake")
        self.tunnel = self.upgrade()
        return b""


def open_tunnel(phost, pport, authority, auth, log):
    """CONNECT `authority` through the proxy at phost:pport; the tunnel's wire on a 2xx."""
    req = TunnelRequest.open(phost, pport, "tunnel", log)
    req.tunnel = None
    req.try_begin_exchange()
    try:
        head, _ = req.exchange("CONNECT", authority, connect_fields(authority, auth), None)
    except BaseException:
        req.close()
        raise
    if req.tunnel is not None:
        log(f"proxy {phost}:{pport}: {head.status}, tunnel to {authority} open")
        return req.tunnel
    req.close()
    raise ConnectFailed(tunnel_refusal(head.status, f"{phost}:{pport}", authority, auth))


# ---------------------------------------------------------------------------
# HTTP/2: the request threads share one connection per origin.


class H2ClientConnection(ThreadedH2):
    __slots__ = ("name", "authority", "ready", "slot_cond", "slot_gen", "closer")

    @classmethod
    def open(cls, host, port, authority, name, log, settings=None, stall_seconds=None,
             wire=None):
        wire = wire or connect(host, port)
        conn = cls("client", **(settings or H2_CLIENT))
        conn.setup(wire, log, stall_seconds)
        conn.name = name
        conn.authority = authority
        conn.ready = threading.Event()  # set once: the server's first SETTINGS arrived
        conn.slot_cond = threading.Condition(threading.Lock())
        conn.slot_gen = 0  # counts slot releases
        conn.start(f"h2c-{name}")  # begin() first: only then may request threads queue frames
        conn.closer = threading.Thread(target=conn.close_when_over, daemon=True,
                                       name=f"h2c-{name}-closer")
        conn.closer.start()
        return conn

    def close_when_over(self):
        self.over.wait()
        self.close()
        self.wire.release()

    def on_ready(self):
        self.ready.set()

    def on_flags(self, flags):
        if flags & (SLOT_FREED | CONN_DONE):
            with self.slot_cond:
                self.slot_gen += 1
                self.slot_cond.notify_all()
        if flags & CONN_DONE:
            self.ready.set()
            self.over.set()

    def refused(self):
        if self.goaway_info() is not None and not self.is_failed():
            raise GoAwayRefused(f"connection {self.name} is going away")
        stored = self.conn_error()
        if stored is not None:
            raise copy_error(stored) from stored
        raise v.ConnectionClosedError("connection closed")

    def claim_slot(self):
        while True:
            with self.slot_cond:
                # Read before the claim: a release after it changes gen.
                gen = self.slot_gen
            if self.try_claim_slot():
                return
            if self.is_closed():
                self.refused()
            with self.slot_cond:
                self.wait(self.slot_cond, lambda: self.slot_gen != gen,
                          f"connection {self.name}: waiting for a stream slot")

    def open_request(self, method, target, headers, has_body):
        """Claim a slot and open a stream: its handle."""
        if not self.ready.wait(self.stall_seconds):
            raise TimeoutError("no SETTINGS from the server")
        self.claim_slot()
        s = TStream()
        sid = self.open_stream(method, target, headers, not has_body, method == "HEAD", s,
                               scheme="https" if self.wire.tls else "http",
                               authority=self.authority)
        if sid is None:
            self.refused()
        s.id = sid
        self.kick()
        return s

    def request(self, method, target, headers, body):
        """One exchange on its own stream: (head, body, trailers)."""
        s = self.open_request(method, target, headers, bool(body))
        try:
            if body:
                self.write_body(s, body)
            return self.response(s)
        except BaseException:
            # Nobody reads this stream any more: cancel it, give its window back.
            self.apply(self.aclose_body(s.id).flags)
            raise

    def write_body(self, s, body):
        self.writer_begin()
        try:
            self.send_body(s, body, True)
        except v.H2StreamError as exc:
            # The server answered and stopped reading (RST_STREAM NO_ERROR): the
            # response stands.
            if exc.args[1] != v.H2Reason.NO_ERROR or s.head is None:
                raise
        finally:
            self.writer_finish()

    def response_head(self, s):
        with s.cond:
            self.wait(s.cond, lambda: s.head is not None or s.eof,
                      f"stream {s.id}: waiting for the response head")
            head, stop = s.head, s.stop
        if head is None:
            self.raise_stop(s, stop) if stop else self.refused()
        return head

    def response(self, s):
        head = self.response_head(s)
        parts = []
        while piece := self.read(s):
            parts.append(piece)
        return head, b"".join(parts), s.trailers

    def shutdown(self):
        """Done with the connection: GOAWAY, flush, close, join the pumps."""
        if not self.is_failed():
            self.apply(self.send_goaway(0))
        self.over.set()
        self.closer.join()


class H2Pool:
    """One HTTP/2 connection per origin; a connection going away is replaced."""

    def __init__(self, log, settings=None, stall_seconds=None, dial=None):
        self.dial = dial  # as Pool's
        self.conns = {}
        self.retired = []
        self.opened = 0
        self.lock = threading.Lock()
        self.log = log
        self.settings = settings
        self.stall_seconds = stall_seconds

    def get(self, key, authority):
        with self.lock:  # opening under the lock: the other threads wait for this one
            conn = self.conns.get(key)
            if conn is not None and conn.is_closed():
                self.retired.append(conn)
                conn = None
            if conn is None:
                self.opened += 1
                over = "h2" if key[2:3] == ("https",) else "h2c"
                self.log(f"connecting to {key[0]}:{key[1]} over {over} (connection {self.opened})")
                wire = self.dial(key) if self.dial is not None else None
                conn = self.conns[key] = H2ClientConnection.open(
                    key[0], key[1], authority, self.opened, self.log, self.settings,
                    self.stall_seconds, wire)
            return conn

    def close(self):
        with self.lock:
            conns = list(self.conns.values()) + self.retired
            self.conns.clear()
            self.retired = []
        for conn in conns:
            conn.shutdown()


class Client:
    def __init__(self, log, tls=None):
        self.pool = Pool(log, self.dial)
        self.h2 = H2Pool(log, dial=self.dial)
        self.proxies = v.ProxyMatcher.from_env()
        self.tls = tls  # the client SSLContext for https:// URLs
        self.alpn = {}  # https key -> the protocol its first connection chose
        self.fresh = {}  # https key -> that first connection, until a pool takes it
        self.alpn_lock = threading.Lock()
        self.log = log

    def dial(self, key):
        """A new wire for a pool key: TCP, and TLS for an https one."""
        if key[2:3] != ("https",):
            return connect(key[0], key[1])
        with self.alpn_lock:
            wire = self.fresh.pop(key, None)
        return wire or self.dial_tls(key)

    def dial_tls(self, key):
        if len(key) < 4:
            try:
                wire = connect(key[0], key[1], tls=self.tls)
            except (OSError, ssl.SSLError) as exc:
                raise ConnectFailed(describe_failure(exc, key[0], key[1])) from None
        else:  # through a proxy's tunnel
            phost, pport, auth = key[3]
            host = f"[{key[0]}]" if ":" in key[0] else key[0]
            self.log(f"CONNECT {host}:{key[1]} through {phost}:{pport}")
            wire = open_tunnel(phost, pport, f"{host}:{key[1]}", auth, self.log)
            try:
                wire.start_tls(self.tls, key[0], 10.0)
            except (OSError, ssl.SSLError) as exc:
                wire.abort()
                wire.release()
                raise ConnectFailed(describe_failure(exc, key[0], key[1])) from None
        self.log(f"TLS {wire.tls.version()} with {key[0]}:{key[1]}, "
                 f"ALPN {wire.tls.selected_alpn_protocol() or 'none'}")
        return wire

    def protocol(self, url):
        """"h2" or "http/1.1" for an https:// URL: what the origin chose by ALPN on
        the first connection (which then serves the first request); None for http://."""
        key = route_h2(url, PROG)[0]
        if key[2:3] != ("https",):
            return None
        key = route_h1(url, self.proxies, self.log, PROG)[0]  # with its tunnel, if any
        with self.alpn_lock:
            chosen = self.alpn.get(key)
            if chosen is None:  # the first thread here dials; the others wait for its answer
                wire = self.dial_tls(key)
                chosen = self.alpn[key] = wire.alpn
                self.fresh[key] = wire
            return chosen

    def fetch(self, method, url, user_headers, body, h2c):
        """(head, data, trailers, version) over the protocol the URL and options ask for."""
        if self.protocol(url) == H2 or (h2c and url.startswith("http:")):
            return *self.request_h2(method, url, user_headers, body), "2"
        head, data = self.request(method, url, user_headers, body)
        return head, data, None, "1.0" if head.http10 else "1.1"

    def request(self, method, url, user_headers, body):
        key, target, extra = route_h1(url, self.proxies, self.log, PROG)
        fields = merge_headers(extra, user_headers)
        for attempt in range(2):
            conn = self.pool.acquire(key)
            reused = conn.reused
            try:
                result = conn.exchange(method, target, fields, body)
            except RequestUnsent:
                conn.close()
                continue
            except (v.H1IncompleteMessageError, v.ConnectionClosedError, ConnectionError):
                conn.close()
                if attempt == 0 and reused and method in IDEMPOTENT:
                    self.log("the server closed the connection under the request; retrying")
                    continue
                raise
            self.pool.release(key, conn)
            return result
        raise v.ConnectionClosedError("could not send the request")

    def request_h2(self, method, url, user_headers, body):
        key, target, authority = route_h2(url, PROG)
        if key[2:3] == ("https",):
            key = route_h1(url, self.proxies, lambda line: None, PROG)[0]
        fields = v.HeaderMap([h for h in user_headers if h[0].lower() != "host"])
        for _ in range(3):
            conn = self.h2.get(key, authority)
            try:
                return conn.request(method, target, fields, body)
            except GoAwayRefused as exc:
                self.log(f"{exc}; retrying")
            except v.H2StreamError as exc:
                if exc.args[1] != v.H2Reason.REFUSED_STREAM:
                    raise
                self.log(f"stream {exc.args[0]} refused by the server; retrying")
        raise v.ConnectionClosedError("the server kept refusing the request")

    def close(self):
        self.pool.close()
        self.h2.close()

    @property
    def opened(self):
        return self.pool.opened + self.h2.opened


def main(argv=None):
    parser = client_parser(__doc__)
    ws_client.add_options(parser)
    args = client_request(parser.parse_args(argv))
    log = stderr_log(args.verbose)
    if ws_client.check_urls(parser, args.urls):
        return ws_client.main_threaded(
            args, lambda http11: client_context(args.cacert, args.insecure, http11), log,
            ClientConnection, H2ClientConnection, connect)
    tls = None
    if any(url.startswith("https:") for url in args.urls):
        try:
            tls = client_context(args.cacert, args.insecure, args.http11)
        except (OSError, ssl.SSLError) as exc:
            parser.error(f"--cacert {args.cacert}: {exc}")
    client = Client(log, tls)
    out = sys.stdout.buffer
    out_lock = threading.Lock()
    jobs = deque(url for _ in range(args.repeat) for url in args.urls)
    jobs_lock = threading.Lock()
    errors = []
    count = 0

    def worker():
        nonlocal count
        while True:
            with jobs_lock:
                if not jobs or errors:
                    return
                url = jobs.popleft()
                first = count == 0
                count += 1
            if not first and args.wait:
                time.sleep(args.wait)
            try:
                head, data, trailers, version = client.fetch(args.method, url, args.headers,
                                                             args.body, args.h2c)
            except BaseException as exc:
                with jobs_lock:
                    errors.append(exc)
                return
            with out_lock:
                show_response(out, head, data, trailers, version, args.verbose)

    try:
        threads = [threading.Thread(target=worker, name=f"request-{i}")
                   for i in range(max(1, args.concurrency))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        client.close()
    if errors:
        raise errors[0]
    if count > 1:
        print(f"connections opened: {client.opened}", flush=True)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except ConnectFailed as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        sys.exit(1)
    except (v.VelmoraError, GoAwayRefused, OSError) as exc:
        print(f"{PROG}: {type(exc).__name__}: {exc}", file=sys.stderr)
        sys.exit(1)
