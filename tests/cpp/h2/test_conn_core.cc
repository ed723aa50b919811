// The state-lock side of a connection: the handshake it queues, and the two
// locks (state, then decoder) used from several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <variant>
#include <vector>

#include "proto/h2/conn_core.h"

using namespace velmora::h2;

namespace {

std::vector<Event> parse(std::string_view bytes, bool expect_preface, std::optional<uint32_t> max_frame = {}) {
  Receiver r;
  r.expect_preface(expect_preface);
  if (max_frame) r.set_max_frame_size(*max_frame);
  RecvBatch batch;
  auto ok = r.receive(bytes, batch);
  EXPECT_TRUE(ok) << (ok ? "" : ok.error().message());
  EXPECT_EQ(r.buffered(), 0u);
  return batch.events;
}

// Frames a peer sends, built with the frame layer's own encoders.
std::string data_frame(uint32_t sid, size_t len) {
  std::string out;
  EXPECT_TRUE(write_data(out, sid, std::string(len, 'x'), false, kMaxMaxFrameSize));
  return out;
}

}  // namespace

TEST(ConnCore, ClientHandshakeQueuesPrefaceSettingsAndTheWindowRaise) {
  ConnConfig c;
  c.connection_window = 1048576;
  c.initial_window_size = 1 << 20;
  c.max_frame_size = 32768;
  c.enable_push = false;
  ConnCore core(c);
  auto change = core.begin();
  ASSERT_TRUE(change);
  EXPECT_EQ(change->max_frame_size, 32768u);
  EXPECT_TRUE(core.state.settings_sent());
  ASSERT_TRUE(core.pending.starts_with(kPreface));
  auto events = parse(core.pending, true);
  ASSERT_EQ(events.size(), 2u);
  auto& s = std::get<SettingsEvent>(events[0]);
  EXPECT_FALSE(s.ack);
  EXPECT_EQ(s.settings.enable_push, false);
  EXPECT_EQ(s.settings.initial_window_size, 1u << 20);
  EXPECT_EQ(s.settings.max_frame_size, 32768u);
  EXPECT_EQ(s.settings.max_concurrent_streams, std::nullopt);  // never sent by a client
  auto& w = std::get<WindowUpdateEvent>(events[1]);
  EXPECT_EQ(w.stream_id, 0u);
  EXPECT_EQ(w.increment, 983041u);
}

TEST(ConnCore, ServerHandshakeAndSmallRaises) {
  ConnConfig c;
  c.role = Role::server;
  c.connection_window = 80000;  // below the update threshold: advertised later
  c.max_concurrent_streams = 100;
  ConnCore core(c);
  auto change = core.begin();
  ASSERT_TRUE(change);
  EXPECT_EQ(change->max_frame_size, std::nullopt);  // the default needs no early change
  auto events = parse(core.pending, false);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(std::get<SettingsEvent>(events[0]).settings.max_concurrent_streams, 100u);
  EXPECT_EQ(core.state.conn_recv_flow().available(), 80000);
}

// A second handshake would put another preface and SETTINGS (and a second
// window raise) after frames already sent.
TEST(ConnCore, ASecondBeginIsRefusedWithNothingChanged) {
  for (Role role : {Role::client, Role::server}) {
    ConnConfig c;
    c.role = role;
    c.connection_window = 1048576;
    ConnCore core(c);
    ASSERT_TRUE(core.begin());
    const std::string first = core.pending;
    const int32_t available = core.state.conn_recv_flow().available();
    auto again = core.begin();
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error(), Error::user(Misuse::begin_twice));
    EXPECT_EQ(core.pending, first);
    EXPECT_EQ(core.state.conn_recv_flow().available(), available);
  }
}

// A peer that gets our SETTINGS (max frame size 65536) may send a large frame
// right behind its ACK, in the same read. Decoding runs before the ACK is
// applied, so the decoder must take the larger limit when SETTINGS is
// queued; with the default limit the frame fails the connection.
TEST(ConnCore, ALargerFrameRightAfterTheSettingsAckIsAccepted) {
  ConnConfig c;
  c.role = Role::server;
  c.max_frame_size = 65536;
  ConnCore core(c);
  Receiver recv;
  recv.expect_preface(true);
  auto change = core.begin();
  ASSERT_TRUE(change);
  if (change->max_frame_size) recv.set_max_frame_size(*change->max_frame_size);

  std::string peer(kPreface);
  write_settings(peer, Settings{});
  write_settings_ack(peer);
  peer += data_frame(1, 40000);
  RecvBatch batch;
  ASSERT_TRUE(recv.receive(peer, batch));
  ASSERT_EQ(batch.events.size(), 3u);
  EXPECT_EQ(std::get<DataEvent>(batch.events[2]).data.size(), 40000u);

  Receiver literal;  // the limit applied only at the ACK
  literal.expect_preface(true);
  EXPECT_FALSE(literal.receive(peer, batch));
}

