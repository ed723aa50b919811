// H1Codec and its head events H1RequestHead / H1ResponseHead, and the entry
// points the HTTP/1 connection states use to drive an embedded codec without
// Python calls.
#pragma once

#include "src/common.h"

#include "proto/h1/codec.h"
#include "src/locked.h"

namespace velmora::py {

// The codec behind its state lock (Locked<h1::Codec>::with, Transition).
struct H1CodecObject : Locked<h1::Codec> {
  h1::CodecOptions options;  // fixed at construction, read without the lock
};

// True for an H1Codec instance.
bool is_h1_codec(PyObject* o) noexcept;
inline H1CodecObject* as_h1_codec(PyObject* o) noexcept { return static_cast<H1CodecObject*>(H1CodecObject::of(o)); }

// Builds the head events from parsed heads (call with no lock held).
PyObject* new_h1_request_head(h1::RequestHead&& head);
PyObject* new_h1_response_head(h1::ResponseHead&& head);

// The head bytes of an encoded response (Codec::encode_response), or the
// error it reported raised (ValueError for refused arguments, H1UserError).
PyObject* h1_response_head_bytes(const h1::Result<h1::EncodedResponse>& head);

}  // namespace velmora::py
