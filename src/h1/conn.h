// H1ClientState and H1ServerState: the connection states of proto/h1 with
// the Python objects they keep for the drivers (transports, events, task
// handles, received bytes, errors, writer scopes, body decoders).
#pragma once

#include "src/common.h"

#include <string>

#include "proto/h1/client_state.h"
#include "proto/h1/server_state.h"
#include "src/h1/codec.h"
#include "src/locked.h"

namespace velmora::py {

// The handle policy of the connection states (proto/h1/conn.h): handles are
// owned references the core never looks into; the codec is reached through
// its own object and lock.
struct PyHandles {
  using Handle = Ref;
  using CodecRef = H1CodecObject*;  // kept alive by the state object's `codec`
  static Ref share(const Ref& h) noexcept { return Ref(Py_NewRef(h.get())); }
  template <class F>
  static decltype(auto) with_codec(H1CodecObject* c, F&& f) {
    return c->with(std::forward<F>(f));
  }
  static void install_decoder(const Ref& d, h1::BodyDecoder&& core);
  static void take_leftover(const Ref& d, std::string& out);
};

struct H1ClientStateObject : Locked<h1::ClientState<PyHandles>> {
  PyObject* codec;  // the H1Codec, fixed for life, read without the lock
};
struct H1ServerStateObject : Locked<h1::ServerState<PyHandles>> {
  PyObject* codec;
};

}  // namespace velmora::py
