// The connection paths end to end: two connection cores back to back, the
// stop a closed stream reports, and the locks under concurrent use.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/cpp/h2/conn_testing.h"

using namespace velmora::h2;
using namespace velmora::h2::testing;

namespace {

// Moves everything `from` queued into `to` and dispatches it.
size_t deliver(Conn& from, Conn& to, Handle spare, std::vector<uint32_t>* opened = nullptr) {
  std::string wire, scratch;
  from.pump(wire, scratch);
  if (wire.empty()) return 0;
  to.receive(wire);
  size_t n = 0;
  for (const Event& ev : to.batch.events) n += to.dispatch(ev, spare, opened);
  return wire.size() + n;
}

void settle(Conn& a, Conn& b, Handle spare, std::vector<uint32_t>* opened = nullptr) {
  for (int i = 0; i < 10000; ++i)
    if (!deliver(a, b, spare, opened) && !deliver(b, a, spare, opened)) return;
  FAIL() << "never settled";
}

// Sends all of `body` on `sid`, letting the pair run whenever it must wait.
void send_body(Conn& side, Conn& peer, uint32_t sid, std::string_view body, Handle spare) {
  uint64_t off = 0;
  for (int i = 0; i < 100000; ++i) {
    SendVerdict v;
    {
      std::lock_guard<std::mutex> s(side.mu);
      auto r = side.core.send_data(sid, body, off, true, side.sink);
      ASSERT_TRUE(r);
      v = *r;
      if (v.flags & kFlagCapacity) side.core.next_capacity_wake();
    }
    ASSERT_FALSE(v.stopped);
    off += v.sent;
    if (v.done) return;
    if (v.sent == 0) settle(side, peer, spare);
  }
  FAIL() << "the body never went out";
}

int g_handles[4];

}  // namespace

TEST(ConnPaths, RequestAndResponseLargerThanEveryWindow) {
  Conn client(config(Role::client)), server(config(Role::server));
  ASSERT_TRUE(client.core.begin());
  ASSERT_TRUE(server.core.begin());
  settle(client, server, &g_handles[1]);
  std::string body(200000, 'q');
  for (size_t i = 0; i < body.size(); ++i) body[i] = char(i * 7);
  OutHead head;
  std::string_view scheme = "http", authority = "example";
  ASSERT_TRUE(build_request_head("POST", "/up", &scheme, &authority, head));
  uint32_t sid;
  {
    std::lock_guard<std::mutex> s(client.mu);
    ASSERT_TRUE(client.core.state.try_claim_slot());
    auto r = client.core.open_stream(head, nullptr, nullptr, false, false, &g_handles[0]);
    ASSERT_TRUE(r && *r);
    sid = **r;
  }
  send_body(client, server, sid, body, &g_handles[1]);
  std::vector<uint32_t> opened;
  settle(client, server, &g_handles[1], &opened);
  {
    std::lock_guard<std::mutex> s(server.mu);
    StreamRecord* r = server.core.state.streams().find(sid);
    ASSERT_NE(r, nullptr);
    EXPECT_TRUE(r->state.is_recv_end_stream());
    OutHead resp;
    ASSERT_TRUE(build_response_head(200, resp));
    auto v = server.core.send_response_head(sid, resp, nullptr, nullptr, {}, false, server.sink);
    ASSERT_TRUE(v);
    EXPECT_FALSE(v->done);
  }
  send_body(server, client, sid, body, &g_handles[1]);
  settle(client, server, &g_handles[1]);
  for (Conn* c : {&client, &server}) {
    EXPECT_EQ(c->core.state.num_streams(), 0u);
    EXPECT_EQ(c->core.state.streams().size(), 0u);
    // Every octet received was released: the receive window is whole again.
    EXPECT_GE(c->core.state.conn_recv_flow().window(), 32768);
    EXPECT_EQ(c->core.state.rotation().size(), 0u);
  }
  EXPECT_EQ(client.core.state.num_open_streams(), 0u);
}

TEST(ConnPaths, TheStopOfAClosedStream) {
  StreamState s;
  EXPECT_EQ(stop_of(s), std::nullopt);  // live
  ASSERT_TRUE(s.send_open(true));
  ASSERT_TRUE(s.recv_open(true, false));
  EXPECT_EQ(stop_of(s), std::nullopt);  // both sides ended: a clean end
  StreamState r;
  r.set_reset(1, 8, Initiator::user);
  EXPECT_EQ(stop_of(r), std::nullopt);  // our own cancel
  r.set_reset(1, 0, Initiator::user);
  EXPECT_EQ(stop_of(r), (Stop{0, false}));
  r.set_reset(1, 8, Initiator::remote);
  EXPECT_EQ(stop_of(r), (Stop{8, false}));
  StreamState g;
  StreamState::StoredError ga;
  ga.kind = StreamState::StoredError::Kind::goaway;
  ga.reason = 2;
  ASSERT_TRUE(g.close_with(ga));
  EXPECT_EQ(stop_of(g), (Stop{2, true}));
  StreamState io;
  StreamState::StoredError e;
  e.kind = StreamState::StoredError::Kind::io;
  ASSERT_TRUE(io.close_with(e));
  EXPECT_EQ(stop_of(io), (Stop{std::nullopt, true}));
}

