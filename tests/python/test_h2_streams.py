"""H2Streams over a loopback pair: a client and a server back to back."""

import gc
import threading

import pytest

from velmora import _velmora as v
from h2frames import frame
from h2dispatch import step
from h2pair import OPTS, Handle, Pair, send_all


def frames(data, role="server"):
    """Decodes bytes one side queued, as the other side would."""
    codec = v.H2Codec(role)
    if role == "server":
        assert codec.feed_preface(data[:24]) is True
        data = data[24:]
    return codec.receive(data)


def peer_bytes(*parts):
    return b"".join(parts)


# ---- requests and responses end to end --------------------------------------------


class TestExchange:
    def test_bodies_larger_than_every_window_cross_intact(self):
        p = Pair()
        req = bytes(range(256)) * 1000  # 256000 > 65535 both ways
        sid, h = p.request("POST", "/up", body=req)
        send_all(p.client, sid, req, True, p)
        p.pump()
        ssid, sh = p.server.accepted[0]
        assert bytes(sh.body) == req and sh.eof
        assert p.server.conn.send_response_head(ssid, 200, v.HeaderMap({"x": "1"}), False).done is False
        resp = req[::-1]
        send_all(p.server, ssid, resp, True, p)
        p.pump()
        assert h.heads[0].status == 200 and bytes(h.body) == resp and h.eof
        for side in (p.client, p.server):
            assert side.conn.num_streams == 0 and not side.conn.has_stream(sid)
            assert side.conn.num_open_streams == 0
        assert repr(p.client.conn) == "H2Streams(role=client, streams=0, active=0, failed=false, goaway=false)"

    def test_many_multiplexed_streams_take_turns_for_the_connection_window(self):
        p = Pair()
        sids = [p.request("GET", f"/{i}")[0] for i in range(8)]
        p.pump()
        srv = p.server.conn
        for ssid, _ in p.server.accepted:
            srv.send_response_head(ssid, 200, None, False)
        body = b"z" * 40000  # 8 x 40000 > the 65535 connection window
        offsets = {s: 0 for s, _ in p.server.accepted}
        for _ in range(10000):
            if not offsets:
                break
            for s in list(offsets):
                vd = srv.send_data(s, body, offsets[s], True)
                offsets[s] += vd.sent
                if vd.done:
                    del offsets[s]
                if vd.flags & v.H2_FLAG_CAPACITY:
                    srv.next_capacity_wake()
            p.pump()
        assert not offsets
        got = {h.name: h for _, h in p.server.accepted}
        assert len(got) == 8
        assert p.client.conn.num_streams == 0 and len(sids) == 8

    def test_trailers_end_the_stream_and_close_it(self):
        p = Pair()
        sid, h = p.request("GET", "/")
        p.pump()
        ssid, _ = p.server.accepted[0]
        srv = p.server.conn
        srv.send_response_head(ssid, 200, None, False)
        assert srv.send_data(ssid, b"abc", 0, False).sent == 3
        vd = srv.send_trailers(ssid, v.HeaderMap({"grpc-status": "0"}))
        assert vd.done and vd.stopped is None and vd.flags & v.H2_FLAG_WAKE
        p.pump()
        assert h.trailers and h.eof and bytes(h.body) == b"abc"
        assert srv.num_streams == 0 and p.client.conn.num_streams == 0


# ---- write batches ---------------------------------------------------------------


class TestWriteBatch:
    def test_views_are_read_only_and_the_buffer_comes_back(self):
        c = v.H2Streams("client", **OPTS)
        c.begin()
        view, stopping = c.take_pending()
        assert stopping is False and view.readonly and bytes(view[:24]) == v.H2_PREFACE
        with pytest.raises(TypeError):
            view[0] = 0
        batch = view.obj
        assert type(batch).__name__ == "H2WriteBatch" and len(batch) == len(view)
        assert not hasattr(v, "H2WriteBatch")
        del batch
        view.release()
        empty, _ = c.take_pending()
        assert len(empty) == 0 and bytes(empty) == b""

    def test_a_batch_released_on_another_thread_returns_its_buffer(self):
        c = v.H2Streams("client", **OPTS)
        c.begin()
        view, _ = c.take_pending()
        t = threading.Thread(target=view.release)
        t.start()
        t.join()
        del view
        gc.collect()
        assert not c.has_pending()
        c.stop_pump()
        _, stopping = c.take_pending()
        assert stopping is True


# ---- a scripted peer ------------------------------------------------------------------


