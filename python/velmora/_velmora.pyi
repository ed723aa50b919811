"""Type stubs for velmora._velmora, the sans-IO protocol core."""

from collections.abc import Iterable, Iterator, Mapping
from typing import ClassVar, Final, Literal, Self, TypeVar, overload

_T = TypeVar("_T")
_Name = str | bytes
_Value = str | bytes

__version__: Final[str]
"""The package version in Python's form (pre-release suffixes as a/b)."""

class VelmoraError(Exception):
    """Base class for every velmora error (HTTP/1 and HTTP/2)."""
class ConnectionClosedError(VelmoraError):
    """The transport failed (reset, I/O error, shutdown failure) with work still in flight. Not a protocol violation. args = (message: str,)."""

class HeaderMap:
    """Ordered, case-insensitive, multi-valued header collection: names are lowercase str, values bytes."""
    def __init__(
        self, init: HeaderMap | Mapping[_Name, _Value] | Iterable[tuple[_Name, _Value]] | None = None
    ) -> None: ...
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
    """The current Date header value (29-byte IMF-fixdate), cached per second."""
def uri_parts(url: str) -> tuple[str | None, str | None, int | None, str | None]:
    """Split a URL into (scheme, host, port, authority) with the codecs' URI parser."""

class H2Codec:
    """HTTP/2 frame codec: frames decoded into events, HPACK in both directions, every frame type encoded."""
    def __init__(self, role: str = "client") -> None: ...
    @property
    def role_client(self) -> bool:
        """True for the client role."""
    def receive(self, data: bytes) -> list[_H2Frame]:
        """Feed received bytes; returns the list of frame events now decodable. Raises H2ProtocolError on a connection error. A malformed header block (a forbidden field, a value starting or ending with SP or HTAB, pseudo-headers wrong for a request (server role) or a response (client role)) is decoded to its end and reported as H2FrameStreamError(stream_id, 1)."""
    def buffered(self) -> int:
        """Octets in the read buffer awaiting a complete frame."""
    def feed_preface(self, data: bytes) -> bool | None:
        """Accumulate data and classify it against the client preface: True matched (the octets after it move into the read buffer), None a matching but incomplete prefix, False diverged."""
    def set_send_header_table_size(self, val: int) -> None:
        """The peer's SETTINGS_HEADER_TABLE_SIZE: clamped to 4096 and announced in the next header block."""
    def set_recv_header_table_size(self, val: int) -> None:
        """The SETTINGS_HEADER_TABLE_SIZE we advertised: bounds the peer's next size updates."""
    def set_max_recv_frame_size(self, val: int) -> None:
        """Largest accepted frame payload (16384..16777215)."""
    def set_max_header_list_size(self, val: int) -> None:
        """Limit on a decoded header list."""
    def set_send_max_frame_size(self, val: int) -> None:
        """The peer's SETTINGS_MAX_FRAME_SIZE (16384..16777215)."""
    def serialize_settings(
        self, /,
        *,
        header_table_size: int | None = None,
        enable_push: bool | None = None,
        max_concurrent_streams: int | None = None,
        initial_window_size: int | None = None,
        max_frame_size: int | None = None,
        max_header_list_size: int | None = None,
    ) -> bytes:
        """One SETTINGS frame with the given parameters."""
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
    ) -> bytes:
        """HEADERS (+ CONTINUATION) for a request head. A value starting or ending with SP or HTAB raises H2UserError('malformed_headers', ...)."""
    def serialize_response_headers(
        self,
        stream_id: int,
        status: int,
        headers: HeaderMap | None = None,
        end_stream: bool = False,
        auto_date: bool = False,
    ) -> bytes:
        """HEADERS (+ CONTINUATION) for a response head. A value starting or ending with SP or HTAB raises H2UserError('malformed_headers', ...)."""
    def serialize_trailers(self, stream_id: int, trailers: HeaderMap) -> bytes:
        """HEADERS (+ CONTINUATION) with END_STREAM carrying the regular fields of trailers. A value starting or ending with SP or HTAB raises H2UserError('malformed_headers', ...)."""
    def serialize_data(self, stream_id: int, data: bytes, end_stream: bool = False) -> bytes:
        """One DATA frame; raises H2UserError('payload_too_big', ...) past the peer's frame size."""
    def serialize_window_update(self, stream_id: int, increment: int) -> bytes:
        """One WINDOW_UPDATE frame."""
    def serialize_ping(self, payload: bytes) -> bytes:
        """One PING frame with an 8-byte payload."""
    def serialize_ping_ack(self, payload: bytes) -> bytes:
        """The PING acknowledgement echoing payload."""
    def serialize_go_away(self, last_stream_id: int, error_code: int, debug_data: bytes | None = None) -> bytes:
        """One GOAWAY frame on stream 0."""
    def serialize_rst_stream(self, stream_id: int, error_code: int) -> bytes:
        """One RST_STREAM frame."""
    @staticmethod
    def match_preface(data: bytes) -> bool | None:
        """Compare data with the client preface: False on a difference, None for a matching prefix shorter than 24 octets, True once the preface is complete."""
    @staticmethod
    def check_send_headers(headers: HeaderMap) -> None:
        """Raise H2UserError('malformed_headers', ...) for a field set HTTP/2 forbids (a connection-specific field, te other than trailers, a value starting or ending with SP or HTAB); else None."""
    @staticmethod
    def method_is_head(method: str) -> bool:
        """True when method is exactly HEAD."""
    @staticmethod
    def is_client_initiated(stream_id: int) -> bool:
        """True for odd stream ids."""

