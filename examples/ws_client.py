"""ws:// and wss:// URLs for both example clients: open a WebSocket, send
--ws-message TEXT --repeat N times (each waits for its echo), then close.

The opening follows the URL and the options:

- HTTP/1.1 (the default): a GET with `Upgrade: websocket` on a connection of
  its own; the 101 hands the transport over (`H1ClientState.upgrade`), and the
  bytes that came after the 101 head are the codec's first input.
- HTTP/2 with --ws-h2 (or --h2c for ws://): wss:// offers h2 by ALPN, ws://
  speaks h2c with prior knowledge. Once the server's SETTINGS allow extended
  CONNECT (`peer_enable_connect_protocol`), a CONNECT with `:protocol
  websocket` opens a stream that carries the WebSocket; a server that does not
  allow it (or picks http/1.1 by ALPN) gets the HTTP/1.1 upgrade instead.

permessage-deflate is offered unless --ws-no-deflate. Prints each echo as it
arrives ("< TEXT"), then one line: how the WebSocket came, how many
messages came back, and the close code.

`WsTalk` is the sans-I/O conversation; `run_async` and `run_threaded` drive it
with each family's connection classes, which the client passes in.
"""

import time
from collections import deque

import velmora._velmora as v
from shared import url_parts

OFFER = "permessage-deflate; client_max_window_bits"
CLOSE_WAIT = 2.0  # seconds we wait for the server's close, then for its FIN


def add_options(parser):
    parser.add_argument("--ws-message", metavar="TEXT", default="hello",
                        help="ws:// and wss://: the text message to send (default: hello)")
    parser.add_argument("--ws-h2", action="store_true",
                        help="ws:// and wss://: prefer a WebSocket over HTTP/2 (RFC 8441)")
    parser.add_argument("--ws-no-deflate", action="store_true",
                        help="ws:// and wss://: do not offer permessage-deflate")


def is_ws(url):
    return url.startswith(("ws://", "wss://"))


def http_url(url):
    """The http(s) URL of the same origin and target, for url_parts."""
    return "http" + url[2:]


class WsTalk:
    """One client conversation: what to send, and what the received bytes mean."""

    def __init__(self, args, key, extension, how):
        self.codec = v.WsCodec(True, extension=extension)
        self.message = args.ws_message
        self.left = args.repeat
        self.how = how
        self.echoes = 0
        self.closed = None  # the server's close code
        self.events = deque()

    def first(self):
        return self.codec.send_text(self.message)

    def feed(self, data):
        """Bytes from the server: (frames to send back, lines to print)."""
        out, lines = [], []
        codec = self.codec
        try:
            events = codec.receive(data)
        except v.WsProtocolError as exc:
            code, reason = exc.args
            lines.append(f"protocol violation by the server: {code} {reason}")
            self.closed = code
            return codec.send_close(code, reason) or b"", lines
        for kind, payload, extra in events:
            if kind in (v.WS_EVENT_TEXT, v.WS_EVENT_BINARY):
                self.echoes += 1
                self.left -= 1
                lines.append(f"< {payload}" if kind == v.WS_EVENT_TEXT
                             else f"< {len(payload)} octets")
                if self.left > 0:
                    out.append(codec.send_text(self.message))
                elif codec.state == v.WS_STATE_OPEN:
                    out.append(codec.send_close(1000))
            elif kind == v.WS_EVENT_PING:
                out.append(codec.send_pong(payload))
            elif kind == v.WS_EVENT_CLOSE:
                self.closed = extra
                out.append(codec.send_close(None if extra == 1005 else extra))
        return b"".join(f for f in out if f), lines

    @property
    def done(self):
        return self.codec.may_close_transport

    def summary(self):
        ext = f", {self.codec.extension}" if self.codec.extension else ""
        code = self.closed if self.closed is not None else "none (connection lost)"
        return f"websocket over {self.how}{ext}: {self.echoes} echoes, close {code}"


def offer(args):
    return None if args.ws_no_deflate else OFFER


def request_fields(args, key, authority, http2):
    fields = v.ws_client_request(key, (), offer(args), http2)
    if not http2:
        fields.add("host", authority)
    return fields


def check(args, head, key, http2):
    """The agreed extension, after checking the server's answer."""
    want = 200 if http2 else 101
    if head.status != want:
        raise v.WsHandshakeError(f"the server answered {head.status}, not {want}")
    return v.ws_client_check(head.headers, key, (), offer(args), http2)[1]


def answer(talk, data, out):
    """Feed the server's bytes, print what they said: the frames to send back."""
    frames, lines = talk.feed(data)
    for line in lines:
        out.write(line.encode(errors="replace") + b"\n")
    out.flush()
    return frames


