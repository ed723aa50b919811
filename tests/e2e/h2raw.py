"""HTTP/2 frames by hand on a raw socket, for peers no real client would be.

Frames are built byte by byte (so that malformed ones can be), header blocks
with python hpack. Every read is bounded in time.
"""

import socket
import struct
import time

import hpack

PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
DATA, HEADERS, PRIORITY, RST_STREAM, SETTINGS, PUSH_PROMISE, PING, GOAWAY, WINDOW_UPDATE, \
    CONTINUATION = range(10)
END_STREAM = ACK = 0x1
END_HEADERS = 0x4
# SETTINGS identifiers
HEADER_TABLE_SIZE, ENABLE_PUSH, MAX_CONCURRENT_STREAMS, INITIAL_WINDOW_SIZE, MAX_FRAME_SIZE, \
    MAX_HEADER_LIST_SIZE = range(1, 7)


def frame(kind, flags, sid, payload=b""):
    return struct.pack(">I", len(payload))[1:] + bytes((kind, flags)) + struct.pack(">I", sid) \
        + payload


def settings(**values):
    ids = {"header_table_size": HEADER_TABLE_SIZE, "enable_push": ENABLE_PUSH,
           "max_concurrent_streams": MAX_CONCURRENT_STREAMS,
           "initial_window_size": INITIAL_WINDOW_SIZE, "max_frame_size": MAX_FRAME_SIZE,
           "max_header_list_size": MAX_HEADER_LIST_SIZE}
    return frame(SETTINGS, 0, 0, b"".join(struct.pack(">HI", ids[k], v)
                                          for k, v in values.items()))


def rst_stream(sid, code):
    return frame(RST_STREAM, 0, sid, struct.pack(">I", code))


def window_update(sid, increment):
    return frame(WINDOW_UPDATE, 0, sid, struct.pack(">I", increment))


def ping(payload=b"12345678", ack=False):
    return frame(PING, ACK if ack else 0, 0, payload)


class Frame:
    __slots__ = ("kind", "flags", "sid", "payload")

    def __init__(self, kind, flags, sid, payload):
        self.kind, self.flags, self.sid, self.payload = kind, flags, sid, payload

    @property
    def error_code(self):
        """RST_STREAM's or GOAWAY's error code."""
        return struct.unpack(">I", self.payload[:4] if self.kind == RST_STREAM
                             else self.payload[4:8])[0]

    def __repr__(self):
        return f"Frame(kind={self.kind}, flags={self.flags:#x}, sid={self.sid}, " \
               f"len={len(self.payload)})"


class H2Raw:
    """One client connection: the preface and SETTINGS are sent on connect."""

    def __init__(self, port, timeout=5.0, **our_settings):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.timeout = timeout
        self.buf = bytearray()
        self.pos = 0  # start of the first unparsed frame in buf
        self.encoder = hpack.Encoder()
        self.decoder = hpack.Decoder()
        self.decoder.max_header_list_size = 1 << 20
        self.next_sid = 1
        self.eof = False
        self.send(PREFACE + settings(**our_settings))

    def send(self, data):
        self.sock.sendall(data)

    def headers(self, sid, path, method="GET", end_stream=True, extra=(), end_headers=True):
        block = self.encoder.encode([(":method", method), (":scheme", "http"),
                                     (":authority", "127.0.0.1"), (":path", path), *extra])
        flags = (END_STREAM if end_stream else 0) | (END_HEADERS if end_headers else 0)
        return frame(HEADERS, flags, sid, block)

    def new_sid(self):
        sid, self.next_sid = self.next_sid, self.next_sid + 2
        return sid

    def next_frame(self, deadline):
        """The next frame, or None at EOF or on a reset; AssertionError on timeout."""
        while True:
            buf, pos = self.buf, self.pos
            if len(buf) - pos >= 9:
                length = int.from_bytes(buf[pos:pos + 3], "big")
                end = pos + 9 + length
                if len(buf) >= end:
                    sid = int.from_bytes(buf[pos + 5:pos + 9], "big") & 0x7FFFFFFF
                    self.pos = end
                    return Frame(buf[pos + 3], buf[pos + 4], sid, bytes(buf[pos + 9:end]))
            if self.eof:
                return None
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("no frame in time")
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(1 << 20)
            except (ConnectionResetError, BrokenPipeError):
                chunk = b""
            except TimeoutError:
                raise AssertionError("no frame in time") from None
            if not chunk:
                self.eof = True
            del buf[:pos]
            self.pos = 0
            buf += chunk

    def frames_until(self, stop, timeout=None):
        """Frames read until `stop(frame)` is true (that frame included) or EOF."""
        deadline = time.monotonic() + (timeout or self.timeout)
        got = []
        while (f := self.next_frame(deadline)) is not None:
            got.append(f)
            if stop(f):
                break
        return got

    def handshake(self):
        """Read the server's SETTINGS, acknowledge it, and wait for the ACK of ours
        with a PING round trip behind it, so that our settings are in force."""
        self.send(frame(SETTINGS, ACK, 0))
        self.send(ping(b"handshk!"))
        got = self.frames_until(lambda f: f.kind == PING and f.flags & ACK)
        assert got and got[-1].kind == PING, got
        return got

    def goaway(self, timeout=None):
        """The error code of the GOAWAY the server sends before closing, None when
        it closes without one; AssertionError when it does neither in time."""
        code = None
        deadline = time.monotonic() + (timeout or self.timeout)
        while (f := self.next_frame(deadline)) is not None:
            if f.kind == GOAWAY:
                code = f.error_code
        return code

    def get(self, path, timeout=None):
        """A whole GET on a new stream: (status, body)."""
        sid = self.new_sid()
        self.send(self.headers(sid, path))
        status, body = None, b""
        for f in self.frames_until(lambda f: f.sid == sid and (
                f.flags & END_STREAM and f.kind in (DATA, HEADERS) or f.kind == RST_STREAM),
                timeout):
            if f.sid != sid:
                continue
            if f.kind == HEADERS:
                fields = dict(self.decoder.decode(f.payload))
                status = status or int(fields[":status"])
            elif f.kind == DATA:
                body += f.payload
                if f.payload:
                    self.send(window_update(0, len(f.payload)))
        return status, body

    def close(self):
        self.sock.close()