class H2FrameHeaders:
    """A complete header block (HEADERS + CONTINUATION) on a stream."""
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

class H2FrameData:
    """A DATA frame."""
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

class H2FrameSettings:
    """A SETTINGS frame, or its acknowledgement."""
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

class H2FrameWindowUpdate:
    """A WINDOW_UPDATE frame."""
    @property
    def stream_id(self) -> int:
        """The stream id (0: the connection)."""
    @property
    def increment(self) -> int:
        """The window size increment."""

class H2FramePing:
    """A PING frame, or its acknowledgement."""
    @property
    def data(self) -> bytes:
        """The 8-octet payload."""
    @property
    def ack(self) -> bool:
        """A reply to our PING."""

class H2FrameGoAway:
    """A GOAWAY frame."""
    @property
    def last_stream_id(self) -> int:
        """The last stream the peer processed."""
    @property
    def error_code(self) -> int:
        """The error code."""
    @property
    def debug_data(self) -> bytes:
        """Opaque debug data (bytes, possibly empty)."""

class H2FrameRstStream:
    """A RST_STREAM frame."""
    @property
    def stream_id(self) -> int:
        """The stream id."""
    @property
    def error_code(self) -> int:
        """The error code."""

class H2FramePriority:
    """A PRIORITY frame (its priority information is ignored)."""
    @property
    def stream_id(self) -> int:
        """The stream id."""

class H2FrameStreamError:
    """A stream-level protocol error found while decoding: reset stream_id with error_code and keep the connection."""
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

class H2StreamState:
    """The state of one HTTP/2 stream (RFC 9113, section 5.1); starts idle. Each method is one step under the object's lock."""
    def __init__(self) -> None: ...
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

class H2FlowControl:
    """One HTTP/2 flow-control window with its accounted capacity (RFC 9113, section 6.9); both start at 0."""
    def __init__(self) -> None: ...
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

class H2ContentLength:
    """The declared content-length of one received message, counted down by each DATA payload."""
    def __init__(self, is_head: bool = False) -> None: ...
    def set(self, /, value: int) -> None:
        """A declared content-length: value octets are now expected (a HEAD answer stays empty)."""
    def dec(self, /, len: int) -> bool:
        """Count a DATA payload. False (and nothing counted) when it exceeds what remains, or is not empty on a HEAD answer."""
    def is_satisfied(self) -> bool:
        """False only while a declared length still expects octets."""
    def is_head(self) -> bool:
        """The message answers a HEAD request."""

class H2DataFrameBudget:
    """The connection-wide budget against peers that cut DATA into tiny or empty frames. The limit is `configured`, else half the connection window but at least 25600, else 32767."""
    def __init__(self, configured: int | None = None, connection_window: int | None = None) -> None: ...
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

class H2Stopped:
    """Why a stream stopped: reason (int or None) and conn (bool)."""
    @property
    def reason(self) -> int | None:
        """RST_STREAM or GOAWAY error code, or None."""
    @property
    def conn(self) -> bool:
        """A connection-level error applies."""

class H2RecvHeadersVerdict:
    """The outcome of H2Streams.recv_headers."""
    @property
    def kind(self) -> int:
        """One of the H2_HEADERS_* outcomes."""
    @property
    def handle(self) -> object | None:
        """The stream's handle, or None."""
    @property
    def stream_id(self) -> int:
        """The stream id."""
    @property
    def eof(self) -> bool:
        """The peer ended its side with this frame."""
    @property
    def flags(self) -> int:
        """H2_FLAG_* bits."""

class H2RecvDataVerdict:
    """The outcome of H2Streams.recv_data."""
    @property
    def handle(self) -> object | None:
        """The stream's handle, or None."""
    @property
    def payload(self) -> bytes | None:
        """The payload to deliver, or None."""
    @property
    def budgeted(self) -> bool:
        """Return the chunk with release_data_frame once consumed."""
    @property
    def eof(self) -> bool:
        """The peer ended its side with this frame."""
    @property
    def flags(self) -> int:
        """H2_FLAG_* bits."""

class H2SendVerdict:
    """The outcome of a send step of H2Streams."""
    @property
    def sent(self) -> int:
        """Octets of data[offset:] framed and queued."""
    @property
    def done(self) -> bool:
        """The last octet (and END_STREAM if asked) is queued."""
    @property
    def stopped(self) -> H2Stopped | None:
        """H2Stopped when the stream cannot send."""
    @property
    def flags(self) -> int:
        """H2_FLAG_* bits."""
    @property
    def handle(self) -> object | None:
        """Server: the stream's handle when its unread request body was reset."""
    @property
    def reader_stop(self) -> H2Stopped | None:
        """Server: the stop the body readers must see, with handle."""
    @property
    def refused(self) -> bool:
        """An informational (1xx) head came after the final head was queued: nothing was queued."""

class H2ResetVerdict:
    """The outcome of a reset step of H2Streams."""
    @property
    def handle(self) -> object | None:
        """The stream's handle, or None."""
    @property
    def stop(self) -> H2Stopped | None:
        """H2Stopped for the body readers, or None."""
    @property
    def flags(self) -> int:
        """H2_FLAG_* bits."""

class H2WriteBatch:
    """One write batch: the pending bytes taken by H2Streams.take_pending, exported read-only through the buffer protocol.

    Not a module attribute: only returned (inside a memoryview) by H2Streams.take_pending.
    """
    def __len__(self) -> int: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...

