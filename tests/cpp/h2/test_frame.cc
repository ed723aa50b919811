// The frame layer: cutting frames off received bytes however they are split,
// per-type validation, CONTINUATION assembly and its limits, and the
// encoders' layouts.
#include "proto/h2/codec.h"
#include "proto/h2/frame.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

namespace velmora::h2 {
namespace {

std::string frame(uint8_t type, uint8_t fl, uint32_t sid, std::string_view payload) {
  std::string out(kFrameHeaderLen, '\0');
  write_frame_header(out.data(), uint32_t(payload.size()), FrameType(type), fl, sid);
  out.append(payload);
  return out;
}

std::string u32(uint32_t v) {
  return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

// A literal field without indexing, no Huffman: enough to build test blocks
// without going through the encoder.
std::string literal(std::string_view name, std::string_view value) {
  std::string out;
  out += '\0';
  out += char(name.size());
  out += name;
  out += char(value.size());
  out += value;
  return out;
}

std::string request_block() {
  return literal(":method", "GET") + literal(":scheme", "https") + literal(":path", "/") +
         literal(":authority", "example.com") + literal("accept", "*/*");
}

// A printable summary of a batch, so that runs can be compared as strings.
std::string describe(const RecvBatch& b) {
  std::string s;
  for (const Event& e : b.events) {
    std::visit(
        [&](const auto& ev) {
          using T = std::decay_t<decltype(ev)>;
          if constexpr (std::is_same_v<T, HeadersEvent>) {
            s.append("H" + std::to_string(ev.stream_id) + (ev.end_stream ? "e" : "") + ":")
                .append(ev.head.method.value_or("-"))
                .append(ev.head.path.value_or("-"))
                .append(":" + std::to_string(ev.head.status));
            ev.head.fields.for_each([&](std::string_view n, std::string_view v) {
              s.append(",").append(n).append("=").append(v);
            });
          } else if constexpr (std::is_same_v<T, DataEvent>) {
            s += "D" + std::to_string(ev.stream_id) + (ev.end_stream ? "e" : "") + "[" + std::string(ev.data) + "]" +
                 std::to_string(ev.flow_controlled_len) + "/" + std::to_string(ev.padding);
          } else if constexpr (std::is_same_v<T, SettingsEvent>) {
            s += ev.ack ? "SA" : "S" + std::to_string(ev.settings.max_frame_size.value_or(0));
          } else if constexpr (std::is_same_v<T, PingEvent>) {
            s += "P" + std::string(ev.data.data(), 8);
          } else if constexpr (std::is_same_v<T, GoAwayEvent>) {
            s += "G" + std::to_string(ev.last_stream_id) + "/" + std::to_string(ev.error_code) + ev.debug_data;
          } else if constexpr (std::is_same_v<T, WindowUpdateEvent>) {
            s += "W" + std::to_string(ev.stream_id) + "+" + std::to_string(ev.increment);
          } else if constexpr (std::is_same_v<T, RstStreamEvent>) {
            s += "R" + std::to_string(ev.stream_id);
          } else if constexpr (std::is_same_v<T, PriorityEvent>) {
            s += "Pr" + std::to_string(ev.stream_id);
          } else {
            s += "E" + std::to_string(ev.stream_id) + "/" + std::to_string(ev.error_code);
          }
        },
        e);
    s += ";";
  }
  return s;
}

std::string mixed_stream() {
  std::string block = request_block();
  std::string s;
  s += frame(4, 0, 0, std::string("\0\5\0\0\x40\0", 6));  // SETTINGS MAX_FRAME_SIZE 16384
  s += frame(1, 0, 1, block.substr(0, 7));                 // HEADERS, block cut mid-field
  s += frame(9, 0, 1, block.substr(7, 20));
  s += frame(9, 4, 1, block.substr(27));
  s += frame(0, 0, 1, "hello");
  s += frame(0, 8, 1, std::string("\3abc\0\0\0", 7));  // padded
  s += frame(0xee, 0, 0, "unknown types are skipped");
  s += frame(6, 0, 0, "pingpong");
  s += frame(8, 0, 1, u32(1000));
  s += frame(0, 1, 1, std::string(3000, 'x'));
  s += frame(7, 0, 0, u32(1) + u32(0) + "bye");
  return s;
}

std::string decode_split(const std::string& wire, const std::vector<size_t>& cuts) {
  Receiver r;
  r.set_role(Role::server);
  std::string all;
  size_t at = 0;
  for (size_t i = 0; i <= cuts.size(); ++i) {
    size_t end = i < cuts.size() ? cuts[i] : wire.size();
    RecvBatch b;
    // Each piece is a fresh string, reused for other bytes once its events
    // are read: bytes carried over to the next call must have been copied.
    std::string piece = wire.substr(at, end - at);
    auto ok = r.receive(piece, b);
    EXPECT_TRUE(ok.has_value());
    all += describe(b);
    piece.assign(piece.size(), '#');
    at = end;
  }
  EXPECT_EQ(r.buffered(), 0u);
  return all;
}

TEST(Receive, AnySplitGivesTheSameEvents) {
  std::string wire = mixed_stream();
  std::string whole = decode_split(wire, {});
  EXPECT_NE(whole.find("H1:GET/:0,accept=*/*;D1[hello]5/0;D1[abc]7/4;"), std::string::npos) << whole;
  EXPECT_NE(whole.find("P" "pingpong;W1+1000;"), std::string::npos);
  EXPECT_NE(whole.find("G1/0bye;"), std::string::npos);
  // One byte at a time, then every two-way split.
  std::vector<size_t> each;
  for (size_t i = 1; i < wire.size(); ++i) each.push_back(i);
  EXPECT_EQ(decode_split(wire, each), whole);
  for (size_t i = 1; i < wire.size(); i += 3) EXPECT_EQ(decode_split(wire, {i}), whole) << i;
}

TEST(Receive, DataCutFromTheReadBufferOutlivesTheNextCall) {
  Receiver r;
  std::string wire = frame(0, 0, 1, std::string(100, 'a')) + frame(0, 0, 1, std::string(100, 'b'));
  RecvBatch first, second;
  ASSERT_TRUE(r.receive(std::string_view(wire).substr(0, 50), first));
  ASSERT_TRUE(r.receive(std::string_view(wire).substr(50), second));
  ASSERT_EQ(second.events.size(), 2u);
  // The read buffer is reused by a later call; the batch's payloads are not.
  RecvBatch third;
  std::string more = frame(0, 0, 1, std::string(300, 'c'));
  ASSERT_TRUE(r.receive(std::string_view(more).substr(0, 200), third));
  EXPECT_EQ(std::get<DataEvent>(second.events[0]).data, std::string(100, 'a'));
  EXPECT_EQ(std::get<DataEvent>(second.events[1]).data, std::string(100, 'b'));
}

TEST(Receive, PayloadsFromABufferCompletedByTheCallStayPut) {
  // The read buffer holds a whole DATA frame and the start of the next;
  // the call completes the second. Both payloads are copied into the batch,
  // the first must not move when the second goes in.
  Receiver r;
  std::string a = frame(0, 0, 1, std::string(1000, 'a')), b = frame(0, 0, 1, std::string(16000, 'b'));
  r.feed(a + b.substr(0, 20));
  RecvBatch out;
  ASSERT_TRUE(r.receive(std::string_view(b).substr(20), out));
  ASSERT_EQ(out.events.size(), 2u);
  EXPECT_EQ(std::get<DataEvent>(out.events[0]).data, std::string(1000, 'a'));
  EXPECT_EQ(std::get<DataEvent>(out.events[1]).data, std::string(16000, 'b'));
}

TEST(Receive, FrameSizeLimitAtItsBound) {
  Receiver r;
  RecvBatch b;
  ASSERT_TRUE(r.receive(frame(0, 0, 1, std::string(16384, 'x')), b));
  EXPECT_EQ(b.events.size(), 1u);
  // One octet more is refused from its header alone.
  std::string big = frame(0, 0, 1, std::string(16385, 'x'));
  auto e = r.receive(std::string_view(big).substr(0, 9), b);
  ASSERT_FALSE(e);
  EXPECT_EQ(e.error().code, 6u);
  EXPECT_EQ(e.error().message(), "frame length exceeds SETTINGS_MAX_FRAME_SIZE");
  Receiver wide;
  wide.set_max_frame_size(16385);
  ASSERT_TRUE(wide.receive(big, b));
}

TEST(Receive, EightOctetsWaitTheNinthCompletesOnlyTheHeader) {
  Receiver r;
  RecvBatch b;
  std::string ping = frame(6, 1, 0, "12345678");
  ASSERT_TRUE(r.receive(std::string_view(ping).substr(0, 8), b));
  EXPECT_TRUE(b.events.empty());
  ASSERT_TRUE(r.receive(std::string_view(ping).substr(8, 1), b));
  EXPECT_TRUE(b.events.empty());
  EXPECT_EQ(r.buffered(), 9u);
  ASSERT_TRUE(r.receive(std::string_view(ping).substr(9), b));
  EXPECT_EQ(describe(b), "P12345678;");
}

TEST(Receive, ErrorsDiscardTheBatchAndKeepLaterBytes) {
  Receiver r;
  RecvBatch b;
  std::string wire = frame(6, 0, 0, "12345678") + frame(8, 0, 1, u32(0)) + frame(6, 0, 0, "abcdefgh");
  auto e = r.receive(wire, b);
  ASSERT_FALSE(e);
  EXPECT_EQ(e.error().message(), "failed to load frame: InvalidWindowUpdateValue");
  EXPECT_TRUE(b.events.empty());
  EXPECT_EQ(r.buffered(), 17u);
}

// Each refusal keeps its text; its code is the one RFC 9113 fixes: a length
// wrong for the frame's type is FRAME_SIZE_ERROR (section 4.2), an initial
// window over 2^31-1 FLOW_CONTROL_ERROR (section 6.5.2), the rest
// PROTOCOL_ERROR.
TEST(Receive, PerTypeValidation) {
  struct Case {
    std::string wire;
    const char* message;
    uint32_t code;
  };
  const Case cases[] = {
      {frame(0, 0, 0, "x"), "failed to load frame: InvalidStreamId", 1},
      {frame(0, 8, 1, std::string("\3ab", 3)), "failed to load frame: TooMuchPadding", 1},
      {frame(0, 8, 1, ""), "failed to load frame: TooMuchPadding", 1},
      {frame(1, 8, 1, ""), "failed to load frame: MalformedMessage", 1},
      {frame(1, 0x20, 1, "abcd"), "failed to load frame: MalformedMessage", 1},
      {frame(1, 4 | 8, 1, std::string("\5abc", 4)), "failed to load frame: TooMuchPadding", 1},
      {frame(2, 0, 0, "abcde"), "PRIORITY frame with stream ID 0", 1},
      {frame(3, 0, 1, "abc"), "failed to load frame: InvalidPayloadLength", 6},
      {frame(3, 0, 1, "abcde"), "failed to load frame: InvalidPayloadLength", 6},
      {frame(4, 0, 1, ""), "failed to load frame: InvalidStreamId", 1},
      {frame(4, 1, 0, "x"), "failed to load frame: InvalidPayloadLength", 6},
      {frame(4, 0, 0, "abcde"), "failed to load frame: InvalidPayloadAckSettings", 6},
      {frame(4, 0, 0, std::string("\0\2", 2) + u32(2)), "failed to load frame: InvalidSettingValue", 1},
      {frame(4, 0, 0, std::string("\0\4", 2) + u32(0x80000000)), "failed to load frame: InvalidSettingValue", 3},
      {frame(4, 0, 0, std::string("\0\5", 2) + u32(16383)), "failed to load frame: InvalidSettingValue", 1},
      {frame(4, 0, 0, std::string("\0\5", 2) + u32(16777216)), "failed to load frame: InvalidSettingValue", 1},
      {frame(4, 0, 0, std::string("\0\x08", 2) + u32(2)), "failed to load frame: InvalidSettingValue", 1},
      {frame(5, 4, 1, "anything"), "PUSH_PROMISE received but server push is disabled", 1},
      {frame(6, 0, 1, "12345678"), "failed to load frame: InvalidStreamId", 1},
      {frame(6, 0, 0, "1234567"), "failed to load frame: BadFrameSize", 6},
      {frame(6, 0, 0, "123456789"), "failed to load frame: BadFrameSize", 6},
      {frame(7, 0, 0, "1234567"), "failed to load frame: BadFrameSize", 6},
      {frame(8, 0, 1, "123"), "failed to load frame: BadFrameSize", 6},
      {frame(8, 0, 0, "12345"), "failed to load frame: BadFrameSize", 6},
      {frame(8, 0, 1, u32(0x80000000)), "failed to load frame: InvalidWindowUpdateValue", 1},
      {frame(9, 4, 1, ""), "received unexpected CONTINUATION frame", 1},
  };
  for (const Case& c : cases) {
    Receiver r;
    RecvBatch b;
    auto e = r.receive(c.wire, b);
    ASSERT_FALSE(e) << c.message;
    EXPECT_EQ(e.error().message(), c.message);
    EXPECT_EQ(e.error().code, c.code) << c.message;
  }
  // A PRIORITY of the wrong size harms only its stream (section 6.3): a
  // stream error of FRAME_SIZE_ERROR, and the frames after it still count.
  for (const char* payload : {"abcd", "abcdef"}) {
    Receiver r;
    RecvBatch b;
    ASSERT_TRUE(r.receive(frame(2, 0, 3, payload) + frame(6, 0, 0, "12345678"), b));
    EXPECT_EQ(describe(b), "E3/6;P12345678;");
  }
}

TEST(Receive, SettingsLastValueWinsAndUnknownIdsAreIgnored) {
  Receiver r;
  RecvBatch b;
  std::string p = std::string("\0\3", 2) + u32(10) + std::string("\0\x63", 2) + u32(7) + std::string("\0\3", 2) +
                  u32(100) + std::string("\0\2", 2) + u32(0) + std::string("\0\x08", 2) + u32(1);
  ASSERT_TRUE(r.receive(frame(4, 0, 0, p), b));
  const auto& s = std::get<SettingsEvent>(b.events[0]).settings;
  EXPECT_EQ(s.max_concurrent_streams, 100u);
  EXPECT_EQ(s.enable_push, false);
  EXPECT_EQ(s.enable_connect_protocol, true);
  EXPECT_FALSE(s.initial_window_size);
  ASSERT_TRUE(r.receive(frame(4, 0, 0, std::string("\0\x08", 2) + u32(0)), b));
  EXPECT_EQ(std::get<SettingsEvent>(b.events[0]).settings.enable_connect_protocol, false);
}

TEST(Receive, StreamErrorsKeepEarlierEventsAndTheConnection) {
  Receiver r;
  r.set_role(Role::server);
  RecvBatch b;
  std::string bad = literal("content-type", "text/plain") + literal(":path", "/");
  std::string wire = frame(6, 0, 0, "12345678") + frame(1, 4, 1, bad) + frame(2, 0, 3, u32(3) + "w") +
                     frame(1, 4, 5, request_block());
  ASSERT_TRUE(r.receive(wire, b));
  EXPECT_EQ(describe(b), "P12345678;E1/1;E3/1;H5:GET/:0,accept=*/*;");
}

TEST(Receive, SelfDependentHeadersStillDecodeTheirBlock) {
  // The block inserts into the dynamic table; the next block refers to it.
  Receiver s;
  s.set_role(Role::server);
  RecvBatch b;
  std::string insert = std::string("\x40", 1) + char(3) + "foo" + char(3) + "bar";  // incremental indexing
  std::string with_prio = u32(1) + "w" + request_block() + insert;
  std::string next = request_block() + std::string("\xbe", 1);  // index 62: foo: bar
  ASSERT_TRUE(s.receive(frame(1, 0x20, 1, with_prio.substr(0, 12)) + frame(9, 4, 1, with_prio.substr(12)), b));
  EXPECT_EQ(describe(b), "E1/1;");
  ASSERT_TRUE(s.receive(frame(1, 4, 3, next), b));
  EXPECT_EQ(describe(b), "H3:GET/:0,accept=*/*,foo=bar;");
}

TEST(Receive, MalformedBlockOverContinuationIsAStreamError) {
  // A forbidden field in the first fragment: the block is still assembled
  // and decoded, then reported as a stream error.
  Receiver r;
  r.set_role(Role::server);
  RecvBatch b;
  std::string block = request_block() + literal("connection", "close") + literal("x-after", "1");
  ASSERT_TRUE(r.receive(frame(1, 0, 1, block.substr(0, 40)) + frame(9, 0, 1, block.substr(40, 10)) +
                            frame(9, 4, 1, block.substr(50)) + frame(1, 5, 3, request_block()),
                        b));
  EXPECT_EQ(describe(b), "E1/1;H3e:GET/:0,accept=*/*;");
}

// A block with the pseudo-headers wrong for the receiving side: a stream
// error at END_HEADERS, the block still decoded (its insertion is named by
// the next block) and the connection going on.
TEST(Receive, HeadsWrongForTheRoleAreStreamErrors) {
  const std::string M = literal(":method", "GET"), S = literal(":scheme", "https"),
                    A = literal(":authority", "a"), P = literal(":path", "/"), C = literal(":method", "CONNECT"),
                    ST = literal(":status", "200");
  const std::string insert = std::string("\x40\x03x-i\x03yes", 9);
  struct Case {
    Role role;
    std::string block;
    bool end_stream;
    bool ok;
    bool extended = false;  // the server enabled extended CONNECT
  };
  const std::string R = literal(":protocol", "websocket");
  const Case cases[] = {
      // requests, at a server
      {Role::server, M + S + A + P, false, true},
      {Role::server, S + A + P, false, false},
      {Role::server, M + A + P, false, false},
      {Role::server, M + S + A, true, false},
      {Role::server, M + S + A + literal(":path", ""), false, false},
      {Role::server, M + literal(":scheme", "foo") + A + literal(":path", ""), false, true},
      {Role::server, literal(":method", "OPTIONS") + S + A + literal(":path", "*"), false, true},
      {Role::server, M + S + A + P + ST, false, false},
      {Role::server, M + S + A + P + literal(":protocol", "websocket"), false, false},
      {Role::server, C + A, false, true},
      {Role::server, C, false, false},
      {Role::server, C + S + A, false, false},
      {Role::server, C + A + P, false, false},
      // extended CONNECT: the form of an ordinary request plus :protocol, when enabled
      {Role::server, C + S + A + P + R, false, true, true},
      {Role::server, C + S + A + P + R, false, false},
      {Role::server, C + A, false, true, true},
      {Role::server, M + S + A + P + R, false, false, true},
      {Role::server, C + S + P + R, false, false, true},
      {Role::server, C + A + P + R, false, false, true},
      {Role::server, C + S + A + R, false, false, true},
      {Role::server, C + S + A + literal(":path", "") + R, false, false, true},
      {Role::server, C + S + A + P + literal(":protocol", ""), false, false, true},
      {Role::server, C + A + R, false, false, true},
      {Role::client, ST + R, false, false, true},
      {Role::server, literal("x-a", "1"), false, false},  // neither a request nor trailers
      {Role::server, literal("x-a", "1"), true, true},    // trailers, or not: the connection decides
      // responses, at a client
      {Role::client, ST, false, true},
      {Role::client, literal(":status", "103"), false, true},
      {Role::client, ST + P, true, false},
      {Role::client, M + ST, false, false},
      {Role::client, ST + A, false, false},
      {Role::client, literal("x-a", "1"), false, false},
      {Role::client, literal("x-a", "1"), true, true},
      // requests are no responses, and the other way round
      {Role::client, M + S + A + P, true, false},
      {Role::server, ST, true, false},
  };
  for (const Case& c : cases) {
    Receiver r;
    r.set_role(c.role);
    r.set_extended_connect(c.extended);
    RecvBatch b;
    std::string next = c.role == Role::server ? M + S + A + P : ST;
    ASSERT_TRUE(r.receive(frame(1, 4 | (c.end_stream ? 1 : 0), 1, c.block + insert) +
                              frame(1, 5, 3, next + "\xbe"),
                          b));
    ASSERT_EQ(b.events.size(), 2u);
    EXPECT_EQ(std::holds_alternative<HeadersEvent>(b.events[0]), c.ok) << describe(b);
    if (!c.ok) {
      EXPECT_EQ(describe(b).substr(0, 5), "E1/1;");
    }
    const auto* ev = std::get_if<HeadersEvent>(&b.events[1]);
    ASSERT_TRUE(ev) << describe(b);
    EXPECT_TRUE(ev->head.fields.contains("x-i"));
  }
}

TEST(Receive, ContinuationRules) {
  std::string block = request_block();
  {
    Receiver r;
    RecvBatch b;
    auto e = r.receive(frame(1, 0, 1, block) + frame(6, 0, 0, "12345678"), b);
    ASSERT_FALSE(e);
    EXPECT_EQ(e.error().message(), "expected CONTINUATION frame");
  }
  {
    Receiver r;
    RecvBatch b;
    auto e = r.receive(frame(1, 0, 1, block) + frame(9, 4, 3, ""), b);
    ASSERT_FALSE(e);
    EXPECT_EQ(e.error().message(), "CONTINUATION frame stream ID does not match previous frame stream ID");
  }
  {
    // The block ends inside a field at END_HEADERS: an HPACK error.
    Receiver r;
    RecvBatch b;
    auto e = r.receive(frame(1, 4, 1, block.substr(0, 10)), b);
    ASSERT_FALSE(e);
    EXPECT_EQ(e.error().message(), "HPACK decoding failed: Hpack(NeedMore(StringUnderflow))");
  }
}

TEST(Receive, HpackFailuresCloseWithTheirOwnCode) {
  // The decoder's abuse stop is ENHANCE_YOUR_CALM with its own text; every
  // other HPACK failure names the HPACK kind.
  std::string many;
  for (int i = 0; i < 10; ++i) many += literal("a", std::string(17, '1'));  // 21 octets, 50 listed each
  struct Case {
    std::string wire;
    uint32_t code;
    const char* message;
  };
  const Case cases[] = {
      {frame(1, 4, 1, many), 11, "decoded header list size over abuse limit"},
      {frame(1, 0, 1, many.substr(0, 105)) + frame(9, 4, 1, many.substr(105)), 11,
       "decoded header list size over abuse limit"},
      // A block that cannot be decoded: COMPRESSION_ERROR (RFC 9113,
      // section 4.3), the HPACK kind still named.
      {frame(1, 4, 1, std::string("\x80", 1)), 9, "HPACK decoding failed: Hpack(InvalidTableIndex)"},
      {frame(1, 4, 1, std::string("\xbf", 1)), 9, "HPACK decoding failed: Hpack(InvalidTableIndex)"},
      {frame(1, 4, 1, std::string("\x40\x81\xff\x01v", 5)), 9, "HPACK decoding failed: Hpack(InvalidHuffmanCode)"},
      {frame(1, 4, 1, std::string("\x3f\xe2\x1f", 3)), 9, "HPACK decoding failed: Hpack(InvalidMaxDynamicSize)"},
      {frame(1, 4, 1, std::string("\x82\x20", 2)), 9, "HPACK decoding failed: Hpack(InvalidMaxDynamicSize)"},
      {frame(1, 4, 1, std::string("\x40\x05" "ab", 4)), 9, "HPACK decoding failed: Hpack(NeedMore(StringUnderflow))"},
      // One that decodes into a field no message may carry: PROTOCOL_ERROR.
      {frame(1, 4, 1, literal("Upper", "x")), 1, "HPACK decoding failed: Hpack(InvalidUtf8)"},
  };
  for (const Case& c : cases) {
    Receiver r;
    r.set_role(Role::server);
    r.set_max_header_list_size(100);
    RecvBatch b;
    auto e = r.receive(c.wire, b);
    ASSERT_FALSE(e) << c.message;
    EXPECT_EQ(e.error().kind, ErrorKind::protocol);
    EXPECT_EQ(e.error().code, c.code) << c.message;
    EXPECT_EQ(e.error().message(), c.message);
  }
}

TEST(Receive, ContinuationLimitFollowsTheSettings) {
  Receiver r;
  r.set_max_header_list_size(100);
  EXPECT_EQ(r.max_continuation_frames(), 5u);
  r.set_max_header_list_size(1 << 20);
  r.set_max_frame_size(1 << 20);
  EXPECT_EQ(r.max_continuation_frames(), 5u);
  r.set_max_frame_size(16384);
  EXPECT_EQ(r.max_continuation_frames(), 80u);
}

TEST(Receive, PaddedDataEdges) {
  Receiver r;
  RecvBatch b;
  // Pad length = payload length - 1: empty data, all of it padding.
  ASSERT_TRUE(r.receive(frame(0, 8, 1, std::string("\4\0\0\0\0", 5)), b));
  EXPECT_EQ(describe(b), "D1[]5/5;");
}

TEST(Preface, MatcherAndExpectMode) {
  EXPECT_EQ(match_preface(""), PrefaceMatch::incomplete);
  EXPECT_EQ(match_preface("GET / HTTP/1.1\r\n"), PrefaceMatch::diverged);
  EXPECT_EQ(match_preface(std::string(kPreface) + "more"), PrefaceMatch::matched);

  Receiver r;
  r.expect_preface(true);
  RecvBatch b;
  std::string wire = std::string(kPreface) + frame(4, 0, 0, "");
  for (char c : wire) ASSERT_TRUE(r.receive(std::string_view(&c, 1), b));
  EXPECT_EQ(describe(b), "S0;");
  EXPECT_TRUE(r.preface_done());

  Receiver bad;
  bad.expect_preface(true);
  auto e = bad.receive("PRI * HTTP/1.1", b);
  ASSERT_FALSE(e);
  EXPECT_EQ(e.error().message(), "bad client connection preface");

  Receiver fed;
  EXPECT_EQ(fed.feed_preface("PRI * HTTP/2.0\r\n"), PrefaceMatch::incomplete);
  EXPECT_EQ(fed.feed_preface("\r\nSM\r\n\r\n" + frame(4, 1, 0, "")), PrefaceMatch::matched);
  ASSERT_TRUE(fed.receive("", b));
  EXPECT_EQ(describe(b), "SA;");
}

// ---- encoders -------------------------------------------------------------------

TEST(Encode, HeaderBlockSplitOverContinuation) {
  std::string out = "prefix";
  size_t start = out.size();
  std::string block(40000, '\0');
  for (size_t i = 0; i < block.size(); ++i) block[i] = char(i * 7);
  out.append(kFrameHeaderLen, '\0');
  out += block;
  frame_header_block(out, start, 5, true, 16384);
  std::string_view w(out);
  w.remove_prefix(start);
  std::string rebuilt;
  std::vector<std::tuple<uint32_t, uint8_t, uint8_t>> seen;
  while (!w.empty()) {
    FrameHeader h = read_frame_header(w.data());
    EXPECT_EQ(h.stream_id, 5u);
    seen.emplace_back(h.length, h.type, h.flags);
    rebuilt.append(w.substr(kFrameHeaderLen, h.length));
    w.remove_prefix(kFrameHeaderLen + h.length);
  }
  using T = std::tuple<uint32_t, uint8_t, uint8_t>;
  EXPECT_EQ(seen, (std::vector<T>{T{16384, 1, 1}, T{16384, 9, 0}, T{7232, 9, 4}}));
  EXPECT_EQ(rebuilt, block);
  EXPECT_EQ(out.substr(0, start), "prefix");
}

TEST(Encode, FrameLayouts) {
  std::string out;
  write_settings_ack(out);
  EXPECT_EQ(out, std::string("\0\0\0\4\1\0\0\0\0", 9));
  out.clear();
  Settings s;
  s.max_header_list_size = 1;
  s.enable_push = false;
  s.header_table_size = 4096;
  s.enable_connect_protocol = true;
  write_settings(out, s);
  EXPECT_EQ(out, frame(4, 0, 0, std::string("\0\1", 2) + u32(4096) + std::string("\0\2", 2) + u32(0) +
                                    std::string("\0\6", 2) + u32(1) + std::string("\0\x08", 2) + u32(1)));
  EXPECT_EQ(out.size(), settings_frame_size(s));
  out.clear();
  ASSERT_TRUE(write_goaway(out, 0x80000003, 2, "dbg"));
  EXPECT_EQ(out, frame(7, 0, 0, u32(3) + u32(2) + "dbg"));
  // The 24-bit length field bounds the debug data.
  out.clear();
  EXPECT_TRUE(write_goaway(out, 1, 0, std::string(kMaxMaxFrameSize - 8, 'd')));
  EXPECT_EQ(read_frame_header(out.data()).length, kMaxMaxFrameSize);
  auto e = write_goaway(out, 1, 0, std::string(kMaxMaxFrameSize - 7, 'd'));
  ASSERT_FALSE(e);
  EXPECT_EQ(e.error().message(), "frame payload 16777216 exceeds 16777215 octets");

  std::string keep = "x";
  EXPECT_FALSE(write_rst_stream(keep, 0x80000001, 0));
  EXPECT_FALSE(write_ping(keep, "short", false));
  auto big = write_data(keep, 1, std::string(16385, 'd'), false, 16384);
  ASSERT_FALSE(big);
  EXPECT_EQ(big.error().message(), "DATA payload 16385 exceeds SETTINGS_MAX_FRAME_SIZE 16384");
  EXPECT_EQ(keep, "x");
  Settings bad;
  bad.max_frame_size = 16383;
  bad.initial_window_size = 0x80000000u;
  EXPECT_EQ(check_settings(bad).error().message(), "max_frame_size must be in [16384, 16777215], got 16383");
}

TEST(Encode, HeadersRoundTripThroughTheReceiver) {
  Codec c;
  c.send.set_max_frame_size(16384);
  http::HeaderMap fields;
  ASSERT_TRUE(fields.append("x-big", std::string(50000, 'v')));
  ASSERT_TRUE(fields.append("accept", "*/*"));
  OutHead head;
  std::string_view scheme = "https", authority = "example.com:8443";
  ASSERT_TRUE(build_request_head("POST", "/upload?x=1", &scheme, &authority, head));
  std::string out;
  ASSERT_TRUE(c.send.write_headers(out, 7, head, &fields, false));
  Codec peer;
  peer.recv.set_role(Role::server);
  RecvBatch b;
  ASSERT_TRUE(peer.recv.receive(out, b));
  ASSERT_EQ(b.events.size(), 1u);
  const HeaderList& h = std::get<HeadersEvent>(b.events[0]).head;
  EXPECT_EQ(h.method, "POST");
  EXPECT_EQ(h.scheme, "https");
  EXPECT_EQ(h.authority, "example.com:8443");
  EXPECT_EQ(h.path, "/upload?x=1");
  EXPECT_TRUE(h.fields == fields);

  // The pseudo-header values live in the map's storage: a copy's views are
  // into the copy's map and outlive the original.
  HeaderList copy = h;
  EXPECT_NE(copy.path->data(), h.path->data());
  b.clear();
  EXPECT_EQ(copy.method, "POST");
  EXPECT_EQ(copy.authority, "example.com:8443");
  EXPECT_EQ(copy.path, "/upload?x=1");
  EXPECT_TRUE(copy.fields == fields);
}

TEST(Heads, RequestPseudoHeaders) {
  auto path_of = [](std::string_view method, std::string_view target) {
    OutHead h;
    std::string_view scheme = "http", authority = "h";
    EXPECT_TRUE(build_request_head(method, target, &scheme, &authority, h)) << target;
    return std::string(h.path) + "|" + std::string(h.scheme) + "|" + std::string(h.authority);
  };
  EXPECT_EQ(path_of("GET", "https://a.example:1/x?q"), "/x?q|https|a.example:1");
  EXPECT_EQ(path_of("GET", "http://a.example"), "/|http|a.example");
  EXPECT_EQ(path_of("OPTIONS", "http://a.example"), "*|http|a.example");
  EXPECT_EQ(path_of("OPTIONS", "*"), "*|http|h");
  EXPECT_EQ(path_of("GET", "http://a.example?only=query"), "/?only=query|http|a.example");
  EXPECT_EQ(path_of("CONNECT", "a.example:443"), "||h");

  OutHead h;
  std::string_view scheme = "https";
  auto e = build_request_head("GET", "/", &scheme, nullptr, h);
  ASSERT_FALSE(e);
  EXPECT_EQ(e.error().argument, BadArgument::no_authority);
  EXPECT_EQ(build_request_head("G T", "/", nullptr, nullptr, h).error().message(),
            "invalid method: invalid HTTP method");
  std::string_view bad_scheme = "1http", auth = "h";
  EXPECT_EQ(build_request_head("GET", "/", &bad_scheme, &auth, h).error().message(), "invalid url: invalid scheme");
  EXPECT_FALSE(build_response_head(99, h));
  EXPECT_TRUE(build_response_head(999, h));
}

}  // namespace
}  // namespace velmora::h2
