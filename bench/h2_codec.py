"""HTTP/2 codec: header blocks of the go-hpack conformance stories decoded
through H2Codec.receive (frames in, frame events with every field out)
against python hpack's Decoder on the bare blocks; a stream of 16 KiB DATA
frames through receive; and the request and response head serializers
against h2's H2Connection.send_headers, in one process.
"""

import json
import os
import sys
import time
from pathlib import Path

import h2.config
import h2.connection
import hpack
import hyperframe.frame

sys.path.insert(0, __file__.rsplit("/", 1)[0])
from _harness import compare, table  # noqa: E402

from velmora._velmora import H2Codec, HeaderMap  # noqa: E402


def _stories_root():
    for t in (os.environ.get("VELMORA_SHARED_DIR", ""), str(Path(__file__).resolve().parents[1] / ".." / "shared")):
        p = Path(t) / "conformance" / "hpack" / "go-hpack"
        if t and p.is_dir():
            return p
    sys.exit("go-hpack stories not found (set VELMORA_SHARED_DIR)")


def _frame(ftype, flags, sid, payload):
    return len(payload).to_bytes(3, "big") + bytes([ftype, flags]) + sid.to_bytes(4, "big") + payload


# ---- header blocks ----

STORIES = []  # per story: (header table sizes, blocks)
for path in sorted(_stories_root().glob("story_*.json")):
    cases = json.loads(path.read_text())["cases"]
    STORIES.append([(c.get("header_table_size"), bytes.fromhex(c["wire"]), len(c["headers"])) for c in cases])
WIRES = [[(size, _frame(1, 4, 2 * i + 1, block)) for i, (size, block, _) in enumerate(s)] for s in STORIES]
FIELDS = sum(n for s in STORIES for _, _, n in s)
OCTETS = sum(len(b) for s in STORIES for _, b, _ in s)


def velmora_stories():
    for story in WIRES:
        c = H2Codec("server")
        for size, wire in story:
            if size is not None and size != 4096:
                c.set_recv_header_table_size(size)
            c.receive(wire)  # events carry their fields as built HeaderMaps
    return c


def hpack_stories():
    for story in STORIES:
        d = hpack.Decoder()
        for size, block, _ in story:
            if size is not None:
                d.max_allowed_table_size = size
            d.decode(block)
    return d


# ---- DATA frames ----

DATA_FRAMES = 64
DATA = b"".join(_frame(0, 0, 1, bytes([i]) * 16384) for i in range(DATA_FRAMES))
_data_codec = H2Codec()


def velmora_data():
    return _data_codec.receive(DATA)


def hyperframe_data():
    mv = memoryview(DATA)
    out, at = [], 0
    while at < len(mv):
        f, n = hyperframe.frame.Frame.parse_frame_header(mv[at:at + 9])
        f.parse_body(mv[at + 9:at + 9 + n])
        out.append(f)
        at += 9 + n
    return out


# ---- head serializers ----

REQUEST_FIELDS = [
    ("user-agent", "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 Chrome/124.0 Safari/537.36"),
    ("accept", "*/*"),
    ("accept-encoding", "gzip, deflate, br, zstd"),
    ("accept-language", "en-US,en;q=0.9"),
    ("referer", "https://www.example-shop.com/products/shoes"),
    ("cookie", "session=8f2a9c1e7b; theme=dark"),
]
RESPONSE_FIELDS = [
    ("content-type", "application/javascript; charset=utf-8"),
    ("content-length", "48213"),
    ("cache-control", "public, max-age=31536000, immutable"),
    ("etag", '"5f3a-18e2b1c4d20"'),
    ("vary", "Accept-Encoding"),
    ("server", "velmora"),
]
PATH = "/static/js/app.bundle.min.js?v=20240611"
AUTHORITY = "www.example-shop.com"
BATCH = 100


def velmora_requests():
    c = H2Codec()
    h = HeaderMap(REQUEST_FIELDS)
    t0 = time.perf_counter_ns()
    for i in range(BATCH):
        c.serialize_request_headers(2 * i + 1, "GET", PATH, h, True, scheme="https", authority=AUTHORITY)
    return time.perf_counter_ns() - t0


def h2_requests():
    conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True, header_encoding=None))
    conn.initiate_connection()
    conn.data_to_send()
    fields = [(":method", "GET"), (":scheme", "https"), (":authority", AUTHORITY), (":path", PATH)] + REQUEST_FIELDS
    t0 = time.perf_counter_ns()
    for i in range(BATCH):
        conn.send_headers(2 * i + 1, fields, end_stream=True)
        conn.data_to_send()
    return time.perf_counter_ns() - t0


def velmora_responses():
    c = H2Codec("server")
    h = HeaderMap(RESPONSE_FIELDS)
    t0 = time.perf_counter_ns()
    for i in range(BATCH):
        c.serialize_response_headers(2 * i + 1, 200, h)
    return time.perf_counter_ns() - t0


def h2_responses():
    # The server needs the requests before it can answer them; receiving
    # them is not measured.
    client = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True))
    client.initiate_connection()
    for i in range(BATCH):
        client.send_headers(2 * i + 1, [(":method", "GET"), (":scheme", "https"), (":authority", "a"),
                                         (":path", "/")], end_stream=True)
    conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False, header_encoding=None))
    conn.initiate_connection()
    conn.receive_data(client.data_to_send())
    conn.data_to_send()
    fields = [(":status", "200")] + RESPONSE_FIELDS
    t0 = time.perf_counter_ns()
    for i in range(BATCH):
        conn.send_headers(2 * i + 1, fields)
        conn.data_to_send()
    return time.perf_counter_ns() - t0


def best_batch(fn, rounds=41):
    return min(fn() for _ in range(rounds)) / BATCH


def main():
    print(f"go-hpack stories: {len(STORIES)} stories, {sum(len(s) for s in STORIES)} blocks, "
          f"{FIELDS} fields, {OCTETS} octets of header blocks")
    ours, theirs = compare(velmora_stories, hpack_stories, rounds=11)
    table("HPACK decoding of the go-hpack stories vs python hpack", [
        ("all stories (receive -> events)", ours, theirs),
    ], "hpack")
    print(f"  velmora: {ours / FIELDS:.1f} ns/field, {OCTETS / ours * 1e3:.1f} MB/s of wire; "
          f"hpack: {theirs / FIELDS:.1f} ns/field, {OCTETS / theirs * 1e3:.1f} MB/s")
    ratio = theirs / ours

    ours_d, theirs_d = compare(velmora_data, hyperframe_data)
    table(f"{DATA_FRAMES} DATA frames of 16 KiB (1 MiB) through receive vs hyperframe", [
        ("receive -> DATA events (bytes)", ours_d, theirs_d),
    ], "hyperframe")
    print(f"  velmora: {len(DATA) / ours_d:.2f} GB/s; hyperframe: {len(DATA) / theirs_d:.2f} GB/s")

    rows = []
    for name, mine, peer in (("request head (HEADERS)", velmora_requests, h2_requests),
                             ("response head (HEADERS)", velmora_responses, h2_responses)):
        a = b = float("inf")
        for _ in range(21):  # alternate, keep the best of each
            a = min(a, best_batch(mine, 1))
            b = min(b, best_batch(peer, 1))
        rows.append((name, a, b))
    table("head serializers vs h2 H2Connection.send_headers + data_to_send", rows, "h2")

    print()
    print(f"HPACK stories vs python hpack: {ratio:.1f}x (required >= 20x) {'ok' if ratio >= 20 else 'BELOW TARGET'}")


if __name__ == "__main__":
    main()