class Peer:
    """Our server against a client written frame by frame (H2Codec plus raw
    frames), so that a test can send what a conforming peer never would."""

    def __init__(self, role="server", **opts):
        o = dict(OPTS)
        o.update(opts)
        self.side = _Side(role, o)
        self.conn = self.side.conn
        self.codec = v.H2Codec("client" if role == "server" else "server")
        self.conn.begin()
        self.out = []  # frames we queued, decoded
        self.rx = v.H2Codec("server" if role == "client" else "client")
        hello = (v.H2_PREFACE if role == "server" else b"") + self.codec.serialize_settings()
        self.feed(hello + self.codec.serialize_settings_ack())
        self.drain()

    def feed(self, data):
        return [self.side.dispatch(ev) for ev in self.conn.receive(data)]

    def one(self, data):
        (r,) = self.feed(data)
        return r

    def drain(self):
        view, _ = self.conn.take_pending()
        data = bytes(view)
        view.release()
        self.conn.credit_written()
        if self.side.role == "client" and data.startswith(v.H2_PREFACE):
            data = data[24:]
        got = self.rx.receive(data)
        self.out += got
        return got

    def request(self, sid, end_stream=False, headers=None):
        return self.codec.serialize_request_headers(sid, "POST", "/", headers, end_stream,
                                                    scheme="http", authority="a")


class _Side:
    """Dispatch without answering stream errors: the tests see the raise."""

    def __init__(self, role, opts):
        self.role = role
        self.conn = v.H2Streams(role, **opts)

    def dispatch(self, ev):
        if isinstance(ev, v.H2FrameStreamError):
            return ev
        spare = Handle(ev.stream_id) if self.role == "server" and isinstance(ev, v.H2FrameHeaders) else None
        return step(self.conn, ev, spare)


def data_frame(sid, payload, end_stream=False):
    return v.H2Codec("client").serialize_data(sid, payload, end_stream)


def kinds(events):
    return [type(e).__name__[7:] for e in events]


