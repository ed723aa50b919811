"""What every example driver shares, whatever it waits with (asyncio or threads).

The servers' route table, response constants, command line, log line, and how
a failed route is answered; the clients' command line, the choice of origin or
proxy for a URL, the CONNECT request and its refusal, and the printing of a
response. Nothing here waits, reads or writes: each driver family does that its
own way, and both answer the same requests with the same bytes.
"""

import argparse
import http
import sys
from urllib.parse import parse_qsl, urlsplit

import velmora._velmora as v
from h2_steps import BodyStalled, GoAwayRefused, ResponseStalled, copy_error

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
TUNNEL, UPGRADE, HELLO_ROUTE, ECHO, STREAM, DELAY, WEBSOCKET, MISSING = (
    "tunnel", "upgrade", "hello", "echo", "stream", "delay", "websocket", "missing")


def split_target(target):
    """(path, query dict) of a request target."""
    path, _, query = target.partition("?")
    return path, dict(parse_qsl(query)) if query else {}


def choose_route(method, path, headers, protocol=None):
    """Which route serves a request (the table every example server follows);
    `protocol` is an HTTP/2 extended CONNECT's `:protocol`."""
    if path == "/ws" and (protocol == "websocket" if method == "CONNECT" else method == "GET"):
        return WEBSOCKET  # over HTTP/1.1 the handshake checks the Upgrade
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


def describe(req, peer):
    """The log line of a served request."""
    notes = [f"seq {req.seq}"]
    if req.received:
        notes.append(f"{req.received} body bytes")
    if req.continued:
        notes.append("sent 100 Continue")
    notes.append(peer)
    return f"{req.method} {req.head.target} -> {req.status} ({', '.join(notes)})"


# How long a request body may make no progress, and a response wait for the
# client to read (HTTP/2: a window that stays at zero), before the server gives up.
BODY_TIMEOUT = 30.0


def h1_route_failure(exc):
    """How an HTTP/1 server answers a route that raised `exc`: (what to log, the
    status to answer while no head went out or None to drop the connection,
    whether the connection must end after the answer)."""
    if isinstance(exc, BodyStalled):
        return str(exc), 408, True
    if isinstance(exc, v.H1BodyError):
        return f"bad request body: {exc.args[-1]}", 400, True
    if isinstance(exc, v.H1IncompleteMessageError):
        return "the client went away mid-response", None, False
    return f"{type(exc).__name__}: {exc}", 500, False


def h2_route_failure(exc, sid):
    """How an HTTP/2 server answers a route that raised `exc` on stream `sid`: (what
    to log, the status to answer while no head went out or None, the reason of the
    RST_STREAM that ends the stream otherwise). No status: the stream or the
    connection stopped under the route; log it only when not quiet."""
    if isinstance(exc, BodyStalled):
        return f"stream {sid}: {exc}", 408, v.H2Reason.CANCEL
    if isinstance(exc, ResponseStalled):
        return f"stream {sid}: {exc}", None, v.H2Reason.CANCEL
    if isinstance(exc, v.H2StreamError) and len(exc.args) == 3:
        _, reason, initiator = exc.args
        who = "by the client" if initiator == "remote" else "here"
        return f"stream {sid} reset {who} ({reason_name(reason)})", None, \
            v.H2Reason.INTERNAL_ERROR
    if isinstance(exc, (GoAwayRefused, v.H2Error, v.ConnectionClosedError,
                        v.H1IncompleteMessageError)):
        return f"stream {sid} stopped: {exc}", None, v.H2Reason.INTERNAL_ERROR
    return f"{type(exc).__name__}: {exc}", 500, v.H2Reason.INTERNAL_ERROR


def reason_name(code):
    """An HTTP/2 error code as its name (CANCEL), or its number when it has none."""
    try:
        return v.H2Reason(code).name
    except ValueError:
        return str(int(code))


def refusal(codec, status):
    """The bytes answering a malformed head with `status` (the connection
    then closes)."""
    body = b"%d\n" % status
    head = codec.serialize_response(status, TEXT, keep_alive=False,
                                    content_length=len(body))
    return codec.serialize_head_and_body(head, body)


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
    parser.add_argument("--body-timeout", type=seconds, default=BODY_TIMEOUT, metavar="S",
                        help="seconds a request body may make no progress, and a response "
                             "wait for the client to read it, before the server gives up "
                             "(0: no limit)")
    parser.add_argument("--quiet", action="store_true", help="do not log requests")
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"),
                        help="serve HTTPS (ALPN: h2, http/1.1) with this certificate chain and key")
    parser.add_argument("--tls-port", type=int, metavar="P",
                        help="with --tls: HTTPS on port P, cleartext stays on --port")
    return parser


def server_ports(parser, args):
    """[(port, server SSLContext or None)] the parsed options ask a server to listen on."""
    from tls import server_context

    if args.tls_port is not None and args.tls is None:
        parser.error("--tls-port needs --tls CERT KEY")
    tls = None
    if args.tls:
        try:
            tls = server_context(*args.tls)
        except (OSError, ValueError) as exc:
            parser.error(f"--tls {' '.join(args.tls)}: {exc}")
    if args.tls_port is not None:
        return [(args.port, None), (args.tls_port, tls)]
    return [(args.port, tls)]


def listening_line(sockname, tls=False):
    host, port = sockname[:2]
    shown = f"[{host}]" if ":" in host else host
    return f"listening on {'https' if tls else 'http'}://{shown}:{port}/"


