// Registration entry points of the module's parts, called by the execution
// step in the module's attribute order. Each adds its classes (and keeps the
// type objects its methods need) and returns 0, or -1 with an exception set.
#pragma once

#include "src/common.h"

namespace velmora::py {

int add_header_map(PyObject* m);      // HeaderMap
int add_http_functions(PyObject* m);  // http_date, uri_parts
int add_h2_codec(PyObject* m);        // H2Codec, the nine H2Frame* event classes
int add_h1_codec(PyObject* m);        // H1Codec, H1ResponseHead, H1RequestHead
int add_h1_body_decoder(PyObject* m); // H1BodyDecoder
int add_h1_conn(PyObject* m);         // H1ServerState, H1ClientState
int add_once_latch(PyObject* m);      // OnceLatch
int add_proxy(PyObject* m);           // ProxyMatcher, ProxyIntercept
int add_ws_codec(PyObject* m);        // WsCodec
int add_ws_functions(PyObject* m);    // ws_accept_key ... ws_client_check

}  // namespace velmora::py
