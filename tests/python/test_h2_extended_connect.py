"""Extended CONNECT (RFC 8441), the way a WebSocket opens over HTTP/2: two
H2Streams back to back open one and run it as a tunnel both ways; the client
waits for the server's setting; the server's option decides whether the
request is valid; H2Codec builds and reads the same heads; and python h2, in
either role, speaks it with us.

Deliberate differences from h2: none exercised here.
"""

import pytest

from h2pair import Handle, Pair, Side, send_all
from velmora import _velmora as v

WS = v.HeaderMap({"sec-websocket-version": "13"})


def _open(p, target="/chat", protocol="websocket", headers=WS):
    c = p.client.conn
    assert c.try_claim_slot()
    h = Handle("ws")
    sid = c.open_stream("CONNECT", target, headers, False, False, h,
                        scheme="https", authority="example.test", protocol=protocol)
    return sid, h


def _accepted(p, sid):
    [(got, handle)] = [a for a in p.server.accepted if a[0] == sid]
    return handle


def test_a_tunnel_carries_data_both_ways_and_each_side_ends_its_half():
    p = Pair(server_opts=dict(enable_connect_protocol=True))
    assert p.client.conn.peer_enable_connect_protocol
    assert not p.server.conn.peer_enable_connect_protocol
    sid, mine = _open(p, target="/chat?room=7")
    p.pump()
    theirs = _accepted(p, sid)
    head = theirs.heads[0]
    assert (head.method, head.protocol, head.scheme, head.path, head.authority) == (
        "CONNECT", "websocket", "https", "/chat?room=7", "example.test")
    assert head.headers["sec-websocket-version"] == b"13"

    p.server.conn.send_response_head(sid, 200, None, False)
    p.pump()
    assert mine.heads[0].status == 200 and mine.heads[0].protocol is None
    # Both ways at once, each larger than every window.
    down, up = bytes(range(256)) * 700, b"u" * 150000
    send_all(p.server, sid, down, end_stream=False, pair=p)
    send_all(p.client, sid, up, end_stream=False, pair=p)
    p.pump()
    assert bytes(mine.body) == down and bytes(theirs.body) == up
    assert not p.client.errors and not p.server.errors

    # The client ends its half (a WebSocket's close frame, then END_STREAM);
    # the server still answers before it ends its own.
    send_all(p.client, sid, b"close", pair=p)
    p.pump()
    assert theirs.eof and not mine.eof
    send_all(p.server, sid, b"close too", pair=p)
    p.pump()
    assert mine.eof and bytes(mine.body).endswith(b"close too")
    assert p.client.conn.num_streams == 0 and p.server.conn.num_streams == 0
    assert p.client.conn.num_open_streams == 0
    assert not any(isinstance(e, v.H2FrameRstStream) for e in p.client.events + p.server.events)


def test_the_server_ending_first_leaves_the_clients_half_open():
    p = Pair(server_opts=dict(enable_connect_protocol=True))
    sid, mine = _open(p)
    p.pump()
    theirs = _accepted(p, sid)
    p.server.conn.send_response_head(sid, 200, v.HeaderMap({"content-length": "0"}), False)
    vd = send_all(p.server, sid, b"server done", pair=p)
    assert vd.handle is None and vd.reader_stop is None    # no reset of the unread half
    p.pump()
    assert mine.eof and p.client.conn.stream_state(sid) == "HalfClosedRemote(Streaming)"
    # A content-length on the 2xx says nothing about the tunnel.
    send_all(p.client, sid, b"client still talking", pair=p)
    p.pump()
    assert bytes(theirs.body) == b"client still talking" and theirs.eof
    assert not p.client.errors and not p.server.errors
    assert p.server.conn.num_streams == 0 and p.client.conn.num_streams == 0


def test_a_refusal_is_an_ordinary_response():
    p = Pair(server_opts=dict(enable_connect_protocol=True))
    sid, mine = _open(p)
    p.pump()
    vd = p.server.conn.send_response_head(sid, 403, None, True)
    assert vd.handle is not None                           # the unread request half is reset
    p.pump()
    assert mine.heads[0].status == 403 and mine.eof
    assert p.client.conn.num_streams == 0 and p.server.conn.num_streams == 0


