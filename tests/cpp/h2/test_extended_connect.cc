// Extended CONNECT (RFC 8441) on two connection cores back to back: the
// setting that allows it, the client that may not open one before it, the
// request rules on the server with the option on and off, and the tunnel the
// stream becomes.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <variant>
#include <vector>

#include "tests/cpp/h2/conn_testing.h"

using namespace velmora::h2;
using namespace velmora::h2::testing;
namespace http = velmora::http;

namespace {

int g_handles[8];

struct Pair {
  explicit Pair(bool server_allows) : client(config(Role::client)), server(server_config(server_allows)) {
    server.recv.set_extended_connect(server_allows);
    EXPECT_TRUE(client.core.begin());
    EXPECT_TRUE(server.core.begin());
    settle();
  }

  static ConnConfig server_config(bool allows) {
    ConnConfig c = config(Role::server);
    c.enable_connect_protocol = allows;
    return c;
  }

  Conn client, server;
  std::vector<Event> to_client, to_server;  // every event each side received
  std::vector<Error> client_errors, server_errors;
  std::vector<uint32_t> opened;

  // One side's pending bytes into the other's steps. Stream errors are
  // answered with reset_on_error, as a driver does; DATA is released at once.
  bool deliver(Conn& from, Conn& to, std::vector<Event>& seen, std::vector<Error>& errors) {
    std::string wire, scratch;
    from.pump(wire, scratch);
    if (wire.empty()) return false;
    to.receive(wire);
    for (const Event& ev : to.batch.events) {
      seen.push_back(copy(ev));
      Handle spare = &g_handles[1];
      auto r = to.step(ev, spare);
      std::lock_guard<std::mutex> s(to.mu);
      if (!r) {
        errors.push_back(r.error());
        EXPECT_EQ(r.error().kind, ErrorKind::stream) << r.error().message();
        EXPECT_TRUE(to.core.reset_on_error(r.error().stream_id, r.error().code, to.sink));
        continue;
      }
      if (auto* h = std::get_if<HeadersVerdict>(&*r); h && h->kind == HeadersKind::opened)
        opened.push_back(h->stream_id);
      if (auto* d = std::get_if<DataVerdict>(&*r); d && d->deliver) {
        const auto& data = std::get<DataEvent>(ev);
        EXPECT_TRUE(to.core.release_capacity(data.stream_id, uint32_t(data.data.size()), to.sink));
        if (d->budgeted) to.core.release_data_frame(data.stream_id, data.data.size(), to.sink);
      }
    }
    return true;
  }

  // DATA views point into the batch: keep their bytes.
  std::deque<std::string> payloads;  // never moves what it holds
  Event copy(const Event& ev) {
    if (auto* d = std::get_if<DataEvent>(&ev)) {
      payloads.emplace_back(d->data);
      DataEvent c = *d;
      c.data = payloads.back();
      return c;
    }
    if (auto* h = std::get_if<HeadersEvent>(&ev)) {
      HeadersEvent c{h->stream_id, h->end_stream, {}};
      auto keep = [&](const std::optional<std::string_view>& v) -> std::optional<std::string_view> {
        if (!v) return std::nullopt;
        return payloads.emplace_back(*v);
      };
      c.head.method = keep(h->head.method), c.head.scheme = keep(h->head.scheme);
      c.head.authority = keep(h->head.authority), c.head.path = keep(h->head.path);
      c.head.protocol = keep(h->head.protocol), c.head.status = h->head.status;
      return c;
    }
    return ev;
  }

  void settle() {
    for (int i = 0; i < 1000; ++i) {
      bool a = deliver(client, server, to_server, server_errors);
      bool b = deliver(server, client, to_client, client_errors);
      if (!a && !b) return;
    }
    FAIL() << "never settled";
  }

  // An extended CONNECT from the client; the claimed slot is the stream's.
  Result<std::optional<uint32_t>> open(std::string_view protocol, const http::HeaderMap* fields = nullptr) {
    std::string_view scheme = "https", authority = "example.test";
    OutHead head;
    EXPECT_TRUE(build_request_head("CONNECT", "/chat", &scheme, &authority, head, &protocol));
    std::lock_guard<std::mutex> s(client.mu);
    EXPECT_TRUE(client.core.state.try_claim_slot());
    return client.core.open_stream(head, nullptr, fields, false, false, &g_handles[0]);
  }

