"""A client and a server H2Streams back to back, driven the way a driver
drives them: what one side takes out as pending bytes the other receives,
and every frame event goes to its step (the dispatch of h2dispatch.py)."""

from h2dispatch import Dispatcher
from velmora import _velmora as v

OPTS = dict(initial_window_size=65535, connection_window=65535, max_frame_size=16384,
            max_header_list_size=16384, max_send_buf_size=1 << 20)


class Handle:
    """The driver's per-stream object: collects what the connection delivers."""

    def __init__(self, name=""):
        self.name = name
        self.heads = []
        self.body = bytearray()
        self.eof = False
        self.stop = None
        self.trailers = False

    def __repr__(self):
        return f"Handle({self.name!r})"


class Side(Dispatcher):
    def __init__(self, role, **opts):
        o = dict(OPTS)
        o.update(opts)
        self.conn = v.H2Streams(role, **o)
        self.role = role
        self.accepted = []       # server: handles of opened requests
        self.errors = []         # stream errors raised by recv_* (and answered)
        self.aborted = []
        self.auto_release = True
        self.answer_stream_errors = True
        self.events = []

    def take(self):
        view, _ = self.conn.take_pending()
        data = bytes(view)
        view.release()
        self.conn.credit_written()
        return data

    def dispatch(self, ev):
        self.events.append(ev)
        return super().dispatch(ev)

    def spare(self, ev):
        return Handle(ev.stream_id) if self.role == "server" else None

    def on_headers(self, ev, vd):
        if vd.kind == v.H2_HEADERS_OPENED:
            vd.handle.heads.append(ev)
            vd.handle.eof = vd.eof
            self.accepted.append((ev.stream_id, vd.handle))
        elif vd.kind == v.H2_HEADERS_HEAD:
            vd.handle.heads.append(ev)
            vd.handle.eof = vd.eof
        elif vd.kind == v.H2_HEADERS_TRAILERS:
            vd.handle.trailers = True
            vd.handle.eof = True

    def on_data(self, ev, vd):
        c = self.conn
        if vd.handle is not None and vd.payload is not None:
            vd.handle.body += vd.payload
            if self.auto_release:
                c.release_capacity(ev.stream_id, ev.flow_controlled_len - ev.padding)
                if vd.budgeted:
                    c.release_data_frame(ev.stream_id, len(vd.payload))
        if vd.eof and vd.handle is not None:
            vd.handle.eof = True

    def on_go_away(self, ev, result):
        self.aborted += result[0]

    def on_reset(self, ev, r):
        if r is not None and r[0] is not None:
            r[0].stop = r[1]

    def on_step_error(self, exc):
        self.errors.append(exc)
        if self.answer_stream_errors:
            self.conn.reset_on_error(exc.args[0], exc.args[1])
        return exc


class Pair:
    def __init__(self, client_opts=None, server_opts=None):
        self.client = Side("client", **(client_opts or {}))
        self.server = Side("server", **(server_opts or {}))
        self.client.conn.begin()
        self.server.conn.begin()
        self.pump()

    def flow(self, src, dst):
        data = src.take()
        if not data:
            return False
        for ev in dst.conn.receive(data):
            dst.dispatch(ev)
        return True

    def pump(self, rounds=1000):
        for _ in range(rounds):
            a = self.flow(self.client, self.server)
            b = self.flow(self.server, self.client)
            if not (a or b):
                return
        raise AssertionError("the pair never went quiet")

    def request(self, method="GET", target="/", body=b"", end_stream=None, headers=None):
        c = self.client.conn
        assert c.try_claim_slot()
        h = Handle("req")
        es = not body if end_stream is None else end_stream
        sid = c.open_stream(method, target, headers, es, method == "HEAD", h,
                            scheme="http", authority="example")
        return sid, h


def send_all(side, sid, data, end_stream=True, pair=None):
    """Sends data on sid, pumping the pair whenever the sender must wait."""
    off = 0
    for _ in range(100000):
        vd = side.conn.send_data(sid, data, off, end_stream)
        assert vd.stopped is None, vd
        off += vd.sent
        if vd.done:
            return vd
        if vd.sent == 0:
            if vd.flags & v.H2_FLAG_CAPACITY:
                side.conn.next_capacity_wake()
            pair.pump()
    raise AssertionError("send never finished")