// A read pump decodes under the decoder lock alone while senders send,
// release_capacity runs on its own thread, a write pump drains the pending
// buffer, and write batches are given back from yet another thread. Run
// under ThreadSanitizer by `tools/dev sanitize`.
TEST(ConnPaths, ReadPumpSendersReleaseAndWritePumpOnSeparateThreads) {
  ConnConfig sc = config(Role::server);
  sc.max_frame_size = 65536;
  // The client's frames are scripted up front: the windows hold all of them.
  sc.initial_window_size = 1 << 20;
  sc.connection_window = 1 << 24;
  Conn server(sc);
  Conn client(config(Role::client));
  ASSERT_TRUE(client.core.begin());
  {
    std::lock_guard<std::mutex> s(server.mu);
    auto change = server.core.begin();
    ASSERT_TRUE(change);
    std::lock_guard<std::mutex> d(server.decoder_mu);
    server.recv.set_max_frame_size(*change->max_frame_size);
  }
  // The client's side of the conversation, prepared up front: its preface
  // and SETTINGS, eight requests with bodies, window updates for responses.
  std::string wire, scratch;
  OutHead head;
  std::string_view scheme = "http", authority = "a";
  ASSERT_TRUE(build_request_head("POST", "/", &scheme, &authority, head));
  client.pump(wire, scratch);
  write_settings_ack(wire);
  std::vector<uint32_t> sids;
  for (int i = 0; i < 8; ++i) {
    ASSERT_TRUE(client.core.state.try_claim_slot());
    auto r = client.core.open_stream(head, nullptr, nullptr, false, false, &g_handles[0]);
    ASSERT_TRUE(r && *r);
    sids.push_back(**r);
    client.pump(wire, scratch);
    for (int k = 0; k < 6; ++k) ASSERT_TRUE(write_data(wire, **r, std::string(5000, 'c'), k == 5, 16384));
    ASSERT_TRUE(write_window_update(wire, **r, 1 << 20));
  }
  ASSERT_TRUE(write_window_update(wire, 0, 1 << 24));

  std::atomic<bool> read_done{false}, send_done{false};
  std::atomic<size_t> received{0}, sent{0};
  std::vector<uint32_t> opened;
  std::vector<std::pair<uint32_t, uint32_t>> to_release;
  std::mutex release_mu;

  std::thread reader([&] {
    for (size_t off = 0; off < wire.size(); off += 1000) {
      server.receive(std::string_view(wire).substr(off, 1000));
      for (const Event& ev : server.batch.events) {
        Handle spare = &g_handles[1];
        auto r = server.step(ev, spare);
        ASSERT_TRUE(r);
        if (auto* h = std::get_if<HeadersVerdict>(&*r); h && h->kind == HeadersKind::opened)
          opened.push_back(h->stream_id);
        if (auto* d = std::get_if<DataEvent>(&ev)) {
          received += d->data.size();
          std::lock_guard<std::mutex> g(release_mu);
          to_release.emplace_back(d->stream_id, uint32_t(d->data.size()));
        }
      }
    }
    read_done = true;
  });
  std::thread releaser([&] {
    for (bool last = false; !last;) {
      last = read_done;  // read before the final swap: nothing is added after it
      std::vector<std::pair<uint32_t, uint32_t>> batch;
      {
        std::lock_guard<std::mutex> g(release_mu);
        batch.swap(to_release);
      }
      for (auto [sid, n] : batch) {
        std::lock_guard<std::mutex> s(server.mu);
        ASSERT_TRUE(server.core.release_capacity(sid, n, server.sink));
      }
      std::this_thread::yield();
    }
  });
  std::thread sender([&] {
    std::string body(30000, 's');
    std::vector<uint64_t> off(8, 0);
    std::vector<bool> headed(8, false), finished(8, false);
    size_t done = 0;
    while (done < 8) {
      for (size_t i = 0; i < 8; ++i) {
        if (finished[i]) continue;
        std::lock_guard<std::mutex> s(server.mu);
        uint32_t sid = sids[i];
        if (!server.core.state.streams().find(sid)) continue;  // not arrived yet
        if (!headed[i]) {
          OutHead resp;
          ASSERT_TRUE(build_response_head(200, resp));
          auto r = server.core.send_response_head(sid, resp, nullptr, nullptr, {}, false, server.sink);
          ASSERT_TRUE(r);
          headed[i] = true;
        }
        auto r = server.core.send_data(sid, body, off[i], true, server.sink);
        ASSERT_TRUE(r);
        if (r->flags & kFlagCapacity) server.core.next_capacity_wake();
        off[i] += r->sent;
        sent += r->sent;
        if (r->done) {
          finished[i] = true;
          ++done;
        }
      }
      std::this_thread::yield();
    }
    send_done = true;
  });
  std::string out;
  std::atomic<int> batches{0};
  std::thread pump([&] {
    std::vector<std::thread> releasers;
    auto more = [&] {
      std::lock_guard<std::mutex> s(server.mu);
      return server.core.has_pending();
    };
    for (bool last = false; !last;) {
      last = send_done && !more();
      std::string buf;
      {
        std::lock_guard<std::mutex> s(server.mu);
        server.core.take_pending(buf);
      }
      out += buf;
      // The batch dies on another thread, which gives its buffer back.
      releasers.emplace_back([&server, b = std::move(buf), &batches]() mutable {
        std::lock_guard<std::mutex> s(server.mu);
        server.core.give_back(b);
        ++batches;
      });
      {
        std::lock_guard<std::mutex> s(server.mu);
        std::vector<Handle> wake;
        server.core.credit_written(wake);
      }
      std::this_thread::yield();
    }
    for (auto& t : releasers) t.join();
  });
  reader.join();
  releaser.join();
  sender.join();
  pump.join();
  EXPECT_EQ(received.load(), 8u * 30000u);
  EXPECT_EQ(sent.load(), 8u * 30000u);
  EXPECT_GT(batches.load(), 0);
  // What the server wrote parses as whole frames carrying every body octet.
  Receiver check;
  RecvBatch frames;
  ASSERT_TRUE(check.receive(out, frames));
  EXPECT_EQ(check.buffered(), 0u);
  size_t data = 0;
  for (const Event& ev : frames.events)
    if (auto* d = std::get_if<DataEvent>(&ev)) data += d->data.size();
  EXPECT_EQ(data, 8u * 30000u);
  EXPECT_EQ(server.core.state.num_streams(), 0u);
}

