"""H2Streams over a loopback pair: a client and a server back to back."""

import gc
import threading

import pytest

from velmora import _velmora as v
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
