"""The /ws route of both example server families: a WebSocket echo.

A WebSocket arrives two ways and this route serves both with one `WsCodec`:

- HTTP/1.1: a GET with `Upgrade: websocket`, answered 101; the connection
  state hands the transport over (`switch`), and the bytes after the 101 head
  are the codec's first input.
- HTTP/2: an extended CONNECT with `:protocol websocket` (our SETTINGS allow
  it: `enable_connect_protocol` in shared.H2_SERVER), answered 200 without
  END_STREAM; the stream's DATA is the codec's input and output, and our close
  frame is followed by END_STREAM.

Every text and binary message comes back as it came, compressed when the
client offered permessage-deflate (unless the query says `deflate=0`); pings are answered; the peer's close is
returned with its code. A protocol violation is answered with a close frame
carrying its code and reason, then the transport (or our half of the stream)
ends. Each WebSocket logs one line when it ends, naming the protocol it came
over, and `COUNTS` adds them up.

The session logic is sans I/O (`WsEcho.step`); `serve_async` and
`serve_threaded` wrap it in the two families' reads and writes.
"""

import threading

import velmora._velmora as v
from shared import TEXT

DEFLATE = "permessage-deflate"  # our preferences: the client's offer as it is
MAX_MESSAGE = 16 << 20  # a message (after inflating) may be this long: 1009 beyond


class Counts:
    """WebSockets served, by how they came (HTTP/1.1 upgrade or HTTP/2 stream)."""

    def __init__(self):
        self.lock = threading.Lock()
        self.h1 = 0
        self.h2 = 0

    def add(self, http2):
        with self.lock:
            if http2:
                self.h2 += 1
            else:
                self.h1 += 1


COUNTS = Counts()


class WsEcho:
    """One echo session: bytes in, the bytes to send back out."""

    __slots__ = ("codec", "http2", "messages", "close", "stream_id")

    def __init__(self, extension, http2, stream_id=None):
        self.codec = v.WsCodec(False, extension=extension, max_message_size=MAX_MESSAGE)
        self.http2 = http2
        self.stream_id = stream_id
        self.messages = 0
        self.close = None  # (code, who) once a close was received, sent or failed

    def step(self, data):
        """The frames answering `data` (b"" for none); the session is over once
        `done` is true."""
        codec = self.codec
        try:
            events = codec.receive(data)
        except v.WsProtocolError as exc:
            code, reason = exc.args
            self.close = (code, f"violation: {reason}")
            return codec.send_close(code, reason) or b""
        out = []
        for kind, payload, extra in events:
            if kind == v.WS_EVENT_TEXT:
                frame = codec.send_text(payload)
            elif kind == v.WS_EVENT_BINARY:
                frame = codec.send_binary(payload)
            elif kind == v.WS_EVENT_PING:
                frame = codec.send_pong(payload)
            elif kind == v.WS_EVENT_CLOSE:
                self.close = (extra, "by the client")
                frame = codec.send_close(None if extra == 1005 else extra)
            else:
                continue
            if kind <= v.WS_EVENT_BINARY:
                self.messages += 1
            if frame is not None:
                out.append(frame)
        return b"".join(out)

    @property
    def done(self):
        return self.codec.may_close_transport

    def log_line(self, peer):
        how = f"HTTP/2 stream {self.stream_id}" if self.http2 else "HTTP/1.1 upgrade"
        ext = f", {self.codec.extension}" if self.codec.extension else ""
        code, who = self.close or (None, "connection lost")
        end = f"close {code} {who}" if code is not None else who
        return f"websocket /ws over {how}{ext}: {self.messages} messages echoed, {end} ({peer})"


def handshake(req):
    """(response fields, WsEcho) for a WebSocket request, or None after
    answering a request that is no valid upgrade (400, or 426 for a version
    other than 13)."""
    http2 = req.method == "CONNECT"
    deflate = None if req.query.get("deflate") == "0" else DEFLATE
    try:
        fields, _, extension = v.ws_server_handshake(req.headers, (), deflate, http2)
    except v.WsHandshakeError as exc:
        return None, exc
    stream_id = req.s.id if http2 else None
    return fields, WsEcho(extension, http2, stream_id)


def refusal(req, exc):
    """(status, body, headers) answering a failed handshake."""
    version = req.headers.get("sec-websocket-version")
    if version is not None and version != b"13":
        return 426, b"426\n", v.HeaderMap([("sec-websocket-version", "13"),
                                          ("content-type", "text/plain; charset=utf-8")])
    return 400, f"not a WebSocket request: {exc.args[-1]}\n".encode(), TEXT


def finish(session, log, peer):
    COUNTS.add(session.http2)
    log(session.log_line(peer))


# ---------------------------------------------------------------------------
# asyncio (examples/server.py)


async def serve_async(req):
    """The /ws route on the asyncio server (either protocol)."""
    fields, session = handshake(req)
    if fields is None:
        return await req.respond(*refusal(req, session))
    conn = req.conn
    log = conn.server.log
    if not session.http2:
        async def tunnel(wire, leftover):
            # Each read is answered inside the wire's callback: no task wakes
            # per message.
            try:
                await wire.consume(session, leftover)
            finally:
                finish(session, log, wire.peer)
        return await req.switch(101, fields, tunnel)

    s = req.s
    req._head(200, fields, False)
    try:
        while not session.done:
            data = await conn.read(s, bounded=False)  # idle is fine
            if not data:
                break
            out = session.step(data)
            if out:
                await _send(conn, s, out, False)
        if not s.stopped:
            await _send(conn, s, b"", True)
    finally:
        finish(session, log, conn.wire.peer)
    req.finished = True


async def _send(conn, s, data, end_stream):
    conn.writer_begin()
    try:
        await conn.send_body(s, data, end_stream)
    finally:
        conn.writer_finish()


# ---------------------------------------------------------------------------
# Threads (examples/threaded_server.py)


def serve_threaded(req):
    """The /ws route on the threaded server (either protocol)."""
    fields, session = handshake(req)
    if fields is None:
        return req.respond(*refusal(req, session))
    conn = req.conn
    log = conn.server.log
    if not session.http2:
        def tunnel(wire, leftover):
            try:
                data = leftover
                while True:
                    if data:
                        out = session.step(data)
                        if out:
                            wire.write(out)  # blocks while the client does not read
                        if session.done:
                            break
                    data = wire.read()
                    if not data:
                        break
            finally:
                finish(session, log, wire.peer)
        return req.switch(101, fields, tunnel)

    s = req.s
    req._head(200, fields, False)
    try:
        while not session.done:
            data = conn.read(s, bounded=False)  # idle is fine
            if not data:
                break
            out = session.step(data)
            if out:
                _send_threaded(conn, s, out, False)
        if not s.stopped:
            _send_threaded(conn, s, b"", True)
    finally:
        finish(session, log, conn.wire.peer)
    req.finished = True


def _send_threaded(conn, s, data, end_stream):
    conn.writer_begin()
    try:
        conn.send_body(s, data, end_stream)
    finally:
        conn.writer_finish()
