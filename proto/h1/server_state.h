// The connection state and current-request state of one HTTP/1 server
// connection.
//
// Request side: where the serve loop stands before the next request
// (begin_read, drain_done), accepting a head (accept_head), the head-read
// deadline, graceful shutdown and the closing transitions. Response side:
// the 100 Continue claim, the body reader's ownership of the transport read,
// the one-step response head, the end of the response (reuse, close or
// protocol switch), detach, and the mid-message watcher (a read parked while
// the response is written, so that a client that goes away is noticed).
//
// Every per-request method takes the `seq` accept_head gave the request; 0
// or a seq that is not the current one is stale and changes nothing.
//
// Every method is one transition; the owner runs it under the state's lock
// (see conn.h for the handle policy `P` and the lock orders). Handles the
// state lets go of come back in the results and must be dropped by the caller
// after unlocking.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "proto/h1/codec.h"
#include "proto/h1/conn.h"

namespace velmora::h1 {

using MonoClock = std::chrono::steady_clock;

template <class P>
class ServerState {
 public:
  using H = typename P::Handle;
  using CodecRef = typename P::CodecRef;

  ServerState(CodecRef codec, H transport, bool keep_alive, bool half_close)
      : codec_(std::move(codec)), transport_(std::move(transport)), half_close_(half_close),
        keep_alive_enabled_(keep_alive) {}

  // ---- getters ----
  bool closed() const noexcept { return closed_; }
  bool reusable() const noexcept { return reusable_; }
  bool upgraded() const noexcept { return upgraded_; }
  bool half_close() const noexcept { return half_close_; }
  bool keep_alive_enabled() const noexcept { return keep_alive_enabled_; }
  bool shutdown_requested() const noexcept { return shutdown_requested_; }
  uint64_t current_seq() const noexcept { return current_seq_; }
  bool has_watcher() const noexcept { return watcher_.exists(); }
  bool watcher_parked() const noexcept { return watcher_.parked(); }
  bool responded() const noexcept { return req_.responded; }
  bool response_done() const noexcept { return req_.response_done; }
  H current_decoder() const { return share(decoder_); }
  H transport_ref() const { return closed_ ? H() : share(transport_); }

  // ---- request side ----

  struct Read {
    ReadCode code = ReadCode::next_none;
    H obj;      // next_close: the transport to close; read_transport: the transport
                // to read from; read_watcher: the watcher's event
    H dropped;  // the previous request's decoder
  };

  // The serve loop's entry before reading the next request.
  Read begin_read(MonoClock::time_point now) {
    if (closed_ || !reusable_) return {};
    if (current_seq_ != 0 && !req_.response_done) return {ReadCode::next_raise, H(), H()};
    if (current_seq_ != 0 && !req_.body_done) {
      if (req_.read_owned) return {ReadCode::next_close, closing(), H()};
      req_.read_owned = true;
      return {ReadCode::next_drain, H(), H()};
    }
    return ready(now);
  }

  // The drain's outcome: `complete` when the body reached its end.
  Read drain_done(bool complete, MonoClock::time_point now) {
    req_.read_owned = false;
    if (!complete) return {ReadCode::next_close, closing(), H()};
    return ready(now);
  }

