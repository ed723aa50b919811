"""The HTTP/2 connection driver on threads, shared by the threaded server and client.

`ThreadedH2` subclasses `H2Streams` like the asyncio driver in h2_driver.py
and adds the thread machinery: a read-pump thread that feeds socket bytes in
and runs every frame event's `recv_*` step, a write-pump thread that moves the
pending-send buffer out as a zero-copy batch and writes it, and the waits of
the threads that read and write streams. Every decision is still the answer of
one state step; this file only blocks, wakes, reads and writes.
The decoding of received bytes, the frame steps that are the same in both
driver families (they wake a stream only through its own `halt`), the counting
of body writers and what a stopped stream raises are in h2_steps.py.

Waiting on many threads: every wait below is a `threading.Condition` with a
predicate or a generation counter read *before* the step whose answer may send
the thread to sleep, so a wake that lands between the step and the wait is
never lost (the asyncio drivers' "clear an event, then check" is only correct
on one thread when nothing runs in between).
"""

import threading
import time
from collections import deque

import velmora._velmora as v
from h2_steps import (CAPACITY, CONN_DONE, DRAIN_SECONDS, LINGER_SECONDS, SLOT_FREED,
                      STOP_ACCEPTING, WAKE, BodyStalled, FrameSteps, GoAwayRefused,
                      ResponseStalled, copy_error)


class Stalled(RuntimeError):
    """A wait outlived `ThreadedH2.stall_seconds`: a lost wake-up, or a peer that stopped."""


class TStream:
    """The handle of one stream: what arrived for it, under its own condition.

    `cond` guards every field; the read pump fills them, the stream's reader
    and body writer wait on it. `wgen` counts window wakes: a writer reads it
    before `send_data` and sleeps only while it is unchanged.
    """

    __slots__ = ("id", "head", "trailers", "chunks", "eof", "stop", "stopped", "wgen",
                 "received", "cond", "expect_continue", "peer_reset")

    def __init__(self):
        self.id = 0
        self.head = None  # H2FrameHeaders: the request (server) or the response head (client)
        self.trailers = None
        self.chunks = deque()  # (payload, budgeted) not yet read
        self.eof = False  # nothing more will arrive for the body
        self.stop = None  # H2Stopped once the stream stopped, when there is a reason
        self.stopped = False
        self.wgen = 0
        self.received = 0
        self.cond = threading.Condition(threading.Lock())
        self.expect_continue = False
        self.peer_reset = None  # the error code of the peer's RST_STREAM

    def halt(self, stop, body=True):
        """The stream stopped: publish why and wake every waiter."""
        with self.cond:
            self.stop = stop
            self.stopped = True
            self.wgen += 1
            if body:
                self.eof = True
            self.cond.notify_all()

    def wake_window(self):
        with self.cond:
            self.wgen += 1
            self.cond.notify_all()

    def deliver(self, payload, budgeted, eof):
        with self.cond:
            if payload is not None:
                self.chunks.append((payload, budgeted))
            if eof:
                self.eof = True
            self.cond.notify_all()

    def set_head(self, head, eof):
        with self.cond:
            self.head = head
            if eof:
                self.eof = True
            self.cond.notify_all()

    def set_trailers(self, trailers):
        with self.cond:
            self.trailers = trailers
            self.eof = True
            self.cond.notify_all()


