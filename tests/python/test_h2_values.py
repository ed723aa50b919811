"""The HTTP/2 value objects: error codes, stream states, flow-control windows,
content length and the DATA-frame budget, at the edges that guard real faults."""

import threading

import pytest

from velmora._velmora import (
    ConnectionClosedError,
    H2ContentLength,
    H2DataFrameBudget,
    H2FlowControl,
    H2FlowControlError,
    H2ProtocolError,
    H2Reason,
    H2StreamError,
    H2StreamState,
    H2UserError,
)

UNEXPECTED = ("unexpected_frame_type", "unexpected frame type")
PROTOCOL = (1, "unspecific protocol error detected")


def test_reason_is_an_int_valued_singleton():
    assert H2Reason(8) is H2Reason.CANCEL
    assert H2Reason(8) == 8 and 8 == H2Reason(8) and H2Reason(8) != 7
    assert H2Reason(8) == H2Reason.CANCEL and H2Reason.CANCEL != H2Reason.NO_ERROR
    assert H2Reason(8) != "8" and H2Reason(8) != 8.0
    with pytest.raises(TypeError):
        H2Reason.CANCEL < 9
    assert {H2Reason.CANCEL: 1}[8] == 1  # hashes as its code
    assert [0, 1, 2][H2Reason.INTERNAL_ERROR] == 2 and int(H2Reason.HTTP_1_1_REQUIRED) == 13
    assert repr(H2Reason.CANCEL) == str(H2Reason.CANCEL) == "H2Reason.CANCEL"
    assert (H2Reason.ENHANCE_YOUR_CALM.name, H2Reason.ENHANCE_YOUR_CALM.value) == ("ENHANCE_YOUR_CALM", 11)
    for bad in (14, -1, 2**70):
        with pytest.raises(ValueError, match=rf"^{bad} is not a valid H2Reason$"):
            H2Reason(bad)
    with pytest.raises(TypeError):
        H2Reason("CANCEL")
    with pytest.raises(AttributeError):
        H2Reason.CANCEL.value = 3


def test_client_stream_through_an_informational_head():
    s = H2StreamState()
    s.send_open(False)
    assert s.recv_open(False, True) is False  # 100 Continue
    assert repr(s) == "Open { local: Streaming, remote: AwaitingHeaders }" and s.is_recv_headers()
    s.recv_open(False, False)
    assert s.is_recv_streaming()
    s.recv_close()
    assert repr(s) == "HalfClosedRemote(Streaming)"
    assert s.send_close() is True
    assert repr(s) == "Closed(EndStream)" and not s.is_reset()


def test_illegal_transitions_raise_their_kind_and_change_nothing():
    s = H2StreamState()
    s.send_open(True)  # HalfClosedLocal(AwaitingHeaders)
    with pytest.raises(H2UserError) as e:
        s.send_open(False)
    assert e.value.args == UNEXPECTED
    with pytest.raises(H2UserError):
        s.reserve_local()
    with pytest.raises(H2ProtocolError) as p:
        s.reserve_remote()
    assert p.value.args == PROTOCOL
    assert repr(s) == "HalfClosedLocal(AwaitingHeaders)"
    s.recv_open(False, False)
    with pytest.raises(H2ProtocolError) as p:  # a second final head without END_STREAM
        s.recv_open(False, False)
    assert p.value.args == PROTOCOL
    assert repr(s) == "HalfClosedLocal(Streaming)"

    idle = H2StreamState()
    with pytest.raises(H2ProtocolError):
        idle.recv_close()  # END_STREAM on an idle stream
    assert idle.is_idle()
    assert idle.send_close() is False


def test_reset_after_the_peers_end_stream_keeps_the_request_readable():
    s = H2StreamState()
    s.recv_open(True, False)
    s.send_open(False)
    s.recv_reset(1, 8, False)
    assert s.is_recv_end_stream() and s.is_reset() and s.is_remote_reset()
    assert s.ensure_recv_open() is False
    assert s.send_close() is False

    mid = H2StreamState()
    mid.recv_open(False, False)
    mid.recv_reset(3, H2Reason.INTERNAL_ERROR, False)
    with pytest.raises(H2StreamError) as e:
        mid.ensure_recv_open()
    assert e.value.args == (3, 2, "remote")


def test_resets_on_closed_streams_and_scheduled_resets():
    s = H2StreamState()
    s.send_open(True)
    s.recv_open(True, False)
    s.recv_reset(1, 8, False)
    assert repr(s) == "Closed(EndStream)"
    s.recv_reset(1, 8, True)
    assert s.is_reset() and s.is_recv_end_stream() and s.ensure_recv_open() is False

    r = H2StreamState()
    assert r.set_scheduled_reset(8) is True and r.get_scheduled_reset() == 8
    assert r.set_scheduled_reset(1) is False and r.get_scheduled_reset() == 8
    assert repr(r) == "Closed(ScheduledLibraryReset(CANCEL))" and r.is_local_error()
    with pytest.raises(H2ProtocolError) as p:
        r.ensure_recv_open()
    assert p.value.args == (8, "stream no longer needed")
    r.set_reset(5, 0, "user")
    with pytest.raises(H2StreamError) as e:
        r.ensure_recv_open()
    assert e.value.args == (5, 0, "user")

    eof = H2StreamState()
    eof.recv_eof()
    with pytest.raises(ConnectionClosedError, match="^stream closed because of a broken pipe$"):
        eof.ensure_recv_open()