  // An extended CONNECT opened and delivered to the server: its id, 0 on failure.
  uint32_t open_delivered(const http::HeaderMap* fields = nullptr) {
    auto r = open("websocket", fields);
    EXPECT_TRUE(r && *r);
    if (!r || !*r) return 0;
    settle();
    return **r;
  }

  SendVerdict send(Conn& side, uint32_t sid, std::string_view data, bool end_stream) {
    std::lock_guard<std::mutex> s(side.mu);
    auto r = side.core.send_data(sid, data, 0, end_stream, side.sink);
    EXPECT_TRUE(r && r->sent == data.size() && r->done);
    return r.value_or(SendVerdict{});
  }

  void respond(uint32_t sid, uint32_t status, const http::HeaderMap* fields, bool end_stream) {
    OutHead head;
    ASSERT_TRUE(build_response_head(status, head));
    std::lock_guard<std::mutex> s(server.mu);
    ASSERT_TRUE(server.core.send_response_head(sid, head, nullptr, fields, {}, end_stream, server.sink));
  }

  std::string state_of(Conn& side, uint32_t sid) {
    std::lock_guard<std::mutex> s(side.mu);
    StreamRecord* r = side.core.state.streams().find(sid);
    return r ? std::string(r->state.describe()) : "gone";
  }

  // The DATA bytes one side received on `sid`, and whether its last frame ended the stream.
  static std::string body(const std::vector<Event>& seen, uint32_t sid, bool* ended = nullptr) {
    std::string out;
    for (const Event& ev : seen)
      if (auto* d = std::get_if<DataEvent>(&ev); d && d->stream_id == sid) {
        out.append(d->data);
        if (ended) *ended = d->end_stream;
      }
    return out;
  }
  static bool saw_rst(const std::vector<Event>& seen, uint32_t sid) {
    for (const Event& ev : seen)
      if (auto* r = std::get_if<RstStreamEvent>(&ev); r && r->stream_id == sid) return true;
    return false;
  }
};

http::HeaderMap fields_of(std::initializer_list<std::pair<std::string_view, std::string_view>> kv) {
  http::HeaderMap::Builder b;
  for (auto& [k, v] : kv) EXPECT_TRUE(b.add(k, v));
  return std::move(b).finish();
}

}  // namespace

TEST(ExtendedConnect, TheServerOptionIsItsSettingAndTheClientReadsIt) {
  {
    Pair p(true);
    EXPECT_EQ(p.server.core.state.local_settings().enable_connect_protocol, true);
    EXPECT_TRUE(p.client.core.state.peer_connect_protocol());
    // The client's own option is ignored: it never advertises the setting.
    ConnConfig c = config(Role::client);
    c.enable_connect_protocol = true;
    ConnCore client(c);
    EXPECT_FALSE(client.state.local_settings().enable_connect_protocol);
  }
  Pair off(false);
  EXPECT_FALSE(off.server.core.state.local_settings().enable_connect_protocol);
  EXPECT_FALSE(off.client.core.state.peer_connect_protocol());
}

TEST(ExtendedConnect, APeerMayNotWithdrawTheSetting) {
  Pair p(true);
  std::vector<Handle> wake;
  Settings zero;
  zero.enable_connect_protocol = false;
  std::lock_guard<std::mutex> s(p.client.mu);
  const size_t before = p.client.core.pending.size();
  auto r = p.client.core.recv_settings(false, zero, wake);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), Error::protocol(1, ConnFailure::connect_protocol_withdrawn));
  EXPECT_EQ(r.error().message(), "SETTINGS_ENABLE_CONNECT_PROTOCOL may not change from 1 to 0");
  EXPECT_EQ(p.client.core.pending.size(), before);  // not even the ACK
  EXPECT_TRUE(p.client.core.state.peer_connect_protocol());
  // Repeating 1 is fine; so is 0 from a peer that never said 1.
  Settings one;
  one.enable_connect_protocol = true;
  EXPECT_TRUE(p.client.core.recv_settings(false, one, wake));
  Pair off(false);
  std::lock_guard<std::mutex> s2(off.client.mu);
  EXPECT_TRUE(off.client.core.recv_settings(false, zero, wake));
  EXPECT_FALSE(off.client.core.state.peer_connect_protocol());
}

