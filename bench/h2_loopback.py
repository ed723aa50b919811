"""HTTP/2 request/response exchange in one process: a client H2Streams and a
server H2Streams back to back, driven the way the connection driver drives
them (receive, each event's step through the tests' dispatch in
tests/python/h2dispatch.py, response head and body through the send path,
take_pending / credit_written, release_capacity for every DATA chunk),
against the same exchange between two python h2 H2Connections.

10,000 GET requests with 1 KiB responses, 100 streams in flight at a time,
on one connection; one operation is the whole exchange on a fresh pair. Run
twice: with minimal heads, and with the heads of bench/cpp/bench_h2_conn.cc's
scenario 1 (a browser-like request of 15 fields, a response of 8), the
figure a driver author sees per request beside the C++ core's own.

    python bench/h2_loopback.py --core-share

runs the browser-head exchange under callgrind instead and splits its
instructions between the protocol core (proto/), the binding (src/), the
allocator and the interpreter running the dispatch: how much of a request's
cost in Python is the core's.
"""

import os
import re
import subprocess
import sys
import tempfile

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
# The heads of bench/cpp/bench_h2_conn.cc: a browser's request (4 pseudo-headers
# and these 11 fields) and a response of :status and 7 fields.
AUTHORITY, PATH = "www.example-shop.com", "/static/js/app.bundle.min.js?v=20240611&lang=en-US"
BROWSER_FIELDS = [
    ("sec-ch-ua", '"Chromium";v="124", "Google Chrome";v="124", "Not-A.Brand";v="99"'),
    ("sec-ch-ua-mobile", "?0"),
    ("user-agent", "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 Chrome/124.0.0.0 Safari/537.36"),
    ("sec-ch-ua-platform", '"Linux"'),
    ("accept", "*/*"),
    ("sec-fetch-site", "same-origin"),
    ("sec-fetch-mode", "no-cors"),
    ("sec-fetch-dest", "script"),
    ("referer", "https://www.example-shop.com/products/shoes"),
    ("accept-encoding", "gzip, deflate, br, zstd"),
    ("cookie", "session=8f2a9c1e7b; theme=dark"),
]
BROWSER_RESPONSE_FIELDS = [
    ("date", "Tue, 11 Jun 2024 10:00:00 GMT"),
    ("content-type", "application/javascript; charset=utf-8"),
    ("cache-control", "public, max-age=31536000, immutable"),
    ("etag", '"5f3a-18e2b1c4d20"'),
    ("vary", "Accept-Encoding"),
    ("server", "velmora-bench"),
    ("content-length", str(len(BODY))),
]


def _map(pairs):
    m = HeaderMap()
    for n, v in pairs:
        m.add(n, v.encode())
    return m


class Heads:
    """What one exchange sends: the request's target, authority and fields, the response's fields."""

    def __init__(self, authority, path, request_fields, response_fields):
        self.authority, self.path = authority, path
        self.request_map = _map(request_fields) if request_fields else None
        self.response_map = _map(response_fields)
        self.h2_request = [(":method", "GET"), (":scheme", "https"), (":authority", authority), (":path", path),
                           *request_fields]
        self.h2_response = [(":status", "200"), *response_fields]


MINIMAL = Heads("example.test", "/", [], [("content-type", "application/octet-stream"),
                                          ("content-length", str(len(BODY)))])
BROWSER = Heads(AUTHORITY, PATH, BROWSER_FIELDS, BROWSER_RESPONSE_FIELDS)


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

    def __init__(self, heads):
        self.conn = H2Streams("server", **OPTS)
        self.waiting = []
        self.response = heads.response_map

    def spare(self, ev):
        return Handle()

    def on_headers(self, ev, v):
        if v.kind == H2_HEADERS_OPENED:
            s = self.conn
            sid = v.stream_id
            s.accepted(sid)
            s.send_response_head(sid, 200, self.response, False)
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


def velmora_exchange(heads=MINIMAL, requests=REQUESTS):
    server, client = Server(heads), Client()
    fields, path, authority = heads.request_map, heads.path, heads.authority
    c, s = client.conn, server.conn
    c.begin()
    s.begin()
    opened = 0
    c_wire = _take(c)
    s_wire = _take(s)
    while client.done < requests:
        while opened < requests and opened - client.done < IN_FLIGHT and c.try_claim_slot():
            c.open_stream("GET", path, fields, True, False, Handle(), scheme="https", authority=authority)
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


