"""The HTTP/2 connection driver shared by the example server and client.

`H2Connection` subclasses `H2Streams`, which holds the whole connection
state; this file only adds the asyncio machinery: a read pump that feeds
transport bytes in and hands every frame event to its `recv_*` step, a write
pump that moves the pending-send buffer out as a zero-copy batch, and the
events the other tasks wait on. Every decision (who to wake, whether the pump
must run, whether a stream may send, whether the connection is over) is the
answer of one state step; the verdicts' `H2_FLAG_*` bits are acted on in
`apply`.
The decoding of received bytes, the frame steps that are the same in both
driver families (they wake a stream only through its own `halt`), the counting
of body writers and what a stopped stream raises are in h2_steps.py.

One `Stream` per HTTP/2 stream is the handle the state stores and hands back
in its verdicts: the received head, body chunks and trailers wait in it, and
its events wake the tasks that read or write the stream.
"""

import asyncio
from collections import deque

import velmora._velmora as v
from h2_steps import (CAPACITY, CONN_DONE, DRAIN_SECONDS, LINGER_SECONDS, SLOT_FREED,
                      STOP_ACCEPTING, WAKE, BodyStalled, FrameSteps, GoAwayRefused,
                      ResponseStalled, copy_error)


class Stream:
    """The handle of one stream: what arrived for it, and the events its
    tasks wait on."""

    __slots__ = ("id", "head", "trailers", "chunks", "eof", "stop", "stopped",
                 "readable", "window", "gone", "received", "peer_reset")

    def __init__(self):
        self.id = 0
        # H2FrameHeaders: the request (server) or the response head (client)
        self.head = None
        self.trailers = None
        self.chunks = deque()  # (payload, budgeted) not yet read
        self.eof = False  # nothing more will arrive for the body
        self.stop = None  # H2Stopped once stopped, when there is a reason
        self.stopped = False
        self.readable = asyncio.Event()  # head, chunk, end or stop
        self.window = asyncio.Event()  # a sender may try again
        self.gone = asyncio.Event()  # reset, or the connection failed
        self.received = 0
        self.peer_reset = None  # the error code of the peer's RST_STREAM

    def halt(self, stop, body=True):
        """The stream stopped: publish why and wake every waiter."""
        self.stop = stop
        self.stopped = True
        self.window.set()
        self.gone.set()
        if body:
            self.eof = True
            self.readable.set()


