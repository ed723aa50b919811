"""H1ClientState and H1ServerState from Python: the drivers' call orders and
what they rely on (claims taken once, first error wins, transports handed back
exactly once and never after a hand-off, stale seq changes nothing, continue
before head, reuse and switch decisions, watcher hand-off), objects released
only after unlocking, and garbage collection of cycles through the states."""

import gc
import inspect
import threading
import time
import weakref

import pytest

from velmora._velmora import (
    H1_NEXT_CLOSE, H1_NEXT_DRAIN, H1_NEXT_NONE, H1_NEXT_RAISE, H1_READ_EOF, H1_READ_PARSE, H1_READ_SHUTDOWN,
    H1_READ_TRANSPORT, H1_READ_WATCHER, H1_REQ_ALREADY, H1_REQ_CONTINUE, H1_REQ_OK, H1_REQ_PARKED,
    H1_REQ_PEER_CLOSED, H1_REQ_STALE, H1_WATCH_HANDOFF, H1_WATCH_IDLE_BYTES, H1_WATCH_IDLE_EOF,
    H1_WATCH_IDLE_ERROR, H1_WATCH_IGNORED, H1BodyDecoder, H1ClientState, H1Codec, H1ParseError, H1ServerState,
    H1UserError, HeaderMap,
)


class Obj:
    """A stand-in for a transport, event or task handle."""

    def __init__(self, name="obj"):
        self.name = name

    def __repr__(self):
        return f"Obj({self.name})"


def client(transport=None):
    return H1ClientState(H1Codec(), transport if transport is not None else Obj("transport"))


def server(transport=None, **kw):
    return H1ServerState(H1Codec(date_header=False), transport if transport is not None else Obj("transport"), **kw)


def accepted(st, data):
    kind, _ = st.begin_read()
    assert kind in (H1_READ_TRANSPORT, H1_READ_PARSE)
    return st.accept_head(data)


GET = b"GET / HTTP/1.1\r\nHost: a\r\n\r\n"


class TestSurface:
    def test_constructors_check_their_arguments(self):
        with pytest.raises(TypeError, match="codec"):
            H1ClientState(object(), None)
        with pytest.raises(TypeError, match="codec"):
            H1ServerState("codec", None)
        with pytest.raises(TypeError, match="keep_alive"):
            H1ServerState(H1Codec(), None, keep_alive=1)
        with pytest.raises(TypeError, match="half_close"):
            H1ServerState(H1Codec(), None, half_close=None)
        with pytest.raises(TypeError):
            H1ServerState(H1Codec(), None, True)  # keep_alive is keyword-only
        st = H1ServerState(H1Codec(), None, keep_alive=False, half_close=True)
        assert not st.keep_alive_enabled and st.half_close

    def test_frozen_subclassable_and_introspectable(self):
        codec = H1Codec()
        c = H1ClientState(codec, None)
        assert c.codec is codec
        with pytest.raises(AttributeError):
            c.anything = 1

        class Connection(H1ClientState):
            def __init__(self, codec, transport, loop):
                super().__init__()
                self.loop = loop

            def __new__(cls, codec, transport, loop):
                return super().__new__(cls, codec, transport)

        sub = Connection(codec, Obj(), "loop")
        assert sub.loop == "loop" and sub.try_begin_exchange()
        assert list(inspect.signature(H1ServerState.respond_head).parameters) == [
            "self", "seq", "status", "headers", "done", "content_length", "chunked", "want"]
        assert list(inspect.signature(H1ClientState.watcher_completed).parameters) == ["self", "data", "error"]
        assert H1ServerState.__module__ == "velmora._velmora"

    def test_argument_errors(self):
        c = client()
        for st in (c, server()):
            with pytest.raises(TypeError, match="data"):
                st.watcher_completed(bytearray(b"x"))
        with pytest.raises(TypeError, match="resp_keep_alive"):
            c.finish_exchange(1)
        with pytest.raises(TypeError, match="value"):
            c.set_peer_http10(None)
        s = server()
        with pytest.raises(TypeError, match="data"):
            s.accept_head(bytearray(GET))
        with pytest.raises(TypeError):
            s.head_read_overdue("5")
        with pytest.raises(ValueError):
            s.head_read_overdue(float("nan"))
        with pytest.raises(TypeError, match="complete"):
            s.end_body_read(1, 1)


