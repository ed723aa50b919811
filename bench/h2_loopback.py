"""HTTP/2 request/response exchange in one process: a client H2Streams and a
server H2Streams back to back, driven the way the connection driver drives
them (receive, each event's step through the tests' dispatch in
tests/python/h2dispatch.py, response head and body through the send path,
take_pending / credit_written, release_capacity for every DATA chunk),
against the same exchange between two python h2 H2Connections.

10,000 GET requests with 1 KiB responses, 100 streams in flight at a time,
on one connection; one operation is the whole exchange on a fresh pair.
"""

import sys

import h2.config
import h2.connection
import h2.events
import h2.settings

HERE = __file__.rsplit("/", 1)[0]
sys.path.insert(0, HERE)
sys.path.insert(0, HERE + "/../tests/python")
from _harness import compare, table  # noqa: E402
from h2dispatch import Dispatcher  # noqa: E402

from velmora._velmora import H2_HEADERS_OPENED, H2Streams, HeaderMap  # noqa: E402

REQUESTS = 10_000
IN_FLIGHT = 100
BODY = bytes(range(256)) * 4  # 1 KiB
WINDOW = 1 << 20
CONN_WINDOW = 1 << 24

OPTS = dict(initial_window_size=WINDOW, connection_window=CONN_WINDOW, max_frame_size=16384,
            max_header_list_size=65536, max_send_buf_size=1 << 20, auto_date_header=False)
RESPONSE_HEADERS = HeaderMap()
RESPONSE_HEADERS.add("content-type", b"application/octet-stream")
RESPONSE_HEADERS.add("content-length", str(len(BODY)).encode())


class Handle:
    __slots__ = ("sid",)


def _take(conn):
    view, _ = conn.take_pending()
    with view:
        data = bytes(view)
    conn.credit_written()
    return data


class Server(Dispatcher):
    """Answers every request at once; bodies short of window wait for a WINDOW_UPDATE."""

    def __init__(self):
        self.conn = H2Streams("server", **OPTS)
        self.waiting = []

    def spare(self, ev):
        return Handle()

    def on_headers(self, ev, v):
        if v.kind == H2_HEADERS_OPENED:
            s = self.conn
            sid = v.stream_id
            s.accepted(sid)
            s.send_response_head(sid, 200, RESPONSE_HEADERS, False)
            if not s.send_data(sid, BODY, 0, True).done:
                self.waiting.append(sid)

    def on_window_update(self, ev, handles):
        if handles:
            s = self.conn
            retry, self.waiting = self.waiting, []
            for sid in retry:
                if not s.send_data(sid, BODY, 0, True).done:
                    self.waiting.append(sid)


class Client(Dispatcher):
    """Reads every response body and returns its capacity at once."""

    def __init__(self):
        self.conn = H2Streams("client", **OPTS)
        self.done = 0

    def on_data(self, ev, v):
        if v.payload is not None:
            self.conn.release_capacity(ev.stream_id, len(v.payload))
        if v.eof:
            self.done += 1


def velmora_exchange():
    server, client = Server(), Client()
    c, s = client.conn, server.conn
    c.begin()
    s.begin()
    opened = 0
    c_wire = _take(c)
    s_wire = _take(s)
    while client.done < REQUESTS:
        while opened < REQUESTS and opened - client.done < IN_FLIGHT and c.try_claim_slot():
            c.open_stream("GET", "/", None, True, False, Handle(), scheme="https", authority="example.test")
            opened += 1
        c_wire += _take(c)
        # server: requests in, responses out
        server.dispatch_all(s.receive(c_wire))
        s_wire += _take(s)
        # client: responses in, capacity back
        client.dispatch_all(c.receive(s_wire))
        if not c_wire and not s_wire:
            raise RuntimeError("velmora exchange stalled")
        c_wire = b""
        s_wire = b""
    assert c.num_streams == 0 and s.num_streams == 0
    return client.done


def _h2(client):
    conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=client, header_encoding=None))
    conn.local_settings = h2.settings.Settings(client=client, initial_values={
        h2.settings.SettingCodes.INITIAL_WINDOW_SIZE: WINDOW, h2.settings.SettingCodes.MAX_FRAME_SIZE: 16384})
    conn.initiate_connection()
    conn.increment_flow_control_window(CONN_WINDOW - 65535)
    return conn


REQUEST = [(":method", "GET"), (":scheme", "https"), (":authority", "example.test"), (":path", "/")]
RESPONSE = [(":status", "200"), ("content-type", "application/octet-stream"), ("content-length", str(len(BODY)))]


def h2_exchange():
    c = _h2(True)
    s = _h2(False)
    done = 0
    opened = 0
    waiting = []
    c_wire = c.data_to_send()
    s_wire = s.data_to_send()
    RequestReceived, WindowUpdated = h2.events.RequestReceived, h2.events.WindowUpdated
    DataReceived, StreamEnded = h2.events.DataReceived, h2.events.StreamEnded
    while done < REQUESTS:
        while opened < REQUESTS and opened - done < IN_FLIGHT:
            c.send_headers(c.get_next_available_stream_id(), REQUEST, end_stream=True)
            opened += 1
        c_wire += c.data_to_send()
        for ev in s.receive_data(c_wire):
            t = type(ev)
            if t is RequestReceived:
                sid = ev.stream_id
                s.send_headers(sid, RESPONSE)
                if s.local_flow_control_window(sid) >= len(BODY):
                    s.send_data(sid, BODY, end_stream=True)
                else:
                    waiting.append(sid)
            elif t is WindowUpdated and waiting:
                retry, waiting = waiting, []
                for sid in retry:
                    if s.local_flow_control_window(sid) >= len(BODY):
                        s.send_data(sid, BODY, end_stream=True)
                    else:
                        waiting.append(sid)
        s_wire += s.data_to_send()
        for ev in c.receive_data(s_wire):
            t = type(ev)
            if t is DataReceived:
                c.acknowledge_received_data(ev.flow_controlled_length, ev.stream_id)
            elif t is StreamEnded:
                done += 1
        if not c_wire and not s_wire:
            raise RuntimeError("h2 exchange stalled")
        c_wire = b""
        s_wire = b""
    return done


def main():
    assert velmora_exchange() == REQUESTS and h2_exchange() == REQUESTS
    ours, theirs = compare(velmora_exchange, h2_exchange, rounds=3)
    table(f"HTTP/2 loopback: {REQUESTS} GET requests, 1 KiB responses, {IN_FLIGHT} in flight",
          [("whole exchange", ours, theirs)], "python h2")
    rps_ours, rps_theirs = REQUESTS / (ours / 1e9), REQUESTS / (theirs / 1e9)
    print(f"  requests/s: velmora {rps_ours:,.0f}, python h2 {rps_theirs:,.0f} ({rps_ours / rps_theirs:.1f}x)")


if __name__ == "__main__":
    main()