// With a bound on the DATA framed into one batch, the rotation's front waits
// once the batch holds that much, and the credit after the take wakes it even
// when none of its own frames were in that batch; the bodies still arrive
// whole, no batch past the bound by more than a frame.
TEST(ConnPaths, ABatchBoundStopsTheFrontUntilTheCreditWakesIt) {
  ConnConfig cc = config(Role::client), sc = config(Role::server);
  cc.max_batch_data = 65536;
  sc.initial_window_size = 1 << 20;
  sc.connection_window = 1 << 22;
  Conn client(cc), server(sc);
  ASSERT_TRUE(client.core.begin());
  ASSERT_TRUE(server.core.begin());
  settle(client, server, &g_handles[1]);
  OutHead head;
  std::string_view scheme = "http", authority = "example";
  ASSERT_TRUE(build_request_head("POST", "/up", &scheme, &authority, head));
  uint32_t sids[2];
  Handle handles[2] = {&g_handles[0], &g_handles[2]};
  for (int i = 0; i < 2; ++i) {
    std::lock_guard<std::mutex> s(client.mu);
    ASSERT_TRUE(client.core.state.try_claim_slot());
    auto r = client.core.open_stream(head, nullptr, nullptr, false, false, handles[i]);
    ASSERT_TRUE(r && *r);
    sids[i] = **r;
  }
  settle(client, server, &g_handles[1]);
  std::string body(300000, 'q');
  for (size_t i = 0; i < body.size(); ++i) body[i] = char(i * 7);
  uint64_t off[2] = {0, 0};
  auto send = [&](int i) {
    std::lock_guard<std::mutex> s(client.mu);
    auto r = client.core.send_data(sids[i], body, off[i], true, client.sink);
    EXPECT_TRUE(r);
    if (!r) return SendVerdict{};
    EXPECT_FALSE(r->stopped);
    off[i] += r->sent;
    return *r;
  };
  // The first stream fills the batch with its turn of four frames; the
  // second, front once the first yields its turn, is stopped by the bound.
  for (int k = 0; k < 4; ++k) EXPECT_EQ(send(0).sent, 16384u);
  EXPECT_EQ(send(1).sent, 0u);
  EXPECT_TRUE(send(0).flags & kFlagCapacity);
  EXPECT_EQ(client.core.state.rotation_front()->id, sids[1]);
  SendVerdict v = send(1);
  EXPECT_EQ(v.sent, 0u);
  EXPECT_FALSE(v.done);
  std::string wire, scratch;
  client.pump(wire, scratch);
  EXPECT_EQ(client.wake, (std::vector<Handle>{handles[0], handles[1]}));
  EXPECT_EQ(send(1).sent, 16384u);

  bool done[2] = {false, false};
  for (int round = 0; round < 10000 && !(done[0] && done[1]); ++round) {
    bool moved = false;
    for (int i = 0; i < 2; ++i) {
      if (done[i]) continue;
      SendVerdict s = send(i);
      done[i] = s.done;
      moved |= s.sent > 0;
    }
    EXPECT_LE(client.core.pending.size(), 65536u + 16384u + 1024u);
    if (!moved) settle(client, server, &g_handles[1]);
  }
  ASSERT_TRUE(done[0] && done[1]);
  settle(client, server, &g_handles[1]);
  for (uint32_t sid : sids) {
    std::lock_guard<std::mutex> s(server.mu);
    StreamRecord* r = server.core.state.streams().find(sid);
    ASSERT_NE(r, nullptr);
    EXPECT_TRUE(r->state.is_recv_end_stream());
  }
}