# Our HTTP/2 SETTINGS as a server: request bodies arrive under a 64 KiB stream
# window (uploads exercise flow control), a 1 MiB connection window, at most
# 100 streams; WebSockets may come over a stream (extended CONNECT).
H2_SERVER = dict(initial_window_size=65535, connection_window=1 << 20, max_frame_size=16384,
                 max_header_list_size=65536, max_send_buf_size=65536,
                 max_concurrent_streams=100, enable_connect_protocol=True)

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
    parser.add_argument("--http1.1", dest="http11", action="store_true",
                        help="https: offer only http/1.1 by ALPN")
    parser.add_argument("--cacert", metavar="FILE",
                        help="https: trust this CA bundle instead of the system store")
    parser.add_argument("-k", "--insecure", action="store_true",
                        help="https: do not verify the server's certificate")
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


def url_parts(url, prog):
    """(scheme, host, port, origin-form target, authority) of an http(s) URL; any
    other URL ends the program with a message."""
    try:
        scheme, host, port, authority = v.uri_parts(url)
    except ValueError as exc:
        raise SystemExit(f"{prog}: {exc}") from None
    if scheme not in ("http", "https") or not host:
        raise SystemExit(f"{prog}: only http:// and https:// URLs are supported: {url}")
    parts = urlsplit(url)
    target = (parts.path or "/") + (f"?{parts.query}" if parts.query else "")
    port = port or (443 if scheme == "https" else 80)
    return scheme, host.strip("[]"), port, target, authority.rpartition("@")[2]


def proxy_address(proxy, log, prog):
    """(host, port, Proxy-Authorization or None) of the HTTP proxy `proxy`; a proxy
    of another scheme ends the program with a message."""
    pscheme, phost, pport, _ = v.uri_parts(proxy.uri)
    if pscheme != "http":
        raise SystemExit(f"{prog}: {pscheme}:// proxies are not supported "
                         f"(only http:// ones): {proxy.uri}")
    log(f"through proxy {proxy.uri}")
    return phost.strip("[]"), pport or 80, proxy.basic_auth()


def _origin(url, prog):
    scheme, host, port, target, authority = url_parts(url, prog)
    # https is pooled apart from cleartext connections to the same port.
    key = (host, port, "https") if scheme == "https" else (host, port)
    return key, target, authority


def route_h1(url, proxies, log, prog):
    """(pool key, request target, extra headers) for `url`: the origin, or the
    proxy the environment names for it (http: absolute-form target; https: the
    key's fourth item is the (host, port, Proxy-Authorization) of a CONNECT tunnel)."""
    key, target, host = _origin(url, prog)
    headers = [("host", host)]
    proxy = proxies.intercept(url)
    if proxy is not None:
        phost, pport, auth = proxy_address(proxy, log, prog)
        if key[2:] == ("https",):  # a tunnel: the key says through which proxy
            return (*key, (phost, pport, auth)), target, headers
        if auth is not None:
            headers.append(("proxy-authorization", auth))
        return (phost, pport), url, headers
    return key, target, headers


def route_h2(url, prog):
    """(connection key, request target, :authority) for `url` over HTTP/2, which
    goes straight to the origin (https: a key of its own, its third item "https")."""
    return _origin(url, prog)


def merge_headers(extra, user_headers):
    """The request's fields: the user's, plus the extra ones they did not set."""
    names = {name.lower() for name, _ in user_headers}
    return v.HeaderMap([h for h in extra if h[0] not in names] + list(user_headers))


def reason(status):
    """The reason phrase of `status`, or "" for a code without one."""
    try:
        return http.HTTPStatus(status).phrase
    except ValueError:
        return ""


def connect_fields(authority, auth):
    """The fields of a CONNECT request for `authority` (auth: Proxy-Authorization or None)."""
    headers = [("host", authority)]
    if auth is not None:
        headers.append(("proxy-authorization", auth))
    return v.HeaderMap(headers)


def tunnel_refusal(status, proxy, authority, auth):
    """What to tell the user when the proxy `proxy` answered CONNECT with a non-2xx `status`."""
    shown = f"{status} {reason(status)}".rstrip()
    if status == 407:
        hint = ("the credentials in the proxy URL were refused" if auth is not None
                else "put user:password@ in the proxy URL")
        return f"proxy {proxy} wants authentication ({shown}): {hint}"
    return f"proxy {proxy} refused the tunnel to {authority}: {shown}"


def idle_read_done(conn, data, error):
    """Act on what the read parked on an idle pooled connection `conn` returned:
    `data` (b"" at the server's end), or the OSError `error` it raised."""
    verdict, dead = conn.watcher_completed(data, error)
    if verdict == v.H1_WATCH_IDLE_EOF:
        # With no transport handed back our own close came first: the end
        # of the read is that close, not the server's.
        if dead is not None:
            conn.log(f"connection {conn.name}: the server closed it while idle")
    elif verdict == v.H1_WATCH_IDLE_BYTES:
        conn.log(f"connection {conn.name}: "
                 "the server sent bytes outside a response")
        dead = conn.fail(v.H1UnexpectedMessageError(
            "received unexpected message from connection"))
    elif verdict == v.H1_WATCH_IDLE_ERROR:
        conn.log(f"connection {conn.name}: {error}")
        dead = conn.fail(copy_error(error))
    if dead is not None:
        dead.close()


def show_response(out, head, data, trailers, version, verbose):
    """Print one response: status line, headers (-v), body, trailers (-v)."""
    out.write(f"HTTP/{version} {head.status} {reason(head.status)}\n".encode())
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
