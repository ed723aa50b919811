"""Random interleavings of everything a driver does with a loopback pair:
opening streams, answering them, framing bodies under flow control, writing
batches and crediting them later, delivering arbitrary prefixes of the bytes
in flight, the application consuming DATA in its own time, and cancels.
After every step: no window below its floor or advertised beyond what is
free, every received octet either unreleased or back in the window exactly
once, `num_streams` equal to the records still live, no DATA or head
delivered on a stream whose state forbids it. At the end everything drains:
no sender is left waiting, and every stream that was not reset carried its
bodies intact.
"""

import random

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from h2_loopback import Pair, Side

CONFIGS = [
    dict(),
    dict(initial_window_size=1000, connection_window=65535, max_send_buf_size=4096),
    dict(initial_window_size=16384, connection_window=200000, max_frame_size=20000),
    dict(initial_window_size=65535, connection_window=65535, max_send_buf_size=1000),
    dict(initial_window_size=300000, connection_window=100000, max_frame_size=32768, max_send_buf_size=100000),
]

MAX_LIVE = 8


def _payload(tag, n):
    return random.Random(repr(tag)).randbytes(n)


class LoopbackMachine(RuleBasedStateMachine):
    @initialize(cfg=st.sampled_from(range(len(CONFIGS))), server_cfg=st.sampled_from(range(len(CONFIGS))))
    def setup(self, cfg, server_cfg):
        self.p = Pair(client=Side("client", auto_release=False, **CONFIGS[cfg]),
                      server=Side("server", auto_release=False, **CONFIGS[server_cfg]))
        self.expect_up = {}     # client handle -> request body
        self.expect_down = {}   # server handle -> response body
        self.answered = set()
        self.views = []         # write batches whose view the pump still holds
        self.n = 0

    # ---- the application ----

    @precondition(lambda self: self.p.client.conn.num_streams < MAX_LIVE)
    @rule(size=st.integers(0, 120000), trailers=st.booleans())
    def open_request(self, size, trailers):
        self.n += 1
        body = _payload(("up", self.n), size)
        h = self.p.client.request("POST", f"/{self.n}", None, body, {"x-n": str(self.n)} if trailers else None)
        self.expect_up[h] = body

    @rule(pick=st.integers(0, 1 << 16), size=st.integers(0, 150000), early=st.booleans(), trailers=st.booleans())
    def answer(self, pick, size, early, trailers):
        ready = [h for h in self.p.server.streams.values()
                 if h not in self.answered and not h.reset and (h.eof or early)]
        if not ready:
            return
        h = ready[pick % len(ready)]
        self.answered.add(h)
        body = _payload(("down", h.sid), size)
        self.expect_down[h] = body
        self.p.server.respond(h, 200, None, body, {"x-r": "1"} if trailers else None)

    @rule(side=st.booleans(), pick=st.integers(0, 1 << 16), chunks=st.integers(1, 4))
    def consume(self, side, pick, chunks):
        s = self.p.client if side else self.p.server
        have = [h for h in s.streams.values() if h.unconsumed]
        if have:
            s.consume(have[pick % len(have)], chunks)

    @rule(side=st.booleans(), pick=st.integers(0, 1 << 16))
    def cancel(self, side, pick):
        s = self.p.client if side else self.p.server
        live = [h for h in s.streams.values() if s.conn.has_stream(h.sid) and not h.reset]
        if live:
            s.cancel(live[pick % len(live)])

    # ---- the pumps ----

    @rule(side=st.booleans())
    def run_senders(self, side):
        (self.p.client if side else self.p.server).run_senders()

    @rule(side=st.booleans(), credit=st.booleans(), hold=st.booleans())
    def write(self, side, credit, hold):
        s = self.p.client if side else self.p.server
        view, _ = s.conn.take_pending()
        data = bytes(view)
        if hold:
            self.views.append(view)  # the pump still holds the batch
        else:
            view.release()
        if side:
            self.p.c2s += data
        else:
            self.p.s2c += data
        if credit:
            s.credit()

    @rule(side=st.booleans())
    def credit(self, side):
        (self.p.client if side else self.p.server).credit()

    @rule()
    def release_views(self):
        for v in self.views:
            v.release()
        self.views.clear()

    @rule(cut_up=st.integers(0, 70000), cut_down=st.integers(0, 70000))
    def round_trip(self, cut_up, cut_down):
        """Both pumps run and write; a prefix of each direction arrives."""
        p = self.p
        p.client.run_senders()
        p.server.run_senders()
        p.write()
        p.deliver_c2s(cut_up)
        p.deliver_s2c(cut_down)

    @rule(to_server=st.booleans(), n=st.integers(0, 40000))
    def deliver(self, to_server, n):
        if to_server:
            self.p.deliver_c2s(n)
        else:
            self.p.deliver_s2c(n)

    # ---- invariants ----

    @invariant()
    def consistent(self):
        if not hasattr(self, "p"):
            return
        self.p.check()
        for side, expect in ((self.p.server, self.expect_up), (self.p.client, self.expect_down)):
            for h in side.streams.values():
                sent = self._expected(side, h)
                if sent is not None:
                    assert bytes(h.body) == sent[:len(h.body)], f"{side.role} stream {h.sid}: body diverged"

    def _expected(self, side, h):
        if side is self.p.server:
            peer = next((c for c in self.expect_up if c.sid == h.sid), None)
            return None if peer is None else self.expect_up[peer]
        peer = next((s for s in self.expect_down if s.sid == h.sid), None)
        return None if peer is None else self.expect_down[peer]

    def teardown(self):
        if not hasattr(self, "p"):
            return
        p = self.p
        self.release_views()
        for _ in range(10000):
            for s in (p.client, p.server):
                for h in s.streams.values():
                    s.consume(h)
                s.credit()
            for h in [h for h in p.server.streams.values() if h not in self.answered and h.eof and not h.reset]:
                self.answered.add(h)
                self.expect_down[h] = b""
                p.server.respond(h, 204)
            moved = p.step()
            p.check()
            if not moved and not p.client.runnable and not p.server.runnable and not any(
                    h.unconsumed for s in (p.client, p.server) for h in s.streams.values()):
                break
        p.check_stall()
        for side in (p.client, p.server):
            for h in side.streams.values():
                if h.reset or h.send_stopped is not None:
                    continue
                sent = self._expected(side, h)
                if sent is not None and h.eof:
                    assert bytes(h.body) == sent
        # nothing live is left once every stream has ended or been reset
        assert p.client.conn.num_streams == sum(
            1 for h in p.client.streams.values() if p.client.conn.has_stream(h.sid)
            and not p.client.conn.stream_state(h.sid).startswith("Closed"))


LoopbackMachine.TestCase.settings = settings(
    max_examples=60, stateful_step_count=50, deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)
TestLoopbackMachine = LoopbackMachine.TestCase