class TestClientExchange:
    def test_slot_claimed_and_released_once(self):
        c = client()
        assert c.try_begin_exchange() and not c.try_begin_exchange()
        assert c.busy
        assert c.end_exchange() and not c.end_exchange()

    def test_claim_starts_the_codecs_next_message(self):
        # A HEAD request's method must not decide the framing of the next
        # exchange's response.
        codec = H1Codec()
        c = H1ClientState(codec, Obj())
        c.try_begin_exchange()
        codec.serialize_request("HEAD", "http://h/")
        head = codec.receive_head(b"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n")
        assert head.body_kind == "empty"
        c.end_exchange()
        c.try_begin_exchange()
        codec.serialize_request("GET", "http://h/")
        assert codec.receive_head(b"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n").body_kind == "length"

    def test_reuse_needs_keep_alive_and_the_whole_body(self):
        t = Obj()
        c = client(t)
        c.try_begin_exchange()
        c.codec.serialize_request("GET", "http://h/")
        c.writer_done()
        assert c.finish_exchange(True) == (True, True, None) and not c.closed
        c.end_exchange()
        c.try_begin_exchange()  # a new exchange forgets the writer's verdict
        c.codec.serialize_request("GET", "http://h/")
        reuse, fully_sent, transport = c.finish_exchange(True)
        assert (reuse, fully_sent) == (False, False) and transport is t and c.closed

        # A connection that failed during the exchange is not offered for reuse.
        c = client()
        c.try_begin_exchange()
        c.codec.serialize_request("GET", "http://h/")
        c.writer_done()
        c.fail(ValueError())
        assert c.finish_exchange(True) == (False, True, None)

    @pytest.mark.parametrize("kw,frame", [
        ({"content_length": 5}, lambda codec: None),
        ({"content_length": 5}, lambda codec: codec.serialize_data(b"abc")),
        ({"chunked": True}, lambda codec: codec.serialize_data(b"abc")),
        (None, None),  # no request serialized at all
    ])
    def test_request_cut_short_is_not_reused(self, kw, frame):
        # The writer says it is done and the response allows keep-alive, but
        # the server still waits for the rest of the body: the next request
        # would be read as part of it.
        t = Obj()
        c = client(t)
        c.try_begin_exchange()
        if kw is not None:
            c.codec.serialize_request("POST", "http://h/", **kw)
            frame(c.codec)
        c.writer_done()
        assert c.finish_exchange(True) == (False, False, t) and c.closed

    def test_first_error_wins_and_the_transport_comes_back_once(self):
        t = Obj()
        c = client(t)
        e1, e2 = ValueError("first"), ValueError("second")
        assert c.fail(e1) is t
        assert c.fail(e2) is None
        assert c.error is e1 and c.error is e1
        assert c.close_now() is None and c.transport_ref() is None
        assert c.begin_send() == (None, None)
        assert c.is_dead()
        with pytest.raises(TypeError, match="exc"):
            client().fail("not an exception")

    def test_no_transport_after_an_upgrade(self):
        t = Obj()
        c = client(t)
        assert c.upgrade() is t and c.upgraded
        assert c.close_now() is None and c.fail(ValueError()) is None
        assert c.mark_closed()[0] is None
        assert c.finish_exchange(False)[2] is None

    def test_writer_refused_once_closed(self):
        c = client()
        w = Obj("writer")
        assert c.store_writer(w) is None and c.take_writer() is w and c.take_writer() is None
        c.close_now()
        assert c.store_writer(w) is w


