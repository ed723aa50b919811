// The HTTP/2 value objects (H2Reason, H2StreamState, H2FlowControl,
// H2ContentLength, H2DataFrameBudget), and what the HTTP/2 state classes
// share: the argument conversions for stream ids, error codes and
// initiators.
#pragma once

#include <cstdint>

#include "proto/h2/error.h"
#include "src/errors.h"

namespace velmora::py {

// Argument conversions; each raises and returns false on failure.
bool to_u32(PyObject* o, const char* arg, uint32_t& out);  // int, or an H2Reason
// A stream id: an unsigned 32-bit int below 2^31 (ValueError "invalid stream
// ID -- MSB is set" otherwise).
bool to_stream_id(PyObject* o, const char* arg, uint32_t& out);
// "user", "library" or "remote" (ValueError otherwise).
bool to_initiator(PyObject* o, h2::Initiator& out);

// Registration, in the module's attribute order.
int add_h2_stream_values(PyObject* m);  // H2StreamState, H2FlowControl, H2ContentLength, H2DataFrameBudget
int add_h2_reason(PyObject* m);         // H2Reason

}  // namespace velmora::py
