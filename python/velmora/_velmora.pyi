"""Type stubs for velmora._velmora, the sans-IO protocol core."""

from collections.abc import Iterable, Iterator, Mapping
from typing import ClassVar, Final, Literal, Self, TypeVar, disjoint_base, final, overload

_T = TypeVar("_T")
_Name = str | bytes
_Value = str | bytes

__version__: Final[str]
"""The package version in Python's form (pre-release suffixes as a/b).

A `str` such as "0.4.5"; a pre-release of the package reads "0.5.0a1" or "0.5.0b2".
"""

class VelmoraError(Exception):
    """Base class for every velmora error (HTTP/1 and HTTP/2).

    Catch it to handle every error the core raises on purpose. Argument errors are plain
    `TypeError`, `ValueError` and `OverflowError` instead, and a refusal of the connection states is
    a return value, never an exception. Errors the driver stores (`fail`) come back as the object it
    stored; raise a new one chained from it.
    """
class ConnectionClosedError(VelmoraError):
    """The transport failed (reset, I/O error, shutdown failure) with work still in flight. Not a protocol violation. args = (message: str,).

    Made by `H2Streams.conn_error()` when the connection ended without a stored exception (`fail()`
    with only a message, or the GOAWAY exchange: "connection closed: GOAWAY exchanged"), and by the
    HTTP/1 codec for I/O and shutdown failures. Drivers raise it themselves when a state answers
    with no transport. A request that failed this way may not have been sent; the driver decides
    whether to retry.
    """

@disjoint_base
class HeaderMap:
    """Ordered, case-insensitive, multi-valued header collection: names are lowercase str, values bytes.

    `HeaderMap(init=None)` takes another `HeaderMap`, a mapping, or an iterable of (name, value)
    pairs. Names and values may be `str` or `bytes`; a name that is not a valid field name raises
    `ValueError("invalid header name: ...")`, a value with CR, LF or NUL `ValueError("invalid header
    value: ...")`. Name lookups ignore case; `map[name] = value` replaces every value of the name,
    `add` appends. Each map has a lock of its own, so it may be read and changed from several
    threads.
    """
    def __new__(
        cls, init: HeaderMap | Mapping[_Name, _Value] | Iterable[tuple[_Name, _Value]] | None = None
    ) -> Self: ...
    @overload
    def get(self, name: _Name, default: None = None) -> bytes | None:
        """First value for name, or default when absent."""
    @overload
    def get(self, name: _Name, default: _T) -> bytes | _T:
        """First value for name, or default when absent."""
    def get_all(self, name: _Name) -> list[bytes]:
        """Every value for name, in order; an empty list when absent."""
    def add(self, name: _Name, value: _Value) -> None:
        """Append a value, keeping the existing ones."""
    def setdefault(self, name: _Name, value: _Value) -> bytes:
        """The first value of name if present; otherwise append value and return it as bytes."""
    def keys(self) -> list[str]:
        """Distinct names in order."""
    def values(self) -> list[bytes]:
        """Every value in order."""
    def items(self) -> list[tuple[str, bytes]]:
        """Every (name, value) pair in order."""
    def raw_items(self) -> list[tuple[bytes, bytes]]:
        """Every (name, value) pair with the name as lowercase ASCII bytes."""
    def __getitem__(self, name: _Name, /) -> bytes: ...
    def __setitem__(self, name: _Name, value: _Value, /) -> None: ...
    def __delitem__(self, name: _Name, /) -> None: ...
    def __contains__(self, name: object, /) -> bool: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[str]: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: None  # type: ignore[assignment]

def http_date() -> bytes:
    """The current Date header value (29-byte IMF-fixdate), cached per second.

    For example b"Sun, 06 Nov 1994 08:49:37 GMT".
    """
def uri_parts(url: str) -> tuple[str | None, str | None, int | None, str | None]:
    """Split a URL into (scheme, host, port, authority) with the codecs' URI parser.

    Parts absent from the URL are None; an origin-form target such as "/x" gives (None, None, None,
    None). The port is the explicit one, else 80 for http and 443 for https; the authority is then
    "host:port". A URL that does not parse raises `ValueError("invalid url "...": ...")`.
    """

@final
class H2Codec:
    """HTTP/2 frame codec: frames decoded into events, HPACK in both directions, every frame type encoded.

    A standalone codec for tools and tests, with a lock of its own; `H2Streams` contains its own
    codec and is what drivers use. `role` ("client", the default, or "server"; anything else raises
    `ValueError`) decides which pseudo-headers a received block must carry and whether the preface
    is expected. `enable_connect_protocol` True lets a server codec accept extended CONNECT requests
    (RFC 8441: CONNECT with `:protocol`, `:scheme`, `:path` and `:authority`), as a server does that
    sends SETTINGS_ENABLE_CONNECT_PROTOCOL = 1; off (the default), and in the client role, a block
    with `:protocol` is malformed. The encoders return the bytes of whole frames and track nothing
    about streams.
    """
    def __new__(cls, role: Literal["client", "server"] = "client", *, enable_connect_protocol: bool = False) -> Self: ...
    @property
    def role_client(self) -> bool:
        """True for the client role."""
    def receive(self, data: bytes) -> list[_H2Frame]:
        """Feed received bytes; returns the list of frame events now decodable. Raises H2ProtocolError on a connection error. A malformed header block (a forbidden field, a value starting or ending with SP or HTAB, pseudo-headers wrong for a request (server role) or a response (client role)) is decoded to its end and reported as H2FrameStreamError(stream_id, 1).

        A field the decoder cannot take ends the connection instead (H2ProtocolError): a name with
        uppercase letters or characters outside the token set, a value with NUL, CR or LF, a
        pseudo-header field after a regular one or not defined by HTTP/2, an HPACK decoding failure.

        The events are the `H2Frame*` classes; a server codec consumes the 24-octet preface first
        (feed it through `feed_preface` or `receive`). Events decoded before an error in the same
        call are lost with it. A PRIORITY frame not of 5 octets is H2FrameStreamError(stream_id, 6)
        (FRAME_SIZE_ERROR); the connection errors carry the codes `H2Streams.receive` lists.
        """
    def buffered(self) -> int:
        """Octets in the read buffer awaiting a complete frame."""
    def feed_preface(self, data: bytes) -> bool | None:
        """Accumulate data and classify it against the client preface: True matched (the octets after it move into the read buffer), None a matching but incomplete prefix, False diverged."""
    def set_send_header_table_size(self, val: int) -> None:
        """The peer's SETTINGS_HEADER_TABLE_SIZE: clamped to 4096 and announced in the next header block.

        `val` in octets, 0 to 2**32 - 1.
        """
    def set_recv_header_table_size(self, val: int) -> None:
        """The SETTINGS_HEADER_TABLE_SIZE we advertised: bounds the peer's next size updates.

        `val` in octets, 0 to 2**32 - 1.
        """
    def set_max_recv_frame_size(self, val: int) -> None:
        """Largest accepted frame payload (16384..16777215).

        Outside 16384 to 16777215 raises `ValueError("max_frame_size must be in [16384, 16777215],
        got N")`. A frame longer than it is a connection error (FRAME_SIZE_ERROR).
        """
    def set_max_header_list_size(self, val: int) -> None:
        """Limit on a decoded header list.

        `val` in octets (the sum of name and value lengths plus 32 per field, as HTTP/2 counts it).
        """
    def set_send_max_frame_size(self, val: int) -> None:
        """The peer's SETTINGS_MAX_FRAME_SIZE (16384..16777215).

        Outside 16384 to 16777215 raises `ValueError`. DATA payloads and header block fragments are
        cut to it.
        """
    def serialize_settings(
        self, /,
        *,
        header_table_size: int | None = None,
        enable_push: bool | None = None,
        max_concurrent_streams: int | None = None,
        initial_window_size: int | None = None,
        max_frame_size: int | None = None,
        max_header_list_size: int | None = None,
        enable_connect_protocol: bool | None = None,
    ) -> bytes:
        """One SETTINGS frame with the given parameters.

        Each keyword given (not None) becomes one parameter, in the order of the signature; none
        gives an empty SETTINGS frame. `enable_push` and `enable_connect_protocol` (RFC 8441's
        SETTINGS_ENABLE_CONNECT_PROTOCOL, identifier 8) are sent as 0 or 1.
        """
    def serialize_settings_ack(self) -> bytes:
        """The 9-octet SETTINGS acknowledgement."""
    def serialize_request_headers(
        self,
        stream_id: int,
        method: str,
        target: str,
        headers: HeaderMap | None = None,
        end_stream: bool = False,
        *,
        scheme: str | None = None,
        authority: str | None = None,
        protocol: str | None = None,
    ) -> bytes:
        """HEADERS (+ CONTINUATION) for a request head. A value starting or ending with SP or HTAB raises H2UserError('malformed_headers', ...).

        `target` is an absolute URI (scheme and authority are taken from it) or an origin-form path
        such as "/x?y", which needs both `scheme` and `authority` (else `ValueError`: "request
        target is a bare path but the connection has no authority; ..."); for CONNECT no :scheme or
        :path is sent. A method that is not a token raises `ValueError("invalid method: ...")`, a
        target that does not parse `ValueError("invalid url: ...")`.

        `protocol` makes an extended CONNECT (RFC 8441), such as a WebSocket over HTTP/2: method
        "CONNECT" with a target built as for any other method, sent as `:method`, `:scheme`,
        `:authority`, `:path` and `:protocol`. A protocol that is not a token raises
        `ValueError("invalid protocol: not a token")`, one with another method `ValueError("a
        request with a protocol must use the CONNECT method")`. Whether the peer allows it is not
        checked here (`H2Streams.open_stream` does).
        """
    def serialize_response_headers(
        self,
        stream_id: int,
        status: int,
        headers: HeaderMap | None = None,
        end_stream: bool = False,
        auto_date: bool = False,
    ) -> bytes:
        """HEADERS (+ CONTINUATION) for a response head. A value starting or ending with SP or HTAB raises H2UserError('malformed_headers', ...).

        `status` 100 to 999 (outside raises `ValueError`); `auto_date` adds a `date` header when
        `headers` has none.
        """
    def serialize_trailers(self, stream_id: int, trailers: HeaderMap) -> bytes:
        """HEADERS (+ CONTINUATION) with END_STREAM carrying the regular fields of trailers. A value starting or ending with SP or HTAB raises H2UserError('malformed_headers', ...)."""
    def serialize_data(self, stream_id: int, data: bytes, end_stream: bool = False) -> bytes:
        """One DATA frame; raises H2UserError('payload_too_big', ...) past the peer's frame size.

        `stream_id` 1 to 2**31 - 1 (a larger one raises `ValueError`).
        """
    def serialize_window_update(self, stream_id: int, increment: int) -> bytes:
        """One WINDOW_UPDATE frame.

        `increment` 1 to 2**31 - 1; stream 0 is the connection.
        """
    def serialize_ping(self, payload: bytes) -> bytes:
        """One PING frame with an 8-byte payload.

        `payload` must be exactly 8 octets (else `ValueError("ping payload must be exactly 8
        bytes")`).
        """
    def serialize_ping_ack(self, payload: bytes) -> bytes:
        """The PING acknowledgement echoing payload.

        `payload` must be exactly 8 octets.
        """
    def serialize_go_away(self, last_stream_id: int, error_code: int, debug_data: bytes | None = None) -> bytes:
        """One GOAWAY frame on stream 0.

        `error_code` an int 0 to 2**32 - 1; `debug_data` bytes or None.
        """
    def serialize_rst_stream(self, stream_id: int, error_code: int) -> bytes:
        """One RST_STREAM frame."""
    @staticmethod
    def match_preface(data: bytes) -> bool | None:
        """Compare data with the client preface: False on a difference, None for a matching prefix shorter than 24 octets, True once the preface is complete.

        Stateless: pass everything received so far.
        """
    @staticmethod
    def check_send_headers(headers: HeaderMap) -> None:
        """Raise H2UserError('malformed_headers', ...) for a field set HTTP/2 forbids (a connection-specific field, te other than trailers, a value starting or ending with SP or HTAB); else None.

        Only regular fields are checked, so the fields of an extended CONNECT (such as
        `sec-websocket-version` and `sec-websocket-protocol`) pass like any other; its `:protocol`
        is an argument of the head builders, not a field.
        """
    @staticmethod
    def method_is_head(method: str) -> bool:
        """True when method is exactly HEAD."""
    @staticmethod
    def is_client_initiated(stream_id: int) -> bool:
        """True for odd stream ids."""

@final
class H2FrameHeaders:
    """A complete header block (HEADERS + CONTINUATION) on a stream.

    Handed to `H2Streams.recv_headers`. Immutable; made only by the decoder. A request carries
    `method`, `scheme`, `authority` and `path` (an extended CONNECT also `protocol`); a response
    `status`; trailers none of them.
    """
    @property
    def stream_id(self) -> int:
        """The stream id."""
    @property
    def end_stream(self) -> bool:
        """END_STREAM was set: the peer's side of the stream ends."""
    @property
    def end_headers(self) -> bool:
        """Always True: blocks are reported once complete."""
    @property
    def method(self) -> str | None:
        """:method, or None."""
    @property
    def scheme(self) -> str | None:
        """:scheme, or None."""
    @property
    def authority(self) -> str | None:
        """:authority, or None."""
    @property
    def path(self) -> str | None:
        """:path, or None."""
    @property
    def status(self) -> int | None:
        """:status as an int, or None."""
    @property
    def headers(self) -> HeaderMap:
        """The regular fields (HeaderMap)."""
    @property
    def content_length(self) -> int | None:
        """The first content-length value as an int; None when absent or unparsable."""
    @property
    def content_length_invalid(self) -> bool:
        """A content-length was present but did not parse."""
    @property
    def is_informational(self) -> bool:
        """:status is present and in 100..199."""
    @property
    def protocol(self) -> str | None:
        """:protocol, or None.

        Only an extended CONNECT request (RFC 8441) carries it, for example "websocket", and only
        when the receiving server enabled it (`enable_connect_protocol`); anywhere else the block is
        malformed and reported as `H2FrameStreamError`.
        """
    @property
    def over_size(self) -> bool:
        """The header list passed our max header list size: the fields past it were dropped.

        The block was still decoded (HPACK stays in step) and the event is handed to `recv_headers`
        as usual, but it is not the head the peer sent: a server answers 431 (Request Header
        Fields Too Large) instead of serving it, a client fails the request and resets the stream.
        A list over four times the limit is a connection error instead
        (`H2ProtocolError(11, "decoded header list size over abuse limit")`).
        """

@final
class H2FrameData:
    """A DATA frame.

    Handed to `H2Streams.recv_data`, which decides whether and to whom `data` is delivered.
    Immutable.
    """
    @property
    def stream_id(self) -> int:
        """The stream id."""
    @property
    def end_stream(self) -> bool:
        """END_STREAM was set."""
    @property
    def data(self) -> bytes:
        """The payload (bytes), padding removed."""
    @property
    def flow_controlled_len(self) -> int:
        """Payload + padding + the pad-length octet: what flow control counts."""
    @property
    def padding(self) -> int:
        """flow_controlled_len minus the payload length."""

@final
class H2FrameSettings:
    """A SETTINGS frame, or its acknowledgement.

    Handed to `H2Streams.recv_settings`. Each parameter is None when the frame does not carry it.
    Immutable.
    """
    @property
    def ack(self) -> bool:
        """An acknowledgement (no parameters)."""
    @property
    def header_table_size(self) -> int | None:
        """SETTINGS_HEADER_TABLE_SIZE, or None."""
    @property
    def enable_push(self) -> bool | None:
        """SETTINGS_ENABLE_PUSH as a bool, or None."""
    @property
    def max_concurrent_streams(self) -> int | None:
        """SETTINGS_MAX_CONCURRENT_STREAMS, or None."""
    @property
    def initial_window_size(self) -> int | None:
        """SETTINGS_INITIAL_WINDOW_SIZE, or None."""
    @property
    def max_frame_size(self) -> int | None:
        """SETTINGS_MAX_FRAME_SIZE, or None."""
    @property
    def max_header_list_size(self) -> int | None:
        """SETTINGS_MAX_HEADER_LIST_SIZE, or None."""
    @property
    def enable_connect_protocol(self) -> bool | None:
        """SETTINGS_ENABLE_CONNECT_PROTOCOL (RFC 8441) as a bool, or None.

        True: the server accepts extended CONNECT. A value other than 0 or 1 fails the connection
        with `H2ProtocolError(1, "failed to load frame: InvalidSettingValue")`.
        """

@final
class H2FrameWindowUpdate:
    """A WINDOW_UPDATE frame.

    Handed to `H2Streams.recv_window_update`. Immutable.
    """
    @property
    def stream_id(self) -> int:
        """The stream id (0: the connection)."""
    @property
    def increment(self) -> int:
        """The window size increment."""

@final
class H2FramePing:
    """A PING frame, or its acknowledgement.

    Handed to `H2Streams.recv_ping`, which queues the reply. Immutable.
    """
    @property
    def data(self) -> bytes:
        """The 8-octet payload."""
    @property
    def ack(self) -> bool:
        """A reply to our PING."""

@final
class H2FrameGoAway:
    """A GOAWAY frame.

    Handed to `H2Streams.recv_go_away`. Immutable.
    """
    @property
    def last_stream_id(self) -> int:
        """The last stream the peer processed."""
    @property
    def error_code(self) -> int:
        """The error code."""
    @property
    def debug_data(self) -> bytes:
        """Opaque debug data (bytes, possibly empty)."""

@final
class H2FrameRstStream:
    """A RST_STREAM frame.

    Handed to `H2Streams.recv_reset`. Immutable.
    """
    @property
    def stream_id(self) -> int:
        """The stream id."""
    @property
    def error_code(self) -> int:
        """The error code."""

@final
class H2FramePriority:
    """A PRIORITY frame (its priority information is ignored).

    Needs no step: priorities are not used. Immutable.
    """
    @property
    def stream_id(self) -> int:
        """The stream id."""

@final
class H2FrameStreamError:
    """A stream-level protocol error found while decoding: reset stream_id with error_code and keep the connection.

    Answer it with `H2Streams.reset_on_error(stream_id, error_code)`; the block was decoded to its
    end, so the connection's HPACK state stays in step. Immutable.
    """
    @property
    def stream_id(self) -> int:
        """The stream id."""
    @property
    def error_code(self) -> int:
        """The error code."""

_H2Frame = (
    H2FrameHeaders
    | H2FrameData
    | H2FrameSettings
    | H2FrameWindowUpdate
    | H2FramePing
    | H2FrameGoAway
    | H2FrameRstStream
    | H2FramePriority
    | H2FrameStreamError
)

_Reason = int | H2Reason
_Initiator = Literal["user", "library", "remote"]

