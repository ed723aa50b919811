"""HTTP/1 heads: a typical browser request head parsed into a head event with
its fields read, a response head, and response-head encoding, side by side
with httptools and h11 in one process.

Each side does the whole job a server or client needs per head: parse, get
the method/target (or status) and every header as Python objects.
"""

import sys

import h11

try:
    import httptools
except ImportError:  # pragma: no cover
    httptools = None

sys.path.insert(0, __file__.rsplit("/", 1)[0])
from _harness import compare, table  # noqa: E402

from velmora._velmora import H1Codec, HeaderMap  # noqa: E402

REQUEST = (
    b"GET /static/js/app.bundle.min.js?v=20240611&lang=en-US HTTP/1.1\r\n"
    b"Host: www.example-shop.com\r\n"
    b"Connection: keep-alive\r\n"
    b'sec-ch-ua: "Chromium";v="124", "Google Chrome";v="124", "Not-A.Brand";v="99"\r\n'
    b"sec-ch-ua-mobile: ?0\r\n"
    b"User-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 Chrome/124.0 Safari/537.36\r\n"
    b'sec-ch-ua-platform: "Linux"\r\n'
    b"Accept: */*\r\n"
    b"Sec-Fetch-Site: same-origin\r\n"
    b"Sec-Fetch-Mode: no-cors\r\n"
    b"Sec-Fetch-Dest: script\r\n"
    b"Referer: https://www.example-shop.com/products/shoes\r\n"
    b"Accept-Encoding: gzip, deflate, br, zstd\r\n"
    b"Accept-Language: en-US,en;q=0.9\r\n"
    b"Cookie: session=8f2a9c1e7b; theme=dark\r\n"
    b"\r\n"
)

RESPONSE = (
    b"HTTP/1.1 200 OK\r\n"
    b"Date: Tue, 11 Jun 2024 10:00:00 GMT\r\n"
    b"Content-Type: application/javascript; charset=utf-8\r\n"
    b"Content-Length: 48213\r\n"
    b"Connection: keep-alive\r\n"
    b"Cache-Control: public, max-age=31536000, immutable\r\n"
    b'ETag: "5f3a-18e2b1c4d20"\r\n'
    b"Last-Modified: Mon, 10 Jun 2024 08:00:00 GMT\r\n"
    b"Vary: Accept-Encoding\r\n"
    b"Server: nginx\r\n"
    b"\r\n"
)

RESPONSE_FIELDS = [
    ("Content-Type", "application/javascript; charset=utf-8"),
    ("Cache-Control", "public, max-age=31536000, immutable"),
    ("ETag", '"5f3a-18e2b1c4d20"'),
    ("Vary", "Accept-Encoding"),
    ("Server", "velmora"),
]


# ---- request heads ----

_server = H1Codec()


def velmora_request():
    # One codec per connection, as a server keeps it; reset() starts each message.
    c = _server
    c.reset()
    h = c.receive_request_head(REQUEST)
    return h.method, h.target, h.headers, h.keep_alive, h.body_kind, h.content_length


def velmora_request_materialized():
    c = _server
    c.reset()
    h = c.receive_request_head(REQUEST)
    return h.method, h.target, h.headers.raw_items(), h.keep_alive, h.body_kind, h.content_length


class _Collect:
    __slots__ = ("url", "headers", "done")

    def __init__(self):
        self.url = None
        self.headers = []
        self.done = False

    def on_url(self, url):
        self.url = url

    def on_header(self, name, value):
        self.headers.append((name, value))

    def on_headers_complete(self):
        self.done = True


_ht_proto = _Collect()
_ht_parser = httptools.HttpRequestParser(_ht_proto) if httptools else None


def httptools_request():
    # One parser per connection, fed one keep-alive request after another.
    p = _ht_proto
    p.headers = []
    _ht_parser.feed_data(REQUEST)
    return _ht_parser.get_method(), p.url, p.headers, _ht_parser.should_keep_alive()


def h11_request():
    conn = h11.Connection(h11.SERVER)
    conn.receive_data(REQUEST)
    ev = conn.next_event()
    return ev.method, ev.target, ev.headers, conn.our_state


