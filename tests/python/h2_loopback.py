"""Two HTTP/2 endpoints wired back to back in one process.

`Side` drives one `H2Streams` the way the connection driver does: received
bytes go through `receive`, every event goes to its step (the dispatch of
h2dispatch.py), stream errors are answered with `reset_on_error`, consumed DATA is returned with
`release_capacity` / `release_data_frame`, each written batch is followed by
`credit_written`, and `H2_FLAG_CAPACITY` is answered with
`next_capacity_wake`. Senders only run again when a verdict names their
handle, so a lost wake-up shows up as a stall instead of being papered over
by polling.

`H2PeerSide` wraps python h2's `H2Connection` behind the same surface, so
`Pair` can run either endpoint against either.

`WireLog` parses each direction's bytes as they are delivered and keeps what
flow control can be checked against: DATA octets and WINDOW_UPDATE
increments per stream.
"""

from collections import deque

from h2dispatch import Dispatcher
from velmora._velmora import (
    H2_FLAG_CAPACITY,
    H2_FLAG_CONN_DONE,
    H2_FLAG_SLOT_FREED,
    H2_HEADERS_HEAD,
    H2_HEADERS_OPENED,
    H2_HEADERS_TRAILERS,
    H2_PREFACE,
    H2FlowControlError,
    H2ProtocolError,
    H2Streams,
    HeaderMap,
)

DEFAULTS = dict(
    initial_window_size=65535,
    connection_window=65535,
    max_frame_size=16384,
    max_header_list_size=65536,
    max_send_buf_size=65536,
)


class Stalled(AssertionError):
    """Senders are parked with data left and nothing in flight will wake them."""


class Stream:
    """The driver's per-stream handle: what arrived, and what is left to send."""

    def __init__(self, side):
        self.side = side
        self.sid = None
        self.head = None          # H2FrameHeaders of the peer's (final) head
        self.body = bytearray()   # DATA payloads in order
        self.trailers = None      # HeaderMap
        self.eof = False          # the peer ended its side
        self.stop = None          # H2Stopped seen by this stream, if any
        self.reset = False        # a reset reached this handle
        self.delivered = 0        # payload octets handed to us
        self.released = 0         # of those, returned with release_capacity
        self.unconsumed = deque() # (length, budgeted) chunks not yet released
        # sending
        self.out = None           # bytes still to send, or None
        self.offset = 0
        self.out_trailers = None
        self.end_after_data = True
        self.send_done = False
        self.send_stopped = None

    def __repr__(self):
        return f"Stream(sid={self.sid}, body={len(self.body)}, eof={self.eof}, reset={self.reset})"


def _headers(h):
    if h is None or isinstance(h, HeaderMap):
        return h
    m = HeaderMap()
    for k, v in (h.items() if isinstance(h, dict) else h):
        m.add(k, v if isinstance(v, bytes) else v.encode())
    return m


class WireLog:
    """Incremental frame scan of one direction of the connection."""

    def __init__(self, preface=False):
        self.buf = bytearray()
        self.skip = len(H2_PREFACE) if preface else 0
        self.data = {}       # sid -> flow-controlled DATA octets (0 = connection total)
        self.updates = {}    # sid -> WINDOW_UPDATE increments
        self.frames = []     # (type, flags, sid, length)
        self.rsts = []       # (sid, error code)

    def feed(self, chunk):
        self.buf += chunk
        if self.skip:
            n = min(self.skip, len(self.buf))
            del self.buf[:n]
            self.skip -= n
        while len(self.buf) >= 9:
            n = int.from_bytes(self.buf[:3], "big")
            if len(self.buf) < 9 + n:
                break
            t, fl = self.buf[3], self.buf[4]
            sid = int.from_bytes(self.buf[5:9], "big") & 0x7FFFFFFF
            payload = bytes(self.buf[9:9 + n])
            del self.buf[:9 + n]
            self.frames.append((t, fl, sid, n))
            if t == 0:
                self.data[sid] = self.data.get(sid, 0) + n
                self.data[0] = self.data.get(0, 0) + n
            elif t == 3:
                self.rsts.append((sid, int.from_bytes(payload, "big")))
            elif t == 8:
                self.updates[sid] = self.updates.get(sid, 0) + (int.from_bytes(payload, "big") & 0x7FFFFFFF)

    def complete(self):
        return not self.buf and not self.skip