TEST(ConnCore, ARefusedSettingsQueuesNothing) {
  ConnConfig c;
  c.initial_window_size = 0x80000000u;  // past the constructor's check, as a caller bug would be
  ConnCore core(c);
  auto r = core.begin();
  ASSERT_FALSE(r);
  EXPECT_TRUE(core.pending.empty());
  EXPECT_FALSE(core.state.settings_sent());
}

// The connection object's arrangement: the state lock over ConnCore, the
// decoder lock over the Receiver. A read pump decodes under the decoder lock
// alone while senders run state steps and a write pump drains the pending
// buffer under the state lock; one step nests decoder inside state. Run
// under ThreadSanitizer by `tools/dev sanitize`.
TEST(ConnCore, ReadPumpSendersAndWritePumpUnderTwoLocks) {
  struct Conn {
    std::mutex state_mu;
    ConnCore core{[] {
      ConnConfig c;
      c.role = Role::server;
      c.max_frame_size = 65536;
      return c;
    }()};
    std::mutex decoder_mu;
    Receiver recv;
  } conn;
  conn.recv.expect_preface(true);
  {
    std::lock_guard s(conn.state_mu);
    auto change = conn.core.begin();
    ASSERT_TRUE(change);
    std::lock_guard d(conn.decoder_mu);
    conn.recv.set_max_frame_size(*change->max_frame_size);
  }

  std::string peer(kPreface);
  write_settings(peer, Settings{});
  for (int i = 0; i < 300; ++i) {
    ASSERT_TRUE(write_ping(peer, "pingpong", false));
    peer += data_frame(1 + 2 * uint32_t(i % 50), size_t(i) * 97 % 20000);
  }

  std::atomic<bool> done{false};
  std::atomic<size_t> events{0}, queued{0};
  std::thread reader([&] {
    RecvBatch batch;
    for (size_t off = 0; off < peer.size(); off += 777) {
      std::lock_guard d(conn.decoder_mu);
      auto ok = conn.recv.receive(std::string_view(peer).substr(off, 777), batch);
      ASSERT_TRUE(ok);
      events += batch.events.size();
    }
    done = true;
  });
  std::vector<std::thread> senders;
  for (int t = 0; t < 3; ++t)
    senders.emplace_back([&, t] {
      for (int i = 0; !done || i < 200; ++i) {
        std::lock_guard s(conn.state_mu);
        ConnState& st = conn.core.state;
        if (i % 7 == 0) {
          // The one nesting: state lock, then decoder lock.
          std::lock_guard d(conn.decoder_mu);
          EXPECT_EQ(conn.recv.max_frame_size(), 65536u);
          continue;
        }
        if (st.conn_recv_flow().send_data(100)) {
          auto inc = st.conn_recv_flow().release(100);
          ASSERT_TRUE(inc);
          if (*inc) {
            conn.core.window_update(0, *inc);
            ++queued;
          }
        }
        conn.core.rst_stream(1 + 2 * uint32_t(t), 8);
        ++queued;
      }
    });
  std::string written;
  std::thread pump([&] {
    while (!done || !written.empty()) {
      std::string batch;
      {
        std::lock_guard s(conn.state_mu);
        batch.swap(conn.core.pending);
      }
      written += batch;
      if (done && batch.empty()) break;
    }
  });
  reader.join();
  for (auto& s : senders) s.join();
  pump.join();
  written += conn.core.pending;
  EXPECT_EQ(events.load(), 601u);  // SETTINGS, then a PING and a DATA per round
  // Everything the senders queued, taken in pieces by the pump, is whole frames.
  Receiver check;
  RecvBatch out;
  ASSERT_TRUE(check.receive(written, out));
  EXPECT_EQ(check.buffered(), 0u);
  EXPECT_EQ(out.events.size(), 1 + queued.load());  // our SETTINGS, then none lost, none doubled
}

namespace {

std::vector<uint32_t> goaway_ids(std::string_view bytes) {
  std::vector<uint32_t> ids;
  for (const Event& e : parse(bytes, false))
    if (auto* g = std::get_if<GoAwayEvent>(&e)) ids.push_back(g->last_stream_id);
  return ids;
}

ConnConfig server_config() {
  ConnConfig c;
  c.role = Role::server;
  return c;
}

// After the handshake, with what it queued already written.
void start(ConnCore& core) {
  ASSERT_TRUE(core.begin());
  core.pending.clear();
}

}  // namespace