class TestReceiveViolations:
    def test_new_stream_ids_must_grow_and_be_odd(self):
        p = Peer()
        assert p.one(p.request(5)).kind == v.H2_HEADERS_OPENED
        with pytest.raises(v.H2ProtocolError) as e:
            p.one(p.request(3))
        assert e.value.args == (1, "invalid new stream id 3")

    def test_a_refused_stream_still_counts_as_seen(self):
        p = Peer(max_concurrent_streams=1)
        p.one(p.request(1))
        with pytest.raises(v.H2StreamError) as e:
            p.one(p.request(3))
        assert e.value.args == (3, 7, "library")
        with pytest.raises(v.H2ProtocolError):
            p.one(p.request(3))  # id 3 was used

    def test_the_server_needs_a_spare_handle(self):
        p = Peer()
        (ev,) = p.conn.receive(p.request(1))
        with pytest.raises(ValueError, match="needs a spare stream handle"):
            p.conn.recv_headers(ev)
        assert not p.conn.has_stream(1) and p.conn.num_streams == 0

    def test_informational_heads_and_trailers(self):
        p = Peer(role="client")
        c = p.conn
        assert c.try_claim_slot()
        sid = c.open_stream("GET", "/", None, False, False, Handle(), scheme="http", authority="a")
        hundred = p.codec.serialize_response_headers(sid, 103, None, False)
        assert p.one(hundred).kind == v.H2_HEADERS_IGNORED
        assert p.one(p.codec.serialize_response_headers(sid, 200, None, False)).kind == v.H2_HEADERS_HEAD
        # Trailers must end the stream: a block with neither :status nor
        # END_STREAM is neither a head nor trailers, which the codec reports.
        t = p.codec.serialize_trailers(sid, v.HeaderMap({"a": "b"}))
        ev = p.one(t[:4] + b"\x04" + t[5:])  # END_STREAM cleared
        assert isinstance(ev, v.H2FrameStreamError) and (ev.stream_id, ev.error_code) == (sid, 1)
        assert c.try_claim_slot()
        sid2 = c.open_stream("GET", "/", None, True, False, Handle(), scheme="http", authority="a")
        with pytest.raises(v.H2StreamError) as e:
            p.one(p.codec.serialize_response_headers(sid2, 100, None, True))
        assert e.value.args == (sid2, 1, "library")

    def test_late_and_idle_headers_on_the_client(self):
        p = Peer(role="client")
        c = p.conn
        c.try_claim_slot()
        sid = c.open_stream("GET", "/", None, True, False, Handle(), scheme="http", authority="a")
        p.one(p.codec.serialize_response_headers(sid, 204, None, True))
        assert not c.has_stream(sid)
        with pytest.raises(v.H2StreamError) as e:
            p.one(p.codec.serialize_response_headers(sid, 200, None, True))
        assert e.value.args == (sid, 5, "library")
        with pytest.raises(v.H2ProtocolError, match="frame on idle stream 2"):
            p.one(p.codec.serialize_response_headers(2, 200, None, True))

    def test_a_stream_error_on_an_id_the_client_never_opened_fails_the_connection(self):
        # A malformed head on an idle id reaches the client as a stream error
        # from the codec. Answering it with RST_STREAM would reset our own
        # idle id, and our next request would then open it after a reset.
        p = Peer(role="client")
        c = p.conn
        for sid in (1, 2):
            with pytest.raises(v.H2ProtocolError, match=f"frame on idle stream {sid}"):
                c.reset_on_error(sid, 1)
        assert c.local_error_resets == 0 and not c.has_pending()
        c.try_claim_slot()
        assert c.open_stream("GET", "/", None, True, False, Handle(), scheme="http", authority="a") == 1
        c.take_pending()
        c.reset_on_error(1, 1)  # a stream we opened is reset as usual
        assert c.has_pending()

    def test_content_length_is_enforced_and_the_connection_lives_on(self):
        p = Peer()
        p.one(p.request(1, headers=v.HeaderMap({"content-length": "3"})))
        with pytest.raises(v.H2StreamError) as e:
            p.one(data_frame(1, b"abcd"))
        assert e.value.args == (1, 1, "library")
        assert p.conn.conn_recv_available == 65535  # the connection's window came back
        p.conn.reset_on_error(1, 1)
        assert p.one(p.request(3, end_stream=True)).kind == v.H2_HEADERS_OPENED
        with pytest.raises(v.H2StreamError):  # a head declaring a body it cannot carry
            p.one(p.request(5, end_stream=True, headers=v.HeaderMap({"content-length": "9"})))

    def test_a_refused_closing_frame_leaves_its_flags_to_the_reset(self):
        # The closed transition frees the client's slot; run before the stream
        # error it would report that with the error's lost return value.
        for cl, closing in (("10", lambda p, sid: p.codec.serialize_trailers(sid, v.HeaderMap({"a": "b"}))),
                            ("9", None)):
            p = Peer(role="client")
            c = p.conn
            assert c.try_claim_slot()
            sid = c.open_stream("GET", "/", None, True, False, Handle(), scheme="http", authority="a")
            head = v.HeaderMap({"content-length": cl})
            if closing is None:  # a head with END_STREAM declaring a body
                frame_ = p.codec.serialize_response_headers(sid, 200, head, True)
            else:  # trailers after 5 of 10 octets
                p.one(p.codec.serialize_response_headers(sid, 200, head, False))
                p.one(data_frame(sid, b"12345"))
                frame_ = closing(p, sid)
            with pytest.raises(v.H2StreamError) as e:
                p.one(frame_)
            assert e.value.args == (sid, 1, "library")
            vd = c.reset_on_error(sid, 1)
            assert vd.flags & v.H2_FLAG_SLOT_FREED
            assert c.num_open_streams == 0 and c.num_streams == 0 and not c.has_stream(sid)

    def test_data_for_a_stream_just_reset_is_swallowed_but_counted(self):
        p = Peer()
        p.one(p.request(1))
        p.conn.reset_stream(1, 8)
        before = p.conn.conn_recv_available
        vd = p.one(data_frame(1, b"x" * 100))
        assert vd.handle is None and vd.payload is None
        assert p.conn.conn_recv_available == before

    def test_windows_and_settings(self):
        p = Peer()
        with pytest.raises(v.H2FlowControlError):
            p.one(p.request(1) + b"".join(data_frame(1, b"x" * 16384) for _ in range(4)) + data_frame(1, b"x"))
        p = Peer()
        with pytest.raises(v.H2ProtocolError, match="received unexpected settings ack"):
            p.one(p.codec.serialize_settings_ack())
        p.one(p.request(1))
        p.conn.send_response_head(1, 200, None, False)
        assert p.conn.send_data(1, b"x" * 100, 0, False).sent == 100
        initial, wake, flags = p.one(p.codec.serialize_settings(initial_window_size=0))
        assert (initial, wake) == (False, []) and flags & v.H2_FLAG_WAKE
        assert p.conn.stream_send_window(1) == 0 and p.conn.peer_initial_window_size == 0
        vd = p.conn.send_data(1, b"abc", 0, True)
        assert vd.sent == 0 and not vd.done
        h = p.conn.recv_window_update(p.conn.receive(p.codec.serialize_window_update(1, 101))[0])
        assert len(h) == 1 and p.conn.stream_send_window(1) == 1  # 100 below zero, then 101 up

    def test_goaway_may_only_lower_its_last_stream_id(self):
        p = Peer(role="client")
        p.one(p.codec.serialize_go_away(7, 0, b"bye"))
        assert p.conn.goaway_info() == (7, 0, b"bye") and p.conn.is_closed() and not p.conn.is_failed()
        with pytest.raises(v.H2ProtocolError, match="GOAWAY may not raise last_stream_id"):
            p.one(p.codec.serialize_go_away(9, 0))
        p.one(p.codec.serialize_go_away(7, 2))
        assert p.conn.goaway_info() == (7, 2, b"")
        assert p.conn.try_claim_slot()
        assert p.conn.open_stream("GET", "/", None, True, False, Handle(), scheme="http", authority="a") is None
        assert p.conn.num_open_streams == 0  # the refused open gave its slot back

    def test_released_capacity_is_credited_once(self):
        p = Peer()
        p.one(p.request(1))
        vds = p.feed(data_frame(1, b"x" * 16384) * 2)
        assert [(vd.budgeted, len(vd.payload)) for vd in vds] == [(True, 16384)] * 2
        assert p.conn.release_capacity(1, 50000) & v.H2_FLAG_WAKE  # only 32768 were delivered
        ups = [e for e in p.drain() if isinstance(e, v.H2FrameWindowUpdate)]
        assert sorted((e.stream_id, e.increment) for e in ups) == [(0, 32768), (1, 32768)]
        assert p.conn.stream_recv_unreleased(1) == 0
        p.one(data_frame(1, b"y" * 10))
        vd = p.conn.aclose_body(1)
        assert vd.flags & v.H2_FLAG_WAKE and vd.stop is None  # our own cancel: a clean end
        assert [(e.stream_id, e.error_code) for e in p.drain() if isinstance(e, v.H2FrameRstStream)] == [(1, 8)]
        assert p.conn.release_capacity(1, 10) == 0 and not p.conn.has_pending()