class ThreadedH2(FrameSteps, v.H2Streams):
    """The pumps and waits of one HTTP/2 connection (either role) on threads."""

    __slots__ = ("wire", "log", "wake_cond", "wake_flag", "io_cond", "writing", "over",
                 "writers_done", "spare", "stall_seconds", "body_timeout")

    def setup(self, wire, log, stall_seconds=None, body_timeout=None):
        """`stall_seconds` bounds every wait (a test's guard against a lost wake-up);
        `body_timeout` bounds how long a stream's body may make no progress (a reader
        finds nothing new, a writer no window) before the wait raises `BodyStalled`
        or `ResponseStalled`; None for both: wait as long as the connection lives."""
        self.wire = wire
        self.log = log
        self.wake_cond = threading.Condition(threading.Lock())
        self.wake_flag = False  # the write pump has work
        self.io_cond = threading.Condition(threading.Lock())
        self.writing = False  # the write pump is inside a socket write
        self.over = threading.Event()  # set once: the connection is finished
        self.writers_done = threading.Event()  # set once: the last writer ended after close began
        self.spare = None
        self.stall_seconds = stall_seconds
        self.body_timeout = body_timeout

    def start(self, name):
        """Queue the handshake and start both pumps. begin() comes before any other
        thread may queue a frame: call this before handing the connection out."""
        self.begin()
        read = threading.Thread(target=self.read_pump, name=f"{name}-read", daemon=True)
        pump = threading.Thread(target=self.write_pump, name=f"{name}-write", daemon=True)
        self.store_task_handles(read, pump)
        read.start()
        pump.start()
        self.kick()

    def wait(self, cond, ready, what, deadline=None):
        """Wait on `cond` (held) until `ready()`; bounded by stall_seconds when set.
        False when `deadline` (a time.monotonic() value, None: none) came first."""
        stall = self.stall_seconds
        if stall is None and deadline is None:
            while not ready():
                cond.wait()
            return True
        if deadline is None or (stall is not None and stall < deadline - time.monotonic()):
            if not cond.wait_for(ready, stall):
                raise Stalled(f"{what}: no wake-up within {stall:g} s")
            return True
        return cond.wait_for(ready, max(0.0, deadline - time.monotonic()))

    # Flags: what a verdict asks of the driver.

    def kick(self):
        # A flag still set means the pump has not cleared it yet, and it clears it
        # before its next take_pending: the frames queued before this call go out.
        if self.wake_flag:
            return
        with self.wake_cond:
            self.wake_flag = True
            self.wake_cond.notify()

    def apply(self, flags):
        if flags & WAKE:
            self.kick()
        if flags & CAPACITY:
            handle = self.next_capacity_wake()
            if handle is not None:
                handle.wake_window()
        if flags & (SLOT_FREED | CONN_DONE | STOP_ACCEPTING):
            self.on_flags(flags)

    def on_flags(self, flags):
        if flags & CONN_DONE:
            self.over.set()

    # The read pump.

    def read_pump(self):
        wire = self.wire
        try:
            data = b""  # the first round decodes what prime() left buffered
            while self.feed(data):
                # A peer that does not read what we answer is not read either: while
                # the pump is stuck in a write, replies pile up only one batch deep.
                with self.io_cond:
                    while self.writing and self.has_pending():
                        self.io_cond.wait()
                try:
                    data = wire.read()
                except OSError as exc:
                    self.fail_connection(v.ConnectionClosedError(str(exc) or "connection reset"))
                    return
                if not data:
                    self.fail_connection(v.ConnectionClosedError("connection closed by peer"))
                    return
            # After a protocol error: skip what still arrives until the peer closes,
            # so that our GOAWAY is not lost to a reset.
            while wire.read():
                pass
        except OSError:
            pass

    # Frame events whose steps wake this driver's waiters (FrameSteps has the
    # other steps). Each returns the flags of its step.

    def on_headers(self, ev):
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
                s.set_head(ev, verdict.eof)
            elif kind == v.H2_HEADERS_TRAILERS:
                s.set_trailers(ev.headers)
        return verdict.flags

    def on_data(self, ev):
        verdict = self.recv_data(ev)
        s = verdict.handle
        if s is not None and (verdict.payload is not None or verdict.eof):
            s.deliver(verdict.payload, verdict.budgeted, verdict.eof)
        return verdict.flags

    def on_window_update(self, ev):
        for handle in self.recv_window_update(ev):
            handle.wake_window()
        return 0

    def on_settings(self, ev):
        initial, wake_windows, flags = self.recv_settings(ev)
        for handle in wake_windows:
            handle.wake_window()
        if initial:
            self.on_ready()
        return flags

    # The write pump.

    def write_pump(self):
        wire, cond = self.wire, self.wake_cond
        while True:
            with cond:
                # Cleared before the check: a later kick stays set.
                self.wake_flag = False
            view, stopping = self.take_pending()
            if len(view):
                with self.io_cond:
                    self.writing = True
                try:
                    wire.write(view)
                except OSError:
                    self.fail_connection(v.ConnectionClosedError("connection lost"))
                    stopping = True
                finally:
                    with self.io_cond:
                        self.writing = False
                        self.io_cond.notify_all()
            del view
            for handle in self.credit_written():
                handle.wake_window()
            if self.has_pending():
                continue
            if stopping:
                return
            with cond:
                while not self.wake_flag:
                    cond.wait()

    # Streams: reading and sending bodies.

    def read(self, s, bounded=True):
        """The next piece of the stream's body, b"" at its end; raises when it stopped.
        `bounded`: BodyStalled after body_timeout s with nothing (a WebSocket,
        whose peer may rightly stay silent, reads unbounded)."""
        limit = self.body_timeout if bounded else None
        deadline = None if limit is None else time.monotonic() + limit
        with s.cond:
            if not self.wait(s.cond, lambda: s.chunks or s.eof,
                             f"stream {s.id}: reading the body", deadline):
                raise BodyStalled(f"no request body for {limit:g} s")
            if s.chunks:
                data, budgeted = s.chunks.popleft()
            else:
                data, stop = None, s.stop
        if data is None:
            if stop is not None:
                self.raise_stop(s, stop)
            return b""
        n = len(data)
        flags = self.release_capacity(s.id, n)
        if budgeted:
            self.release_data_frame(s.id, n)
        if flags:
            self.apply(flags)
        s.received += n
        return data

    def send_body(self, s, data, end_stream):
        """Send `data` on the stream under flow control, blocking for window
        as told."""
        offset = 0
        limit = self.body_timeout
        deadline = None  # of the current run of waits with nothing sent
        while True:
            with s.cond:
                gen = s.wgen  # read before the step: a wake after it changes gen
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
            if deadline is None and limit is not None:
                deadline = time.monotonic() + limit
            with s.cond:
                if not self.wait(s.cond, lambda: s.wgen != gen,
                                 f"stream {s.id}: waiting for window", deadline):
                    # No window (or no room to queue) for the whole deadline: the
                    # peer stopped reading this stream.
                    raise ResponseStalled(
                        f"the client read nothing for {limit:g} s")

    def check_send(self, s, verdict):
        """Act on a head or trailers verdict of stream `s`."""
        if verdict.flags:
            self.apply(verdict.flags)
        if verdict.stopped is not None:
            self.raise_stop(s, verdict.stopped)
        if verdict.handle is not None:
            # The response ended before the request body: the state reset the
            # stream (NO_ERROR) and its reader must see that.
            verdict.handle.halt(verdict.reader_stop)

    # The end.

    def close(self):
        """Wind the pumps down once: flush what is queued, close, join both threads.
        Never called from a pump thread."""
        if not self.release_writers():
            self.writers_done.wait(DRAIN_SECONDS)
        self.stop_pump()
        self.kick()
        wire = self.wire
        pump = self.take_pump_handle()
        if pump is not None:
            pump.join(DRAIN_SECONDS)
            if pump.is_alive():
                wire.abort()
                pump.join()
        read = self.take_read_handle()
        if read is not None:
            # Half-close and let the peer read our last frames before it sees the end.
            wire.write_eof()
            read.join(LINGER_SECONDS)
            if read.is_alive():
                wire.abort()
                read.join()
        wire.close()