  enum class Accept : uint8_t { none, head };
  struct Accepted {
    // none: closed, or the head is incomplete. Errors: the codec's
    // receive_request_head's (the codec keeps the automatic status).
    Result<Accept> status = Accept::none;
    RequestHead head;
    uint64_t seq = 0;
    H decoder;  // head: the request's decoder
    H dropped;  // the previous decoder, or the unused fresh one
  };
  // Parses a request head from `data` (empty: what is buffered). On a
  // complete head the request becomes current: `fresh` (an empty decoder
  // object nobody else holds yet) receives the body decoder, already fed
  // with the bytes that came with the head.
  Accepted accept_head(std::string_view data, H fresh) {
    Accepted a;
    idle_read_parked_ = false;
    if (closed_) {
      a.dropped = std::move(fresh);
      return a;
    }
    std::optional<BodyDecoder> body;
    Result<HeadProgress> st = P::with_codec(codec_, [&](Codec& c) {
      Result<HeadProgress> s = c.receive_request_head(data, a.head);
      if (s && *s == HeadProgress::complete) body.emplace(c.start_request_body(a.head));
      return s;
    });
    if (!st) {
      a.status = std::unexpected(std::move(st.error()));
      a.dropped = std::move(fresh);
      return a;
    }
    if (*st != HeadProgress::complete) {
      a.status = Accept::none;
      a.dropped = std::move(fresh);
      return a;
    }
    P::install_decoder(fresh, std::move(*body));
    head_read_started_.reset();
    a.seq = next_seq_++;
    current_seq_ = a.seq;
    a.dropped = std::exchange(decoder_, std::move(fresh));
    a.decoder = share(decoder_);
    const RequestHead& h = a.head;
    req_ = Request{};
    req_.expect_continue = h.expect_continue;
    req_.http10 = h.http10;
    req_.keep_alive = h.keep_alive;
    req_.is_upgrade = h.upgrade;
    req_.is_connect = h.method == Method::connect;
    req_.may_switch = req_.is_upgrade || req_.is_connect;
    req_.response_done = false;
    req_.body_done = body->is_complete();
    a.status = Accept::head;
    return a;
  }

  // The idle read ended without bytes to parse; true when the connection
  // was closed under it (its result belongs to a dropped request).
  bool unpark_idle_read() noexcept {
    idle_read_parked_ = false;
    return closed_;
  }

  struct Overdue {
    bool expired = false;
    std::optional<double> remaining;  // seconds left, while a head read runs
    H transport;                      // expired: closed now, drop it
  };
  // The head-read watchdog's step: the connection closes here when the head
  // read has taken `timeout` seconds or more.
  Overdue head_read_overdue(double timeout, MonoClock::time_point now) {
    if (closed_ || !head_read_started_) return {};
    double elapsed = std::chrono::duration<double>(now - *head_read_started_).count();
    if (elapsed < 0) elapsed = 0;  // `now` was read before another thread started the clock
    if (elapsed < timeout) return {false, timeout - elapsed, H()};
    head_read_started_.reset();
    return {true, std::nullopt, closing()};
  }

  // A head parse failed or the transport broke at the request boundary.
  H fail_read() { return closing(); }
  // A clean EOF between requests; the transport stays for close().
  void stop_serving() noexcept {
    closed_ = true;
    reusable_ = false;
  }

  struct Closed {
    H transport, watcher_done;
    bool ended = false;  // the connection had already ended before this call
  };
  Closed mark_closed() {
    Closed c;
    c.ended = closed_;
    c.transport = closing();
    c.watcher_done = watcher_.done();
    return c;
  }
  // No further request on this connection: the response head claimed after
  // this carries `Connection: close`, and the response's end closes.
  void mark_unusable() noexcept { reusable_ = false; }

  // Graceful shutdown: no further request. A parked idle read is ended by
  // closing now (the transport comes back to be shut down).
  H request_shutdown() {
    reusable_ = false;
    shutdown_requested_ = true;
    if (idle_read_parked_) return closing();
    return H();
  }

  // ---- response side ----

  // Claims the 100 Continue for the current request.
  bool try_send_continue(uint64_t seq) noexcept {
    if (!current(seq) || !req_.expect_continue || req_.continue_claimed || req_.responded || req_.http10)
      return false;
    req_.continue_claimed = true;
    return true;
  }

  // The body reader is about to pull from the transport (it becomes the one
  // reader); false when stale, the body ended, or a drain owns the read.
  bool begin_body_read(uint64_t seq) noexcept {
    if (!current(seq) || req_.body_done || req_.read_owned) return false;
    req_.read_owned = true;
    return true;
  }
  void end_body_read(uint64_t seq, bool complete) noexcept {
    if (!current(seq)) return;
    req_.read_owned = false;
    if (complete) req_.body_done = true;
  }

