// The connection core under the locking the binding gives it: a server whose
// reads are decoded on one thread under the decoder lock alone while another
// runs the events as steps (the SETTINGS ACK reaching into the decoder with
// both locks held), handler threads frame response bodies, a thread returns
// the request bodies' capacity, and the write pump takes and credits batches
// whose emptied buffers come back from the thread that consumed them; the
// client pings meanwhile, so reads arrive that owe nothing to the server's
// steps. Under TSan this shows that decoding shares nothing with the state
// beyond what the ACK step touches with both locks held (drop that decoder
// lock and TSan reports the race) and that every other step is safe behind
// the state lock alone. Without TSan it still checks that every body crosses
// whole both ways.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <variant>
#include <vector>

#include "proto/h2/conn_core.h"
#include "proto/h2/frame.h"

namespace velmora::h2 {
namespace {

// A queue between threads; pop waits until an item arrives or the queue closes.
template <class T>
class Chan {
 public:
  void push(T v) {
    {
      std::lock_guard<std::mutex> l(mu_);
      q_.push_back(std::move(v));
    }
    cv_.notify_one();
  }
  std::optional<T> pop() {
    std::unique_lock<std::mutex> l(mu_);
    cv_.wait(l, [&] { return !q_.empty() || closed_; });
    if (q_.empty()) return std::nullopt;
    T v = std::move(q_.front());
    q_.pop_front();
    return v;
  }
  std::optional<T> try_pop() {
    std::lock_guard<std::mutex> l(mu_);
    if (q_.empty()) return std::nullopt;
    T v = std::move(q_.front());
    q_.pop_front();
    return v;
  }
  void close() {
    {
      std::lock_guard<std::mutex> l(mu_);
      closed_ = true;
    }
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<T> q_;
  bool closed_ = false;
};

struct NullSink final : HandleSink {
  void drop(Handle) noexcept override {}
};

// Handles are tags: the core never looks inside them.
Handle tag(uint32_t n) { return reinterpret_cast<Handle>(uintptr_t(n) * 16 + 8); }

// One endpoint as the binding holds it: the state lock over the core, the
// decoder lock over the receive side; state lock first where both are held.
struct Endpoint {
  explicit Endpoint(const ConnConfig& c) : core(c) {
    recv.expect_preface(c.role == Role::server);
    recv.set_role(c.role);
  }
  std::mutex mu;
  ConnCore core;
  std::mutex dmu;
  Receiver recv;

  void begin() {
    std::lock_guard<std::mutex> s(mu);
    auto r = core.begin();
    ASSERT_TRUE(r.has_value());
    if (r->max_frame_size) {
      std::lock_guard<std::mutex> d(dmu);
      recv.set_max_frame_size(*r->max_frame_size);
    }
  }

  // One event as its step; an ACK's settings reach the decoder with both
  // locks held, state lock first.
  Result<EventVerdict> step(const Event& ev, Handle spare, HandleSink& sink) {
    std::lock_guard<std::mutex> s(mu);
    std::vector<Handle> wake;
    std::vector<Aborted> aborted;
    auto r = core.apply(ev, spare, wake, aborted, sink);
    if (auto* st = r ? std::get_if<SettingsVerdict>(&*r) : nullptr; st && st->apply_to_decoder) {
      std::lock_guard<std::mutex> d(dmu);
      apply_to_decoder(recv, *st->apply_to_decoder);
    }
    return r;
  }

