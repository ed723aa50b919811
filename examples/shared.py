"""What every example driver shares, whatever it waits with (asyncio or threads).

The servers' route table, response constants and command line; the clients'
command line, the choice of origin or proxy for a URL, and the printing of a
response. Nothing here waits, reads or writes: each driver family does that its
own way, and both answer the same requests with the same bytes.
"""

import argparse
import http
import sys
from urllib.parse import parse_qsl, urlsplit

import velmora._velmora as v

# ---------------------------------------------------------------------------
# Server side: routes and responses.

HELLO = b"hello from velmora\n"
TEXT = v.HeaderMap([("content-type", "text/plain; charset=utf-8")])
OCTETS = v.HeaderMap([("content-type", "application/octet-stream")])
EMPTY_TEXT = v.HeaderMap([("content-type", "text/plain; charset=utf-8"),
                          ("content-length", "0")])
NOT_FOUND = b"not found\n"
ECHO_UPGRADE = v.HeaderMap([("connection", "upgrade"), ("upgrade", "echo")])

# Route names, as `choose_route` answers them.
TUNNEL, UPGRADE, HELLO_ROUTE, ECHO, STREAM, DELAY, MISSING = (
    "tunnel", "upgrade", "hello", "echo", "stream", "delay", "missing")


def split_target(target):
    """(path, query dict) of a request target."""
    path, _, query = target.partition("?")
    return path, dict(parse_qsl(query)) if query else {}


def choose_route(method, path, headers):
    """Which route serves a request (the table every example server follows)."""
    if method == "CONNECT":
        return TUNNEL
    upgrade = headers.get("upgrade")
    if upgrade is not None and upgrade.lower() == b"echo":
        return UPGRADE
    if method in ("GET", "HEAD"):
        if path == "/":
            return HELLO_ROUTE
        if path == "/stream":
            return STREAM
        if path == "/delay":
            return DELAY
    elif method in ("POST", "PUT") and path == "/echo":
        return ECHO
    return MISSING


def stream_shape(query):
    """/stream's (chunks, piece, trailers) from its query."""
    chunks = int(query.get("chunks", "4"))
    size = int(query.get("size", "16"))
    piece = b"x" * (size - 1) + b"\n" if size > 0 else b""
    trailers = v.HeaderMap([("x-chunks", str(chunks))]) if query.get("trailers") else None
    return chunks, piece, trailers


def delay_ms(query):
    return int(query.get("ms", "100"))


def seconds(text):
    value = float(text)
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text}")
    return value


def server_parser(doc):
    """The servers' command line; a driver may add its own options before parsing."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8080, help="0 picks a free port")
    parser.add_argument("--head-timeout", type=seconds, default=10.0, metavar="S",
                        help="seconds a client may take to send a request head (0: no limit)")
    parser.add_argument("--quiet", action="store_true", help="do not log requests")
    return parser


def listening_line(sockname):
    host, port = sockname[:2]
    shown = f"[{host}]" if ":" in host else host
    return f"listening on http://{shown}:{port}/"


# Our HTTP/2 SETTINGS as a server: request bodies arrive under a 64 KiB stream
# window (uploads exercise flow control), a 1 MiB connection window, at most
# 100 streams.
H2_SERVER = dict(initial_window_size=65535, connection_window=1 << 20, max_frame_size=16384,
                 max_header_list_size=65536, max_send_buf_size=65536,
                 max_concurrent_streams=100)

# As a client: no server push; responses arrive under 1 MiB stream windows.
H2_CLIENT = dict(initial_window_size=1 << 20, connection_window=1 << 24, max_frame_size=16384,
                 max_header_list_size=65536, max_send_buf_size=65536, enable_push=False)


# ---------------------------------------------------------------------------
# Client side.

IDEMPOTENT = ("GET", "HEAD", "OPTIONS", "PUT", "DELETE")


def parse_header(text):
    name, sep, value = text.partition(":")
    if not sep or not name.strip():
        raise argparse.ArgumentTypeError(f"not a header: {text!r}")
    return name.strip(), value.strip()


def client_parser(doc):
    """The clients' command line; a driver may add its own options before parsing,
    then passes the result through `client_request`."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("urls", nargs="+", metavar="URL")
    parser.add_argument("-X", "--request", dest="method")
    parser.add_argument("-d", "--data", help="request body; @FILE reads it from a file")
    parser.add_argument("-H", "--header", dest="headers", action="append", default=[],
                        type=parse_header)
    parser.add_argument("--h2c", action="store_true",
                        help="HTTP/2 over cleartext with prior knowledge")
    parser.add_argument("--repeat", type=int, default=1, help="fetch each URL N times")
    parser.add_argument("--concurrency", type=int, default=1, metavar="K",
                        help="requests in flight at once")
    parser.add_argument("--wait", type=float, default=0.0, metavar="S",
                        help="pause between requests")
    parser.add_argument("-v", "--verbose", action="store_true")
    return parser


def client_request(args):
    """Fill in `args.body` (from -d DATA or -d @FILE) and `args.method`."""
    args.body = None
    if args.data is not None:
        if args.data.startswith("@"):
            with open(args.data[1:], "rb") as f:
                args.body = f.read()
        else:
            args.body = args.data.encode()
    args.method = args.method or ("POST" if args.body is not None else "GET")
    return args


def _origin(url, prog):
    try:
        scheme, host, port, authority = v.uri_parts(url)
    except ValueError as exc:
        raise SystemExit(f"{prog}: {exc}") from None
    if scheme != "http" or not host:
        raise SystemExit(f"{prog}: only http:// URLs are supported: {url}")
    parts = urlsplit(url)
    target = (parts.path or "/") + (f"?{parts.query}" if parts.query else "")
    return (host.strip("[]"), port or 80), target, authority.rpartition("@")[2]


def route_h1(url, proxies, log, prog):
    """(pool key, request target, extra headers) for `url` over HTTP/1.1: the
    origin, or the proxy the environment names for it (absolute-form target)."""
    key, target, host = _origin(url, prog)
    headers = [("host", host)]
    proxy = proxies.intercept(url)
    if proxy is not None:
        _, phost, pport, _ = v.uri_parts(proxy.uri)
        log(f"through proxy {proxy.uri}")
        if (auth := proxy.basic_auth()) is not None:
            headers.append(("proxy-authorization", auth))
        return (phost.strip("[]"), pport or 80), url, headers
    return key, target, headers


def route_h2(url, prog):
    """(connection key, request target, :authority) for `url` over h2c, which
    always goes straight to the origin."""
    return _origin(url, prog)


def merge_headers(extra, user_headers):
    """The request's fields: the user's, plus the extra ones they did not set."""
    names = {name.lower() for name, _ in user_headers}
    return v.HeaderMap([h for h in extra if h[0] not in names] + list(user_headers))


def show_response(out, head, data, trailers, version, verbose):
    """Print one response: status line, headers (-v), body, trailers (-v)."""
    try:
        reason = http.HTTPStatus(head.status).phrase
    except ValueError:
        reason = ""
    out.write(f"HTTP/{version} {head.status} {reason}\n".encode())
    if verbose:
        for name, value in head.headers.items():
            out.write(name.encode() + b": " + value + b"\n")
        out.write(b"\n")
    out.write(data)
    if data and not data.endswith(b"\n"):
        out.write(b"\n")
    if verbose and trailers:
        for name, value in trailers.items():
            out.write(b"trailer " + name.encode() + b": " + value + b"\n")
    out.flush()


def stderr_log(verbose):
    def log(line):
        if verbose:
            print(f"* {line}", file=sys.stderr, flush=True)
    return log