  // peer_closed(): false when stale; none while the window is open; then
  // whether the client closed its side mid-message.
  std::optional<bool> peer_closed_now(uint64_t seq) const noexcept {
    if (!current(seq)) return false;
    if (!req_.response_done) return std::nullopt;
    return req_.peer_closed;
  }
  bool peer_closed_flag(uint64_t seq) const noexcept { return current(seq) && req_.peer_closed; }

  struct Arm {
    bool armed = false;
    H unused;  // `done` when not armed
  };
  Arm arm_watcher(uint64_t seq, H done, bool want, bool head_negotiated) {
    if (!current(seq)) return {false, std::move(done)};
    if (want) req_.want = true;
    if (head_negotiated) req_.negotiated = true;
    return arm(std::move(done));
  }

  // Stores the watcher's task handle; refused (handed back) when closed,
  // without a slot, or when one is stored.
  H store_watcher_handle(H handle) { return watcher_.store_handle(std::move(handle), closed_); }

  struct Watched {
    bool peer_gone = false;  // the client went away mid-message
    H dropped_data, dropped_error;
  };
  // The watcher's read completed: `data` (none: no transport; empty: EOF)
  // and/or `error`. The slot keeps them (bytes sent early belong to the
  // next head or to a tunnel).
  Watched watcher_completed(Received<H> data, H error) {
    Watched w;
    if (!watcher_.exists()) {
      w.dropped_data = std::move(data.obj);
      w.dropped_error = std::move(error);
      return w;
    }
    const bool gone = !data.obj || data.bytes.empty() || error;
    auto old = watcher_.keep(std::move(data), std::move(error));
    w.dropped_data = std::move(old.data);
    w.dropped_error = std::move(old.error);
    if (gone && !req_.response_done && !req_.peer_closed) {
      reusable_ = false;
      req_.peer_closed = true;
      w.peer_gone = true;
    }
    return w;
  }
  void watcher_aborted() noexcept { watcher_.complete(); }
  H watcher_done() const { return watcher_.done(); }
  H take_watcher_handle() { return watcher_.take_handle(); }

  using Taken = typename Watcher<P>::Taken;
  // A completed read's data and error; the slot goes unless a handle is
  // still stored. A read in flight gives nothing and keeps its slot
  // (removing it would lose what the read returns).
  Taken take_watcher_result() { return watcher_.take_result(); }

  // The response is complete or failed: true when this call ended the
  // mid-message window.
  bool close_window(uint64_t seq) noexcept {
    if (!current(seq) || req_.response_done) return false;
    req_.response_done = true;
    return true;
  }

