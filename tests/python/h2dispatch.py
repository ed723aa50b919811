"""Each HTTP/2 frame event to its `H2Streams` step, once for every in-process
harness (tests/python and bench/; the example drivers keep theirs in
examples/h2_steps.py, on the public API only).

`step(conn, ev, spare)` runs the step of one frame event and returns what
that step returns, raising what it raises: HEADERS `recv_headers(ev, spare)`,
DATA `recv_data`, WINDOW_UPDATE `recv_window_update`, SETTINGS
`recv_settings`, PING `recv_ping`, RST_STREAM `recv_reset`, GOAWAY
`recv_go_away`, the codec's stream error `reset_on_error`, PRIORITY nothing.

`Dispatcher` is the driver's loop around it: `dispatch(ev)` runs the step,
hands the result to the hook named after the event (`on_headers(ev,
verdict)`, ...) and returns it; a library stream error that a step raises is
answered with `reset_on_error`, as the drivers answer it, and reaches
`on_stream_reset` like the codec's own stream errors.
"""

from velmora._velmora import (
    H2FrameData,
    H2FrameGoAway,
    H2FrameHeaders,
    H2FramePing,
    H2FramePriority,
    H2FrameRstStream,
    H2FrameSettings,
    H2FrameStreamError,
    H2FrameWindowUpdate,
    H2StreamError,
    H2Streams,
)

# The steps of every event but HEADERS, which also takes the spare handle:
# called as STEPS[type(ev)](conn, ev), most of them straight into the module.
STEPS = {
    H2FrameData: H2Streams.recv_data,
    H2FrameWindowUpdate: H2Streams.recv_window_update,
    H2FrameSettings: H2Streams.recv_settings,
    H2FramePing: H2Streams.recv_ping,
    H2FrameRstStream: H2Streams.recv_reset,
    H2FrameGoAway: H2Streams.recv_go_away,
    H2FrameStreamError: lambda conn, ev: conn.reset_on_error(ev.stream_id, ev.error_code),
    H2FramePriority: lambda conn, ev: None,
}

HOOKS = {
    H2FrameHeaders: "on_headers",
    H2FrameData: "on_data",
    H2FrameWindowUpdate: "on_window_update",
    H2FrameSettings: "on_settings",
    H2FramePing: "on_ping",
    H2FrameRstStream: "on_reset",
    H2FrameGoAway: "on_go_away",
    H2FrameStreamError: "on_stream_error",
    H2FramePriority: "on_priority",
}


def step(conn, ev, spare=None):
    """The result of frame event `ev`'s step on `conn` (`spare`: HEADERS only)."""
    if type(ev) is H2FrameHeaders:
        return conn.recv_headers(ev, spare)
    return STEPS[type(ev)](conn, ev)


class Dispatcher:
    """A harness's receive side; the subclass provides `conn` and the hooks it needs."""

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        # Resolved once per class, and only the hooks the class overrides: a
        # dispatch is a dict lookup and a call, and one more of each for a hook.
        # (on_stream_error stays: it calls on_stream_reset.)
        cls._hooks = {event: getattr(cls, name) for event, name in HOOKS.items()
                      if getattr(cls, name) is not getattr(Dispatcher, name) or name == "on_stream_error"}

    def spare(self, ev):
        """The handle a request head may open a stream with: the server role's."""
        return None

    def dispatch(self, ev):
        t = type(ev)
        try:
            if t is H2FrameHeaders:
                result = self.conn.recv_headers(ev, self.spare(ev))
            else:
                result = STEPS[t](self.conn, ev)
        except H2StreamError as exc:
            return self.on_step_error(exc)
        hook = self._hooks.get(t)
        if hook is not None:
            hook(self, ev, result)
        return result

    def dispatch_all(self, events):
        """`dispatch` every event of a batch, in one loop (results dropped)."""
        conn, steps, hooks, spare = self.conn, STEPS, self._hooks, self.spare
        for ev in events:
            t = type(ev)
            try:
                result = conn.recv_headers(ev, spare(ev)) if t is H2FrameHeaders else steps[t](conn, ev)
            except H2StreamError as exc:
                self.on_step_error(exc)
                continue
            hook = hooks.get(t)
            if hook is not None:
                hook(self, ev, result)

    def on_step_error(self, exc):
        """A step raised a stream error: reset the stream, keep the connection."""
        sid, reason, initiator = exc.args
        assert initiator == "library", exc.args
        verdict = self.conn.reset_on_error(sid, reason)
        self.on_stream_reset(sid, reason, verdict)
        return verdict

    # The hooks: each gets the event and its step's result.

    def on_headers(self, ev, verdict):
        pass

    def on_data(self, ev, verdict):
        pass

    def on_window_update(self, ev, handles):
        pass

    def on_settings(self, ev, result):
        pass

    def on_ping(self, ev, flags):
        pass

    def on_reset(self, ev, result):
        pass

    def on_go_away(self, ev, result):
        pass

    def on_stream_error(self, ev, verdict):
        self.on_stream_reset(ev.stream_id, ev.error_code, verdict)

    def on_stream_reset(self, sid, reason, verdict):
        pass

    def on_priority(self, ev, result):
        pass
