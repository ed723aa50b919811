// What the steps of H2Streams hand back: the verdict classes (H2Stopped,
// H2RecvHeadersVerdict, H2RecvDataVerdict, H2SendVerdict, H2ResetVerdict),
// the lists of handles and of aborted streams, and the write batch that
// exports the pending bytes. Everything here is built after unlocking.
#pragma once

#include "src/common.h"

#include <optional>
#include <string>
#include <vector>

#include "proto/h2/conn_core.h"

namespace velmora::py {

// Registers the verdict classes in the module's attribute order, then
// creates H2WriteBatch.
int add_h2_verdicts(PyObject* module);

namespace h2_streams {

// A new reference to a handle the core returned (under the lock: only the
// count changes, nothing is created or released).
inline Ref take_ref(h2::Handle h) noexcept { return Ref(Py_XNewRef(static_cast<PyObject*>(h))); }
inline PyObject* or_none(Ref& r) noexcept { return r ? r.release() : Py_NewRef(Py_None); }

// The verdict objects; each returns a new reference, or nullptr with an
// exception set. A handle given as a Ref is taken over (None when empty).
PyObject* new_stop(const h2::Stop& s);
PyObject* opt_stop(const std::optional<h2::Stop>& s);  // None for no stop
PyObject* new_headers_verdict(const h2::HeadersVerdict& v, Ref handle);
// `payload` is the DATA frame's bytes, delivered when the verdict says so.
PyObject* new_data_verdict(const h2::DataVerdict& v, PyObject* payload, Ref handle);
PyObject* new_send_verdict(const h2::SendVerdict& v, Ref handle);
PyObject* new_reset_verdict(const std::optional<h2::Stop>& stop, uint32_t flags, Ref handle);

// A list of new references; the refs are taken over.
PyObject* handle_list(std::vector<Ref>& refs);

// (handle, stop) pairs of aborted streams.
struct AbortedRefs {
  std::vector<Ref> handles;
  std::vector<h2::Stop> stops;
  void take(const std::vector<h2::Aborted>& a);  // under the lock: counts only
  PyObject* list();
};

// One write batch: the bytes taken from a connection, exported read-only
// through the buffer protocol, and given back to the connection (as its next
// pending buffer) when the batch goes.
struct BatchObject {
  PyObject_HEAD
  PyObject* owner;  // the H2Streams the buffer goes back to
  std::string buf;  // constructed in place by make_batch
};

// A new batch owning `buf`, to go back to `owner`.
PyObject* make_batch(PyObject* owner, std::string&& buf);

}  // namespace h2_streams

}  // namespace velmora::py
