"""100-continue with a body-reader thread racing a responder thread, on both
protocols: whoever wins, the interim response never follows the final head on
the wire."""

import re
import sys
import threading

import pytest
from conftest import Raw
from h2raw import DATA, END_STREAM, HEADERS, RST_STREAM, H2Raw, frame
from threaded_harness import InProcessServer

import velmora._velmora as v

from shared import TEXT  # noqa: E402  (on the path through threaded_harness)

RUNS = 60
BODY = b"z" * 5000


def racing_route(req):
    """The body is read on a thread of its own while this one answers at once."""
    reader = threading.Thread(target=lambda: _read_quietly(req), daemon=True)
    reader.start()
    req.respond(200, b"answered\n", TEXT)
    reader.join(5)


def _read_quietly(req):
    try:
        req.body()
    except (v.VelmoraError, OSError):
        pass  # the response ended the exchange first


@pytest.fixture
def racing_server():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # interleave the two threads as finely as we can
    srv = InProcessServer(route=racing_route)
    try:
        yield srv
    finally:
        srv.stop()
        sys.setswitchinterval(old)


def test_h1_interim_never_after_the_final_head(racing_server):
    continued = 0
    for _ in range(RUNS):
        c = Raw(racing_server.port)
        try:
            c.send(b"POST /race HTTP/1.1\r\nHost: a\r\nExpect: 100-continue\r\n"
                   b"Content-Length: %d\r\n\r\n" % len(BODY))
            out = c.read_until(b"answered\n")
            c.send(BODY)
        finally:
            c.close()
        statuses = re.findall(rb"HTTP/1.1 (\d{3}) ", out)
        assert statuses in ([b"200"], [b"100", b"200"]), out
        continued += statuses[0] == b"100"
    print(f"100 Continue first in {continued} of {RUNS} runs")


@pytest.mark.skipif(not hasattr(v.H2SendVerdict, "refused"),
                    reason="interim responses over HTTP/2 are not refused by value yet")
def test_h2_interim_never_after_the_final_head(racing_server):
    c = H2Raw(racing_server.port)
    try:
        c.handshake()
        continued = 0
        for _ in range(RUNS):
            sid = c.new_sid()
            c.send(c.headers(sid, "/race", "POST", end_stream=False,
                             extra=[("expect", "100-continue")]))
            got = c.frames_until(lambda f: f.sid == sid and (
                f.kind in (DATA, HEADERS) and f.flags & END_STREAM or f.kind == RST_STREAM))
            statuses = [int(dict(c.decoder.decode(f.payload))[":status"])
                        for f in got if f.sid == sid and f.kind == HEADERS]
            assert statuses in ([200], [100, 200]), statuses
            continued += statuses[0] == 100
            c.send(frame(DATA, END_STREAM, sid, BODY[:1000]))
        print(f"100 first in {continued} of {RUNS} runs")
    finally:
        c.close()