// A peer may act on each GOAWAY at once: successive ones never raise the last
// stream id, and nothing above the id named is accepted afterwards.
TEST(ConnCore, GoAwaysNeverRaiseTheLastStreamIdAndCloseTheIdsAboveIt) {
  {  // a violation first, a graceful shutdown afterwards: no GOAWAY(2^31-1), no PING
    ConnCore core(server_config());
    start(core);
    core.state.set_last_processed_id(5);
    EXPECT_EQ(core.send_goaway(uint32_t(ErrorCode::protocol_error)).value_or(0), uint32_t(kFlagWake));
    EXPECT_EQ(core.state.max_stream_id(), 5u);
    core.pending.clear();
    auto r = core.begin_graceful_shutdown();
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, uint32_t(kFlagStopAccepting));
    EXPECT_TRUE(core.pending.empty());
    EXPECT_TRUE(core.state.graceful() && core.state.shutdown_final());
    EXPECT_EQ(core.state.max_stream_id(), 5u);
  }
  {  // the ordinary shutdown, with a violation between its two phases
    ConnCore core(server_config());
    start(core);
    core.state.set_last_processed_id(3);
    ASSERT_TRUE(core.begin_graceful_shutdown());
    EXPECT_EQ(core.state.max_stream_id(), kMaxStreamId);  // phase 1 closes nothing
    core.state.set_last_processed_id(7);
    ASSERT_TRUE(core.send_goaway(uint32_t(ErrorCode::protocol_error)));
    EXPECT_EQ(core.state.max_stream_id(), 7u);
    ASSERT_TRUE(core.recv_ping(true, kShutdownPing));
    EXPECT_TRUE(core.state.shutdown_final());
    EXPECT_EQ(goaway_ids(core.pending), (std::vector<uint32_t>{kMaxStreamId, 7, 7}));
  }
  {  // a GOAWAY naming a higher id than one already sent is lowered to it
    ConnCore core(server_config());
    start(core);
    core.state.set_last_processed_id(1);
    ASSERT_TRUE(core.send_goaway(0));
    core.state.set_last_processed_id(9);  // as a test hook can; the core never gets there itself
    ASSERT_TRUE(core.send_goaway(0));
    EXPECT_EQ(goaway_ids(core.pending), (std::vector<uint32_t>{1, 1}));
    EXPECT_EQ(core.state.max_stream_id(), 1u);
  }
}

TEST(ConnCore, ARequestRefusedForItsContentLengthIsNotLeftQueuedForTheApplication) {
  ConnCore core(server_config());
  start(core);
  struct : HandleSink {
    void drop(Handle) noexcept override {}
  } sink;
  int spare_object = 0;
  HeadersIn in;
  in.stream_id = 1;
  in.pseudo = true;
  in.content_length_invalid = true;
  Handle spare = &spare_object;
  auto r = core.recv_headers(in, spare, sink);
  ASSERT_FALSE(r);
  EXPECT_EQ(spare, nullptr);  // the record took it
  EXPECT_FALSE(core.state.streams().is_pending_accept(1));
  EXPECT_EQ(core.state.num_streams(), 1u);  // live until the driver's reset
  ASSERT_TRUE(core.reset_on_error(1, uint32_t(ErrorCode::protocol_error), sink));
  EXPECT_EQ(core.state.num_streams(), 0u);
  EXPECT_FALSE(core.state.streams().find(1));
}

TEST(ConnCore, ARequestRefusedBeforeItOpenedStillUsesItsId) {
  ConnCore core(server_config());
  start(core);
  struct : HandleSink {
    void drop(Handle) noexcept override {}
  } sink;
  int spare_object = 0;
  auto headers = [&](uint32_t sid, bool pseudo, bool end_stream) {
    HeadersIn in;
    in.stream_id = sid;
    in.pseudo = pseudo;
    in.end_stream = end_stream;
    Handle spare = &spare_object;
    return core.recv_headers(in, spare, sink);
  };
  // A head without any pseudo-header where a request must start.
  auto r = headers(5, false, true);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), Error::stream(5, 1, Initiator::library));
  EXPECT_EQ(core.state.num_streams(), 0u);
  ASSERT_TRUE(core.reset_on_error(5, uint32_t(ErrorCode::protocol_error), sink));
  r = headers(3, true, true);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "invalid new stream id 3");

  // A block the codec refused never reaches recv_headers: the reset alone
  // must count its id.
  ASSERT_TRUE(core.reset_on_error(9, uint32_t(ErrorCode::protocol_error), sink));
  EXPECT_TRUE(core.state.is_used_id(9));
  EXPECT_TRUE(core.state.is_used_id(7));
  r = headers(7, true, true);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "invalid new stream id 7");
  // Ids above it open as usual.
  ASSERT_TRUE(headers(11, true, false));
  // Trailers must not carry a pseudo-header.
  r = headers(11, true, true);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), Error::stream(11, 1, Initiator::library));
  ASSERT_TRUE(headers(13, true, false));
  ASSERT_TRUE(headers(13, false, true));
}