class Side(Dispatcher):
    """One H2Streams endpoint and the driver steps around it."""

    def __init__(self, role, *, auto_release=True, strict_wakes=True, **opts):
        self.role = role
        self.opts = {**DEFAULTS, **opts}
        self.conn = H2Streams(role, **self.opts)
        self.auto_release = auto_release
        self.strict_wakes = strict_wakes
        self.streams = {}            # sid -> Stream, every stream ever seen
        self.accepted = deque()      # server: request streams not yet answered
        self.runnable = deque()      # senders woken since they last ran
        self.senders = set()         # streams with something left to send
        self.waiting_slots = deque() # client: requests waiting for a concurrency slot
        self.stream_errors = []      # (sid, reason) answered with reset_on_error
        self.resets = []             # H2ResetVerdicts from reset_on_error
        self.conn_done = False
        self.seen_flags = 0          # every H2_FLAG_* bit a verdict reported
        self.error = None
        self.settings_acked = 0
        self.peer_settings = 0

    # ---- handshake and wire ----

    def begin(self):
        self.conn.begin()

    def take(self, credit=True):
        """One pump write: the pending batch as bytes, then (unless told
        otherwise) credit_written as once the batch is on the wire."""
        view, _stopping = self.conn.take_pending()
        with view:
            assert view.readonly
            data = bytes(view)
        if credit:
            self.credit()
        return data

    def credit(self):
        for h in self.conn.credit_written():
            self._wake(h)

    def feed(self, data):
        if not data:
            return
        try:
            events = self.conn.receive(data)
        except (H2ProtocolError, H2FlowControlError) as e:
            self._fail(e)
            raise
        for ev in events:
            self.dispatch(ev)
        # the read pump's idle check after each batch: answer a peer GOAWAY
        # once nothing is left open
        self._flags(self.conn.maybe_goaway_reply())

    def _fail(self, exc):
        self.error = exc
        for h, stop in self.conn.fail(exc):
            h.stop, h.reset = stop, True

    # ---- receive path ----

    def dispatch(self, ev):
        try:
            return super().dispatch(ev)
        except (H2ProtocolError, H2FlowControlError) as e:
            self._fail(e)
            raise

    def spare(self, ev):
        self._spare = Stream(self) if self.role == "server" else None
        return self._spare

    def on_stream_reset(self, sid, reason, v):
        self.stream_errors.append((sid, reason))
        self.resets.append(v)
        if v.handle is not None:
            v.handle.stop, v.handle.reset = v.stop, True
            self._wake(v.handle)
        self._flags(v.flags)

    def on_data(self, ev, v):
        h = v.handle
        if h is not None:
            if v.payload is not None:
                assert not h.eof, f"DATA after the end of stream {h.sid}"
                assert not h.reset, f"DATA delivered to reset stream {h.sid}"
                h.body += v.payload
                h.delivered += len(v.payload)
                h.unconsumed.append((len(v.payload), v.budgeted))
            if v.eof:
                h.eof = True
            if self.auto_release:
                self.consume(h)
        self._flags(v.flags)

    def on_headers(self, ev, v):
        h = v.handle
        if v.kind == H2_HEADERS_OPENED:
            assert h is self._spare and v.stream_id == ev.stream_id
            h.sid = ev.stream_id
            h.head = ev
            self.streams[h.sid] = h
            self.accepted.append(h)
            self.conn.accepted(h.sid)
        elif v.kind == H2_HEADERS_HEAD:
            assert h is self.streams[ev.stream_id] and h.head is None and not h.eof
            h.head = ev
        elif v.kind == H2_HEADERS_TRAILERS:
            assert h.head is not None and not h.eof and h.trailers is None
            h.trailers = ev.headers
        if h is not None and v.eof:
            h.eof = True
        self._flags(v.flags)

    def on_window_update(self, ev, handles):
        for h in handles:
            self._wake(h)

    def on_settings(self, ev, result):
        initial, wake, flags = result
        if ev.ack:
            self.settings_acked += 1
        else:
            self.peer_settings += 1
        assert initial == (not ev.ack and self.peer_settings == 1)
        for h in wake:
            self._wake(h)
        self._flags(flags)

    def on_ping(self, ev, flags):
        self._flags(flags)

    def on_reset(self, ev, r):
        if r is not None:
            h, stop, _notify, flags = r
            if h is not None:
                h.stop, h.reset = stop, True
                self._wake(h)
            self._flags(flags)

    def on_go_away(self, ev, result):
        aborted, flags = result
        for h, stop in aborted:
            h.stop, h.reset = stop, True
            self._wake(h)
        self._flags(flags)

    def consume(self, h, chunks=None):
        """The application read `chunks` (all when None) of h's DATA."""
        c = self.conn
        n = len(h.unconsumed) if chunks is None else min(chunks, len(h.unconsumed))
        for _ in range(n):
            length, budgeted = h.unconsumed.popleft()
            h.released += length
            self._flags(c.release_capacity(h.sid, length))
            if budgeted:
                c.release_data_frame(h.sid, length)

    def _flags(self, flags):
        self.seen_flags |= flags
        if flags & H2_FLAG_CAPACITY:
            h = self.conn.next_capacity_wake()
            if h is not None:
                self._wake(h)
        if flags & H2_FLAG_SLOT_FREED:
            self._open_waiting()
        if flags & H2_FLAG_CONN_DONE:
            self.conn_done = True

    def _wake(self, h):
        if h in self.senders and h not in self.runnable:
            self.runnable.append(h)

    # ---- send path ----

    def request(self, method="GET", target="/", headers=None, body=b"", trailers=None, *,
                authority="example.test", scheme="https", is_head=None):
        """Open a client stream (or queue it until a slot frees). Returns its handle."""
        h = Stream(self)
        h.out = body if (body or trailers is not None) else None
        h.out_trailers = _headers(trailers)
        req = (method, target, _headers(headers), h, authority, scheme,
               method == "HEAD" if is_head is None else is_head)
        if self.conn.try_claim_slot():
            self._open(req)
        else:
            self.waiting_slots.append(req)
        return h

    def _open(self, req):
        method, target, headers, h, authority, scheme, is_head = req
        end = h.out is None
        sid = self.conn.open_stream(method, target, headers, end, is_head, h,
                                    scheme=scheme, authority=authority)
        assert sid is not None, "open_stream refused on a live connection"
        h.sid = sid
        self.streams[sid] = h
        if end:
            h.send_done = True
        else:
            self._start_sender(h)

    def _open_waiting(self):
        while self.waiting_slots and self.conn.try_claim_slot():
            self._open(self.waiting_slots.popleft())

    def respond(self, h, status=200, headers=None, body=b"", trailers=None):
        h.out = body if (body or trailers is not None) else None
        h.out_trailers = _headers(trailers)
        end = h.out is None
        v = self.conn.send_response_head(h.sid, status, _headers(headers), end)
        if v.stopped is not None:
            h.send_stopped = v.stopped
            return v
        self._completion(v)
        if end:
            h.send_done = True
        else:
            self._start_sender(h)
        return v

    def _start_sender(self, h):
        h.offset = 0
        h.end_after_data = h.out_trailers is None
        self.senders.add(h)
        self.runnable.append(h)

    def _completion(self, v):
        if v.handle is not None:
            v.handle.stop, v.handle.reset = v.reader_stop, True
        self._flags(v.flags)

    def run_senders(self):
        """Run every woken sender until it waits. True when any byte was framed."""
        c = self.conn
        progress = False
        while self.runnable:
            h = self.runnable.popleft()
            if h not in self.senders:
                continue
            while True:
                if h.offset == len(h.out) and not h.end_after_data:
                    # nothing (more) to frame: the trailers end the stream
                    self._send_trailers(h)
                    progress = True
                    break
                v = c.send_data(h.sid, h.out, h.offset, h.end_after_data)
                self._flags(v.flags)
                if v.stopped is not None:
                    h.send_stopped = v.stopped
                    self.senders.discard(h)
                    break
                h.offset += v.sent
                progress = progress or v.sent > 0 or v.done
                if v.done:
                    self._completion(v)
                    if h.out_trailers is not None:
                        self._send_trailers(h)
                    h.send_done = True
                    self.senders.discard(h)
                    break
                if v.sent == 0:
                    break  # parked until a verdict names h
        if not self.strict_wakes and self.senders:
            self.runnable.extend(h for h in self.senders if h not in self.runnable)
        return progress

    def _send_trailers(self, h):
        t = self.conn.send_trailers(h.sid, h.out_trailers)
        if t.stopped is not None:
            h.send_stopped = t.stopped
        else:
            assert t.done
            self._completion(t)
        h.send_done = True
        self.senders.discard(h)

    def cancel(self, h, reason=8):
        """The application gives up on a stream (a user reset)."""
        v = self.conn.reset_stream(h.sid, reason)
        self.senders.discard(h)
        h.reset = True
        self._flags(v.flags)
        return v

    # ---- invariants ----

    def recv_target(self):
        return max(65535, self.opts["connection_window"])

    def check(self):
        """Invariants of one endpoint that hold after every step."""
        c = self.conn
        if self.error is not None or c.is_failed():
            return
        live = 0
        unreleased = 0
        for sid, h in self.streams.items():
            state = c.stream_state(sid)
            if state is None:
                assert not c.has_stream(sid)
                continue
            if not state.startswith("Closed"):
                live += 1
            u = c.stream_recv_unreleased(sid)
            unreleased += u
            if not c.stream_recv_reclaimed(sid):
                assert u == h.delivered - h.released, (sid, u, h.delivered, h.released)
            else:
                assert u == 0
            buffered = c.stream_send_buffered(sid)
            assert 0 <= buffered <= self.opts["max_send_buf_size"], (sid, buffered)
            assert c.stream_data_budget_charged(sid) >= 0
        assert c.num_streams == live, (c.num_streams, live)
        if self.role == "client":
            assert c.num_open_streams == c.num_streams + 0, (c.num_open_streams, c.num_streams)
        # every received octet is either still unreleased or back in the window, once
        assert c.conn_recv_available + unreleased == self.recv_target(), (
            c.conn_recv_available, unreleased, self.recv_target())
        assert 0 <= c.data_frame_budget_available
        assert c.conn_send_window >= 0


