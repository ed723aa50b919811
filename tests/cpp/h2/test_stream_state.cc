// The stream state machine: every transition from every state, and the
// resets that must keep a complete message readable.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "proto/h2/stream_state.h"

using namespace velmora::h2;

namespace {

// One reachable instance of every state shape.
struct Named {
  const char* expect;
  StreamState s;
};

std::vector<Named> every_state() {
  std::vector<Named> out;
  auto add = [&](const char* name, std::function<void(StreamState&)> build) {
    StreamState s;
    build(s);
    out.push_back({name, s});
  };
  add("Idle", [](StreamState&) {});
  add("ReservedLocal", [](StreamState& s) { ASSERT_TRUE(s.reserve_local()); });
  add("ReservedRemote", [](StreamState& s) { ASSERT_TRUE(s.reserve_remote()); });
  add("Open { local: AwaitingHeaders, remote: AwaitingHeaders }",
      [](StreamState& s) { ASSERT_TRUE(s.recv_open(false, true)); });
  add("Open { local: AwaitingHeaders, remote: Streaming }",
      [](StreamState& s) { ASSERT_TRUE(s.recv_open(false, false)); });
  add("Open { local: Streaming, remote: AwaitingHeaders }", [](StreamState& s) { ASSERT_TRUE(s.send_open(false)); });
  add("Open { local: Streaming, remote: Streaming }", [](StreamState& s) {
    ASSERT_TRUE(s.send_open(false));
    ASSERT_TRUE(s.recv_open(false, false));
  });
  add("HalfClosedLocal(AwaitingHeaders)", [](StreamState& s) { ASSERT_TRUE(s.send_open(true)); });
  add("HalfClosedLocal(Streaming)", [](StreamState& s) {
    ASSERT_TRUE(s.send_open(true));
    ASSERT_TRUE(s.recv_open(false, false));
  });
  add("HalfClosedRemote(AwaitingHeaders)", [](StreamState& s) { ASSERT_TRUE(s.recv_open(true, false)); });
  add("HalfClosedRemote(Streaming)", [](StreamState& s) {
    ASSERT_TRUE(s.recv_open(true, false));
    ASSERT_TRUE(s.send_open(false));
  });
  add("Closed(EndStream)", [](StreamState& s) {
    ASSERT_TRUE(s.send_open(true));
    ASSERT_TRUE(s.recv_open(true, false));
  });
  add("Closed(Error(Reset(1, CANCEL, Remote)))", [](StreamState& s) { s.recv_reset(1, 8, false); });
  add("Closed(ScheduledLibraryReset(CANCEL))", [](StreamState& s) { ASSERT_TRUE(s.set_scheduled_reset(8)); });
  add("Closed(Error(Io(BrokenPipe)))", [](StreamState& s) { s.recv_eof(); });
  return out;
}

bool is_user_error(const Error& e) {
  return e.kind == ErrorKind::user && e.misuse == Misuse::unexpected_frame_type;
}
bool is_protocol_error(const Error& e) {
  return e.kind == ErrorKind::protocol && e.code == 1 && e.message() == "unspecific protocol error detected";
}

}  // namespace

TEST(StreamState, EveryStateRendersAsItsDebugForm) {
  for (const Named& n : every_state()) EXPECT_EQ(n.s.describe(), n.expect);
}

