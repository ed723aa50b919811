#include "proto/h1/body_decoder.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace velmora::h1 {
namespace {

using Progress = BodyDecoder::Progress;

// Everything a decoder produced from one input: the body, the trailers, the
// leftover count, or the first error.
struct Outcome {
  std::string body;
  std::vector<std::pair<std::string, std::string>> trailers;
  bool has_trailers = false;
  size_t leftover = 0;
  bool complete = false;
  bool failed = false;
  IoKind io = IoKind::none;
  std::string cause;

  bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& o, std::ostream* os) {
  *os << "{body=" << testing::PrintToString(o.body) << " trailers=" << o.trailers.size()
      << " leftover=" << o.leftover << " complete=" << o.complete << " failed=" << o.failed << " io=" << int(o.io)
      << " cause=" << o.cause << "}";
}

// Drains every decodable step.
bool pump(BodyDecoder& d, Outcome& o) {
  for (;;) {
    Result<BodyDecoder::Decoded> r = d.decode();
    if (!r) {
      o.failed = true;
      o.io = r.error().io;
      o.cause = r.error().cause;
      EXPECT_EQ(r.error().kind, ErrorKind::body);
      return true;
    }
    switch (r->progress) {
      case Progress::data:
        EXPECT_GT(r->data.size, 0u);
        o.body += r->data.str();
        continue;
      case Progress::need_more:
        return false;
      case Progress::complete:
        return true;
    }
  }
}

Outcome finish(BodyDecoder& d, Outcome o) {
  o.complete = d.is_complete();
  o.leftover = o.failed ? 0 : d.buffered();  // after an error the unread rest depends on the split
  if (auto t = d.take_trailers()) {
    o.has_trailers = true;
    t->for_each([&](std::string_view n, std::string_view v) { o.trailers.emplace_back(n, v); });
  }
  return o;
}

// Feeds `input` in the given pieces, decoding after each, then marks EOF.
Outcome run(BodyDecoder d, const std::string& input, const std::vector<size_t>& cuts, bool eof = true) {
  Outcome o;
  size_t pos = 0;
  for (size_t c : cuts) {
    d.feed(std::string_view(input).substr(pos, c - pos));
    pos = c;
    if (pump(d, o)) {
      d.feed(std::string_view(input).substr(pos));  // the rest stays buffered
      return finish(d, o);
    }
  }
  d.feed(std::string(input.substr(pos)));
  if (pump(d, o)) return finish(d, o);
  if (eof) {
    d.mark_eof();
    pump(d, o);
  }
  return finish(d, o);
}

Outcome chunked(const std::string& input, bool eof = true) {
  return run(BodyDecoder(BodyFraming::chunked), input, {}, eof);
}

void expect_error(const std::string& input, IoKind io, const std::string& cause) {
  Outcome o = chunked(input);
  EXPECT_TRUE(o.failed) << input;
  EXPECT_EQ(o.io, io) << input;
  EXPECT_EQ(o.cause, cause) << input;
}

TEST(BodyDecoderLength, SplitsBodyFromLeftover) {
  BodyDecoder d(BodyFraming::length, 5);
  d.feed(std::string_view("hello world"));
  auto r = d.decode();
  ASSERT_EQ(r->progress, Progress::data);
  EXPECT_EQ(r->data.str(), "hello");
  EXPECT_TRUE(d.is_complete());
  EXPECT_EQ(d.buffered(), 6u);
  EXPECT_EQ(d.decode()->progress, Progress::complete);
  d.feed(std::string_view("!"));  // accepted after completion, stays buffered
  EXPECT_EQ(d.buffered(), 7u);
  std::string rest;
  d.drain_input([&](std::string_view s) { rest += s; });
  EXPECT_EQ(rest, " world!");
  EXPECT_EQ(d.buffered(), 0u);
}

TEST(BodyDecoderLength, TruncatedBodyIsUnexpectedEof) {
  BodyDecoder d(BodyFraming::length, 5);
  d.feed(std::string_view("hel"));
  EXPECT_EQ(d.decode()->data.str(), "hel");
  EXPECT_EQ(d.decode()->progress, Progress::need_more);
  d.mark_eof();
  auto r = d.decode();
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().io, IoKind::unexpected_eof);
  EXPECT_EQ(r.error().cause, "end of file before message length reached");
  EXPECT_FALSE(d.is_complete());
}

