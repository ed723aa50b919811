"""Interim responses over HTTP/2 against the example server: a request with
`Expect: 100-continue` gets its 100 when the handler first reads the body,
from curl and from raw frames."""

from conftest import curl
from h2raw import DATA, END_STREAM, HEADERS, RST_STREAM, H2Raw, frame


def test_curl_gets_100_continue_over_h2(server, tmp_path):
    body = bytes(range(256)) * 1200  # 300 kB: more than every window we advertise
    src = tmp_path / "body.bin"
    src.write_bytes(body)
    # A long wait for the 100, so that a missing one cannot go unnoticed.
    r = curl("--http2-prior-knowledge", "-v", "--expect100-timeout", "10", "-H", "Expect: 100-continue",
             "--data-binary", f"@{src}", f"{server.url}/echo")
    assert r.returncode == 0, r.stderr
    assert r.stdout == body
    trace = r.stderr.decode(errors="replace")
    assert trace.index("< HTTP/2 100") < trace.index("< HTTP/2 200"), trace[-3000:]
    assert "Done waiting for 100-continue" not in trace


def test_raw_100_continue_then_the_final_response(server):
    c = H2Raw(server.port)
    try:
        c.handshake()
        sid = c.new_sid()
        c.send(c.headers(sid, "/echo", method="POST", end_stream=False,
                         extra=[("expect", "100-continue")]))
        got = c.frames_until(lambda f: f.sid == sid and f.kind in (HEADERS, RST_STREAM))
        interim = got[-1]
        assert interim.kind == HEADERS and not interim.flags & END_STREAM
        assert dict(c.decoder.decode(interim.payload))[":status"] == "100"
        c.send(frame(DATA, END_STREAM, sid, b"after the 100"))
        status, body = None, b""
        for f in c.frames_until(lambda f: f.sid == sid and f.flags & END_STREAM):
            if f.sid != sid:
                continue
            assert f.kind in (HEADERS, DATA)
            if f.kind == HEADERS:
                status = dict(c.decoder.decode(f.payload))[":status"]
            else:
                body += f.payload
        assert (status, body) == ("200", b"after the 100")
        # Without the expectation no interim head: the response head comes first.
        sid = c.new_sid()
        c.send(c.headers(sid, "/echo", method="POST", end_stream=False))
        c.send(frame(DATA, END_STREAM, sid, b"plain"))
        heads = [dict(c.decoder.decode(f.payload))[":status"]
                 for f in c.frames_until(lambda f: f.sid == sid and f.flags & END_STREAM)
                 if f.sid == sid and f.kind == HEADERS]
        assert heads == ["200"]
        assert c.get("/") == (200, b"hello from velmora\n")  # the connection goes on
    finally:
        c.close()