class TestClientWatcher:
    def test_idle_eof_closes_and_hands_back_the_transport(self):
        t, done = Obj(), Obj("done")
        c = client(t)
        assert c.arm_watcher(done) and c.has_watcher
        assert c.begin_send() == (t, done)
        assert c.watcher_completed(b"") == (H1_WATCH_IDLE_EOF, t)
        assert c.closed
        assert c.watcher_completed(error=OSError()) == (H1_WATCH_IGNORED, None)

    def test_idle_bytes_and_errors_are_reported_not_stored(self):
        c = client()
        c.arm_watcher(Obj())
        assert c.watcher_completed(b"HTTP/1.1 408 Request Timeout\r\n\r\n") == (H1_WATCH_IDLE_BYTES, None)
        assert c.error is None and not c.closed
        assert c.watcher_completed(None, OSError("reset")) == (H1_WATCH_IDLE_ERROR, None)
        assert c.error is None
        assert client().watcher_completed(b"x") == (H1_WATCH_IGNORED, None)  # no watcher

    def test_read_during_an_exchange_is_handed_off(self):
        c = client()
        c.arm_watcher(Obj("done"))
        task = Obj("task")
        assert c.store_watcher_handle(task) is None
        c.try_begin_exchange()
        c.exchange_started()
        # Still in flight: nothing handed off, the slot stays.
        assert c.take_watcher_handoff() == (None, None, None) and c.has_watcher
        assert c.watcher_completed(b"") == (H1_WATCH_HANDOFF, None)
        assert not c.closed
        handle, data, error = c.take_watcher_handoff()
        assert handle is task and data == b"" and error is None
        assert not c.has_watcher

    def test_arm_and_store_refusals(self):
        c = client()
        assert c.arm_watcher(Obj("d1"))
        assert not c.arm_watcher(Obj("d2"))  # a slot exists
        c.watcher_aborted()
        assert not c.arm_watcher(Obj("d3"))  # completed, not consumed
        h = Obj("h")
        transport, done, writer, idle = c.mark_closed()
        assert transport is not None and done.name == "d1" and writer is None and idle
        assert c.store_watcher_handle(h) is h
        failed = client()
        failed.fail(ValueError())
        assert not failed.arm_watcher(Obj())


class TestServerRequestSide:
    def test_fresh_state(self):
        t = Obj()
        s = server(t)
        assert s.begin_read() == (H1_READ_TRANSPORT, t)
        assert not s.watcher_parked
        assert H1ServerState(H1Codec(), None).begin_read() == (H1_READ_EOF, None)

    def test_heads_get_sequence_numbers(self):
        s = server()
        s.begin_read()
        assert s.accept_head(b"GET / HTTP/1.1\r\nHo") is None
        head, seq, decoder = s.accept_head(b"st: a\r\n\r\n")
        assert head.target == "/" and seq == 1 and s.current_seq == 1
        assert isinstance(decoder, H1BodyDecoder) and decoder.is_complete
        assert s.current_decoder() is decoder
        assert s.begin_read() == (H1_NEXT_RAISE, None)
        # A length no reader takes is refused before the claim: the request
        # can still be answered.
        with pytest.raises(ValueError, match="^invalid content_length: larger than 18446744073709551613"):
            s.respond_head(1, 200, None, None, content_length=2**64 - 1)
        assert s.respond_head(1, 204, None, None)[0] == H1_REQ_OK
        assert s.finish_response(1) == (False, False, None, None)
        assert s.begin_read()[0] == H1_READ_TRANSPORT and s.current_decoder() is None
        assert s.accept_head(GET)[1] == 2

    def test_malformed_head(self):
        t = Obj()
        s = server(t)
        s.begin_read()
        with pytest.raises(H1ParseError):
            s.accept_head(b"GET / HTTP/1.1\r\nbad header\r\n\r\n")
        assert s.codec.parse_error_status == 400
        assert not s.closed and s.current_seq == 0
        assert s.fail_read() is t and s.closed

    def test_body_with_the_head_goes_to_the_decoder_and_pipelined_bytes_come_back(self):
        s = server()
        head, seq, dec = accepted(s, b"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\nhelloGET /2 HTTP/1.1\r\n")
        assert dec.decode() == b"hello" and dec.is_complete
        s.end_body_read(seq, True)
        s.respond_head(seq, 200, None, None, content_length=0)
        s.finish_response(seq)
        assert s.begin_read() == (H1_READ_PARSE, None)
        assert s.accept_head(b"Host: a\r\n\r\n")[0].target == "/2"

    def test_unread_body_is_drained_or_closes(self):
        t = Obj()
        s = server(t)
        _, seq, dec = accepted(s, b"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\nhel")
        s.respond_head(seq, 200, None, None, content_length=0)
        s.finish_response(seq)
        assert s.begin_read() == (H1_NEXT_DRAIN, None)
        assert not s.begin_body_read(seq)  # the drain owns the read
        dec.feed(b"lo")
        assert dec.decode() == b"hello"
        assert s.drain_done(True) == (H1_READ_TRANSPORT, t)

        s2 = server(t)
        _, seq, _ = accepted(s2, b"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\n")
        s2.respond_head(seq, 200, None, None, content_length=0)
        s2.finish_response(seq)
        assert s2.begin_read() == (H1_NEXT_DRAIN, None)
        assert s2.drain_done(False) == (H1_NEXT_CLOSE, t) and s2.closed

    def test_graceful_shutdown(self):
        s = server()
        assert s.request_shutdown() is None
        assert s.begin_read() == (H1_NEXT_NONE, None)

        t = Obj()
        s = server(t)
        assert s.begin_read() == (H1_READ_TRANSPORT, t)
        assert s.request_shutdown() is t and s.closed and s.shutdown_requested
        assert s.unpark_idle_read() is True
        assert s.accept_head(GET) is None

        s = server()
        _, seq, _ = accepted(s, b"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\n\r\n")
        s.respond_head(seq, 200, None, None, content_length=0)
        s.finish_response(seq)
        assert s.begin_read()[0] == H1_NEXT_DRAIN
        s.request_shutdown()
        assert s.drain_done(True) == (H1_READ_SHUTDOWN, None)

        # The response in flight when shutdown is asked for closes the connection.
        t = Obj()
        s = server(t)
        _, seq, _ = accepted(s, GET)
        s.request_shutdown()
        head = s.respond_head(seq, 200, None, None, content_length=0)[1]
        assert b"connection: close\r\n" in head
        assert s.finish_response(seq) == (False, True, t, None)

    def test_head_read_deadline(self):
        t = Obj()
        s = server(t)
        s.begin_read()
        expired, remaining, transport = s.head_read_overdue(5.0)
        assert not expired and 4.0 < remaining < 5.0 and transport is None
        s.accept_head(b"GET / HTTP/1.1\r\n")  # a partial head keeps the clock running
        time.sleep(0.06)
        assert s.head_read_overdue(0.05) == (True, None, t) and s.closed
        assert s.head_read_overdue(0.05) == (False, None, None)
        assert s.unpark_idle_read() is True

        busy = server()
        accepted(busy, GET)
        assert busy.head_read_overdue(0) == (False, None, None)  # a request in flight


