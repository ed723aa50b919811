// H2Streams: the connection and stream state of one HTTP/2 connection, with
// its verdict classes and its write batches.
#pragma once

#include "src/common.h"

namespace velmora::py {

// Registers H2Streams, H2Stopped, H2RecvHeadersVerdict, H2RecvDataVerdict,
// H2SendVerdict, H2ResetVerdict in the module's attribute order, and creates
// H2WriteBatch (a class of the module that is not one of its attributes).
int add_h2_streams(PyObject* module);

}  // namespace velmora::py
