"""H2Streams against python h2's H2Connection, in both roles, in one process:
the handshake completes with each side's SETTINGS applied and acknowledged,
heads, bodies and trailers cross, and the window updates of each side keep
the other's flow control in step (what one side may still send equals what
the other advertised).

Deliberate differences from h2: none exercised here. h2 sends no empty DATA
frames, no padding and no priority, so every frame it sends is one H2Streams
must accept.
"""

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from h2_loopback import H2PeerSide, Pair, Side

h2 = pytest.importorskip("h2.connection")


def _body(n, seed):
    return random.Random(seed).randbytes(n)


def _run(p, on_tick=None, max_rounds=100000):
    for _ in range(max_rounds):
        moved = p.step()
        p.check()
        if on_tick is not None:
            moved = on_tick() or moved
        if not moved and not p.client.runnable and not p.server.runnable:
            break
    p.check_stall()


def _peer_window_matches(p, ours, theirs):
    """At rest, h2's send window is the window we advertised, and the other way round."""
    assert p.quiet() and not ours.conn.has_pending()
    ours_log = p.log_c2s if ours is p.client else p.log_s2c
    theirs_log = p.log_s2c if ours is p.client else p.log_c2s
    # what we advertised, read off the wire, is what h2 believes it may send
    assert theirs.h2.outbound_flow_control_window == 65535 + ours_log.updates.get(0, 0) - theirs_log.data.get(0, 0)
    # and what h2 advertised is what we believe we may send
    assert ours.conn.conn_send_window == 65535 + theirs_log.updates.get(0, 0) - ours_log.data.get(0, 0)


@pytest.mark.parametrize("ours_opts, theirs_opts", [
    pytest.param(dict(), dict(), id="defaults"),
    pytest.param(dict(initial_window_size=20000, max_frame_size=32768, connection_window=1 << 20),
                 dict(initial_window_size=30000, max_frame_size=20000, max_concurrent_streams=5), id="tuned"),
])
def test_velmora_client_with_h2_server(ours_opts, theirs_opts):
    c = Side("client", **ours_opts)
    s = H2PeerSide("server", **theirs_opts)
    p = Pair(client=c, server=s)
    # every SETTINGS acknowledged, each applied by the other side
    assert c.settings_acked == 1 and s.settings_acked == s.settings_sent
    assert c.conn.peer_max_frame_size == theirs_opts.get("max_frame_size", 16384)
    assert c.conn.peer_initial_window_size == theirs_opts.get("initial_window_size", 65535)
    assert c.conn.stream_limit == s.h2.local_settings.max_concurrent_streams
    rs = s.h2.remote_settings
    assert rs.initial_window_size == ours_opts.get("initial_window_size", 65535)
    assert rs.max_frame_size == ours_opts.get("max_frame_size", 16384)
    assert s.h2.outbound_flow_control_window == max(65535, ours_opts.get("connection_window", 65535))

    n = 12
    handles = [c.request("POST", f"/up/{i}", {"content-type": "application/octet-stream"},
                         _body(90000 + 1000 * i, i), trailers={"x-i": str(i)} if i % 2 else None)
               for i in range(n)]

    def serve():
        moved = False
        while s.accepted and s.accepted[0].eof:
            st = s.accepted.popleft()
            path = dict(st.head)[b":path"].decode()
            i = int(path.rsplit("/", 1)[1])
            assert bytes(st.body) == _body(90000 + 1000 * i, i)
            if i % 2:
                assert dict(st.trailers) == {b"x-i": str(i).encode()}
            s.respond(st, 200, [("x-i", str(i))], _body(120000 + 7 * i, 100 + i),
                      trailers=[("x-done", "1")] if i % 3 == 0 else None)
            moved = True
        return moved

    _run(p, serve)
    for i, h in enumerate(handles):
        assert h.eof and h.head.status == 200 and h.head.headers.get_all("x-i") == [str(i).encode()]
        assert bytes(h.body) == _body(120000 + 7 * i, 100 + i)
        assert (h.trailers is not None) == (i % 3 == 0)
    assert c.conn.num_streams == 0 and c.conn.num_open_streams == 0
    assert not c.stream_errors and not s.resets and s.error is None
    _peer_window_matches(p, c, s)


@pytest.mark.parametrize("ours_opts, theirs_opts", [
    pytest.param(dict(), dict(), id="defaults"),
    pytest.param(dict(initial_window_size=1000, max_concurrent_streams=4, connection_window=300000),
                 dict(initial_window_size=50000, max_frame_size=65536), id="tuned"),
])
def test_h2_client_with_velmora_server(ours_opts, theirs_opts):
    c = H2PeerSide("client", **theirs_opts)
    s = Side("server", **ours_opts)
    p = Pair(client=c, server=s)
    assert s.settings_acked == 1 and c.settings_acked == c.settings_sent
    assert s.conn.peer_max_frame_size == theirs_opts.get("max_frame_size", 16384)
    assert s.conn.peer_initial_window_size == theirs_opts.get("initial_window_size", 65535)
    rs = c.h2.remote_settings
    assert rs.initial_window_size == ours_opts.get("initial_window_size", 65535)
    assert rs.max_concurrent_streams == ours_opts.get("max_concurrent_streams", rs.max_concurrent_streams)

    limit = ours_opts.get("max_concurrent_streams", 100)
    total = 10
    sent = {}

    def client_opens():
        moved = False
        while len(sent) < total and c.h2.open_outbound_streams < limit:
            i = len(sent)
            st = c.request("POST", f"/p/{i}", [("x-i", str(i))], _body(40000 + 500 * i, i),
                           trailers=[("x-t", "1")] if i % 2 == 0 else None)
            sent[i] = st
            moved = True
        return moved

    def serve():
        moved = client_opens()
        while s.accepted and s.accepted[0].eof:
            req = s.accepted.popleft()
            i = int(req.head.path.rsplit("/", 1)[1])
            assert req.head.method == "POST" and req.head.headers.get_all("x-i") == [str(i).encode()]
            assert bytes(req.body) == _body(40000 + 500 * i, i)
            assert (req.trailers is not None) == (i % 2 == 0)
            s.respond(req, 200, {"x-i": str(i)}, _body(70000 + i, 50 + i), trailers={"x-r": "2"} if i % 3 else None)
            moved = True
        return moved

    client_opens()
    _run(p, serve)
    assert len(sent) == total
    for i, st in sent.items():
        assert st.eof and dict(st.head)[b":status"] == b"200"
        assert bytes(st.body) == _body(70000 + i, 50 + i)
        assert (st.trailers is not None) == bool(i % 3)
    assert s.conn.num_streams == 0 and not s.stream_errors and not c.resets
    _peer_window_matches(p, s, c)


