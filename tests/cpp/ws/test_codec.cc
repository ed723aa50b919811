// The WebSocket codec: every violation answered with its close code and a
// codec that stays consistent afterwards; input split anywhere decoding as
// the whole input does; text split inside a code point across frames; the
// limits at their bounds; the close handshake's states; frames we send read
// back by the opposite role.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "proto/ws/codec.h"
#include "tests/cpp/ws/ws_wire.h"

namespace velmora::ws {
namespace {

using test::close_payload;
using test::feed;
using test::merged;
using test::frame;

Config server_cfg() { return Config{.role = Role::server}; }
Config client_cfg() { return Config{.role = Role::client}; }

struct Violation {
  const char* name;
  Role role;
  std::string input;
  ErrorKind kind;
  uint16_t code;
};

std::vector<Violation> violations() {
  const bool M = true;  // what a client sends
  std::string big126(126, 'x');
  return {
      {"rsv1_without_extension", Role::server, frame(0xc1, "a", M), ErrorKind::reserved_bits, 1002},
      {"rsv2", Role::server, frame(0xa1, "a", M), ErrorKind::reserved_bits, 1002},
      {"rsv3", Role::client, frame(0x91, "a", false), ErrorKind::reserved_bits, 1002},
      {"opcode_3", Role::server, frame(0x83, "", M), ErrorKind::unknown_opcode, 1002},
      {"opcode_11", Role::server, frame(0x8b, "", M), ErrorKind::unknown_opcode, 1002},
      {"fragmented_ping", Role::server, frame(0x09, "", M), ErrorKind::fragmented_control, 1002},
      {"ping_126", Role::server, frame(0x89, big126, M), ErrorKind::control_too_long, 1002},
      {"close_126", Role::client, frame(0x88, big126, false), ErrorKind::control_too_long, 1002},
      {"continuation_first", Role::server, frame(0x80, "a", M), ErrorKind::orphan_continuation, 1002},
      {"text_inside_text", Role::server, frame(0x01, "a", M) + frame(0x81, "b", M), ErrorKind::interleaved_message,
       1002},
      {"binary_inside_text", Role::client, frame(0x01, "a", false) + frame(0x82, "b", false),
       ErrorKind::interleaved_message, 1002},
      {"length_16_for_5", Role::server, frame(0x82, "hello", M, 2), ErrorKind::non_minimal_length, 1002},
      {"length_64_for_5", Role::server, frame(0x82, "hello", M, 8), ErrorKind::non_minimal_length, 1002},
      {"length_64_for_65535", Role::client, frame(0x82, std::string(65535, 'x'), false, 8),
       ErrorKind::non_minimal_length, 1002},
      {"length_over_2_63", Role::client, std::string("\x82\x7f\x80\x00\x00\x00\x00\x00\x00\x00", 10),
       ErrorKind::length_overflow, 1002},
      {"unmasked_to_server", Role::server, frame(0x81, "a", false), ErrorKind::unmasked_frame, 1002},
      {"masked_to_client", Role::client, frame(0x81, "a", true), ErrorKind::masked_frame, 1002},
      {"invalid_utf8", Role::server, frame(0x81, "\xc3\x28", M), ErrorKind::invalid_utf8, 1007},
      {"truncated_utf8_at_end", Role::server, frame(0x81, "ok\xe2\x82", M), ErrorKind::invalid_utf8, 1007},
      {"utf8_broken_across_frames", Role::client, frame(0x01, "\xe2\x82", false) + frame(0x80, "A", false),
       ErrorKind::invalid_utf8, 1007},
      {"close_code_1005", Role::server, frame(0x88, close_payload(1005), M), ErrorKind::invalid_close_code, 1002},
      {"close_code_1006", Role::server, frame(0x88, close_payload(1006), M), ErrorKind::invalid_close_code, 1002},
      {"close_code_1015", Role::client, frame(0x88, close_payload(1015), false), ErrorKind::invalid_close_code,
       1002},
      {"close_code_999", Role::server, frame(0x88, close_payload(999), M), ErrorKind::invalid_close_code, 1002},
      {"close_code_1004", Role::server, frame(0x88, close_payload(1004), M), ErrorKind::invalid_close_code, 1002},
      {"close_code_1016", Role::server, frame(0x88, close_payload(1016), M), ErrorKind::invalid_close_code, 1002},
      {"close_code_2999", Role::server, frame(0x88, close_payload(2999), M), ErrorKind::invalid_close_code, 1002},
      {"close_code_5000", Role::server, frame(0x88, close_payload(5000), M), ErrorKind::invalid_close_code, 1002},
      {"close_one_octet", Role::server, frame(0x88, "\x03", M), ErrorKind::close_one_octet, 1002},
      {"close_reason_not_utf8", Role::server, frame(0x88, close_payload(1000, "\xff"), M),
       ErrorKind::invalid_close_reason, 1007},
      {"frame_after_close", Role::server, frame(0x88, close_payload(1000), M) + frame(0x89, "", M),
       ErrorKind::data_after_close, 1002},
      {"octet_after_close", Role::client, frame(0x88, "", false) + "\x81", ErrorKind::data_after_close, 1002},
  };
}

class Violations : public ::testing::TestWithParam<Violation> {};

TEST_P(Violations, FailWithTheirCodeAndStayFailed) {
  const Violation& v = GetParam();
  for (bool split : {false, true}) {
    Codec c(Config{.role = v.role});
    Result<void> r;
    std::vector<Event> ev;
    if (split) {
      // One octet at a time reaches the same verdict.
      for (size_t i = 0; i < v.input.size() && r; ++i) r = c.receive(v.input.substr(i, 1), ev);
    } else {
      r = c.receive(v.input, ev);
    }
    ASSERT_FALSE(r) << v.name;
    EXPECT_EQ(r.error().kind, v.kind) << v.name;
    EXPECT_EQ(r.error().code, v.code) << v.name;
    EXPECT_FALSE(message(r.error()).empty());
    // Failed for good: the same code again, and only our close may go out.
    EXPECT_EQ(c.state(), State::failed);
    auto again = feed(c, frame(0x89, "", v.role == Role::server));
    ASSERT_FALSE(again.result);
    EXPECT_EQ(again.result.error().kind, ErrorKind::failed);
    EXPECT_EQ(again.result.error().code, v.code);
    std::string out;
    EXPECT_FALSE(*c.send_message(true, "x", true, out));
    EXPECT_FALSE(*c.send_ping("", out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(c.may_close_transport());
    EXPECT_TRUE(*c.send_close(v.code, message(v.kind), out));
    EXPECT_TRUE(c.may_close_transport());
  }
}

INSTANTIATE_TEST_SUITE_P(All, Violations, ::testing::ValuesIn(violations()),
                         [](const ::testing::TestParamInfo<Violation>& i) { return std::string(i.param.name); });

TEST(Codec, ValidCloseCodesAndEmptyClose) {
  for (uint16_t code : {1000, 1001, 1002, 1003, 1007, 1008, 1009, 1010, 1011, 1012, 1013, 1014, 3000, 4999}) {
    Codec c(server_cfg());
    auto r = feed(c, frame(0x88, close_payload(code, "bye \xc3\xa9"), true));
    ASSERT_TRUE(r.result) << code;
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0].kind, EventKind::close);
    EXPECT_EQ(r.events[0].code, code);
    EXPECT_EQ(r.events[0].data, "bye \xc3\xa9");
  }
  Codec c(client_cfg());
  auto r = feed(c, frame(0x88, "", false));
  ASSERT_TRUE(r.result);
  EXPECT_EQ(r.events[0].code, close_code::no_status);
  EXPECT_EQ(c.peer_close_code(), close_code::no_status);
}

// A stream of frames of every kind, as a peer in `from` would send them.
std::string mixed_stream(std::mt19937& rng, bool masked, std::vector<std::string>& messages) {
  std::string wire;
  for (int m = 0; m < 12; ++m) {
    std::string text;
    size_t n = rng() % 3 == 0 ? 200 + rng() % 70000 : rng() % 40;
    while (text.size() < n) text += (rng() % 5 == 0) ? "\xe2\x82\xac" : std::string(1, char('a' + rng() % 26));
    messages.push_back(text);
    // Fragments cut anywhere, code points included, with pings between.
    size_t at = 0;
    bool first = true;
    while (true) {
      size_t take = std::min(text.size() - at, size_t(rng() % 3000));
      bool fin = at + take == text.size() || rng() % 4 == 0;
      if (fin) take = text.size() - at;
      wire += frame(uint8_t((fin ? 0x80 : 0) | (first ? 1 : 0)), text.substr(at, take), masked);
      at += take;
      first = false;
      if (fin) break;
      if (rng() % 2) wire += frame(0x89, "p", masked);
    }
  }
  wire += frame(0x88, close_payload(1000, "done"), masked);
  return wire;
}

// Empty when the two runs agree, else where they first differ.
std::string first_difference(const std::vector<Event>& a, const std::vector<Event>& b) {
  for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
    const Event &x = a[i], &y = b[i];
    if (x.kind != y.kind || x.fin != y.fin || x.code != y.code || x.data != y.data) {
      size_t k = 0;
      while (k < x.data.size() && k < y.data.size() && x.data[k] == y.data[k]) ++k;
      return "event " + std::to_string(i) + ": kinds " + std::to_string(int(x.kind)) + "/" +
             std::to_string(int(y.kind)) + ", sizes " + std::to_string(x.data.size()) + "/" +
             std::to_string(y.data.size()) + ", data differs at " + std::to_string(k);
    }
  }
  if (a.size() != b.size()) return "counts " + std::to_string(a.size()) + "/" + std::to_string(b.size());
  return "";
}


TEST(Codec, SplitInputDecodesAsWholeInput) {
  std::mt19937 rng(21);
  for (Role role : {Role::server, Role::client})
    for (bool streaming : {false, true}) {
      std::vector<std::string> messages;
      std::string wire = mixed_stream(rng, role == Role::server, messages);
      Codec whole(Config{.role = role, .streaming = streaming});
      auto w = feed(whole, wire);
      ASSERT_TRUE(w.result);
      std::vector<Event> all = merged(w.events);
      size_t texts = 0;
      for (const Event& e : all) {
        if (e.kind == EventKind::text) { ASSERT_EQ(e.data, messages[texts++]); }
      }
      EXPECT_EQ(texts, messages.size());
      EXPECT_EQ(all.back().kind, EventKind::close);
      for (int round = 0; round < 20; ++round) {
        Codec c(Config{.role = role, .streaming = streaming});
        std::vector<Event> ev;
        for (size_t at = 0; at < wire.size();) {
          size_t n = round == 0 ? 1 : 1 + rng() % 5000;
          n = std::min(n, wire.size() - at);
          ASSERT_TRUE(c.receive(std::string_view(wire).substr(at, n), ev));
          at += n;
        }
        ASSERT_EQ(first_difference(merged(ev), all), "") << "round " << round << " streaming " << streaming;
        if (streaming) {
          for (const Event& e : ev) {
            if (e.kind == EventKind::text) { ASSERT_TRUE(http::is_valid_utf8(e.data)); }  // whole code points only
          }
        }
      }
    }
}

TEST(Codec, TextSplitInsideACodePointAcrossFrames) {
  Codec c(server_cfg());
  const std::string euro = "\xe2\x82\xac";
  auto r = feed(c, frame(0x01, "1 " + euro.substr(0, 1), true) + frame(0x89, "x", true) +
                       frame(0x00, euro.substr(1, 1), true) + frame(0x80, euro.substr(2) + " each", true));
  ASSERT_TRUE(r.result);
  ASSERT_EQ(r.events.size(), 2u);
  EXPECT_EQ(r.events[0].kind, EventKind::ping);
  EXPECT_EQ(r.events[1].data, "1 " + euro + " each");
  // Streaming hands out whole code points only, keeping the rest back.
  Codec s(Config{.role = Role::server, .streaming = true});
  auto a = feed(s, frame(0x01, "ab\xe2\x82", true));
  ASSERT_TRUE(a.result);
  ASSERT_EQ(a.events.size(), 1u);
  EXPECT_EQ(a.events[0].data, "ab");
  EXPECT_FALSE(a.events[0].fin);
  auto b = feed(s, frame(0x80, "\xac", true));
  ASSERT_TRUE(b.result);
  ASSERT_EQ(b.events.size(), 1u);
  EXPECT_EQ(b.events[0].data, euro);
  EXPECT_TRUE(b.events[0].fin);
}

TEST(Codec, FrameAndMessageLimitsAtTheirBounds) {
  Config cfg = server_cfg();
  cfg.max_frame_size = 100;
  cfg.max_message_size = 150;
  {
    Codec c(cfg);
    EXPECT_TRUE(feed(c, frame(0x82, std::string(100, 'x'), true)).result);
    auto r = feed(c, frame(0x82, std::string(101, 'x'), true));
    ASSERT_FALSE(r.result);
    EXPECT_EQ(r.result.error().kind, ErrorKind::frame_too_big);
    EXPECT_EQ(r.result.error().code, 1009);
  }
  {
    Codec c(cfg);
    auto ok = feed(c, frame(0x02, std::string(100, 'x'), true) + frame(0x80, std::string(50, 'y'), true));
    ASSERT_TRUE(ok.result);
    EXPECT_EQ(ok.events.at(0).data.size(), 150u);
    // The header alone settles it: nothing of the payload is needed.
    std::string over = frame(0x02, std::string(100, 'x'), true) + frame(0x80, std::string(51, 'y'), true);
    Codec d(cfg);
    auto r = feed(d, over.substr(0, over.size() - 51));
    ASSERT_FALSE(r.result);
    EXPECT_EQ(r.result.error().kind, ErrorKind::message_too_big);
    EXPECT_EQ(r.result.error().code, 1009);
  }
}

TEST(Codec, CloseHandshakeStates) {
  // We close first: data is dropped, control frames still arrive, then the
  // peer's close completes the handshake.
  Codec c(server_cfg());
  std::string out;
  ASSERT_TRUE(*c.send_close(1000, "bye", out));
  EXPECT_EQ(c.state(), State::close_sent);
  EXPECT_FALSE(*c.send_close(1000, "", out));
  EXPECT_FALSE(*c.send_message(false, "x", true, out));
  auto r = feed(c, frame(0x81, "late", true) + frame(0x8a, "pong", true) + frame(0x88, close_payload(1000), true));
  ASSERT_TRUE(r.result);
  ASSERT_EQ(r.events.size(), 2u);
  EXPECT_EQ(r.events[0].kind, EventKind::pong);
  EXPECT_EQ(r.events[1].kind, EventKind::close);
  EXPECT_EQ(c.state(), State::closed);
  EXPECT_TRUE(c.may_close_transport());

  // The peer closes first: ours is due, only an unfinished message may end.
  Codec d(client_cfg());
  out.clear();
  ASSERT_TRUE(*d.send_message(true, "part", false, out));
  ASSERT_TRUE(feed(d, frame(0x88, close_payload(1001), false)).result);
  EXPECT_EQ(d.state(), State::close_received);
  EXPECT_FALSE(d.may_close_transport());
  EXPECT_FALSE(*d.send_ping("", out));
  EXPECT_TRUE(*d.send_message(true, "end", true, out));
  EXPECT_FALSE(*d.send_message(true, "more", true, out));
  EXPECT_TRUE(*d.send_close(1001, "", out));
  EXPECT_EQ(d.state(), State::closed);
  EXPECT_TRUE(d.may_close_transport());
}

TEST(Codec, FramesWeSendReadBackByThePeer) {
  // RFC 6455, section 5.7: an unmasked "Hello" from a server.
  Codec server(server_cfg());
  std::string out;
  ASSERT_TRUE(*server.send_message(true, "Hello", true, out));
  EXPECT_EQ(out, std::string("\x81\x05Hello"));

  Codec client(client_cfg());
  for (size_t n : {0, 1, 125, 126, 65535, 65536, 200000}) {
    std::string payload(n, '\0');
    for (size_t i = 0; i < n; ++i) payload[i] = char(i * 7);
    for (bool fragmented : {false, true}) {
      std::string wire;
      if (fragmented) {
        ASSERT_TRUE(*client.send_message(false, payload.substr(0, n / 2), false, wire));
        ASSERT_TRUE(*client.send_ping("hi", wire));
        ASSERT_TRUE(*client.send_message(false, payload.substr(n / 2), true, wire));
      } else {
        ASSERT_TRUE(*client.send_message(false, payload, true, wire));
        EXPECT_EQ(wire.size(), client.header_size(n) + n);
        EXPECT_TRUE(uint8_t(wire[1]) & 0x80);  // masked
      }
      auto r = feed(server, wire);
      ASSERT_TRUE(r.result) << n;
      ASSERT_EQ(r.events.back().kind, EventKind::binary);
      EXPECT_EQ(r.events.back().data, payload) << n;
    }
  }
  // Masking keys differ from frame to frame.
  std::string a, b;
  ASSERT_TRUE(*client.send_ping("", a));
  ASSERT_TRUE(*client.send_ping("", b));
  EXPECT_NE(a.substr(2, 4), b.substr(2, 4));
}

TEST(Codec, SendMisuseIsAnErrorAndChangesNothing) {
  Codec c(client_cfg());
  std::string out;
  ASSERT_TRUE(*c.send_message(true, "a", false, out));
  size_t before = out.size();
  auto r = c.send_message(false, "b", true, out);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, ErrorKind::mixed_fragments);
  EXPECT_EQ(c.send_ping(std::string(126, 'x'), out).error().kind, ErrorKind::control_too_long_send);
  EXPECT_EQ(c.send_close(1005, "", out).error().kind, ErrorKind::bad_close_code);
  EXPECT_EQ(c.send_close(0, "why", out).error().kind, ErrorKind::bad_close_code);
  EXPECT_EQ(c.send_close(1000, std::string(124, 'r'), out).error().kind, ErrorKind::close_reason_too_long);
  EXPECT_EQ(out.size(), before);
  EXPECT_EQ(c.state(), State::open);
  EXPECT_TRUE(*c.send_message(true, "b", true, out));
  EXPECT_TRUE(*c.send_close(1000, std::string(123, 'r'), out));
}

}  // namespace
}  // namespace velmora::ws