@final
class H2StreamState:
    """The state of one HTTP/2 stream (RFC 9113, section 5.1); starts idle. Each method is one step under the object's lock.

    The stream state machine `H2Streams` runs for each of its streams, offered on its own for tests
    and other engines; drivers do not need it. Refusals that a racing step may cause answer with a
    bool (`send_close`, `set_scheduled_reset`); the others raise the protocol error of the
    transition (`H2ProtocolError(1, ...)` for a peer's frame, `H2UserError` for ours).
    """
    def __new__(cls) -> Self: ...
    def send_open(self, /, eos: bool) -> None:
        """We send HEADERS: our half starts streaming (eos ends it at once). Raises H2UserError from a state where our half cannot open."""
    def recv_open(self, /, eos: bool, informational: bool) -> bool:
        """The peer's HEADERS arrived (an informational head keeps its half awaiting headers). True when this opened the stream from idle or reserved (remote). Raises H2ProtocolError(1, ...) from a state where the peer may not send HEADERS."""
    def reserve_remote(self) -> None:
        """Idle to reserved (remote); else H2ProtocolError(1, ...)."""
    def reserve_local(self) -> None:
        """Idle to reserved (local); else H2UserError."""
    def recv_close(self) -> None:
        """The peer ended its half (END_STREAM); else H2ProtocolError(1, ...)."""
    def recv_reset(self, /, stream_id: int, reason: _Reason, queued: bool) -> None:
        """The peer reset the stream. A closed stream changes only when queued is True. A peer that had ended its half keeps its complete message readable."""
    def recv_eof(self) -> None:
        """The transport closed: a live stream closes with a broken-pipe error."""
    def send_close(self) -> bool:
        """End our half if it is streaming. True when it moved, False otherwise."""
    def set_reset(self, /, stream_id: int, reason: _Reason, initiator: _Initiator) -> None:
        """Close the stream by a reset, whatever its state. initiator is 'user', 'library' or 'remote'."""
    def set_scheduled_reset(self, /, reason: _Reason) -> bool:
        """Close the stream by a reset still to be sent. False when it is already closed."""
    def get_scheduled_reset(self) -> int | None:
        """The reason of a scheduled reset, else None."""
    def ensure_recv_open(self) -> bool:
        """True when more may be received, False when nothing more will arrive; raises the error of a stream closed by error."""
    def is_idle(self) -> bool:
        """Idle."""
    def is_closed(self) -> bool:
        """Closed, for any cause."""
    def is_reset(self) -> bool:
        """Closed by a reset or an error."""
    def is_scheduled_reset(self) -> bool:
        """Closed by a reset still to be sent."""
    def is_local_error(self) -> bool:
        """Closed by an error of ours: a scheduled reset, an I/O error, or a reset or GOAWAY not initiated by the peer."""
    def is_remote_reset(self) -> bool:
        """Closed by the peer's reset."""
    def is_send_streaming(self) -> bool:
        """Our half has sent HEADERS and may send DATA."""
    def is_recv_headers(self) -> bool:
        """The peer's HEADERS may arrive."""
    def is_recv_streaming(self) -> bool:
        """The peer's half has sent HEADERS and may send DATA."""
    def is_recv_end_stream(self) -> bool:
        """The peer ended its half (its message is complete)."""
    def is_send_closed(self) -> bool:
        """Our half can send nothing more."""

@final
class H2FlowControl:
    """One HTTP/2 flow-control window with its accounted capacity (RFC 9113, section 6.9); both start at 0.

    A building block of `H2Streams`, offered on its own for tests and other engines. Sizes are
    octets; both fields are signed 32-bit and every operation that would leave that range raises
    `H2FlowControlError(3)` and changes nothing.
    """
    def __new__(cls) -> Self: ...
    def window_size(self) -> int:
        """The window as the peer knows it, 0 when negative."""
    def available(self) -> int:
        """The capacity as this side accounts it (may be negative)."""
    def has_unavailable(self) -> bool:
        """The window is not negative and more than is available."""
    def unclaimed_capacity(self) -> int | None:
        """The WINDOW_UPDATE increment due (available minus window, once it reaches half the window), else None."""
    def claim_capacity(self, /, capacity: int) -> None:
        """available -= capacity. Raises H2FlowControlError(3) on underflow, leaving the fields unchanged."""
    def assign_capacity(self, /, capacity: int) -> None:
        """available += capacity. Raises H2FlowControlError(3) on overflow, leaving the fields unchanged."""
    def inc_window(self, /, sz: int) -> None:
        """window += sz (a WINDOW_UPDATE). Raises H2FlowControlError(3) past 2**31 - 1, leaving the fields unchanged."""
    def dec_send_window(self, /, sz: int) -> None:
        """window -= sz (the peer lowered its initial window). Raises H2FlowControlError(3) on underflow."""
    def dec_recv_window(self, /, sz: int) -> None:
        """window -= sz and available -= sz (our lowered window was acknowledged). Raises H2FlowControlError(3) on underflow, leaving the fields unchanged."""
    def send_data(self, /, sz: int) -> None:
        """sz octets of DATA crossed: window and available -= sz. Raises H2FlowControlError(3) when sz exceeds the window."""

@final
class H2ContentLength:
    """The declared content-length of one received message, counted down by each DATA payload.

    A building block of `H2Streams`, offered on its own for tests and other engines.
    """
    def __new__(cls, is_head: bool = False) -> Self: ...
    def set(self, /, value: int) -> None:
        """A declared content-length: value octets are now expected (a HEAD answer stays empty)."""
    def dec(self, /, len: int) -> bool:
        """Count a DATA payload. False (and nothing counted) when it exceeds what remains, or is not empty on a HEAD answer."""
    def is_satisfied(self) -> bool:
        """False only while a declared length still expects octets."""
    def is_head(self) -> bool:
        """The message answers a HEAD request."""

@final
class H2DataFrameBudget:
    """The connection-wide budget against peers that cut DATA into tiny or empty frames. The limit is `configured`, else half the connection window but at least 25600, else 32767.

    A building block of `H2Streams` (whose `data_frame_budget` argument and properties expose the
    connection's budget). `configured` and `connection_window` in octets; a non-final DATA frame
    shorter than 256 octets is charged 256 minus its length until released, a larger one gives its
    excess over 256 back, and empty frames are counted apart, at most 100.
    """
    def __new__(cls, configured: int | None = None, connection_window: int | None = None) -> Self: ...
    def record(self, /, payload_len: int) -> int:
        """Account one non-final DATA frame and return its charge, to give back with release() once its data is consumed. Raises H2ProtocolError(11, "too_many_data_frames") when the budget or the empty-frame allowance is exhausted."""
    def release(self, /, charge: int) -> None:
        """Give a charge back (never above the limit)."""
    @property
    def available(self) -> int:
        """The budget currently available."""
    @property
    def empty_frames(self) -> int:
        """Empty non-final DATA frames received so far."""

@final
class H2Stopped:
    """Why a stream stopped: reason (int or None) and conn (bool).

    Carried by `H2SendVerdict.stopped`, `H2SendVerdict.reader_stop`, `H2ResetVerdict.stop`,
    `H2Streams.recv_reset`, `H2Streams.recv_go_away` and `H2Streams.fail`. What the driver raises
    for it:

    - `conn` True and `reason` set: the peer's GOAWAY refused the stream before processing it; the
      request may be retried on another connection.
    - `conn` True, `reason` None: the connection failed; raise from `H2Streams.conn_error()`.
    - `conn` False, `reason` set: the stream was reset; raise `H2StreamError(stream_id, reason,
      "remote")` (or as the reset's initiator says).
    - neither (a bare stop): the stream is gone or was stopped locally; raise from `conn_error()`
      when the connection failed, else treat it as cancelled.

    Read-only; made only by `H2Streams`.
    """
    @property
    def reason(self) -> int | None:
        """The RST_STREAM or GOAWAY error code (0 to 2**32 - 1; compare with `H2Reason`), or None."""
    @property
    def conn(self) -> bool:
        """True when the stop comes from the connection (a GOAWAY or a failure) rather than from
        this stream.
        """

@final
class H2RecvHeadersVerdict:
    """The outcome of H2Streams.recv_headers.

    Act on `kind` (one of the `H2_HEADERS_*` values), then apply `flags`. Read-only; made only by
    `H2Streams`.
    """
    @property
    def kind(self) -> int:
        """What the block was: `H2_HEADERS_IGNORED`, `H2_HEADERS_OPENED`, `H2_HEADERS_HEAD` or
        `H2_HEADERS_TRAILERS` (see each constant for what the driver does next).
        """
    @property
    def handle(self) -> object | None:
        """The stream's handle: the `spare` for `H2_HEADERS_OPENED`, the `open_stream` handle of a
        client stream; None for `H2_HEADERS_IGNORED`.
        """
    @property
    def stream_id(self) -> int:
        """The id of the frame's stream."""
    @property
    def eof(self) -> bool:
        """The block carried END_STREAM: the peer ended its side, no body (or no more body) follows;
        the reader ends after delivering what it has.
        """
    @property
    def flags(self) -> int:
        """`H2_FLAG_*` bits to apply: `H2_FLAG_WAKE` and whatever closing the stream reported (a
        freed slot, capacity, the end of the connection, the end of accepting).
        """

@final
class H2RecvDataVerdict:
    """The outcome of H2Streams.recv_data.

    Deliver `payload` to `handle` when both are not None, end the body when `eof`, then apply
    `flags`. Read-only; made only by `H2Streams`.
    """
    @property
    def handle(self) -> object | None:
        """The stream's handle, or None when there is nothing to deliver (a swallowed frame, an
        empty frame without END_STREAM).
        """
    @property
    def payload(self) -> bytes | None:
        """The data to append to the stream's body (possibly b"" with `eof`), or None: nothing to
        deliver.
        """
    @property
    def budgeted(self) -> bool:
        """The chunk holds part of the DATA-frame budget: call `H2Streams.release_data_frame(sid,
        len(payload))` once the application consumed it (besides `release_capacity`). False for the
        chunk that ends the stream.
        """
    @property
    def eof(self) -> bool:
        """The frame carried END_STREAM: the peer ended its side, and the body is complete after
        this payload.
        """
    @property
    def flags(self) -> int:
        """`H2_FLAG_*` bits to apply: `H2_FLAG_WAKE` (a WINDOW_UPDATE for the frame's padding) and
        what closing the stream reported.
        """

@final
class H2SendVerdict:
    """The outcome of a send step of H2Streams.

    Read-only; made only by `H2Streams`. See `H2Streams.send_data` for the writer's loop.
    """
    @property
    def sent(self) -> int:
        """Octets of `data[offset:]` framed and queued; add it to `offset`. 0 with `done` False:
        wait for the stream's wake (window, buffer room or turn), then call again.
        """
    @property
    def done(self) -> bool:
        """Everything asked for is queued: the last octet, and END_STREAM when requested (our side
        of the stream is then closed).
        """
    @property
    def stopped(self) -> H2Stopped | None:
        """Not None: the stream can no longer send, and nothing was queued; see `H2Stopped` for what
        to raise.
        """
    @property
    def flags(self) -> int:
        """`H2_FLAG_*` bits to apply on every verdict: `H2_FLAG_WAKE` when a frame was queued,
        `H2_FLAG_CAPACITY` when another stream's turn came (call `next_capacity_wake()` once), and
        what closing the stream reported.
        """
    @property
    def handle(self) -> object | None:
        """Server: set when our response ended while the request body was still arriving and the
        stream was therefore reset (NO_ERROR): the stream's handle, whose body reader must stop with
        `reader_stop`. None otherwise.
        """
    @property
    def reader_stop(self) -> H2Stopped | None:
        """Server: the stop the body reader of `handle` must see, or None."""
    @property
    def refused(self) -> bool:
        """Only `send_response_head` sets it: an informational (1xx) head came after the final head
        was queued, and nothing was queued; drop it and go on.
        """

@final
class H2ResetVerdict:
    """The outcome of a reset step of H2Streams.

    Wake `handle` (when not None) with `stop`, then apply `flags`. Read-only; made only by
    `H2Streams`.
    """
    @property
    def handle(self) -> object | None:
        """The reset stream's handle; None when there was no such stream (nothing to wake)."""
    @property
    def stop(self) -> H2Stopped | None:
        """What the stream's readers and writer must see (an `H2Stopped`), or None for a clean end
        (our own CANCEL from "user", or a body the peer had already ended).
        """
    @property
    def flags(self) -> int:
        """`H2_FLAG_*` bits to apply: `H2_FLAG_WAKE` for the queued RST_STREAM, and what closing the
        stream reported.
        """

@final
class H2WriteBatch:
    """One write batch: the pending bytes taken by H2Streams.take_pending, exported read-only through the buffer protocol.

    Not a module attribute: the object behind the memoryview `H2Streams.take_pending` returns
    (`view.obj`). No copy is made: the view exposes the buffer the frames were encoded into. When
    the last view and reference are released (from any thread), the emptied buffer goes back to its
    connection to hold the next frames, so steady writing allocates nothing. `len()` is the number
    of octets.
    """
    def __len__(self) -> int: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...