TEST(BodyDecoderLength, EmptyKindsAreCompleteAtOnce) {
  EXPECT_TRUE(BodyDecoder::from_kind("empty", 7).is_complete());
  EXPECT_TRUE(BodyDecoder::from_kind("length", 0).is_complete());
  EXPECT_TRUE(BodyDecoder::from_kind("whatever", 3).is_complete());
  EXPECT_FALSE(BodyDecoder::from_kind("length", 1).is_complete());
  EXPECT_EQ(BodyDecoder::from_kind("chunked", 0).framing(), BodyFraming::chunked);
  EXPECT_EQ(BodyDecoder::from_kind("close", 0).framing(), BodyFraming::close);
}

TEST(BodyDecoderLength, SliceSpansSeveralFeedsAndSurvivesLaterFeeds) {
  BodyDecoder d(BodyFraming::length, 2000);
  std::string a(300, 'a'), b(700, 'b');
  d.feed(std::string(a));
  d.feed(std::string_view("x"));  // small feed coalesced into the last block?
  d.feed(std::string(b));
  auto r = d.decode();
  ASSERT_EQ(r->progress, Progress::data);
  // Later feeds must not disturb a slice already handed out.
  for (int i = 0; i < 100; ++i) d.feed(std::string_view("zz"));
  EXPECT_EQ(r->data.str(), a + "x" + b);
  EXPECT_EQ(d.buffered(), 200u);
}

TEST(BodyDecoderLength, SharedInputIsNotCopiedAndReleasedThroughRetired) {
  auto big = std::make_shared<std::string>(1000, 'q');
  std::weak_ptr<std::string> watch = big;
  BodyDecoder d(BodyFraming::length, 600);
  d.defer_release(true);
  d.feed_shared(*big, big);
  const char* base = big->data();
  big.reset();
  auto r = d.decode();
  ASSERT_EQ(r->progress, Progress::data);
  ASSERT_EQ(r->data.pieces.size(), 1u);
  EXPECT_EQ(r->data.pieces[0].data, base);  // a view into the caller's buffer
  r = BodyDecoder::Decoded{};
  EXPECT_FALSE(watch.expired());  // the rest is still buffered
  std::string rest;
  d.drain_input([&](std::string_view s) { rest += s; });
  EXPECT_EQ(rest, std::string(400, 'q'));
  EXPECT_FALSE(watch.expired());  // deferred: held until handed out
  std::vector<BodyDecoder::Owner> retired;
  d.take_retired(retired);
  EXPECT_EQ(retired.size(), 1u);
  retired.clear();
  EXPECT_TRUE(watch.expired());
}

TEST(BodyDecoderClose, PiecesOfAtMost8192UntilEof) {
  BodyDecoder d(BodyFraming::close);
  d.feed(std::string(20000, 'c'));
  EXPECT_EQ(d.decode()->data.size, 8192u);
  EXPECT_EQ(d.decode()->data.size, 8192u);
  EXPECT_EQ(d.decode()->data.size, 3616u);
  EXPECT_EQ(d.decode()->progress, Progress::need_more);
  EXPECT_FALSE(d.is_complete());
  d.mark_eof();
  EXPECT_EQ(d.decode()->progress, Progress::complete);
  EXPECT_TRUE(d.is_complete());
}