class H2Streams:
    """Connection and stream state of one HTTP/2 connection.

    Threads: receive() decodes under the decoder lock alone and belongs to one thread (the read pump, which then runs each event's recv_* step); take_pending and credit_written belong to the write pump. Every other method is one step under the state lock and may run on any thread at once with the pumps and with each other. begin() comes before every step that queues a frame: start the threads that use the connection after it. The state never calls an object it holds (stream handles, task or thread handles, the stored error): handles come back in verdicts and lists, and waking them is the driver's, after the step returned, so a driver may hold its own locks across any call.
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
    ) -> H2Streams: ...
    def __init__(self, *args: object, **kwargs: object) -> None: ...
    def begin(self) -> None:
        """Queue the client preface (client), our SETTINGS and the connection WINDOW_UPDATE. Comes first: every step that can queue a frame raises H2UserError('send_before_preface', ...) before it, changing nothing.

        Queue the client preface (client), our SETTINGS and the connection WINDOW_UPDATE.

        Comes first: every step that can queue a frame (open_stream, send_data,
        send_trailers, send_response_head, recv_headers, recv_data, recv_settings,
        recv_ping, recv_go_away, recv_reset, release_capacity, reset_stream,
        reset_on_error, aclose_body, send_goaway, begin_graceful_shutdown) raises
        H2UserError("send_before_preface", ...) before it, changing nothing
        (open_stream gives its claimed slot back).
        """
    def receive(self, data: bytes) -> list[_H2Frame]:
        """Decode received bytes under the decoder lock alone; returns the list of frame events."""
    def prime(self, data: bytes) -> bool | None:
        """Feed bytes a reader already took off the transport: True, False (preface mismatch) or None (preface incomplete)."""
    def try_claim_slot(self) -> bool:
        """Claim a concurrency slot unless the stream limit is reached."""
    def can_open(self) -> bool:
        """Whether a slot could be claimed now."""
    def release_slot_count(self) -> None:
        """Give back a claimed slot that did not become a stream."""
    def apply_stream_limit(self, limit: int | None) -> None:
        """Set the limit on our open streams (None: unlimited)."""
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
    ) -> int | None:
        """Open a client stream and queue its HEADERS; returns its id, or None when the connection is failed or received GOAWAY. A header value starting or ending with SP or HTAB raises H2UserError('malformed_headers', ...) and releases the claimed slot."""
    def accepted(self, sid: int) -> None:
        """The application pulled the queued request sid."""
    def has_stream(self, sid: int) -> bool:
        """A stream record exists."""
    def is_recv_end_stream(self, sid: int) -> bool:
        """The peer ended its side of the stream."""
    def stream_state(self, sid: int) -> str | None:
        """Debug rendering of the stream's state, or None."""
    def stream_recv_unreleased(self, sid: int) -> int | None:
        """Delivered octets not yet released, or None."""
    def stream_recv_reclaimed(self, sid: int) -> bool | None:
        """Whether the stream's capacity was reclaimed, or None."""
    def stream_data_budget_charged(self, sid: int) -> int | None:
        """DATA-frame budget charge not yet returned, or None."""
    def stream_send_buffered(self, sid: int) -> int | None:
        """Octets framed and not yet credited as written, or None."""
    def stream_send_window(self, sid: int) -> int | None:
        """The stream's send window floored at 0, or None."""
    def in_reset_store(self, sid: int) -> bool:
        """The reset store holds an entry for sid."""
    def set_next_stream_id(self, sid: int) -> None:
        """Test hook: the next client stream id."""
    def set_max_stream_id(self, sid: int) -> None:
        """Test hook: the phase-2 last-stream-id as if graceful lowered it."""
    def set_last_processed_id(self, sid: int) -> None:
        """Test hook: the last processed stream id."""
    def recv_headers(self, frame: H2FrameHeaders, spare: object | None = None) -> H2RecvHeadersVerdict:
        """Apply a received HEADERS frame. A head without pseudo-headers (a request, or a response without :status) and trailers carrying one raise H2StreamError(stream_id, 1, 'library')."""
    def recv_data(self, frame: H2FrameData) -> H2RecvDataVerdict:
        """Apply a received DATA frame."""
    def recv_window_update(self, frame: H2FrameWindowUpdate) -> list[object]:
        """Apply a WINDOW_UPDATE; returns the handles whose senders must be woken."""
    def recv_settings(self, frame: H2FrameSettings) -> tuple[bool, list[object], int]:
        """Apply a SETTINGS frame or its ACK; returns (initial, wake_windows, flags)."""
    def recv_ping(self, frame: H2FramePing) -> int:
        """Answer a PING; returns flags."""
    def recv_go_away(self, frame: H2FrameGoAway) -> tuple[list[tuple[object, H2Stopped]], int]:
        """Apply a GOAWAY; returns (aborted, flags)."""
    def recv_reset(self, frame: H2FrameRstStream) -> tuple[object, H2Stopped | None, bool, int] | None:
        """Apply an RST_STREAM; returns (handle, stop, notify_body, flags) or None."""
    def release_capacity(self, sid: int, n: int) -> int:
        """Give back n consumed octets of receive capacity."""
    def release_data_frame(self, sid: int, payload_len: int) -> None:
        """Return a consumed chunk's charge to the DATA-frame budget."""
    def send_data(self, sid: int, data: bytes, offset: int, end_stream: bool) -> H2SendVerdict:
        """Frame at most one DATA frame of data[offset:] under flow control. A verdict that sent nothing and is not done asks the writer to wait until its handle is woken (recv_window_update, recv_settings, credit_written or next_capacity_wake name it); on threads, note the handle's wake count before this call and sleep only while it is unchanged, so a wake that lands between the call and the wait is kept."""
    def send_trailers(self, sid: int, trailers: HeaderMap) -> H2SendVerdict:
        """Queue trailers, ending the stream. A value starting or ending with SP or HTAB raises H2UserError('malformed_headers', ...)."""
    def send_response_head(self, sid: int, status: int, headers: HeaderMap | None, end_stream: bool) -> H2SendVerdict:
        """Queue a response head. A 1xx (not 101, not with end_stream) is an interim head that leaves the send side where it was; once the final head is queued it is refused (verdict.refused). A field set check_send_headers refuses raises H2UserError('malformed_headers', ...).

        Queue a response head.

        A 1xx status (not 101) is an interim head: it leaves the send side where
        it was, so any number may precede the final head. 101, or a 1xx with
        end_stream, raises H2UserError("invalid_informational_status_code", ...).
        A 1xx once the final head is queued is refused: nothing is queued and the
        verdict's `refused` is True.
        """
    def next_capacity_wake(self) -> object | None:
        """The handle of the next sender to wake for capacity, or None."""
    def take_pending(self) -> tuple[memoryview, bool]:
        """Move the pending bytes out as a read-only memoryview over a write batch; returns (view, stopping). If the view cannot be built the frames stay queued, first in line.

        Move the pending frames out as a read-only memoryview over a write batch; (view, stopping).

        If the view cannot be built (MemoryError) the frames stay queued, ahead of
        whatever is queued since.
        """
    def credit_written(self) -> list[object]:
        """The batches taken are written; returns the handles of the streams to wake."""
    def has_pending(self) -> bool:
        """Frames are waiting to be written."""
    def writer_start(self) -> bool:
        """Register a body writer; False once failed or closing."""
    def writer_end(self) -> bool:
        """A body writer finished; True when it was the last after release_writers."""
    def release_writers(self) -> bool:
        """No new writer may start; True when none is alive."""
    def store_task_handles(self, read: object, pump: object) -> None:
        """Store the read and pump task handles."""
    def take_read_handle(self) -> object | None:
        """The read task handle, once; then None."""
    def take_pump_handle(self) -> object | None:
        """The pump task handle, once; then None."""
    def stop_pump(self) -> None:
        """The pump drains the buffer and exits."""
    def reset_stream(self, sid: int, reason: int, initiator: Literal["user", "library", "remote"] = "user") -> H2ResetVerdict:
        """Reset a stream; returns an H2ResetVerdict."""
    def reset_on_error(self, sid: int, reason: int) -> H2ResetVerdict:
        """Reset a stream after the peer's stream-level violation; returns an H2ResetVerdict. On the server an id without a stream (a refused request head) counts as used from then on."""
    def aclose_body(self, sid: int) -> H2ResetVerdict:
        """The body reader closed early; returns an H2ResetVerdict."""
    def fail(self, exc: BaseException | None = None, message: str = "connection closed") -> list[tuple[object, H2Stopped]]:
        """Record the connection's first error and abort every stream; returns (handle, stop) pairs."""
    def conn_error(self) -> BaseException | None:
        """The stored connection error, or None."""
    def is_failed(self) -> bool:
        """An error is recorded."""
    def is_closed(self) -> bool:
        """The connection can serve no more requests."""
    def send_goaway(self, reason: int) -> int:
        """Queue GOAWAY for a violation we detected; returns flags."""
    def begin_graceful_shutdown(self) -> int:
        """Phase 1 of graceful shutdown: GOAWAY and PING."""
    def maybe_goaway_reply(self) -> int:
        """Answer the peer's GOAWAY once no stream is left; returns flags."""
    def goaway_info(self) -> tuple[int, int, bytes] | None:
        """(last_stream_id, error_code, debug_data) of the peer's GOAWAY, or None."""
    @property
    def graceful(self) -> bool:
        """Graceful shutdown has begun (begin_graceful_shutdown ran)."""
    @property
    def is_server(self) -> bool:
        """This is the server side of the connection."""
    @property
    def num_streams(self) -> int:
        """Active streams: opened or accepted and not yet closed."""
    @property
    def stream_limit(self) -> int | None:
        """The limit on our own open streams (the peer's MAX_CONCURRENT_STREAMS), or None: unlimited."""
    @property
    def max_stream_id(self) -> int:
        """The highest peer stream id still accepted (lowered by a graceful shutdown or a GOAWAY we sent)."""
    @property
    def goaway_replied(self) -> bool:
        """We answered the peer's GOAWAY with our own once the connection went idle."""
    @property
    def shutdown_final(self) -> bool:
        """The graceful shutdown reached its final phase: no stream above last_processed_id is accepted."""
    @property
    def conn_send_window(self) -> int:
        """The connection send window in bytes, floored at 0."""
    @property
    def num_open_streams(self) -> int:
        """Concurrency slots claimed (try_claim_slot) and not yet released."""
    @property
    def last_processed_id(self) -> int:
        """The highest peer-opened stream id accepted (server)."""
    @property
    def local_error_resets(self) -> int:
        """Streams we reset because the peer broke the protocol on them."""
    @property
    def conn_recv_available(self) -> int:
        """Bytes the peer may still send on the connection before we release capacity."""
    @property
    def peer_max_frame_size(self) -> int:
        """The peer's SETTINGS_MAX_FRAME_SIZE: the largest frame payload we send, in bytes."""
    @property
    def peer_initial_window_size(self) -> int:
        """The peer's SETTINGS_INITIAL_WINDOW_SIZE: the send window of each new stream, in bytes."""
    @property
    def data_frame_budget_available(self) -> int:
        """What is left of the DATA-frame budget, in bytes."""
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