def open_server_stream(p, sid=1, end_stream=True):
    p.one(p.request(sid, end_stream=end_stream))
    p.conn.accepted(sid)
    p.conn.send_response_head(sid, 200, None, False)
    p.drain()


class TestSendPath:
    def test_one_frame_per_call_up_to_the_peer_frame_size(self):
        p = Peer(connection_window=1 << 20)
        p.one(p.codec.serialize_window_update(0, 1 << 20))
        open_server_stream(p)
        p.one(p.codec.serialize_window_update(1, 1 << 20))
        vd = p.conn.send_data(1, b"a" * 100000, 0, True)
        assert (vd.sent, vd.done, vd.stopped) == (16384, False, None)
        assert p.conn.stream_send_buffered(1) == 16384
        p.drain()
        assert p.conn.credit_written() == [] and p.conn.stream_send_buffered(1) == 0

    def test_a_stream_yields_the_rotation_after_four_frames(self):
        p = Peer()
        open_server_stream(p, 1)
        open_server_stream(p, 3)
        p.feed(p.codec.serialize_window_update(0, 1 << 20) + p.codec.serialize_window_update(1, 1 << 20))
        for i in range(4):
            assert p.conn.send_data(1, b"x" * 100000, i * 16384, False).sent == 16384
        vd = p.conn.send_data(3, b"y", 0, False)
        assert vd.sent == 0  # stream 1 holds the front
        vd = p.conn.send_data(1, b"x" * 100000, 4 * 16384, False)
        assert vd.sent == 0 and vd.flags & v.H2_FLAG_CAPACITY
        assert p.conn.next_capacity_wake().name == 3
        assert p.conn.send_data(3, b"y", 0, False).sent == 1  # its turn
        p.conn.credit_written()
        assert p.conn.send_data(1, b"x" * 100000, 4 * 16384, False).sent == 16384  # the count restarted

    def test_connection_window_waiters_are_woken_by_window_update(self):
        p = Peer()
        open_server_stream(p, 1)
        open_server_stream(p, 3)
        off = 0
        while p.conn.conn_send_window:
            vd = p.conn.send_data(1, b"x" * 70000, off, False)
            off += vd.sent
            p.conn.credit_written()
        vd = p.conn.send_data(3, b"y" * 10, 0, False)
        assert vd.sent == 0 and not vd.done  # stream window left, connection window none
        (woken,) = p.one(p.codec.serialize_window_update(0, 100))
        assert woken in (p.conn.next_capacity_wake(),)
        assert p.conn.next_capacity_wake() is woken

    def test_empty_chunks_queue_nothing_unless_they_end_the_stream(self):
        # A writer yielding empty chunks must not send empty DATA frames: our
        # own receiver (like others) ends the connection after 100 of them.
        p = Peer()
        open_server_stream(p)
        for _ in range(200):
            vd = p.conn.send_data(1, b"", 0, False)
            # done: a writer told to wait here would wait for a window event
            # that nothing sends
            assert (vd.sent, vd.done, vd.stopped, vd.flags) == (0, True, None, 0)
        assert p.conn.send_data(1, b"abc", 3, False).done
        assert not p.conn.has_pending()
        vd = p.conn.send_data(1, b"", 0, True)
        assert vd.done and vd.flags & v.H2_FLAG_WAKE
        (ev,) = p.drain()
        assert isinstance(ev, v.H2FrameData) and ev.end_stream and ev.data == b""
        # What the literal behaviour would do to the peer:
        q = Peer()
        q.one(q.request(1))
        with pytest.raises(v.H2ProtocolError, match="too_many_data_frames"):
            q.feed(data_frame(1, b"") * 101)

    def test_a_response_to_a_request_the_peer_reset_reports_its_reason(self):
        p = Peer()
        p.one(p.request(1, end_stream=True))
        p.conn.accepted(1)
        handle, stop, notify, flags = p.one(p.codec.serialize_rst_stream(1, 8))
        assert (stop.reason, stop.conn, notify) == (8, False, False)
        assert not p.conn.has_stream(1)  # reaped: the answer below cannot come from the record
        vd = p.conn.send_response_head(1, 200, None, True)
        assert vd.stopped is not None and (vd.stopped.reason, vd.stopped.conn) == (8, False)
        assert vd.sent == 0 and not vd.done and not p.conn.has_pending()
        assert repr(vd.stopped) == "H2Stopped(reason=8, conn=false)"
        assert p.conn.send_data(1, b"x", 0, True).stopped.reason == 8
        assert p.conn.send_response_head(99, 200, None, True).stopped.reason is None  # never seen: a bare stop

    def test_finishing_while_the_request_body_is_unread_resets_it(self):
        p = Peer()
        p.one(p.request(1, end_stream=False))
        vd = p.conn.send_response_head(1, 200, v.HeaderMap({"date": "x"}), True)
        assert vd.done and vd.handle.name == 1
        assert (vd.reader_stop.reason, vd.reader_stop.conn) == (0, False)
        got = p.drain()
        assert kinds(got) == ["Headers", "RstStream"] and got[1].error_code == 0
        assert got[0].headers.get_all("date") == [b"x"]  # the caller's date wins
        assert not p.conn.has_stream(1)

    def test_server_heads_carry_a_date_unless_turned_off(self):
        for auto, want in ((True, 1), (False, 0)):
            p = Peer(auto_date_header=auto)
            p.one(p.request(1, end_stream=True))
            p.conn.send_response_head(1, 204, None, True)
            (ev,) = p.drain()
            assert len(ev.headers.get_all("date")) == want

    def test_bad_arguments_raise_before_any_change(self):
        p = Peer()
        p.one(p.request(1, end_stream=True))
        with pytest.raises(v.H2UserError):
            p.conn.send_response_head(1, 200, v.HeaderMap({"connection": "close"}), True)
        with pytest.raises(ValueError):
            p.conn.send_response_head(1, 1000, None, True)
        with pytest.raises(ValueError, match="past the end"):
            p.conn.send_data(1, b"ab", 3, True)
        with pytest.raises(TypeError):
            p.conn.send_data(1, b"ab", 0, 1)
        assert p.conn.stream_state(1) == "HalfClosedRemote(AwaitingHeaders)" and not p.conn.has_pending()
        p.conn.send_response_head(1, 200, None, False)
        with pytest.raises(v.H2UserError):  # a second head
            p.conn.send_response_head(1, 200, None, False)

    def test_open_stream_refusals_give_the_slot_back(self):
        c = v.H2Streams("client", **OPTS)
        c.begin()
        c.apply_stream_limit(1)
        assert c.try_claim_slot() and not c.try_claim_slot()
        with pytest.raises(ValueError):
            c.open_stream("GET", "/", None, True, False, Handle())  # no authority
        assert c.num_open_streams == 0
        c.set_next_stream_id(2147483647)
        assert c.try_claim_slot()
        assert c.open_stream("GET", "/", None, True, False, Handle(), scheme="http", authority="a") == 2147483647
        c.apply_stream_limit(None)
        assert c.try_claim_slot()
        with pytest.raises(v.H2ProtocolError) as e:
            c.open_stream("GET", "/", None, True, False, Handle(), scheme="http", authority="a")
        assert e.value.args == (7, "stream ID space exhausted (OverflowedStreamId)")
        assert c.num_open_streams == 1  # the first stream's slot only
        assert c.try_claim_slot()
        with pytest.raises(TypeError):
            c.open_stream("GET", "/", {"a": "b"}, True, False, Handle(), scheme="http", authority="a")
        assert c.num_open_streams == 1  # a refused argument gives the slot back too

    def test_writers_and_task_handles(self):
        c = v.H2Streams("server", **OPTS)
        assert c.writer_start() and c.writer_start()
        assert c.release_writers() is False
        assert c.writer_start() is False
        assert c.writer_end() is False and c.writer_end() is True
        read, pump = object(), object()
        c.store_task_handles(read, pump)
        assert c.take_read_handle() is read and c.take_read_handle() is None
        assert c.take_pump_handle() is pump and c.take_pump_handle() is None
        d = v.H2Streams("server", **OPTS)
        d.fail()
        assert d.writer_start() is False