  struct HeadArgs {
    uint16_t status = 200;
    http::HeaderMap headers;
    BodyLength length;
    bool want = false;
  };
  struct Respond {
    ReqCode code = ReqCode::stale;
    // code ok: the head to write after unlocking (write_response(res, plan)),
    // or the encoder's refusal (the claim stands).
    Result<EncodedResponse> head;
    bool armed = false;
    H transport;  // none when closed
    H unused;     // `done` when it was not used
  };
  // respond()/send_response(): claim, verdicts, encoding, the head-time
  // decisions and the watcher arm decision, in one transition.
  Respond respond_head(uint64_t seq, HeadArgs args, H done) {
    Respond r;
    if (!current(seq)) {
      r.unused = std::move(done);
      return r;
    }
    if (req_.head_pending) {
      req_.head_pending = false;  // the claim stands; only the verdict is read again
    } else if (req_.responded) {
      r.code = ReqCode::already;
      r.unused = std::move(done);
      return r;
    } else {
      req_.responded = true;
      if (req_.continue_claimed) {
        req_.head_pending = true;
        r.code = ReqCode::continue_wait;
        r.unused = std::move(done);
        return r;
      }
    }
    if (req_.peer_closed) {
      r.code = ReqCode::peer_closed;
      r.unused = std::move(done);
      return r;
    }
    // A connection already known not to be reused (mark_unusable, a shutdown)
    // says so in the head.
    const bool keep_alive = keep_alive_enabled_ && req_.keep_alive && !shutdown_requested_ && reusable_;
    const uint16_t st = args.status;
    const bool do_switch = (st == 101 && req_.is_upgrade) || (st >= 200 && st <= 299 && req_.is_connect);
    bool reuse = false;
    P::with_codec(codec_, [&](Codec& c) {
      r.head = c.encode_response(st, std::move(args.headers), keep_alive, req_.http10, args.length);
      reuse = !c.response_is_last() && !c.response_close_delimited();
    });
    r.code = ReqCode::ok;
    if (!r.head) {
      r.unused = std::move(done);  // an encoder refusal: nothing to write, the claim stands
      return r;
    }
    req_.switch_ = do_switch;
    req_.reuse = reuse;
    req_.negotiated = true;
    if (args.want) req_.want = true;
    Arm a = arm(std::move(done));
    r.armed = a.armed;
    r.unused = std::move(a.unused);
    r.transport = transport_ref();
    return r;
  }

  struct Finished {
    bool switched = false;
    bool close = false;
    H transport;
    std::optional<std::string> leftover;  // switched: every byte read past the request
    H dropped;  // a watcher read whose bytes went into `leftover`
  };
  // The response is fully on the wire: apply the head-time decision. A
  // response the codec did not frame to its end (no head, a chunked body
  // without its last chunk, a length body short of its count) closes the
  // connection whatever the driver believes: the client would read the next
  // response as the rest of this one.
  Finished finish_response(uint64_t seq) {
    Finished f;
    if (!current(seq)) return f;
    req_.response_done = true;
    if (req_.switch_) {
      f.switched = true;
      f.leftover = hand_off_bytes(f.dropped);
      f.transport = closing();
      upgraded_ = true;
      return f;
    }
    if (reusable_) reusable_ = req_.reuse && P::with_codec(codec_, [](Codec& c) { return c.message_complete(); });
    if (reusable_) return f;
    f.close = true;
    f.transport = closing();
    return f;
  }

  // A failed response poisons the connection.
  H fail_response(uint64_t seq) {
    if (!current(seq)) return H();
    req_.response_done = true;
    return closing();
  }

  struct Detached {
    ReqCode code = ReqCode::stale;
    H transport;
    std::optional<std::string> leftover;
    H dropped;  // a watcher read whose bytes went into `leftover`
  };
  // Takes over the raw connection without a response.
  Detached detach(uint64_t seq) {
    Detached d;
    if (!current(seq)) return d;
    if (req_.responded) {
      d.code = ReqCode::already;
      return d;
    }
    if (watcher_.parked()) {
      d.code = ReqCode::parked;
      return d;
    }
    req_.responded = true;
    req_.response_done = true;
    d.leftover = hand_off_bytes(d.dropped);
    d.transport = closing();
    upgraded_ = true;
    d.code = ReqCode::ok;
    return d;
  }

  // ---- garbage collection ----
  template <class F>
  void visit(F&& f) const {
    f(transport_);
    f(decoder_);
    watcher_.visit(f);
  }
  template <class Out>
  void clear(Out& out) {
    out.push_back(std::move(transport_));
    out.push_back(std::move(decoder_));
    watcher_.clear(out);
  }

 private:
  // Current-request fields, reset when a head is accepted.
  struct Request {
    bool expect_continue = false;
    bool http10 = false;
    bool keep_alive = false;
    bool is_upgrade = false;
    bool is_connect = false;
    bool may_switch = false;
    bool responded = false;
    bool head_pending = false;
    bool response_done = true;  // no request yet: nothing in flight
    bool body_done = true;
    bool read_owned = false;
    bool continue_claimed = false;
    bool peer_closed = false;
    bool want = false;
    bool switch_ = false;
    bool reuse = false;
    bool negotiated = false;
  };

