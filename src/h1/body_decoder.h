// H1BodyDecoder: the Python face of the HTTP/1 body decoder, and the entry
// points the codec and the connection states use to reach a decoder object
// without going through Python calls.
#pragma once

#include "src/common.h"

#include <string>

#include "proto/h1/body_decoder.h"

namespace velmora::py {

// Registers H1BodyDecoder on the module.
int add_h1_body_decoder(PyObject* module);

// The type object (null before registration).
PyTypeObject* h1_body_decoder_type() noexcept;
// True for an H1BodyDecoder (or subclass) instance.
bool is_h1_body_decoder(PyObject* o) noexcept;

// A new H1BodyDecoder owning `core`; nullptr with an exception set on failure.
PyObject* h1_body_decoder_new(h1::BodyDecoder&& core);

// Appends `bytes` to the decoder's input under its own lock, taking ownership
// of the buffer (no copy, no Python object). `decoder` must pass
// is_h1_body_decoder(). Never call this with another object's lock held
// unless that order is documented.
void h1_body_decoder_feed(PyObject* decoder, std::string&& bytes);

// Replaces the decoder's state with `core`, under the decoder's lock. For a
// fresh decoder object nobody else holds yet.
void h1_body_decoder_install(PyObject* decoder, h1::BodyDecoder&& core);

// If the decoder's body is complete, moves the bytes it holds past the body
// to the end of `out`, under the decoder's lock. Releases no Python object, so
// it may run under a connection state's lock (state, then decoder).
void h1_body_decoder_take_leftover(PyObject* decoder, std::string& out);

// The one shared "0\r\n\r\n" bytes object (new reference) that ends every
// chunked body sent without trailers.
PyObject* chunk_terminator() noexcept;

}  // namespace velmora::py