// The transition tables: from every state, each opening step either moves
// to the state the table gives or fails with its error kind and leaves the
// state exactly as it was.
TEST(StreamState, OpeningStepsFollowTheTablesOrFailUnchanged) {
  struct Row {
    const char* from;
    const char* send_open_false;  // nullptr: refused
    const char* send_open_true;
  };
  const Row send_rows[] = {
      {"Idle", "Open { local: Streaming, remote: AwaitingHeaders }", "HalfClosedLocal(AwaitingHeaders)"},
      {"Open { local: AwaitingHeaders, remote: Streaming }", "Open { local: Streaming, remote: Streaming }",
       "HalfClosedLocal(Streaming)"},
      {"HalfClosedRemote(AwaitingHeaders)", "HalfClosedRemote(Streaming)", "Closed(EndStream)"},
      {"ReservedLocal", "HalfClosedRemote(Streaming)", "Closed(EndStream)"},
  };
  for (const Named& n : every_state()) {
    const Row* row = nullptr;
    for (const Row& r : send_rows)
      if (std::string(r.from) == n.expect) row = &r;
    if (std::string(n.expect) == "Open { local: AwaitingHeaders, remote: AwaitingHeaders }") continue;  // below
    for (bool eos : {false, true}) {
      StreamState s = n.s;
      auto r = s.send_open(eos);
      if (row) {
        ASSERT_TRUE(r) << n.expect;
        EXPECT_EQ(s.describe(), eos ? row->send_open_true : row->send_open_false) << n.expect;
      } else {
        ASSERT_FALSE(r) << n.expect;
        EXPECT_TRUE(is_user_error(r.error())) << n.expect;
        EXPECT_EQ(s, n.s) << n.expect;
      }
    }
  }

  struct RecvRow {
    const char* from;
    const char* eos;
    const char* informational;
    const char* final_head;
    bool opened;
  };
  const RecvRow recv_rows[] = {
      {"Idle", "HalfClosedRemote(AwaitingHeaders)", "Open { local: AwaitingHeaders, remote: AwaitingHeaders }",
       "Open { local: AwaitingHeaders, remote: Streaming }", true},
      {"ReservedRemote", "Closed(EndStream)", "ReservedRemote", "HalfClosedLocal(Streaming)", true},
      {"Open { local: Streaming, remote: AwaitingHeaders }", "HalfClosedRemote(Streaming)",
       "Open { local: Streaming, remote: AwaitingHeaders }", "Open { local: Streaming, remote: Streaming }", false},
      {"Open { local: AwaitingHeaders, remote: AwaitingHeaders }", "HalfClosedRemote(AwaitingHeaders)",
       "Open { local: AwaitingHeaders, remote: AwaitingHeaders }",
       "Open { local: AwaitingHeaders, remote: Streaming }", false},
      {"HalfClosedLocal(AwaitingHeaders)", "Closed(EndStream)", "HalfClosedLocal(AwaitingHeaders)",
       "HalfClosedLocal(Streaming)", false},
  };
  for (const Named& n : every_state()) {
    const RecvRow* row = nullptr;
    for (const RecvRow& r : recv_rows)
      if (std::string(r.from) == n.expect) row = &r;
    for (int variant = 0; variant < 3; ++variant) {
      StreamState s = n.s;
      auto r = s.recv_open(variant == 0, variant == 1);
      if (row) {
        ASSERT_TRUE(r) << n.expect;
        EXPECT_EQ(*r, row->opened) << n.expect;
        const char* want = variant == 0 ? row->eos : variant == 1 ? row->informational : row->final_head;
        EXPECT_EQ(s.describe(), want) << n.expect << " variant " << variant;
      } else {
        ASSERT_FALSE(r) << n.expect;
        EXPECT_TRUE(is_protocol_error(r.error())) << n.expect;
        EXPECT_EQ(s, n.s) << n.expect;
      }
    }
  }
}

TEST(StreamState, ClosingStepsAndReservations) {
  for (const Named& n : every_state()) {
    std::string from = n.expect;
    StreamState s = n.s;
    auto r = s.recv_close();
    if (from.starts_with("Open")) {
      ASSERT_TRUE(r);
      EXPECT_TRUE(s.describe().starts_with("HalfClosedRemote(")) << from;
    } else if (from.starts_with("HalfClosedLocal")) {
      ASSERT_TRUE(r);
      EXPECT_EQ(s.describe(), "Closed(EndStream)");
    } else {
      ASSERT_FALSE(r) << from;
      EXPECT_TRUE(is_protocol_error(r.error()));
      EXPECT_EQ(s, n.s);
    }

    StreamState c = n.s;
    bool moved = c.send_close();
    EXPECT_EQ(moved, n.s.is_send_streaming()) << from;
    if (!moved) {
      EXPECT_EQ(c, n.s);
    }

    StreamState a = n.s, b = n.s;
    auto ra = a.reserve_local();
    auto rb = b.reserve_remote();
    EXPECT_EQ(bool(ra), from == "Idle");
    EXPECT_EQ(bool(rb), from == "Idle");
    if (from != "Idle") {
      EXPECT_TRUE(is_user_error(ra.error()));
      EXPECT_TRUE(is_protocol_error(rb.error()));
    }
  }
}