H2_FLAG_WAKE: Final[int]
"""Verdict flag bit: frames were queued; run the write pump."""
H2_FLAG_SLOT_FREED: Final[int]
"""Verdict flag bit: a concurrency slot came free (or the slot limit changed); wake one slot waiter."""
H2_FLAG_CONN_DONE: Final[int]
"""Verdict flag bit: the connection is finished; wake every waiter of the connection."""
H2_FLAG_STOP_ACCEPTING: Final[int]
"""Verdict flag bit: the server's accept loop must end (graceful shutdown is final and no stream is active)."""
H2_FLAG_CAPACITY: Final[int]
"""Verdict flag bit: connection send capacity is available to another stream; call next_capacity_wake()."""
H2_HEADERS_IGNORED: Final[int]
"""recv_headers outcome: the header block was dropped; nothing to deliver."""
H2_HEADERS_OPENED: Final[int]
"""recv_headers outcome (server): a peer-opened request stream was accepted; hand it to the application."""
H2_HEADERS_HEAD: Final[int]
"""recv_headers outcome (client): the response head (interim or final) of one of our streams."""
H2_HEADERS_TRAILERS: Final[int]
"""recv_headers outcome: the trailers that end the stream's received body."""

class H2Error(VelmoraError):
    """Base class for every velmora HTTP/2 protocol error."""
