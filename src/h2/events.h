// The HTTP/2 frame events H2FrameHeaders ... H2FrameStreamError: frozen,
// read-only objects created only by the codec (H2Codec.receive and the
// connection's receive). The structs are visible to the connection binding,
// which reads the fields of the events a driver hands back to it.
#pragma once

#include "src/common.h"

#include "proto/h2/frame.h"

namespace velmora::py {

struct H2HeadersObject {
  PyObject_HEAD
  PyObject* method;     // str or None
  PyObject* scheme;     // str or None
  PyObject* authority;  // str or None
  PyObject* path;       // str or None
  PyObject* status;     // int or None
  PyObject* headers;    // HeaderMap
  PyObject* content_length;  // int or None
  PyObject* protocol;   // str or None (extended CONNECT)
  uint32_t stream_id;
  uint32_t field_count;  // values in `headers`, for the repr
  char end_stream;
  char end_headers;  // always true: blocks are reported once complete
  char content_length_invalid;
  char is_informational;
  char over_size;  // fields past max_header_list_size were dropped
};

struct H2DataObject {
  PyObject_HEAD
  PyObject* data;  // bytes, padding removed
  uint32_t stream_id;
  uint32_t flow_controlled_len;
  uint32_t padding;
  char end_stream;
};

struct H2SettingsObject {
  PyObject_HEAD
  PyObject* header_table_size;       // int or None
  PyObject* enable_push;             // bool or None
  PyObject* max_concurrent_streams;  // int or None
  PyObject* initial_window_size;     // int or None
  PyObject* max_frame_size;          // int or None
  PyObject* max_header_list_size;    // int or None
  PyObject* enable_connect_protocol;  // bool or None
  char ack;
};

struct H2PingObject {
  PyObject_HEAD
  PyObject* data;  // 8 bytes
  char ack;
};

struct H2GoAwayObject {
  PyObject_HEAD
  PyObject* debug_data;  // bytes, possibly empty
  uint32_t last_stream_id;
  uint32_t error_code;
};

// H2FrameRstStream, H2FrameStreamError (stream_id, error_code),
// H2FrameWindowUpdate (stream_id, increment), H2FramePriority (stream_id).
struct H2PairObject {
  PyObject_HEAD
  uint32_t stream_id;
  uint32_t value;
};

enum class H2Event : uint8_t { headers, data, settings, window_update, ping, goaway, rst_stream, priority, stream_error };

// The event class of `o`, or false when `o` is none of them.
bool h2_event_kind(PyObject* o, H2Event& out) noexcept;
inline bool is_h2_event(PyObject* o, H2Event want) noexcept {
  H2Event k;
  return h2_event_kind(o, k) && k == want;
}

// The events of a batch as a new list, in order. Call with no lock held;
// the batch's DATA views must still be valid.
PyObject* h2_event_list(h2::RecvBatch& batch);

// Registers the nine event classes, in the module's attribute order (after
// H2Codec).
int add_h2_events(PyObject* module);

}  // namespace velmora::py