  static H share(const H& h) { return h ? P::share(h) : H(); }
  bool current(uint64_t seq) const noexcept { return seq != 0 && seq == current_seq_; }

  // Every closing transition: closed, not reusable, the transport moved out
  // (none once handed off).
  H closing() {
    closed_ = true;
    reusable_ = false;
    return std::exchange(transport_, H());
  }

  // Bytes the decoder holds past its body, back in front of the codec's
  // buffer. Decoder and codec locks are taken one after the other.
  void return_leftover() {
    if (!decoder_) return;
    std::string rest;
    P::take_leftover(decoder_, rest);
    if (!rest.empty()) P::with_codec(codec_, [&](Codec& c) { c.unread(rest); });
  }

  // Everything read past the request, in wire order, for whoever takes the
  // raw connection: the decoder's leftover, the codec's buffer, then what a
  // completed watcher read (its bytes object is moved to `dropped`).
  std::string hand_off_bytes(H& dropped) {
    return_leftover();
    const std::string_view more = watcher_.kept_bytes();
    std::string out = P::with_codec(codec_, [&](Codec& c) {
      c.feed(more);
      return c.take_body();
    });
    dropped = watcher_.take_data();
    return out;
  }

  // The "ready" steps: positioned at the next head.
  Read ready(MonoClock::time_point now) {
    Read r;
    return_leftover();
    const size_t buffered = P::with_codec(codec_, [](Codec& c) {
      c.reset();
      return c.buffered();
    });
    r.dropped = std::move(decoder_);
    req_.response_done = true;
    req_.body_done = true;
    if (buffered) {
      r.code = ReadCode::read_parse;
      start_clock(now);
    } else if (shutdown_requested_) {
      r.code = ReadCode::read_shutdown;
    } else if (!watcher_.exists()) {
      if (!transport_) {
        r.code = ReadCode::read_eof;
      } else {
        r.code = ReadCode::read_transport;
        r.obj = share(transport_);
        idle_read_parked_ = true;
        start_clock(now);
      }
    } else {
      r.code = ReadCode::read_watcher;
      r.obj = watcher_.done();
      idle_read_parked_ = true;
      start_clock(now);
    }
    return r;
  }

  void start_clock(MonoClock::time_point now) {
    if (!head_read_started_) head_read_started_ = now;
  }

  // The arm decision with the caller's event.
  Arm arm(H done) {
    if (!req_.want || half_close_ || closed_ || !transport_ || watcher_.exists() || !req_.body_done ||
        req_.response_done || (req_.may_switch && (!req_.negotiated || req_.switch_)))
      return {false, std::move(done)};
    // Bytes already read past the request belong to the next head: with any
    // at hand there is nothing to watch for.
    if (P::with_codec(codec_, [](Codec& c) { return c.buffered(); }) != 0) return {false, std::move(done)};
    std::string rest;
    if (decoder_) P::take_leftover(decoder_, rest);
    if (!rest.empty()) {
      P::with_codec(codec_, [&](Codec& c) { c.unread(rest); });
      return {false, std::move(done)};
    }
    watcher_.arm(std::move(done));
    return {true, H()};
  }

  CodecRef codec_;
  H transport_;
  H decoder_;
  Watcher<P> watcher_;
  std::optional<MonoClock::time_point> head_read_started_;
  uint64_t next_seq_ = 1;
  uint64_t current_seq_ = 0;
  bool closed_ = false;
  bool reusable_ = true;
  bool upgraded_ = false;
  bool half_close_;
  bool keep_alive_enabled_;
  bool shutdown_requested_ = false;
  bool idle_read_parked_ = false;
  Request req_;
};

}  // namespace velmora::h1