class H2ProtocolError(H2Error):
    """Connection-level protocol violation (-> GOAWAY). args = (reason: int|None, message)."""
class H2StreamError(H2Error):
    """Stream-level protocol violation (-> RST_STREAM, connection survives). args = (stream_id: int, reason: int, initiator: str)."""
class H2UserError(H2Error):
    """Local API misuse (HTTP/2 user error). args = (kind: str, message: str)."""
class H2FlowControlError(H2Error):
    """Flow-control window over/underflow. args = (reason: int,)."""

class H2Reason:
    """An HTTP/2 error code (RFC 9113, section 7), 0 to 13. Compares equal to its int value; int() and index use give the code."""
    NO_ERROR: ClassVar[H2Reason]
    PROTOCOL_ERROR: ClassVar[H2Reason]
    INTERNAL_ERROR: ClassVar[H2Reason]
    FLOW_CONTROL_ERROR: ClassVar[H2Reason]
    SETTINGS_TIMEOUT: ClassVar[H2Reason]
    STREAM_CLOSED: ClassVar[H2Reason]
    FRAME_SIZE_ERROR: ClassVar[H2Reason]
    REFUSED_STREAM: ClassVar[H2Reason]
    CANCEL: ClassVar[H2Reason]
    COMPRESSION_ERROR: ClassVar[H2Reason]
    CONNECT_ERROR: ClassVar[H2Reason]
    ENHANCE_YOUR_CALM: ClassVar[H2Reason]
    INADEQUATE_SECURITY: ClassVar[H2Reason]
    HTTP_1_1_REQUIRED: ClassVar[H2Reason]
    def __new__(cls, code: int | H2Reason) -> H2Reason: ...
    @property
    def value(self) -> int:
        """The error code (int)."""
    @property
    def name(self) -> str:
        """The code's name, for example "CANCEL"."""
    def __int__(self) -> int: ...
    def __index__(self) -> int: ...
    def __hash__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...

H2_DEFAULT_HEADER_TABLE_SIZE: Final[int]
"""The HPACK dynamic table size every endpoint starts with, in bytes."""
H2_DEFAULT_INITIAL_WINDOW_SIZE: Final[int]
"""The flow-control window every stream and the connection start with, in bytes."""
H2_DEFAULT_MAX_FRAME_SIZE: Final[int]
"""The frame payload size every endpoint must accept, in bytes: the smallest allowed max_frame_size."""
H2_MAX_MAX_FRAME_SIZE: Final[int]
"""The largest allowed max_frame_size, in bytes (2**24 - 1)."""
H2_MAX_STREAM_ID: Final[int]
"""The largest stream id (2**31 - 1)."""
H2_DEFAULT_DATA_FRAME_OVERHEAD_THRESHOLD: Final[int]
"""DATA payloads shorter than this many bytes are charged to the DATA-frame budget."""
H2_DEFAULT_DATA_FRAME_BUDGET: Final[int]
"""The smallest DATA-frame budget derived from the connection window, in bytes."""
H2_MAX_RECV_EMPTY_DATA_FRAMES: Final[int]
"""Empty DATA frames (no END_STREAM) a peer may send before the connection fails."""
H2_PREFACE: Final[bytes]
"""The 24-byte HTTP/2 client connection preface."""

class H1Error(VelmoraError):
    """Base class of the HTTP/1 errors; raised itself for the kinds without a subclass. args = (message: str,)."""
class H1ParseError(H1Error):
    """A malformed HTTP/1 message head. args = (kind: str, message: str)."""
class H1BodyError(H1Error):
    """A body that cannot be decoded: a framing error, or the transport closing before the body was complete. args = (io_kind: str, message: str)."""
class H1IncompleteMessageError(H1Error):
    """The connection closed while a message was still expected. args = (message: str,)."""
class H1UnexpectedMessageError(H1Error):
    """The peer sent bytes when none were expected; poisons the connection. args = (message: str,)."""
class H1UserError(H1Error):
    """Local misuse detected on the wire path; closes the connection. args = (kind: str, message: str)."""

# H1Codec, H1ResponseHead, H1RequestHead, H1BodyDecoder