@disjoint_base
class H2Streams:
    """Connection and stream state of one HTTP/2 connection.

    Threads: receive() decodes under the decoder lock alone and belongs to one thread (the read pump, which then runs each event's recv_* step); take_pending and credit_written belong to the write pump. Every other method is one step under the state lock and may run on any thread at once with the pumps and with each other. begin() comes before every step that queues a frame: start the threads that use the connection after it. The state never calls an object it holds (stream handles, task or thread handles, the stored error): handles come back in verdicts and lists, and waking them is the driver's, after the step returned, so a driver may hold its own locks across any call.

    Construction: `H2Streams(role, *, initial_window_size, connection_window, max_frame_size,
    max_header_list_size, max_send_buf_size, max_concurrent_streams=None,
    max_pending_accept_reset_streams=20, max_local_error_reset_streams=1024, data_frame_budget=None,
    auto_date_header=True, enable_push=None, enable_connect_protocol=False)`. Sizes are in octets.

    - `role`: "client" or "server"; anything else raises `ValueError("role must be 'client' or
      'server', got "..."")`.
    - `initial_window_size`: our SETTINGS_INITIAL_WINDOW_SIZE, the receive window of each stream, 0
      to 2147483647. Until the peer acknowledges our SETTINGS a new stream still gets 65535 if the
      value is smaller, as the peer may use the default until then.
    - `connection_window`: the connection receive window we advertise, up to 2147483647. HTTP/2
      starts the connection window at 65535 on both sides and offers no way to lower it (SETTINGS
      never apply to it; WINDOW_UPDATE only raises), so a value below 65535 acts as 65535. A larger
      value is advertised by `begin` with WINDOW_UPDATE(0) when the increase is at least half of
      65535 (32767); a smaller increase is kept and advertised later, when released capacity crosses
      that threshold.
    - Above 2147483647, either window raises `ValueError("window sizes must be <= 2147483647 (RFC
      9113 6.9.1)")`.
    - `max_frame_size`: our SETTINGS_MAX_FRAME_SIZE, the largest frame payload accepted once the
      peer acknowledged it, 16384 to 16777215; outside raises `ValueError("max_frame_size must be in
      [16384, 16777215], got N")`.
    - `max_header_list_size`: our SETTINGS_MAX_HEADER_LIST_SIZE, the limit on a decoded header block
      once acknowledged. A block over it comes with `H2FrameHeaders.over_size` set (the fields past
      the limit dropped): answer 431 (server) or fail the request (client).
    - `max_send_buf_size`: per stream, the most octets of that stream's DATA framed into the
      pending-send buffer and not yet credited back by `credit_written`. A stream that reaches it
      gets `sent` 0 from `send_data` until the write pump has written and credited its frames; other
      streams are not affected. It bounds the memory one fast sender can queue ahead of a slow
      transport.
    - `max_concurrent_streams`: server: our SETTINGS_MAX_CONCURRENT_STREAMS, and the cap on active
      peer-opened streams (a request beyond it is refused with `H2StreamError(id, 7, "library")`);
      None: unlimited and not advertised. The client ignores it: its own limit is the peer's value
      (`stream_limit`).
    - `max_pending_accept_reset_streams`: server: how many requests the peer may reset before the
      application took them (`accepted`); one more fails the connection with `H2ProtocolError(11,
      "too_many_resets")`.
    - `max_local_error_reset_streams`: how many streams may be reset for the peer's stream-level
      errors (`reset_on_error`) over the connection's life; one more raises `H2ProtocolError(11,
      "too many stream resets")`. None: no cap.
    - `data_frame_budget`: the DATA-frame budget in octets (see `H2DataFrameBudget`); None: the
      larger of `connection_window // 2` and 25600.
    - `auto_date_header`: server responses get a `date` header (`http_date()`) unless they carry
      one.
    - `enable_push`: the SETTINGS_ENABLE_PUSH value we send; None sends none. Push is never used.
    - `enable_connect_protocol`: server: send SETTINGS_ENABLE_CONNECT_PROTOCOL = 1 and accept
      extended CONNECT requests (RFC 8441: CONNECT with `:protocol`, `:scheme`, `:path` and
      `:authority`, the way a WebSocket is opened over HTTP/2). False (the default): nothing is
      sent and such a request is malformed (`H2FrameStreamError(stream_id, 1)`). The client ignores
      it: whether it may open one is the peer's setting (`peer_enable_connect_protocol`).

    Wrong argument types raise `TypeError` or `OverflowError` naming the argument.

    Call order, both roles:

    1. Build the object, call `begin()`, then start a read pump and a write pump and record them
       with `store_task_handles`.
    2. Read pump: pass each read to `receive` (a server that sniffed the first bytes passes them to
       `prime` first) and each frame event, in order, to its step: `H2FrameHeaders` to
       `recv_headers`, `H2FrameData` to `recv_data`, `H2FrameWindowUpdate` to `recv_window_update`,
       `H2FrameSettings` to `recv_settings`, `H2FramePing` to `recv_ping`, `H2FrameRstStream` to
       `recv_reset`, `H2FrameGoAway` to `recv_go_away`, `H2FrameStreamError` to
       `reset_on_error(stream_id, error_code)`; `H2FramePriority` needs nothing. An `H2StreamError`
       a step raises is answered with `reset_on_error(stream_id, reason)` (its first two args) and
       the loop goes on. After the events of one read, call `maybe_goaway_reply()`. Apply every
       step's flags (`H2_FLAG_*`). `H2ProtocolError` and `H2FlowControlError` end the connection:
       `send_goaway(reason)`, `fail(exc)`, wake what `fail` returns, close.
    3. Write pump: `take_pending()`, write the view, release it, `credit_written()` and wake the
       handles it returns; repeat while `has_pending()`; otherwise exit if `stopping` was True, else
       sleep until a step reports `H2_FLAG_WAKE`.
    4. Streams: a client claims a slot (`try_claim_slot`) and calls `open_stream`; a server answers
       with `send_response_head`. Bodies go out with `send_data`, ending with END_STREAM or
       `send_trailers`; received data is returned with `release_capacity` (and `release_data_frame`
       for budgeted chunks) as the application consumes it; a reader that stops early calls
       `aclose_body`; a caller that abandons a stream calls `reset_stream`.
       An extended CONNECT stream (`open_stream(..., protocol=...)`, or an `H2FrameHeaders` whose
       `protocol` is set) becomes a tunnel once the server's head is a 2xx: DATA both ways under
       flow control with `send_data` and `recv_data`, no content-length rules, no trailers (a
       HEADERS frame after the head is `H2StreamError(sid, 1, "library")`), and each side ends
       only its own half with END_STREAM: a server's END_STREAM does not reset the client's half
       as it does for an unread request body. `reset_stream` ends both at once. Any other status
       answers the request as an ordinary response.
    5. Close: `release_writers()` (wait for the last `writer_end` if it answered False),
       `stop_pump()`, wake the pump, then join the tasks from `take_pump_handle()` and
       `take_read_handle()`.

    Which calls may run at the same time: any method may run on any thread while any other runs,
    with these owners: `receive`, `prime` and the `recv_*` steps belong to the read pump (one
    thread, in the order of the events); `take_pending` and `credit_written` belong to the write
    pump (one thread, alternating); `send_data` and `send_trailers` of one stream belong to that
    stream's one writer. `receive` takes only the decoder lock, so decoding never waits for a
    sender, a reset or the write pump. Everything the state decides is decided inside one step, so a
    peer reset racing a response (`send_response_head` answers with `stopped`), a failure racing a
    writer (`writer_start` answers False), or a window update racing a sender (the sender's handle
    is in the update's result) needs no lock of the driver's. What the driver orders itself: `begin`
    before the rest; `credit_written` only after the batch it covers is on the wire (or the
    connection is dead); and waiting for a wake: clear or note the stream's event before
    `send_data`, wait only if the verdict asks for it.

    The state stores the driver's objects (stream handles, the spare, task handles, the stored
    error) and never calls them, not even from the garbage collector, which only visits and clears
    them. The `H2WriteBatch` behind a view takes the state lock when its last view is released, from
    whatever thread that happens on; no step holds a batch, so that cannot deadlock.
    """
    def __new__(
        cls,
        role: Literal["client", "server"],
        *,
        initial_window_size: int,
        connection_window: int,
        max_frame_size: int,
        max_header_list_size: int,
        max_send_buf_size: int,
        max_concurrent_streams: int | None = None,
        max_pending_accept_reset_streams: int = 20,
        max_local_error_reset_streams: int | None = 1024,
        data_frame_budget: int | None = None,
        auto_date_header: bool = True,
        enable_push: bool | None = None,
        enable_connect_protocol: bool = False,
    ) -> Self: ...
    def __init__(
        self,
        role: Literal["client", "server"],
        *,
        initial_window_size: int,
        connection_window: int,
        max_frame_size: int,
        max_header_list_size: int,
        max_send_buf_size: int,
        max_concurrent_streams: int | None = None,
        max_pending_accept_reset_streams: int = 20,
        max_local_error_reset_streams: int | None = 1024,
        data_frame_budget: int | None = None,
        auto_date_header: bool = True,
        enable_push: bool | None = None,
        enable_connect_protocol: bool = False,
    ) -> None: ...
    def begin(self) -> None:
        """Queue the client preface (client), our SETTINGS and the connection WINDOW_UPDATE. Comes first, once: every step that can queue a frame raises H2UserError('send_before_preface', ...) before it, changing nothing.

        Client: the 24-octet `H2_PREFACE`, then our SETTINGS (`initial_window_size`,
        `max_frame_size`, `max_header_list_size`, `enable_push` when not None, and for the server
        `max_concurrent_streams` when not None and SETTINGS_ENABLE_CONNECT_PROTOCOL = 1 with
        `enable_connect_protocol`), then WINDOW_UPDATE(0) when `connection_window`
        exceeds 65535 by 32767 or more. The caller writes them (`take_pending`) before it starts
        reading.

        The steps that can queue a frame (`open_stream`, `send_data`, `send_trailers`,
        `send_response_head`, the `recv_*` steps except `recv_window_update`, `release_capacity`,
        `reset_stream`, `reset_on_error`, `aclose_body`, `send_goaway`, `begin_graceful_shutdown`)
        raise `H2UserError("send_before_preface", ...)` while `begin` has not run; `open_stream`
        gives its claimed slot back. A second call raises `H2UserError("begin_twice", ...)` and
        changes nothing.
        """
    def receive(self, data: bytes) -> list[_H2Frame]:
        """Decode received bytes under the decoder lock alone; returns the list of frame events.

        Returns the events of every complete frame in the buffer (possibly none), in wire order;
        incomplete bytes stay buffered for the next call. The server role consumes the client
        preface first. A connection-level decoding error raises `H2ProtocolError(reason, message)`
        with the code RFC 9113 fixes: 6 (FRAME_SIZE_ERROR) for a frame longer than our max frame size
        or whose length is wrong for its type (PING not 8, WINDOW_UPDATE or RST_STREAM not 4, GOAWAY
        under 8, SETTINGS not a multiple of 6, a SETTINGS ACK with a payload); 3 (FLOW_CONTROL_ERROR)
        for SETTINGS_INITIAL_WINDOW_SIZE above 2**31 - 1; 9 (COMPRESSION_ERROR) for a header block
        that cannot be decoded (an index out of range, a bad Huffman string, a table size update
        above the limit or after a field, a truncated representation) or that keeps growing past
        the list limit; 11 (ENHANCE_YOUR_CALM) for a CONTINUATION flood or a header list over the
        abuse limit; 1 (PROTOCOL_ERROR) for the rest, a block that decodes into an invalid field
        included. Events decoded before the error in the same call are lost with it: fail
        the connection. A malformed header block on one stream (a connection-specific field, `te`
        other than "trailers", a value starting or ending with SP or HTAB, pseudo-header fields
        missing, repeated or wrong for the role) comes back as an `H2FrameStreamError` event
        instead, to be answered with `reset_on_error`; a field the decoder cannot take (a name with
        uppercase letters or characters outside the token set, a value with NUL, CR or LF, a
        pseudo-header field after a regular one or not defined by HTTP/2) ends the connection.
        Read pump only: it may run while any
        state step runs on another thread, but not concurrently with `prime` or another `receive`.
        """
    def prime(self, data: bytes) -> bool | None:
        """Feed bytes a reader already took off the transport: True, False (preface mismatch) or None (preface incomplete).

        Server, before the preface was matched: the bytes go to the preface matcher. True: the
        24-octet preface is complete and the octets after it stay buffered (call `receive(b"")` to
        decode them); None: everything so far matches, more is needed; False: not HTTP/2 with prior
        knowledge, the bytes are for another protocol. Client, or after the preface matched: the
        bytes are only buffered, and the result is True. Takes the decoder lock alone, like
        `receive`; it touches nothing `begin` does, so it may come before or after `begin`, but
        before the read pump's first `receive`, so that these bytes are decoded first.
        """
    def try_claim_slot(self) -> bool:
        """Claim a concurrency slot unless the stream limit is reached.

        True: `num_open_streams` grew by one and the caller holds a slot, which `open_stream` turns
        into a stream (or gives back). False: `stream_limit` streams are open; wait for
        `H2_FLAG_SLOT_FREED` and try again, or give up when `is_closed()` is true. The test and the
        increment are one step, so two callers cannot both take the last slot.
        """
    def can_open(self) -> bool:
        """Whether a slot could be claimed now.

        The test of `try_claim_slot` without claiming: False when `stream_limit` is set and reached.
        The answer may be stale by the time the caller acts on it; claim with `try_claim_slot`.
        """
    def release_slot_count(self) -> None:
        """Give back a claimed slot that did not become a stream.

        Undoes a `try_claim_slot` whose stream will not be opened (the caller gave up before
        `open_stream`). Never below 0. Not needed after `open_stream`: every outcome of it, success
        or not, settles the slot.
        """
    def apply_stream_limit(self, limit: int | None) -> None:
        """Set the limit on our open streams (None: unlimited).

        `limit` is an int of 0 or more, or None for no limit. The peer's
        SETTINGS_MAX_CONCURRENT_STREAMS sets it automatically on the client (`recv_settings`). A
        limit below the open count refuses further claims until enough streams close; nothing is
        closed.
        """
    def open_stream(
        self,
        method: str,
        target: str,
        headers: HeaderMap | None,
        end_stream: bool,
        is_head: bool,
        handle: object,
        *,
        scheme: str | None = None,
        authority: str | None = None,
        protocol: str | None = None,
    ) -> int | None:
        """Open a client stream and queue its HEADERS; returns its id, or None when the connection is failed or received GOAWAY. A header value starting or ending with SP or HTAB raises H2UserError('malformed_headers', ...) and releases the claimed slot.

        Client. Call it only holding a slot from `try_claim_slot`: the new stream takes that slot
        over and gives it back when it closes. Every outcome other than a new id gives the slot back
        itself; do not call `release_slot_count` after it.

        - `method`, `target` (an origin-form path such as "/x?y", an absolute URI, or an authority
          for CONNECT), `scheme` and `authority` build the pseudo-headers as
          `H2Codec.serialize_request_headers` does; `headers` is a `HeaderMap` or None; `end_stream`
          True sends no body; `is_head` True for a HEAD request (the response's content-length then
          announces no body); `handle` is the driver's object for the stream, returned in every
          verdict about it.
        - `protocol` (for example "websocket"): an extended CONNECT (RFC 8441). `method` must be
          "CONNECT" and the target is built as for any other method, so `:scheme`, `:authority`,
          `:path` and `:protocol` are sent; pass `end_stream` False. Allowed only once the server's
          SETTINGS enabled it (`peer_enable_connect_protocol`); before that, or if the server never
          does, it raises `H2UserError("connect_protocol_disabled", ...)` and gives the slot back.
          The stream is a tunnel once the response head is a 2xx (see the class notes).
        - Returns the new stream id (odd, increasing; HEADERS queued: apply `H2_FLAG_WAKE`, that is
          wake the write pump).
        - None: the connection failed or the peer sent GOAWAY, so no stream opens here. Do not retry
          on this connection: if `goaway_info()` is not None and `is_failed()` is false the request
          was never sent and may be retried on a new connection; otherwise raise from
          `conn_error()`.
        - Raises `H2ProtocolError(7, "stream ID space exhausted (OverflowedStreamId)")` when the ids
          are used up (open a new connection); `H2UserError("malformed_headers", ...)` for a header
          value starting or ending with SP or HTAB; `ValueError` for a head that cannot be built
          ("invalid method: ...", "invalid url: ...", or an origin-form target without both `scheme`
          and `authority`, "invalid protocol: not a token", "a request with a protocol must use the
          CONNECT method"); `TypeError` for wrong argument types.

        Ids go on the wire in increasing order because the id is taken and the HEADERS queued in one
        step.
        """
    def accepted(self, sid: int) -> None:
        """The application pulled the queued request sid.

        Server. Call it when the application takes a request the read pump queued
        (`H2_HEADERS_OPENED`): from then on the peer resetting it no longer counts against
        `max_pending_accept_reset_streams`. An unknown id is ignored.
        """
    def has_stream(self, sid: int) -> bool:
        """A stream record exists.

        A record is kept until the stream is closed and its delivered data was released, so this can
        be True for a closed stream.
        """
    def is_recv_end_stream(self, sid: int) -> bool:
        """The peer ended its side of the stream."""
    def stream_state(self, sid: int) -> str | None:
        """Debug rendering of the stream's state, or None.

        For tests and logs: for example "Idle", "Open { local: Streaming, remote: AwaitingHeaders
        }", "HalfClosedLocal(AwaitingHeaders)", "Closed(EndStream)". None without a record. The
        format is not stable.
        """
    def stream_recv_unreleased(self, sid: int) -> int | None:
        """Delivered octets not yet released, or None.

        Octets of received DATA (padding included) delivered and not yet given back with
        `release_capacity`. None without a record.
        """
    def stream_recv_reclaimed(self, sid: int) -> bool | None:
        """Whether the stream's capacity was reclaimed, or None.

        True once the stream's unreleased receive capacity went back to the connection (the stream
        closed, was reset or its body closed early); later `release_capacity` calls for it do
        nothing. None without a record.
        """
    def stream_data_budget_charged(self, sid: int) -> int | None:
        """DATA-frame budget charge not yet returned, or None.

        The DATA-frame budget the stream's small chunks still hold, returned by
        `release_data_frame`. None without a record.
        """
    def stream_send_buffered(self, sid: int) -> int | None:
        """Octets framed and not yet credited as written, or None.

        Octets of the stream's DATA framed into the pending-send buffer and not yet credited by
        `credit_written`; `send_data` frames nothing more while it equals `max_send_buf_size`. None
        without a record.
        """
    def stream_send_window(self, sid: int) -> int | None:
        """The stream's send window floored at 0, or None.

        In octets; None without a record.
        """
    def in_reset_store(self, sid: int) -> bool:
        """The reset store holds an entry for sid.

        The reset store remembers streams reset recently (for about one second, at most 50 ids) so
        that frames the peer sent before it saw the reset are ignored instead of failing the
        connection.
        """
    def set_next_stream_id(self, sid: int) -> None:
        """Test hook: the next client stream id.

        For tests only (to reach the end of the id space); no driver calls it.
        """
    def set_max_stream_id(self, sid: int) -> None:
        """Test hook: the phase-2 last-stream-id as if graceful lowered it.

        For tests only; no driver calls it.
        """
    def set_last_processed_id(self, sid: int) -> None:
        """Test hook: the last processed stream id.

        For tests only; no driver calls it.
        """
    def recv_headers(self, frame: H2FrameHeaders, spare: object | None = None) -> H2RecvHeadersVerdict:
        """Apply a received HEADERS frame. A head without pseudo-headers (a request, or a response without :status) and trailers carrying one raise H2StreamError(stream_id, 1, 'library').

        Returns an `H2RecvHeadersVerdict`; its `kind` says what to do (`H2_HEADERS_IGNORED`,
        `H2_HEADERS_OPENED`, `H2_HEADERS_HEAD`, `H2_HEADERS_TRAILERS`), then apply its `flags`.

        `spare`: the server passes, with every HEADERS event, a fresh stream handle it built
        beforehand. The state creates no Python object under its lock, so the handle a peer-opened
        stream will get must exist before the step; when the frame opens a stream, the spare becomes
        that stream's handle (verdict `kind` `H2_HEADERS_OPENED`, `handle` is the spare) and the
        driver builds a new one for the next call; otherwise the driver keeps it for the next
        HEADERS. When the step raises, the spare may already belong to the refused stream: build a
        new one. The client passes None. A server passing None when the frame would open a stream
        gets `ValueError("recv_headers: the server role needs a spare stream handle")`, with the
        stream id already counted as used.

        Raises `H2StreamError(stream_id, reason, "library")` for a stream-level violation (reason 1:
        trailers without END_STREAM or with pseudo-headers, a head without pseudo-headers, a 1xx
        head with END_STREAM, a content-length that is invalid or does not match, a HEADERS frame
        after the head of an extended CONNECT tunnel; 5: on the client,
        HEADERS on a stream that already ended; 7: the server is at `max_concurrent_streams`),
        everything else of the step being done: answer it with `reset_on_error`. Raises
        `H2ProtocolError(1, ...)` for a connection-level one ("invalid new stream id N" when a
        client reuses or lowers ids, "frame on idle stream N"): fail the connection.
        """
    def recv_data(self, frame: H2FrameData) -> H2RecvDataVerdict:
        """Apply a received DATA frame.

        Returns an `H2RecvDataVerdict`. When `payload` is not None deliver it to `handle`'s reader;
        the reader later calls `release_capacity(sid, len(payload))` and, when `budgeted`,
        `release_data_frame(sid, len(payload))` as it consumes it. `eof`: the peer ended the body.
        The frame's padding is released at once. Frames for streams we reset are swallowed (their
        octets still count against the connection window, and go back at once).

        Raises `H2FlowControlError(3)` when the frame exceeds the connection receive window (fail
        the connection), `H2StreamError(sid, 3, "library")` when it exceeds the stream's,
        `H2StreamError(sid, 1, "library")` when the body exceeds or falls short of its
        content-length (or a HEAD response carries one), `H2StreamError(sid, 5, "library")` for DATA
        on a closed stream, `H2ProtocolError(1, "unexpected DATA on stream N")` for DATA before the
        head, `H2ProtocolError(11, "too_many_data_frames")` when the DATA-frame budget runs out or
        the 101st empty frame arrives, and the "frame on idle stream" `H2ProtocolError` for an id
        never opened.
        """
    def recv_window_update(self, frame: H2FrameWindowUpdate) -> list[object]:
        """Apply a WINDOW_UPDATE; returns the handles whose senders must be woken.

        For stream 0: the connection window grows, and the list holds at most one handle, the sender
        whose turn it now is (nobody may be waiting). For a stream: the list holds that stream's
        handle. Wake each (the handle's window event); a woken sender calls `send_data` again. An
        empty list for a stream that is gone. A window pushed past 2**31 - 1 raises
        `H2FlowControlError(3)` on stream 0 (fail the connection) and `H2StreamError(sid, 3,
        "library")` on a stream; a WINDOW_UPDATE for an id never opened raises the "frame on idle
        stream" `H2ProtocolError`. It queues nothing and returns no flags.
        """
    def recv_settings(self, frame: H2FrameSettings) -> tuple[bool, list[object], int]:
        """Apply a SETTINGS frame or its ACK; returns (initial, wake_windows, flags).

        A peer SETTINGS: the ACK is queued (`flags` has `H2_FLAG_WAKE`), then header table size, max
        frame size, max concurrent streams (client: it becomes `stream_limit`, and `flags` gains
        `H2_FLAG_SLOT_FREED`), SETTINGS_ENABLE_CONNECT_PROTOCOL (`peer_enable_connect_protocol`)
        and initial window size are applied. A SETTINGS_ENABLE_CONNECT_PROTOCOL of 0 after the peer
        sent 1 raises `H2ProtocolError(1, "SETTINGS_ENABLE_CONNECT_PROTOCOL may not change from 1 to
        0")` with nothing queued or applied: fail the connection. A larger initial window raises
        the send window of every stream that can still send; their handles are in `wake_windows`:
        wake them. `initial` is True for the first peer SETTINGS only: a client is ready to open
        streams from then on. A smaller window can leave stream windows negative; nobody is woken.

        Our SETTINGS acknowledged (an ACK frame): our `initial_window_size`, `max_frame_size` and
        `max_header_list_size` take effect; the result is (False, [], 0). An ACK we did not ask for
        raises `H2ProtocolError(1, "received unexpected settings ack")`; a window change that
        overflows a stream window raises `H2FlowControlError(3)`: fail the connection.
        """
    def recv_ping(self, frame: H2FramePing) -> int:
        """Answer a PING; returns flags.

        A PING is answered with its ACK: `H2_FLAG_WAKE`. The ACK of our graceful-shutdown PING
        (server) completes the shutdown: no stream above `last_processed_id` is accepted any more,
        GOAWAY(last_processed_id) is queued, and `H2_FLAG_STOP_ACCEPTING` is added when no stream is
        active. Any other ACK: 0.
        """
    def recv_go_away(self, frame: H2FrameGoAway) -> tuple[list[tuple[object, H2Stopped]], int]:
        """Apply a GOAWAY; returns (aborted, flags).

        The GOAWAY is recorded (`goaway_info()`); from now on `open_stream` returns None and
        `is_closed()` is True. Client: every stream above the GOAWAY's last stream id was not
        processed by the peer and is aborted: `aborted` holds a `(handle,
        H2Stopped(reason=error_code, conn=True))` pair for each; wake each with its stop (the
        request may be retried on another connection), and apply `flags`, which always include
        `H2_FLAG_SLOT_FREED` so slot waiters see the connection closed. Streams at or below it run
        to their end; once none is left, `maybe_goaway_reply` answers the GOAWAY and reports
        `H2_FLAG_CONN_DONE`. Server: nothing is aborted, flags 0. A GOAWAY raising the last stream
        id of an earlier one raises `H2ProtocolError(1, "GOAWAY may not raise last_stream_id")`.
        """
    def recv_reset(self, frame: H2FrameRstStream) -> tuple[object, H2Stopped | None, bool, int] | None:
        """Apply an RST_STREAM; returns (handle, stop, notify_body, flags) or None.

        None: nothing to do (a stream already closed or forgotten). Otherwise `(handle, stop,
        notify_body, flags)`: publish `stop` (an `H2Stopped` with the peer's reason) on the handle
        and wake its sender; when `notify_body` is True the peer had not ended its body, so also
        wake the reader waiting for a head or data and end its body with `stop`. Apply `flags` (a
        freed slot, the GOAWAY reply). A handler still computing its response learns of the reset
        from the `stopped` of its next send step.

        Raises `H2ProtocolError(1, "RST_STREAM on stream 0")`, the "frame on idle stream"
        `H2ProtocolError`, and (server) `H2ProtocolError(11, "too_many_resets")` once the peer reset
        more than `max_pending_accept_reset_streams` requests the application had not taken: the
        rapid-reset defence; fail the connection.
        """
    def release_capacity(self, sid: int, n: int) -> int:
        """Give back n consumed octets of receive capacity.

        Called by a stream's reader as the application consumes received data, with the number of
        payload octets consumed (`n` 0 to 2**32 - 1; more than was delivered counts as what was
        delivered). The stream's and the connection's receive windows are re-opened; a WINDOW_UPDATE
        is queued once half a window has been released (`H2_FLAG_WAKE` in the result), for the
        stream only while the peer may still send on it. 0 for a stream that is gone or whose
        capacity was reclaimed. May run on the reader's thread while the read pump delivers more.
        """
    def release_data_frame(self, sid: int, payload_len: int) -> None:
        """Return a consumed chunk's charge to the DATA-frame budget.

        Called for each chunk whose verdict had `budgeted` True, once the application consumed it,
        with the chunk's length. Small chunks hold part of the DATA-frame budget until then; a
        reader that keeps up never exhausts it. Nothing for a stream that is gone.
        """
    def send_data(self, sid: int, data: bytes, offset: int, end_stream: bool) -> H2SendVerdict:
        """Frame at most one DATA frame of data[offset:] under flow control. A verdict that sent nothing and is not done asks the writer to wait until its handle is woken (recv_window_update, recv_settings, credit_written or next_capacity_wake name it); on threads, note the handle's wake count before this call and sleep only while it is unchanged, so a wake that lands between the call and the wait is kept.

        At most one DATA frame of up to `peer_max_frame_size` octets is framed from `data[offset:]`
        (`offset` 0 to `len(data)`; beyond raises `ValueError`). The writer loops: add `sent` to
        `offset`; stop when `done`; when `sent` is 0 and not `done`, wait for the stream's wake,
        then call again with the same `offset`. What it waits for:

        - the stream window (the peer's WINDOW_UPDATE: `recv_window_update` names the handle);
        - its room in the pending-send buffer (`max_send_buf_size` per stream: `credit_written`
          names it);
        - connection window (`recv_window_update` on stream 0 or `next_capacity_wake` names it);
        - its turn: streams sending at once take turns of up to 4 frames each; the next in line is
          named by `next_capacity_wake` after a verdict with `H2_FLAG_CAPACITY`.

        Apply the verdict's `flags` every time (`H2_FLAG_WAKE` when a frame was queued). `stopped`
        not None: the stream can no longer send (reset, GOAWAY, connection failure, or gone); raise
        accordingly (see `H2Stopped`) and stop. Server: `handle` and `reader_stop` not None: the
        response ended while the request body was still arriving, so the stream was reset with
        NO_ERROR; end that request's body reader with `reader_stop`. Empty `data` with `end_stream`
        queues an empty DATA frame with END_STREAM; without `end_stream` it queues nothing and is
        `done`.

        Raises `H2FlowControlError(3)` only if the windows became inconsistent,
        `H2UserError("send_before_preface", ...)` before `begin`, `TypeError` / `OverflowError` /
        `ValueError` for bad arguments.
        """
    def send_trailers(self, sid: int, trailers: HeaderMap) -> H2SendVerdict:
        """Queue trailers, ending the stream. A value starting or ending with SP or HTAB raises H2UserError('malformed_headers', ...).

        `trailers` must be a `HeaderMap` of regular fields (no pseudo-header). Ends our side like a
        final `send_data(..., end_stream=True)`; the verdict is `done` with `sent` 0, or `stopped`
        when the stream can no longer send, and carries the same `handle` / `reader_stop` for a
        server whose request body was unread. Call it after the last `send_data` without
        `end_stream`.
        """
    def send_response_head(self, sid: int, status: int, headers: HeaderMap | None, end_stream: bool) -> H2SendVerdict:
        """Queue a response head. A 1xx (not 101, not with end_stream) is an interim head that leaves the send side where it was; once the final head is queued it is refused (verdict.refused). A field set check_send_headers refuses raises H2UserError('malformed_headers', ...).

        Server. `status` 100 to 999 (outside raises `ValueError("invalid status: invalid status
        code")`; 101, and a 1xx with `end_stream`, raise
        `H2UserError("invalid_informational_status_code", ...)`), `headers` a `HeaderMap` or None
        (connection-specific fields raise `H2UserError("malformed_headers", ...)`), `end_stream`
        True for a response without body. A `date` header is added when `auto_date_header` is set.
        The verdict: `done` is `end_stream`; `stopped` not None: the peer reset the stream or the
        connection ended while the handler worked, nothing was queued (raise accordingly); `refused`
        True: a late 1xx after the final head, nothing queued, carry on. With `end_stream` and a
        request body still arriving, `handle` / `reader_stop` are set as in `send_data`. Apply
        `flags`. A second final head raises the state machine's `H2UserError`.
        """
    def next_capacity_wake(self) -> object | None:
        """The handle of the next sender to wake for capacity, or None.

        Call it once for each verdict whose flags carry `H2_FLAG_CAPACITY`, and wake the stream the
        handle belongs to (its window event), as for a window update. None: no stream waits for
        connection capacity; the next WINDOW_UPDATE on stream 0 names the one that will. It is not a
        loop: it names the one stream whose turn it is, and that stream's own `send_data` reports
        `H2_FLAG_CAPACITY` again when it hands its turn on. Any thread.
        """
    def take_pending(self) -> tuple[memoryview, bool]:
        """Move the pending bytes out as a read-only memoryview over a write batch; returns (view, stopping). If the view cannot be built the frames stay queued, first in line.

        Write pump only. The view is a read-only, zero-copy `memoryview` over an `H2WriteBatch`; it
        may be empty. Write all of it to the transport (keeping the view alive until the transport
        is done with it), release it, then call `credit_written`. Batches must be written in the
        order they were taken.

        `stopping` is True once `stop_pump()` was called (it never goes back to False): write this
        batch, call `credit_written`, and exit the pump loop when `has_pending()` is then False.
        Steps may still queue frames after `stop_pump`; they are written only while the pump runs,
        which is why `close` calls `release_writers` first.

        When the memoryview cannot be built (`MemoryError`), the frames stay queued, ahead of
        whatever is queued since, and are returned by the next call.
        """
    def credit_written(self) -> list[object]:
        """The batches taken are written; returns the handles of the streams to wake.

        Write pump only, after each batch from `take_pending` has been written (or the connection is
        known dead). Each stream whose DATA the batches carried gets its buffer room back and a new
        turn; its handle appears once in the list, in the order of first appearance: wake each (its
        window event), since its writer may be waiting for room.
        """
    def has_pending(self) -> bool:
        """Frames are waiting to be written.

        The write pump checks it after `credit_written`, to go round again before sleeping.
        """
    def writer_start(self) -> bool:
        """Register a body writer; False once failed or closing.

        Each body writer (a task sending a request or response body) calls it before its first
        `send_data`, and `writer_end` when it is done, whatever the outcome. False: the connection
        failed or is closing; send nothing and raise the stored error (`conn_error()`), else
        `ConnectionClosedError`. The test and the count are one step, so a writer cannot slip in
        after `release_writers`.
        """
    def writer_end(self) -> bool:
        """A body writer finished; True when it was the last after release_writers.

        True when this was the last writer and `release_writers` was called before: wake the closer
        waiting for the writers to finish.
        """
    def release_writers(self) -> bool:
        """No new writer may start; True when none is alive.

        First step of closing: no new writer may start. True: none is running, go on with
        `stop_pump`. False: wait (for a bounded time) until a `writer_end` answers True, so the
        frames of the running writers are still written.
        """
    def store_task_handles(self, read: object, pump: object) -> None:
        """Store the read and pump task handles.

        `read` and `pump` are the driver's handles of its read pump and write pump (tasks, threads,
        anything); stored and returned, never called. A second call replaces the first pair.
        """
    def take_read_handle(self) -> object | None:
        """The read task handle, once; then None.

        For `close()`: the read pump's handle to join, exactly once (None afterwards), so a second
        `close()` does not await it again.
        """
    def take_pump_handle(self) -> object | None:
        """The pump task handle, once; then None.

        For `close()`: the write pump's handle to join, exactly once (None afterwards).
        """
    def stop_pump(self) -> None:
        """The pump drains the buffer and exits.

        Sets the stopping flag that `take_pending` reports: the pump writes what is queued and
        exits. Wake the pump after calling it. Never undone.
        """
    def reset_stream(self, sid: int, reason: _Reason, initiator: Literal["user", "library", "remote"] = "user") -> H2ResetVerdict:
        """Reset a stream; returns an H2ResetVerdict.

        Queues RST_STREAM(sid, reason) for a live stream (`reason` an error code 0 to 2**32 - 1 or
        an `H2Reason`) and closes it; the id is remembered for about a second so late frames are
        ignored. `initiator`: "user" (the application cancels: CANCEL from "user" ends the readers
        cleanly), "library" (the driver refuses the stream) or "remote"; anything else raises
        `ValueError("initiator must be 'user' | 'library' | 'remote', got "..."")`. The
        `H2ResetVerdict`: wake `handle` (None: no such stream, nothing was queued) with `stop`,
        apply `flags`.
        """
    def reset_on_error(self, sid: int, reason: _Reason) -> H2ResetVerdict:
        """Reset a stream after the peer's stream-level violation; returns an H2ResetVerdict. On the server an id without a stream (a refused request head) counts as used from then on.

        The answer to an `H2StreamError` raised by a step or an `H2FrameStreamError` event: queues
        RST_STREAM(sid, reason) and closes the stream; wake the verdict's `handle` with its `stop`
        and apply its `flags`. Each call counts against `max_local_error_reset_streams` (except a
        STREAM_CLOSED answer for a stream we had already reset, which the peer's frames in flight
        provoke); beyond it, `H2ProtocolError(11, "too many stream resets")` is raised: fail the
        connection (the flood defence against peers that provoke resets). On the client, an id it
        never opened raises the "frame on idle stream" `H2ProtocolError` instead.
        """
    def aclose_body(self, sid: int) -> H2ResetVerdict:
        """The body reader closed early; returns an H2ResetVerdict.

        The reader of a stream stops before the body ended (the application lost interest):
        RST_STREAM(sid, CANCEL) is queued and the stream closed; the readers see a clean end (`stop`
        None). When the peer had already ended the body, nothing is sent. Either way the receive
        capacity the unread data held goes back to the connection. Wake `handle` if any and apply
        `flags`.
        """
    def fail(self, exc: BaseException | None = None, message: str = "connection closed") -> list[tuple[object, H2Stopped]]:
        """Record the connection's first error and abort every stream; returns (handle, stop) pairs.

        Any thread, any time; the first call wins. `exc`: the exception to store (pass a copy
        without traceback: the state keeps it for the connection's life), or None to store
        `message`. Every stream is closed; each live one yields `(handle, H2Stopped(reason=None,
        conn=True))`: wake each with its stop, then wake every waiter of the connection (as for
        `H2_FLAG_CONN_DONE`) and end the pumps. Afterwards `open_stream` returns None,
        `writer_start` False, and `conn_error()` the stored error. A later call only closes what is
        left; its `exc` is dropped.
        """
    def conn_error(self) -> BaseException | None:
        """The stored connection error, or None.

        The exception object `fail` stored (the same object each time), a new
        `ConnectionClosedError(message)` when `fail` stored a message or the GOAWAY exchange ended
        the connection, or None. Raise a new exception chained from it rather than the object
        itself.
        """
    def is_failed(self) -> bool:
        """An error is recorded.

        `fail` ran, or the GOAWAY exchange completed (`maybe_goaway_reply`).
        """
    def is_closed(self) -> bool:
        """The connection can serve no more requests.

        Failed, or a GOAWAY was received: no new stream opens here. Slot waiters check it to stop
        waiting; running streams may still complete.
        """
    def send_goaway(self, reason: _Reason) -> int:
        """Queue GOAWAY for a violation we detected; returns flags.

        GOAWAY(last, reason) with `last` = `last_processed_id` on the server, 0 on the client, and
        no debug data; `reason` an error code or `H2Reason`. Used before `fail` for a connection
        error we detected, and with 0 (NO_ERROR) by a client done with the connection. It never
        raises the last stream id of an earlier GOAWAY of ours. Returns `H2_FLAG_WAKE`: the pump
        must run for the peer to see it.
        """
    def begin_graceful_shutdown(self) -> int:
        """Phase 1 of graceful shutdown: GOAWAY and PING.

        Server. Queues GOAWAY(2147483647, NO_ERROR) and a PING; requests keep being served. When the
        peer acknowledges the PING it has seen the GOAWAY, so every request it will send has
        arrived: `recv_ping` then sends the final GOAWAY(last_processed_id) and reports
        `H2_FLAG_STOP_ACCEPTING` once no stream is active. Returns `H2_FLAG_WAKE`; 0 when already
        called. After an earlier GOAWAY of ours (`send_goaway`) the shutdown is final at once (the
        flags carry `H2_FLAG_STOP_ACCEPTING` when no stream is active).
        """
    def maybe_goaway_reply(self) -> int:
        """Answer the peer's GOAWAY once no stream is left; returns flags.

        The read pump calls it after each read's events. Once a GOAWAY was received (with a last
        stream id below 2147483647: a peer announcing its own graceful shutdown is answered at its
        final GOAWAY), the connection has not failed and no stream is active, our GOAWAY(NO_ERROR)
        is queued and the connection is over: returns `H2_FLAG_WAKE | H2_FLAG_CONN_DONE` (5), once;
        `conn_error()` then gives `ConnectionClosedError("connection closed: GOAWAY exchanged")`.
        Otherwise 0. The step closing the last stream runs the same check itself.
        """
    def goaway_info(self) -> tuple[int, int, bytes] | None:
        """(last_stream_id, error_code, debug_data) of the peer's GOAWAY, or None.

        From the latest GOAWAY the peer sent (`error_code` an int, `debug_data` bytes). A client
        uses it to tell a refused request (retry elsewhere) from a failure.
        """
    @property
    def graceful(self) -> bool:
        """Graceful shutdown has begun (begin_graceful_shutdown ran).

        Never goes back to False.
        """
    @property
    def is_server(self) -> bool:
        """This is the server side of the connection."""
    @property
    def num_streams(self) -> int:
        """Active streams: opened or accepted and not yet closed.

        Streams leave the count when both sides ended or the stream was reset; their records may
        stay a little longer, until their delivered data was released.
        """
    @property
    def stream_limit(self) -> int | None:
        """The limit on our own open streams (the peer's MAX_CONCURRENT_STREAMS), or None: unlimited.

        Client: set from the peer's SETTINGS_MAX_CONCURRENT_STREAMS by `recv_settings`, or by
        `apply_stream_limit`; `try_claim_slot` refuses once `num_open_streams` reaches it.
        """
    @property
    def max_stream_id(self) -> int:
        """The highest peer stream id still accepted (lowered by a graceful shutdown or a GOAWAY we sent).

        Server: HEADERS opening a stream above it are ignored. 2147483647 until a GOAWAY of ours or
        the final phase of a graceful shutdown lowers it.
        """
    @property
    def goaway_replied(self) -> bool:
        """We answered the peer's GOAWAY with our own once the connection went idle."""
    @property
    def shutdown_final(self) -> bool:
        """The graceful shutdown reached its final phase: no stream above last_processed_id is accepted.

        Never goes back to False.
        """
    @property
    def conn_send_window(self) -> int:
        """The connection send window in bytes, floored at 0: what the peer lets us send on the
        connection now; `send_data` waits while it is 0.
        """
    @property
    def num_open_streams(self) -> int:
        """Concurrency slots claimed (try_claim_slot) and not yet released.

        A slot is held from `try_claim_slot` until the stream that took it closes (or
        `release_slot_count`).
        """
    @property
    def last_processed_id(self) -> int:
        """The highest peer-opened stream id accepted (server)."""
    @property
    def local_error_resets(self) -> int:
        """Streams we reset because the peer broke the protocol on them.

        Compared with `max_local_error_reset_streams` by `reset_on_error`.
        """
    @property
    def conn_recv_available(self) -> int:
        """Bytes the peer may still send on the connection before we release capacity.

        Grows as the application releases capacity (`release_capacity`); a WINDOW_UPDATE(0)
        advertises it once it exceeds the advertised window by half.
        """
    @property
    def peer_max_frame_size(self) -> int:
        """The peer's SETTINGS_MAX_FRAME_SIZE: the largest frame payload we send, in bytes.

        16384 until the peer's SETTINGS says otherwise; DATA frames and header block fragments we
        send are cut to it.
        """
    @property
    def peer_initial_window_size(self) -> int:
        """The peer's SETTINGS_INITIAL_WINDOW_SIZE: the send window of each new stream, in bytes.

        65535 until the peer's SETTINGS says otherwise; a change shifts the send window of every
        stream that can still send.
        """
    @property
    def data_frame_budget_available(self) -> int:
        """What is left of the DATA-frame budget, in bytes.

        When a small chunk's charge no longer fits, the connection fails with `H2ProtocolError(11,
        "too_many_data_frames")`. Charges come back with `release_data_frame`.
        """
    @property
    def peer_max_concurrent_streams(self) -> int | None:
        """The peer's SETTINGS_MAX_CONCURRENT_STREAMS, or None until the peer sent one."""
    @property
    def max_local_error_reset_streams(self) -> int | None:
        """The cap on local_error_resets, or None: no cap."""
    @property
    def data_frame_budget_empty_frames(self) -> int:
        """Empty DATA frames (no END_STREAM) received so far on the connection."""
    @property
    def max_pending_accept_reset_streams(self) -> int:
        """The cap on requests the peer reset before they were accepted."""
    @property
    def peer_enable_connect_protocol(self) -> bool:
        """The peer's SETTINGS_ENABLE_CONNECT_PROTOCOL: we may open extended CONNECT streams.

        False until the peer's SETTINGS carries 1 (RFC 8441); once True it stays True (a peer that
        sends 0 afterwards fails the connection). A client reads it after the first peer SETTINGS
        (`recv_settings` answered `initial` True) before it calls `open_stream` with a `protocol`.
        """

