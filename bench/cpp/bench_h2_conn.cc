// The HTTP/2 connection core against nghttp2's session, client and server in
// one process and one thread, bytes exchanged in memory.
//
// Ours: two ConnCores, each driven as the binding drives it (the state lock
// around every step, the decoder lock around receive), every received event
// through the one dispatch (ConnCore::apply), the pending buffer taken,
// "written" and credited. nghttp2's: a client and a server session fed with
// nghttp2_session_mem_recv2 and drained with nghttp2_session_mem_send2, with
// the callbacks a real server and client have: fields kept per stream (the
// decoder's reference-counted buffers, as nghttpd keeps them), DATA copied
// into the application's buffer and the window released as consumed
// (nghttp2_session_consume), bodies from a data provider. Both applications
// take their per-stream objects from a pool and reuse their buffers, so what
// allocates is the library.
//
// Both sides send the same heads (a browser-like request of 15 fields, a
// response of 8), the same bodies and the same SETTINGS; each stream's head
// and body are checked when it completes and each round's totals at its end.
//
//   Conn/1  100 concurrent GETs, 1 KiB response bodies   (requests/s)
//   Conn/2  100 concurrent GETs, 204 without a body       (requests/s)
//   Conn/3  16 streams, 1 MiB each way, 64 KiB windows    (bytes/s, WINDOW_UPDATEs)
//   Conn/4  sequential GETs on one connection, 1 KiB      (requests/s, allocations)
//
// Counters: `allocs/req`, the library's allocations per request in the timed
// rounds (ours: the decoder's `dec` (header maps, which the application
// hands back when it is done with a head) and the connection state's
// `state`, both of which must stay 0); `wu/round`, the
// WINDOW_UPDATE frames both sides received per round.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bench/cpp/interleaved.h"
#include "proto/h2/conn_core.h"

#ifdef VELMORA_HAVE_NGHTTP2
#include <nghttp2/nghttp2.h>
#endif
#ifdef VELMORA_MIMALLOC
#include <mimalloc.h>
#endif