TEST(ExtendedConnect, TheClientWaitsForTheServersSetting) {
  // Before the server's SETTINGS arrived, and against a server that never
  // allows it: refused, the slot given back, no id used, nothing queued.
  Conn early(config(Role::client));
  ASSERT_TRUE(early.core.begin());
  Pair off(false);
  for (Conn* c : {&early, &off.client}) {
    std::string_view scheme = "https", authority = "example.test", protocol = "websocket";
    OutHead head;
    ASSERT_TRUE(build_request_head("CONNECT", "/chat", &scheme, &authority, head, &protocol));
    std::lock_guard<std::mutex> s(c->mu);
    ASSERT_TRUE(c->core.state.try_claim_slot());
    const size_t before = c->core.pending.size();
    auto r = c->core.open_stream(head, nullptr, nullptr, false, false, &g_handles[0]);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), Error::user(Misuse::connect_protocol_disabled));
    EXPECT_EQ(c->core.state.num_open_streams(), 0u);
    EXPECT_EQ(c->core.state.next_stream_id(), 1u);
    EXPECT_EQ(c->core.pending.size(), before);
  }
  // A plain CONNECT needs no setting.
  std::string_view scheme = "https", authority = "example.test:443";
  OutHead head;
  ASSERT_TRUE(build_request_head("CONNECT", "example.test:443", &scheme, &authority, head));
  std::lock_guard<std::mutex> s(off.client.mu);
  ASSERT_TRUE(off.client.core.state.try_claim_slot());
  auto r = off.client.core.open_stream(head, nullptr, nullptr, false, false, &g_handles[0]);
  ASSERT_TRUE(r && *r);
}

TEST(ExtendedConnect, TheRequestHeadCarriesEveryPseudoHeader) {
  std::string_view scheme = "https", authority = "example.test", protocol = "websocket";
  OutHead head;
  ASSERT_TRUE(build_request_head("CONNECT", "/chat?room=1", &scheme, &authority, head, &protocol));
  EXPECT_EQ(head.scheme, "https");
  EXPECT_EQ(head.path, "/chat?room=1");
  EXPECT_EQ(head.authority, "example.test");
  EXPECT_EQ(head.protocol, "websocket");
  auto bad = build_request_head("GET", "/chat", &scheme, &authority, head, &protocol);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message(), "a request with a protocol must use the CONNECT method");
  std::string_view spaced = "web socket";
  bad = build_request_head("CONNECT", "/chat", &scheme, &authority, head, &spaced);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message(), "invalid protocol: not a token");
}

TEST(ExtendedConnect, WithTheOptionOffTheRequestIsMalformed) {
  Pair p(false);
  // A client that believes otherwise.
  p.client.core.state.set_peer_connect_protocol(true);
  auto r = p.open("websocket");
  ASSERT_TRUE(r && *r);
  p.settle();
  EXPECT_TRUE(p.opened.empty());
  ASSERT_FALSE(p.to_server.empty());
  bool reported = false;
  for (const Event& ev : p.to_server)
    if (auto* e = std::get_if<StreamErrorEvent>(&ev)) reported = e->stream_id == **r && e->error_code == 1;
  EXPECT_TRUE(reported);
  EXPECT_TRUE(Pair::saw_rst(p.to_client, **r));
  EXPECT_EQ(p.state_of(p.client, **r), "gone");
}