TEST(StreamState, AClientStreamThroughA100ContinueHead) {
  StreamState s;
  ASSERT_TRUE(s.send_open(false));
  ASSERT_TRUE(s.recv_open(false, true));
  EXPECT_TRUE(s.is_recv_headers());
  ASSERT_TRUE(s.recv_open(false, false));
  EXPECT_TRUE(s.is_recv_streaming());
  ASSERT_TRUE(s.recv_close());
  EXPECT_EQ(s.describe(), "HalfClosedRemote(Streaming)");
  EXPECT_TRUE(s.is_send_streaming());
}

TEST(StreamState, AResetAfterThePeersEndStreamKeepsTheMessageReadable) {
  StreamState s;  // server: request complete, response still streaming
  ASSERT_TRUE(s.recv_open(true, false));
  ASSERT_TRUE(s.send_open(false));
  s.recv_reset(1, 8, false);
  EXPECT_TRUE(s.is_recv_end_stream());
  EXPECT_TRUE(s.is_reset());
  EXPECT_TRUE(s.is_send_closed());
  EXPECT_TRUE(s.is_remote_reset());
  EXPECT_FALSE(s.is_local_error());
  auto r = s.ensure_recv_open();
  ASSERT_TRUE(r);
  EXPECT_FALSE(*r);

  StreamState mid;  // body still arriving: the reset is the reader's error
  ASSERT_TRUE(mid.recv_open(false, false));
  mid.recv_reset(3, 2, false);
  EXPECT_FALSE(mid.is_recv_end_stream());
  auto e = mid.ensure_recv_open();
  ASSERT_FALSE(e);
  EXPECT_EQ(e.error(), Error::stream(3, 2, Initiator::remote));
}

TEST(StreamState, ResetsOnClosedStreams) {
  StreamState done;
  ASSERT_TRUE(done.send_open(true));
  ASSERT_TRUE(done.recv_open(true, false));
  StreamState s = done;
  s.recv_reset(1, 8, false);  // too late: nothing to reset
  EXPECT_EQ(s, done);
  s.recv_reset(1, 8, true);  // our RST_STREAM was queued
  EXPECT_EQ(s.describe(), "Closed(ErrorAfterEndStream(Reset(1, CANCEL, Remote)))");
  EXPECT_FALSE(s.send_close());

  StreamState sched;
  EXPECT_TRUE(sched.set_scheduled_reset(8));
  EXPECT_EQ(sched.scheduled_reset(), 8u);
  EXPECT_FALSE(sched.set_scheduled_reset(2));
  EXPECT_EQ(sched.scheduled_reset(), 8u);
  EXPECT_TRUE(sched.is_local_error());
  auto e = sched.ensure_recv_open();
  ASSERT_FALSE(e);
  EXPECT_EQ(e.error(), Error::protocol(8));
  EXPECT_EQ(e.error().message(), "stream no longer needed");

  sched.set_reset(5, 0, Initiator::user);  // set_reset overwrites any cause
  EXPECT_EQ(sched.describe(), "Closed(Error(Reset(5, NO_ERROR, User)))");
  EXPECT_TRUE(sched.is_local_error());
  EXPECT_EQ(sched.scheduled_reset(), std::nullopt);

  StreamState eof;
  eof.recv_eof();
  auto io = eof.ensure_recv_open();
  ASSERT_FALSE(io);
  EXPECT_EQ(io.error().kind, ErrorKind::io);
  EXPECT_EQ(io.error().message(), "stream closed because of a broken pipe");
  StreamState eof2 = eof;
  eof2.recv_eof();  // a closed stream keeps its cause
  EXPECT_EQ(eof2, eof);
}