# ---- resets, failure and shutdown -------------------------------------------------------


class TestResetsAndFailure:
    def test_fail_keeps_the_first_error_and_aborts_every_stream(self):
        p = Pair()
        sid, h = p.request("GET", "/")
        first, second = ValueError("first"), KeyError("second")
        pairs = p.client.conn.fail(first)
        assert [(hh, st.reason, st.conn) for hh, st in pairs] == [(h, None, True)]
        assert p.client.conn.fail(second) == []
        assert p.client.conn.conn_error() is first
        assert p.client.conn.is_failed() and p.client.conn.num_streams == 0 and p.client.conn.num_open_streams == 0
        assert p.client.conn.send_data(sid, b"x", 0, True).stopped.conn is False  # no record: a bare stop
        bare = v.H2Streams("client", **OPTS)
        assert bare.conn_error() is None
        bare.fail()
        err = bare.conn_error()
        assert type(err) is v.ConnectionClosedError and err.args == ("connection closed",)

    def test_local_error_resets_are_capped(self):
        for cap, raises in ((2, True), (None, False)):
            c = v.H2Streams("server", **OPTS, max_local_error_reset_streams=cap)
            c.begin()
            assert c.max_local_error_reset_streams == cap
            for sid in (1, 3):
                vd = c.reset_on_error(sid, 1)
                assert vd.handle is None and vd.stop is None and vd.flags == v.H2_FLAG_WAKE
                assert c.in_reset_store(sid)
            if raises:
                with pytest.raises(v.H2ProtocolError) as e:
                    c.reset_on_error(5, 1)
                assert e.value.args == (11, "too many stream resets")
            else:
                for sid in range(5, 3000, 2):
                    c.reset_on_error(sid, 1)
        assert v.H2Streams("server", **OPTS).max_local_error_reset_streams == 1024

    def test_peer_resets_of_unaccepted_requests_are_capped(self):
        p = Peer()
        for i in range(20):
            sid = 1 + 2 * i
            p.one(p.request(sid))
            p.one(p.codec.serialize_rst_stream(sid, 8))
        p.one(p.request(41))
        p.conn.accepted(1)  # pulled: no longer counts
        p.one(p.codec.serialize_rst_stream(41, 8))
        p.one(p.request(43))
        with pytest.raises(v.H2ProtocolError) as e:
            p.one(p.codec.serialize_rst_stream(43, 8))
        assert e.value.args == (11, "too_many_resets")

    def test_rst_stream_edges(self):
        p = Peer()
        with pytest.raises(v.H2ProtocolError, match="RST_STREAM on stream 0"):
            p.one(frame(3, 0, 0, b"\0\0\0\x08"))
        with pytest.raises(v.H2ProtocolError, match="frame on idle stream 7"):
            p.one(p.codec.serialize_rst_stream(7, 8))
        with pytest.raises(ValueError, match="initiator must be 'user' | 'library' | 'remote', got \"x\""):
            p.conn.reset_stream(1, 8, "x")
        p.one(p.request(1, end_stream=True))
        handle, stop, notify, _ = p.one(p.codec.serialize_rst_stream(1, 2))
        assert notify is False and stop.reason == 2  # the request had ended: its body is complete
        assert p.one(p.codec.serialize_rst_stream(1, 2)) is None

    def test_aclose_body_after_the_whole_body_gives_the_window_back(self):
        p = Peer()
        p.one(p.request(1))
        p.feed(data_frame(1, b"x" * 16384) * 2 + data_frame(1, b"", end_stream=True))
        p.drain()
        vd = p.conn.aclose_body(1)
        assert vd.handle is None and vd.stop is None and vd.flags & v.H2_FLAG_WAKE
        got = p.drain()
        assert [(e.stream_id, e.increment) for e in got] == [(0, 32768)]  # no RST_STREAM

    def test_graceful_shutdown_in_two_phases(self):
        p = Peer()
        p.one(p.request(1))
        assert p.conn.begin_graceful_shutdown() == v.H2_FLAG_WAKE
        assert p.conn.begin_graceful_shutdown() == 0
        got = p.drain()
        assert kinds(got) == ["GoAway", "Ping"] and got[0].last_stream_id == 2147483647
        assert got[1].data == b"SHUTDOWN"
        p.one(p.request(3))  # sent before the peer saw the GOAWAY: still served
        flags = p.one(p.codec.serialize_ping_ack(b"SHUTDOWN"))
        assert flags == v.H2_FLAG_WAKE and p.conn.shutdown_final and p.conn.max_stream_id == 3
        (ga,) = p.drain()
        assert ga.last_stream_id == 3
        assert p.one(p.request(5)).kind == v.H2_HEADERS_IGNORED
        p.conn.send_response_head(1, 200, None, True)
        vd = p.conn.send_response_head(3, 200, None, True)
        assert vd.flags & v.H2_FLAG_STOP_ACCEPTING

    def test_a_client_goaway_aborts_only_streams_above_the_last_id(self):
        p = Peer(role="client")
        c = p.conn
        hs = {}
        for _ in range(4):  # ids 1, 3, 5, 7
            c.try_claim_slot()
            h = Handle()
            hs[c.open_stream("GET", "/", None, True, False, h, scheme="http", authority="a")] = h
        p.one(p.codec.serialize_response_headers(1, 200, None, True))
        p.one(p.codec.serialize_response_headers(3, 200, None, True))
        p.drain()
        aborted, flags = p.one(p.codec.serialize_go_away(5, 0))
        assert [(hh, st.reason, st.conn) for hh, st in aborted] == [(hs[7], 0, True)]
        assert flags & v.H2_FLAG_SLOT_FREED and c.num_streams == 1
        vd = p.one(p.codec.serialize_response_headers(5, 200, None, True))
        assert vd.flags & (v.H2_FLAG_WAKE | v.H2_FLAG_CONN_DONE) == v.H2_FLAG_WAKE | v.H2_FLAG_CONN_DONE
        (ga,) = p.drain()
        assert (ga.last_stream_id, ga.error_code) == (0, 0)
        assert c.maybe_goaway_reply() == 0 and c.goaway_replied

    def test_goaway_with_nothing_open_is_answered_by_the_idle_check(self):
        p = Peer(role="client")
        assert p.conn.maybe_goaway_reply() == 0
        p.one(p.codec.serialize_go_away(0, 0))
        assert p.conn.maybe_goaway_reply() == 5
        err = p.conn.conn_error()
        assert type(err) is v.ConnectionClosedError and err.args == ("connection closed: GOAWAY exchanged",)

    def test_a_client_cancelling_thousands_of_downloads_keeps_its_connection(self):
        # Every cancelled stream still has response DATA in flight; past the
        # reset store's 50 entries each of those frames is a STREAM_CLOSED
        # stream error that the client answers with reset_on_error. Counting
        # them toward max_local_error_reset_streams (1024) would fail the
        # client's own connection.
        p = Pair(server_opts=dict(max_concurrent_streams=100))
        cli, srv = p.client, p.server
        echoes = 0
        for _ in range(20):
            sids = [p.request("GET", "/big")[0] for _ in range(100)]
            p.flow(cli, srv)
            for ssid, _h in srv.accepted:
                srv.conn.accepted(ssid)
                srv.conn.send_response_head(ssid, 200, None, False)
                for off in range(0, 600, 200):
                    srv.conn.send_data(ssid, b"d" * 600, off, False)
            srv.accepted.clear()
            for sid in sids:
                cli.conn.reset_stream(sid, 8)
            before = len(cli.errors)
            p.pump()
            echoes += len(cli.errors) - before
        assert all(e.args[1] == 5 for e in cli.errors)
        assert echoes > 1024  # what the literal count would have made of them
        assert not cli.conn.is_failed() and cli.conn.local_error_resets == 0
        assert cli.conn.num_streams == 0 and cli.conn.num_open_streams == 0

    def test_a_peer_provoking_resets_is_still_stopped(self):
        p = Peer(max_local_error_reset_streams=100)
        with pytest.raises(v.H2ProtocolError) as e:
            for i in range(200):
                sid = 1 + 2 * i
                try:  # a body longer than it declares, on every stream
                    p.feed(p.request(sid, headers=v.HeaderMap({"content-length": "1"})) + data_frame(sid, b"xy"))
                except v.H2StreamError as err:
                    p.conn.reset_on_error(err.args[0], err.args[1])
        assert e.value.args == (11, "too many stream resets") and i == 100
        q = Peer(max_local_error_reset_streams=100)
        with pytest.raises(v.H2ProtocolError):  # frames after resetting its own streams
            for i in range(200):
                sid = 1 + 2 * i
                try:
                    q.feed(q.request(sid) + q.codec.serialize_rst_stream(sid, 8) + data_frame(sid, b"z"))
                except v.H2StreamError as err:
                    q.conn.reset_on_error(err.args[0], err.args[1])


