// H2Streams: the connection and stream state of one HTTP/2 connection, with
// its verdict classes and its write batches.
//
// The object is spread over four files: conn.cc (the object, its life cycle,
// the handshake and decoding, the type), steps.cc (the connection steps),
// verdicts.cc (the result classes and the write batch), inspect.cc (read-only
// introspection and the test hooks). The declarations they share are here.
#pragma once

#include "src/common.h"

#include <mutex>
#include <utility>

#include "proto/h2/conn_core.h"
#include "src/locked.h"

namespace velmora::py {

// Registers H2Streams, H2Stopped, H2RecvHeadersVerdict, H2RecvDataVerdict,
// H2SendVerdict, H2ResetVerdict in the module's attribute order, and creates
// H2WriteBatch (a class of the module that is not one of its attributes).
int add_h2_streams(PyObject* module);

// What a step lets go of: the core hands its handles over as a HandleSink,
// the binding adds the Python objects it keeps beside the core. All of it is
// released after unlocking.
class H2Dropped final : public Dropped, public h2::HandleSink {
 public:
  void drop(h2::Handle h) noexcept override { add(static_cast<PyObject*>(h)); }
};

// The state behind the state lock: the connection core and the Python
// objects kept beside it.
struct H2StreamsState {
  explicit H2StreamsState(const h2::ConnConfig& c) : core(c) {}

  h2::ConnCore core;
  PyObject* error = nullptr;         // the stored connection error, when an exception was given
  PyObject* goaway_debug = nullptr;  // the latest peer GOAWAY's debug data
  PyObject* read_handle = nullptr;
  PyObject* pump_handle = nullptr;
};

// The H2Streams object. Besides the state lock it has the decoder lock, which
// guards only `recv`: receive() and prime() take it alone, and a step that
// changes the decoder's limits takes it inside the state lock (state first,
// then decoder; never the other way).
struct H2StreamsObject : Locked<H2StreamsState> {
  using dropped_type = H2Dropped;

  StateLock decoder_mu;
  h2::Receiver recv;

  // Runs f(recv) under the decoder lock and returns its result.
  template <class F>
  decltype(auto) with_decoder(F&& f) {
    std::lock_guard<StateLock> g(decoder_mu);
    return std::forward<F>(f)(recv);
  }
};

inline H2StreamsObject* streams_of(PyObject* self) noexcept {
  return static_cast<H2StreamsObject*>(H2StreamsObject::of(self));
}

// The methods and properties of H2Streams, defined in the file of their
// concern and gathered into the type in conn.cc.
namespace h2_streams {

// steps.cc: the connection steps.
PyObject* recv_headers(PyObject* self, PyObject* const* a);
PyObject* recv_data(PyObject* self, PyObject* frame);
PyObject* recv_window_update(PyObject* self, PyObject* frame);
PyObject* recv_settings(PyObject* self, PyObject* frame);
PyObject* recv_ping(PyObject* self, PyObject* frame);
PyObject* recv_goaway(PyObject* self, PyObject* frame);
PyObject* release_capacity(PyObject* self, PyObject* const* a);
PyObject* release_data_frame(PyObject* self, PyObject* const* a);
PyObject* open_stream(PyObject* self, PyObject* const* a);
PyObject* send_data(PyObject* self, PyObject* const* a);
PyObject* send_trailers(PyObject* self, PyObject* const* a);
PyObject* send_response_head(PyObject* self, PyObject* const* a);
PyObject* next_capacity_wake(PyObject* self, PyObject*);
PyObject* take_pending(PyObject* self, PyObject*);
PyObject* credit_written(PyObject* self, PyObject*);
PyObject* has_pending(PyObject* self, PyObject*);
PyObject* recv_reset(PyObject* self, PyObject* frame);
PyObject* reset_stream(PyObject* self, PyObject* const* a);
PyObject* reset_on_error(PyObject* self, PyObject* const* a);
PyObject* aclose_body(PyObject* self, PyObject* arg);
PyObject* fail(PyObject* self, PyObject* const* a);
PyObject* conn_error(PyObject* self, PyObject*);
PyObject* is_failed(PyObject* self, PyObject*);
PyObject* is_closed(PyObject* self, PyObject*);
PyObject* send_goaway(PyObject* self, PyObject* arg);
PyObject* begin_graceful_shutdown(PyObject* self, PyObject*);
PyObject* maybe_goaway_reply(PyObject* self, PyObject*);
PyObject* goaway_info(PyObject* self, PyObject*);

// inspect.cc: read-only introspection and the test hooks.
PyObject* has_stream(PyObject* self, PyObject* arg);
PyObject* is_recv_end_stream(PyObject* self, PyObject* arg);
PyObject* in_reset_store(PyObject* self, PyObject* arg);
PyObject* stream_state(PyObject* self, PyObject* arg);
PyObject* stream_recv_unreleased(PyObject* self, PyObject* arg);
PyObject* stream_recv_reclaimed(PyObject* self, PyObject* arg);
PyObject* stream_data_budget_charged(PyObject* self, PyObject* arg);
PyObject* stream_send_buffered(PyObject* self, PyObject* arg);
PyObject* stream_send_window(PyObject* self, PyObject* arg);
// Test hooks: set one of the connection's stream ids (instantiated for
// set_next_stream_id, set_max_stream_id, set_last_processed_id).
template <void (h2::ConnState::*F)(uint32_t) noexcept>
PyObject* set_id(PyObject* self, PyObject* arg);
extern PyGetSetDef kGetSet[];  // the read-only properties

}  // namespace h2_streams

}  // namespace velmora::py