// ---- allocation counting --------------------------------------------------------
// This program brings its own operator new (on mimalloc, as the module's) and
// gives nghttp2 the same allocator, so both are counted and neither pays for
// a different heap.
namespace {

enum Who : int { kApp, kOursDecode, kOursState, kNghttp2, kWhoCount };
long g_allocs[kWhoCount];
int g_who = kApp;

struct As {
  explicit As(Who w) noexcept : saved(g_who) { g_who = w; }
  ~As() { g_who = saved; }
  int saved;
};

inline void* raw_alloc(std::size_t n) noexcept {
#ifdef VELMORA_MIMALLOC
  return mi_malloc(n ? n : 1);
#else
  return std::malloc(n ? n : 1);
#endif
}
inline void raw_free(void* p) noexcept {
#ifdef VELMORA_MIMALLOC
  mi_free(p);
#else
  std::free(p);
#endif
}
inline void* counted(std::size_t n) {
  ++g_allocs[g_who];
  if (void* p = raw_alloc(n)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t n) { return counted(n); }
void* operator new[](std::size_t n) { return counted(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  ++g_allocs[g_who];
  return raw_alloc(n);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  ++g_allocs[g_who];
  return raw_alloc(n);
}
void operator delete(void* p) noexcept { raw_free(p); }
void operator delete[](void* p) noexcept { raw_free(p); }
void operator delete(void* p, std::size_t) noexcept { raw_free(p); }
void operator delete[](void* p, std::size_t) noexcept { raw_free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { raw_free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { raw_free(p); }

using namespace velmora;
using namespace velmora::h2;

namespace {

// ---- what both sides send -----------------------------------------------------

constexpr std::string_view kMethod = "GET", kScheme = "https", kAuthority = "www.example-shop.com",
                           kPath = "/static/js/app.bundle.min.js?v=20240611&lang=en-US";

const std::pair<std::string_view, std::string_view> kRequestFields[] = {
    {"sec-ch-ua", "\"Chromium\";v=\"124\", \"Google Chrome\";v=\"124\", \"Not-A.Brand\";v=\"99\""},
    {"sec-ch-ua-mobile", "?0"},
    {"user-agent", "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 Chrome/124.0.0.0 Safari/537.36"},
    {"sec-ch-ua-platform", "\"Linux\""},
    {"accept", "*/*"},
    {"sec-fetch-site", "same-origin"},
    {"sec-fetch-mode", "no-cors"},
    {"sec-fetch-dest", "script"},
    {"referer", "https://www.example-shop.com/products/shoes"},
    {"accept-encoding", "gzip, deflate, br, zstd"},
    {"cookie", "session=8f2a9c1e7b; theme=dark"},
};
// With :status, 8 fields each; a 204 has no content-length.
const std::pair<std::string_view, std::string_view> kResponseFields[] = {
    {"date", "Tue, 11 Jun 2024 10:00:00 GMT"},
    {"content-type", "application/javascript; charset=utf-8"},
    {"cache-control", "public, max-age=31536000, immutable"},
    {"etag", "\"5f3a-18e2b1c4d20\""},
    {"vary", "Accept-Encoding"},
    {"server", "velmora-bench"},
};
constexpr size_t kRequestFieldCount = 4 + std::size(kRequestFields);
constexpr size_t kResponseFieldCount = 1 + std::size(kResponseFields) + 1;

constexpr uint32_t kStreamWindow = 65536;
constexpr uint32_t kConnWindow = 16u << 20;
constexpr uint32_t kMaxFrame = 16384;
constexpr uint32_t kMaxHeaderList = 65536;
constexpr uint32_t kMaxConcurrent = 100;
constexpr uint64_t kMaxBatchData = 64u << 10;

struct Scenario {
  int streams;       // opened at once per round
  size_t req_body;   // request body octets (POST when > 0)
  size_t resp_body;  // response body octets (204 when 0)
};
constexpr Scenario kScenarios[] = {
    {},
    {100, 0, 1024},
    {100, 0, 0},
    {16, 1u << 20, 1u << 20},
    {1, 0, 1024},
};

const std::string& body_bytes() {
  static const std::string b = [] {
    std::string s(1u << 20, '\0');
    for (size_t i = 0; i < s.size(); ++i) s[i] = char(i * 131 + 7);
    return s;
  }();
  return b;
}

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

// One stream as the application sees it, on either side.
struct AppStream {
  uint32_t sid = 0;
  size_t fields = 0;  // fields of the received head
  std::string body;   // received body
  size_t body_len = 0;  // octets to send
  uint64_t offset = 0;  // of them sent
  bool sending = false, ready = false;
  h2::HeaderList head;  // ours: the received head
#ifdef VELMORA_HAVE_NGHTTP2
  std::vector<std::pair<nghttp2_rcbuf*, nghttp2_rcbuf*>> rc;  // nghttp2's: the received fields
#endif
};

class Pool {
 public:
  AppStream* get() {
    if (free_.empty()) {
      all_.push_back(std::make_unique<AppStream>());
      return all_.back().get();
    }
    AppStream* s = free_.back();
    free_.pop_back();
    return s;
  }
  void put(AppStream* s) {
    s->sid = 0;
    s->fields = 0;
    s->body.clear();
    s->body_len = s->offset = 0;
    s->sending = s->ready = false;
    free_.push_back(s);
  }
  void reserve(size_t n) {
    while (all_.size() < n) free_.push_back(all_.emplace_back(std::make_unique<AppStream>()).get());
  }

 private:
  std::vector<std::unique_ptr<AppStream>> all_;
  std::vector<AppStream*> free_;
};

// What each round must deliver; checked at its end.
struct Tally {
  uint64_t completed = 0, fields = 0, bytes = 0, window_updates = 0;

  // A stream's message arrived whole: its body must be the one sent.
  void add(const AppStream& s, size_t body_len) {
    completed += 1;
    fields += s.fields;
    bytes += s.body.size();
    if (s.body.size() != body_len || std::memcmp(s.body.data(), body_bytes().data(), s.body.size()) != 0)
      fail("a body arrived damaged");
  }
};

void check_round(const Tally& client, const Tally& server, const Scenario& sc) {
  const uint64_t n = uint64_t(sc.streams);
  if (client.completed != n || client.fields != n * kResponseFieldCount ||
      client.bytes != n * sc.resp_body || server.completed != n || server.fields != n * kRequestFieldCount ||
      server.bytes != n * sc.req_body)
    fail("a round delivered other heads or bodies than were sent");
}

// ---- ours -----------------------------------------------------------------------

struct NullSink final : HandleSink {
  void drop(Handle) noexcept override {}
};

template <class T>
T must(Result<T>&& r) {
  if (!r) fail(r.error().message());
  return std::move(*r);
}
inline void must(Result<void>&& r) {
  if (!r) fail(r.error().message());
}

struct Ours {
  Ours(bool is_server, const Scenario& sc)
      : core(config(is_server ? Role::server : Role::client)), sc(sc), server(is_server) {
    recv.expect_preface(server);
    recv.set_role(server ? Role::server : Role::client);
    if (server) {
      OutHead h;
      must(build_response_head(sc.resp_body ? 200 : 204, h));
      resp_head = h;
      for (auto [n, v] : kResponseFields) (void)resp_fields.append(n, v);
      if (sc.resp_body) (void)resp_fields.append("content-length", std::to_string(sc.resp_body));
      else (void)resp_fields.append("last-modified", "Mon, 10 Jun 2024 08:00:00 GMT");
    } else {
      must(build_request_head(sc.req_body ? "POST" : kMethod, kPath, &kScheme, &kAuthority, req_head));
      for (auto [n, v] : kRequestFields) (void)req_fields.append(n, v);
    }
    pool.reserve(size_t(sc.streams) + 2);
    wake.reserve(256);
    ready.reserve(256);
  }

  static ConnConfig config(Role role) {
    ConnConfig c;
    c.role = role;
    c.initial_window_size = kStreamWindow;
    c.connection_window = kConnWindow;
    c.max_frame_size = kMaxFrame;
    c.max_header_list_size = kMaxHeaderList;
    c.auto_date_header = false;
    // Batches the write pump takes while they are still in the cache, as
    // nghttp2 hands out one frame at a time from a buffer that stays hot.
    c.max_batch_data = kMaxBatchData;
    if (role == Role::server) c.max_concurrent_streams = kMaxConcurrent;
    else c.enable_push = false;
    return c;
  }

  std::mutex mu;  // the state lock
  ConnCore core;
  std::mutex decoder_mu;
  Receiver recv;
  NullSink sink;
  RecvBatch batch;
  std::vector<Handle> wake;
  std::vector<Aborted> aborted;
  std::string scratch;
  Handle spare = nullptr;
  const Scenario sc;
  const bool server;
  OutHead req_head, resp_head;
  http::HeaderMap req_fields, resp_fields;
  Pool pool;
  std::vector<AppStream*> ready;
  Tally tally;

  void start() {
    std::lock_guard<std::mutex> s(mu);
    As as(kOursState);
    auto change = must(core.begin());
    if (change.max_frame_size) {
      std::lock_guard<std::mutex> d(decoder_mu);
      recv.set_max_frame_size(*change.max_frame_size);
    }
  }

  void make_ready(Handle h) {
    auto* s = static_cast<AppStream*>(h);
    if (s && s->sending && !s->ready) {
      s->ready = true;
      ready.push_back(s);
    }
  }

  // One body writer's turn: DATA frames until it is done or must wait.
  void drive(AppStream* s) {
    const std::string_view body(body_bytes().data(), s->body_len);
    for (;;) {
      SendVerdict v;
      Handle next = nullptr;
      {
        std::lock_guard<std::mutex> g(mu);
        As as(kOursState);
        v = must(core.send_data(s->sid, body, s->offset, true, sink));
        if (v.flags & kFlagCapacity) next = core.next_capacity_wake();
      }
      s->offset += v.sent;
      if (next) make_ready(next);
      if (v.stopped) fail("a stream stopped");
      if (v.done) {
        s->sending = false;
        if (server) pool.put(s);
        return;
      }
      if (v.sent == 0) return;  // woken by a window, a credit or its turn
    }
  }

  void run_ready() {
    while (!ready.empty()) {
      AppStream* s = ready.back();
      ready.pop_back();
      s->ready = false;
      if (s->sending) drive(s);
    }
  }

  void open(int n) {
    for (int i = 0; i < n; ++i) {
      AppStream* s = pool.get();
      std::optional<uint32_t> sid;
      {
        std::lock_guard<std::mutex> g(mu);
        As as(kOursState);
        if (!core.state.try_claim_slot()) fail("no slot");
        sid = must(core.open_stream(req_head, nullptr, &req_fields, sc.req_body == 0, false, s));
      }
      if (!sid) fail("open refused");
      s->sid = *sid;
      if (sc.req_body) {
        s->body_len = sc.req_body;
        s->sending = true;
        make_ready(s);
      }
    }
  }

  void respond(AppStream* s) {
    SendVerdict v;
    {
      std::lock_guard<std::mutex> g(mu);
      As as(kOursState);
      core.state.accepted(s->sid);
      v = must(core.send_response_head(s->sid, resp_head, nullptr, &resp_fields, {}, sc.resp_body == 0, sink));
    }
    if (sc.resp_body == 0) {
      pool.put(s);
      return;
    }
    s->body_len = sc.resp_body;
    s->sending = true;
    drive(s);
  }

  void complete(AppStream* s) {
    tally.add(*s, server ? sc.req_body : sc.resp_body);
    {
      // Done with the head: its map's storage goes back to the decoder, as
      // nghttp2's application releases its field buffers.
      std::lock_guard<std::mutex> d(decoder_mu);
      As as(kOursDecode);
      recv.recycle(std::move(s->head.fields));
    }
    if (server)
      respond(s);
    else
      pool.put(s);
  }

  // The body writers woken since, then the write pump: take, write, give
  // back, credit.
  void pump(std::string& wire) {
    run_ready();
    {
      std::lock_guard<std::mutex> g(mu);
      As as(kOursState);
      core.take_pending(scratch);
    }
    wire.append(scratch);
    {
      std::lock_guard<std::mutex> g(mu);
      As as(kOursState);
      core.give_back(scratch);
      wake.clear();
      core.credit_written(wake);
    }
    for (Handle h : wake) make_ready(h);
  }

  // The read pump: decode under the decoder lock, each event's step under
  // the state lock, then the application.
  void receive(std::string_view wire) {
    {
      std::lock_guard<std::mutex> d(decoder_mu);
      As as(kOursDecode);
      must(recv.receive(wire, batch));
    }
    for (Event& ev : batch.events) {
      if (server && !spare && std::holds_alternative<HeadersEvent>(ev)) spare = pool.get();
      EventVerdict r;
      {
        std::lock_guard<std::mutex> g(mu);
        As as(kOursState);
        wake.clear();
        r = must(core.apply(ev, spare, wake, aborted, sink));
        if (auto* st = std::get_if<SettingsVerdict>(&r); st && st->apply_to_decoder) {
          std::lock_guard<std::mutex> d(decoder_mu);
          apply_to_decoder(recv, *st->apply_to_decoder);
        }
      }
      for (Handle h : wake) make_ready(h);
      on_event(ev, r);
    }
    run_ready();
  }

  void on_event(Event& ev, const EventVerdict& r) {
    switch (r.index()) {
      case 0: {  // HEADERS
        const auto& v = std::get<HeadersVerdict>(r);
        if (v.kind != HeadersKind::opened && v.kind != HeadersKind::head) fail("unexpected HEADERS");
        auto* s = static_cast<AppStream*>(v.handle);
        auto& head = std::get<HeadersEvent>(ev).head;
        s->sid = v.stream_id;
        s->fields = head.fields.size() + (head.method ? 1 : 0) + (head.scheme ? 1 : 0) +
                    (head.authority ? 1 : 0) + (head.path ? 1 : 0) + (head.status ? 1 : 0);
        s->head = std::move(head);
        if (v.eof) complete(s);
        break;
      }
      case 1: {  // DATA
        const auto& v = std::get<DataVerdict>(r);
        if (!v.deliver) break;
        const auto& d = std::get<DataEvent>(ev);
        auto* s = static_cast<AppStream*>(v.handle);
        s->body.append(d.data);
        {
          std::lock_guard<std::mutex> g(mu);
          As as(kOursState);
          must(core.release_capacity(d.stream_id, uint32_t(d.data.size()), sink));
          if (v.budgeted) core.release_data_frame(d.stream_id, d.data.size(), sink);
        }
        if (v.eof) complete(s);
        break;
      }
      case 7:  // WINDOW_UPDATE
        tally.window_updates += 1;
        make_ready(std::get<WindowVerdict>(r).wake);
        break;
      case 3:
      case 6:
      case 8:
        fail("a reset or GOAWAY in a clean exchange");
      default:
        break;
    }
  }
};

// ---- nghttp2's ------------------------------------------------------------------

#ifdef VELMORA_HAVE_NGHTTP2
void* ng_malloc(size_t n, void*) {
  ++g_allocs[kNghttp2];
  return raw_alloc(n);
}
void ng_free(void* p, void*) {
  if (p) raw_free(p);
}
void* ng_calloc(size_t k, size_t n, void*) {
  ++g_allocs[kNghttp2];
#ifdef VELMORA_MIMALLOC
  return mi_calloc(k, n);
#else
  return std::calloc(k, n);
#endif
}
void* ng_realloc(void* p, size_t n, void*) {
  ++g_allocs[kNghttp2];
#ifdef VELMORA_MIMALLOC
  return mi_realloc(p, n);
#else
  return std::realloc(p, n);
#endif
}
nghttp2_mem g_ng_mem{nullptr, ng_malloc, ng_free, ng_calloc, ng_realloc};

nghttp2_nv nv(std::string_view n, std::string_view v) {
  return {(uint8_t*)n.data(), (uint8_t*)v.data(), n.size(), v.size(),
          NGHTTP2_NV_FLAG_NO_COPY_NAME | NGHTTP2_NV_FLAG_NO_COPY_VALUE};
}

struct Ng {
  Ng(bool server, const Scenario& sc) : sc(sc), server(server) {
    nghttp2_session_callbacks* cb;
    nghttp2_session_callbacks_new(&cb);
    nghttp2_session_callbacks_set_on_begin_headers_callback(cb, on_begin_headers);
    nghttp2_session_callbacks_set_on_header_callback2(cb, on_header);
    nghttp2_session_callbacks_set_on_frame_recv_callback(cb, on_frame_recv);
    nghttp2_session_callbacks_set_on_data_chunk_recv_callback(cb, on_data_chunk);
    nghttp2_session_callbacks_set_on_stream_close_callback(cb, on_stream_close);
    nghttp2_option* opt;
    nghttp2_option_new(&opt);
    nghttp2_option_set_no_auto_window_update(opt, 1);
    int rv = server ? nghttp2_session_server_new3(&session, cb, this, opt, &g_ng_mem)
                    : nghttp2_session_client_new3(&session, cb, this, opt, &g_ng_mem);
    nghttp2_option_del(opt);
    nghttp2_session_callbacks_del(cb);
    if (rv) fail("nghttp2 session");
    if (server) {
      response.push_back(nv(":status", sc.resp_body ? "200" : "204"));
      for (auto [n, v] : kResponseFields) response.push_back(nv(n, v));
      length = std::to_string(sc.resp_body);
      if (sc.resp_body) response.push_back(nv("content-length", length));
      else response.push_back(nv("last-modified", "Mon, 10 Jun 2024 08:00:00 GMT"));
    } else {
      request = {nv(":method", sc.req_body ? "POST" : kMethod), nv(":scheme", kScheme),
                 nv(":authority", kAuthority), nv(":path", kPath)};
      for (auto [n, v] : kRequestFields) request.push_back(nv(n, v));
    }
    pool.reserve(size_t(sc.streams) + 2);
  }
  ~Ng() { nghttp2_session_del(session); }

  nghttp2_session* session = nullptr;
  const Scenario sc;
  const bool server;
  std::vector<nghttp2_nv> request, response;
  std::string length;
  Pool pool;
  Tally tally;

  void start() {
    As as(kApp);
    std::vector<nghttp2_settings_entry> iv = {{NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, kStreamWindow},
                                              {NGHTTP2_SETTINGS_MAX_FRAME_SIZE, kMaxFrame},
                                              {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE, kMaxHeaderList}};
    if (server) iv.push_back({NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, kMaxConcurrent});
    else iv.push_back({NGHTTP2_SETTINGS_ENABLE_PUSH, 0});
    if (nghttp2_submit_settings(session, NGHTTP2_FLAG_NONE, iv.data(), iv.size()) ||
        nghttp2_session_set_local_window_size(session, NGHTTP2_FLAG_NONE, 0, int32_t(kConnWindow)))
      fail("nghttp2 settings");
  }

  static nghttp2_ssize read_body(nghttp2_session*, int32_t, uint8_t* buf, size_t length, uint32_t* flags,
                                 nghttp2_data_source* src, void*) {
    auto* s = static_cast<AppStream*>(src->ptr);
    size_t n = std::min(length, size_t(s->body_len - s->offset));
    std::memcpy(buf, body_bytes().data() + s->offset, n);
    s->offset += n;
    if (s->offset == s->body_len) *flags |= NGHTTP2_DATA_FLAG_EOF;
    return nghttp2_ssize(n);
  }

  void open(int n) {
    As as(kApp);
    for (int i = 0; i < n; ++i) {
      AppStream* s = pool.get();
      nghttp2_data_provider2 prd{{.ptr = s}, read_body};
      s->body_len = sc.req_body;
      int32_t sid = nghttp2_submit_request2(session, nullptr, request.data(), request.size(),
                                            sc.req_body ? &prd : nullptr, s);
      if (sid < 0) fail("nghttp2 submit_request");
      s->sid = uint32_t(sid);
    }
  }

  void respond(AppStream* s) {
    nghttp2_data_provider2 prd{{.ptr = s}, read_body};
    s->body_len = sc.resp_body;
    s->offset = 0;
    if (nghttp2_submit_response2(session, int32_t(s->sid), response.data(), response.size(),
                                 sc.resp_body ? &prd : nullptr))
      fail("nghttp2 submit_response");
  }

  void complete(AppStream* s) {
    tally.add(*s, server ? sc.req_body : sc.resp_body);
    if (server) respond(s);
  }

  void pump(std::string& wire) {
    As as(kApp);
    const uint8_t* p;
    nghttp2_ssize n;
    while ((n = nghttp2_session_mem_send2(session, &p)) > 0) wire.append(reinterpret_cast<const char*>(p), size_t(n));
    if (n < 0) fail(nghttp2_strerror(int(n)));
  }

  void receive(std::string_view wire) {
    As as(kApp);
    nghttp2_ssize n = nghttp2_session_mem_recv2(session, reinterpret_cast<const uint8_t*>(wire.data()), wire.size());
    if (n < 0 || size_t(n) != wire.size()) fail("nghttp2 mem_recv");
  }

  static int on_begin_headers(nghttp2_session* session, const nghttp2_frame* f, void* ud) {
    auto* self = static_cast<Ng*>(ud);
    if (!self->server || f->hd.type != NGHTTP2_HEADERS || f->headers.cat != NGHTTP2_HCAT_REQUEST) return 0;
    AppStream* s = self->pool.get();
    s->sid = uint32_t(f->hd.stream_id);
    nghttp2_session_set_stream_user_data(session, f->hd.stream_id, s);
    return 0;
  }
  static int on_header(nghttp2_session* session, const nghttp2_frame* f, nghttp2_rcbuf* name, nghttp2_rcbuf* value,
                       uint8_t, void*) {
    auto* s = static_cast<AppStream*>(nghttp2_session_get_stream_user_data(session, f->hd.stream_id));
    if (!s) return 0;
    nghttp2_rcbuf_incref(name);
    nghttp2_rcbuf_incref(value);
    s->rc.emplace_back(name, value);
    s->fields += 1;
    return 0;
  }
  static int on_frame_recv(nghttp2_session* session, const nghttp2_frame* f, void* ud) {
    auto* self = static_cast<Ng*>(ud);
    if (f->hd.type == NGHTTP2_WINDOW_UPDATE) self->tally.window_updates += 1;
    if ((f->hd.type == NGHTTP2_HEADERS || f->hd.type == NGHTTP2_DATA) && (f->hd.flags & NGHTTP2_FLAG_END_STREAM)) {
      auto* s = static_cast<AppStream*>(nghttp2_session_get_stream_user_data(session, f->hd.stream_id));
      if (s) self->complete(s);
    }
    return 0;
  }
  static int on_data_chunk(nghttp2_session* session, uint8_t, int32_t sid, const uint8_t* data, size_t len, void*) {
    auto* s = static_cast<AppStream*>(nghttp2_session_get_stream_user_data(session, sid));
    if (s) s->body.append(reinterpret_cast<const char*>(data), len);
    nghttp2_session_consume(session, sid, len);
    return 0;
  }
  static int on_stream_close(nghttp2_session* session, int32_t sid, uint32_t code, void* ud) {
    auto* self = static_cast<Ng*>(ud);
    if (code != NGHTTP2_NO_ERROR) fail("nghttp2: a stream was reset");
    auto* s = static_cast<AppStream*>(nghttp2_session_get_stream_user_data(session, sid));
    if (!s) return 0;
    for (auto [n, v] : s->rc) {
      nghttp2_rcbuf_decref(n);
      nghttp2_rcbuf_decref(v);
    }
    s->rc.clear();
    self->pool.put(s);
    return 0;
  }
};
#endif

// ---- the rounds -----------------------------------------------------------------

// Client and server back to back; one round opens the scenario's streams and
// exchanges bytes until every response is complete.
template <class Side>
struct Pair {
  explicit Pair(const Scenario& sc) : sc(sc), client(false, sc), server(true, sc) {
    client.start();
    server.start();
    c_wire.reserve(4u << 20);
    s_wire.reserve(4u << 20);
  }
  const Scenario sc;
  Side client, server;
  std::string c_wire, s_wire;

  void round() {
    client.tally = Tally{0, 0, 0, client.tally.window_updates};
    server.tally = Tally{0, 0, 0, server.tally.window_updates};
    client.open(sc.streams);
    for (int idle = 0; client.tally.completed < uint64_t(sc.streams);) {
      c_wire.clear();
      client.pump(c_wire);
      if (!c_wire.empty()) server.receive(c_wire);
      s_wire.clear();
      server.pump(s_wire);
      if (!s_wire.empty()) client.receive(s_wire);
      idle = c_wire.empty() && s_wire.empty() ? idle + 1 : 0;
      if (idle > 1) fail("the exchange stalled");
    }
    check_round(client.tally, server.tally, sc);
  }
  uint64_t window_updates() const { return client.tally.window_updates + server.tally.window_updates; }
};

template <class Side>
void Conn(benchmark::State& st, int which) {
  const Scenario& sc = kScenarios[which];
  // Scenario 4 is one connection for the whole run; the others a fresh pair
  // per benchmark run, its rounds repeated.
  try {
    Pair<Side> pair(sc);
    // Warm up: HPACK tables, pools, buffers.
    for (int i = 0, n = sc.req_body ? 2 : 20; i < n; ++i) pair.round();
    const uint64_t wu0 = pair.window_updates();
    std::fill(std::begin(g_allocs), std::end(g_allocs), 0);
    for (auto _ : st) pair.round();
    const double requests = double(st.iterations()) * sc.streams;
    st.counters["req/s"] = benchmark::Counter(requests, benchmark::Counter::kIsRate);
    if (sc.req_body + sc.resp_body >= (1u << 20))
      st.SetBytesProcessed(int64_t(st.iterations()) * sc.streams * int64_t(sc.req_body + sc.resp_body));
    st.counters["wu/round"] = double(pair.window_updates() - wu0) / double(st.iterations());
    if constexpr (std::is_same_v<Side, Ours>) {
      st.counters["allocs/req"] = double(g_allocs[kOursDecode] + g_allocs[kOursState]) / requests;
      st.counters["dec"] = double(g_allocs[kOursDecode]) / requests;
      st.counters["state"] = double(g_allocs[kOursState]) / requests;
    } else {
      st.counters["allocs/req"] = double(g_allocs[kNghttp2]) / requests;
    }
    st.counters["app"] = double(g_allocs[kApp]) / requests;
  } catch (const std::exception& e) {
    st.SkipWithError(e.what());
  }
}

// The best repetition: the one least disturbed by other processes.
double best(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

void Velmora(benchmark::State& st) { Conn<Ours>(st, int(st.range(0))); }
BENCHMARK(Velmora)->DenseRange(1, 3)->ComputeStatistics("min", best);
BENCHMARK(Velmora)->Arg(4)->Iterations(1000000)->Repetitions(3)->ComputeStatistics("min", best);
#ifdef VELMORA_HAVE_NGHTTP2
void Nghttp2(benchmark::State& st) { Conn<Ng>(st, int(st.range(0))); }
BENCHMARK(Nghttp2)->DenseRange(1, 3)->ComputeStatistics("min", best);
BENCHMARK(Nghttp2)->Arg(4)->Iterations(1000000)->Repetitions(3)->ComputeStatistics("min", best);
#endif

// Prints each run as usual, then per scenario our figure beside nghttp2's
// from the same run, the ratio and its goal; with VELMORA_BENCH_RECORD set,
// appends each comparison for the chart (tools/bench_report.py).
class RatioReporter : public BestRunReporter {
 public:
  void Finalize() override {
    ConsoleReporter::Finalize();
    struct Row {
      int scenario;
      const char* what;
      double goal;
    };
    const Row rows[] = {
        {1, "100 concurrent GETs, 1 KiB responses", 1.5},
        {2, "100 concurrent GETs, 204 without body", 1.5},
        {3, "16 streams, 1 MiB each way, 64 KiB windows", 1.0},
        {4, "sequential GETs on one connection, 1 KiB", 1.5},
    };
    std::printf("\nper scenario: ours beside nghttp2's in this run (speedup = nghttp2's CPU time / ours)\n");
    for (const Row& row : rows) {
      const Best* ours = best("Velmora/" + std::to_string(row.scenario));
      const Best* peer = best("Nghttp2/" + std::to_string(row.scenario));
      if (!ours || !peer) continue;
      const Best &o = *ours, &p = *peer;
      const double speedup = p.ns / o.ns;
      const bool bytes = row.scenario == 3;
      const double n = double(kScenarios[row.scenario].streams);
      const double per_round =
          bytes ? n * double(kScenarios[3].req_body + kScenarios[3].resp_body) / 1e6 : n;  // MB or requests
      const double ov = per_round / (o.ns * 1e-9), pv = per_round / (p.ns * 1e-9);
      const char* unit = bytes ? "MB/s" : "requests/s";
      std::printf("  %d %-44s velmora %12.0f  nghttp2 %12.0f %-10s %.2fx  (goal >= %.1fx: %s)\n", row.scenario,
                  row.what, ov, pv, unit, speedup, row.goal, speedup >= row.goal ? "met" : "NOT met");
      std::printf("    allocations per request: velmora %.2f (decoder %.2f, connection state %.2f), nghttp2 %.2f;"
                  " WINDOW_UPDATEs per round: velmora %.1f, nghttp2 %.1f\n",
                  o.get("allocs/req"), o.get("dec"), o.get("state"), p.get("allocs/req"), o.get("wu/round"),
                  p.get("wu/round"));
      record(bytes ? "HTTP/2 connection core vs nghttp2, bulk transfer (C++, in memory)"
                   : "HTTP/2 connection core vs nghttp2 (C++, in memory)",
             row.what, speedup, unit, ov, pv);
    }
  }

 private:
  // One JSON line per comparison in the file VELMORA_BENCH_RECORD names,
  // in the form bench/_harness.py records.
  static void record(const char* title, const char* operation, double speedup, const char* unit, double ours,
                     double peer) {
    const char* path = std::getenv("VELMORA_BENCH_RECORD");
    if (!path || !*path) return;
    if (FILE* f = std::fopen(path, "a")) {
      std::fprintf(f,
                   "{\"bench\": \"bench_h2_conn\", \"source\": \"bench/cpp/bench_h2_conn.cc\", \"title\": \"%s\", "
                   "\"operation\": \"%s\", \"peer\": \"nghttp2\", \"speedup\": %.4f, \"unit\": \"%s\", "
                   "\"velmora\": %.1f, \"peer_value\": %.1f}\n",
                   title, operation, speedup, unit, ours, peer);
      std::fclose(f);
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  RatioReporter reporter;
  return run_interleaved(argc, argv, 5, reporter);
}