class H1Codec:
    """Per-connection HTTP/1 codec: head parsing and encoding, body framing, one read buffer."""
    def __init__(
        self,
        *,
        max_headers: int | None = None,
        ignore_invalid_headers: bool = False,
        title_case_headers: bool = False,
        date_header: bool = True,
        max_buf_size: int = 417792,
    ) -> None: ...
    def receive_head(self, data: bytes) -> H1ResponseHead | None:
        """Append data to the read buffer and parse a response head: an H1ResponseHead, or None when more bytes are needed. Informational heads are skipped. Raises H1ParseError."""
    def receive_request_head(self, data: bytes) -> H1RequestHead | None:
        """Append data to the read buffer and parse a request head: an H1RequestHead, or None when more bytes are needed. Raises H1ParseError and records parse_error_status."""
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
        """Encode a request head and keep its body encoder; returns the head bytes."""
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
        """Encode a response head and keep its body encoder; returns the head bytes."""
    def serialize_data(self, chunk: bytes) -> bytes:
        """Frame one body chunk for the message in flight."""
    def serialize_end(self) -> bytes:
        """End the body of the message in flight."""
    def serialize_trailers(self, trailers: HeaderMap) -> bytes:
        """End the body with trailer fields (only the declared, permitted ones are sent)."""
    def serialize_head_and_body(
        self, head: bytes, body: bytes | None = None, trailers: HeaderMap | None = None
    ) -> bytes:
        """One whole message in one buffer: head, framed body and its end."""
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

class H1BodyDecoder:
    """Byte-fed decoder of one HTTP/1 message body. kind is "chunked", "close" or "length" (a body of `length` bytes); any other kind is an empty body."""
    def __init__(self, kind: str, length: int = 0) -> None: ...
    def feed(self, data: bytes) -> None:
        """Append received bytes to the input; accepted in every state."""
    def mark_eof(self) -> None:
        """Record that the transport closed."""
    def decode(self) -> bytes | None:
        """Decode one step: the next body bytes, or None when more input is needed or the body has ended. Raises H1BodyError."""
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