def upgrading(H1):
    """The client's HTTP/1 connection class, keeping what a 101 hands over:
    (transport, the bytes that followed the 101 head)."""

    class Upgrade(H1):
        __slots__ = ("handed",)

        def switched(self):
            leftover = self.codec.take_body()
            self.handed = (self.upgrade(), leftover)
            return b""

    return Upgrade


def refusal(head, body):
    return v.WsHandshakeError(f"the server answered {head.status}: "
                              f"{body.decode(errors='replace').strip()}")


# ---------------------------------------------------------------------------
# asyncio (examples/client.py)


async def run_async(args, url, tls_for, log, out, H1, H2, connect):
    """One WebSocket to `url`. `tls_for(http11_only)` gives the client context;
    H1 and H2 are the client's connection classes, `connect` its dialer."""
    import asyncio

    scheme, host, port, target, authority = url_parts(http_url(url), "client.py")
    want_h2 = args.ws_h2 or (args.h2c and scheme == "http")
    wire = await connect(host, port)
    if scheme == "https":
        await wire.start_tls(tls_for(not want_h2 or args.http11), host)
        want_h2 = wire.alpn == "h2"
    if want_h2:
        conn = H2.start_on(wire, scheme, authority, "ws", log)
        await conn.ready.wait()
        if conn.peer_enable_connect_protocol:
            return await _h2_async(args, conn, target, authority, out)
        log("the server does not allow extended CONNECT: WebSocket over HTTP/1.1")
        await conn.shutdown()
        wire = await connect(host, port)
        if scheme == "https":
            await wire.start_tls(tls_for(True), host)
    return await _h1_async(args, H1, wire, target, authority, log, out, asyncio)


async def _h1_async(args, H1, wire, target, authority, log, out, asyncio):
    key = v.ws_make_key()
    conn = upgrading(H1).start_on(wire, "ws", log)
    conn.handed = None
    conn.try_begin_exchange()
    try:
        head, body = await conn.exchange("GET", target, request_fields(args, key, authority, False),
                                         None)
    except BaseException:
        await conn.close()
        raise
    if conn.handed is None:
        await conn.close()
        raise refusal(head, body)
    wire, data = conn.handed
    talk = WsTalk(args, key, check(args, head, key, False), "HTTP/1.1")
    try:
        wire.write(talk.first())
        while not talk.done:
            if data:
                if frames := answer(talk, data, out):
                    wire.write(frames)
                    await wire.drain()
                if talk.done:
                    break
            try:
                async with asyncio.timeout(CLOSE_WAIT if talk.left <= 0 else None):
                    data = await wire.read()
            except TimeoutError:
                break
            if not data:
                break
        # The server closes the TCP connection first; we wait a while for that.
        try:
            async with asyncio.timeout(CLOSE_WAIT):
                while await wire.read():
                    pass
        except (TimeoutError, OSError):
            pass
    finally:
        wire.close()
    return talk


async def _h2_async(args, conn, target, authority, out):
    from h2_driver import Stream

    key = v.ws_make_key()
    while not conn.try_claim_slot():
        if conn.is_closed():
            conn.refused()
        conn.slots.clear()
        await conn.slots.wait()
    s = Stream()
    sid = conn.open_stream("CONNECT", target, request_fields(args, key, authority, True),
                           False, False, s, scheme=conn.scheme, authority=authority,
                           protocol="websocket")
    if sid is None:
        conn.refused()
    s.id = sid
    conn.wake.set()
    try:
        while s.head is None:
            if s.eof:
                conn.raise_stop(sid, s.stop) if s.stop else conn.refused()
            s.readable.clear()
            await s.readable.wait()
        talk = WsTalk(args, key, check(args, s.head, key, True), f"HTTP/2 stream {sid}")

        async def send(data, end=False):
            conn.writer_begin()
            try:
                await conn.send_body(s, data, end)
            finally:
                conn.writer_finish()

        await send(talk.first())
        while not talk.done:
            data = await conn.read(s)
            if not data:
                break
            if frames := answer(talk, data, out):
                await send(frames)
        if not s.stopped:
            await send(b"", True)
            while await conn.read(s):  # the server ends its half after its close
                pass
        return talk
    finally:
        await conn.shutdown()


# ---------------------------------------------------------------------------
# Threads (examples/threaded_client.py)


