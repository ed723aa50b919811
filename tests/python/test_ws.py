"""WsCodec and the handshake helpers from Python: a full exchange from the
handshake to the closing handshake (compression on and off), violations as
WsProtocolError with the codec failed for good, state refusals as None,
misuse as ValueError, and one codec shared by a reader thread and sender
threads."""

import threading

import pytest

from velmora import _velmora as v


def handshake(deflate_server="permessage-deflate", deflate_client="permessage-deflate; client_max_window_bits"):
    key = v.ws_make_key()
    req = v.ws_client_request(key, ["chat"], deflate=deflate_client)
    req.add("host", "example")
    fields, proto, ext = v.ws_server_handshake(req, ["other", "chat"], deflate=deflate_server)
    got_proto, got_ext = v.ws_client_check(fields, key, ["chat"], deflate=deflate_client)
    assert (got_proto, got_ext) == (proto, ext)
    return v.WsCodec(True, extension=ext), v.WsCodec(False, extension=ext), proto, ext


def deliver(sender_frames, receiver):
    events = []
    for f in sender_frames:
        events += receiver.receive(f)
    return events


@pytest.mark.parametrize("compress", [True, False])
def test_exchange_from_handshake_to_close(compress):
    client, server, proto, ext = handshake(deflate_server="permessage-deflate" if compress else None)
    assert proto == "chat"
    assert (ext == "permessage-deflate") is compress
    assert client.extension == ext and server.extension == ext
    text = "héllo € " * 500
    blob = bytes(range(256)) * 40
    frames = [client.send_text(text), client.send_binary(blob[:100], fin=False), client.send_ping(b"p"),
              client.send_binary(blob[100:], fin=True)]
    assert all(isinstance(f, bytes) for f in frames)
    if compress:
        assert len(frames[0]) < len(text.encode()) // 4
    assert deliver(frames, server) == [(v.WS_EVENT_TEXT, text, True), (v.WS_EVENT_PING, b"p", True),
                                       (v.WS_EVENT_BINARY, blob, True)]
    assert client.receive(server.send_pong(b"p") + server.send_text("back")) == [
        (v.WS_EVENT_PONG, b"p", True), (v.WS_EVENT_TEXT, "back", True)]
    # The client closes; the server answers; both may then close.
    assert client.state == v.WS_STATE_OPEN
    close = client.send_close(1000, "bye")
    assert client.state == v.WS_STATE_CLOSE_SENT and not client.may_close_transport
    assert server.receive(close) == [(v.WS_EVENT_CLOSE, "bye", 1000)]
    assert server.state == v.WS_STATE_CLOSE_RECEIVED and server.close_code == 1000
    answer = server.send_close(1000)
    assert server.may_close_transport and server.state == v.WS_STATE_CLOSED
    assert client.receive(answer) == [(v.WS_EVENT_CLOSE, "", 1000)]
    assert client.may_close_transport
    # Everything after is refused, not raised.
    assert client.send_text("late") is None
    assert client.send_close() is None
    assert server.send_ping() is None


def test_streaming_hands_out_fragments_of_whole_characters():
    client = v.WsCodec(True)
    server = v.WsCodec(False, streaming=True)
    assert server.streaming
    frame = client.send_text("aé€😀z")
    got = []
    for i in range(len(frame)):
        got += server.receive(frame[i:i + 1])
    assert "".join(e[1] for e in got) == "aé€😀z"
    assert all(e[0] == v.WS_EVENT_TEXT for e in got) and [e[2] for e in got].count(True) == 1 and got[-1][2]


def test_violation_fails_the_codec_for_good():
    server = v.WsCodec(False)
    unmasked = b"\x81\x02hi"
    with pytest.raises(v.WsProtocolError) as e:
        server.receive(unmasked)
    code, reason = e.value.args
    assert code == 1002 and reason == "unmasked frame from a client"
    assert isinstance(e.value, v.WsError) and isinstance(e.value, v.VelmoraError)
    assert server.state == v.WS_STATE_FAILED and server.failure == (1002, reason)
    with pytest.raises(v.WsProtocolError) as again:
        server.receive(b"")
    assert again.value.args == (1002, "the connection already failed")
    assert server.send_text("x") is None
    assert server.send_close(code, reason) == b"\x88\x1e\x03\xea" + reason.encode()
    assert server.may_close_transport