TEST(BodyDecoderChunked, BasicBodiesAndTrailers) {
  Outcome o = chunked("5\r\nhello\r\n0\r\n\r\n");
  EXPECT_TRUE(o.complete);
  EXPECT_FALSE(o.failed);
  EXPECT_EQ(o.body, "hello");
  EXPECT_FALSE(o.has_trailers);

  o = chunked("5;name=value\r\nhello\r\n0\r\nx-checksum: abc\r\n\r\n");
  EXPECT_TRUE(o.complete);
  EXPECT_EQ(o.body, "hello");
  ASSERT_TRUE(o.has_trailers);
  EXPECT_EQ(o.trailers, (std::vector<std::pair<std::string, std::string>>{{"x-checksum", "abc"}}));

  // Names are lowercased, repeated names keep every value in order, values trimmed.
  o = chunked("3\r\nabc\r\n0\r\nX-A: 1 \r\nB:\t2\r\nx-a: 3\r\n\r\nNEXT");
  EXPECT_TRUE(o.complete);
  EXPECT_EQ(o.leftover, 4u);
  EXPECT_EQ(o.trailers,
            (std::vector<std::pair<std::string, std::string>>{{"x-a", "1"}, {"x-a", "3"}, {"b", "2"}}));

  // Upper and lower case hex, white space after the size, a zero-padded size.
  o = chunked("A \r\n0123456789\r\nb\t;x\r\nabcdefghijk\r\n0001\r\n!\r\n0\r\n\r\n");
  EXPECT_FALSE(o.failed) << o.cause;
  EXPECT_EQ(o.body, "0123456789abcdefghijk!");
}

TEST(BodyDecoderChunked, AnySplitGivesTheSameOutcome) {
  const std::vector<std::string> inputs = {
      "5\r\nhello\r\n0\r\n\r\n",
      "1A;a=b;c\r\nabcdefghijklmnopqrstuvwxyz\r\n3  \r\nxyz\r\n0\r\nt1: v\r\nt2: w\r\n\r\nGET / HTTP/1.1\r\n",
      "4\r\nabcd\r\n0\r\n\r\n\r\n",
      "5\r\nhel",          // truncated in data
      "5\r\nhello\r\n0",  // truncated in the last size line
      "5\r\nhello\r\n0\r\nx: y\r\n",  // truncated in the trailer section
      "5\r\nhelloX\r\n",               // bad data CR
      "3\r\nabc\r\n0\r\n: bad\r\n\r\n",  // bad trailer name
  };
  std::mt19937 rng(12345);
  for (const std::string& in : inputs) {
    Outcome whole = chunked(in);
    // Byte by byte.
    std::vector<size_t> every;
    for (size_t i = 1; i < in.size(); ++i) every.push_back(i);
    EXPECT_EQ(run(BodyDecoder(BodyFraming::chunked), in, every), whole) << in;
    // Random splits.
    for (int round = 0; round < 50; ++round) {
      std::vector<size_t> cuts;
      for (size_t i = 1; i < in.size(); ++i)
        if (rng() % 4 == 0) cuts.push_back(i);
      EXPECT_EQ(run(BodyDecoder(BodyFraming::chunked), in, cuts), whole) << in;
    }
  }
}

TEST(BodyDecoderChunked, MalformedSizeLines) {
  expect_error("G\r\n", IoKind::invalid_input, "Invalid chunk size line: missing size digit");
  expect_error("\r\n", IoKind::invalid_input, "Invalid chunk size line: missing size digit");
  expect_error("5x\r\n", IoKind::invalid_input, "Invalid chunk size line: Invalid Size");
  expect_error("5 6\r\n", IoKind::invalid_input, "Invalid chunk size linear white space");
  expect_error("5\n", IoKind::invalid_input, "Invalid chunk size LF");
  expect_error("5;a\nb\r\n", IoKind::invalid_data, "invalid chunk extension contains newline");
  expect_error("10000000000000000\r\n", IoKind::invalid_data, "invalid chunk size: overflow");
  expect_error("5\r\nhelloX", IoKind::invalid_input, "Invalid chunk body CR");
  expect_error("5\r\nhello\rX", IoKind::invalid_input, "Invalid chunk body LF");
  expect_error("0\r\n\rX", IoKind::invalid_input, "Invalid chunk end LF");
  expect_error("0\r\nx: y\rX", IoKind::invalid_input, "Invalid trailer end LF");
  // The largest size that fits is accepted (and then truncated by EOF).
  expect_error("FFFFFFFFFFFFFFFF\r\nab", IoKind::unexpected_eof, "end of file before message length reached");
}