def test_bad_arguments_fail_without_changing_the_state():
    s = H2StreamState()
    s.recv_open(False, False)
    before = repr(s)
    with pytest.raises(ValueError, match="^invalid stream ID -- MSB is set$"):
        s.recv_reset(2**31, 8, False)
    with pytest.raises(ValueError, match=r"""^initiator must be 'user' \| 'library' \| 'remote', got "bob\\n"$"""):
        s.set_reset(1, 8, "bob\n")
    with pytest.raises(OverflowError):
        s.set_reset(1, 2**32, "user")
    with pytest.raises(TypeError):
        s.send_open(1)  # booleans must be bool
    assert repr(s) == before
    s.set_reset(2**31 - 1, H2Reason.CANCEL, initiator="library")
    assert repr(s) == "Closed(Error(Reset(2147483647, CANCEL, Library)))"


def test_window_overflow_and_underflow_at_the_bounds():
    f = H2FlowControl()
    f.inc_window(2**31 - 1)
    with pytest.raises(H2FlowControlError) as e:
        f.inc_window(1)
    assert e.value.args == (3,)
    assert f.window_size() == 2**31 - 1
    with pytest.raises(H2FlowControlError):
        H2FlowControl().inc_window(2**31)  # refused at once
    with pytest.raises(OverflowError):
        H2FlowControl().inc_window(2**32)

    g = H2FlowControl()
    g.claim_capacity(2**31 - 1)
    g.claim_capacity(1)
    assert g.available() == -(2**31)
    with pytest.raises(H2FlowControlError):
        g.claim_capacity(1)
    with pytest.raises(H2FlowControlError):
        g.dec_recv_window(1)  # both fields or neither
    assert repr(g) == "FlowControl { window_size: Window(0), available: Window(-2147483648) }"


def test_send_data_and_the_update_threshold():
    f = H2FlowControl()
    f.inc_window(100)
    f.assign_capacity(100)
    with pytest.raises(H2FlowControlError):
        f.send_data(101)
    f.send_data(100)
    assert (f.window_size(), f.available()) == (0, 0)

    neg = H2FlowControl()
    neg.dec_send_window(5)
    assert neg.window_size() == 0
    neg.send_data(0)
    with pytest.raises(H2FlowControlError):
        neg.send_data(1)
    assert not neg.has_unavailable()

    u = H2FlowControl()
    u.inc_window(65535)
    u.assign_capacity(65535 + 32766)
    assert u.unclaimed_capacity() is None and not u.has_unavailable()
    u.assign_capacity(1)
    assert u.unclaimed_capacity() == 32767


def test_content_length():
    head = H2ContentLength(is_head=True)
    head.set(10)
    assert head.is_head() and head.dec(0) and not head.dec(1) and head.is_satisfied()

    c = H2ContentLength()
    assert c.dec(10**6)
    c.set(5)
    assert c.dec(3) and not c.is_satisfied()
    assert not c.dec(3)
    assert c.dec(2) and c.is_satisfied()
    with pytest.raises(OverflowError):
        c.set(-1)


def test_budget_exhaustion_and_recovery():
    assert H2DataFrameBudget(connection_window=65535).available == 32767
    assert H2DataFrameBudget(connection_window=1048576).available == 524288
    assert H2DataFrameBudget().available == 32767
    with pytest.raises(H2ProtocolError) as e:
        H2DataFrameBudget(configured=0).record(1)
    assert e.value.args == (11, "too_many_data_frames")

    b = H2DataFrameBudget(25600)
    charges = [b.record(5) for _ in range(101)]
    assert charges == [251] * 101 and b.available == 249
    with pytest.raises(H2ProtocolError):
        b.record(5)
    assert b.record(16384) == 0 and b.available == 249 + 16128
    for c in charges:
        b.release(c)
    assert b.available == 25600

    empty = H2DataFrameBudget()
    for _ in range(100):
        assert empty.record(0) == 0
    with pytest.raises(H2ProtocolError) as e:
        empty.record(0)
    assert e.value.args == (11, "too_many_data_frames")
    assert empty.empty_frames == 101 and empty.available == 32767  # the refused frame counts


def test_one_step_per_call_across_threads():
    f = H2FlowControl()
    b = H2DataFrameBudget(10**9)

    def work():
        for _ in range(2000):
            f.assign_capacity(3)
            f.claim_capacity(1)
            b.release(b.record(10))

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert f.available() == 8 * 2000 * 2
    assert b.available == 10**9