H2_FLAG_WAKE: Final[int]
"""Verdict flag bit: frames were queued; run the write pump.

Value 1. Set in the `flags` of a verdict (or in a bare `int` result) when the step queued frames in
the connection's pending-send buffer. The driver wakes its write pump, which calls
`H2Streams.take_pending`, writes the batch and calls `H2Streams.credit_written`. Steps that only
answer the peer (a SETTINGS ACK, a PING reply, a WINDOW_UPDATE after `release_capacity`) set it too:
without a pump run those frames are never written.
"""
H2_FLAG_SLOT_FREED: Final[int]
"""Verdict flag bit: a concurrency slot came free (or the slot limit changed); wake one slot waiter.

Value 2. A concurrency slot came free (a client stream that held one closed), the peer's SETTINGS
set a new `stream_limit`, or a GOAWAY aborted streams. The client driver wakes the tasks waiting to
open a stream, which loop on `H2Streams.try_claim_slot` (and give up when `H2Streams.is_closed()` is
true). Waking all of them is harmless: each claim is one step, and the losers wait again. The server
ignores it.
"""
H2_FLAG_CONN_DONE: Final[int]
"""Verdict flag bit: the connection is finished; wake every waiter of the connection.

Value 4. The connection is finished: the peer's GOAWAY was answered and no stream is left
(`H2Streams.maybe_goaway_reply`, or the closed transition of the last stream). It always comes with
`H2_FLAG_WAKE`, because our GOAWAY reply is queued. The driver lets the write pump flush, then ends
both pumps and closes the transport; every waiter of the connection (slot waiters, streams waiting
for a head) is woken and finds `H2Streams.is_closed()` true. `H2Streams.conn_error()` then gives
`ConnectionClosedError("connection closed: GOAWAY exchanged")`.
"""
H2_FLAG_STOP_ACCEPTING: Final[int]
"""Verdict flag bit: the server's accept loop must end (graceful shutdown is final and no stream is active).

Value 8. Server only: the graceful shutdown is final (the peer acknowledged our shutdown PING) and
no stream is active any more, so no request will arrive. The driver ends its accept loop and closes
the connection once the write pump has flushed. Reported by `H2Streams.recv_ping` (or
`H2Streams.begin_graceful_shutdown` after an earlier GOAWAY of ours) when no stream is active at
that moment, otherwise by the step that closes the last stream.
"""
H2_FLAG_CAPACITY: Final[int]
"""Verdict flag bit: connection send capacity is available to another stream; call next_capacity_wake().

Value 16. Connection send window is available to a stream other than the one whose step reported it
(a sender yielded its turn, left the rotation, or closed). The driver calls
`H2Streams.next_capacity_wake()` once for the verdict and, when it returns a handle, wakes that
stream's sender (the same wake as for a window update). It is not called in a loop: the woken
sender's next `send_data` reports `H2_FLAG_CAPACITY` again when there is more to hand on.
"""
H2_HEADERS_IGNORED: Final[int]
"""recv_headers outcome: the header block was dropped; nothing to deliver.

Value 0. The header block changes nothing the driver sees: an interim (1xx) response head, HEADERS
on a stream we reset ourselves (it was in flight), HEADERS for a recently reset id, or (server) a
new stream above `H2Streams.max_stream_id` during a graceful shutdown. `handle` is None and the
`spare` stays with the driver, to be passed again with the next HEADERS. Apply the verdict's `flags`
and go on.
"""
H2_HEADERS_OPENED: Final[int]
"""recv_headers outcome (server): a peer-opened request stream was accepted; hand it to the application.

Value 1. Server only: the peer opened a request stream and it was accepted. The verdict's `handle`
is the `spare` passed to `H2Streams.recv_headers`, now the stream's handle (the driver needs a new
spare for the next request); `stream_id` is its id and `eof` tells whether the request has no body.
Hand the request (the frame's head) to the application, which calls `H2Streams.accepted(stream_id)`
when it takes it.
"""
H2_HEADERS_HEAD: Final[int]
"""recv_headers outcome (client): the final response head of one of our streams.

Value 2. Client only: the final response head of one of our streams. `handle` is the handle given to
`H2Streams.open_stream`; `eof` tells whether the response has no body (the stream may be closed
then). Wake the request waiting for its head. An interim (1xx) head is `H2_HEADERS_IGNORED`: what it
said is in the `H2FrameHeaders` event alone.
"""
H2_HEADERS_TRAILERS: Final[int]
"""recv_headers outcome: the trailers that end the stream's received body.

Value 3. Trailers: a second header block that ends the peer's side of the stream (`eof` is always
True). `handle` is the stream's handle; deliver the frame's headers as the trailers and end the
body.
"""

