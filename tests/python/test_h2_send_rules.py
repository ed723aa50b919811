"""The send side's rules: interim (1xx) response heads, nothing queued before
begin(), a take that never loses frames, and the result objects that hold
Python objects being collectable."""

import gc
import subprocess
import sys
import textwrap
import weakref

import pytest

from velmora import _velmora as v
from h2pair import OPTS, Handle, Pair, send_all


def interim_status(conn_events):
    return [ev.status for ev in conn_events if isinstance(ev, v.H2FrameHeaders)]


# ---- interim responses ---------------------------------------------------------------


class TestInterimHeads:
    def test_any_number_of_1xx_heads_precede_the_final_one(self):
        p = Pair()
        sid, h = p.request("POST", "/up", body=b"x", headers=v.HeaderMap({"expect": "100-continue"}))
        p.pump()
        ssid, _ = p.server.accepted[0]
        srv = p.server.conn
        state = srv.stream_state(ssid)
        for status, fields in ((100, None), (103, v.HeaderMap({"link": "</s.css>; rel=preload"})), (100, None)):
            vd = srv.send_response_head(ssid, status, fields, False)
            assert (vd.sent, vd.done, vd.stopped, vd.refused, vd.handle) == (0, False, None, False, None)
            assert vd.flags == v.H2_FLAG_WAKE
            assert srv.stream_state(ssid) == state  # the send side has not started
        p.pump()
        assert h.heads == []  # interim heads are not the response
        send_all(p.client, sid, b"body", True, p)
        p.pump()
        assert srv.send_response_head(ssid, 201, None, False).done is False
        send_all(p.server, ssid, b"done", True, p)
        p.pump()
        assert [ev.status for ev in h.heads] == [201] and bytes(h.body) == b"done" and h.eof
        got = [ev for ev in p.client.events if isinstance(ev, v.H2FrameHeaders)]
        assert [(ev.status, ev.is_informational, ev.end_stream) for ev in got] == [
            (100, True, False), (103, True, False), (100, True, False), (201, False, False)]
        assert got[1].headers["link"] == b"</s.css>; rel=preload"
        assert "date" not in got[0].headers and "date" in got[3].headers  # auto_date: final heads only
        assert p.client.conn.num_streams == 0 and srv.num_streams == 0

    def test_a_1xx_after_the_final_head_is_refused_by_value(self):
        p = Pair()
        sid, h = p.request("POST", "/up", body=b"x")
        p.pump()
        ssid, _ = p.server.accepted[0]
        srv = p.server.conn
        srv.send_response_head(ssid, 200, None, False)
        p.pump()
        vd = srv.send_response_head(ssid, 100, None, False)
        assert vd.refused is True and vd.stopped is None and vd.flags == 0 and vd.done is False
        assert not srv.has_pending()
        assert "refused=true" in repr(vd)
        send_all(p.server, ssid, b"ok", True, p)
        # The response is complete while the request body is unread: the stream
        # is reset; a 1xx now finds a stream that can no longer send at all.
        vd = srv.send_response_head(ssid, 100, None, False)
        assert vd.stopped is not None and vd.refused is False

    def test_101_and_a_1xx_that_ends_the_stream_are_refused_before_anything_changes(self):
        p = Pair()
        sid, _ = p.request("GET", "/")
        p.pump()
        ssid, _ = p.server.accepted[0]
        srv = p.server.conn
        state = srv.stream_state(ssid)
        for status, end_stream in ((101, False), (101, True), (100, True), (199, True)):
            with pytest.raises(v.H2UserError) as e:
                srv.send_response_head(ssid, status, None, end_stream)
            assert e.value.args == ("invalid_informational_status_code", "invalid informational status code")
            assert srv.stream_state(ssid) == state and not srv.has_pending()
        assert srv.send_response_head(ssid, 204, None, True).done  # still answerable

    def test_a_client_stream_has_no_interim_head_to_send(self):
        p = Pair()
        sid, _ = p.request("GET", "/", end_stream=False)
        with pytest.raises(v.H2UserError) as e:
            p.client.conn.send_response_head(sid, 100, None, False)
        assert e.value.args[0] == "unexpected_frame_type"


# ---- nothing before begin() ----------------------------------------------------------


def _events(codec_role, data):
    return v.H2Codec(codec_role).receive(data)