def test_peer_shrinks_its_window_mid_body_then_opens_it_again():
    # h2 lowers SETTINGS_INITIAL_WINDOW_SIZE while our response is streaming:
    # the stream's send window drops below zero by the difference and both
    # sides agree on it; raising it again wakes the sender, and the body
    # arrives whole
    import h2.settings

    c = H2PeerSide("client")
    s = Side("server")
    p = Pair(client=c, server=s)
    st = c.request("GET", "/big")
    p.step()
    req = s.accepted.popleft()
    data = _body(400000, 9)
    s.respond(req, 200, None, data)
    s.run_senders()
    c.h2.update_settings({h2.settings.SettingCodes.INITIAL_WINDOW_SIZE: 100})
    for _ in range(20):
        p.step()
    assert s.conn.peer_initial_window_size == 100
    assert c.h2.remote_flow_control_window(st.sid) < 0  # what h2 lets us send
    assert s.conn.stream_send_window(st.sid) == 0 and req in s.senders and len(st.body) < len(data)
    c.h2.update_settings({h2.settings.SettingCodes.INITIAL_WINDOW_SIZE: 1 << 20})
    _run(p)
    assert st.eof and bytes(st.body) == data
    _peer_window_matches(p, s, c)


def test_h2_resets_a_stream_mid_body():
    c = H2PeerSide("client")
    s = Side("server")
    p = Pair(client=c, server=s)
    st = c.request("GET", "/big")
    other = c.request("GET", "/small")
    p.step()
    big, small = s.accepted.popleft(), s.accepted.popleft()
    s.respond(big, 200, None, _body(1 << 20, 1))
    s.respond(small, 200, None, b"small")
    p.step()
    import h2.errors
    c.h2.reset_stream(st.sid, h2.errors.ErrorCodes.CANCEL)
    _run(p)
    assert big.reset and big.stop.reason == 8 and big not in s.senders
    assert big.send_stopped is not None
    assert other.eof and bytes(other.body) == b"small"
    assert s.conn.num_streams == 0
    _peer_window_matches(p, s, c)


@settings(max_examples=25, deadline=None)
@given(role=st.sampled_from(["client", "server"]),
       ours_window=st.sampled_from([100, 16384, 65535, 1 << 20]),
       theirs_window=st.sampled_from([1000, 65535, 1 << 20]),
       conn_window=st.sampled_from([65535, 100000, 1 << 22]),
       sizes=st.lists(st.tuples(st.integers(0, 70000), st.integers(0, 90000)), min_size=1, max_size=6),
       cuts=st.lists(st.integers(1, 5000), min_size=1, max_size=8).filter(lambda c: sum(c) >= 20 * len(c)))
def test_random_exchanges_with_h2(role, ours_window, theirs_window, conn_window, sizes, cuts):
    # random bodies both ways, random windows on each side, bytes delivered in
    # random pieces: every body crosses whole and the windows end in step
    ours = Side(role, initial_window_size=ours_window, connection_window=conn_window)
    theirs = H2PeerSide("server" if role == "client" else "client", initial_window_size=theirs_window,
                        connection_window=conn_window)
    p = Pair(client=ours, server=theirs) if role == "client" else Pair(client=theirs, server=ours)
    client, server = p.client, p.server
    handles = []
    for i, (up, _) in enumerate(sizes):
        body = _body(up, i)
        if client is ours:
            handles.append(client.request("POST", f"/{i}", None, body))
        else:
            handles.append(client.request("POST", f"/{i}", [], body))
    pending = {}
    served = set()
    k = 0
    for _ in range(200000):
        moved = client.run_senders() | server.run_senders()
        p.write()
        moved = moved or bool(p.c2s or p.s2c)
        p.deliver_c2s(cuts[k % len(cuts)])
        p.deliver_s2c(cuts[(k + 1) % len(cuts)])
        k += 1
        p.check()
        for req in list(server.accepted):
            if req.eof and id(req) not in served:
                served.add(id(req))
                path = req.head.path if server is ours else dict(req.head)[b":path"].decode()
                i = int(path[1:])
                assert bytes(req.body) == _body(sizes[i][0], i)
                pending[i] = _body(sizes[i][1], 100 + i)
                if server is ours:
                    server.respond(req, 200, None, pending[i])
                else:
                    server.respond(req, 200, [], pending[i])
                moved = True
        if not moved and not p.client.runnable and not p.server.runnable:
            break
    else:
        raise AssertionError("no quiescence")
    p.check_stall()
    for i, h in enumerate(handles):
        assert h.eof and bytes(h.body) == pending[i]
    assert ours.conn.num_streams == 0 and not ours.stream_errors and not theirs.resets
    _peer_window_matches(p, ours, theirs)