def h2_exchange(heads=MINIMAL):
    REQUEST, RESPONSE = heads.h2_request, heads.h2_response
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


def core_share(requests=2000):
    """Runs the browser-head exchange under callgrind and prints where its instructions go."""
    build = os.environ.get("VELMORA_BUILD_DIR", os.path.join(HERE, "..", "build"))
    archives = [os.path.join(build, "release", f"libvelmora_{n}.a") for n in ("h1", "h2", "http")]
    core = set()
    for a in archives:
        if os.path.exists(a):
            out = subprocess.run(["nm", "-C", "--defined-only", a], capture_output=True, text=True).stdout
            core.update(line.split(" ", 2)[2] for line in out.splitlines() if line.count(" ") >= 2
                        and line.split(" ")[1] in "TtWw")
    if not core:
        raise SystemExit(f"no core archives under {build}/release: build first")
    # Two runs, of n and 2n requests: their difference is n requests without
    # the start-up, the imports and the warm-up.
    # Valgrind cannot run the SSE4.2 field scanners.
    env = {**os.environ, "VELMORA_SCAN_PATH": "portable"}
    runs = []
    for n in (requests, 2 * requests):
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "callgrind.out")
            subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, __file__,
                            "--profiled", str(n)], check=True, capture_output=True, env=env)
            text = subprocess.run(["callgrind_annotate", "--inclusive=no", "--threshold=100", out],
                                  capture_output=True, text=True, check=True).stdout
        runs.append(_split(text, core))
    parts = {k: runs[1][k] - runs[0][k] for k in runs[0]}
    total = sum(parts.values())
    print(f"\nwhere {requests} browser-head requests through H2Streams spend their instructions (callgrind)")
    for name, ir in parts.items():
        print(f"  {name:<26}{ir / requests:>12,.0f} Ir/request {100 * ir / total:>6.1f}%")
    print(f"  {'total':<26}{total / requests:>12,.0f} Ir/request")


def _split(text, core):
    """Self cost of callgrind_annotate's function lines by where the function lives."""
    parts = {"protocol core (proto/)": 0, "binding (src/)": 0, "allocator": 0, "interpreter": 0, "other": 0}
    # "Ir (share)  file:function [object]"; the object is left out where the
    # file names it already (the interpreter's own sources).
    line_re = re.compile(r"^\s*([\d,]+) \([^)]*\)\s+(\S*?):(.*?)(?: \[([^\]]*)\])?\s*$")
    for line in text.splitlines():
        m = line_re.match(line)
        if not m or m.group(3) == "":
            continue
        ir, fn, obj = int(m.group(1).replace(",", "")), m.group(3), m.group(4) or m.group(2)
        if "_velmora" in obj:
            parts["protocol core (proto/)" if fn in core else "binding (src/)"] += ir
        elif "mimalloc" in obj:
            parts["allocator"] += ir
        elif "python" in obj:
            parts["interpreter"] += ir
        else:
            parts["other"] += ir
    return parts


def main():
    if sys.argv[1:2] == ["--core-share"]:
        return core_share()
    if sys.argv[1:2] == ["--profiled"]:
        return velmora_exchange(BROWSER, int(sys.argv[2]))
    for heads, label in ((MINIMAL, "minimal heads"), (BROWSER, "browser-like heads, 15 request and 8 response fields")):
        assert velmora_exchange(heads) == REQUESTS and h2_exchange(heads) == REQUESTS
        ours, theirs = compare(lambda: velmora_exchange(heads), lambda: h2_exchange(heads), rounds=3)
        title = f"HTTP/2 loopback: {REQUESTS} GET requests, 1 KiB responses, {IN_FLIGHT} in flight"
        if heads is BROWSER:
            title += ", browser-like heads"
        table(title, [("whole exchange", ours, theirs)], "python h2")
        rps_ours, rps_theirs = REQUESTS / (ours / 1e9), REQUESTS / (theirs / 1e9)
        print(f"  {label}: requests/s velmora {rps_ours:,.0f} ({ours / REQUESTS / 1000:.1f} us each),"
              f" python h2 {rps_theirs:,.0f} ({rps_ours / rps_theirs:.1f}x)")


if __name__ == "__main__":
    main()
