// The state of one HTTP/1 client connection: the exchange slot (one request
// and its response hold the connection at a time), the transport while the
// connection lives, the first error that poisoned it, the in-flight body
// writer, and the idle watcher (a read parked between exchanges so that a
// server close or stray bytes are noticed).
//
// Every method is one transition; the owner runs it under the state's lock
// (see conn.h for the handle policy `P` and the lock order). Nothing here
// waits or does I/O. Handles the state lets go of come back in the results
// and must be dropped by the caller after unlocking.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

#include "proto/h1/codec.h"
#include "proto/h1/conn.h"

namespace velmora::h1 {

template <class P>
class ClientState {
 public:
  using H = typename P::Handle;
  using CodecRef = typename P::CodecRef;

  ClientState(CodecRef codec, H transport) : codec_(std::move(codec)), transport_(std::move(transport)) {}

  // ---- getters ----
  bool closed() const noexcept { return closed_; }
  bool failed() const noexcept { return bool(error_); }
  bool upgraded() const noexcept { return upgraded_; }
  bool busy() const noexcept { return busy_; }
  bool exchange_active() const noexcept { return exchange_active_; }
  bool has_watcher() const noexcept { return watcher_.exists(); }
  bool peer_http10() const noexcept { return peer_http10_; }
  bool writer_finished() const noexcept { return writer_finished_; }
  // closed or failed.
  bool is_dead() const noexcept { return closed_ || error_; }
  // The stored connection error (a new handle to the same object), or none.
  H error() const { return share(error_); }

  // ---- the exchange ----

  // Claims the exchange slot; false when an exchange holds it. On success the
  // codec starts the next message (its read buffer kept). Does not look at
  // closed or error: begin_send does.
  bool try_begin_exchange() {
    if (busy_) return false;
    busy_ = true;
    exchange_active_ = false;
    writer_finished_ = false;
    P::with_codec(codec_, [](Codec& c) { c.reset(); });
    return true;
  }

  struct SendStart {
    H transport;  // none: the connection is dead, send nothing
    H watcher_done;
  };
  // The transport to write the request to and the idle watcher's event.
  SendStart begin_send() const {
    if (error_) return {};
    return {closed_ ? H() : share(transport_), watcher_.done()};
  }

  // The request is about to be written: a completing watcher read belongs
  // to the exchange from now on.
  void exchange_started() noexcept { exchange_active_ = true; }

  struct Store {
    H refused;  // the scope itself: the exchange tears its writer down
    H dropped;  // a writer stored before (replaced), to drop
  };
  // Stores the body writer's scope; refused once closed.
  Store store_writer(H scope) {
    if (closed_) return {std::move(scope), H()};
    return {H(), std::exchange(writer_, std::move(scope))};
  }
  void writer_done() noexcept { writer_finished_ = true; }
  // Moves the writer out (exactly one owner tears it down).
  H take_writer() { return std::exchange(writer_, H()); }
  void set_peer_http10(bool v) noexcept { peer_http10_ = v; }

  struct Finish {
    bool reuse = false;
    bool fully_sent = false;
    H transport;  // to close when not reusing
  };
  // Decides reuse: the response allows keep-alive, the request body went out
  // in full, and nothing closed or failed the connection meanwhile (a dead
  // connection is never offered for reuse). Otherwise the connection closes
  // in the same step, so a writer finishing in between cannot turn a
  // complete upload into an incomplete one. "In full" means the writer said
  // so and the codec framed the request to its end: a body cut short (a
  // chunked body without its last chunk, a length body short of its count)
  // would make the server read the next request as the rest of this one.
  Finish finish_exchange(bool resp_keep_alive) {
    const bool sent = writer_finished_ && P::with_codec(codec_, [](Codec& c) { return c.message_complete(); });
    if (resp_keep_alive && sent && !is_dead()) return {true, true, H()};
    return {false, sent, close_out()};
  }

  // Frees the exchange slot; false when it was already free.
  bool end_exchange() noexcept {
    if (!busy_) return false;
    busy_ = false;
    exchange_active_ = false;
    return true;
  }

  // ---- the idle watcher ----

  // Arms the watcher with its event `done`. Refused (done handed back in
  // `refused`) when dead, without a transport, or while a slot exists.
  struct Arm {
    bool armed = false;
    H refused;
  };
  Arm arm_watcher(H done) {
    if (is_dead() || !transport_ || watcher_.exists()) return {false, std::move(done)};
    watcher_.arm(std::move(done));
    exchange_active_ = false;
    return {true, H()};
  }

