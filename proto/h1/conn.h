// What the HTTP/1 connection states (client_state.h, server_state.h) share:
// the handle policy through which they hold their caller's objects, and the
// watcher slot.
//
// The states keep objects that belong to the driver (transports, events,
// task handles, received bytes, exceptions) without ever looking into them.
// They are templates over a policy `P` that says what such an object is:
//
//   typename P::Handle      An owning, movable handle; default-constructed
//                           means "none", and it converts to bool. The state
//                           never lets a handle die while its owner holds the
//                           state's lock: every handle the state stops
//                           holding is moved into the step's result, and the
//                           owner drops the result after unlocking.
//   static Handle P::share(const Handle&)
//                           A second owning handle to the same object (the
//                           state hands out an object it keeps).
//   typename P::CodecRef    How the state reaches its connection's Codec.
//   static R P::with_codec(const CodecRef&, F f)
//                           Runs f(Codec&) under the codec's own lock and
//                           returns its result. The states call it only with
//                           their own lock held (lock order: state, then
//                           codec) and never take another lock inside f.
//
// The server state also reaches body decoders held by handles:
//
//   static void P::install_decoder(const Handle& d, BodyDecoder&& core)
//                           Puts `core` into the fresh decoder object `d`.
//   static void P::take_leftover(const Handle& d, std::string& out)
//                           If the decoder's body is complete, moves the
//                           bytes it holds past the body to the end of `out`;
//                           otherwise leaves it alone. Under the decoder's
//                           own lock, never together with the codec's.
//
// The states are not synchronised: their owner keeps each behind one state
// lock and runs every method as one transition under it.
#pragma once

#include <string_view>

namespace velmora::h1 {

// A completed read as the driver hands it over: the bytes object (none: the
// read found no transport) and a view of its content, valid for as long as
// the object is held.
template <class H>
struct Received {
  H obj;
  std::string_view bytes;
};

// A read parked on the transport on the state's behalf (the idle watcher of
// a client, the mid-message watcher of a server).
template <class H>
struct WatcherSlot {
  H done;    // the event the watcher sets when its read completes
  H handle;  // its task handle, until taken to be joined
  H data;    // what the read returned, until taken
  std::string_view bytes;  // content of `data`
  H error;
  bool completed = false;  // false: the read is still in flight

  // Every handle the slot holds, for the garbage collector's walk.
  template <class F>
  void visit(F&& f) const {
    f(done);
    f(handle);
    f(data);
    f(error);
  }
};

}  // namespace velmora::h1