class H1ServerState:
    """The connection + current-request state of one HTTP/1 server connection, `frozen` + `subclass`: `ServerConnection` subclasses it and adds only async machinery.

    Threads: every method is one transition under the object's lock and may be called from any thread (the serve loop, a body reader, a responder, the mid-message watcher, a head-read watchdog, a shutdown). The state never calls the transport, the watcher's event or its handle: it stores them and hands them back, and the transport a closing step returns is shut down by the caller after the step. The driver orders: one reader of the transport at a time, the one a step named (begin_read or accept_head: the serve loop; begin_body_read to end_body_read: the body reader; arm_watcher or an armed respond_head to watcher_completed: the watcher; H1_NEXT_DRAIN to drain_done: the drain); and a claimed 100 Continue written before respond_head is called again after H1_REQ_CONTINUE.
    """
    def __new__(
        cls, codec: H1Codec, transport: object, *, keep_alive: bool = True, half_close: bool = False
    ) -> Self: ...
    def __init__(self, *args: object, **kwargs: object) -> None: ...
    def begin_read(self) -> tuple[int, object | None]:
        """Where the serve loop stands before the next request: (H1_NEXT_* or H1_READ_* code, transport or watcher event or None)."""
    def drain_done(self, complete: bool) -> tuple[int, object | None]:
        """The drain's outcome: (code, transport) as begin_read answers once positioned, or (H1_NEXT_CLOSE, transport)."""
    def accept_head(self, data: bytes) -> tuple[H1RequestHead, int, H1BodyDecoder] | None:
        """Parse a request head from data (b"" for what is buffered): (head, seq, decoder), or None. Raises H1ParseError."""
    def unpark_idle_read(self) -> bool:
        """The idle read ended without bytes to parse: True when the connection was closed under it."""
    def head_read_overdue(self, timeout: float) -> tuple[bool, float | None, object | None]:
        """The head-read watchdog's step: (expired, remaining seconds or None, transport or None). It may run on a watchdog thread while the serve loop is blocked in its read: an expired read closes the state in this step; shutting the returned transport down ends that read, after which unpark_idle_read answers True. remaining is None while no head read runs: poll again later."""
    def fail_read(self) -> object | None:
        """A head parse failed or the transport broke at the request boundary: close; returns the transport."""
    def stop_serving(self) -> None:
        """A clean end between requests: closed, the transport kept for close()."""
    def mark_closed(self) -> tuple[object | None, object | None, bool]:
        """close(): (transport, watcher_done, ended)."""
    def mark_unusable(self) -> None:
        """No further request on this connection (the body read broke, or the driver will not read the request body to its end). Called before respond_head, the head carries Connection: close; the response's end closes.

        No further request on this connection (the body read broke, or the driver will
        not read the request body to its end). Called before respond_head, the head carries
        Connection: close; the response's end closes.
        """
    def request_shutdown(self) -> object | None:
        """Graceful shutdown: no further request. Returns the transport when an idle read was parked (closed now), else None."""
    def current_decoder(self) -> H1BodyDecoder | None:
        """The current request's H1BodyDecoder, or None."""
    def transport_ref(self) -> object | None:
        """The transport, or None once closed or handed off."""
    def try_send_continue(self, seq: int) -> bool:
        """Claim the 100 Continue for the request: True means write it now. A respond_head call made after this claim answers H1_REQ_CONTINUE, and its caller must await the write of the 100 before calling again: the second call answers H1_REQ_OK at once, whether or not the 100 is on the wire yet.

        Claim the 100 Continue for the request: True means write it now. A respond_head
        call made after this claim answers H1_REQ_CONTINUE, and its caller must await the
        write of the 100 before calling again: the second call answers H1_REQ_OK at once,
        whether or not the 100 is on the wire yet.
        """
    def begin_body_read(self, seq: int) -> bool:
        """The body reader is about to pull from the transport: False when the body is not readable."""
    def end_body_read(self, seq: int, complete: bool) -> None:
        """The body reader's pull returned."""
    def peer_closed_now(self, seq: int) -> bool | None:
        """peer_closed(): False when stale, None while the response window is open, then whether the client closed mid-message."""
    def peer_closed_flag(self, seq: int) -> bool:
        """Whether the client closed its side mid-message (False when stale)."""
    def arm_watcher(self, seq: int, done: object, *, want: bool = True, head_negotiated: bool = False) -> bool:
        """Ask for the mid-message watcher: True means spawn it for done and store its handle."""
    def store_watcher_handle(self, handle: _T) -> _T | None:
        """Store the watcher's task handle: None, or handle itself when refused (join it yourself)."""
    def watcher_completed(self, /, data: bytes | None = None, error: BaseException | None = None) -> bool:
        """The watcher's read completed: True when the client went away mid-message."""
    def watcher_aborted(self) -> None:
        """The watcher found no transport: its slot completes empty."""
    def watcher_done(self) -> object | None:
        """The watcher slot's event, or None without a slot."""
    def take_watcher_handle(self) -> object | None:
        """Move the watcher's task handle out, to join it."""
    def take_watcher_result(self) -> tuple[bytes | None, BaseException | None]:
        """(data, error) of the completed watcher; the slot is removed unless a handle is still stored. A read still in flight gives (None, None)."""
    def close_window(self, seq: int) -> bool:
        """The response is complete or failed: True when this call ended the mid-message window."""
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

        The response head in one step: (H1_REQ_* code, head bytes or None, armed, transport).

        H1_REQ_CONTINUE: the body reader claimed a 100 Continue (try_send_continue); await
        the write of that 100, then call again. The state cannot see the write: calling again
        before it completed gets H1_REQ_OK and lets the final head go out ahead of the 100.
        The head carries Connection: close when the connection will not be reused (keep-alive
        off, the request's own close, a shutdown, mark_unusable).
        """
    def finish_response(self, seq: int) -> tuple[bool, bool, object | None, bytes | None]:
        """The response is on the wire: (switch, close, transport, leftover). A response the codec did not frame to its end (a length body short of its count, a chunked body without its last chunk, a refused head) closes the connection.

        The response is on the wire: (switch, close, transport, leftover). A response the
        codec did not frame to its end (a length body short of its count, a chunked body
        without its last chunk, a refused head) closes the connection.
        """
    def fail_response(self, seq: int) -> object | None:
        """A failed response poisons the connection: returns the transport, or None when stale."""
    def detach(self, seq: int) -> tuple[int, object | None, bytes | None]:
        """Take over the raw connection without a response: (H1_REQ_* code, transport, leftover)."""
    @property
    def codec(self) -> H1Codec:
        """The connection's H1Codec."""
    @property
    def closed(self) -> bool:
        """The connection is closed."""
    @property
    def reusable(self) -> bool:
        """Another request may be served after the current one."""
    @property
    def upgraded(self) -> bool:
        """The transport was handed off."""
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

class H1ClientState:
    """The connection state of one HTTP/1 client connection, `frozen` + `subclass`: `Connection` (velmora/h1/client.py) subclasses it and adds only async machinery.

    Threads: every method is one transition under the object's lock and may be called from any thread. The state never calls the transport, the watcher's event or the writer and watcher handles it stores; it hands them back. The driver orders: the idle watcher's read is the next response's first read once begin_send returns its event (wait for it, then take_watcher_handoff); the body writer's writer_done before finish_exchange.
    """
    def __new__(cls, codec: H1Codec, transport: object) -> Self: ...
    def __init__(self, *args: object, **kwargs: object) -> None: ...
    def try_begin_exchange(self) -> bool:
        """Claim the exchange slot: False while an exchange holds it. On success the codec starts the next message in the same step."""
    def begin_send(self) -> tuple[object | None, object | None]:
        """(transport, watcher_done): the transport to write the request to (None when dead: send nothing) and the idle watcher's event."""
    def exchange_started(self) -> None:
        """The request is about to be written: a completing watcher read now belongs to the exchange."""
    def store_writer(self, scope: _T) -> _T | None:
        """Store the body writer's scope: None, or scope itself when refused (closed)."""
    def writer_done(self) -> None:
        """The writer sent the whole request body. A writer on another thread makes this step before finish_exchange runs: join it first (take_writer), or a body it finished is taken for unfinished and the connection is not reused."""
    def take_writer(self) -> object | None:
        """Move the writer's scope out (exactly one owner tears it down)."""
    def set_peer_http10(self, value: bool) -> None:
        """Record that the server answered with HTTP/1.0."""
    def finish_exchange(self, resp_keep_alive: bool) -> tuple[bool, bool, object | None]:
        """(reuse, fully_sent, transport): reuse when the response allows keep-alive and the body went out in full (the writer reported done and the codec framed the request to its end); otherwise the connection closes in the same step and its transport comes back.

        (reuse, fully_sent, transport): reuse when the response allows keep-alive and the
        body went out in full (the writer reported done and the codec framed the request to
        its end); otherwise the connection closes in the same step and its transport comes
        back.
        """
    def end_exchange(self) -> bool:
        """Free the exchange slot: False when it was already free."""
    def arm_watcher(self, done: object) -> bool:
        """Arm the idle watcher with its event: False when dead, without a transport, or while a watcher slot exists."""
    def store_watcher_handle(self, handle: _T) -> _T | None:
        """Store the watcher's task handle: None, or handle itself when refused (join it yourself)."""
    def watcher_completed(
        self, /, data: bytes | None = None, error: BaseException | None = None
    ) -> tuple[int, object | None]:
        """The watcher's read completed: (H1_WATCH_* verdict, transport to close or None)."""
    def watcher_aborted(self) -> None:
        """The watcher found no transport: its slot completes empty."""
    def watcher_done(self) -> object | None:
        """The watcher slot's event, or None without a slot."""
    def take_watcher_handle(self) -> object | None:
        """Move the watcher's task handle out, to join it."""
    def take_watcher_handoff(self) -> tuple[object | None, bytes | None, BaseException | None]:
        """(handle, data, error) of the completed watcher, in one step; the slot is removed. A read still in flight gives (None, None, None)."""
    def take_watcher_result(self) -> tuple[bytes | None, BaseException | None]:
        """(data, error) of the completed watcher; the slot is removed unless a handle is still stored."""
    def fail(self, /, exc: BaseException | None = None) -> object | None:
        """Poison and close: exc is stored when no error is (the first one wins). Returns the transport, or None."""
    def close_now(self) -> object | None:
        """Close without an error; returns the transport, or None."""
    def mark_closed(self) -> tuple[object | None, object | None, object | None, bool]:
        """close(): (transport, watcher_done, writer, idle); the watcher slot stays to be awaited and joined."""
    def upgrade(self) -> object | None:
        """Hand the transport over after a protocol switch; it is never returned again."""
    def transport_ref(self) -> object | None:
        """The transport, or None once closed or handed off."""
    def is_dead(self) -> bool:
        """Closed or failed."""
    @property
    def codec(self) -> H1Codec:
        """The connection's H1Codec."""
    @property
    def error(self) -> BaseException | None:
        """The stored connection error (the first one), or None."""
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

class OnceLatch:
    """A one-shot latch: `try_acquire()` succeeds exactly once, from whichever task (or GC finalizer) gets there first — the cross-thread CAS the body's single release / single consumer and the tunnel's single close need. Never blocks."""
    def __init__(self) -> None: ...
    def try_acquire(self) -> bool:
        """True for exactly one caller: the first; False ever after."""
    @property
    def is_set(self) -> bool:
        """Whether the latch has been acquired."""

H1_WATCH_HANDOFF: Final[int]
"""watcher_completed verdict: the read belongs to the running exchange, which collects it; nothing to do."""
H1_WATCH_IDLE_EOF: Final[int]
"""watcher_completed verdict: the idle connection reached EOF and is closed; close the returned transport."""
H1_WATCH_IDLE_BYTES: Final[int]
"""watcher_completed verdict: the server sent bytes outside any response; fail the connection."""
H1_WATCH_IDLE_ERROR: Final[int]
"""watcher_completed verdict: the idle read failed; fail the connection with that error."""
H1_WATCH_IGNORED: Final[int]
"""watcher_completed verdict: nothing for the caller (no watcher, or a close came first)."""
H1_NEXT_NONE: Final[int]
"""begin_read / drain_done code: serve no more requests on this connection."""
H1_NEXT_RAISE: Final[int]
"""begin_read code: the current request is still unanswered; the next head cannot be read yet."""
H1_NEXT_CLOSE: Final[int]
"""begin_read / drain_done code: the connection closes; close the returned transport."""
H1_NEXT_DRAIN: Final[int]
"""begin_read code: drain the unread request body, then call drain_done."""
H1_READ_PARSE: Final[int]
"""begin_read / drain_done code: bytes are buffered; parse them with accept_head(b"")."""
H1_READ_SHUTDOWN: Final[int]
"""begin_read / drain_done code: a shutdown was requested; stop serving."""
H1_READ_WATCHER: Final[int]
"""begin_read / drain_done code: await the returned watcher event, then feed its result to accept_head."""
H1_READ_TRANSPORT: Final[int]
"""begin_read / drain_done code: read the next head from the returned transport."""
H1_READ_EOF: Final[int]
"""begin_read / drain_done code: no transport and nothing buffered; stop serving."""
H1_REQ_OK: Final[int]
"""respond_head / detach code: done; proceed."""
H1_REQ_ALREADY: Final[int]
"""respond_head / detach code: this request was already answered or detached."""
H1_REQ_STALE: Final[int]
"""respond_head / detach code: the request is no longer current on this connection."""
H1_REQ_PARKED: Final[int]
"""respond_head / detach code: a read is parked on the transport; the connection cannot be handed off."""
H1_REQ_PEER_CLOSED: Final[int]
"""respond_head code: the peer closed the connection; do not write a response."""
H1_REQ_CONTINUE: Final[int]
"""respond_head code: a 100 Continue was claimed; await its write, then call respond_head again."""

# ProxyMatcher, ProxyIntercept
class ProxyMatcher:
    """Proxy selection from the environment or explicit settings; build one with ProxyMatcher.from_env() or ProxyMatcher.from_parts()."""
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

class ProxyIntercept:
    """The proxy chosen for one destination, with its credentials."""
    @property
    def uri(self) -> str:
        """The proxy URI: scheme://host[:port]/, without credentials."""
    def basic_auth(self) -> str | None:
        """The Proxy-Authorization value ("Basic " and Base64 credentials) for an HTTP proxy whose URL carried credentials, else None."""
    def raw_auth(self) -> tuple[str, str] | None:
        """(user, password) for a SOCKS proxy whose URL carried credentials, else None."""
