// H2Streams, read-only: per-stream readings, the connection's properties,
// and the test hooks that set its stream ids. Each reading is one pass under
// the state lock; the Python value is built after unlocking.
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "src/h2/conn.h"

#include "src/api.h"
#include "src/h2/streams.h"

namespace velmora::py::h2_streams {

namespace {

// A per-stream reading: f(record) under the lock, None without a record.
template <class F>
PyObject* stream_read(PyObject* self, PyObject* arg, F&& f) {
  uint32_t sid;
  if (!to_u32(arg, "sid", sid)) return nullptr;
  auto v = streams_of(self)->with([&](const H2StreamsState& s) {
    std::optional<decltype(f(std::declval<const h2::StreamRecord&>()))> v;
    if (const h2::StreamRecord* r = s.core.state.streams().find(sid)) v = f(*r);
    return v;
  });
  if (!v) Py_RETURN_NONE;
  using T = std::remove_cvref_t<decltype(*v)>;
  if constexpr (std::is_same_v<T, bool>)
    return bool_obj(*v);
  else if constexpr (std::is_same_v<T, std::string>)
    return ascii_obj(*v);
  else
    return PyLong_FromUnsignedLongLong((unsigned long long)*v);
}

// A per-id answer: f(connection state, sid) under the lock.
template <class F>
PyObject* sid_test(PyObject* self, PyObject* arg, F&& f) {
  uint32_t sid;
  if (!to_u32(arg, "sid", sid)) return nullptr;
  return bool_obj(streams_of(self)->with([&](const H2StreamsState& s) { return f(s.core.state, sid); }));
}

}  // namespace

PyObject* has_stream(PyObject* self, PyObject* arg) {
  return sid_test(self, arg, [](const h2::ConnState& s, uint32_t sid) { return s.streams().find(sid) != nullptr; });
}

PyObject* is_recv_end_stream(PyObject* self, PyObject* arg) {
  return sid_test(self, arg, [](const h2::ConnState& s, uint32_t sid) {
    const h2::StreamRecord* r = s.streams().find(sid);
    return r && r->state.is_recv_end_stream();
  });
}

PyObject* in_reset_store(PyObject* self, PyObject* arg) {
  return sid_test(self, arg, [](const h2::ConnState& s, uint32_t sid) { return s.resets().holds(sid); });
}

PyObject* stream_state(PyObject* self, PyObject* arg) {
  return stream_read(self, arg, [](const h2::StreamRecord& r) { return r.state.describe(); });
}
PyObject* stream_recv_unreleased(PyObject* self, PyObject* arg) {
  return stream_read(self, arg, [](const h2::StreamRecord& r) { return uint64_t(r.recv_unreleased); });
}
PyObject* stream_recv_reclaimed(PyObject* self, PyObject* arg) {
  return stream_read(self, arg, [](const h2::StreamRecord& r) { return r.recv_reclaimed; });
}
PyObject* stream_data_budget_charged(PyObject* self, PyObject* arg) {
  return stream_read(self, arg, [](const h2::StreamRecord& r) { return r.data_budget_charged; });
}
PyObject* stream_send_buffered(PyObject* self, PyObject* arg) {
  return stream_read(self, arg, [](const h2::StreamRecord& r) { return r.send_buffered; });
}
PyObject* stream_send_window(PyObject* self, PyObject* arg) {
  return stream_read(self, arg, [](const h2::StreamRecord& r) { return uint64_t(r.send_flow.window_size()); });
}

// ---- test hooks ----------------------------------------------------------------------------

template <void (h2::ConnState::*F)(uint32_t) noexcept>
PyObject* set_id(PyObject* self, PyObject* arg) {
  uint32_t sid;
  if (!to_u32(arg, "sid", sid)) return nullptr;
  {
    Transition<H2StreamsObject> t(self);
    (t->core.state.*F)(sid);
  }
  Py_RETURN_NONE;
}

template PyObject* set_id<&h2::ConnState::set_next_stream_id>(PyObject*, PyObject*);
template PyObject* set_id<&h2::ConnState::set_max_stream_id>(PyObject*, PyObject*);
template PyObject* set_id<&h2::ConnState::set_last_processed_id>(PyObject*, PyObject*);

// ---- properties ---------------------------------------------------------------------------

namespace {

template <class F>
PyObject* read_prop(PyObject* self, F&& f) {
  auto v = streams_of(self)->with([&](const H2StreamsState& s) { return f(s.core.state); });
  using T = std::remove_cvref_t<decltype(v)>;
  if constexpr (std::is_same_v<T, bool>) {
    return bool_obj(v);
  } else if constexpr (std::is_same_v<T, std::optional<uint64_t>> || std::is_same_v<T, std::optional<uint32_t>>) {
    if (!v) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong((unsigned long long)*v);
  } else if constexpr (std::is_signed_v<T>) {
    return PyLong_FromLongLong((long long)v);
  } else {
    return PyLong_FromUnsignedLongLong((unsigned long long)v);
  }
}

#define PROP(name, expr)                                                        \
  PyObject* prop_##name(PyObject* self, void*) {                               \
    return read_prop(self, [](const h2::ConnState& s) { return (expr); });    \
  }

PROP(graceful, s.graceful())
PROP(is_server, s.is_server())
PROP(num_streams, s.num_streams())
PROP(stream_limit, s.stream_limit())
PROP(max_stream_id, s.max_stream_id())
PROP(goaway_replied, s.goaway_replied())
PROP(shutdown_final, s.shutdown_final())
PROP(conn_send_window, uint64_t(s.conn_send_flow().window_size()))
PROP(num_open_streams, s.num_open_streams())
PROP(last_processed_id, s.last_processed_id())
PROP(local_error_resets, s.local_error_resets())
PROP(conn_recv_available, int64_t(s.conn_recv_flow().available()))
PROP(peer_max_frame_size, s.peer_max_frame_size())
PROP(peer_initial_window_size, s.peer_initial_window_size())
PROP(data_frame_budget_available, s.data_frame_budget().available())
PROP(peer_max_concurrent_streams, s.peer_max_concurrent_streams())
PROP(max_local_error_reset_streams, s.max_local_error_reset_streams())
PROP(data_frame_budget_empty_frames, s.data_frame_budget().empty_frames())
PROP(max_pending_accept_reset_streams, s.max_pending_accept_reset_streams())
PROP(peer_enable_connect_protocol, s.peer_connect_protocol())

#undef PROP

}  // namespace

