"""Differential checks of WsCodec against wsproto's frame layer
(wsproto.frame_protocol.FrameProtocol), in process: random exchanges of
text and binary messages (whole and fragmented, control frames between
fragments, compression on and off) sent by one side are read by the other
as the same messages; hostile frames get the same verdict and close code
from both, except where velmora deliberately differs.

Deliberate differences. VIOLATIONS below marks each row with the code
wsproto gives, so that a row cannot go stale.

| input                                   | velmora                    | wsproto                       |
|-----------------------------------------|----------------------------|-------------------------------|
| frame after the peer's close            | 1002                       | not checked (frames after a   |
|                                         |                            | close are parsed)             |
| close code 1014 (bad gateway)           | accepted (registered)      | refused with 1002             |
"""

import random
import struct

import pytest

from velmora import _velmora as v

wsproto_fp = pytest.importorskip("wsproto.frame_protocol")
wsproto_ext = pytest.importorskip("wsproto.extensions")
FrameProtocol, Opcode, ParseFailed = wsproto_fp.FrameProtocol, wsproto_fp.Opcode, wsproto_fp.ParseFailed

KEY = b"\x37\xfa\x21\x3d"


def frame(b0, payload, masked):
    n = len(payload)
    m = 0x80 if masked else 0
    if n < 126:
        head = bytes([b0, m | n])
    elif n < 65536:
        head = bytes([b0, m | 126]) + struct.pack(">H", n)
    else:
        head = bytes([b0, m | 127]) + struct.pack(">Q", n)
    if masked:
        head += KEY
        payload = bytes(c ^ KEY[i % 4] for i, c in enumerate(payload))
    return head + payload


class WsprotoReader:
    """wsproto's frames as (kind, payload) messages, fragments merged across
    reads; feed() raises ParseFailed."""

    def __init__(self, client, extensions=()):
        self.fp = FrameProtocol(client=client, extensions=list(extensions))
        self.parts, self.kind = [], None

    def feed(self, data):
        self.fp.receive_bytes(data)
        out = []
        for f in self.fp.received_frames():
            if f.opcode in (Opcode.TEXT, Opcode.BINARY, Opcode.CONTINUATION):
                if f.opcode != Opcode.CONTINUATION:
                    self.kind = v.WS_EVENT_TEXT if f.opcode == Opcode.TEXT else v.WS_EVENT_BINARY
                self.parts.append(f.payload)
                if f.message_finished:
                    out.append((self.kind, ("" if self.kind == v.WS_EVENT_TEXT else b"").join(self.parts)))
                    self.parts = []
            elif f.opcode == Opcode.PING:
                out.append((v.WS_EVENT_PING, f.payload))
            elif f.opcode == Opcode.PONG:
                out.append((v.WS_EVENT_PONG, f.payload))
            elif f.opcode == Opcode.CLOSE:
                code, reason = f.payload
                out.append((v.WS_EVENT_CLOSE, (int(code), reason or "")))
        return out


def velmora_events(codec, data):
    out = []
    for kind, payload, third in codec.receive(bytes(data)):
        out.append((kind, (third, payload)) if kind == v.WS_EVENT_CLOSE else (kind, payload))
    return out