def test_the_client_waits_for_the_servers_setting():
    # Against a server that does not allow it, and before any SETTINGS.
    p = Pair()
    early = v.H2Streams("client", initial_window_size=65535, connection_window=65535, max_frame_size=16384,
                        max_header_list_size=16384, max_send_buf_size=1 << 20)
    early.begin()
    early.take_pending()
    for c in (p.client.conn, early):
        assert not c.peer_enable_connect_protocol
        assert c.try_claim_slot()
        with pytest.raises(v.H2UserError) as e:
            c.open_stream("CONNECT", "/chat", WS, False, False, Handle(), scheme="https",
                          authority="example.test", protocol="websocket")
        assert e.value.args[0] == "connect_protocol_disabled"
        assert c.num_open_streams == 0 and not c.has_pending()
    # Arguments are checked as for any head, the slot given back.
    p2 = Pair(server_opts=dict(enable_connect_protocol=True))
    c = p2.client.conn
    for method, protocol, message in (("GET", "websocket", "a request with a protocol must use the CONNECT method"),
                                      ("CONNECT", "web socket", "invalid protocol: not a token")):
        assert c.try_claim_slot()
        with pytest.raises(ValueError, match=message):
            c.open_stream(method, "/chat", None, False, False, Handle(), scheme="https",
                          authority="example.test", protocol=protocol)
        assert c.num_open_streams == 0


def test_without_the_option_the_request_is_malformed():
    p = Pair()
    codec = v.H2Codec("client")
    # What a client that ignored the setting would send.
    block = codec.serialize_request_headers(1, "CONNECT", "/chat", WS, False, scheme="https",
                                            authority="example.test", protocol="websocket")
    c = p.client.conn
    c.take_pending()
    events = p.server.conn.receive(block)
    assert [type(e) for e in events] == [v.H2FrameStreamError]
    assert events[0].stream_id == 1 and events[0].error_code == 1


def test_the_setting_once_given_stays():
    p = Pair(server_opts=dict(enable_connect_protocol=True))
    codec = v.H2Codec("server")
    [withdraw] = p.client.conn.receive(codec.serialize_settings(enable_connect_protocol=False))
    assert withdraw.enable_connect_protocol is False
    with pytest.raises(v.H2ProtocolError) as e:
        p.client.conn.recv_settings(withdraw)
    assert e.value.args == (1, "SETTINGS_ENABLE_CONNECT_PROTOCOL may not change from 1 to 0")
    assert p.client.conn.peer_enable_connect_protocol and not p.client.conn.has_pending()
    with pytest.raises(v.H2ProtocolError, match="InvalidSettingValue"):
        p.client.conn.receive(b"\x00\x00\x06\x04\x00\x00\x00\x00\x00\x00\x08\x00\x00\x00\x02")


def test_h2codec_builds_and_reads_the_extended_form():
    client = v.H2Codec("client")
    block = client.serialize_request_headers(3, "CONNECT", "https://example.test/chat", WS, False,
                                             protocol="websocket")
    on = v.H2Codec("server", enable_connect_protocol=True)
    assert on.feed_preface(v.H2_PREFACE) is True
    [ev] = on.receive(block)
    assert (ev.method, ev.scheme, ev.authority, ev.path, ev.protocol) == (
        "CONNECT", "https", "example.test", "/chat", "websocket")
    off = v.H2Codec("server")
    off.feed_preface(v.H2_PREFACE)
    [err] = off.receive(v.H2Codec("client").serialize_request_headers(
        3, "CONNECT", "https://example.test/chat", None, False, protocol="websocket"))
    assert isinstance(err, v.H2FrameStreamError)
    # Plain CONNECT keeps its short form; :protocol only with CONNECT.
    [plain] = on.receive(client.serialize_request_headers(5, "CONNECT", "example.test:443", None, False,
                                                          scheme="https", authority="example.test:443"))
    assert (plain.scheme, plain.path, plain.protocol) == (None, None, None)
    with pytest.raises(ValueError, match="must use the CONNECT method"):
        client.serialize_request_headers(7, "GET", "https://example.test/", None, protocol="websocket")
    v.H2Codec.check_send_headers(WS)
    [settings] = v.H2Codec("client").receive(v.H2Codec("server").serialize_settings(enable_connect_protocol=True))
    assert settings.enable_connect_protocol is True and settings.enable_push is None


