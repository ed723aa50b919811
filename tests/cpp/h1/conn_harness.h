// A handle policy for driving the connection states without Python: handles
// are shared pointers to small named objects, and every handle that dies
// while a test holds a state's lock is counted, so a transition that drops an
// object under its lock fails the test.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "proto/h1/body_decoder.h"
#include "proto/h1/codec.h"
#include "proto/h1/conn.h"
#include "proto/sync.h"

namespace velmora::h1::testing {

struct Obj {
  std::string name;
  std::string bytes;  // for objects that stand for received bytes
  std::shared_ptr<Guarded<BodyDecoder>> decoder;
};

inline thread_local bool tl_locked = false;
inline std::atomic<int> g_dropped_under_lock{0};

class TH {
 public:
  TH() = default;
  explicit TH(std::shared_ptr<Obj> p) : p_(std::move(p)) {}
  TH(TH&& o) noexcept : p_(std::move(o.p_)) {}
  TH& operator=(TH&& o) noexcept {
    note_drop();
    p_ = std::move(o.p_);
    return *this;
  }
  ~TH() { note_drop(); }
  explicit operator bool() const noexcept { return bool(p_); }
  Obj* operator->() const noexcept { return p_.get(); }
  const std::shared_ptr<Obj>& ptr() const noexcept { return p_; }
  bool is(const TH& o) const noexcept { return p_ && p_ == o.p_; }
  std::string name() const { return p_ ? p_->name : "none"; }

 private:
  void note_drop() noexcept {
    if (p_ && tl_locked) ++g_dropped_under_lock;
  }
  std::shared_ptr<Obj> p_;
};

inline TH obj(std::string name) { return TH(std::make_shared<Obj>(Obj{std::move(name), {}, {}})); }
inline Received<TH> bytes(std::string b) {
  TH h(std::make_shared<Obj>(Obj{"bytes", std::move(b), {}}));
  std::string_view v = h->bytes;
  return {std::move(h), v};
}
inline TH decoder_obj() {
  auto d = std::make_shared<Guarded<BodyDecoder>>(BodyDecoder(BodyFraming::length, 0));
  return TH(std::make_shared<Obj>(Obj{"decoder", {}, std::move(d)}));
}

struct TestPolicy {
  using Handle = TH;
  using CodecRef = Guarded<Codec>*;
  static TH share(const TH& h) { return TH(h.ptr()); }
  template <class F>
  static decltype(auto) with_codec(Guarded<Codec>* c, F&& f) {
    return c->with(std::forward<F>(f));
  }
  static void install_decoder(const TH& d, BodyDecoder&& core) {
    d->decoder->with([&](BodyDecoder& x) { x = std::move(core); });
  }
  static void take_leftover(const TH& d, std::string& out) {
    d->decoder->with([&](BodyDecoder& x) {
      if (x.is_complete()) x.drain_input([&](std::string_view s) { out.append(s); });
    });
  }
};

// A state behind its lock, the way the binding keeps it: every call is one
// acquisition, and results are dropped after unlocking.
template <class S>
class Locked {
 public:
  template <class... A>
  explicit Locked(A&&... a) : s_(std::forward<A>(a)...) {}
  template <class F>
  decltype(auto) operator()(F&& f) {
    std::lock_guard<std::mutex> g(mu_);
    tl_locked = true;
    struct Reset {
      ~Reset() { tl_locked = false; }
    } reset;
    return f(s_);
  }

 private:
  std::mutex mu_;
  S s_;
};

// Feeds `data` into a decoder object and reads its body to the end; returns the body.
inline std::string read_body(const TH& d, std::string_view data = {}) {
  std::string body;
  d->decoder->with([&](BodyDecoder& x) {
    if (!data.empty()) x.feed(data);
    for (;;) {
      Result<BodyDecoder::Decoded> r = x.decode();
      if (!r || r->progress != BodyDecoder::Progress::data) break;
      body += r->data.str();
    }
  });
  return body;
}

}  // namespace velmora::h1::testing