def test_limits_and_their_codes():
    client = v.WsCodec(True)
    server = v.WsCodec(False, max_frame_size=10, max_message_size=15)
    assert (server.max_frame_size, server.max_message_size) == (10, 15)
    assert v.WsCodec(False).max_message_size == v.WS_DEFAULT_MAX_MESSAGE_SIZE == 16 * 1024 * 1024
    with pytest.raises(v.WsProtocolError) as e:
        server.receive(client.send_binary(b"x" * 11))
    assert e.value.args[0] == 1009
    compressed_client, compressed_server, _, _ = handshake()
    small = v.WsCodec(False, max_message_size=1000, extension=compressed_server.extension)
    with pytest.raises(v.WsProtocolError) as e:
        small.receive(compressed_client.send_binary(bytes(100000)))
    assert e.value.args == (1009, "message larger than max_message_size")


def test_misuse_raises_and_changes_nothing():
    c = v.WsCodec(True)
    assert c.send_text("a", fin=False) is not None
    with pytest.raises(ValueError, match="another kind"):
        c.send_binary(b"b")
    with pytest.raises(ValueError, match="125"):
        c.send_ping(b"x" * 126)
    with pytest.raises(ValueError, match="close code"):
        c.send_close(1006)
    with pytest.raises(ValueError, match="close code"):
        c.send_close(None, "reason without code")
    with pytest.raises(ValueError, match="123"):
        c.send_close(1000, "é" * 62)
    with pytest.raises(TypeError):
        c.send_binary("text")
    with pytest.raises(TypeError):
        v.WsCodec(1)
    with pytest.raises(ValueError, match="permessage-deflate"):
        v.WsCodec(True, extension="permessage-deflate; server_max_window_bits=99")
    assert c.state == v.WS_STATE_OPEN
    assert c.send_text("b") is not None
    assert repr(c) == "WsCodec(client=true, state=0)"


def test_handshake_refusals():
    key = v.ws_make_key()
    req = v.ws_client_request(key)
    for name, value, message in [("sec-websocket-version", "12", "Version"),
                                 ("sec-websocket-key", "AAAA", "Key"),
                                 ("upgrade", "h2c", "Upgrade"),
                                 ("connection", "keep-alive", "Connection")]:
        bad = v.HeaderMap(req)
        bad[name] = value
        with pytest.raises(v.WsHandshakeError, match=message):
            v.ws_server_handshake(bad)
    fields, _, ext = v.ws_server_handshake(req)
    assert fields["sec-websocket-accept"] == v.ws_accept_key(key).encode()
    assert v.ws_accept_key("dGhlIHNhbXBsZSBub25jZQ==") == "s3pPLMBiTxaQ9kYGzzhZRbK+xOo="
    with pytest.raises(v.WsHandshakeError, match="Accept"):
        v.ws_client_check(fields, v.ws_make_key())
    with pytest.raises(v.WsHandshakeError, match="extension"):
        v.ws_client_check(fields, key, deflate=None)
    with pytest.raises(ValueError, match="subprotocol"):
        v.ws_client_request(key, ["bad name"])
    with pytest.raises(TypeError):
        v.ws_server_handshake(req, "chat")
    # Over HTTP/2 only the version is checked, and no accept is sent.
    fields2, _, _ = v.ws_server_handshake(v.HeaderMap([("sec-websocket-version", "13")]), http2=True)
    assert "sec-websocket-accept" not in fields2
    assert list(v.ws_client_request(key, http2=True, deflate=None).items()) == [("sec-websocket-version", b"13")]


def test_reader_and_senders_share_one_codec():
    """A reader thread receives while sender threads send on the same client
    codec: every frame is whole (the server reads them all back) and every
    received message arrives once."""
    client = v.WsCodec(True)
    server = v.WsCodec(False)
    senders, per_sender = 4, 300
    incoming = b"".join(server.send_text(f"in {i}") for i in range(2000))
    out = [[] for _ in range(senders)]
    received = []
    start = threading.Barrier(senders + 1)

    def send(k):
        start.wait()
        for i in range(per_sender):
            out[k].append(client.send_text(f"{k}:{i}") if i % 3 else client.send_ping(b"%d" % k))

    def read():
        start.wait()
        for at in range(0, len(incoming), 97):
            received.extend(client.receive(incoming[at:at + 97]))

    threads = [threading.Thread(target=send, args=(k,)) for k in range(senders)] + [threading.Thread(target=read)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
        assert not t.is_alive()
    assert [e[1] for e in received] == [f"in {i}" for i in range(2000)]
    for k in range(senders):
        events = deliver(out[k], server)
        assert [e[1] for e in events if e[0] == v.WS_EVENT_TEXT] == [f"{k}:{i}" for i in range(per_sender) if i % 3]