def run_threaded(args, url, tls_for, log, out, H1, H2, connect):
    """The same on blocking wires: `connect(host, port, tls=ctx)` gives a wire."""
    scheme, host, port, target, authority = url_parts(http_url(url), "threaded_client.py")
    want_h2 = args.ws_h2 or (args.h2c and scheme == "http")
    tls = tls_for(not want_h2 or args.http11) if scheme == "https" else None
    wire = connect(host, port, tls=tls)
    if tls is not None:
        want_h2 = wire.alpn == "h2"
    if want_h2:
        conn = H2.open(host, port, authority, "ws", log, wire=wire)
        if not conn.ready.wait(10):
            raise TimeoutError("no SETTINGS from the server")
        if conn.peer_enable_connect_protocol:
            return _h2_threaded(args, conn, target, authority, out)
        log("the server does not allow extended CONNECT: WebSocket over HTTP/1.1")
        conn.shutdown()
        wire = connect(host, port, tls=tls_for(True) if tls is not None else None)
    return _h1_threaded(args, H1, wire, target, authority, log, out)


def _h1_threaded(args, H1, wire, target, authority, log, out):
    key = v.ws_make_key()
    conn = upgrading(H1).open(None, None, "ws", log, wire=wire)
    conn.handed = None
    conn.try_begin_exchange()
    try:
        head, body = conn.exchange("GET", target, request_fields(args, key, authority, False),
                                   None)
    except BaseException:
        conn.close()
        raise
    if conn.handed is None:
        conn.close()
        raise refusal(head, body)
    wire, data = conn.handed
    talk = WsTalk(args, key, check(args, head, key, False), "HTTP/1.1")
    try:
        wire.write(talk.first())
        while not talk.done:
            if data:
                if frames := answer(talk, data, out):
                    wire.write(frames)
                if talk.done:
                    break
            try:
                data = wire.read(CLOSE_WAIT if talk.left <= 0 else None)
            except TimeoutError:
                break
            if not data:
                break
        deadline = time.monotonic() + CLOSE_WAIT
        try:
            while (left := deadline - time.monotonic()) > 0 and wire.read(left):
                pass
        except (TimeoutError, OSError):
            pass
    finally:
        wire.close()
        wire.release()
    return talk


def _h2_threaded(args, conn, target, authority, out):
    key = v.ws_make_key()
    s = _open_ws_stream(conn, target, key, args, authority)
    try:
        _wait_head(conn, s)
        talk = WsTalk(args, key, check(args, s.head, key, True), f"HTTP/2 stream {s.id}")

        def send(data, end=False):
            conn.writer_begin()
            try:
                conn.send_body(s, data, end)
            finally:
                conn.writer_finish()

        send(talk.first())
        while not talk.done:
            data = conn.read(s)
            if not data:
                break
            if frames := answer(talk, data, out):
                send(frames)
        if not s.stopped:
            send(b"", True)
            while conn.read(s):
                pass
        return talk
    finally:
        conn.shutdown()


def _open_ws_stream(conn, target, key, args, authority):
    from threaded_h2 import TStream

    conn.claim_slot()
    s = TStream()
    sid = conn.open_stream("CONNECT", target, request_fields(args, key, authority, True),
                           False, False, s, scheme="https" if conn.wire.tls else "http",
                           authority=authority, protocol="websocket")
    if sid is None:
        conn.refused()
    s.id = sid
    conn.kick()
    return s


def _wait_head(conn, s):
    with s.cond:
        conn.wait(s.cond, lambda: s.head is not None or s.eof, f"stream {s.id}: the answer")
    if s.head is None:
        conn.raise_stop(s.id, s.stop) if s.stop else conn.refused()


def check_urls(parser, urls):
    """True when the URLs are WebSocket ones (all of them: no mixing with http)."""
    ws = [is_ws(url) for url in urls]
    if any(ws) and not all(ws):
        parser.error("ws:// and wss:// URLs cannot be mixed with http(s):// ones")
    return all(ws)


def report(out, talk):
    out.write(talk.summary().encode() + b"\n")
    out.flush()
    return 0 if talk.closed == 1000 and talk.echoes else 1


async def main_async(args, tls_for, log, H1, H2, connect):
    """Every URL in turn; exit status 0 when each WebSocket closed with 1000."""
    import sys

    out, status = sys.stdout.buffer, 0
    for url in args.urls:
        talk = await run_async(args, url, tls_for, log, out, H1, H2, connect)
        status |= report(out, talk)
    return status


def main_threaded(args, tls_for, log, H1, H2, connect):
    import sys

    out, status = sys.stdout.buffer, 0
    for url in args.urls:
        talk = run_threaded(args, url, tls_for, log, out, H1, H2, connect)
        status |= report(out, talk)
    return status
