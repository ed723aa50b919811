// H2Codec: the standalone Python face of the HTTP/2 codec, with its static
// helpers.
#pragma once

#include "src/common.h"

#include "proto/h2/codec.h"
#include "src/locked.h"

namespace velmora::py {

struct H2CodecObject : Locked<h2::Codec> {
  bool client;  // fixed at construction, read without the lock
};

// Registers H2Codec and then the frame event classes.
int add_h2_codec(PyObject* module);

}  // namespace velmora::py