class H2Error(VelmoraError):
    """Base class for every velmora HTTP/2 protocol error.

    Catch it for every HTTP/2 error of the core.
    """
class H2ProtocolError(H2Error):
    """Connection-level protocol violation (-> GOAWAY). args = (reason: int|None, message).

    A connection error: the peer broke the protocol in a way that ends the connection (or a cap was
    exceeded). `reason` is the HTTP/2 error code for the GOAWAY (an int; 1 PROTOCOL_ERROR, 3
    FLOW_CONTROL_ERROR, 6 FRAME_SIZE_ERROR, 7 REFUSED_STREAM, 9 COMPRESSION_ERROR, 11
    ENHANCE_YOUR_CALM), `message` what
    happened (for example "invalid new stream id 3", "too_many_resets", "too many stream resets",
    "too_many_data_frames"). The driver answers with `H2Streams.send_goaway(reason)` and
    `H2Streams.fail(exc)`, wakes everything `fail` returns and closes.
    """
class H2StreamError(H2Error):
    """Stream-level protocol violation (-> RST_STREAM, connection survives). args = (stream_id: int, reason: int, initiator: str).

    A stream error: one stream must be reset, the connection goes on. `reason` is the error code
    (int or `H2Reason`), `initiator` "library" when the core found the violation (answer with
    `H2Streams.reset_on_error(stream_id, reason)`), "remote" or "user" when a driver raises it to
    report a reset stream to the application (the peer's RST_STREAM, our own cancel). A receive step
    raises it after committing everything else the frame did.
    """
class H2UserError(H2Error):
    """Local API misuse (HTTP/2 user error). args = (kind: str, message: str).

    The caller asked for something the protocol or the state does not allow; nothing was queued (a
    refused `open_stream` gives its slot back). `kind` names it: "send_before_preface" (a step
    before `H2Streams.begin`), "begin_twice" (`H2Streams.begin` called again), "malformed_headers"
    (a connection-specific field, `te` other than "trailers", a value starting or ending with SP or HTAB), "invalid_informational_status_code"
    (101, or a 1xx with END_STREAM), "payload_too_big" (a DATA payload over the peer's max frame
    size), and the stream-state refusals of `H2StreamState` ("inactive_stream_id",
    "unexpected_frame_type", ...).
    """
class H2FlowControlError(H2Error):
    """Flow-control window over/underflow. args = (reason: int,).

    A flow-control window went past 2**31 - 1 or below what was consumed: the peer sent more than it
    was allowed (a connection error: `send_goaway(3)` and `fail`), or an `H2FlowControl` operation
    was refused (its fields unchanged). `reason` is 3 (FLOW_CONTROL_ERROR). Stream-level window
    violations are reported as `H2StreamError(sid, 3, "library")` instead.
    """

@final
class H2Reason:
    """An HTTP/2 error code (RFC 9113, section 7), 0 to 13. Compares equal to its int value; int() and index use give the code.

    `H2Reason(code)` gives the member for `code` 0 to 13 (another int raises `ValueError("N is not a
    valid H2Reason")`, a non-int `TypeError`). Members are singletons (`H2Reason(8) is
    H2Reason.CANCEL`), hash and compare like their int, and are accepted wherever an error code is:
    `H2Streams.reset_stream`, `reset_on_error`, `send_goaway`. Codes the core hands back (verdicts,
    frame events, exception args) are plain ints; compare them with the members.
    """
    NO_ERROR: ClassVar[H2Reason]
    """Code 0. Graceful end: not the result of an error."""
    PROTOCOL_ERROR: ClassVar[H2Reason]
    """Code 1. An unspecific protocol error."""
    INTERNAL_ERROR: ClassVar[H2Reason]
    """Code 2. An unexpected internal error."""
    FLOW_CONTROL_ERROR: ClassVar[H2Reason]
    """Code 3. The peer violated flow control."""
    SETTINGS_TIMEOUT: ClassVar[H2Reason]
    """Code 4. SETTINGS were not acknowledged in time."""
    STREAM_CLOSED: ClassVar[H2Reason]
    """Code 5. A frame arrived after the stream was half-closed or closed."""
    FRAME_SIZE_ERROR: ClassVar[H2Reason]
    """Code 6. A frame had an invalid size."""
    REFUSED_STREAM: ClassVar[H2Reason]
    """Code 7. The stream was refused before any processing: the request may be retried."""
    CANCEL: ClassVar[H2Reason]
    """Code 8. The stream is no longer needed."""
    COMPRESSION_ERROR: ClassVar[H2Reason]
    """Code 9. The HPACK compression context cannot be maintained."""
    CONNECT_ERROR: ClassVar[H2Reason]
    """Code 10. The connection of a CONNECT request was reset or closed abnormally."""
    ENHANCE_YOUR_CALM: ClassVar[H2Reason]
    """Code 11. The peer behaves in a way that may generate excessive load (a flood cap was exceeded)."""
    INADEQUATE_SECURITY: ClassVar[H2Reason]
    """Code 12. The transport does not meet the security requirements."""
    HTTP_1_1_REQUIRED: ClassVar[H2Reason]
    """Code 13. The peer requires HTTP/1.1 for the request."""
    def __new__(cls, code: int | H2Reason) -> Self: ...
    @property
    def value(self) -> int:
        """The error code (int, 0 to 13)."""
    @property
    def name(self) -> str:
        """The code's name, for example "CANCEL"."""
    def __int__(self) -> int: ...
    def __index__(self) -> int: ...
    def __hash__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...

H2_DEFAULT_HEADER_TABLE_SIZE: Final[int]
"""The HPACK dynamic table size every endpoint starts with, in bytes.

Value 4096 (octets): the HPACK dynamic table size both endpoints start with, and the most the
encoder uses whatever the peer allows.
"""
H2_DEFAULT_INITIAL_WINDOW_SIZE: Final[int]
"""The flow-control window every stream and the connection start with, in bytes.

Value 65535 (octets): the send and receive window of every new stream until SETTINGS change it, and
the connection window, which no SETTINGS changes (only WINDOW_UPDATE raises it).
"""
H2_DEFAULT_MAX_FRAME_SIZE: Final[int]
"""The frame payload size every endpoint must accept, in bytes: the smallest allowed max_frame_size.

Value 16384 (octets): the frame payload every endpoint accepts. It is the lower bound of
`max_frame_size` (`H2Streams`, `H2Codec.set_max_recv_frame_size`); a smaller value raises
`ValueError`.
"""
H2_MAX_MAX_FRAME_SIZE: Final[int]
"""The largest allowed max_frame_size, in bytes (2**24 - 1).

Value 16777215 (2**24 - 1 octets): the upper bound of `max_frame_size`; a larger value raises
`ValueError`.
"""
H2_MAX_STREAM_ID: Final[int]
"""The largest stream id (2**31 - 1).

Value 2147483647 (2**31 - 1). The largest stream id: once the next client id would exceed it,
`H2Streams.open_stream` raises `H2ProtocolError(7, ...)` and the driver opens a new connection. Also
the last stream id of the first GOAWAY of a graceful shutdown.
"""
H2_DEFAULT_DATA_FRAME_OVERHEAD_THRESHOLD: Final[int]
"""DATA payloads shorter than this many bytes are charged to the DATA-frame budget.

Value 256 (octets). A non-final DATA frame whose payload is shorter (but not empty) is charged 256
minus its length against the DATA-frame budget until the application consumes it; a payload of 256
octets or more gives its excess over 256 back to the budget. Empty frames are counted apart
(`H2_MAX_RECV_EMPTY_DATA_FRAMES`). See `H2DataFrameBudget`.
"""
H2_DEFAULT_DATA_FRAME_BUDGET: Final[int]
"""The smallest DATA-frame budget derived from the connection window, in bytes.

Value 25600 (octets): the floor of the DATA-frame budget when it is derived from the connection
window (`data_frame_budget=None`: the larger of half the connection window and this value). With the
default overhead threshold it lets about a hundred empty or one-byte frames be in flight unconsumed.
"""
H2_MAX_RECV_EMPTY_DATA_FRAMES: Final[int]
"""Empty DATA frames (no END_STREAM) a peer may send before the connection fails.

Value 100. Empty DATA frames without END_STREAM carry nothing and cost the receiver a step each: the
101st on one connection fails it with `H2ProtocolError(11, "too_many_data_frames")`
(ENHANCE_YOUR_CALM). The count never decreases (`H2Streams.data_frame_budget_empty_frames`).
"""
H2_PREFACE: Final[bytes]
"""The 24-byte HTTP/2 client connection preface.

The bytes b"PRI * HTTP/2.0\\r\\n\\r\\nSM\\r\\n\\r\\n". A client sends them first (`H2Streams.begin` queues
them); a server matches them before the first frame (`H2Codec.match_preface`, `H2Streams.prime`).
"""

class H1Error(VelmoraError):
    """Base class of the HTTP/1 errors; raised itself for the kinds without a subclass. args = (message: str,).

    Catch it for every HTTP/1 error of the core. Raised itself only for failure kinds that have no
    subclass, with the message as its only argument.
    """
class H1ParseError(H1Error):
    """A malformed HTTP/1 message head. args = (kind: str, message: str).

    Raised by `H1Codec.receive_head`, `H1Codec.receive_request_head` and
    `H1ServerState.accept_head`. `kind` names the fault; a server answers a request that failed with
    the status `H1Codec.parse_error_status` gives, then closes (`H1ServerState.fail_read`). The
    kinds, with that status: "method" 400, "version" 400, "version_h2" (an HTTP/2 preface where
    HTTP/1 was expected) none, "uri" 400, "uri_too_long" 414, "header_token" 400,
    "header_content_length_invalid" 400, "header_transfer_encoding_invalid" 400,
    "header_transfer_encoding_unexpected" 400, "too_large" (the head is longer than `max_buf_size`,
    however the reads split it, or has more than `max_headers` fields) 431, "status" (a
    response's status line) none, "internal" none. The message is a human-readable description.
    """
class H1BodyError(H1Error):
    """A body that cannot be decoded: a framing error, or the transport closing before the body was complete. args = (io_kind: str, message: str).

    Raised by `H1BodyDecoder.decode` for a malformed body (bad chunk framing: `io_kind`
    "invalid_data") or a body cut short by the end of the transport (`mark_eof` before the body was
    complete: "unexpected_eof"). The connection cannot be reused; the server stops reading the
    request (`H1ServerState.mark_unusable`), the client fails the exchange.
    """
class H1IncompleteMessageError(H1Error):
    """The connection closed while a message was still expected. args = (message: str,).

    The core reports the condition (`H1_REQ_PEER_CLOSED`, `H1ServerState.watcher_completed`
    answering True, `H1ServerState.peer_closed_now`); the drivers raise this class for it, so the
    application sees one error for a client that went away mid-message.
    """
class H1UnexpectedMessageError(H1Error):
    """The peer sent bytes when none were expected; poisons the connection. args = (message: str,).

    A client driver stores it with `H1ClientState.fail` when the idle watcher reports
    `H1_WATCH_IDLE_BYTES` (the server sent bytes outside any response); the next request on the
    connection raises it without having been sent.
    """
class H1UserError(H1Error):
    """Local misuse detected on the wire path; closes the connection. args = (kind: str, message: str).

    Raised by the encoders for a message the caller cannot send as asked, `kind` naming it:
    "unexpected_header" (framing fields that contradict each other or the arguments, such as both
    content-length and transfer-encoding), "unsupported_status_code" (a 1xx status other than 101 in
    a response), "body_write_aborted" (the body ended short of its declared length: "early end,
    expected N more bytes"). `H1ServerState.respond_head` raises it after claiming the response: the
    claim stands, so end the request with `fail_response`.
    """

# H1Codec, H1ResponseHead, H1RequestHead, H1BodyDecoder