def script(rng):
    """A random exchange: (kind, payload, fragment sizes) steps, then a close."""
    steps = []
    for _ in range(rng.randrange(5, 25)):
        r = rng.random()
        if r < 0.15:
            steps.append(("ping", rng.randbytes(rng.randrange(0, 126)), None))
        elif r < 0.25:
            steps.append(("pong", rng.randbytes(rng.randrange(0, 126)), None))
        else:
            n = rng.choice([0, 1, 125, 126, 1000, 65535, 65536, rng.randrange(0, 200000)])
            if rng.random() < 0.5:
                payload = "".join(rng.choice("abc é€😀") for _ in range(n // 3))
            else:
                payload = rng.randbytes(n)
            cuts = sorted(rng.randrange(0, len(payload) + 1) for _ in range(rng.randrange(0, 4)))
            steps.append(("msg", payload, cuts))
    steps.append(("close", (rng.choice([1000, 1001, 3000, 4999]), rng.choice(["", "bye", "fin é"])), None))
    return steps


def expected(steps):
    out = []
    for kind, payload, _ in steps:
        if kind == "msg":
            out.append((v.WS_EVENT_TEXT if isinstance(payload, str) else v.WS_EVENT_BINARY, payload))
        elif kind == "close":
            out.append((v.WS_EVENT_CLOSE, payload))
        else:
            out.append((v.WS_EVENT_PING if kind == "ping" else v.WS_EVENT_PONG, payload))
    return out


def velmora_send(codec, steps):
    wire = b""
    for kind, payload, cuts in steps:
        if kind == "msg":
            send = codec.send_text if isinstance(payload, str) else codec.send_binary
            pieces = [payload[a:b] for a, b in zip([0] + cuts, cuts + [len(payload)])]
            for i, piece in enumerate(pieces):
                wire += send(piece, fin=i == len(pieces) - 1)
        elif kind == "ping":
            wire += codec.send_ping(payload)
        elif kind == "pong":
            wire += codec.send_pong(payload)
        else:
            wire += codec.send_close(*payload)
    return wire


def wsproto_send(fp, steps):
    wire = b""
    for kind, payload, cuts in steps:
        if kind == "msg":
            pieces = [payload[a:b] for a, b in zip([0] + cuts, cuts + [len(payload)])]
            for i, piece in enumerate(pieces):
                wire += fp.send_data(piece, fin=i == len(pieces) - 1)
        elif kind == "ping":
            wire += fp.ping(payload)
        elif kind == "pong":
            wire += fp.pong(payload)
        else:
            wire += fp.close(*payload)
    return wire


def pmd_pair():
    """A negotiated permessage-deflate for wsproto (the given side) and the
    extension text velmora's codecs take."""
    server = wsproto_ext.PerMessageDeflate()
    client = wsproto_ext.PerMessageDeflate()
    offer = client.offer()
    answer = server.accept(offer)
    client.finalize(answer)
    # wsproto writes the parameters alone, without the extension's name.
    return client, server, "; ".join(["permessage-deflate"] + [p.strip() for p in answer.split(";") if p.strip()])


@pytest.mark.parametrize("compress", [False, True])
@pytest.mark.parametrize("seed", range(12))
def test_messages_cross_both_ways(seed, compress):
    rng = random.Random(seed)
    steps = script(rng)
    if compress:
        pmd_client, pmd_server, ext = pmd_pair()
    else:
        pmd_client = pmd_server = ext = None
    # velmora client -> wsproto server
    ours = v.WsCodec(True, extension=ext)
    theirs = WsprotoReader(False, [pmd_server] if compress else [])
    wire = velmora_send(ours, steps)
    got = []
    for at in range(0, len(wire), 4093):
        got += theirs.feed(wire[at:at + 4093])
    assert got == expected(steps)
    # wsproto client -> velmora server
    theirs = FrameProtocol(client=True, extensions=[pmd_client] if compress else [])
    ours = v.WsCodec(False, extension=ext)
    wire = wsproto_send(theirs, steps)
    got = []
    step = 1 + rng.randrange(5000)
    for at in range(0, len(wire), step):
        got += velmora_events(ours, wire[at:at + step])
    assert got == expected(steps)


BIG = b"x" * 126
VIOLATIONS = [
    # (name, frames a client sends, velmora's code, wsproto's code or None when it accepts)
    ("rsv2", frame(0xA1, b"a", True), 1002, 1002),
    ("rsv1_without_extension", frame(0xC1, b"a", True), 1002, 1002),
    ("opcode_3", frame(0x83, b"", True), 1002, 1002),
    ("opcode_11", frame(0x8B, b"", True), 1002, 1002),
    ("fragmented_ping", frame(0x09, b"", True), 1002, 1002),
    ("long_ping", frame(0x89, BIG, True), 1002, 1002),
    ("continuation_first", frame(0x80, b"a", True), 1002, 1002),
    ("text_inside_text", frame(0x01, b"a", True) + frame(0x81, b"b", True), 1002, 1002),
    ("unmasked", frame(0x81, b"a", False), 1002, 1002),
    ("invalid_utf8", frame(0x81, b"\xc3\x28", True), 1007, 1007),
    ("utf8_split_bad", frame(0x01, b"\xe2\x82", True) + frame(0x80, b"A", True), 1007, 1007),
    ("close_1005", frame(0x88, struct.pack(">H", 1005), True), 1002, 1002),
    ("close_1006", frame(0x88, struct.pack(">H", 1006), True), 1002, 1002),
    ("close_1015", frame(0x88, struct.pack(">H", 1015), True), 1002, 1002),
    ("close_999", frame(0x88, struct.pack(">H", 999), True), 1002, 1002),
    ("close_5000", frame(0x88, struct.pack(">H", 5000), True), 1002, 1002),
    ("close_2000", frame(0x88, struct.pack(">H", 2000), True), 1002, 1002),
    ("close_one_octet", frame(0x88, b"\x03", True), 1002, 1002),
    ("close_reason_not_utf8", frame(0x88, struct.pack(">H", 1000) + b"\xff", True), 1007, 1007),
    ("length_over_2_63", b"\x82\xff\x80\x00\x00\x00\x00\x00\x00\x00" + KEY, 1002, 1002),
    ("frame_after_close", frame(0x88, b"", True) + frame(0x89, b"", True), 1002, None),
    ("close_1014", frame(0x88, struct.pack(">H", 1014), True), None, 1002),
]


@pytest.mark.parametrize("name,wire,ours,theirs", VIOLATIONS, ids=[row[0] for row in VIOLATIONS])
def test_violations_against_wsproto(name, wire, ours, theirs):
    codec = v.WsCodec(False)
    if ours is None:
        codec.receive(wire)
    else:
        with pytest.raises(v.WsProtocolError) as e:
            codec.receive(wire)
        assert e.value.args[0] == ours
        assert codec.state == v.WS_STATE_FAILED
    reader = WsprotoReader(False)
    if theirs is None:
        reader.feed(wire)
    else:
        with pytest.raises(ParseFailed) as e:
            reader.feed(wire)
        assert int(e.value.code) == theirs


def test_close_handshake_like_wsproto():
    """Both sides of a close, each against the other library: the echoed code
    and reason arrive, and velmora reports when the transport may close."""
    ours = v.WsCodec(False)
    theirs = WsprotoReader(True)
    assert velmora_events(ours, theirs.fp.close(1001, "going")) == [(v.WS_EVENT_CLOSE, (1001, "going"))]
    answer = ours.send_close(1001, "going")
    assert ours.may_close_transport
    assert theirs.feed(answer) == [(v.WS_EVENT_CLOSE, (1001, "going"))]
    ours = v.WsCodec(True)
    theirs = WsprotoReader(False)
    assert theirs.feed(ours.send_close(None)) == [(v.WS_EVENT_CLOSE, (1005, ""))]
    assert not ours.may_close_transport
    assert velmora_events(ours, theirs.fp.close()) == [(v.WS_EVENT_CLOSE, (1005, ""))]
    assert ours.may_close_transport
