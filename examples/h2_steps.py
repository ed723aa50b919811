"""What both HTTP/2 drivers (asyncio, h2_driver.py; threads, threaded_h2.py) do alike.

The flags a verdict carries, the pumps' time limits, what a wait that outlived
the body deadline raises (`PeerStalled`, also for HTTP/1), and `FrameSteps`: the
receive side's decoding, the frame steps that wake a stream only through its
`halt`, the counting of body writers, and what a stopped stream raises. A driver
class lists FrameSteps before v.H2Streams among its bases and supplies the rest:
`apply(flags)`, `on_headers`, `on_data`, `on_window_update`, `on_settings`,
`wire`, `log`, the `over` and `writers_done` events, and streams with
`halt(stop, body=True)`, an `id` and a `peer_reset` (the error code of the
peer's RST_STREAM, or None). Nothing here waits, reads or writes.
"""

import velmora._velmora as v

WAKE = v.H2_FLAG_WAKE
SLOT_FREED = v.H2_FLAG_SLOT_FREED
CONN_DONE = v.H2_FLAG_CONN_DONE
STOP_ACCEPTING = v.H2_FLAG_STOP_ACCEPTING
CAPACITY = v.H2_FLAG_CAPACITY

FEED_BYTES = 64 * 1024  # decoded per step: bounds the frame events alive at once
LINGER_SECONDS = 1.0  # after our last frame, how long the peer may take to close its side
DRAIN_SECONDS = 5.0  # how long the write pump may take to flush at close

# Each frame event's step, by event class: the name of the driver's method.
STEPS = {
    v.H2FrameHeaders: "on_headers",
    v.H2FrameData: "on_data",
    v.H2FrameWindowUpdate: "on_window_update",
    v.H2FrameSettings: "on_settings",
    v.H2FramePing: "on_ping",
    v.H2FrameRstStream: "on_reset",
    v.H2FrameGoAway: "on_go_away",
    v.H2FrameStreamError: "on_stream_error",
    v.H2FramePriority: "on_priority",
}


class GoAwayRefused(Exception):
    """The peer's GOAWAY refused the request before processing it: safe to
    retry."""


class PeerStalled(Exception):
    """A request body or a response made no progress for the body deadline: the
    peer stopped sending, or stopped reading. The core keeps no timer: the
    driver bounds every wait on the peer and raises this."""


class BodyStalled(PeerStalled):
    """No request body arrived for the body deadline."""


class ResponseStalled(PeerStalled):
    """The peer read none of the response for the body deadline."""


def copy_error(exc):
    """A traceback-free copy to store as the connection's error."""
    try:
        return type(exc)(*exc.args)
    except Exception:
        return v.ConnectionClosedError(str(exc))


class FrameSteps:
    """The receive side's steps, shared by both HTTP/2 drivers."""

    __slots__ = ()

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        # Resolved once per class, so that a step is a dict lookup and a call.
        cls.frame_steps = {event: getattr(cls, name) for event, name in STEPS.items()}

    def feed(self, data):
        """Decode `data` and run every frame's step; False after a connection
        error."""
        if len(data) > FEED_BYTES:
            # A large read of tiny frames would be tens of thousands of events at
            # once: decode it a slice at a time.
            view = memoryview(data)
            return all(self.feed(bytes(view[i:i + FEED_BYTES]))
                       for i in range(0, len(data), FEED_BYTES))
        steps = self.frame_steps
        flags = 0
        try:
            for ev in self.receive(data):
                try:
                    flags |= steps[type(ev)](self, ev)
                except v.H2StreamError as exc:
                    # A stream-level violation: reset that stream, keep the
                    # connection.
                    flags |= self.reset_after_error(exc.args[0], exc.args[1])
            flags |= self.maybe_goaway_reply()
        except (v.H2ProtocolError, v.H2FlowControlError, ValueError) as exc:
            # ValueError: a step refused an argument, which leaves this
            # connection in no state to go on either.
            self.apply(flags)
            self.connection_error(exc)
            return False
        self.apply(flags)
        return True

    def connection_error(self, exc):
        reason = exc.args[0] if exc.args and isinstance(exc.args[0], int) else 1
        self.log(f"{self.wire.peer}: connection error: {exc.args[-1]!s} "
                 f"(GOAWAY {reason})")
        self.apply(self.send_goaway(reason))
        self.fail_connection(exc)

    def fail_connection(self, exc):
        """Record the first error, stop every stream with it, end the connection."""
        for handle, stop in self.fail(copy_error(exc)):
            handle.halt(stop)
        self.apply(CONN_DONE | SLOT_FREED)
        self.over.set()

    # Body writers and stopped streams.

    def writer_begin(self):
        """Count a body writer in; a closing or failed connection refuses it."""
        if not self.writer_start():
            stored = self.conn_error()
            if stored is not None:
                raise copy_error(stored) from stored
            raise v.ConnectionClosedError("connection closed")

    def writer_finish(self):
        if self.writer_end():
            self.writers_done.set()

    def raise_stop(self, s, stop):
        """Raise what a stopped stream `s` (its handle) means for its reader
        or writer.

        A bare stop (no reason, not the connection's) is a stream that is gone:
        the peer's RST_STREAM when `on_reset` noted one on the handle, else our
        own reset."""
        sid = s.id
        if stop.conn and stop.reason is not None:
            raise GoAwayRefused(f"stream {sid} refused by GOAWAY ({stop.reason})")
        if stop.conn or stop.reason is None:
            stored = self.conn_error()
            if stored is not None:
                raise copy_error(stored) from stored
            if stop.conn:
                raise v.ConnectionClosedError("connection closed")
            if s.peer_reset is not None:
                raise v.H2StreamError(sid, s.peer_reset, "remote")
            raise v.H2StreamError(sid, v.H2Reason.CANCEL, "user")
        raise v.H2StreamError(sid, stop.reason, "remote")

    # Frame events. Each returns the flags of its step.

    def take_spare(self):
        """The handle a new peer-opened stream would get (the server role's)."""
        return None

    def on_request(self, s):
        raise NotImplementedError

    def on_stream_error(self, ev):
        return self.reset_after_error(ev.stream_id, ev.error_code)

    def reset_after_error(self, sid, reason):
        """Answer a stream-level violation with RST_STREAM; the connection
        goes on."""
        verdict = self.reset_on_error(sid, reason)
        if verdict.handle is not None:
            verdict.handle.halt(verdict.stop)
        return verdict.flags

    def on_ready(self):
        """The peer's first SETTINGS arrived."""

    def on_ping(self, ev):
        return self.recv_ping(ev)

    def on_priority(self, ev):
        return 0

    def on_reset(self, ev):
        got = self.recv_reset(ev)
        if got is None:
            return 0
        handle, stop, notify_body, flags = got
        if handle is not None:
            # Noted before the wake: a writer that finds its stream gone can tell
            # the peer's reset from ours.
            handle.peer_reset = ev.error_code
            handle.halt(stop, notify_body)
        return flags

    def on_go_away(self, ev):
        aborted, flags = self.recv_go_away(ev)
        for handle, stop in aborted:
            handle.halt(stop)
        if ev.error_code:
            self.log(f"{self.wire.peer}: GOAWAY {ev.error_code} "
                     f"{ev.debug_data.decode(errors='replace')}".rstrip())
        return flags
