"""Frame builders and event summaries shared by the HTTP/2 codec suites."""

import struct


def frame(ftype, flags, sid, payload=b""):
    return struct.pack(">I", len(payload))[1:] + bytes([ftype, flags]) + struct.pack(">I", sid) + payload


def literal(name, value):
    """A literal field without indexing, no Huffman coding."""
    name, value = (x.encode() if isinstance(x, str) else x for x in (name, value))
    assert len(name) < 127 and len(value) < 127
    return b"\x00" + bytes([len(name)]) + name + bytes([len(value)]) + value


def headers_frames(sid, block, *, end_stream=False, piece=None, flags=0):
    """HEADERS (+ CONTINUATION) frames carrying `block` in pieces of `piece` octets."""
    piece = piece or max(1, len(block))
    parts = [block[i:i + piece] for i in range(0, len(block), piece)] or [b""]
    out = []
    for i, p in enumerate(parts):
        fl = (0x4 if i == len(parts) - 1 else 0)
        if i == 0:
            out.append(frame(1, fl | (0x1 if end_stream else 0) | flags, sid, p))
        else:
            out.append(frame(9, fl, sid, p))
    return b"".join(out)


def split_frames(wire):
    """[(type, flags, stream_id, payload)] of a run of whole frames."""
    out = []
    while wire:
        n = int.from_bytes(wire[:3], "big")
        out.append((wire[3], wire[4], int.from_bytes(wire[5:9], "big") & 0x7FFFFFFF, wire[9:9 + n]))
        wire = wire[9 + n:]
    return out


def block_of(wire):
    """The header block carried by a run of HEADERS + CONTINUATION frames."""
    return b"".join(p for t, _, _, p in split_frames(wire) if t in (1, 9))


def summary(ev):
    """A comparable tuple for any frame event."""
    name = type(ev).__name__
    if name == "H2FrameHeaders":
        return (name, ev.stream_id, ev.end_stream, ev.method, ev.scheme, ev.authority, ev.path, ev.status,
                list(ev.headers.items()), ev.content_length, ev.content_length_invalid)
    if name == "H2FrameData":
        return (name, ev.stream_id, ev.end_stream, ev.data, ev.flow_controlled_len, ev.padding)
    if name == "H2FrameSettings":
        return (name, ev.ack, ev.header_table_size, ev.enable_push, ev.max_concurrent_streams,
                ev.initial_window_size, ev.max_frame_size, ev.max_header_list_size)
    if name == "H2FramePing":
        return (name, ev.data, ev.ack)
    if name == "H2FrameGoAway":
        return (name, ev.last_stream_id, ev.error_code, ev.debug_data)
    if name == "H2FrameWindowUpdate":
        return (name, ev.stream_id, ev.increment)
    if name == "H2FramePriority":
        return (name, ev.stream_id)
    return (name, ev.stream_id, ev.error_code)