  // Stores the watcher's task handle; refused (handed back: the arming task
  // joins it itself) when closed, without a slot, or when one is stored.
  H store_watcher_handle(H handle) { return watcher_.store_handle(std::move(handle), closed_); }

  struct WatchResult {
    WatchVerdict verdict = WatchVerdict::ignored;
    H transport;  // idle_eof: the transport to close
    H dropped_data, dropped_error;  // not kept: drop after unlocking
  };
  // The watcher's read completed with `data` (none: no transport was found;
  // empty bytes: EOF) and/or `error`.
  WatchResult watcher_completed(Received<H> data, H error) {
    WatchResult r;
    if (!watcher_.exists()) {
      r.dropped_data = std::move(data.obj);
      r.dropped_error = std::move(error);
      return r;
    }
    if (exchange_active_) {
      // The read is the exchange's first read; replaced leftovers (a read
      // reported twice) are dropped.
      auto old = watcher_.keep(std::move(data), std::move(error));
      r.dropped_data = std::move(old.data);
      r.dropped_error = std::move(old.error);
      r.verdict = WatchVerdict::handoff;
      return r;
    }
    watcher_.complete();
    if (error) {
      r.verdict = closed_ ? WatchVerdict::ignored : WatchVerdict::idle_error;
      r.dropped_data = std::move(data.obj);
      r.dropped_error = std::move(error);
      return r;
    }
    if (data.obj && !data.bytes.empty()) {
      r.verdict = WatchVerdict::idle_bytes;
      r.dropped_data = std::move(data.obj);
      return r;
    }
    r.dropped_data = std::move(data.obj);
    r.verdict = WatchVerdict::idle_eof;
    r.transport = close_out();
    return r;
  }

  // The watcher found no transport (a racing close).
  void watcher_aborted() noexcept { watcher_.complete(); }
  H watcher_done() const { return watcher_.done(); }
  H take_watcher_handle() { return watcher_.take_handle(); }

  using Handoff = typename Watcher<P>::Handoff;
  // The completed watcher's read, all in one step; the slot is removed (a
  // read still in flight: nothing, the slot kept).
  Handoff take_watcher_handoff() { return watcher_.take_handoff(); }

  using Taken = typename Watcher<P>::Taken;
  // A completed read's data and error; the slot goes unless a handle is
  // still stored.
  Taken take_watcher_result() { return watcher_.take_result(); }

  // ---- closing ----

  struct Fail {
    H transport;
    H dropped;  // `exc` when an error was already stored
  };
  // Poisons and closes: `exc` is stored only if no error is (first one
  // wins); none closes without recording.
  Fail fail(H exc) {
    Fail f;
    if (error_)
      f.dropped = std::move(exc);
    else
      error_ = std::move(exc);
    f.transport = close_out();
    return f;
  }
  H close_now() { return close_out(); }

  struct Closed {
    H transport, watcher_done, writer;
    bool idle = false;  // no exchange held the slot
  };
  // close(): the slot stays, so close() can await its event and then join.
  Closed mark_closed() {
    Closed c;
    c.transport = close_out();
    c.watcher_done = watcher_done();
    c.writer = take_writer();
    c.idle = !busy_;
    return c;
  }
  // A protocol switch hands the transport over; it is never returned again.
  H upgrade() {
    H t = close_out();
    upgraded_ = true;
    return t;
  }
  H transport_ref() const { return closed_ ? H() : share(transport_); }

  // ---- garbage collection ----
  template <class F>
  void visit(F&& f) const {
    f(transport_);
    f(error_);
    f(writer_);
    watcher_.visit(f);
  }
  // Moves every stored handle out (the slot goes), for the collector's clear.
  template <class Out>
  void clear(Out& out) {
    out.push_back(std::move(transport_));
    out.push_back(std::move(error_));
    out.push_back(std::move(writer_));
    watcher_.clear(out);
  }

 private:
  static H share(const H& h) { return h ? P::share(h) : H(); }
  // Every closing transition: closed, and the transport moved out (an
  // upgraded connection has none left to give).
  H close_out() {
    closed_ = true;
    return std::exchange(transport_, H());
  }

  CodecRef codec_;
  H transport_;
  H error_;
  H writer_;
  Watcher<P> watcher_;
  bool closed_ = false;
  bool upgraded_ = false;
  bool busy_ = false;
  bool exchange_active_ = false;
  bool peer_http10_ = false;
  bool writer_finished_ = false;
};

}  // namespace velmora::h1