# ---- against python h2 -------------------------------------------------------------------


@pytest.fixture
def h2():
    pytest.importorskip("h2.connection")
    import h2.config
    import h2.connection
    import h2.events
    import h2.settings
    return h2


def _h2(h2, client_side):
    conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=client_side, header_encoding=None))
    conn.initiate_connection()
    return conn


def _relay(h2, ours, theirs, collect, rounds=50):
    """Moves bytes between our Side and an h2 connection until both are quiet."""
    for _ in range(rounds):
        a = ours.take()
        for e in theirs.receive_data(a) if a else ():
            collect.append(e)
            if isinstance(e, h2.events.DataReceived):
                theirs.acknowledge_received_data(e.flow_controlled_length, e.stream_id)
        b = theirs.data_to_send()
        for ev in ours.conn.receive(b) if b else ():
            ours.dispatch(ev)
        if not a and not b:
            return
    raise AssertionError("never quiet")


def test_h2_client_opens_a_tunnel_on_our_server(h2):
    ours = Side("server", enable_connect_protocol=True)
    ours.conn.begin()
    theirs, seen = _h2(h2, True), []
    _relay(h2, ours, theirs, seen)
    assert theirs.remote_settings[h2.settings.SettingCodes.ENABLE_CONNECT_PROTOCOL] == 1
    theirs.send_headers(1, [(b":method", b"CONNECT"), (b":protocol", b"websocket"), (b":scheme", b"https"),
                            (b":path", b"/chat"), (b":authority", b"example.test"),
                            (b"sec-websocket-version", b"13")])
    _relay(h2, ours, theirs, seen)
    [(sid, handle)] = ours.accepted
    assert handle.heads[0].protocol == "websocket" and handle.heads[0].path == "/chat"
    ours.conn.send_response_head(sid, 200, None, False)
    ours.conn.send_data(sid, b"hello from velmora", 0, False)
    theirs.send_data(sid, b"hello from h2", end_stream=True)
    _relay(h2, ours, theirs, seen)
    [resp] = [e for e in seen if isinstance(e, h2.events.ResponseReceived)]
    assert dict(resp.headers)[b":status"] == b"200"
    assert b"".join(e.data for e in seen if isinstance(e, h2.events.DataReceived)) == b"hello from velmora"
    assert bytes(handle.body) == b"hello from h2" and handle.eof
    ours.conn.send_data(sid, b"bye", 0, True)
    _relay(h2, ours, theirs, seen)
    assert any(isinstance(e, h2.events.StreamEnded) and e.stream_id == sid for e in seen)
    assert not any(isinstance(e, h2.events.StreamReset) for e in seen)
    assert ours.conn.num_streams == 0 and not ours.errors


def test_our_client_opens_a_tunnel_on_an_h2_server(h2):
    ours = Side("client")
    ours.conn.begin()
    theirs, seen = _h2(h2, False), []
    theirs.update_settings({h2.settings.SettingCodes.ENABLE_CONNECT_PROTOCOL: 1})
    _relay(h2, ours, theirs, seen)
    assert ours.conn.peer_enable_connect_protocol
    mine = Handle("ws")
    assert ours.conn.try_claim_slot()
    sid = ours.conn.open_stream("CONNECT", "/chat", WS, False, False, mine, scheme="https",
                                authority="example.test", protocol="websocket")
    _relay(h2, ours, theirs, seen)
    [req] = [e for e in seen if isinstance(e, h2.events.RequestReceived)]
    head = dict(req.headers)
    assert head[b":protocol"] == b"websocket" and head[b":path"] == b"/chat" and head[b":scheme"] == b"https"
    theirs.send_headers(sid, [(b":status", b"200")])
    theirs.send_data(sid, b"from h2")
    ours.conn.send_data(sid, b"from velmora", 0, False)
    _relay(h2, ours, theirs, seen)
    assert mine.heads[0].status == 200 and bytes(mine.body) == b"from h2"
    assert b"".join(e.data for e in seen if isinstance(e, h2.events.DataReceived)) == b"from velmora"
    ours.conn.send_data(sid, b"", 0, True)
    theirs.end_stream(sid)
    _relay(h2, ours, theirs, seen)
    assert mine.eof and ours.conn.num_streams == 0 and not ours.errors