# ---- response heads ----

_client = H1Codec()


def velmora_response():
    c = _client
    c.reset()
    h = c.receive_head(RESPONSE)
    c.take_body()
    return h.status, h.headers, h.content_length, h.keep_alive, h.body_kind


def httptools_response():
    # A fresh parser per response: httptools would otherwise wait for the
    # 48213-byte body before reading the next head.
    p = _Collect()
    parser = httptools.HttpResponseParser(p)
    parser.feed_data(RESPONSE)
    return parser.get_status_code(), p.headers



def h11_response():
    conn = h11.Connection(h11.CLIENT)
    conn.send(h11.Request(method="GET", target="/", headers=[("Host", "a")]))
    conn.send(h11.EndOfMessage())
    conn.receive_data(RESPONSE)
    ev = conn.next_event()
    return ev.status_code, ev.headers


# ---- response encoding ----

_fields = HeaderMap(RESPONSE_FIELDS)
_enc = H1Codec()


def velmora_serialize():
    return _enc.serialize_response(200, _fields, content_length=48213)


def h11_serialize():
    conn = h11.Connection(h11.SERVER)
    conn.receive_data(b"GET / HTTP/1.1\r\nHost: a\r\n\r\n")
    conn.next_event()
    return conn.send(h11.Response(status_code=200, headers=RESPONSE_FIELDS + [("Content-Length", "48213")]))


def _h11_serialize_baseline():
    conn = h11.Connection(h11.SERVER)
    conn.receive_data(b"GET / HTTP/1.1\r\nHost: a\r\n\r\n")
    conn.next_event()
    return conn


def main():
    assert 560 <= len(REQUEST) <= 600 and REQUEST.count(b"\r\n") == 16, len(REQUEST)
    assert len(velmora_request_materialized()[2]) == 14
    if httptools is not None:
        assert len(httptools_request()[2]) == 14
    print(f"request head: {len(REQUEST)} bytes, 14 fields")

    rows_ht, rows_h11 = [], []
    if httptools is not None:
        ours, theirs = compare(velmora_request, httptools_request)
        rows_ht.append(("request head -> event + fields", ours, theirs))
        ours, theirs = compare(velmora_request_materialized, httptools_request)
        rows_ht.append(("  ... + headers.raw_items()", ours, theirs))
        ours, theirs = compare(velmora_response, httptools_response)
        rows_ht.append(("response head -> event + fields", ours, theirs))
        table("HTTP/1 heads vs httptools", rows_ht, "httptools")

    ours, theirs = compare(velmora_request, h11_request)
    rows_h11.append(("request head -> event + fields", ours, theirs))
    ours, theirs = compare(velmora_request_materialized, h11_request)
    rows_h11.append(("  ... + headers.raw_items()", ours, theirs))
    ours, theirs = compare(velmora_response, h11_response)
    rows_h11.append(("response head -> event + fields", ours, theirs))
    # h11 needs a connection that has read a request before it can respond;
    # that setup is measured on its own and taken out.
    ours, theirs = compare(velmora_serialize, h11_serialize)
    from _harness import ns_per_call

    setup = ns_per_call(_h11_serialize_baseline)
    rows_h11.append(("serialize_response (head)", ours, max(theirs - setup, 1.0)))
    table("HTTP/1 heads vs h11", rows_h11, "h11")

    req_ht = rows_ht[0][2] / rows_ht[0][1] if rows_ht else None
    req_h11 = rows_h11[0][2] / rows_h11[0][1]
    print()
    if req_ht is not None:
        print(f"request head vs httptools: {req_ht:.2f}x (target >= 4x) {'ok' if req_ht >= 4 else 'BELOW TARGET'}")
    print(f"request head vs h11:       {req_h11:.2f}x (target >= 15x) {'ok' if req_h11 >= 15 else 'BELOW TARGET'}")
    if rows_ht:
        print(f"with every header turned into Python objects: {rows_ht[1][2] / rows_ht[1][1]:.2f}x vs httptools, "
              f"{rows_h11[1][2] / rows_h11[1][1]:.2f}x vs h11")


if __name__ == "__main__":
    main()