class TestBeginComesFirst:
    def _refused(self, call):
        with pytest.raises(v.H2UserError) as e:
            call()
        kind, message = e.value.args
        assert kind == "send_before_preface" and "begin()" in message

    def test_every_step_that_queues_a_frame_waits_for_begin(self):
        peer = v.H2Codec("server")
        settings, = _events("client", peer.serialize_settings(max_concurrent_streams=5))
        ping, = _events("client", peer.serialize_ping(b"12345678"))
        goaway, = _events("client", peer.serialize_go_away(0, 0))
        rst, = _events("client", peer.serialize_rst_stream(1, 8))
        head, = _events("client", peer.serialize_response_headers(1, 200, None, False))
        data, = _events("client", peer.serialize_data(1, b"x"))
        c = v.H2Streams("client", **OPTS)
        assert c.try_claim_slot()
        self._refused(lambda: c.open_stream("GET", "/", None, True, False, Handle(), scheme="http",
                                            authority="a"))
        assert c.num_open_streams == 0  # the claimed slot came back
        for call in (lambda: c.recv_settings(settings), lambda: c.recv_ping(ping),
                     lambda: c.recv_go_away(goaway), lambda: c.recv_reset(rst),
                     lambda: c.recv_headers(head), lambda: c.recv_data(data),
                     lambda: c.send_data(1, b"x", 0, True), lambda: c.send_trailers(1, v.HeaderMap()),
                     lambda: c.send_response_head(1, 200, None, True), lambda: c.reset_stream(1, 8),
                     lambda: c.reset_on_error(1, 1), lambda: c.aclose_body(1),
                     lambda: c.release_capacity(1, 10), lambda: c.send_goaway(0),
                     lambda: c.begin_graceful_shutdown()):
            self._refused(call)
        assert not c.has_pending() and c.goaway_info() is None and c.stream_limit is None
        assert c.local_error_resets == 0 and not c.graceful and not c.in_reset_store(1)
        assert c.maybe_goaway_reply() == 0 and c.fail() == []  # queue nothing: never refused
        c = v.H2Streams("client", **OPTS)
        assert c.try_claim_slot()
        self._refused(lambda: c.open_stream("GET", "/", None, True, False, Handle(), scheme="http",
                                            authority="a"))
        c.begin()
        # A second begin() would put another preface and SETTINGS after
        # frames already on the wire: refused, nothing queued.
        with pytest.raises(v.H2UserError) as e:
            c.begin()
        assert e.value.args[0] == "begin_twice"
        view, _ = c.take_pending()
        assert bytes(view).startswith(v.H2_PREFACE)
        assert bytes(view).count(v.H2_PREFACE) == 1
        kinds = [type(ev).__name__ for ev in v.H2Codec().receive(bytes(view)[len(v.H2_PREFACE):])]
        assert kinds == ["H2FrameSettings"]
        with pytest.raises(v.H2UserError):
            c.begin()
        assert not c.has_pending()
        assert c.try_claim_slot()
        assert c.open_stream("GET", "/", None, True, False, Handle(), scheme="http", authority="a") == 1

    def test_a_server_answers_nothing_before_its_own_settings(self):
        client = v.H2Codec("client")
        wire = v.H2_PREFACE + client.serialize_settings() + client.serialize_ping(b"abcdefgh") + \
            client.serialize_request_headers(1, "GET", "/", None, True, scheme="http", authority="a")
        s = v.H2Streams("server", **OPTS)
        assert s.prime(wire) is True
        settings, ping, head = s.receive(b"")  # decoding needs no begin()
        self._refused(lambda: s.recv_settings(settings))
        self._refused(lambda: s.recv_ping(ping))
        self._refused(lambda: s.recv_headers(head, Handle()))
        assert not s.has_stream(1) and not s.has_pending()
        s.begin()
        assert s.recv_settings(settings)[2] == v.H2_FLAG_WAKE
        assert s.recv_ping(ping) == v.H2_FLAG_WAKE
        assert s.recv_headers(head, Handle()).kind == v.H2_HEADERS_OPENED
        view, _ = s.take_pending()
        kinds = [type(ev).__name__ for ev in v.H2Codec("client").receive(bytes(view))]
        assert kinds == ["H2FrameSettings", "H2FrameSettings", "H2FramePing"]  # ours first, then the ACKs


