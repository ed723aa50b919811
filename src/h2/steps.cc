// The connection steps of H2Streams, by path: receive, send, the write
// batches, resets, failure and shutdown. Each converts its arguments, runs
// one step of the connection core in one transition, and builds its Python
// results after unlocking.
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "proto/http/date.h"
#include "src/errors.h"
#include "src/h2/codec.h"
#include "src/h2/conn.h"
#include "src/h2/events.h"
#include "src/h2/streams.h"
#include "src/h2/verdicts.h"
#include "src/http/header_map.h"

namespace velmora::py::h2_streams {

namespace {

using h2::Handle;

bool headers_arg(PyObject* o, const char* arg, std::optional<http::HeaderMap>& out) {
  if (!o || o == Py_None) return true;
  if (!is_header_map(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be HeaderMap or None, not %T", arg, o);
    return false;
  }
  out = copy_header_map(o);
  return true;
}

bool frame_arg(PyObject* o, H2Event want, const char* cls) {
  if (is_h2_event(o, want)) return true;
  PyErr_Format(PyExc_TypeError, "argument 'frame' must be %s, not %T", cls, o);
  return false;
}

}  // namespace

// ---- the receive path -------------------------------------------------------------------

PyObject* recv_headers(PyObject* self, PyObject* const* a) {
  if (!frame_arg(a[0], H2Event::headers, "H2FrameHeaders")) return nullptr;
  auto* f = reinterpret_cast<H2HeadersObject*>(a[0]);
  h2::HeadersIn in;
  in.stream_id = f->stream_id;
  in.end_stream = f->end_stream;
  in.informational = f->is_informational;
  in.content_length_invalid = f->content_length_invalid;
  if (f->status && f->status != Py_None) in.status = uint16_t(PyLong_AsUnsignedLong(f->status));
  auto present = [](PyObject* o) { return o && o != Py_None; };
  in.protocol = present(f->protocol);
  in.pseudo = present(f->method) || present(f->scheme) || present(f->authority) || present(f->path) || in.status ||
              in.protocol;
  if (f->content_length && f->content_length != Py_None) {
    unsigned long long n = PyLong_AsUnsignedLongLong(f->content_length);
    if (n == (unsigned long long)-1 && PyErr_Occurred()) return nullptr;
    in.content_length = n;
  }
  PyObject* spare_obj = a[1] && a[1] != Py_None ? a[1] : nullptr;
  h2::Result<h2::HeadersVerdict> r;
  Ref handle;
  {
    Transition<H2StreamsObject> t(self);
    // The record takes its own reference when it takes the spare.
    Handle spare = Py_XNewRef(spare_obj);
    r = t->core.recv_headers(in, spare, t.dropped());
    if (spare) t.dropped().add(static_cast<PyObject*>(spare));
    if (r) handle = take_ref(r->handle);
  }
  if (!r) return raise_h2(r.error());
  if (r->spare_missing) {
    PyErr_SetString(PyExc_ValueError, "recv_headers: the server role needs a spare stream handle");
    return nullptr;
  }
  return new_headers_verdict(*r, std::move(handle));
}

PyObject* recv_data(PyObject* self, PyObject* frame) {
  if (!frame_arg(frame, H2Event::data, "H2FrameData")) return nullptr;
  auto* f = reinterpret_cast<H2DataObject*>(frame);
  h2::DataIn in;
  in.stream_id = f->stream_id;
  in.end_stream = f->end_stream;
  in.payload_len = uint32_t(PyBytes_GET_SIZE(f->data));
  in.flow_controlled_len = f->flow_controlled_len;
  in.padding = f->padding;
  h2::Result<h2::DataVerdict> r;
  Ref handle;
  {
    Transition<H2StreamsObject> t(self);
    r = t->core.recv_data(in, t.dropped());
    if (r) handle = take_ref(r->handle);
  }
  if (!r) return raise_h2(r.error());
  return new_data_verdict(*r, f->data, std::move(handle));
}

PyObject* recv_window_update(PyObject* self, PyObject* frame) {
  if (!frame_arg(frame, H2Event::window_update, "H2FrameWindowUpdate")) return nullptr;
  auto* f = reinterpret_cast<H2PairObject*>(frame);
  h2::Result<Handle> r;
  std::vector<Ref> wake;
  {
    Transition<H2StreamsObject> t(self);
    r = t->core.recv_window_update(f->stream_id, f->value);
    if (r && *r) wake.push_back(take_ref(*r));
  }
  if (!r) return raise_h2(r.error());
  return handle_list(wake);
}

PyObject* recv_settings(PyObject* self, PyObject* frame) {
  if (!frame_arg(frame, H2Event::settings, "H2FrameSettings")) return nullptr;
  auto* f = reinterpret_cast<H2SettingsObject*>(frame);
  h2::Settings s;
  std::optional<uint32_t>* slots[] = {&s.header_table_size, &s.max_concurrent_streams, &s.initial_window_size,
                                      &s.max_frame_size, &s.max_header_list_size};
  PyObject* values[] = {f->header_table_size, f->max_concurrent_streams, f->initial_window_size, f->max_frame_size,
                        f->max_header_list_size};
  for (int i = 0; i < 5; ++i)
    if (values[i] && values[i] != Py_None) *slots[i] = uint32_t(PyLong_AsUnsignedLong(values[i]));
  if (f->enable_connect_protocol && f->enable_connect_protocol != Py_None)
    s.enable_connect_protocol = f->enable_connect_protocol == Py_True;
  h2::Result<h2::SettingsVerdict> r;
  std::vector<Ref> wake;
  {
    Transition<H2StreamsObject> t(self);
    std::vector<Handle> handles;
    r = t->core.recv_settings(f->ack, s, handles);
    if (r && r->apply_to_decoder) {
      // The one nesting: the decoder lock inside the state lock.
      const h2::Settings& local = *r->apply_to_decoder;
      t.obj().with_decoder([&](h2::Receiver& recv) {
        if (local.header_table_size) recv.set_header_table_size(*local.header_table_size);
        if (local.max_frame_size) recv.set_max_frame_size(*local.max_frame_size);
        if (local.max_header_list_size) recv.set_max_header_list_size(*local.max_header_list_size);
      });
    }
    for (Handle h : handles) wake.push_back(take_ref(h));
  }
  if (!r) return raise_h2(r.error());
  Ref list(handle_list(wake));
  if (!list) return nullptr;
  return Py_BuildValue("(ONI)", r->initial ? Py_True : Py_False, list.release(), unsigned(r->flags));
}

PyObject* recv_ping(PyObject* self, PyObject* frame) {
  if (!frame_arg(frame, H2Event::ping, "H2FramePing")) return nullptr;
  auto* f = reinterpret_cast<H2PingObject*>(frame);
  std::string_view payload(PyBytes_AS_STRING(f->data), size_t(PyBytes_GET_SIZE(f->data)));
  h2::Result<uint32_t> r;
  {
    Transition<H2StreamsObject> t(self);
    r = t->core.recv_ping(f->ack, payload);
  }
  if (!r) return raise_h2(r.error());
  return PyLong_FromUnsignedLong(*r);
}

PyObject* recv_goaway(PyObject* self, PyObject* frame) {
  if (!frame_arg(frame, H2Event::goaway, "H2FrameGoAway")) return nullptr;
  auto* f = reinterpret_cast<H2GoAwayObject*>(frame);
  h2::Result<uint32_t> r;
  AbortedRefs aborted;
  {
    Transition<H2StreamsObject> t(self);
    std::vector<h2::Aborted> out;
    r = t->core.recv_goaway(f->last_stream_id, f->error_code, out, t.dropped());
    if (r) {
      t.dropped().take(t->goaway_debug);
      t->goaway_debug = Py_NewRef(f->debug_data);
    }
    aborted.take(out);
  }
  if (!r) return raise_h2(r.error());
  Ref list(aborted.list());
  if (!list) return nullptr;
  return Py_BuildValue("(NI)", list.release(), unsigned(*r));
}

PyObject* release_capacity(PyObject* self, PyObject* const* a) {
  uint32_t sid, n;
  if (!to_u32(a[0], "sid", sid) || !to_u32(a[1], "n", n))
    return nullptr;
  h2::Result<uint32_t> r;
  {
    Transition<H2StreamsObject> t(self);
    r = t->core.release_capacity(sid, n, t.dropped());
  }
  if (!r) return raise_h2(r.error());
  return PyLong_FromUnsignedLong(*r);
}

PyObject* release_data_frame(PyObject* self, PyObject* const* a) {
  uint32_t sid;
  uint64_t len;
  if (!to_u32(a[0], "sid", sid) || !to_u64(a[1], "payload_len", len))
    return nullptr;
  {
    Transition<H2StreamsObject> t(self);
    t->core.release_data_frame(sid, len, t.dropped());
  }
  Py_RETURN_NONE;
}

// ---- the send path ----------------------------------------------------------------------

PyObject* open_stream(PyObject* self, PyObject* const* a) {
  std::string_view method, target, scheme, authority, protocol;
  bool end_stream, is_head, has_scheme = false, has_authority = false, has_protocol = false;
  std::optional<http::HeaderMap> fields;
  if (!to_str(a[0], "method", method) ||
      !to_str(a[1], "target", target) || !headers_arg(a[2], "headers", fields) ||
      !to_bool(a[3], "end_stream", end_stream) || !to_bool(a[4], "is_head", is_head) ||
      (a[6] && !to_opt_str(a[6], "scheme", scheme, has_scheme)) ||
      (a[7] && !to_opt_str(a[7], "authority", authority, has_authority)) ||
      (a[8] && !to_opt_str(a[8], "protocol", protocol, has_protocol))) {
    // The caller holds a claimed slot: every open that creates no stream
    // gives it back, a refused argument too.
    Transition<H2StreamsObject> t(self);
    t->core.state.release_slot_count();
    return nullptr;
  }
  if (fields && h2::has_padded_value(*fields)) {
    {
      Transition<H2StreamsObject> t(self);
      t->core.state.release_slot_count();
    }
    return raise_h2(h2::Error::user(h2::Misuse::malformed_headers));
  }
  h2::OutHead head;
  auto built = h2::build_request_head(method, target, has_scheme ? &scheme : nullptr,
                                      has_authority ? &authority : nullptr, head, has_protocol ? &protocol : nullptr);
  h2::Result<std::optional<uint32_t>> r;
  {
    Transition<H2StreamsObject> t(self);
    r = t->core.open_stream(head, built ? nullptr : &built.error(), fields ? &*fields : nullptr, end_stream,
                            is_head, a[5]);
    if (r && *r) Py_INCREF(a[5]);  // the record's reference
  }
  if (!r) return raise_h2(r.error());
  if (!*r) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(**r);
}

PyObject* send_data(PyObject* self, PyObject* const* a) {
  uint32_t sid;
  std::string_view data;
  uint64_t offset;
  bool end_stream;
  if (!to_u32(a[0], "sid", sid) ||
      !to_bytes(a[1], "data", data) || !to_u64(a[2], "offset", offset) || !to_bool(a[3], "end_stream", end_stream))
    return nullptr;
  if (offset > data.size()) {
    PyErr_Format(PyExc_ValueError, "offset %llu is past the end of data (%zu bytes)", (unsigned long long)offset,
                 data.size());
    return nullptr;
  }
  h2::Result<h2::SendVerdict> r;
  Ref handle;
  {
    Transition<H2StreamsObject> t(self);
    r = t->core.send_data(sid, data, offset, end_stream, t.dropped());
    if (r) handle = take_ref(r->handle);
  }
  if (!r) return raise_h2(r.error());
  return new_send_verdict(*r, std::move(handle));
}

PyObject* send_trailers(PyObject* self, PyObject* const* a) {
  uint32_t sid;
  if (!to_u32(a[0], "sid", sid))
    return nullptr;
  if (!is_header_map(a[1])) {
    PyErr_Format(PyExc_TypeError, "argument 'trailers' must be HeaderMap, not %T", a[1]);
    return nullptr;
  }
  http::HeaderMap trailers = copy_header_map(a[1]);
  if (h2::has_padded_value(trailers)) return raise_h2(h2::Error::user(h2::Misuse::malformed_headers));
  h2::Result<h2::SendVerdict> r;
  Ref handle;
  {
    Transition<H2StreamsObject> t(self);
    r = t->core.send_trailers(sid, trailers, t.dropped());
    if (r) handle = take_ref(r->handle);
  }
  if (!r) return raise_h2(r.error());
  return new_send_verdict(*r, std::move(handle));
}

PyObject* send_response_head(PyObject* self, PyObject* const* a) {
  uint32_t sid;
  uint16_t status;
  bool end_stream;
  std::optional<http::HeaderMap> fields;
  if (!to_u32(a[0], "sid", sid) || !to_u16(a[1], "status", status) || !headers_arg(a[2], "headers", fields) ||
      !to_bool(a[3], "end_stream", end_stream))
    return nullptr;
  if (fields && (h2::has_forbidden_fields(*fields) || h2::has_padded_value(*fields)))
    return raise_h2(h2::Error::user(h2::Misuse::malformed_headers));
  h2::OutHead head;
  auto built = h2::build_response_head(status, head);
  std::string_view date;
  // The option is fixed at construction: read without the lock. An
  // interim head goes out without one.
  if (status >= 200 && streams_of(self)->state.core.state.auto_date_header() &&
      !(fields && fields->contains("date")))
    date = http::http_date_now();
  h2::Result<h2::SendVerdict> r;
  Ref handle;
  {
    Transition<H2StreamsObject> t(self);
    r = t->core.send_response_head(sid, head, built ? nullptr : &built.error(), fields ? &*fields : nullptr,
                                   date, end_stream, t.dropped());
    if (r) handle = take_ref(r->handle);
  }
  if (!r) return raise_h2(r.error());
  return new_send_verdict(*r, std::move(handle));
}

PyObject* next_capacity_wake(PyObject* self, PyObject*) {
  Ref handle;
  {
    Transition<H2StreamsObject> t(self);
    handle = take_ref(t->core.next_capacity_wake());
  }
  return or_none(handle);
}

// ---- write batches -----------------------------------------------------------------------

// Everything that can fail is made before the take, except the view over
// the taken bytes; if that fails the frames go back to the connection,
// ahead of whatever was queued since (their credits never left).
PyObject* take_pending(PyObject* self, PyObject*) {
  Ref out(PyTuple_New(2));
  if (!out) return nullptr;
  Ref batch(make_batch(self, std::string()));
  if (!batch) return nullptr;
  std::string& buf = reinterpret_cast<BatchObject*>(batch.get())->buf;
  bool stopping;
  {
    Transition<H2StreamsObject> t(self);
    stopping = t->core.take_pending(buf);
  }
  Ref view(PyMemoryView_FromObject(batch.get()));
  if (!view) {
    // Nothing exports the bytes: they leave the batch, which then gives an
    // empty buffer back when it goes.
    std::string back;
    back.swap(buf);
    Transition<H2StreamsObject> t(self);
    t->core.untake(back);
    return nullptr;
  }
  PyTuple_SET_ITEM(out.get(), 0, view.release());
  PyTuple_SET_ITEM(out.get(), 1, Py_NewRef(stopping ? Py_True : Py_False));
  return out.release();
}

PyObject* credit_written(PyObject* self, PyObject*) {
  std::vector<Ref> wake;
  {
    Transition<H2StreamsObject> t(self);
    std::vector<Handle> handles;
    t->core.credit_written(handles);
    wake.reserve(handles.size());
    for (Handle h : handles) wake.push_back(take_ref(h));
  }
  return handle_list(wake);
}

PyObject* has_pending(PyObject* self, PyObject*) {
  return bool_obj(streams_of(self)->with([](const H2StreamsState& s) { return s.core.has_pending(); }));
}

// ---- resets, failure and shutdown -------------------------------------------------------

PyObject* recv_reset(PyObject* self, PyObject* frame) {
  if (!frame_arg(frame, H2Event::rst_stream, "H2FrameRstStream")) return nullptr;
  auto* f = reinterpret_cast<H2PairObject*>(frame);
  h2::Result<std::optional<h2::RecvResetVerdict>> r;
  Ref handle;
  {
    Transition<H2StreamsObject> t(self);
    r = t->core.recv_reset(f->stream_id, f->value, t.dropped());
    if (r && *r) handle = take_ref((*r)->handle);
  }
  if (!r) return raise_h2(r.error());
  if (!*r) Py_RETURN_NONE;
  const h2::RecvResetVerdict& v = **r;
  Ref stop(opt_stop(v.stop));
  if (!stop) return nullptr;
  return Py_BuildValue("(NNOI)", or_none(handle), stop.release(), v.notify_body ? Py_True : Py_False,
                       unsigned(v.flags));
}

PyObject* reset_result(const h2::Result<h2::ResetVerdict>& r, Ref handle) {
  if (!r) return raise_h2(r.error());
  return new_reset_verdict(r->stop, r->flags, std::move(handle));
}

PyObject* reset_stream(PyObject* self, PyObject* const* a) {
  uint32_t sid, reason;
  h2::Initiator who = h2::Initiator::user;
  if (!to_u32(a[0], "sid", sid) ||
      !to_u32(a[1], "reason", reason) || (a[2] && !to_initiator(a[2], who)))
    return nullptr;
  h2::Result<h2::ResetVerdict> r;
  Ref handle;
  {
    Transition<H2StreamsObject> t(self);
    r = t->core.reset_stream(sid, reason, who, t.dropped());
    if (r) handle = take_ref(r->handle);
  }
  return reset_result(r, std::move(handle));
}

PyObject* reset_on_error(PyObject* self, PyObject* const* a) {
  uint32_t sid, reason;
  if (!to_u32(a[0], "sid", sid) ||
      !to_u32(a[1], "reason", reason))
    return nullptr;
  h2::Result<h2::ResetVerdict> r;
  Ref handle;
  {
    Transition<H2StreamsObject> t(self);
    r = t->core.reset_on_error(sid, reason, t.dropped());
    if (r) handle = take_ref(r->handle);
  }
  return reset_result(r, std::move(handle));
}

PyObject* aclose_body(PyObject* self, PyObject* arg) {
  uint32_t sid;
  if (!to_u32(arg, "sid", sid)) return nullptr;
  h2::Result<h2::ResetVerdict> r;
  Ref handle;
  {
    Transition<H2StreamsObject> t(self);
    r = t->core.aclose_body(sid, t.dropped());
    if (r) handle = take_ref(r->handle);
  }
  return reset_result(r, std::move(handle));
}

PyObject* fail(PyObject* self, PyObject* const* a) {
  PyObject* exc = a[0] && a[0] != Py_None ? a[0] : nullptr;
  if (exc && !PyExceptionInstance_Check(exc)) {
    PyErr_Format(PyExc_TypeError, "argument 'exc' must be an exception or None, not %T", exc);
    return nullptr;
  }
  std::string_view message = "connection closed";
  if (a[1] && !to_str(a[1], "message", message)) return nullptr;
  // The driver passes the copy it keeps (without a traceback); getters hand
  // out this same object.
  Ref copy = Ref::borrow(exc);
  AbortedRefs aborted;
  {
    Transition<H2StreamsObject> t(self);
    std::vector<h2::Aborted> out;
    bool recorded = t->core.fail(std::string(message), out, t.dropped());
    if (recorded && copy) t->error = copy.release();
    aborted.take(out);
  }
  // A refused copy is released here, unlocked.
  return aborted.list();
}

PyObject* conn_error(PyObject* self, PyObject*) {
  Ref error;
  std::string message;
  bool failed = streams_of(self)->with([&](const H2StreamsState& s) {
    if (!s.core.state.failed()) return false;
    error = Ref::borrow(s.error);
    if (!error) message = s.core.state.failure_message();
    return true;
  });
  if (!failed) Py_RETURN_NONE;
  if (error) return error.release();
  Ref text(str_obj(message));
  if (!text) return nullptr;
  return PyObject_CallOneArg(exc(Exc::ConnectionClosedError), text.get());
}

PyObject* is_failed(PyObject* self, PyObject*) {
  return bool_obj(streams_of(self)->with([](const H2StreamsState& s) { return s.core.state.failed(); }));
}

PyObject* is_closed(PyObject* self, PyObject*) {
  return bool_obj(streams_of(self)->with(
      [](const H2StreamsState& s) { return s.core.state.failed() || s.core.state.peer_goaway().has_value(); }));
}

PyObject* send_goaway(PyObject* self, PyObject* arg) {
  uint32_t reason;
  if (!to_u32(arg, "reason", reason)) return nullptr;
  h2::Result<uint32_t> r;
  {
    Transition<H2StreamsObject> t(self);
    r = t->core.send_goaway(reason);
  }
  if (!r) return raise_h2(r.error());
  return PyLong_FromUnsignedLong(*r);
}

PyObject* begin_graceful_shutdown(PyObject* self, PyObject*) {
  h2::Result<uint32_t> r;
  {
    Transition<H2StreamsObject> t(self);
    r = t->core.begin_graceful_shutdown();
  }
  if (!r) return raise_h2(r.error());
  return PyLong_FromUnsignedLong(*r);
}

PyObject* maybe_goaway_reply(PyObject* self, PyObject*) {
  uint32_t flags;
  {
    Transition<H2StreamsObject> t(self);
    flags = t->core.maybe_goaway_reply();
  }
  return PyLong_FromUnsignedLong(flags);
}

PyObject* goaway_info(PyObject* self, PyObject*) {
  Ref debug;
  std::optional<h2::ConnState::PeerGoAway> g = streams_of(self)->with([&](const H2StreamsState& s) {
    debug = Ref::borrow(s.goaway_debug);
    return s.core.state.peer_goaway();
  });
  if (!g) Py_RETURN_NONE;
  return Py_BuildValue("(IIO)", unsigned(g->last_stream_id), unsigned(g->code),
                       debug ? debug.get() : Py_None);
}

}  // namespace velmora::py::h2_streams