class Pair:
    """Two endpoints and the bytes in flight between them."""

    def __init__(self, client=None, server=None, *, begin=True, **opts):
        self.client = client if client is not None else Side("client", **opts)
        self.server = server if server is not None else Side("server", **opts)
        self.c2s = bytearray()   # taken from the client, not yet delivered
        self.s2c = bytearray()
        self.log_c2s = WireLog(preface=True)
        self.log_s2c = WireLog()
        if begin:
            self.client.begin()
            self.server.begin()
            self.pump()

    def write(self):
        """Both pumps write: pending batches move onto the wire."""
        self.c2s += self.client.take()
        self.s2c += self.server.take()

    def deliver_c2s(self, n=None):
        n = len(self.c2s) if n is None else min(n, len(self.c2s))
        chunk = bytes(self.c2s[:n])
        del self.c2s[:n]
        self.log_c2s.feed(chunk)
        self.server.feed(chunk)

    def deliver_s2c(self, n=None):
        n = len(self.s2c) if n is None else min(n, len(self.s2c))
        chunk = bytes(self.s2c[:n])
        del self.s2c[:n]
        self.log_s2c.feed(chunk)
        self.client.feed(chunk)

    def step(self):
        """One round: senders run, pumps write, both directions delivered."""
        moved = self.client.run_senders() | self.server.run_senders()
        self.write()
        moved = moved or bool(self.c2s or self.s2c)
        self.deliver_c2s()
        self.deliver_s2c()
        return moved

    def pump(self, max_rounds=100000):
        """Exchange until neither side has anything to say."""
        for _ in range(max_rounds):
            if not self.step() and not self.client.runnable and not self.server.runnable:
                break
        else:  # pragma: no cover
            raise AssertionError("no quiescence")
        self.check_stall()

    def check_stall(self):
        """Raise Stalled when senders wait although the receivers consumed everything."""
        unread = any(h.unconsumed for side in (self.client, self.server) if isinstance(side, Side)
                     for h in side.streams.values())
        for side in (self.client, self.server):
            if side.senders and not side.runnable and not unread:
                raise Stalled(f"{side.role}: senders parked with nothing in flight: {sorted(h.sid for h in side.senders)}")

    def check(self):
        """Per-side invariants, and flow control read off the wire."""
        self.client.check()
        self.server.check()
        for log, sender, receiver in ((self.log_c2s, self.client, self.server),
                                      (self.log_s2c, self.server, self.client)):
            if not isinstance(receiver, Side) or not isinstance(sender, Side):
                continue
            if receiver.error is not None:
                continue
            rc = receiver.conn
            # the receiver never advertised beyond what it holds free
            updates_back = (self.log_s2c if log is self.log_c2s else self.log_c2s).updates.get(0, 0)
            window = 65535 + updates_back - log.data.get(0, 0)
            assert window >= 0, ("connection window below zero", receiver.role, window)
            assert window <= rc.conn_recv_available, ("advertised beyond available", receiver.role, window,
                                                      rc.conn_recv_available)
            if self.quiet() and not log.buf and not sender.conn.has_pending() \
                    and not receiver.conn.has_pending():
                # nothing in flight either way: the sender's view equals the receiver's
                assert sender.conn.conn_send_window == window, (sender.role, sender.conn.conn_send_window, window)

    def quiet(self):
        return not self.c2s and not self.s2c


