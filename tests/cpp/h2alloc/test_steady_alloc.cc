// Steady-state request/response rounds allocate nothing on the connection's
// state side: records, id maps and send queues are reused, frames are
// encoded straight into the pending buffer, and the written buffer comes
// back as the next pending buffer. And an allocation that does fail on the
// way to the write pump loses no frame; one that fails in an HTTP/1 head's
// parse leaves the codec unchanged. This program counts (and fails, on
// request) every operator new itself, so it is built without the module's
// allocator.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

// The replacements below allocate with malloc and free with free; once they
// are visible to the optimiser GCC takes the pairing of the library's new
// and delete for a malloc/delete mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "proto/h1/codec.h"
#include "tests/cpp/h2/conn_testing.h"

namespace {
std::atomic<long> g_allocs{0};
std::atomic<bool> g_counting{false};
std::atomic<bool> g_failing{false};
}  // namespace

void* operator new(std::size_t n) {
  if (g_failing.load(std::memory_order_relaxed)) throw std::bad_alloc();
  if (g_counting.load(std::memory_order_relaxed)) g_allocs.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

using namespace velmora::h2;
using namespace velmora::h2::testing;

namespace {

int g_handle;

// Set: the applications hand every head back to their decoder once they
// have dispatched it, and decoding is counted too. Clear: decoding builds a
// map per head and only the state side is counted.
bool g_hand_back = false;

void receive_uncounted(Conn& c, std::string_view wire) {
  bool was = g_counting.exchange(g_counting && g_hand_back);
  c.receive(wire);
  g_counting = was;
}

void hand_back(Conn& c) {
  if (!g_hand_back) return;
  std::lock_guard<std::mutex> d(c.decoder_mu);
  for (Event& ev : c.batch.events)
    if (auto* h = std::get_if<HeadersEvent>(&ev)) c.recv.recycle(std::move(h->head.fields));
}

// Batches the server's writer took and still holds: a writer takes the next
// batch while earlier ones are being written.
std::vector<std::string> g_held;

// 8 requests at once, each answered with a 1 KiB body. With `takes` > 1 the
// server's writer takes that many batches while responses are still being
// queued, holding each until all are written.
void round(Conn& client, Conn& server, std::string& wire, std::string& scratch, const OutHead& req,
           const OutHead& resp, std::string_view body, std::vector<uint32_t>& sids, std::vector<uint32_t>& opened,
           size_t takes = 1) {
  sids.clear();
  for (int i = 0; i < 8; ++i) {
    ASSERT_TRUE(client.core.state.try_claim_slot());
    auto r = client.core.open_stream(req, nullptr, nullptr, true, false, &g_handle);
    ASSERT_TRUE(r && *r);
    sids.push_back(**r);
  }
  wire.clear();
  client.pump(wire, scratch);
  receive_uncounted(server, wire);
  opened.clear();
  for (const Event& ev : server.batch.events) server.dispatch(ev, &g_handle, &opened);
  hand_back(server);
  ASSERT_EQ(opened, sids);
  wire.clear();
  for (size_t i = 0; i < sids.size(); ++i) {
    const uint32_t sid = sids[i];
    server.core.state.accepted(sid);  // the application pulls the request
    auto h = server.core.send_response_head(sid, resp, nullptr, nullptr, {}, false, server.sink);
    ASSERT_TRUE(h);
    auto d = server.core.send_data(sid, body, 0, true, server.sink);
    ASSERT_TRUE(d && d->done);
    if (takes > 1 && (i + 1) % (sids.size() / takes) == 0) {
      std::string batch;  // a new batch object, as the binding makes
      {
        std::lock_guard<std::mutex> g(server.mu);
        server.core.take_pending(batch);
      }
      g_held[(i + 1) / (sids.size() / takes) - 1] = std::move(batch);
    }
  }
  if (takes > 1) {
    std::lock_guard<std::mutex> g(server.mu);
    for (size_t k = 0; k < takes; ++k) {
      wire += g_held[k];
      server.core.give_back(g_held[k]);
    }
    server.wake.clear();
    server.core.credit_written(server.wake);
  } else {
    server.pump(wire, scratch);
  }
  receive_uncounted(client, wire);
  for (const Event& ev : client.batch.events) client.dispatch(ev, nullptr);
  hand_back(client);
  // The window updates the client queued go back to the server.
  wire.clear();
  client.pump(wire, scratch);
  receive_uncounted(server, wire);
  for (const Event& ev : server.batch.events) server.dispatch(ev, &g_handle);
  server.pump(wire, scratch);
}

// Both prefaces and SETTINGS exchanged and acknowledged.
void handshake(Conn& client, Conn& server, std::string& wire, std::string& scratch) {
  ASSERT_TRUE(client.core.begin());
  ASSERT_TRUE(server.core.begin());
  for (int i = 0; i < 3; ++i) {
    wire.clear();
    client.pump(wire, scratch);
    receive_uncounted(server, wire);
    for (const Event& ev : server.batch.events) server.dispatch(ev, &g_handle);
    wire.clear();
    server.pump(wire, scratch);
    receive_uncounted(client, wire);
    for (const Event& ev : client.batch.events) client.dispatch(ev, nullptr);
  }
}

}  // namespace

// 50 rounds to warm up, then 2000 counted; the allocations counted.
struct Rounds {
  Conn client{config(Role::client)}, server{config(Role::server)};
  std::string wire, scratch;
  OutHead req, resp;

  long run(std::string_view scheme, std::string_view authority, std::string_view path, bool hand_back) {
    g_hand_back = hand_back;
    handshake(client, server, wire, scratch);
    EXPECT_TRUE(build_request_head("GET", path, &scheme, &authority, req));
    EXPECT_TRUE(build_response_head(200, resp));
    std::string body(1024, 'b');
    std::vector<uint32_t> sids, opened;
    sids.reserve(8);
    opened.reserve(8);
    for (int i = 0; i < 50; ++i) round(client, server, wire, scratch, req, resp, body, sids, opened);
    g_allocs = 0;
    g_counting = true;
    ::operator delete(::operator new(16));  // the counter sees allocations at all
    EXPECT_EQ(g_allocs.exchange(0), 1);
    for (int i = 0; i < 2000; ++i) round(client, server, wire, scratch, req, resp, body, sids, opened);
    g_counting = false;
    g_hand_back = false;
    EXPECT_EQ(client.core.state.num_streams(), 0u);
    EXPECT_EQ(server.core.state.num_streams(), 0u);
    EXPECT_GT(client.core.state.next_stream_id(), 2 * 8 * 2000u);
    return g_allocs.load();
  }
};

TEST(SteadyState, RequestResponseRoundsAllocateNothingAfterWarmUp) {
  Rounds r;
  EXPECT_EQ(r.run("http", "example", "/index", false), 0);
}

// The same rounds with both applications handing their heads back: the
// receive side allocates nothing either, 8 heads at once included, with
// pseudo-header values longer than a string's inline buffer.
TEST(SteadyState, RoundsWithHeadsHandedBackAllocateNothingOnEitherSide) {
  Rounds r;
  EXPECT_EQ(r.run("https", "www.an-authority-of-some-length.example", "/a/path/long/enough/to/need/the/heap?q=1", true),
            0);
  EXPECT_EQ(r.server.recv.pooled_maps(), 8u);
}

// The writer may still hold earlier batches when it takes the next one: the
// next pending buffer is then a kept spare, never an empty one that the
// threads queueing frames would regrow.
TEST(SteadyState, WriterHoldingSeveralBatchesAllocatesNothingAfterWarmUp) {
  Conn client(config(Role::client)), server(config(Role::server));
  std::string wire, scratch;
  handshake(client, server, wire, scratch);
  OutHead req, resp;
  std::string_view scheme = "http", authority = "example";
  ASSERT_TRUE(build_request_head("GET", "/index", &scheme, &authority, req));
  ASSERT_TRUE(build_response_head(200, resp));
  std::string body(1024, 'b');
  std::vector<uint32_t> sids, opened;
  sids.reserve(8);
  opened.reserve(8);
  g_held.assign(4, std::string());
  for (int i = 0; i < 50; ++i) round(client, server, wire, scratch, req, resp, body, sids, opened, 4);

  g_allocs = 0;
  g_counting = true;
  for (int i = 0; i < 2000; ++i) round(client, server, wire, scratch, req, resp, body, sids, opened, 4);
  g_counting = false;
  EXPECT_EQ(g_allocs.load(), 0);
  EXPECT_EQ(client.core.state.num_streams(), 0u);
  EXPECT_EQ(server.core.state.num_streams(), 0u);
}

// A connection's header blocks are alike: after the first, each decoded
// block's map is allocated once at its final size rather than regrown
// field by field.
TEST(SteadyState, DecodingARepeatedHeadAllocatesItsMapOnce) {
  Sender send;
  Receiver recv;
  recv.set_role(Role::server);
  OutHead req;
  std::string_view scheme = "https", authority = "example";
  ASSERT_TRUE(build_request_head("GET", "/index", &scheme, &authority, req));
  velmora::http::HeaderMap fields;
  for (int i = 0; i < 20; ++i)
    ASSERT_TRUE(fields.append("x-field-" + std::to_string(i), "a value long enough to need the heap " + std::to_string(i)));
  RecvBatch batch;
  batch.events.reserve(4);
  std::string wire;
  auto one = [&](uint32_t sid) {
    wire.clear();
    ASSERT_TRUE(send.write_headers(wire, sid, req, &fields, true));
    ASSERT_TRUE(recv.receive(wire, batch));
    ASSERT_EQ(batch.events.size(), 1u);
    ASSERT_EQ(std::get<HeadersEvent>(batch.events[0]).head.fields.size(), 20u);
  };
  wire.reserve(1 << 16);
  one(1);
  g_allocs = 0;
  g_counting = true;
  for (uint32_t sid = 3; sid < 203; sid += 2) one(sid);
  g_counting = false;
  EXPECT_EQ(g_allocs.load(), 100);
}

// A head handed back is the storage of the next one: after the first block
// none allocates, long pseudo-header values included, and reused storage
// holds only the new block's fields and values, whether the block is larger
// or smaller than the one before.
TEST(SteadyState, DecodingWithHeadsHandedBackAllocatesNothing) {
  Sender send;
  Receiver recv;
  recv.set_role(Role::server);
  std::string_view scheme = "https", authority = "www.an-authority-of-some-length.example";
  OutHead big, small;
  ASSERT_TRUE(build_request_head("POST", "/upload/a/path/long/enough/to/need/the/heap", &scheme, &authority, big));
  ASSERT_TRUE(build_request_head("GET", "/", &scheme, &authority, small));
  velmora::http::HeaderMap many, few;
  for (int i = 0; i < 20; ++i)
    ASSERT_TRUE(many.append("x-field-" + std::to_string(i), "a value long enough to need the heap " + std::to_string(i)));
  ASSERT_TRUE(few.append("accept", "*/*"));
  RecvBatch batch;
  batch.events.reserve(4);
  std::string wire;
  wire.reserve(1 << 16);
  auto one = [&](uint32_t sid, const OutHead& head, const velmora::http::HeaderMap& fields) {
    wire.clear();
    ASSERT_TRUE(send.write_headers(wire, sid, head, &fields, true));
    ASSERT_TRUE(recv.receive(wire, batch));
    ASSERT_EQ(batch.events.size(), 1u);
    HeaderList& h = std::get<HeadersEvent>(batch.events[0]).head;
    EXPECT_EQ(h.method, head.method);
    EXPECT_EQ(h.scheme, head.scheme);
    EXPECT_EQ(h.authority, head.authority);
    EXPECT_EQ(h.path, head.path);
    EXPECT_FALSE(h.protocol);
    EXPECT_TRUE(h.fields == fields);
    recv.recycle(std::move(h.fields));
    EXPECT_TRUE(h.fields.empty());
  };
  one(1, big, many);
  one(3, small, few);
  g_allocs = 0;
  g_counting = true;
  for (uint32_t sid = 5; sid < 405; sid += 4) {
    one(sid, big, many);
    one(sid + 2, small, few);
  }
  g_counting = false;
  EXPECT_EQ(g_allocs.load(), 0);
  EXPECT_EQ(recv.pooled_maps(), 1u);
}

// The take is the one place where frames leave the state: a take that cannot
// record its credits keeps the frames, and frames whose batch could not be
// built come back ahead of what was queued since, their credits still owed.
TEST(TakePending, AFailedTakeOrBatchLosesNoFrameAndNoCredit) {
  Conn client(config(Role::client)), server(config(Role::server));
  ASSERT_TRUE(client.core.begin());
  ASSERT_TRUE(server.core.begin());
  std::string wire, scratch;
  client.pump(wire, scratch);
  receive_uncounted(server, wire);
  OutHead req, resp;
  std::string_view scheme = "http", authority = "example";
  ASSERT_TRUE(build_request_head("GET", "/", &scheme, &authority, req));
  ASSERT_TRUE(build_response_head(200, resp));
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(client.core.state.try_claim_slot());
    ASSERT_TRUE(client.core.open_stream(req, nullptr, nullptr, true, false, &g_handle));
  }
  wire.clear();
  client.pump(wire, scratch);
  receive_uncounted(server, wire);
  for (const Event& ev : server.batch.events) server.dispatch(ev, &g_handle);
  ConnCore& core = server.core;
  std::string taken;
  core.take_pending(taken);  // the SETTINGS ACK: nothing owed
  core.give_back(taken);
  std::vector<Handle> wake;
  core.credit_written(wake);

  std::string body(100, 'b');
  for (uint32_t sid : {1u, 3u}) {
    ASSERT_TRUE(core.send_response_head(sid, resp, nullptr, nullptr, {}, false, server.sink));
    ASSERT_TRUE(core.send_data(sid, body, 0, false, server.sink));
  }
  const std::string queued = core.pending;
  ASSERT_EQ(core.state.streams().find(1)->send_buffered, 100u);

  std::string out = "stale";
  g_failing = true;
  EXPECT_THROW(core.take_pending(out), std::bad_alloc);
  g_failing = false;
  EXPECT_EQ(core.pending, queued);  // nothing moved out

  ASSERT_FALSE(core.take_pending(out));
  EXPECT_EQ(out, queued);
  // The batch around `out` could not be built; meanwhile stream 3 framed more.
  ASSERT_TRUE(core.send_data(3, body, 0, false, server.sink));
  const std::string later = core.pending;
  core.untake(out);
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(core.has_pending());
  core.take_pending(out);
  EXPECT_EQ(out, queued);  // first, alone
  wake.clear();
  core.credit_written(wake);
  EXPECT_EQ(core.state.streams().find(1)->send_buffered, 0u);
  EXPECT_EQ(core.state.streams().find(3)->send_buffered, 100u);  // its last frame is still queued
  core.take_pending(out);
  EXPECT_EQ(out, later);
  core.take_pending(out);
  EXPECT_TRUE(out.empty());
}

// An HTTP/1 head whose parse runs out of memory leaves the codec as it was:
// the bytes that call appended are taken off the buffer again and the resume
// point is dropped, so the same bytes sent again complete the head once,
// with nothing left over.
TEST(H1ReceiveAlloc, FailedParseLeavesTheBufferAsItWas) {
  namespace h1 = velmora::h1;
  h1::Codec c;
  h1::RequestHead head;
  ASSERT_EQ(*c.receive_request_head("GET /a HTTP/1.1\r\n", head), h1::HeadProgress::partial);
  ASSERT_EQ(*c.receive_request_head("Host: a\r\n", head), h1::HeadProgress::partial);
  const size_t before = c.buffered();
  // The buffer has room for the last two bytes: only the parse allocates.
  g_failing = true;
  EXPECT_THROW((void)c.receive_request_head("\r\n", head), std::bad_alloc);
  g_failing = false;
  EXPECT_EQ(c.buffered(), before);
  auto r = c.receive_request_head("\r\n", head);
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, h1::HeadProgress::complete);
  EXPECT_EQ(head.target(), "/a");
  EXPECT_EQ(c.buffered(), 0u);
}