class H2Connection(FrameSteps, v.H2Streams):
    """The pumps and waits of one HTTP/2 connection (either role)."""

    __slots__ = ("wire", "wake", "over", "writers_done", "spare", "log", "body_timeout")

    def setup(self, wire, log, body_timeout=None):
        """`body_timeout`: how long a stream's body may make no progress (a reader
        finds nothing new, a writer no window) before the wait raises `BodyStalled`
        or `ResponseStalled`; None waits for as long as the connection lives."""
        self.wire = wire
        self.log = log
        self.body_timeout = body_timeout
        self.wake = asyncio.Event()  # the write pump has work
        self.over = asyncio.Event()  # the connection is finished: close it
        self.writers_done = asyncio.Event()  # the last body writer ended after close began
        self.spare = None

    def start(self):
        """Queue the handshake and start both pumps."""
        self.begin()
        read = asyncio.ensure_future(self.read_pump())
        pump = asyncio.ensure_future(self.write_pump())
        self.store_task_handles(read, pump)
        self.wake.set()

    # Flags: what a verdict asks of the driver.

    def apply(self, flags):
        if flags & WAKE:
            self.wake.set()
        if flags & CAPACITY:
            handle = self.next_capacity_wake()
            if handle is not None:
                handle.window.set()
        if flags & (SLOT_FREED | CONN_DONE | STOP_ACCEPTING):
            self.on_flags(flags)

    def on_flags(self, flags):
        """Role-specific flags; both roles end the connection when it is done."""
        if flags & CONN_DONE:
            self.over.set()

    # The read pump.

    async def read_pump(self):
        wire = self.wire
        try:
            # The first round decodes what prime() left buffered (the
            # server's sniff).
            data = b""
            while self.feed(data):
                # A peer that does not read what we answer is not read either: the
                # pending-send buffer stays bounded by one batch of replies.
                if wire.must_drain:
                    try:
                        await wire.drain()
                    except ConnectionError:
                        self.fail_connection(
                            v.ConnectionClosedError("connection lost"))
                        return
                try:
                    data = await wire.read()
                except OSError as exc:
                    self.fail_connection(v.ConnectionClosedError(
                        str(exc) or "connection reset"))
                    return
                if not data:
                    self.fail_connection(
                        v.ConnectionClosedError("connection closed by peer"))
                    return
            # After a protocol error: skip what still arrives until the peer
            # closes, so that our GOAWAY is not lost to a reset.
            while await wire.read():
                pass
        except OSError:
            pass

    # Frame events whose steps wake this driver's waiters (FrameSteps has the
    # other steps). Each returns the flags of its step.

    def on_headers(self, ev):
        # After a stream error the spare may have become the handle of the stream in
        # error: it is not reused.
        spare = self.take_spare()
        verdict = self.recv_headers(ev, spare)
        kind, s = verdict.kind, verdict.handle
        if kind == v.H2_HEADERS_OPENED:
            s.id = verdict.stream_id
            s.head = ev
            s.eof = verdict.eof
            self.on_request(s)
        else:
            self.spare = spare
            if kind == v.H2_HEADERS_HEAD:
                s.head = ev
                s.eof = verdict.eof
                s.readable.set()
            elif kind == v.H2_HEADERS_TRAILERS:
                s.trailers = ev.headers
                s.eof = True
                s.readable.set()
        return verdict.flags

    def on_data(self, ev):
        verdict = self.recv_data(ev)
        s = verdict.handle
        if s is not None:
            if verdict.payload is not None:
                s.chunks.append((verdict.payload, verdict.budgeted))
                s.readable.set()
            if verdict.eof:
                s.eof = True
                s.readable.set()
        return verdict.flags

    def on_window_update(self, ev):
        for handle in self.recv_window_update(ev):
            handle.window.set()
        return 0

    def on_settings(self, ev):
        initial, wake_windows, flags = self.recv_settings(ev)
        for handle in wake_windows:
            handle.window.set()
        if initial:
            self.on_ready()
        return flags

    # The write pump.

    async def write_pump(self):
        wire = self.wire
        wake = self.wake
        while True:
            view, stopping = self.take_pending()
            if len(view):
                wire.write(view)
                if wire.must_drain:
                    try:
                        await wire.drain()
                    except ConnectionError:
                        self.fail_connection(
                            v.ConnectionClosedError("connection lost"))
                        stopping = True
            del view
            for handle in self.credit_written():
                handle.window.set()
            if self.has_pending():
                continue
            if stopping:
                return
            wake.clear()
            await wake.wait()

    # Streams: reading and sending bodies.

    async def read(self, s, bounded=True):
        """The next piece of the stream's body, b"" at its end; raises when
        it stopped. `bounded`: BodyStalled after body_timeout s with nothing
        (a WebSocket, whose peer may rightly stay silent, reads unbounded)."""
        limit = self.body_timeout if bounded else None
        while True:
            if s.chunks:
                data, budgeted = s.chunks.popleft()
                n = len(data)
                flags = self.release_capacity(s.id, n)
                if budgeted:
                    self.release_data_frame(s.id, n)
                if flags:
                    self.apply(flags)
                s.received += n
                return data
            if s.eof:
                if s.stop is not None:
                    self.raise_stop(s, s.stop)
                return b""
            s.readable.clear()
            if not await self.wait_for(s.readable, limit):
                raise BodyStalled(f"no request body for {limit:g} s")

    async def send_body(self, s, data, end_stream):
        """Send `data` on the stream under flow control, waiting for window
        as told."""
        offset = 0
        limit = self.body_timeout
        deadline = None  # of the current run of waits with nothing sent
        while True:
            s.window.clear()
            verdict = self.send_data(s.id, data, offset, end_stream)
            if verdict.flags:
                self.apply(verdict.flags)
            if verdict.stopped is not None:
                self.raise_stop(s, verdict.stopped)
            if verdict.handle is not None:
                verdict.handle.halt(verdict.reader_stop)
            if verdict.done:
                return
            if verdict.sent:
                offset += verdict.sent
                deadline = None
                continue
            left = None
            if limit is not None:
                now = asyncio.get_running_loop().time()
                if deadline is None:
                    deadline = now + limit
                left = deadline - now
            if not await self.wait_for(s.window, left):
                # No window (or no room to queue) for the whole deadline: the
                # peer stopped reading this stream.
                raise ResponseStalled(f"the client read nothing for {limit:g} s")

    @staticmethod
    async def wait_for(event, timeout):
        """Wait for `event` at most `timeout` s (None: no limit); False when it timed out."""
        if timeout is None:
            await event.wait()
            return True
        if timeout > 0:
            try:
                async with asyncio.timeout(timeout):
                    await event.wait()
                return True
            except TimeoutError:
                pass
        return event.is_set()

    # The end.

    async def close(self):
        """Wind the pumps down once: flush what is queued, close, join both
        tasks."""
        if not self.release_writers():
            # Body writers still run: their frames go out before the pump stops.
            try:
                await asyncio.wait_for(self.writers_done.wait(), DRAIN_SECONDS)
            except TimeoutError:
                pass
        self.stop_pump()
        self.wake.set()
        wire = self.wire
        pump = self.take_pump_handle()
        if pump is not None:
            try:
                await asyncio.wait_for(pump, DRAIN_SECONDS)
            except (TimeoutError, asyncio.CancelledError):
                wire.abort()
        read = self.take_read_handle()
        if read is not None:
            # Half-close and let the peer read our last frames before it sees
            # the end.
            wire.write_eof()
            _, pending = await asyncio.wait((read,), timeout=LINGER_SECONDS)
            if pending:
                read.cancel()
                await asyncio.gather(read, return_exceptions=True)
        wire.close()