class TestServerResponseSide:
    def test_stale_seq_changes_nothing(self):
        t = Obj()
        s = server(t)
        accepted(s, GET)
        for stale in (0, 2):
            assert s.respond_head(stale, 200, None, None) == (H1_REQ_STALE, None, False, None)
            assert s.finish_response(stale) == (False, False, None, None)
            assert s.detach(stale) == (H1_REQ_STALE, None, None)
            assert s.fail_response(stale) is None
            assert not s.try_send_continue(stale) and not s.begin_body_read(stale)
            assert s.peer_closed_now(stale) is False and not s.close_window(stale)
        assert not s.closed and s.respond_head(1, 200, None, None)[0] == H1_REQ_OK

    def test_continue_before_head(self):
        s = server()
        _, seq, _ = accepted(s, b"PUT / HTTP/1.1\r\nHost: a\r\nExpect: 100-continue\r\nContent-Length: 1\r\n\r\n")
        assert s.try_send_continue(seq) and not s.try_send_continue(seq)
        assert s.respond_head(seq, 200, None, None) == (H1_REQ_CONTINUE, None, False, None)
        code, head, armed, transport = s.respond_head(seq, 200, None, None, content_length=2)
        assert code == H1_REQ_OK and head.startswith(b"HTTP/1.1 200 OK\r\n") and transport is not None
        assert s.respond_head(seq, 200, None, None)[0] == H1_REQ_ALREADY

        s10 = server()
        _, seq, _ = accepted(s10, b"PUT / HTTP/1.0\r\nExpect: 100-continue\r\nContent-Length: 1\r\n\r\n")
        assert not s10.try_send_continue(seq)

    def test_argument_errors_leave_the_claim_open(self):
        s = server()
        _, seq, _ = accepted(s, GET)
        with pytest.raises(ValueError, match="invalid status"):
            s.respond_head(seq, 1000, None, None)
        for status in (70000, -1):
            with pytest.raises(OverflowError, match="status"):
                s.respond_head(seq, status, None, None)
        with pytest.raises(TypeError):
            s.respond_head(seq, 200, {"a": "b"}, None)
        with pytest.raises(TypeError, match="chunked"):
            s.respond_head(seq, 200, None, None, chunked=1)
        assert s.respond_head(seq, 200, HeaderMap([("x-a", "1")]), None)[0] == H1_REQ_OK

    def test_encoder_refusal_keeps_the_claim(self):
        s = server()
        _, seq, _ = accepted(s, GET)
        with pytest.raises(H1UserError):
            s.respond_head(seq, 102, None, None)
        assert s.respond_head(seq, 200, None, None)[0] == H1_REQ_ALREADY

    def test_upgrade_switches_with_pipelined_bytes(self):
        t = Obj()
        s = server(t)
        _, seq, _ = accepted(s, b"GET / HTTP/1.1\r\nHost: a\r\nConnection: upgrade\r\nUpgrade: echo\r\n\r\nhi there")
        code, head, _, _ = s.respond_head(seq, 101, HeaderMap([("connection", "upgrade"), ("upgrade", "echo")]), None)
        assert code == H1_REQ_OK and head.startswith(b"HTTP/1.1 101 ")
        assert s.finish_response(seq) == (True, False, t, b"hi there")
        assert s.upgraded and s.closed and s.mark_closed()[0] is None

        # Bytes a watcher read before the switch was decided go to the tunnel
        # too: none is lost.
        t = Obj()
        s = server(t)
        _, seq, _ = accepted(s, b"GET / HTTP/1.1\r\nHost: a\r\nConnection: upgrade\r\nUpgrade: echo\r\n\r\n")
        assert s.arm_watcher(seq, Obj(), head_negotiated=True)
        assert s.watcher_completed(b"hi there") is False
        s.respond_head(seq, 101, HeaderMap([("connection", "upgrade"), ("upgrade", "echo")]), None)
        assert s.finish_response(seq) == (True, False, t, b"hi there")

        plain = server()
        _, seq, _ = accepted(plain, GET)
        plain.respond_head(seq, 101, None, None)
        assert plain.finish_response(seq)[0] is False

    @pytest.mark.parametrize("status,switch", [(200, True), (300, False)])
    def test_connect(self, status, switch):
        s = server()
        _, seq, _ = accepted(s, b"CONNECT h:443 HTTP/1.1\r\nHost: h:443\r\n\r\n")
        s.respond_head(seq, status, None, None)
        assert s.finish_response(seq)[0] is switch

    @pytest.mark.parametrize("request_head,kw", [
        (b"GET / HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n", {"content_length": 0}),
        (b"GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", {"chunked": True}),  # close-delimited
    ])
    def test_responses_that_end_the_connection(self, request_head, kw):
        t = Obj()
        s = server(t)
        _, seq, _ = accepted(s, request_head)
        s.respond_head(seq, 200, None, None, **kw)
        assert s.finish_response(seq) == (False, True, t, None) and s.closed

    @pytest.mark.parametrize("kw,frame", [
        ({"content_length": 5}, lambda codec: None),
        ({"content_length": 5}, lambda codec: codec.serialize_data(b"abcd")),
        ({"chunked": True}, lambda codec: codec.serialize_data(b"abcd")),
    ])
    def test_response_cut_short_closes(self, kw, frame):
        # The client would read the next response as the rest of this body.
        t = Obj()
        s = server(t)
        _, seq, _ = accepted(s, GET)
        assert s.respond_head(seq, 200, None, None, **kw)[0] == H1_REQ_OK
        frame(s.codec)
        assert s.finish_response(seq) == (False, True, t, None) and s.closed
        assert s.begin_read() == (H1_NEXT_NONE, None)

    def test_response_ended_short_closes(self):
        # serialize_end refuses the short body and takes the encoder out all
        # the same: no encoder left does not mean the body went out.
        t = Obj()
        s = server(t)
        _, seq, _ = accepted(s, GET)
        s.respond_head(seq, 200, None, None, content_length=5)
        s.codec.serialize_data(b"abc")
        with pytest.raises(H1UserError, match="body_write_aborted|expected 2 more bytes"):
            s.codec.serialize_end()
        assert s.codec.body_is_eof()
        assert s.finish_response(seq) == (False, True, t, None)

    @pytest.mark.parametrize("kw,frame", [
        ({"chunked": True}, lambda codec: codec.serialize_trailers(HeaderMap([("x-a", "1")]))),
        ({"content_length": 2}, lambda codec: codec.serialize_head_and_body(b"", b"ab")),
    ])
    def test_response_framed_to_its_end_is_reused(self, kw, frame):
        s = server()
        _, seq, _ = accepted(s, GET)
        s.respond_head(seq, 200, None, None, **kw)
        frame(s.codec)
        assert s.finish_response(seq) == (False, False, None, None) and s.reusable

    def test_marked_unusable_before_the_head_says_connection_close(self):
        # The driver will not read this request's body: the head tells the
        # client the connection ends with this response.
        t = Obj()
        s = server(t)
        _, seq, _ = accepted(s, b"PUT / HTTP/1.1\r\nHost: a\r\nExpect: 100-continue\r\nContent-Length: 9\r\n\r\n")
        s.mark_unusable()
        code, head, _, _ = s.respond_head(seq, 413, None, None, content_length=0)
        assert code == H1_REQ_OK and b"\r\nconnection: close\r\n" in head
        s.codec.serialize_end()
        assert s.finish_response(seq) == (False, True, t, None)

        # Without the mark the same head keeps the connection.
        s = server()
        _, seq, _ = accepted(s, GET)
        head = s.respond_head(seq, 200, None, None, content_length=0)[1]
        assert b"connection" not in head.lower()

    def test_client_going_away_mid_response(self):
        s = server()
        _, seq, _ = accepted(s, GET)
        done = Obj("done")
        code, _, armed, _ = s.respond_head(seq, 200, None, done, content_length=10, want=True)
        assert code == H1_REQ_OK and armed and s.watcher_parked
        assert s.watcher_done() is done
        assert s.take_watcher_result() == (None, None) and s.watcher_parked  # in flight: the slot stays
        assert s.peer_closed_now(seq) is None
        assert s.watcher_completed(b"") is True
        assert not s.reusable and s.peer_closed_flag(seq)
        assert s.close_window(seq) and not s.close_window(seq)
        assert s.peer_closed_now(seq) is True
        assert s.watcher_completed(b"") is False

    def test_peer_closed_before_the_head(self):
        s = server()
        _, seq, _ = accepted(s, GET)
        assert s.arm_watcher(seq, Obj())
        assert s.watcher_completed(None, ConnectionResetError())
        assert s.respond_head(seq, 200, None, None) == (H1_REQ_PEER_CLOSED, None, False, None)

    def test_half_close_never_arms(self):
        s = server(half_close=True)
        _, seq, _ = accepted(s, GET)
        assert not s.arm_watcher(seq, Obj(), head_negotiated=True)
        assert not s.respond_head(seq, 200, None, Obj(), want=True)[2]

    def test_detach(self):
        t = Obj()
        s = server(t)
        _, seq, _ = accepted(s, GET)
        assert s.arm_watcher(seq, Obj())
        assert s.detach(seq) == (H1_REQ_PARKED, None, None)
        s.watcher_completed(b"abc")
        s.codec.feed(b"xy")
        assert s.detach(seq) == (H1_REQ_OK, t, b"xyabc")
        assert s.upgraded and s.fail_read() is None

    def test_watcher_read_becomes_the_next_heads_read(self):
        s = server()
        _, seq, _ = accepted(s, GET)
        done, task = Obj("done"), Obj("task")
        s.respond_head(seq, 200, None, done, content_length=0, want=True)
        assert s.store_watcher_handle(task) is None
        s.finish_response(seq)
        s.close_window(seq)
        assert s.begin_read() == (H1_READ_WATCHER, done)
        assert s.watcher_completed(b"GET /2 HTTP/1.1\r\nHost: a\r\n\r\n") is False
        assert s.take_watcher_handle() is task
        data, error = s.take_watcher_result()
        assert not s.has_watcher
        assert s.accept_head(data)[0].target == "/2"