TEST(ExtendedConnect, TheStreamIsATunnelWithoutContentLength) {
  Pair p(true);
  // A content-length on either head says nothing about a tunnel.
  http::HeaderMap req = fields_of({{"sec-websocket-version", "13"}, {"content-length", "2"}});
  const uint32_t sid = p.open_delivered(&req);
  ASSERT_EQ(p.opened, std::vector<uint32_t>{sid});
  const auto* head = std::get_if<HeadersEvent>(&p.to_server.back());
  ASSERT_TRUE(head);
  EXPECT_EQ(head->head.method, "CONNECT");
  EXPECT_EQ(head->head.protocol, "websocket");
  EXPECT_EQ(head->head.path, "/chat");
  EXPECT_EQ(head->head.scheme, "https");

  http::HeaderMap resp = fields_of({{"content-length", "0"}});
  p.respond(sid, 200, &resp, false);
  // Larger than any window: flow control applies to a tunnel as to any body.
  std::string down(100000, 'd'), up(5000, 'u');
  uint64_t off = 0;
  for (int i = 0; off < down.size() && i < 1000; ++i) {
    {
      std::lock_guard<std::mutex> s(p.server.mu);
      auto v = p.server.core.send_data(sid, down, off, false, p.server.sink);
      ASSERT_TRUE(v);
      off += v->sent;
    }
    p.settle();
  }
  ASSERT_EQ(off, down.size());
  p.send(p.client, sid, up, false);
  p.settle();
  EXPECT_TRUE(p.client_errors.empty());
  EXPECT_TRUE(p.server_errors.empty());
  EXPECT_EQ(Pair::body(p.to_client, sid), down);
  EXPECT_EQ(Pair::body(p.to_server, sid), up);

  // The server ends its half: the client's half stays open, no reset.
  p.send(p.server, sid, "bye", true);
  p.settle();
  EXPECT_FALSE(Pair::saw_rst(p.to_client, sid));
  EXPECT_EQ(p.state_of(p.server, sid), "HalfClosedLocal(Streaming)");
  EXPECT_EQ(p.state_of(p.client, sid), "HalfClosedRemote(Streaming)");
  p.send(p.client, sid, "last", true);
  p.settle();
  bool ended = false;
  EXPECT_EQ(Pair::body(p.to_server, sid, &ended), up + "last");
  EXPECT_TRUE(ended);
  EXPECT_EQ(p.state_of(p.server, sid), "gone");
  EXPECT_EQ(p.state_of(p.client, sid), "gone");
  EXPECT_EQ(p.server.core.state.num_streams(), 0u);
  EXPECT_EQ(p.client.core.state.num_streams(), 0u);
  EXPECT_EQ(p.client.core.state.num_open_streams(), 0u);
  EXPECT_TRUE(p.client_errors.empty() && p.server_errors.empty());
}

TEST(ExtendedConnect, ATunnelCarriesNoTrailersAndEndsWithAReset) {
  Pair p(true);
  const uint32_t sid = p.open_delivered();
  p.respond(sid, 200, nullptr, false);
  p.settle();
  {
    std::lock_guard<std::mutex> s(p.client.mu);
    ASSERT_TRUE(p.client.core.send_trailers(sid, fields_of({{"x-t", "1"}}), p.client.sink));
  }
  p.settle();
  ASSERT_EQ(p.server_errors.size(), 1u);
  EXPECT_EQ(p.server_errors[0], Error::stream(sid, 1, Initiator::library));
  EXPECT_TRUE(Pair::saw_rst(p.to_client, sid));
  EXPECT_EQ(p.server.core.state.num_streams(), 0u);
  EXPECT_EQ(p.client.core.state.num_streams(), 0u);

  const uint32_t sid2 = p.open_delivered();
  p.respond(sid2, 200, nullptr, false);
  {
    std::lock_guard<std::mutex> s(p.client.mu);
    ASSERT_TRUE(p.client.core.reset_stream(sid2, uint32_t(ErrorCode::cancel), Initiator::user, p.client.sink));
  }
  p.settle();
  EXPECT_TRUE(Pair::saw_rst(p.to_server, sid2));
  EXPECT_EQ(p.server.core.state.num_streams(), 0u);
  EXPECT_EQ(p.client.core.state.num_streams(), 0u);
}

TEST(ExtendedConnect, ARefusalIsAnOrdinaryResponse) {
  Pair p(true);
  const uint32_t sid = p.open_delivered();
  // Not a 2xx: the content-length holds again, and the server's end resets
  // the request half it never read.
  http::HeaderMap resp = fields_of({{"content-length", "3"}});
  p.respond(sid, 404, &resp, false);
  p.send(p.server, sid, "nope!", true);
  p.settle();
  ASSERT_EQ(p.client_errors.size(), 1u);
  EXPECT_EQ(p.client_errors[0], Error::stream(sid, 1, Initiator::library));

  const uint32_t sid2 = p.open_delivered();
  p.respond(sid2, 403, nullptr, true);
  p.settle();
  EXPECT_TRUE(Pair::saw_rst(p.to_client, sid2));
  EXPECT_EQ(p.server.core.state.num_streams(), 0u);
  EXPECT_EQ(p.client.core.state.num_streams(), 0u);
}