PyGetSetDef kGetSet[] = {
    VELMORA_GETTER(H2Streams, graceful, prop_graceful),
    VELMORA_GETTER(H2Streams, is_server, prop_is_server),
    VELMORA_GETTER(H2Streams, num_streams, prop_num_streams),
    VELMORA_GETTER(H2Streams, stream_limit, prop_stream_limit),
    VELMORA_GETTER(H2Streams, max_stream_id, prop_max_stream_id),
    VELMORA_GETTER(H2Streams, goaway_replied, prop_goaway_replied),
    VELMORA_GETTER(H2Streams, shutdown_final, prop_shutdown_final),
    VELMORA_GETTER(H2Streams, conn_send_window, prop_conn_send_window),
    VELMORA_GETTER(H2Streams, num_open_streams, prop_num_open_streams),
    VELMORA_GETTER(H2Streams, last_processed_id, prop_last_processed_id),
    VELMORA_GETTER(H2Streams, local_error_resets, prop_local_error_resets),
    VELMORA_GETTER(H2Streams, conn_recv_available, prop_conn_recv_available),
    VELMORA_GETTER(H2Streams, peer_max_frame_size, prop_peer_max_frame_size),
    VELMORA_GETTER(H2Streams, peer_initial_window_size, prop_peer_initial_window_size),
    VELMORA_GETTER(H2Streams, data_frame_budget_available, prop_data_frame_budget_available),
    VELMORA_GETTER(H2Streams, peer_max_concurrent_streams, prop_peer_max_concurrent_streams),
    VELMORA_GETTER(H2Streams, max_local_error_reset_streams, prop_max_local_error_reset_streams),
    VELMORA_GETTER(H2Streams, data_frame_budget_empty_frames, prop_data_frame_budget_empty_frames),
    VELMORA_GETTER(H2Streams, max_pending_accept_reset_streams, prop_max_pending_accept_reset_streams),
    VELMORA_GETTER(H2Streams, peer_enable_connect_protocol, prop_peer_enable_connect_protocol),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace velmora::py::h2_streams