  // The write pump's take: the pending bytes, or empty.
  std::string take() {
    std::string buf;
    std::lock_guard<std::mutex> s(mu);
    core.take_pending(buf);
    return buf;
  }
  void credit() {
    std::lock_guard<std::mutex> s(mu);
    std::vector<Handle> wake;
    core.credit_written(wake);
  }
  // A consumed batch's buffer comes back, from whichever thread held it.
  void give_back(std::string& buf) {
    buf.clear();
    std::lock_guard<std::mutex> s(mu);
    core.give_back(buf);
  }
};

ConnConfig config(Role role) {
  ConnConfig c;
  c.role = role;
  c.initial_window_size = 20000;  // small windows: senders wait and wake often
  c.connection_window = 65535;
  c.max_send_buf_size = 30000;
  c.auto_date_header = false;
  return c;
}

std::string body_of(uint32_t sid) {
  std::string b(5000 + (sid * 7919) % 60000, '\0');
  for (size_t i = 0; i < b.size(); ++i) b[i] = char((sid + i * 31) & 0xff);
  return b;
}

TEST(ConnThreads, ServerStepsOnManyThreadsAgainstOneClient) {
  constexpr uint32_t kStreams = 120;
  Endpoint server(config(Role::server));
  Endpoint client(config(Role::client));
  Chan<std::string> to_server, to_client;
  Chan<uint32_t> requests;                    // opened request streams, for the handlers
  Chan<std::pair<uint32_t, uint32_t>> reads;  // (sid, octets) the client's application consumed
  struct Read {
    uint32_t sid, len;
    bool budgeted;
  };
  Chan<Read> server_reads;  // request body chunks the server's application consumed
  std::unordered_map<uint32_t, std::string> uploaded;  // read pump only
  std::atomic<bool> done{false};
  std::atomic<uint64_t> wakes{0};  // bumped whenever the server may have new window

  server.begin();
  client.begin();

  // read pump: one thread decodes under the decoder lock alone, another
  // runs each decoded event as one step (the SETTINGS ACK among them, which
  // reaches into the decoder with both locks held while the next read is
  // being decoded)
  struct Decoded {
    std::string bytes;  // DATA events point into these or into the batch
    RecvBatch batch;
  };
  Chan<std::unique_ptr<Decoded>> decoded;
  std::thread decoder([&] {
    while (auto bytes = to_server.pop()) {
      auto d = std::make_unique<Decoded>();
      d->bytes = std::move(*bytes);
      {
        std::lock_guard<std::mutex> l(server.dmu);
        ASSERT_TRUE(server.recv.receive(d->bytes, d->batch).has_value());
      }
      decoded.push(std::move(d));
    }
    decoded.close();
  });
  std::thread read_pump([&] {
    NullSink sink;
    while (auto d = decoded.pop()) {
      for (const Event& e : (*d)->batch.events) {
        auto* head = std::get_if<HeadersEvent>(&e);
        auto v = server.step(e, head ? tag(head->stream_id) : nullptr, sink);
        ASSERT_TRUE(v.has_value());
        if (std::holds_alternative<SettingsEvent>(e) || std::holds_alternative<WindowUpdateEvent>(e)) ++wakes;
        if (auto* h = std::get_if<HeadersVerdict>(&*v); h && h->kind == HeadersKind::opened) {
          std::lock_guard<std::mutex> l(server.mu);
          server.core.state.accepted(h->stream_id);
          if (h->eof) requests.push(h->stream_id);  // answered once the request is whole
        } else if (auto* dv = std::get_if<DataEvent>(&e)) {
          uploaded[dv->stream_id] += dv->data;
          if (!dv->data.empty())
            server_reads.push({dv->stream_id, uint32_t(dv->data.size()), std::get<DataVerdict>(*v).budgeted});
          if (std::get<DataVerdict>(*v).eof) {
            EXPECT_EQ(uploaded[dv->stream_id], body_of(dv->stream_id + 1000)) << dv->stream_id;
            requests.push(dv->stream_id);
          }
        }
      }
    }
  });

  // handlers: response heads and bodies, retrying when the windows are shut
  auto handler = [&] {
    NullSink sink;
    OutHead head;
    ASSERT_TRUE(build_response_head(200, head).has_value());
    while (auto sid = requests.pop()) {
      std::string body = body_of(*sid);
      {
        std::lock_guard<std::mutex> l(server.mu);
        auto r = server.core.send_response_head(*sid, head, nullptr, nullptr, {}, false, sink);
        ASSERT_TRUE(r.has_value());
      }
      uint64_t offset = 0;
      while (!done) {
        uint64_t seen = wakes.load();
        std::lock_guard<std::mutex> l(server.mu);
        auto v = server.core.send_data(*sid, body, offset, true, sink);
        ASSERT_TRUE(v.has_value());
        ASSERT_FALSE(v->stopped.has_value());
        offset += v->sent;
        if (v->done) break;
        if (v->sent == 0 && seen == wakes.load()) std::this_thread::yield();
      }
    }
  };
  std::thread h1(handler), h2(handler);

  // write pump: takes under the state lock, the batch travels to the client,
  // which gives the emptied buffer back from its own thread
  std::thread write_pump([&] {
    while (!done) {
      std::string buf = server.take();
      if (buf.empty()) {
        std::this_thread::yield();
        continue;
      }
      to_client.push(std::move(buf));
      server.credit();
      ++wakes;
    }
  });

  // release thread: what the server's application read of request bodies (none
  // here but the client's WINDOW_UPDATEs) and the client's consumed DATA
  std::thread releaser([&] {
    NullSink sink;
    while (auto r = reads.pop()) {
      std::lock_guard<std::mutex> l(client.mu);
      auto f = client.core.release_capacity(r->first, r->second, sink);
      ASSERT_TRUE(f.has_value());
    }
  });

  // the server's application returns what it read, from a thread of its own
  std::thread server_releaser([&] {
    NullSink sink;
    while (auto r = server_reads.pop()) {
      std::lock_guard<std::mutex> l(server.mu);
      ASSERT_TRUE(server.core.release_capacity(r->sid, r->len, sink).has_value());
      if (r->budgeted) server.core.release_data_frame(r->sid, r->len, sink);
    }
  });

  // the client: opens every stream (every third with a request body), reads
  // every response
  std::thread pinger;
  std::unordered_map<uint32_t, std::string> got;
  uint32_t finished = 0;
  {
    NullSink sink;
    std::string_view scheme = "https", authority = "a.test";
    struct Upload {
      uint32_t sid;
      uint64_t offset;
      std::string body;
    };
    std::vector<Upload> uploads;
    auto send_uploads = [&] {
      std::lock_guard<std::mutex> l(client.mu);
      for (size_t i = 0; i < uploads.size();) {
        Upload& u = uploads[i];
        auto v = client.core.send_data(u.sid, u.body, u.offset, true, sink);
        ASSERT_TRUE(v.has_value());
        ASSERT_FALSE(v->stopped.has_value());
        u.offset += v->sent;
        if (v->done) {
          uploads[i] = std::move(uploads.back());
          uploads.pop_back();
        } else if (v->sent == 0) {
          ++i;
        }
      }
    };
    OutHead head;
    ASSERT_TRUE(build_request_head("GET", "/", &scheme, &authority, head).has_value());
    for (uint32_t i = 0; i < kStreams; ++i) {
      std::lock_guard<std::mutex> l(client.mu);
      ASSERT_TRUE(client.core.state.try_claim_slot());
      bool upload = i % 3 == 0;
      auto id = client.core.open_stream(head, nullptr, nullptr, !upload, false, tag(i + 1));
      ASSERT_TRUE(id.has_value() && id->has_value());
      if (upload) uploads.push_back({**id, 0, body_of(**id + 1000)});
    }
    // a peer that pings while the rest is in flight: reads the decoder takes
    // without waiting for anything the server did
    send_uploads();
    std::string first = client.take();
    to_server.push(std::move(first));
    client.credit();
    pinger = std::thread([&] {
      for (int i = 0; i < 300 && !done; ++i) {
        std::string ping;
        if (!write_ping(ping, "12345678", false)) return;
        to_server.push(std::move(ping));
        std::this_thread::yield();
      }
    });
    while (finished < kStreams) {
      send_uploads();
      std::string out = client.take();
      if (!out.empty()) {
        to_server.push(std::move(out));
        client.credit();
      }
      auto in = to_client.try_pop();
      if (!in) {
        std::this_thread::yield();  // the releases may still open a window
        continue;
      }
      RecvBatch batch;
      {
        std::lock_guard<std::mutex> d(client.dmu);
        ASSERT_TRUE(client.recv.receive(*in, batch).has_value());
      }
      for (const Event& e : batch.events) {
        auto v = client.step(e, nullptr, sink);
        ASSERT_TRUE(v.has_value());
        if (auto* d = std::get_if<DataEvent>(&e)) {
          got[d->stream_id] += d->data;
          if (!d->data.empty()) reads.push({d->stream_id, uint32_t(d->data.size())});
          if (std::get<DataVerdict>(*v).eof) ++finished;
        }
      }
      server.give_back(*in);  // the batch dies on this thread
    }
  }
  done = true;
  requests.close();
  reads.close();
  server_reads.close();
  to_server.close();
  to_client.close();
  pinger.join();
  decoder.join();
  read_pump.join();
  h1.join();
  h2.join();
  write_pump.join();
  releaser.join();
  server_releaser.join();

  ASSERT_EQ(got.size(), kStreams);
  for (auto& [sid, body] : got) EXPECT_EQ(body, body_of(sid)) << sid;
  std::lock_guard<std::mutex> l(server.mu);
  EXPECT_EQ(server.core.state.num_streams(), 0u);
}

}  // namespace
}  // namespace velmora::h2
