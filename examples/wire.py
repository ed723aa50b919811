"""The byte pipe the example drivers read from and write to.

`Wire` is an asyncio protocol for one TCP connection with an awaitable read
side: `await read()` returns whatever bytes have arrived (b"" once the peer
has closed its side), `write()` queues bytes and `await drain()` waits while
the kernel's send buffer is full. The connection states keep a `Wire` as
their transport and hand it back on every closing transition; the driver
then calls `close()` (flush, then FIN) or `abort()` (RST).

Over TLS (a listener made with an SSL context, or `start_tls()` on an open
connection) the same calls read and write plaintext; `alpn` names the
protocol the handshake chose. TLS has no half-close here: `write_eof()` sends
close_notify instead, and the peer's close_notify ends the connection.

One reader at a time: the connection states decide who that is (the serve
loop, a body reader, a watcher), so a second concurrent `read()` is a driver
bug and raises.

A protocol that answers each read at once (a WebSocket echo, a tunnel) can
skip the task switch every awaited read costs: `await consume(handler)` runs
`handler.step(data)` inside the protocol's own callback for every read and
writes its answer straight away, until `handler.done` or the peer's end.
"""

import asyncio

from tls import negotiated

# Stop reading from the socket while this much is buffered and unread.
READ_HIGH_WATER = 256 * 1024