@final
class H1Codec:
    """Per-connection HTTP/1 codec: head parsing and encoding, body framing, one read buffer.

    `H1Codec(*, max_headers=None, ignore_invalid_headers=False, title_case_headers=False,
    date_header=True, max_buf_size=417792)`:

    - `max_headers`: the most header lines of a request head (None: 100); more fail with
      `H1ParseError("too_large", ...)` (status 431).
    - `ignore_invalid_headers`: a request header line that does not parse is skipped instead of
      failing the head.
    - `title_case_headers`: the encoders write names as Title-Case ("Content-Type") instead of
      lowercase.
    - `date_header`: responses get a `date` header (`http_date()`) unless `headers` has one.
    - `max_buf_size`: octets; the longest head accepted, request or response, whether it arrives
      in one read or many (longer: `H1ParseError("too_large", ...)`, status 431). Below 8192
      raises `ValueError("the max_buf_size cannot be smaller than 8192")`.

    One codec per connection: it holds the read buffer and the body encoder of the message in
    flight. It has a lock of its own, so a call never tears its state, but the order of calls is the
    driver's: one message is encoded at a time, and heads and bodies are read by one reader.
    `H1ClientState` and `H1ServerState` use the codec they were given inside their own steps.
    """
    def __new__(
        cls,
        *,
        max_headers: int | None = None,
        ignore_invalid_headers: bool = False,
        title_case_headers: bool = False,
        date_header: bool = True,
        max_buf_size: int = 417792,
    ) -> Self: ...
    def receive_head(self, data: bytes) -> H1ResponseHead | None:
        """Append data to the read buffer and parse a response head: an H1ResponseHead, or None when more bytes are needed. Informational heads are skipped. Raises H1ParseError.

        Client side. `data` is what the read returned (b"" parses what is buffered). The bytes after
        the head stay buffered: move them into the body decoder with `take_body_into`. A 1xx head
        other than 101 is consumed and parsing goes on. Each head longer than `max_buf_size` raises
        `H1ParseError("too_large", ...)`.
        """
    def receive_request_head(self, data: bytes) -> H1RequestHead | None:
        """Append data to the read buffer and parse a request head: an H1RequestHead, or None when more bytes are needed. Raises H1ParseError and records parse_error_status.

        Server side; `H1ServerState.accept_head` calls it for the serve loop. The method is
        remembered, so the response to a HEAD or CONNECT request is framed accordingly. A head
        longer than `max_buf_size` raises `H1ParseError("too_large", ...)` (431) however the reads
        split it. Bytes that are a proper prefix of the HTTP/2 preface (`H2_PREFACE`) give None,
        wherever the client split its first write; the whole preface raises
        `H1ParseError("version_h2", ...)`.
        """
    def feed(self, data: bytes) -> None:
        """Append data to the read buffer without parsing."""
    def take_body(self) -> bytes:
        """Remove and return every buffered byte (b"" when none)."""
    def take_body_into(self, decoder: H1BodyDecoder) -> None:
        """Move every buffered byte into an H1BodyDecoder, without creating a bytes object."""
    def reset(self) -> None:
        """Start the next message: per-message state dropped, read buffer and options kept."""
    def serialize_request(
        self,
        method: str,
        url: str,
        headers: HeaderMap | None = None,
        *,
        http10: bool = False,
        content_length: int | None = None,
        chunked: bool = False,
    ) -> bytes:
        """Encode a request head and keep its body encoder; returns the head bytes.

        `url` is written as the request target as given (origin form "/x?y" to a server, absolute
        form to a proxy); `host` and the other fields come from `headers`. `content_length` frames a
        body of that many octets, `chunked` one of unknown length; `http10` writes an HTTP/1.0
        request. Raises `ValueError` for a URL that does not parse or a `content_length` above
        18446744073709551613 (the largest length a reader takes), and `H1UserError`
        ("unexpected_header") for framing headers a server could not read: a `content-length`
        that is not a length (or lengths that disagree, or one above that largest length), a
        `transfer-encoding` that is not visible ASCII. A valid `content-length` in list form ("5, 5") is sent as the one length; a
        `Connection` holding "close" is sent as exactly "close"; a CONNECT request carries no
        body, so its `content-length` and `transfer-encoding` are not sent whatever the
        arguments say. Then write the body with `serialize_data` and end it with `serialize_end`
        or `serialize_trailers`.
        """
    def serialize_response(
        self,
        status: int,
        headers: HeaderMap | None = None,
        *,
        keep_alive: bool = True,
        http10: bool = False,
        content_length: int | None = None,
        chunked: bool = False,
    ) -> bytes:
        """Encode a response head and keep its body encoder; returns the head bytes.

        `keep_alive` False adds `Connection: close` (on HTTP/1.0 only when the headers would
        otherwise say keep-alive); `http10` answers in HTTP/1.0, where a `Connection` holding
        "close" is sent as exactly "close"; `content_length` / `chunked` as for
        `H1ServerState.respond_head` (which calls this encoder; a `content_length` above
        18446744073709551613 raises `ValueError`, a `content-length` header above it
        `H1UserError("unexpected_header", ...)`). `Connection` and
        `transfer-encoding` values go out joined on one line and must be visible ASCII (else
        `H1UserError("unexpected_header", ...)`). Afterwards `response_is_last` and
        `response_close_delimited` say whether the connection can be reused.
        """
    def serialize_data(self, chunk: bytes) -> bytes:
        """Frame one body chunk for the message in flight.

        Chunked framing wraps the chunk; a length body passes it through up to the declared length.
        A chunk that runs past the declared length raises `H1UserError("body_write_aborted", "user
        body write aborted: N bytes past the declared length")` with nothing framed and the encoder
        as it was (a cut body would look complete to the peer). A message that carries no body (a
        response to HEAD, a 204 or 304, a 2xx to CONNECT), or whose head was given no length and no
        chunked framing, drops its chunks: the result is b"".
        """
    def serialize_end(self) -> bytes:
        """End the body of the message in flight.

        The last chunk of a chunked body; nothing for a length body that is complete. A length body
        short of its count raises `H1UserError("body_write_aborted", "user body write aborted: early
        end, expected N more bytes")`.
        """
    def serialize_trailers(self, trailers: HeaderMap) -> bytes:
        """End the body with trailer fields (only the declared, permitted ones are sent)."""
    def serialize_head_and_body(
        self, head: bytes, body: bytes | None = None, trailers: HeaderMap | None = None
    ) -> bytes:
        """One whole message in one buffer: head, framed body and its end.

        A body longer than the declared length raises `H1UserError("body_write_aborted", "user body
        write aborted: N bytes past the declared length")`, as `serialize_data` does; one shorter,
        the early-end error of `serialize_end`. A bodyless message (a response to HEAD, 204, 304,
        or a head given no length and no chunked framing) drops the body.
        """
    def body_is_eof(self) -> bool:
        """True when the framing in flight carries no more body."""
    @staticmethod
    def continue_response() -> bytes:
        """The bytes of an interim 100 Continue response."""
    @staticmethod
    def connection_close(headers: HeaderMap) -> bool:
        """True when any Connection line holds the token close."""
    @property
    def buffered(self) -> int:
        """Bytes in the read buffer."""
    @property
    def max_buf_size(self) -> int:
        """The cap on an incomplete head."""
    @property
    def response_is_last(self) -> bool:
        """The response being written ends the connection."""
    @property
    def response_close_delimited(self) -> bool:
        """The response body being written runs until the connection closes."""
    @property
    def request_connection_close(self) -> bool:
        """The last request serialized carried Connection: close."""
    @property
    def parse_error_status(self) -> int | None:
        """The automatic error status of the last failed request head, or None."""

@final
class H1ResponseHead:
    """A parsed HTTP/1 response head."""
    @property
    def status(self) -> int:
        """The status code."""
    @property
    def keep_alive(self) -> bool:
        """Keep-alive from the version and Connection; false for an upgrade."""
    @property
    def headers(self) -> HeaderMap:
        """The header fields (HeaderMap)."""
    @property
    def body_kind(self) -> str:
        """"empty", "length", "chunked" or "close"."""
    @property
    def content_length(self) -> int | None:
        """0 for an empty body, N for a length body, None otherwise."""
    @property
    def is_upgrade(self) -> bool:
        """101, or a 2xx to CONNECT: the connection becomes a raw tunnel."""
    @property
    def http10(self) -> bool:
        """The response was HTTP/1.0."""
    @property
    def wants_keep_alive(self) -> bool:
        """keep_alive, the body is not close-delimited, and the last request did not carry Connection: close."""

@final
class H1RequestHead:
    """A parsed HTTP/1 request head."""
    @property
    def method(self) -> str:
        """The request method."""
    @property
    def target(self) -> str:
        """The request target."""
    @property
    def keep_alive(self) -> bool:
        """Keep-alive after the head rules."""
    @property
    def headers(self) -> HeaderMap:
        """The header fields (HeaderMap)."""
    @property
    def body_kind(self) -> str:
        """"empty", "length" or "chunked"."""
    @property
    def content_length(self) -> int | None:
        """The body length (0 for an empty body), None for a chunked body."""
    @property
    def expect_continue(self) -> bool:
        """The request carried Expect: 100-continue."""
    @property
    def is_upgrade(self) -> bool:
        """CONNECT, or an Upgrade request on HTTP/1.1."""
    @property
    def http10(self) -> bool:
        """The request was HTTP/1.0."""
    @property
    def allow_trailers(self) -> bool:
        """The request declared TE: trailers."""

@final
class H1BodyDecoder:
    """Byte-fed decoder of one HTTP/1 message body. kind is "chunked", "close" or "length" (a body of `length` bytes); any other kind is an empty body.

    The read loop: `feed` what the transport returns (or `mark_eof` when it ends), call `decode`
    until it returns None, and stop once `is_complete`; `finish` then gives the trailers and the
    count of octets read past the body (which belong to the next message). `length` is in octets.
    Has a lock of its own; one reader drives it.
    """
    def __new__(cls, kind: str, length: int = 0) -> Self: ...
    def feed(self, data: bytes) -> None:
        """Append received bytes to the input; accepted in every state."""
    def mark_eof(self) -> None:
        """Record that the transport closed."""
    def decode(self) -> bytes | None:
        """Decode one step: the next body bytes, or None when more input is needed or the body has ended. Raises H1BodyError.

        `H1BodyError("invalid_data", ...)` for malformed chunked framing;
        `H1BodyError("unexpected_eof", ...)` when the transport ended (`mark_eof`) before the body
        did.
        """
    def take_trailers(self) -> HeaderMap | None:
        """Move the parsed trailer fields out: a HeaderMap, or None when there were none or they were already taken."""
    def finish(self) -> tuple[HeaderMap | None, int]:
        """In one step: (trailers as take_trailers() returns them, number of bytes still buffered)."""
    @property
    def is_complete(self) -> bool:
        """True once the body has ended."""
    @property
    def buffered(self) -> int:
        """Bytes in the input buffer; after completion, the bytes past the body."""

@disjoint_base
class H1ServerState:
    """The connection + current-request state of one HTTP/1 server connection, `frozen` + `subclass`: `ServerConnection` subclasses it and adds only async machinery.

    Threads: every method is one transition under the object's lock and may be called from any thread (the serve loop, a body reader, a responder, the mid-message watcher, a head-read watchdog, a shutdown). The state never calls the transport, the watcher's event or its handle: it stores them and hands them back, and the transport a closing step returns is shut down by the caller after the step. The driver orders: one reader of the transport at a time, the one a step named (begin_read or accept_head: the serve loop; begin_body_read to end_body_read: the body reader; arm_watcher or an armed respond_head to watcher_completed: the watcher; H1_NEXT_DRAIN to drain_done: the drain); and a claimed 100 Continue written before respond_head is called again after H1_REQ_CONTINUE.

    `H1ServerState(codec, transport, *, keep_alive=True, half_close=False)`: `codec` an `H1Codec`
    (else `TypeError`), `transport` any object (stored, returned, never called), `keep_alive` False
    to serve one request per connection, `half_close` True when the client may half-close its side
    while waiting for the response (the mid-message watcher is then never armed). `keep_alive` and
    `half_close` must be `bool`. A subclass's `__init__` may take other arguments: the state is
    built in `__new__` from these.

    The serve loop, per request:

    1. `begin_read()` answers where the connection stands: an `H1_NEXT_*` code (stop, drain, close)
       or an `H1_READ_*` code (where the next head comes from). See each constant.
    2. `accept_head(data)` with what was read, until it returns `(head, seq, decoder)`;
       `H1ParseError` means: answer with the status `codec.parse_error_status` (when not None) on
       the transport `fail_read()` returns, then close it. A watchdog may call
       `head_read_overdue(timeout)` meanwhile.
    3. The body reader pulls with `begin_body_read(seq)` / read / `decoder.feed` /
       `end_body_read(seq, complete)`; for `Expect: 100-continue` it first calls
       `try_send_continue(seq)` and, on True, writes `H1Codec.continue_response()`.
    4. The responder calls `respond_head(seq, ...)` (see `H1_REQ_*`), writes the head and body
       (`codec.serialize_data`, `serialize_end`), then `close_window(seq)` and
       `finish_response(seq)` (or `fail_response(seq)` when the write failed), and closes or hands
       off the transport as told.
    5. Back to 1. `close()` calls `mark_closed()`; a shutdown calls `request_shutdown()`.

    Every per-request method takes the `seq` that `accept_head` returned; a `seq` that is 0 or not
    the current request's is stale: the method answers False, None or `H1_REQ_STALE` and changes
    nothing, so a late task of an old request cannot disturb the next one.
    """
    def __new__(
        cls, codec: H1Codec, transport: object, *, keep_alive: bool = True, half_close: bool = False
    ) -> Self: ...
    def __init__(
        self, codec: H1Codec, transport: object, *, keep_alive: bool = True, half_close: bool = False
    ) -> None: ...
    def begin_read(self) -> tuple[int, object | None]:
        """Where the serve loop stands before the next request: (H1_NEXT_* or H1_READ_* code, transport or watcher event or None).

        Call it before each request and act on the code: `H1_NEXT_NONE`, `H1_NEXT_RAISE`,
        `H1_NEXT_CLOSE`, `H1_NEXT_DRAIN` say the next head is not read now; `H1_READ_PARSE`,
        `H1_READ_TRANSPORT`, `H1_READ_WATCHER` say where it comes from; `H1_READ_SHUTDOWN`,
        `H1_READ_EOF` end serving. Bytes read past the previous body are moved back in front of the
        next head first.
        """
    def drain_done(self, complete: bool) -> tuple[int, object | None]:
        """The drain's outcome: (code, transport) as begin_read answers once positioned, or (H1_NEXT_CLOSE, transport).

        `complete` True when the drain reached the end of the previous request's body. True
        positions the connection at the next head and answers as `begin_read` would (an `H1_READ_*`
        code); False closes it: `(H1_NEXT_CLOSE, transport)`, close the transport. `complete` must
        be a `bool`.
        """
    def accept_head(self, data: bytes) -> tuple[H1RequestHead, int, H1BodyDecoder] | None:
        """Parse a request head from data (b"" for what is buffered): (head, seq, decoder), or None. Raises H1ParseError.

        `data` must be `bytes`: what the read returned, or b"" to parse bytes already buffered
        (`H1_READ_PARSE`). None: the head is incomplete, read more and call again, or the connection
        was closed while the read was parked (a shutdown, the head-read deadline): then stop
        serving. On a complete head the request becomes current: `seq` (1, 2, 3, ...) identifies it
        for every later call, and `decoder` already holds the body bytes that came with the head.
        Raises `H1ParseError` for a malformed head (see its kinds), leaving the automatic error
        status in `codec.parse_error_status`; answer it on the transport from `fail_read()`.
        """
    def unpark_idle_read(self) -> bool:
        """The idle read ended without bytes to parse: True when the connection was closed under it.

        Call it when the read that `begin_read` started (`H1_READ_TRANSPORT` or `H1_READ_WATCHER`)
        ends without bytes (EOF, error). False: the client closed between requests, so
        `stop_serving()`; True: the state closed the connection itself while the read was parked (a
        shutdown, the head-read deadline), so the read's outcome is moot.
        """
    def head_read_overdue(self, timeout: float) -> tuple[bool, float | None, object | None]:
        """The head-read watchdog's step: (expired, remaining seconds or None, transport or None). It may run on a watchdog thread while the serve loop is blocked in its read: an expired read closes the state in this step; shutting the returned transport down ends that read, after which unpark_idle_read answers True. remaining is None while no head read runs: poll again later.

        `timeout` in seconds (any number). While no head read runs (a request is being served, or
        the connection is closed) the answer is `(False, None, None)`. While one runs: `(False,
        remaining, None)` when it has taken less than `timeout` since `begin_read` or `drain_done`
        started it (sleep `remaining`, then ask again); `(True, None, transport)` when it took
        `timeout` or more: the state is closed in this step, close the transport (which ends the
        read) and answer nothing. Raises `TypeError` when `timeout` is not a number.
        """
    def fail_read(self) -> object | None:
        """A head parse failed or the transport broke at the request boundary: close; returns the transport.

        The transport comes back (None once handed off): write the automatic error response on it
        (best effort) and close it. The state is closed.
        """
    def stop_serving(self) -> None:
        """A clean end between requests: closed, the transport kept for close().

        After `H1_READ_SHUTDOWN`, `H1_READ_EOF`, or a clean EOF between requests. The transport
        stays stored: `close()` (`mark_closed`) returns it.
        """
    def mark_closed(self) -> tuple[object | None, object | None, bool]:
        """close(): (transport, watcher_done, ended).

        The state is closed and the transport moved out: close it. `watcher_done` is the mid-message
        watcher's event when a watcher exists (await it, then join `take_watcher_handle()`). `ended`
        True: the connection had already ended (`stop_serving`, a closing step), so shut the
        transport down as a finished connection; False: it is dropped in the middle of serving. Safe
        to call more than once; later calls return no transport.
        """
    def mark_unusable(self) -> None:
        """No further request on this connection (the body read broke, or the driver will not read the request body to its end). Called before respond_head, the head carries Connection: close; the response's end closes.

        Used when the request body broke (`H1BodyError`) or will be left unread, so the client
        cannot know where the next request starts. Never undone.
        """
    def request_shutdown(self) -> object | None:
        """Graceful shutdown: no further request. Returns the transport when an idle read was parked (closed now), else None.

        Graceful: the current request is still answered, with `Connection: close`. If the serve loop
        is waiting for the next head (`H1_READ_TRANSPORT` or `H1_READ_WATCHER`), the state closes
        now and returns the transport: shut it down, which ends that read (`unpark_idle_read` then
        answers True). None otherwise: the serve loop sees `H1_NEXT_NONE` or `H1_READ_SHUTDOWN`
        after the current response. May be called from any thread, at any time.
        """
    def current_decoder(self) -> H1BodyDecoder | None:
        """The current request's H1BodyDecoder, or None.

        The drain (`H1_NEXT_DRAIN`) decodes what it already holds and feeds it the rest of the
        unread body, reading only while it is not complete.
        """
    def transport_ref(self) -> object | None:
        """The transport, or None once closed or handed off.

        For a body read or write outside the steps that return the transport; None means closed:
        raise `ConnectionClosedError`.
        """
    def try_send_continue(self, seq: int) -> bool:
        """Claim the 100 Continue for the request: True means write it now. A respond_head call made after this claim answers H1_REQ_CONTINUE, and its caller must await the write of the 100 before calling again: the second call answers H1_REQ_OK at once, whether or not the 100 is on the wire yet.

        The body reader calls it before its first read of a request that sent `Expect:
        100-continue`. False (answer nothing) when the request did not ask, was HTTP/1.0, a 100 was
        already claimed, or the response was already claimed: a final response then tells the client
        not to send the body. Claimed under the same lock as `respond_head`, so the 100 and the
        final head cannot both be decided at once.
        """
    def begin_body_read(self, seq: int) -> bool:
        """The body reader is about to pull from the transport: False when the body is not readable.

        True: the body reader is now the one reader of the transport; read, feed the decoder, then
        `end_body_read(seq, complete)`. False: stale, the body already ended, or a drain took the
        read: the body is no longer readable (raise).
        """
    def end_body_read(self, seq: int, complete: bool) -> None:
        """The body reader's pull returned.

        `complete` (a `bool`) True when the decoder reached the end of the body. If a
        `peer_closed()` is waiting, call `arm_watcher` again afterwards: the watcher can only be
        armed once the body is complete.
        """
    def peer_closed_now(self, seq: int) -> bool | None:
        """peer_closed(): False when stale, None while the response window is open, then whether the client closed mid-message.

        The first step of the application's `peer_closed()`: not None is the answer. None: the
        response is still in progress, so arm the watcher (`arm_watcher(seq, done, want=True)`,
        spawning it when True), wait for the request's window to close (`close_window`), then read
        `peer_closed_flag(seq)`.
        """
    def peer_closed_flag(self, seq: int) -> bool:
        """Whether the client closed its side mid-message (False when stale).

        The second step of `peer_closed()`, after the window closed.
        """
    def arm_watcher(self, seq: int, done: object, *, want: bool = True, head_negotiated: bool = False) -> bool:
        """Ask for the mid-message watcher: True means spawn it for done and store its handle.

        `done` is the event the watcher sets when its read completes; `want` records that someone
        asked (a later `respond_head` then arms too); `head_negotiated` says the protocol-switch
        decision is known. True: a read may be parked now (the body is complete, the response in
        progress, no bytes already buffered, no switch possible, `half_close` off, no watcher yet):
        spawn the watcher task for `done` and store its handle with `store_watcher_handle`. False:
        not now; `done` is not kept. Stale: False.
        """
    def store_watcher_handle(self, handle: _T) -> _T | None:
        """Store the watcher's task handle: None, or handle itself when refused (join it yourself).

        Refused (the handle is returned) when the connection closed meanwhile, or there is no slot
        or already a handle; then `close()` will not join it, so the caller joins it (it ends at
        once, the transport being gone).
        """
    def watcher_completed(self, /, data: bytes | None = None, error: BaseException | None = None) -> bool:
        """The watcher's read completed: True when the client went away mid-message.

        The watcher task reports its read: `data` the bytes (b"" for EOF, None when it found no
        transport), `error` an exception or None. The bytes are kept for the next head (or a
        tunnel's leftover). True: the client went away while the response was in progress: the
        connection will not be reused, resolve the request's `peer_closed()` and fail its response
        (`H1IncompleteMessageError`). False: nothing to act on. Raises `TypeError` when `data` is
        not bytes or None.
        """
    def watcher_aborted(self) -> None:
        """The watcher found no transport: its slot completes empty.

        The watcher task found no transport to read (a racing close).
        """
    def watcher_done(self) -> object | None:
        """The watcher slot's event, or None without a slot.

        The event the watcher sets; None without a watcher.
        """
    def take_watcher_handle(self) -> object | None:
        """Move the watcher's task handle out, to join it.

        Exactly one caller gets it (None afterwards): `close()`, or the next head's read. Await it:
        its read has completed or is about to.
        """
    def take_watcher_result(self) -> tuple[bytes | None, BaseException | None]:
        """(data, error) of the completed watcher; the slot is removed unless a handle is still stored. A read still in flight gives (None, None).

        After the watcher's event fired: the read's bytes (None without any) and error. Feed the
        bytes to `accept_head`.
        """
    def close_window(self, seq: int) -> bool:
        """The response is complete or failed: True when this call ended the mid-message window.

        Call it when the response finished or failed, before `finish_response` / `fail_response`.
        True: set the request's peer-closed event, so a waiting `peer_closed()` reads its answer.
        """
    def respond_head(
        self,
        seq: int,
        status: int,
        headers: HeaderMap | None,
        done: object,
        *,
        content_length: int | None = None,
        chunked: bool = False,
        want: bool = False,
    ) -> tuple[int, bytes | None, bool, object | None]:
        """The response head in one step: (H1_REQ_* code, head bytes or None, armed, transport). H1_REQ_CONTINUE: the body reader claimed a 100 Continue (try_send_continue); await the write of that 100, then call again. The state cannot see the write: calling again before it completed gets H1_REQ_OK and lets the final head go out ahead of the 100. The head carries Connection: close when the connection will not be reused (keep-alive off, the request's own close, a shutdown, mark_unusable).

        Arguments: `status` 0 to 65535 (a 1xx other than 101 raises
        `H1UserError("unsupported_status_code", ...)`), `headers` a `HeaderMap` or None, `done` the
        event for the mid-message watcher (any object; None when no watcher is wanted),
        `content_length` for a body of that many octets, `chunked` for a body of unknown length
        (sent chunked, or delimited by the connection's close for an HTTP/1.0 client; a
        content-length or transfer-encoding in `headers` takes precedence when it agrees), neither
        for an empty body (a 1xx, 204 or 304 status, a 2xx to CONNECT and an answer to HEAD never
        carry one), `want` True to watch for the client going away during the response.

        The answer is `(code, head, armed, transport)`; act on `code` (see `H1_REQ_OK`,
        `H1_REQ_CONTINUE`, `H1_REQ_PEER_CLOSED`, `H1_REQ_ALREADY`, `H1_REQ_STALE`). With
        `H1_REQ_OK`: write `head`; when `armed` is True spawn the watcher for `done`; a None
        `transport` means the connection closed meanwhile: fail the response. An HTTP/1.0 request is
        answered in HTTP/1.0. A 101 to a request asking for an upgrade, and a 2xx to CONNECT, hand
        the connection over when `finish_response` runs.

        Raises `H1UserError` for a head the encoder refuses (after the claim: end the request with
        `fail_response`), `TypeError` / `OverflowError` for bad arguments and `ValueError` for a
        `status` outside 100-999 or a `content_length` above 18446744073709551613, the largest
        length a reader takes (nothing changed).
        """
    def finish_response(self, seq: int) -> tuple[bool, bool, object | None, bytes | None]:
        """The response is on the wire: (switch, close, transport, leftover). A response the codec did not frame to its end (a length body short of its count, a chunked body without its last chunk, a refused head) closes the connection.

        Call it once the whole response is written (after `close_window`). Act on the answer:

        - `switch` True (101 upgrade, 2xx to CONNECT): the transport is handed over with `leftover`,
          every byte read past the request, and the state is closed: run the tunnel or new protocol
          on them.
        - `close` True: the connection ends; close `transport`.
        - both False: the connection is kept; go back to `begin_read`.
        """
    def fail_response(self, seq: int) -> object | None:
        """A failed response poisons the connection: returns the transport, or None when stale.

        After a response write failed, `H1_REQ_PEER_CLOSED`, or an `H1UserError` from
        `respond_head`: the state closes; close the transport returned (None when stale or already
        closed).
        """
    def detach(self, seq: int) -> tuple[int, object | None, bytes | None]:
        """Take over the raw connection without a response: (H1_REQ_* code, transport, leftover).

        The handler takes the raw connection instead of responding. `(H1_REQ_OK, transport,
        leftover)`: the transport and every byte read past the request are yours; the state is
        closed and never returns the transport again. `H1_REQ_PARKED`: the watcher's read is in
        flight; wait for `watcher_done()` and call again. `H1_REQ_ALREADY`, `H1_REQ_STALE`: nothing
        changed.
        """
    @property
    def codec(self) -> H1Codec:
        """The connection's H1Codec."""
    @property
    def closed(self) -> bool:
        """The connection is closed.

        Final: once True, no request is served and every closing step returns no transport.
        """
    @property
    def reusable(self) -> bool:
        """Another request may be served after the current one.

        Once False it never becomes True again.
        """
    @property
    def upgraded(self) -> bool:
        """The transport was handed off.

        Set by a protocol switch (`finish_response`) or `detach`; the state is closed then.
        """
    @property
    def half_close(self) -> bool:
        """The client may half-close its side."""
    @property
    def keep_alive_enabled(self) -> bool:
        """Server-side keep-alive setting."""
    @property
    def shutdown_requested(self) -> bool:
        """request_shutdown() was called."""
    @property
    def current_seq(self) -> int:
        """Sequence number of the current request (0: none yet)."""
    @property
    def has_watcher(self) -> bool:
        """A watcher slot exists (a read is parked, or completed and not yet consumed)."""
    @property
    def watcher_parked(self) -> bool:
        """A mid-message read is parked on the transport right now."""

