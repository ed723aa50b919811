"""WebSocket frame parsing: masked frames as a server receives them, unmasked
and (for text) checked as UTF-8 and turned into str, through
WsCodec.receive against wsproto's FrameProtocol and against websockets' own
frame parser (Frame.parse, with its C masking speedup, plus the UTF-8
decode its protocol layer does for text), at 16 B, 1 KiB, 64 KiB and 1 MiB
messages; and at 1 MiB, velmora against a plain copy of the same octets
(bytearray(data): one memcpy and an allocation).

Small messages are measured in batches of frames fed at once (per message
times are printed), as a read off a busy connection brings them.
"""

import os
import struct
import sys

sys.path.insert(0, __file__.rsplit("/", 1)[0])
from _harness import compare, record, table  # noqa: E402

from velmora._velmora import WsCodec  # noqa: E402

from websockets.frames import Frame  # noqa: E402
from websockets.streams import StreamReader  # noqa: E402
from wsproto.frame_protocol import FrameProtocol  # noqa: E402

KEY = os.urandom(4)
MIB = 1 << 20


def masked_frame(opcode, payload):
    n = len(payload)
    if n < 126:
        head = bytes([0x80 | opcode, 0x80 | n])
    elif n < 65536:
        head = bytes([0x80 | opcode, 0x80 | 126]) + struct.pack(">H", n)
    else:
        head = bytes([0x80 | opcode, 0x80 | 127]) + struct.pack(">Q", n)
    # The client codec masks with a fresh key; a fixed one keeps this file
    # free of velmora on the sending side.
    key = int.from_bytes(KEY * ((n + 3) // 4 or 1), "big") >> (8 * ((-n) % 4))
    masked = (int.from_bytes(payload, "big") ^ key).to_bytes(n, "big") if n else b""
    return head + KEY + masked


def text(n):
    unit = "WebSocket message, mostly ASCII with a few é and € "
    raw = (unit * (n // len(unit.encode()) + 1)).encode()[:n]
    return raw.decode("utf-8", "ignore").encode()  # whole characters only


SIZES = [("16 B", 16, 256), ("1 KiB", 1024, 64), ("64 KiB", 64 * 1024, 4), ("1 MiB", MIB, 1)]


def velmora_parse(buf):
    codec = WsCodec(False, max_frame_size=4 * MIB, max_message_size=4 * MIB)
    return lambda: codec.receive(buf)


def wsproto_parse(buf):
    def run():
        fp = FrameProtocol(client=False, extensions=[])
        fp.receive_bytes(buf)
        return list(fp.received_frames())
    return run


def websockets_parse(buf, count, is_text):
    def run():
        reader = StreamReader()
        reader.feed_data(buf)
        out = []
        for _ in range(count):
            gen = Frame.parse(reader.read_exact, mask=True, max_size=None)
            try:
                next(gen)
            except StopIteration as stop:
                f = stop.value
            out.append(f.data.decode() if is_text else f.data)
        return out
    return run


def main():
    for kind, opcode in (("text", 1), ("binary", 2)):
        rows_wsproto, rows_websockets = [], []
        for label, n, count in SIZES:
            payload = text(n) if opcode == 1 else os.urandom(n)
            buf = masked_frame(opcode, payload) * count
            ours = velmora_parse(buf)
            got = ours()
            assert len(got) == count and len(got[0][1]) == len(payload.decode() if opcode == 1 else payload)
            a, b = compare(ours, wsproto_parse(buf), rounds=9 if n >= 64 * 1024 else 21)
            rows_wsproto.append((f"{kind} {label} x{count}", a / count, b / count))
            a, b = compare(ours, websockets_parse(buf, count, opcode == 1), rounds=9 if n >= 64 * 1024 else 21)
            rows_websockets.append((f"{kind} {label} x{count}", a / count, b / count))
        table(f"WebSocket frames received by a server ({kind}), per message", rows_wsproto, "wsproto")
        table(f"WebSocket frames received by a server ({kind}), per message", rows_websockets, "websockets")

    # 1 MiB against a copy of the same octets.
    print("\n1 MiB message against a plain copy (bytearray(data))")
    for kind, opcode in (("text", 1), ("binary", 2)):
        payload = text(MIB) if opcode == 1 else os.urandom(MIB)
        buf = masked_frame(opcode, payload)
        ours, copy = compare(velmora_parse(buf), lambda: bytearray(buf), rounds=21)
        ratio = ours / copy
        print(f"  {kind:<8} velmora {ours / 1000:9.1f} us   copy {copy / 1000:9.1f} us   "
              f"{ratio:5.2f}x the copy's time   ({MIB / ours:.2f} GB/s)")
        record("WebSocket 1 MiB message against a copy", f"{kind} 1 MiB", "memcpy", copy / ours, "ns", ours, copy)


if __name__ == "__main__":
    main()