class TestReleaseAfterUnlock:
    """An object released by a transition may run Python code that calls back
    into the same state; released under the lock, that call would deadlock."""

    def run(self, fn):
        t = threading.Thread(target=fn, daemon=True)
        t.start()
        t.join(10)
        assert not t.is_alive(), "a released object ran under the state's lock"

    def test_client(self):
        c = client()
        seen = []

        class Reentrant:
            def __del__(self):
                seen.append(repr(c))

        def steps():
            c.arm_watcher(Obj())
            c.arm_watcher(Reentrant())  # refused: released after unlocking
            c.fail(ValueError())
            c.fail(ValueError())
            c.store_writer(Reentrant())
            c.store_writer(Reentrant())  # replaces the first writer
            c.watcher_completed(b"x" * 1000)
            gc.collect()

        self.run(steps)
        assert len(seen) >= 2

    def test_server(self):
        s = server()
        seen = []

        class Reentrant:
            def __del__(self):
                seen.append(repr(s))

        def steps():
            _, seq, _ = accepted(s, GET)
            s.arm_watcher(seq + 1, Reentrant())  # stale: the event comes back
            s.respond_head(seq, 200, None, Reentrant(), content_length=0)  # not armed
            s.finish_response(seq)
            s.begin_read()  # drops the old decoder
            gc.collect()

        self.run(steps)
        assert len(seen) >= 2