# ---- the object ---------------------------------------------------------------------


class TestObject:
    def test_constructor_checks(self):
        with pytest.raises(ValueError) as e:
            v.H2Streams("proxy", **OPTS)
        assert str(e.value) == "role must be 'client' or 'server', got \"proxy\""
        for bad in (16383, 16777216):
            with pytest.raises(ValueError, match=r"max_frame_size must be in \[16384, 16777215\], got"):
                v.H2Streams("client", **{**OPTS, "max_frame_size": bad})
        with pytest.raises(ValueError, match=r"window sizes must be <= 2147483647 \(RFC 9113 6.9.1\)"):
            v.H2Streams("client", **{**OPTS, "connection_window": 2147483648})
        c = v.H2Streams("client", **{**OPTS, "connection_window": 1048576})
        assert c.data_frame_budget_available == 524288
        c.begin()
        view, _ = c.take_pending()
        evs = frames(bytes(view))
        assert [(e.stream_id, e.increment) for e in evs if isinstance(e, v.H2FrameWindowUpdate)] == [(0, 983041)]

    def test_frozen_subclassable_and_collected(self):
        c = v.H2Streams("client", **OPTS)
        with pytest.raises(AttributeError):
            c.num_streams = 3
        with pytest.raises(AttributeError):
            c.anything = 1

        class Driver(v.H2Streams):
            def __init__(self, role, transport):
                super().__init__()
                self.transport = transport

        class Loop:
            pass

        d = Driver.__new__(Driver, "client", **OPTS)
        d.__init__("client", None)
        d.begin()
        node = Loop()
        node.conn = d  # a cycle through a stream handle and the stored error
        d.try_claim_slot()
        d.open_stream("GET", "/", None, True, False, node, scheme="http", authority="a")
        exc = RuntimeError("x")
        exc.conn = d
        d.store_task_handles(node, node)
        import weakref
        ref = weakref.ref(node)
        del node, d, exc
        gc.collect()
        assert ref() is None

    def test_verdicts_are_read_only(self):
        c = v.H2Streams("server", **OPTS)
        c.begin()
        vd = c.send_data(1, b"", 0, False)
        assert type(vd) is v.H2SendVerdict and vd.stopped.reason is None
        with pytest.raises(AttributeError):
            vd.sent = 1
        with pytest.raises(TypeError):
            v.H2Stopped()


