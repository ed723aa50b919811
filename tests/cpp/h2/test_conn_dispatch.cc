// The one dispatch from a decoded frame event to its receive step: each
// event kind a peer can send, decoded from real frames, must run its own
// step (the state shows that step's effect) and answer with the verdict at
// the event's index; a refused event changes nothing it should not.
#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "proto/h2/codec.h"
#include "tests/cpp/h2/conn_testing.h"

using namespace velmora::h2;
using namespace velmora::h2::testing;

namespace {

int g_handles[4];

// Decodes `wire`, which must hold exactly one event, and applies it.
Result<EventVerdict> one(Conn& c, std::string_view wire, Handle& spare) {
  c.receive(wire);
  EXPECT_EQ(c.batch.events.size(), 1u);
  if (c.batch.events.size() != 1) return std::unexpected(ConnCore::not_started());  // reported above
  auto r = c.step(c.batch.events[0], spare);
  if (r) {
    EXPECT_EQ(r->index(), c.batch.events[0].index());
  }
  return r;
}
Result<EventVerdict> one(Conn& c, std::string_view wire) {
  Handle none = nullptr;
  return one(c, wire, none);
}

// The frames `c` queued since `from`, decoded as its peer would.
std::vector<Event> queued(Conn& c, size_t from, Role peer) {
  Receiver r;
  r.set_role(peer);
  RecvBatch batch;
  EXPECT_TRUE(r.receive(std::string_view(c.core.pending).substr(from), batch));
  return batch.events;
}

std::string priority_frame(uint32_t sid, uint32_t depends_on) {
  char p[14];
  write_frame_header(p, 5, FrameType::priority, 0, sid);
  for (int i = 0; i < 4; ++i) p[9 + i] = char(depends_on >> (24 - 8 * i));
  p[13] = 15;
  return std::string(p, sizeof p);
}

}  // namespace

TEST(ConnDispatch, EveryEventKindAServerReceivesRunsItsOwnStep) {
  ConnConfig cfg = config(Role::server);
  cfg.max_frame_size = 32768;
  Conn srv(cfg);
  ASSERT_TRUE(srv.core.begin());
  std::string w(kPreface);
  Settings s;
  s.initial_window_size = 1000;
  write_settings(w, s);

  size_t mark = srv.core.pending.size();
  auto r = one(srv, w);
  ASSERT_TRUE(r);
  EXPECT_TRUE(std::get<SettingsVerdict>(*r).initial);
  EXPECT_EQ(flags_of(*r) & kFlagWake, kFlagWake);
  EXPECT_EQ(srv.core.state.peer_initial_window_size(), 1000u);
  auto out = queued(srv, mark, Role::client);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(std::get<SettingsEvent>(out[0]).ack);

  // Our SETTINGS acknowledged: what the decoder must now apply.
  w.clear();
  write_settings_ack(w);
  r = one(srv, w);
  ASSERT_TRUE(r);
  auto& ack = std::get<SettingsVerdict>(*r);
  ASSERT_TRUE(ack.apply_to_decoder);
  EXPECT_EQ(ack.apply_to_decoder->max_frame_size, 32768u);

  // A request opens a stream with the spare as its handle.
  Sender peer;
  OutHead head;
  std::string_view scheme = "http", authority = "a.test";
  ASSERT_TRUE(build_request_head("POST", "/", &scheme, &authority, head));
  w.clear();
  ASSERT_TRUE(peer.write_headers(w, 1, head, nullptr, false));
  Handle spare = &g_handles[1];
  r = one(srv, w, spare);
  ASSERT_TRUE(r);
  EXPECT_EQ(spare, nullptr);  // the record took it
  auto& h = std::get<HeadersVerdict>(*r);
  EXPECT_EQ(h.kind, HeadersKind::opened);
  EXPECT_EQ(h.handle, &g_handles[1]);
  EXPECT_EQ(srv.core.state.num_streams(), 1u);

  w.clear();
  ASSERT_TRUE(write_data(w, 1, std::string(100, 'd'), false, 16384));
  r = one(srv, w);
  ASSERT_TRUE(r);
  EXPECT_TRUE(std::get<DataVerdict>(*r).deliver);
  EXPECT_EQ(srv.core.state.streams().find(1)->recv_unreleased, 100u);

  w.clear();
  ASSERT_TRUE(write_window_update(w, 1, 500));
  r = one(srv, w);
  ASSERT_TRUE(r);
  EXPECT_EQ(std::get<WindowVerdict>(*r).wake, &g_handles[1]);
  EXPECT_EQ(srv.core.state.streams().find(1)->send_flow.window(), 1500);

  mark = srv.core.pending.size();
  w.clear();
  ASSERT_TRUE(write_ping(w, "abcdefgh", false));
  r = one(srv, w);
  ASSERT_TRUE(r);
  EXPECT_EQ(flags_of(*r), kFlagWake);
  out = queued(srv, mark, Role::client);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(std::get<PingEvent>(out[0]).ack);

  // PRIORITY has no step: nothing queued, the stream untouched.
  mark = srv.core.pending.size();
  r = one(srv, priority_frame(1, 0));
  ASSERT_TRUE(r);
  EXPECT_TRUE(std::holds_alternative<PriorityVerdict>(*r));
  EXPECT_EQ(srv.core.pending.size(), mark);
  EXPECT_FALSE(srv.core.state.streams().find(1)->state.is_closed());

  // A PRIORITY naming its own stream is the decoder's stream error: answered
  // with reset_on_error, counted against the reset cap.
  r = one(srv, priority_frame(3, 3));
  ASSERT_TRUE(r);
  EXPECT_TRUE(std::holds_alternative<ResetVerdict>(*r));
  EXPECT_EQ(srv.core.state.local_error_resets(), 1u);
  out = queued(srv, mark, Role::client);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(std::get<RstStreamEvent>(out[0]).stream_id, 3u);

  // The peer's RST_STREAM closes the stream as the peer's reset.
  mark = srv.core.pending.size();
  w.clear();
  ASSERT_TRUE(write_rst_stream(w, 1, uint32_t(ErrorCode::cancel)));
  r = one(srv, w);
  ASSERT_TRUE(r);
  auto& rst = std::get<std::optional<RecvResetVerdict>>(*r);
  ASSERT_TRUE(rst);
  EXPECT_EQ(rst->handle, &g_handles[1]);
  ASSERT_TRUE(rst->stop);
  EXPECT_EQ(rst->stop->reason, uint32_t(ErrorCode::cancel));
  EXPECT_FALSE(rst->stop->conn);
  EXPECT_EQ(srv.core.state.num_streams(), 0u);
  EXPECT_EQ(srv.core.state.local_error_resets(), 1u);  // not our reset

  w.clear();
  ASSERT_TRUE(write_goaway(w, 0, 0, "bye"));
  r = one(srv, w);
  ASSERT_TRUE(r);
  EXPECT_TRUE(std::holds_alternative<GoAwayVerdict>(*r));
  ASSERT_TRUE(srv.core.state.peer_goaway());
}