class Wire(asyncio.Protocol):
    __slots__ = ("transport", "on_made", "_chunks", "_size", "_eof", "_error", "_waiter",
                 "_read_paused", "_write_paused", "_drainers", "_lost", "_out", "_loop", "tls",
                 "_handler", "_consumed", "_held")

    def __init__(self, on_made=None):
        self.transport = None
        self.on_made = on_made
        self._chunks = []
        self._size = 0
        self._eof = False
        self._error = None
        self._waiter = None
        self._read_paused = False
        self._write_paused = False
        self._drainers = []
        self._loop = asyncio.get_running_loop()
        self._lost = self._loop.create_future()
        self._out = None  # writes of this loop iteration, sent together
        self.tls = None  # the SSLObject once TLS runs on this connection
        self._handler = None  # consume()'s handler while it runs
        self._consumed = None  # the future consume() waits on
        self._held = False  # consume() paused reading while writes are held up

    # asyncio.Protocol side

    def connection_made(self, transport):
        self.transport = transport
        self.tls = transport.get_extra_info("ssl_object")
        if self.on_made is not None:
            self.on_made(self)

    def data_received(self, data):
        if self._handler is not None:
            self._step(data)
            return
        self._chunks.append(data)
        self._size += len(data)
        if self._size > READ_HIGH_WATER and not self._read_paused:
            self._read_paused = True
            self.transport.pause_reading()
        self._wake()

    def eof_received(self):
        # Keep the write side open: the driver decides when to close. (Not over
        # TLS, where the transport closes after the peer's close_notify.)
        self._eof = True
        self._wake()
        self._end_consume()
        return self.tls is None

    def connection_lost(self, exc):
        self._eof = True
        self._error = exc
        self._wake()
        self._end_consume(None if exc is None else ConnectionResetError(str(exc)))
        for fut in self._drainers:
            if not fut.done():
                fut.set_result(None)
        self._drainers.clear()
        if not self._lost.done():
            self._lost.set_result(None)

    def pause_writing(self):
        self._write_paused = True
        if self._handler is not None and not self._held:
            self._held = True
            self.transport.pause_reading()  # its answers would pile up unsent

    def resume_writing(self):
        self._write_paused = False
        self._release()
        for fut in self._drainers:
            if not fut.done():
                fut.set_result(None)
        self._drainers.clear()

    def _wake(self):
        waiter = self._waiter
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    # Driver side

    async def read(self):
        """The next bytes from the peer; b"" once it closed its side (or the wire
        was closed here).

        Raises ConnectionError when the connection was reset with nothing
        left to read.
        """
        if not self._chunks:
            # About to wait for the peer: what we wrote must not wait with us.
            if self._out is not None:
                self._flush()
            if self._eof:
                if self._error is not None:
                    raise ConnectionResetError(str(self._error))
                return b""
            if self._waiter is not None:
                raise RuntimeError("two readers on one connection")
            self._waiter = fut = asyncio.get_running_loop().create_future()
            try:
                await fut
            finally:
                self._waiter = None
            if not self._chunks:
                return await self.read()
        return self._take()

    async def consume(self, handler, data=b""):
        """Hand every read to `handler.step(data)` as it arrives, in the protocol's
        callback, and write what it returns (b"" for nothing) at once; `data`, then
        any bytes already received, go first. Returns once `handler.done` is true
        after a step, or the peer closed its side (the wire's reads then return
        what arrived since, as before). An exception from `step` ends it and is
        raised here; a reset connection raises ConnectionResetError.

        Costs no task switch per read, where `await read()` costs one (for a
        peer with one message in flight, most of the time a message takes).
        Reads stop while the kernel's send buffer is full."""
        if self._waiter is not None or self._handler is not None:
            raise RuntimeError("two readers on one connection")
        self._consumed = done = self._loop.create_future()
        self._handler = handler
        try:
            if self._chunks:
                data += self._take()
            if data:
                self._step(data)
            if self._eof:
                self._end_consume()
            await done
        finally:
            self._release()
            self._handler = self._consumed = None

    def _step(self, data):
        handler = self._handler
        try:
            out = handler.step(data)
        except Exception as exc:
            self._end_consume(exc)
            return
        if out:
            if self._out is not None:
                self._flush()  # what was queued before goes first
            self.transport.write(out)
        if handler.done:
            self._end_consume()

    def _end_consume(self, exc=None):
        done = self._consumed
        if done is None or done.done():
            return
        self._release()
        self._handler = None  # later reads are buffered for read()
        if exc is None:
            done.set_result(None)
        else:
            done.set_exception(exc)

    def _release(self):
        if self._held:
            self._held = False
            if not self.transport.is_closing():
                self.transport.resume_reading()

    def read_nowait(self):
        """The bytes already received, without waiting (b"" when none)."""
        return self._take() if self._chunks else b""

    def unread(self, data):
        """Give bytes back to the front of the read side (a protocol sniffer's peek)."""
        if data:
            self._chunks.insert(0, data)
            self._size += len(data)
            self._wake()

    def _take(self):
        chunks = self._chunks
        data = chunks[0] if len(chunks) == 1 else b"".join(chunks)
        chunks.clear()
        self._size = 0
        if self._read_paused:
            self._read_paused = False
            self.transport.resume_reading()
        return data

    @property
    def at_eof(self):
        return self._eof and not self._chunks

    def write(self, data):
        """Queue `data`; it leaves when this connection next waits for the peer, or at
        the end of this loop iteration, together with whatever else was written."""
        if not data:
            return
        out = self._out
        if out is None:
            self._out = [data]
            self._loop.call_soon(self._flush)
        else:
            out.append(data)

    def _flush(self):
        out, self._out = self._out, None
        if out and not self.transport.is_closing():
            if len(out) == 1:
                self.transport.write(out[0])
            else:
                self.transport.writelines(out)

    @property
    def must_drain(self):
        """Queued bytes wait for the kernel: above the high-water mark, or a large
        batch of this iteration's writes, or the connection is gone."""
        return (self._write_paused or self._lost.done() or self.transport.is_closing()
                or (self._out is not None and len(self._out) > 64))

    async def drain(self):
        """Wait until the kernel takes the queued bytes; raise if the peer is gone."""
        if self._out is not None:
            self._flush()
        if self._lost.done() or self.transport.is_closing():
            raise ConnectionResetError("connection lost")
        if self._write_paused:
            fut = asyncio.get_running_loop().create_future()
            self._drainers.append(fut)
            await fut
            if self._lost.done():
                raise ConnectionResetError("connection lost")

    def write_eof(self):
        """Flush what is queued, then half-close: the peer reads to its end, we may
        still read. Over TLS, which has no half-close here, send close_notify: the
        connection ends once the peer answers with its own (data it still sends
        until then is discarded)."""
        transport = self.transport
        if self.tls is not None:
            self.close()
            return
        if transport is not None and not transport.is_closing() and transport.can_write_eof():
            if self._out is not None:
                self._flush()
            try:
                transport.write_eof()
            except OSError:  # the peer is gone already
                pass

    def close(self):
        """Flush what is queued, then close. A read parked on the wire returns b""
        now: the transport reports its end only once the queued bytes are out, and
        over TLS only once the peer answered our close_notify (or the listener's
        ssl_shutdown_timeout passed), which a peer that stopped reading never does."""
        if self.transport is not None:
            if self._out is not None:
                self._flush()
            self.transport.close()
            self._eof = True
            self._wake()
            self._end_consume()

    def abort(self):
        """Close at once, dropping unsent bytes (the peer sees a reset)."""
        if self.transport is not None:
            self.transport.abort()

    async def start_tls(self, context, server_hostname):
        """Run the client side of a TLS handshake on this open connection (a direct
        one, or a proxy's tunnel); from then on reads and writes are the plaintext
        inside it. Raises OSError (ssl.SSLError among them) when the handshake
        fails, or when the peer spoke or closed before it began."""
        if self._chunks:
            raise ConnectionError("the peer sent bytes before the TLS handshake")
        if self._eof:
            raise ConnectionResetError("connection closed before the TLS handshake")
        if self._out is not None:
            self._flush()
        self.transport = await self._loop.start_tls(
            self.transport, self, context, server_hostname=server_hostname)
        self.tls = self.transport.get_extra_info("ssl_object")

    @property
    def alpn(self):
        """The protocol TLS chose: "h2" or "http/1.1"; None for cleartext."""
        return negotiated(self.tls)

    async def wait_closed(self):
        await self._lost

    @property
    def peer(self):
        info = self.transport.get_extra_info("peername") if self.transport else None
        return f"{info[0]}:{info[1]}" if info else "?"


async def connect(host, port):
    """Open a TCP connection and return its Wire."""
    loop = asyncio.get_running_loop()
    _, wire = await loop.create_connection(Wire, host, port)
    return wire