class PeerStream:
    """What python h2's side saw of one stream, and what it has left to send."""

    def __init__(self, sid):
        self.sid = sid
        self.head = None       # [(name, value)] as h2 gives them
        self.body = bytearray()
        self.trailers = None
        self.eof = False
        self.reset = None      # error code of a received RST_STREAM
        self.out = None
        self.offset = 0
        self.out_trailers = None
        self.send_done = False


class H2PeerSide:
    """python h2's H2Connection behind the surface `Pair` drives."""

    def __init__(self, role, *, initial_window_size=65535, max_frame_size=16384,
                 max_concurrent_streams=None, connection_window=65535):
        import h2.config
        import h2.connection
        import h2.events
        import h2.settings

        self.ev = h2.events
        self.role = role
        cfg = h2.config.H2Configuration(client_side=role == "client", header_encoding=None)
        self.h2 = h2.connection.H2Connection(cfg)
        values = {}
        if initial_window_size != 65535:
            values[h2.settings.SettingCodes.INITIAL_WINDOW_SIZE] = initial_window_size
        if max_frame_size != 16384:
            values[h2.settings.SettingCodes.MAX_FRAME_SIZE] = max_frame_size
        if max_concurrent_streams is not None:
            values[h2.settings.SettingCodes.MAX_CONCURRENT_STREAMS] = max_concurrent_streams
        # sent as a SETTINGS after the initial one: h2 only applies a larger
        # frame size of its own once it is acknowledged that way
        self.settings = values
        self.settings_sent = 0
        self.connection_window = connection_window
        self.streams = {}
        self.accepted = deque()
        self.senders = set()
        self.runnable = ()     # h2 has no wake protocol: every sender is retried each round
        self.error = None
        self.settings_acked = 0
        self.remote_changes = []
        self.window_updates = []
        self.resets = []

    def begin(self):
        self.h2.initiate_connection()
        self.settings_sent = 1
        if self.settings:
            self.h2.update_settings(self.settings)
            self.settings_sent += 1
        if self.connection_window > 65535:
            self.h2.increment_flow_control_window(self.connection_window - 65535)

    def take(self):
        return self.h2.data_to_send()

    def feed(self, data):
        if not data:
            return
        ev = self.ev
        for e in self.h2.receive_data(data):
            sid = getattr(e, "stream_id", None)
            if isinstance(e, ev.RequestReceived):
                s = self.streams[sid] = PeerStream(sid)
                s.head = e.headers
                self.accepted.append(s)
            elif isinstance(e, ev.ResponseReceived):
                self.streams[sid].head = e.headers
            elif isinstance(e, ev.TrailersReceived):
                self.streams[sid].trailers = e.headers
            elif isinstance(e, ev.DataReceived):
                self.streams[sid].body += e.data
                if e.flow_controlled_length:
                    self.h2.acknowledge_received_data(e.flow_controlled_length, sid)
            elif isinstance(e, ev.StreamEnded):
                self.streams[sid].eof = True
            elif isinstance(e, ev.StreamReset):
                if sid in self.streams:
                    self.streams[sid].reset = e.error_code
                self.resets.append((sid, e.error_code))
                self.senders = {s for s in self.senders if s.sid != sid}
            elif isinstance(e, ev.SettingsAcknowledged):
                self.settings_acked += 1
            elif isinstance(e, ev.RemoteSettingsChanged):
                self.remote_changes.append(e.changed_settings)
            elif isinstance(e, ev.WindowUpdated):
                self.window_updates.append((e.stream_id, e.delta))
            elif isinstance(e, ev.ConnectionTerminated):
                self.error = e

    def request(self, method="GET", target="/", headers=(), body=b"", trailers=None,
                *, authority="example.test", scheme="https"):
        sid = self.h2.get_next_available_stream_id()
        s = self.streams[sid] = PeerStream(sid)
        end = not body and trailers is None
        self.h2.send_headers(sid, [(":method", method), (":scheme", scheme), (":authority", authority),
                                   (":path", target), *list(headers)], end_stream=end)
        if not end:
            s.out, s.out_trailers = body, trailers
            self.senders.add(s)
        return s

    def respond(self, s, status=200, headers=(), body=b"", trailers=None):
        end = not body and trailers is None
        self.h2.send_headers(s.sid, [(":status", str(status)), *list(headers)], end_stream=end)
        if not end:
            s.out, s.out_trailers = body, trailers
            self.senders.add(s)

    def run_senders(self):
        progress = False
        for s in sorted(self.senders, key=lambda s: s.sid):
            while s.offset < len(s.out):
                n = min(len(s.out) - s.offset, self.h2.local_flow_control_window(s.sid),
                        self.h2.max_outbound_frame_size)
                if n <= 0:
                    break
                end = s.offset + n == len(s.out) and s.out_trailers is None
                self.h2.send_data(s.sid, s.out[s.offset:s.offset + n], end_stream=end)
                s.offset += n
                progress = True
            if s.offset == len(s.out):
                if s.out_trailers is not None:
                    self.h2.send_headers(s.sid, list(s.out_trailers), end_stream=True)
                elif not s.out:
                    self.h2.end_stream(s.sid)
                s.send_done = True
                self.senders.discard(s)
                progress = True
        return progress

    def check(self):
        pass