// A client's GOAWAY aborts its streams above the last id into `aborted`;
// an event the step refuses comes back as that step's error, the spare
// still the caller's.
TEST(ConnDispatch, GoAwayAbortsIntoTheListAndRefusalsAreTheStepsErrors) {
  Conn cli(config(Role::client));
  ASSERT_TRUE(cli.core.begin());
  OutHead head;
  std::string_view scheme = "http", authority = "a.test";
  ASSERT_TRUE(build_request_head("GET", "/", &scheme, &authority, head));
  for (int i = 1; i <= 2; ++i) {
    ASSERT_TRUE(cli.core.state.try_claim_slot());
    auto id = cli.core.open_stream(head, nullptr, nullptr, true, false, &g_handles[i]);
    ASSERT_TRUE(id && *id);
  }
  std::string w;
  ASSERT_TRUE(write_goaway(w, 1, 0, ""));
  auto r = one(cli, w);
  ASSERT_TRUE(r);
  EXPECT_EQ(flags_of(*r) & kFlagSlotFreed, kFlagSlotFreed);
  ASSERT_EQ(cli.aborted.size(), 1u);
  EXPECT_EQ(cli.aborted[0].handle, &g_handles[2]);
  EXPECT_EQ(cli.aborted[0].stop.reason, 0u);
  EXPECT_EQ(cli.core.state.num_streams(), 1u);

  // HEADERS on an id the server may not use: the connection error of
  // recv_headers; the spare is not taken.
  Conn srv(config(Role::server));
  ASSERT_TRUE(srv.core.begin());
  std::string wire(kPreface);
  write_settings(wire, Settings{});
  Handle none = nullptr;
  ASSERT_TRUE(one(srv, wire, none));
  Sender peer;
  wire.clear();
  ASSERT_TRUE(peer.write_headers(wire, 2, head, nullptr, true));
  srv.receive(wire);
  ASSERT_EQ(srv.batch.events.size(), 1u);
  Handle spare = &g_handles[3];
  auto bad = srv.step(srv.batch.events[0], spare);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().kind, ErrorKind::protocol);
  EXPECT_EQ(spare, &g_handles[3]);
  EXPECT_EQ(srv.core.state.num_streams(), 0u);
}