class TestGarbageCollection:
    @pytest.mark.parametrize("make", [client, server])
    def test_transport_referring_back_to_its_state_is_collected(self, make):
        class Transport:
            pass

        t = Transport()
        st = make(t)
        t.state = st
        if isinstance(st, H1ClientState):
            st.arm_watcher(Obj())
            st.store_writer(Transport())
        else:
            accepted(st, GET)
        probe = weakref.ref(t)
        del t, st
        gc.collect()
        assert probe() is None

    def test_subclass_instance_in_a_cycle_is_collected(self):
        class Connection(H1ServerState):
            pass

        conn = Connection(H1Codec(), None)
        conn.begin_read()
        head, seq, dec = conn.accept_head(GET)
        conn.arm_watcher(seq, conn)  # the event refers to the state itself
        probe = weakref.ref(conn)
        del conn, dec, head
        gc.collect()
        assert probe() is None



class TestContinueAcrossThreads:
    """A body-reader thread and a responder thread on one request with
    `Expect: 100-continue`, keeping the contract: a responder told
    H1_REQ_CONTINUE waits until the reader's 100 is written before it asks
    again. Whoever wins, the client never sees the final head before the 100."""

    REQUEST = b"PUT /x HTTP/1.1\r\nHost: a\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\n"
    CONTINUE = H1Codec.continue_response()

    def exchange(self, pause_reader, pause_responder):
        import socket

        client_sock, server_sock = socket.socketpair()
        with client_sock, server_sock:
            s = server(server_sock)
            _, seq, _ = accepted(s, self.REQUEST)
            written = threading.Event()
            results = {}

            def reader():
                time.sleep(pause_reader)
                wire = s.transport_ref()
                if s.try_send_continue(seq):
                    time.sleep(0.001)  # a write that takes a while (queued, a slow socket)
                    wire.sendall(self.CONTINUE)
                    written.set()
                    results["continued"] = True

            def responder():
                time.sleep(pause_responder)
                code, head, _, wire = s.respond_head(seq, 200, None, None, content_length=2)
                if code == H1_REQ_CONTINUE:
                    assert written.wait(10), "the claimed 100 was never written"
                    code, head, _, wire = s.respond_head(seq, 200, None, None, content_length=2)
                results["code"] = code
                wire.sendall(s.codec.serialize_head_and_body(head, b"ok"))
                results["close"] = s.finish_response(seq)[1]

            threads = [threading.Thread(target=reader), threading.Thread(target=responder)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(10)
            assert not any(t.is_alive() for t in threads)
            assert results["code"] == H1_REQ_OK and results["close"] is False

            # Both writers are done: everything the client will get is sent.
            server_sock.shutdown(socket.SHUT_WR)
            client_sock.settimeout(10)
            data = b""
            while chunk := client_sock.recv(4096):
                data += chunk
            return data, results.get("continued", False)

    def test_the_100_is_never_overtaken(self):
        outcomes = set()
        pauses = (0, 0.0002, 0.005)  # vary who gets to the lock first
        for i in range(180):
            data, continued = self.exchange(pauses[i % 3], pauses[(i // 3) % 3])
            if continued:
                assert data.startswith(self.CONTINUE + b"HTTP/1.1 200 OK\r\n"), data
            else:
                assert data.startswith(b"HTTP/1.1 200 OK\r\n") and b" 100 " not in data, data
            assert data.endswith(b"\r\n\r\nok"), data
            outcomes.add(continued)
        # Both orders happened, so both paths of the contract were exercised.
        assert outcomes == {True, False}
