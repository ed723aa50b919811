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

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

namespace velmora::h1 {

// The verdicts and codes the states answer with. Their numbers are the
// values of the module's H1_WATCH_*, H1_NEXT_* / H1_READ_* and H1_REQ_*
// constants.

// ClientState::watcher_completed.
enum class WatchVerdict : uint8_t {
  handoff = 0,     // the read belongs to the exchange: collect it with take_watcher_handoff/result
  idle_eof = 1,    // the server closed an idle connection: closed now, close the returned transport
  idle_bytes = 2,  // the server sent bytes outside any response: poison the connection (fail)
  idle_error = 3,  // the idle read failed: fail the connection with that error
  ignored = 4,     // nothing to act on (no watcher, or a racing close committed first)
};

// ServerState::begin_read / drain_done: one range for both kinds.
enum class ReadCode : uint8_t {
  next_none = 0,       // serve no more
  next_raise = 1,      // the current request is unanswered
  next_close = 2,      // the unread body cannot be drained: closed, close the transport
  next_drain = 3,      // drain the unread body (one poll), then drain_done
  read_parse = 4,      // bytes are buffered: accept_head(b"")
  read_shutdown = 5,   // shutdown requested
  read_watcher = 6,    // the watcher's read is the next head's read
  read_transport = 7,  // read from the transport
  read_eof = 8,        // no transport left
};

// ServerState::respond_head / detach.
enum class ReqCode : uint8_t {
  ok = 0,
  already = 1,      // the response was already claimed
  stale = 2,        // not the current request
  parked = 3,       // detach: a watcher read is in flight
  peer_closed = 4,  // the client went away mid-message: write nothing
  continue_wait = 5,  // a 100 Continue is being written: wait for it, call again
};

// A completed read as the driver hands it over: the bytes object (none: the
// read found no transport) and a view of its content, valid for as long as
// the object is held.
template <class H>
struct Received {
  H obj;
  std::string_view bytes;
};

// A read parked on the transport on the state's behalf (the idle watcher of
// a client, the mid-message watcher of a server), and the steps both states
// take on it. No slot, or a slot that is parked (the read is in flight) or
// completed (the read returned and its result waits to be taken). Handles
// the slot lets go of come back in the results, to be dropped after
// unlocking like every other.
template <class P>
class Watcher {
 public:
  using H = typename P::Handle;

  bool exists() const noexcept { return slot_.has_value(); }
  bool parked() const noexcept { return slot_ && !slot_->completed; }
  bool completed() const noexcept { return slot_ && slot_->completed; }

  // A new parked slot for the event `done`; the caller checked there is none.
  void arm(H done) {
    slot_.emplace();
    slot_->done = std::move(done);
  }

  // Stores the task handle; refused (handed back: the arming task joins it
  // itself) when `closed`, without a slot, or when one is stored.
  H store_handle(H handle, bool closed) {
    if (closed || !slot_ || slot_->handle) return handle;
    slot_->handle = std::move(handle);
    return H();
  }

  // The read completed; nothing to keep (the read found no transport, or its
  // result is reported rather than stored).
  void complete() noexcept {
    if (slot_) slot_->completed = true;
  }

  struct Replaced {
    H data, error;  // what an earlier report left in the slot, to drop
  };
  // The read completed with `data` and `error`, kept in the slot until taken.
  // Call only with a slot.
  Replaced keep(Received<H> data, H error) {
    slot_->completed = true;
    Replaced r{std::exchange(slot_->data, std::move(data.obj)), std::exchange(slot_->error, std::move(error))};
    slot_->bytes = data.bytes;
    return r;
  }

  // The slot's event (a new handle), or none without a slot.
  H done() const { return slot_ && slot_->done ? P::share(slot_->done) : H(); }
  // Moves the handle out, exactly once, to join it.
  H take_handle() { return slot_ ? std::exchange(slot_->handle, H()) : H(); }

  struct Handoff {
    H handle, data, error;
    H done;  // the removed slot's event, to drop
  };
  // A completed read's handle, data and error in one step; the slot goes. A
  // read still in flight gives nothing and keeps its slot: removing it would
  // drop whatever the read returns.
  Handoff take_handoff() {
    if (!completed()) return {};
    Handoff h{std::move(slot_->handle), std::move(slot_->data), std::move(slot_->error), std::move(slot_->done)};
    slot_.reset();
    return h;
  }

  // What take_result() moves out.
  struct Taken {
    H data, error;
    H done;  // the removed slot's event, to drop
  };
  // Moves a completed read's data and error out; the slot goes too unless a
  // handle is still stored (left for close() to join). A read in flight
  // gives nothing, as in take_handoff.
  Taken take_result() {
    Taken r;
    if (!completed()) return r;
    r.data = std::exchange(slot_->data, H());
    slot_->bytes = {};
    r.error = std::exchange(slot_->error, H());
    if (!slot_->handle) {
      r.done = std::move(slot_->done);
      slot_.reset();
    }
    return r;
  }

  // The bytes a completed read returned (empty when none are kept).
  std::string_view kept_bytes() const noexcept { return completed() && slot_->data ? slot_->bytes : std::string_view(); }
  // Moves a completed read's bytes object out of the slot.
  H take_data() {
    if (!completed()) return H();
    slot_->bytes = {};
    return std::exchange(slot_->data, H());
  }

  // Every handle the slot holds, for the garbage collector's walk.
  template <class F>
  void visit(F&& f) const {
    if (!slot_) return;
    f(slot_->done);
    f(slot_->handle);
    f(slot_->data);
    f(slot_->error);
  }
  // Moves every handle out into `out`; the slot goes.
  template <class Out>
  void clear(Out& out) {
    if (!slot_) return;
    out.push_back(std::move(slot_->done));
    out.push_back(std::move(slot_->handle));
    out.push_back(std::move(slot_->data));
    out.push_back(std::move(slot_->error));
    slot_.reset();
  }

 private:
  struct Slot {
    H done;    // the event the watcher sets when its read completes
    H handle;  // its task handle, until taken to be joined
    H data;    // what the read returned, until taken
    std::string_view bytes;  // content of `data`
    H error;
    bool completed = false;  // false: the read is still in flight
  };
  std::optional<Slot> slot_;
};

}  // namespace velmora::h1