@disjoint_base
class H1ClientState:
    """The connection state of one HTTP/1 client connection, `frozen` + `subclass`: `Connection` (velmora/h1/client.py) subclasses it and adds only async machinery.

    Threads: every method is one transition under the object's lock and may be called from any thread. The state never calls the transport, the watcher's event or the writer and watcher handles it stores; it hands them back. The driver orders: the idle watcher's read is the next response's first read once begin_send returns its event (wait for it, then take_watcher_handoff); the body writer's writer_done before finish_exchange.

    `H1ClientState(codec, transport)`: `codec` an `H1Codec` (else `TypeError`), `transport` any
    object (stored, returned, never called). A subclass's `__init__` may take other arguments: the
    state is built in `__new__` from these.

    One exchange (request and response):

    1. `try_begin_exchange()` until True (wait for the previous exchange to end); `begin_send()`: a
       None transport means the connection is dead: raise without sending (the request may be
       retried).
    2. `exchange_started()`, write the head (`codec.serialize_request`), spawn the body writer and
       `store_writer` it; the writer calls `writer_done()` when the body is out.
    3. Read the response head (`codec.receive_head`); if `begin_send` returned a watcher event, the
       idle watcher's read is the first read: await it and `take_watcher_handoff()`.
    4. Read the body with the decoder; `set_peer_http10(True)` for an HTTP/1.0 response.
    5. `finish_exchange(head.wants_keep_alive)`; close the transport it returns; `take_writer()` and
       join it; `end_exchange()` and wake the next waiter.
    6. Idle: `arm_watcher(done)`, spawn the watcher, `store_watcher_handle`; it reports with
       `watcher_completed` (see `H1_WATCH_*`).

    `close()`: `mark_closed()`, close the transport, await the watcher event, join
    `take_watcher_handle()` and the writer.
    """
    def __new__(cls, codec: H1Codec, transport: object) -> Self: ...
    def __init__(self, codec: H1Codec, transport: object) -> None: ...
    def try_begin_exchange(self) -> bool:
        """Claim the exchange slot: False while an exchange holds it. On success the codec starts the next message in the same step.

        True: this caller owns the connection until `end_exchange`. It does not check whether the
        connection is alive: `begin_send` does.
        """
    def begin_send(self) -> tuple[object | None, object | None]:
        """(transport, watcher_done): the transport to write the request to (None when dead: send nothing) and the idle watcher's event.

        A None transport: the connection is closed or failed; raise (with the stored `error` when
        there is one), the request unsent. A watcher event not None: the idle watcher's read is in
        flight; after writing, its result is the response's first read.
        """
    def exchange_started(self) -> None:
        """The request is about to be written: a completing watcher read now belongs to the exchange.

        Call it right before writing the request head.
        """
    def store_writer(self, scope: _T) -> _T | None:
        """Store the body writer's scope: None, or scope itself when refused (closed).

        `scope` is whatever the driver uses to cancel and join its body writer. Refused once the
        connection closed: the scope comes back and the exchange tears the writer down itself.
        Otherwise None; `close()` gets it from `mark_closed`, or the exchange with `take_writer`.
        """
    def writer_done(self) -> None:
        """The writer sent the whole request body. A writer on another thread makes this step before finish_exchange runs: join it first (take_writer), or a body it finished is taken for unfinished and the connection is not reused.

        The writer sent the whole body (or there was none). Without it the connection is not reused.
        """
    def take_writer(self) -> object | None:
        """Move the writer's scope out (exactly one owner tears it down).

        Exactly one caller gets the writer (None afterwards) and tears it down.
        """
    def set_peer_http10(self, value: bool) -> None:
        """Record that the server answered with HTTP/1.0.

        `value` must be a `bool`. The driver reads `peer_http10` to send later requests as HTTP/1.0.
        """
    def finish_exchange(self, resp_keep_alive: bool) -> tuple[bool, bool, object | None]:
        """(reuse, fully_sent, transport): reuse when the response allows keep-alive and the body went out in full (the writer reported done and the codec framed the request to its end); otherwise the connection closes in the same step and its transport comes back.

        `resp_keep_alive` (a `bool`) is the response head's `wants_keep_alive`. `(True, True,
        None)`: keep the connection. Otherwise it is closed in this step: close the returned
        transport; `fully_sent` says whether the request body went out in full (a request whose body
        did not may not be retried blindly). A writer finishing at the same moment cannot turn a
        complete upload into an incomplete one: the decision reads and closes in one step.
        """
    def end_exchange(self) -> bool:
        """Free the exchange slot: False when it was already free.

        True: the slot was freed; wake the next waiter. False: already free (call it once per
        exchange).
        """
    def arm_watcher(self, done: object) -> bool:
        """Arm the idle watcher with its event: False when dead, without a transport, or while a watcher slot exists.

        Between exchanges: park a read on the idle connection so a server close or stray bytes are
        noticed. True: spawn the watcher task, which reads once, sets `done` and reports with
        `watcher_completed`. False: dead, no transport, or a watcher exists.
        """
    def store_watcher_handle(self, handle: _T) -> _T | None:
        """Store the watcher's task handle: None, or handle itself when refused (join it yourself).

        Refused (the handle comes back) when the connection closed, there is no slot, or one is
        stored: the caller joins it itself.
        """
    def watcher_completed(
        self, /, data: bytes | None = None, error: BaseException | None = None
    ) -> tuple[int, object | None]:
        """The watcher's read completed: (H1_WATCH_* verdict, transport to close or None).

        `data` the bytes read (b"" for EOF, None when the watcher found no transport), `error` an
        exception or None. Act on the verdict (`H1_WATCH_HANDOFF`, `H1_WATCH_IDLE_EOF`,
        `H1_WATCH_IDLE_BYTES`, `H1_WATCH_IDLE_ERROR`, `H1_WATCH_IGNORED`); the transport is not None
        only with `H1_WATCH_IDLE_EOF`. Raises `TypeError` when `data` is not bytes or None.
        """
    def watcher_aborted(self) -> None:
        """The watcher found no transport: its slot completes empty.

        The watcher task found no transport (a racing close).
        """
    def watcher_done(self) -> object | None:
        """The watcher slot's event, or None without a slot.

        The event the watcher sets; None without a watcher.
        """
    def take_watcher_handle(self) -> object | None:
        """Move the watcher's task handle out, to join it.

        Exactly one caller gets it (None afterwards), to join it.
        """
    def take_watcher_handoff(self) -> tuple[object | None, bytes | None, BaseException | None]:
        """(handle, data, error) of the completed watcher, in one step; the slot is removed. A read still in flight gives (None, None, None).

        The exchange's first read, after the watcher event fired: `(handle, data, error)`, the slot
        removed. Join the handle (it has finished), then use `data` as the first response bytes or
        raise `error`. `(None, None, None)` without a completed watcher.
        """
    def take_watcher_result(self) -> tuple[bytes | None, BaseException | None]:
        """(data, error) of the completed watcher; the slot is removed unless a handle is still stored.

        Like `take_watcher_handoff` without the handle, which stays for `close()` to join.
        """
    def fail(self, /, exc: BaseException | None = None) -> object | None:
        """Poison and close: exc is stored when no error is (the first one wins). Returns the transport, or None.

        `exc` (an exception or None; pass a copy without traceback) is stored when no error is; the
        first error wins. The state closes: close the returned transport. Later requests see
        `begin_send` return no transport and raise from `error`.
        """
    def close_now(self) -> object | None:
        """Close without an error; returns the transport, or None.

        A finished connection that will not be reused.
        """
    def mark_closed(self) -> tuple[object | None, object | None, object | None, bool]:
        """close(): (transport, watcher_done, writer, idle); the watcher slot stays to be awaited and joined.

        `(transport, watcher_done, writer, idle)`: close the transport; await `watcher_done` and
        join `take_watcher_handle()`; tear the writer down; `idle` True when no exchange held the
        connection (shut it down as a finished connection), False when an exchange is dropped
        midway.
        """
    def upgrade(self) -> object | None:
        """Hand the transport over after a protocol switch; it is never returned again.

        A 101 or a 2xx to CONNECT: the transport is handed to the caller and the state is closed; it
        never returns the transport again.
        """
    def transport_ref(self) -> object | None:
        """The transport, or None once closed or handed off.

        For a read or write during an exchange; None means closed: raise `ConnectionClosedError`.
        """
    def is_dead(self) -> bool:
        """Closed or failed.

        Closed or failed: no exchange can run; pools drop such connections.
        """
    @property
    def codec(self) -> H1Codec:
        """The connection's H1Codec."""
    @property
    def error(self) -> BaseException | None:
        """The stored connection error (the first one), or None.

        The same object `fail` stored; raise a new exception chained from it.
        """
    @property
    def closed(self) -> bool:
        """No further exchange may start."""
    @property
    def upgraded(self) -> bool:
        """The transport was handed off after a protocol switch."""
    @property
    def busy(self) -> bool:
        """An exchange holds the connection."""
    @property
    def has_watcher(self) -> bool:
        """A watcher slot exists (armed, or completed and not yet consumed)."""
    @property
    def peer_http10(self) -> bool:
        """The server answered with HTTP/1.0."""
    @property
    def writer_finished(self) -> bool:
        """The current exchange's writer sent the whole request body."""

@final
class OnceLatch:
    """A one-shot latch: `try_acquire()` succeeds exactly once, from whichever task (or GC finalizer) gets there first — the cross-thread CAS the body's single release / single consumer and the tunnel's single close need. Never blocks.

    `OnceLatch()` starts unset. Lock-free: safe from any thread and from a finalizer.
    """
    def __new__(cls) -> Self: ...
    def try_acquire(self) -> bool:
        """True for exactly one caller: the first; False ever after."""
    @property
    def is_set(self) -> bool:
        """Whether the latch has been acquired."""