def test_a_larger_frame_right_behind_the_settings_ack_is_accepted():
    # We advertise 65536; a peer may use it as soon as it has our SETTINGS,
    # and its ACK can share one read with that frame.
    s = v.H2Streams("server", **{**OPTS, "max_frame_size": 65536, "initial_window_size": 1 << 20,
                                 "connection_window": 1 << 20})
    s.begin()
    peer = v.H2Codec("client")
    wire = (v.H2_PREFACE + peer.serialize_settings() + peer.serialize_settings_ack()
            + peer.serialize_request_headers(1, "POST", "/", None, False, scheme="http", authority="a")
            + frame(0, 0, 1, b"x" * 40000))
    side = _Side("server", OPTS)
    side.conn = s
    got = [side.dispatch(ev) for ev in s.receive(wire)]
    assert len(got[-1].payload) == 40000
    literal = v.H2Codec("server")  # the limit applied only at the ACK
    with pytest.raises(v.H2ProtocolError, match="frame length exceeds"):
        literal.receive(wire)


def test_prime_takes_sniffed_bytes_before_receive():
    s = v.H2Streams("server", **OPTS)
    assert s.prime(v.H2_PREFACE[:10]) is None
    peer = v.H2Codec("client")
    assert s.prime(v.H2_PREFACE[10:] + peer.serialize_settings()[:5]) is True
    (ev,) = s.receive(peer.serialize_settings()[5:])
    assert isinstance(ev, v.H2FrameSettings) and not ev.ack
    assert v.H2Streams("server", **OPTS).prime(b"GET / HTTP/1.1\r\n") is False
    c = v.H2Streams("client", **OPTS)
    assert c.prime(peer.serialize_ping(b"12345678")[:4]) is True  # buffered as is
    assert len(c.receive(peer.serialize_ping(b"12345678")[4:])) == 1