# ---- take_pending under allocation failure -----------------------------------------------

CHILD = """
import _testcapi
from velmora import _velmora as v

OPTS = dict(initial_window_size=65535, connection_window=65535, max_frame_size=16384,
            max_header_list_size=16384, max_send_buf_size=1 << 20)
c = v.H2Streams("client", **OPTS)
c.begin()
def step(i):
    assert c.try_claim_slot()
    sid = c.open_stream("POST", f"/{i}", None, False, False, object(), scheme="http", authority="a")
    c.send_data(sid, bytes([65 + i]) * 100, 0, False)
    return sid

N = 16
sids = []
wire = b""
failures = 0
for i in range(N):
    sids.append(step(i))
    # Fail the first, second, ... Python allocation of the take.
    _testcapi.set_nomemory(i % 8, i % 8 + 1)
    try:
        got = c.take_pending()
    except MemoryError:
        got = None
    finally:
        _testcapi.remove_mem_hooks()
    if got is None:
        failures += 1
        print("failed", i % 8)
        continue
    view, _ = got
    wire += bytes(view)
    view.release()
    c.credit_written()
while c.has_pending():
    view, _ = c.take_pending()
    wire += bytes(view)
    view.release()
    c.credit_written()

peer = v.H2Codec("server")
assert peer.feed_preface(wire[:24]) is True
events = peer.receive(wire[24:])
heads = [ev.path for ev in events if isinstance(ev, v.H2FrameHeaders)]
bodies = [ev.data for ev in events if isinstance(ev, v.H2FrameData)]
assert heads == [f"/{i}" for i in range(N)], heads
assert bodies == [bytes([65 + i]) * 100 for i in range(N)], bodies
assert all(c.stream_send_buffered(sid) == 0 for sid in sids)
print(failures)
"""


def test_a_take_whose_batch_cannot_be_built_keeps_its_frames():
    pytest.importorskip("_testcapi")
    p = subprocess.run([sys.executable, "-c", textwrap.dedent(CHILD)], capture_output=True, text=True,
                       timeout=120)
    assert p.returncode == 0, p.stderr[-2000:]
    assert int(p.stdout.split()[-1]) >= 3  # the tuple, the batch and the view each failed once


# ---- garbage collection ----------------------------------------------------------------------


class Node:
    """A driver handle that keeps the last verdict it was given."""

    last = None


def test_a_cycle_through_a_stored_verdict_is_collected():
    p = Pair()
    sid, h = p.request("POST", "/", body=b"x")
    p.pump()
    srv, cli = p.server.conn, p.client.conn
    # A server handle keeping its H2RecvHeadersVerdict.
    peer = v.H2Codec("client")
    s2 = v.H2Streams("server", **OPTS)
    s2.begin()
    s2.prime(v.H2_PREFACE + peer.serialize_request_headers(1, "POST", "/", None, False, scheme="http",
                                                           authority="a") + peer.serialize_data(1, b"abc"))
    head, data = s2.receive(b"")
    node = Node()
    node.last = s2.recv_headers(head, node)
    assert node.last.handle is node
    # ... and its H2RecvDataVerdict.
    other = Node()
    other.head = node.last
    node.last = s2.recv_data(data)
    assert node.last.handle is node
    # A response that ends before the request body: the H2SendVerdict carries the handle.
    ssid, sh = p.server.accepted[0]
    srv.send_response_head(ssid, 200, None, False)
    send_vd = srv.send_data(ssid, b"", 0, True)
    assert send_vd.handle is sh
    sh.last = send_vd
    # The client's reset of its own stream: the H2ResetVerdict carries its handle.
    reset_vd = cli.reset_stream(sid, 8)
    assert reset_vd.handle is h
    h.last = reset_vd
    refs = [weakref.ref(x) for x in (node, other, sh, h)]
    del node, other, sh, h, send_vd, reset_vd, head, data, s2, p, srv, cli
    gc.collect()
    assert [r() for r in refs] == [None] * 4


def test_a_connection_keeping_its_last_batch_view_is_collected():
    class Keeper(v.H2Streams):
        pass

    c = Keeper("client", **OPTS)
    c.begin()
    c.last, _ = c.take_pending()  # the view holds the batch, the batch holds c
    assert len(c.last) > 24
    ref = weakref.ref(c)
    del c
    gc.collect()
    assert ref() is None