H1_WATCH_HANDOFF: Final[int]
"""watcher_completed verdict: the read belongs to the running exchange, which collects it; nothing to do.

Value 0, from `H1ClientState.watcher_completed`. The request of the current exchange is being
written, so the watcher's read is the response's first read: the state keeps the data and error. The
watcher task just ends; the exchange collects the read with `H1ClientState.take_watcher_handoff`
(after awaiting the event `begin_send` returned) and parses it as the start of the response.
"""
H1_WATCH_IDLE_EOF: Final[int]
"""watcher_completed verdict: the idle connection reached EOF and is closed; close the returned transport.

Value 1, from `H1ClientState.watcher_completed`. The server closed the idle connection (EOF, or the
watcher found no transport). The state is closed in the same step and returns the transport: close
it. Requests later find `begin_send` returning no transport and are retried on another connection.
"""
H1_WATCH_IDLE_BYTES: Final[int]
"""watcher_completed verdict: the server sent bytes outside any response; fail the connection.

Value 2, from `H1ClientState.watcher_completed`. The server sent bytes outside any response. The
driver poisons the connection with `H1ClientState.fail(H1UnexpectedMessageError(...))` and closes
the transport `fail` returns; the bytes are not kept.
"""
H1_WATCH_IDLE_ERROR: Final[int]
"""watcher_completed verdict: the idle read failed; fail the connection with that error.

Value 3, from `H1ClientState.watcher_completed`. The idle read failed with the error passed in. The
state does not store it: the driver calls `H1ClientState.fail(error)` and closes the returned
transport.
"""
H1_WATCH_IGNORED: Final[int]
"""watcher_completed verdict: nothing for the caller (no watcher, or a close came first).

Value 4, from `H1ClientState.watcher_completed`. Nothing to do: no watcher slot exists (the read was
reported already, or `close()` cleared it), or the read failed on a connection a racing close had
closed first.
"""
H1_NEXT_NONE: Final[int]
"""begin_read / drain_done code: serve no more requests on this connection.

Value 0, from `H1ServerState.begin_read`. The connection serves no more requests: it is closed, or
not reusable (keep-alive off, the request or response ended the connection, `request_shutdown`,
`mark_unusable`). Leave the serve loop; `close()` (`H1ServerState.mark_closed`) ends the connection.
The second item is None.
"""
H1_NEXT_RAISE: Final[int]
"""begin_read code: the current request is still unanswered; the next head cannot be read yet.

Value 1, from `H1ServerState.begin_read`. The current request's response is not fully written yet
(`finish_response` / `fail_response` not called): the next head is read only after it. Calling
`begin_read` here is a driver error; raise it (the example drivers raise RuntimeError). Nothing
changed; the second item is None.
"""
H1_NEXT_CLOSE: Final[int]
"""begin_read / drain_done code: the connection closes; close the returned transport.

Value 2, from `H1ServerState.begin_read` or `H1ServerState.drain_done`. The current request's body
was not read to its end and cannot be drained (a body reader still owns the transport read, or the
drain did not reach the end). The state is closed in this step; the second item is the transport
(None once handed off): close it and leave the serve loop.
"""
H1_NEXT_DRAIN: Final[int]
"""begin_read code: drain the unread request body, then call drain_done.

Value 3, from `H1ServerState.begin_read`. The response is done but the request body was not read to
its end; the drain now owns the transport read. First decode what the request's decoder
(`current_decoder`) already holds: the body bytes that came with the head may be the whole body,
and then the client waits for its response and a read would never return. Only while the decoder
is not complete, read what arrives (bounded in bytes and time), feed it and decode again. Report
with `H1ServerState.drain_done(complete)`, which answers like `begin_read`. The second item is None.
"""
H1_READ_PARSE: Final[int]
"""begin_read / drain_done code: bytes are buffered; parse them with accept_head(b"").

Value 4, from `H1ServerState.begin_read` / `drain_done`. Bytes of the next request are already
buffered (pipelined): call `H1ServerState.accept_head(b"")` without reading. The head-read clock
runs. The second item is None.
"""
H1_READ_SHUTDOWN: Final[int]
"""begin_read / drain_done code: a shutdown was requested; stop serving.

Value 5, from `H1ServerState.begin_read` / `drain_done`. A graceful shutdown was requested and
nothing is buffered: stop serving (`H1ServerState.stop_serving`, then `close()`). The second item is
None.
"""
H1_READ_WATCHER: Final[int]
"""begin_read / drain_done code: await the returned watcher event, then feed its result to accept_head.

Value 6, from `H1ServerState.begin_read` / `drain_done`. The mid-message watcher still has a read
parked on the transport (or completed), so that read is the next head's read: await the event in the
second item, take the read with `H1ServerState.take_watcher_result()` and pass its bytes to
`accept_head` (an error or b"" ends the connection as a failed or closed idle read would). The
head-read clock runs.
"""
H1_READ_TRANSPORT: Final[int]
"""begin_read / drain_done code: read the next head from the returned transport.

Value 7, from `H1ServerState.begin_read` / `drain_done`. Read the next head from the transport in
the second item and pass what the read returns to `H1ServerState.accept_head`; if the read ends
without bytes (EOF, error), call `H1ServerState.unpark_idle_read()` first. The head-read clock runs
(`head_read_overdue`).
"""
H1_READ_EOF: Final[int]
"""begin_read / drain_done code: no transport and nothing buffered; stop serving.

Value 8, from `H1ServerState.begin_read` / `drain_done`. No transport is left and nothing is
buffered: stop serving. The second item is None.
"""
H1_REQ_OK: Final[int]
"""respond_head / detach code: done; proceed.

Value 0, from `H1ServerState.respond_head` / `detach`. respond_head: the response is claimed and its
head encoded; write the head bytes to the transport returned with it (a None transport: the
connection closed meanwhile, so fail the response with `fail_response`), spawn the watcher when
`armed` is True, then write the body. detach: the raw transport and the leftover bytes are yours;
the state is closed.
"""
H1_REQ_ALREADY: Final[int]
"""respond_head / detach code: this request was already answered or detached.

Value 1, from `H1ServerState.respond_head` / `detach`. The request was already answered (a response
claimed, or detached). Nothing changed; raising is the usual answer, as for a second response.
"""
H1_REQ_STALE: Final[int]
"""respond_head / detach code: the request is no longer current on this connection.

Value 2, from `H1ServerState.respond_head` / `detach`. `seq` is not the current request (0, an
earlier request, or a request the connection moved past). Nothing changed and nothing may be written
for it.
"""
H1_REQ_PARKED: Final[int]
"""respond_head / detach code: a read is parked on the transport; the connection cannot be handed off.

Value 3, from `H1ServerState.detach`. The mid-message watcher's read is in flight on the transport,
so the connection cannot be handed over (one reader per transport, and cancelling the read could
lose bytes). Nothing changed: wait for the watcher to complete (`watcher_done`) and call `detach`
again.
"""
H1_REQ_PEER_CLOSED: Final[int]
"""respond_head code: the peer closed the connection; do not write a response.

Value 4, from `H1ServerState.respond_head`. The client closed its side while the request was in
progress (the watcher saw EOF, an error or no transport): write nothing. The claim stands (a later
respond_head answers `H1_REQ_ALREADY`). The response fails as a write into a closed connection would
(the example drivers raise `H1IncompleteMessageError`): end it with `close_window(seq)` and
`fail_response(seq)`, and close the transport the latter returns.
"""
H1_REQ_CONTINUE: Final[int]
"""respond_head code: a 100 Continue was claimed; await its write, then call respond_head again.

Value 5, from `H1ServerState.respond_head`. The body reader claimed the 100 Continue
(`try_send_continue` returned True) and is writing it. The claim stands, nothing is encoded: wait
until that 100 Continue has been written (the state cannot see the write: the driver signals it, for
example with an event per request), then call `respond_head` again with the same arguments. The
second call answers `H1_REQ_OK` at once, so calling it before the 100 is written lets the final head
go out first.
"""

# ProxyMatcher, ProxyIntercept
@final
class ProxyMatcher:
    """Proxy selection from the environment or explicit settings; build one with ProxyMatcher.from_env() or ProxyMatcher.from_parts().

    A destination host in the NO_PROXY list (a domain and its subdomains, an IP address or CIDR
    range, "*" for all) goes direct. Immutable after construction: any thread may use it.
    """
    @staticmethod
    def from_env() -> ProxyMatcher:
        """A matcher from ALL_PROXY, HTTP_PROXY, HTTPS_PROXY and NO_PROXY (upper case first, then lower case), read now. Under CGI (REQUEST_METHOD set) the environment is ignored and no proxy is used."""
    @staticmethod
    def from_parts(
        *, all: str | None = None, http: str | None = None, https: str | None = None, no: str | None = None
    ) -> ProxyMatcher:
        """A matcher from explicit settings: proxy URLs for all schemes, http and https destinations, and a comma-separated NO_PROXY list."""
    def intercept(self, url: str) -> ProxyIntercept | None:
        """The ProxyIntercept for a request to url, or None when it goes direct."""

@final
class ProxyIntercept:
    """The proxy chosen for one destination, with its credentials.

    Immutable.
    """
    @property
    def uri(self) -> str:
        """The proxy URI: scheme://host[:port]/, without credentials."""
    def basic_auth(self) -> str | None:
        """The Proxy-Authorization value ("Basic " and Base64 credentials) for an HTTP proxy whose URL carried credentials, else None."""
    def raw_auth(self) -> tuple[str, str] | None:
        """(user, password) for a SOCKS proxy whose URL carried credentials, else None."""

# WebSockets: errors, WsCodec, the handshake helpers, constants
class WsError(VelmoraError):
    """Base class of the WebSocket errors.

    Catch it for every WebSocket error of the core: a peer's violation of the framing
    (`WsProtocolError`) or a refused opening handshake (`WsHandshakeError`).
    """
class WsProtocolError(WsError):
    """The peer broke the WebSocket framing rules; fail the connection. args = (code: int, reason: str).

    `code` is the close code to answer with (1002 protocol error, 1007 invalid payload data such as
    invalid UTF-8 or corrupt compressed data, 1009 a frame or message over the limits) and `reason`
    the text to send with it: call `send_close(code, reason)`, write the frame, and close the
    transport. The codec that raised it stays failed: every later `receive` raises again with the
    same code and the reason "the connection already failed".
    """
class WsHandshakeError(WsError):
    """A WebSocket opening handshake that cannot go on. args = (message: str,).

    Raised by `ws_server_handshake` for a request that is not a valid upgrade (the server answers
    400, or 426 with `Sec-WebSocket-Version: 13` for a wrong version), and by `ws_client_check` for an
    answer that does not match the request (the client closes the connection).
    """

@final
class WsCodec:
    """The WebSocket codec (RFC 6455, with permessage-deflate of RFC 7692) of one connection, either role, sans I/O.

    `WsCodec(client, *, max_frame_size=16777216, max_message_size=16777216, streaming=False,
    extension=None)`. `client` (a bool) chooses the role: a client masks what it sends and refuses
    masked frames, a server the reverse. A frame whose payload is longer than `max_frame_size`, or
    a message longer than `max_message_size` (after decompression), fails the connection with close
    code 1009; a compressed message is refused as soon as it inflates past the limit, before more is
    buffered. With `streaming` true, text and binary messages come out as fragments as their octets
    arrive, instead of whole. `extension` is the agreed permessage-deflate element, as
    `ws_server_handshake` or `ws_client_check` returned it; a malformed one raises `ValueError`.

    The codec reads and writes bytes only: feed it what the transport read after the HTTP/1.1 101
    hand-off, or the DATA of the HTTP/2 stream an extended CONNECT opened, and write what the send
    methods return. One lock per codec, one step per call: a reader thread calling `receive` and
    any number of sender threads share one codec, and a send never waits for a receive. Frames
    from different senders never interleave, but the order of two senders' frames is the order in
    which they got the lock, and the driver writes them in the order the calls returned.
    """
    def __new__(
        cls,
        client: bool,
        *,
        max_frame_size: int = 16777216,
        max_message_size: int = 16777216,
        streaming: bool = False,
        extension: str | None = None,
    ) -> Self: ...
    def receive(self, data: bytes) -> list[tuple[int, str | bytes, bool | int]]:
        """Feed received bytes; returns the events now complete, in wire order. Raises WsProtocolError on a violation.

        Each event is a tuple: (WS_EVENT_TEXT, text: str, fin: bool), (WS_EVENT_BINARY, data: bytes,
        fin: bool), (WS_EVENT_PING, data: bytes, True), (WS_EVENT_PONG, data: bytes, True) or
        (WS_EVENT_CLOSE, reason: str, code: int), with code 1005 for a close frame without a code.
        `fin` is always True unless the codec streams, when it marks a message's last fragment; a
        streamed text fragment always ends on a whole character. Bytes are kept only as far as a
        frame header (at most 14 octets) needs: payloads are unmasked, inflated and validated as
        they arrive, so a frame or a character split anywhere across reads decodes the same.

        Answer a ping with `send_pong(data)`, a close with `send_close(code)` (then close the
        transport once `may_close_transport` is True). After our own close, data frames are read
        and dropped; control frames still come out. A violation raises `WsProtocolError(code,
        reason)` and fails the codec: send `send_close(code, reason)` and close. Events decoded
        before the violation in the same call are lost with it.
        """
    def send_text(self, text: str, fin: bool = True) -> bytes | None:
        """One text frame carrying text (a whole message, or with fin False the first or next fragment); None when refused.

        The frame comes back as bytes to write, built at its final size (masked with a fresh key
        from the OS in the client role, compressed when permessage-deflate is agreed). Refused
        (None) once our close is sent, after a violation, and after the peer's close unless it ends
        a fragmented message. A fragment of binary inside an unfinished text message raises
        `ValueError`; a str that cannot be encoded (lone surrogates) raises `UnicodeEncodeError`.
        """
    def send_binary(self, data: bytes, fin: bool = True) -> bytes | None:
        """One binary frame carrying data (a whole message, or with fin False the first or next fragment); None when refused.

        As `send_text`, for binary messages; a fragment of text inside an unfinished binary message
        raises `ValueError`.
        """
    def send_ping(self, data: bytes = b"") -> bytes | None:
        """A ping frame; None once our close is sent or after a violation.

        Control frames may go between the fragments of a message. A payload longer than 125 octets
        raises `ValueError`.
        """
    def send_pong(self, data: bytes = b"") -> bytes | None:
        """A pong frame (the answer to a ping carries its data); None once our close is sent or after a violation.

        A payload longer than 125 octets raises `ValueError`.
        """
    def send_close(self, code: int | None = 1000, reason: str = "") -> bytes | None:
        """Our close frame; None if it was already sent.

        `code` None sends a close without a code (then `reason` must be empty). A code a close frame
        may not carry (only 1000-1003, 1007-1014 and 3000-4999 may) or a reason over 123 octets in
        UTF-8 raises `ValueError`. Allowed after a violation, to answer it. From now on nothing but
        this frame is sent; received data is dropped until the peer's close.
        """
    @property
    def client(self) -> bool:
        """True for the client role."""
    @property
    def state(self) -> int:
        """The close handshake's state: one of the WS_STATE_* constants."""
    @property
    def may_close_transport(self) -> bool:
        """True once the transport (or the HTTP/2 stream) may be closed.

        Both closes have passed (ours sent, the peer's received), or the connection failed and our
        close was sent. RFC 6455 has the server close the TCP connection first; a client waits for it
        for a while before closing itself.
        """
    @property
    def close_code(self) -> int | None:
        """The code of the peer's close (1005 for a close without a code), or None before it arrived."""
    @property
    def failure(self) -> tuple[int, str] | None:
        """(code, reason) of the violation that failed the connection, or None."""
    @property
    def max_frame_size(self) -> int:
        """The largest payload accepted in one frame, in octets."""
    @property
    def max_message_size(self) -> int:
        """The largest message accepted (after decompression), in octets."""
    @property
    def streaming(self) -> bool:
        """Whether messages come out as fragments."""
    @property
    def extension(self) -> str | None:
        """The agreed permessage-deflate element the codec runs, or None."""

def ws_accept_key(key: str) -> str:
    """The Sec-WebSocket-Accept value for a Sec-WebSocket-Key: base64 of the SHA-1 of key and the protocol's GUID.

    For example "dGhlIHNhbXBsZSBub25jZQ==" gives "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=".
    """
def ws_make_key() -> str:
    """A new Sec-WebSocket-Key: 16 octets from the OS's random source, in base64 (24 characters)."""
def ws_server_handshake(
    request: HeaderMap, subprotocols: list[str] | tuple[str, ...] = (), deflate: str | None = "permessage-deflate", http2: bool = False
) -> tuple[HeaderMap, str | None, str | None]:
    """Check an upgrade request and choose what to agree on: (response fields, subprotocol, extension). Raises WsHandshakeError.

    Over HTTP/1.1 (a GET with Upgrade) the request must carry `Upgrade: websocket`, a `Connection`
    naming upgrade, a `Sec-WebSocket-Key` of 16 octets in base64 and `Sec-WebSocket-Version: 13`;
    over HTTP/2 (`http2` True: an extended CONNECT with `:protocol` websocket) only the version.
    The subprotocol is the first of `subprotocols` (our order of preference) that the client
    offers, else None. `deflate` states our permessage-deflate preferences as an element
    ("permessage-deflate; server_no_context_takeover; server_max_window_bits=10", ...; None: no
    compression); the first offer of the client that is well formed and that we can honour is
    accepted (an offer asking for a 256-octet server window is not: zlib has none). The response
    fields (`upgrade`, `connection`, `sec-websocket-accept` over HTTP/1.1; the chosen
    `sec-websocket-protocol` and `sec-websocket-extensions`) go into the 101 (or the 200 over
    HTTP/2); the extension, when one was agreed, is the `extension` argument of the server's
    `WsCodec`.
    """
def ws_client_request(
    key: str, subprotocols: list[str] | tuple[str, ...] = (), deflate: str | None = "permessage-deflate; client_max_window_bits", http2: bool = False
) -> HeaderMap:
    """The WebSocket fields of a client's upgrade request, for the key from ws_make_key().

    Over HTTP/1.1: `upgrade`, `connection`, `sec-websocket-key`, `sec-websocket-version`; over
    HTTP/2 the version only (the extended CONNECT carries `:protocol` instead). With the offers of
    `subprotocols` and of permessage-deflate (`deflate`, the element offered; None: none).
    """
def ws_client_check(
    response: HeaderMap,
    key: str,
    subprotocols: list[str] | tuple[str, ...] = (),
    deflate: str | None = "permessage-deflate; client_max_window_bits",
    http2: bool = False,
) -> tuple[str | None, str | None]:
    """Check the server's answer to our upgrade request: (subprotocol, extension). Raises WsHandshakeError.

    Give the same key, subprotocols and deflate offer as to `ws_client_request`. Over HTTP/1.1 the
    101 must carry `Upgrade: websocket`, `Connection: upgrade` and the `Sec-WebSocket-Accept` of
    our key. A subprotocol we did not offer, an extension we did not offer, or permessage-deflate
    parameters we cannot honour (`client_max_window_bits=8`: zlib has no 256-octet window) fail
    the handshake. The extension, when one was agreed, is the `extension` argument of the client's
    `WsCodec`.
    """

WS_EVENT_TEXT: Final[int]
"""Event kind of `WsCodec.receive`: a text message or fragment, (WS_EVENT_TEXT, text: str, fin: bool). Value 0."""
WS_EVENT_BINARY: Final[int]
"""Event kind of `WsCodec.receive`: a binary message or fragment, (WS_EVENT_BINARY, data: bytes, fin: bool). Value 1."""
WS_EVENT_PING: Final[int]
"""Event kind of `WsCodec.receive`: a ping, (WS_EVENT_PING, data: bytes, True); answer with `send_pong(data)`. Value 2."""
WS_EVENT_PONG: Final[int]
"""Event kind of `WsCodec.receive`: a pong, (WS_EVENT_PONG, data: bytes, True). Value 3."""
WS_EVENT_CLOSE: Final[int]
"""Event kind of `WsCodec.receive`: the peer's close, (WS_EVENT_CLOSE, reason: str, code: int); code 1005 when it carried none. Value 4."""
WS_STATE_OPEN: Final[int]
"""`WsCodec.state`: both directions open. Value 0."""
WS_STATE_CLOSE_SENT: Final[int]
"""`WsCodec.state`: our close is sent, the peer's is awaited; received data is dropped. Value 1."""
WS_STATE_CLOSE_RECEIVED: Final[int]
"""`WsCodec.state`: the peer's close arrived; send ours (`send_close`). Value 2."""
WS_STATE_CLOSED: Final[int]
"""`WsCodec.state`: both closes passed; close the transport. Value 3."""
WS_STATE_FAILED: Final[int]
"""`WsCodec.state`: the peer broke the protocol; send our close with the failure's code, then close the transport. Value 4."""
WS_DEFAULT_MAX_FRAME_SIZE: Final[int]
"""The default `max_frame_size` of `WsCodec`: 16777216 octets (16 MiB)."""
WS_DEFAULT_MAX_MESSAGE_SIZE: Final[int]
"""The default `max_message_size` of `WsCodec`: 16777216 octets (16 MiB)."""