TEST(BodyDecoderChunked, TruncationKinds) {
  expect_error("5\r\nhel", IoKind::unexpected_eof, "end of file before message length reached");
  expect_error("5", IoKind::unexpected_eof, "unexpected EOF during chunk size line");
  expect_error("5\r\nhello\r", IoKind::unexpected_eof, "unexpected EOF during chunk size line");
  expect_error("5\r\nhello\r\n0\r\nx: y", IoKind::unexpected_eof, "unexpected EOF during chunk size line");
  // Without EOF the same inputs just wait.
  Outcome o = chunked("5\r\nhel", false);
  EXPECT_FALSE(o.failed);
  EXPECT_FALSE(o.complete);
  EXPECT_EQ(o.body, "hel");
}

TEST(BodyDecoderChunked, ErrorsAreFinal) {
  BodyDecoder d(BodyFraming::chunked);
  d.feed(std::string_view("Z\r\n5\r\nhello\r\n0\r\n\r\n"));
  auto first = d.decode();
  ASSERT_FALSE(first.has_value());
  auto again = d.decode();
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error().cause, first.error().cause);
  EXPECT_FALSE(d.is_complete());
}

std::string ext_body(size_t ext_bytes) {
  // Extension bytes spread over chunks of at most 100 bytes each.
  std::string s;
  while (ext_bytes > 0) {
    size_t k = std::min<size_t>(ext_bytes, 100);
    s += "1;" + std::string(k, 'e') + "\r\nx\r\n";
    ext_bytes -= k;
  }
  return s + "0\r\n\r\n";
}

TEST(BodyDecoderChunked, ExtensionLimit) {
  Outcome ok = chunked(ext_body(16383));
  EXPECT_FALSE(ok.failed) << ok.cause;
  EXPECT_TRUE(ok.complete);
  expect_error(ext_body(16384), IoKind::invalid_data, "chunk extensions over limit");
}

std::string trailer_body(size_t lines, size_t value_len = 1) {
  std::string s = "0\r\n";
  for (size_t i = 0; i < lines; ++i) s += "t" + std::to_string(i) + ": " + std::string(value_len, 'v') + "\r\n";
  return s + "\r\n";
}

TEST(BodyDecoderChunked, TrailerLimits) {
  Outcome ok = chunked(trailer_body(100));
  EXPECT_FALSE(ok.failed) << ok.cause;
  EXPECT_EQ(ok.trailers.size(), 100u);
  expect_error(trailer_body(101), IoKind::invalid_data, "chunk trailers count overflow");

  // Section bytes (CR and LF included) must stay below 16384.
  // "x: " + value + CRLF + CRLF is the value plus 7 bytes.
  std::string below = "0\r\nx: " + std::string(16383 - 7, 'v') + "\r\n";
  Outcome o = chunked(below + "\r\n");
  EXPECT_FALSE(o.failed) << o.cause;
  std::string at = "0\r\nx: " + std::string(16384 - 7, 'v') + "\r\n";
  expect_error(at + "\r\n", IoKind::invalid_data, "chunk trailers bytes over limit");
}

TEST(BodyDecoderChunked, MalformedTrailers) {
  expect_error("0\r\n: v\r\n\r\n", IoKind::invalid_input, "invalid header name");
  expect_error("0\r\nna me: v\r\n\r\n", IoKind::invalid_input, "invalid header name");
  expect_error("0\r\nnovalue\r\n\r\n", IoKind::invalid_input, "invalid header name");
  expect_error(std::string("0\r\nx: a\x01" "b\r\n\r\n"), IoKind::invalid_input, "invalid header value");
  // A bare LF inside a line splits it into more fields than lines counted.
  expect_error("0\r\na: 1\nb: 2\r\n\r\n", IoKind::invalid_input, "too many headers");
  // An empty line made of bare LFs inside the section must not hide the lines after it.
  expect_error("0\r\na: 1\n\nb: 2\r\n\r\n", IoKind::invalid_input, "invalid new line");
  expect_error("0\r\na: 1\n\r\nb: 2\r\n\r\n", IoKind::invalid_input, "invalid new line");
  expect_error("0\r\n\nb: 2\r\n\r\n", IoKind::invalid_input, "invalid new line");
  expect_error(std::string("0\r\nx: a\x7f\r\n\r\n"), IoKind::invalid_input, "invalid header value");
}

}  // namespace
}  // namespace velmora::h1
