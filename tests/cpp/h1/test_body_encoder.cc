#include "proto/h1/body_encoder.h"

#include <gtest/gtest.h>

#include <string>

namespace velmora::h1 {
namespace {

std::string chunk(std::string_view data) {
  std::string out(chunk_framed_size(data.size()), '\0');
  char* end = write_chunk(data, out.data());
  EXPECT_EQ(size_t(end - out.data()), out.size());
  return out;
}

std::string end_bytes(const EndPlan& p, const http::HeaderMap* t, bool title = false) {
  std::string out(p.size, '\0');
  char* end = write_end(p, t, title, out.data());
  EXPECT_EQ(size_t(end - out.data()), out.size());
  return out;
}

http::HeaderMap map(std::initializer_list<std::pair<std::string_view, std::string_view>> fields) {
  http::HeaderMap m;
  for (auto [n, v] : fields) EXPECT_TRUE(m.append(n, v));
  return m;
}

std::optional<BodyEncoder> chunked_with(std::vector<std::string> names) {
  return BodyEncoder::chunked(std::move(names));
}

TEST(BodyEncoder, ChunkFramingIsUpperHexWithoutPadding) {
  EXPECT_EQ(chunk("hello"), "5\r\nhello\r\n");
  EXPECT_EQ(chunk(std::string(26, 'z')), "1A\r\n" + std::string(26, 'z') + "\r\n");
  EXPECT_EQ(chunk(std::string(16, 'x')), "10\r\n" + std::string(16, 'x') + "\r\n");
  std::string big(0xABCDE, 'b');
  EXPECT_EQ(chunk(big).substr(0, 7), "ABCDE\r\n");
  EXPECT_EQ(chunk_framed_size(big.size()), big.size() + 9);
}

TEST(BodyEncoder, DataPerFraming) {
  std::optional<BodyEncoder> none;
  EXPECT_EQ(plan_data(none, 0).action, DataAction::same);  // empty chunk: never an error
  EXPECT_EQ(plan_data(none, 3).action, DataAction::no_encoder);

  std::optional<BodyEncoder> len = BodyEncoder::length(5);
  DataPlan p = plan_data(len, 3);
  EXPECT_EQ(p.action, DataAction::same);
  EXPECT_EQ(len->remaining, 2u);
  // Past the declared length: refused whole, the encoder as it was (a cut
  // body would look complete to the peer).
  p = plan_data(len, 4);
  EXPECT_EQ(p.action, DataAction::past_length);
  EXPECT_EQ(p.size, 2u);
  EXPECT_EQ(len->remaining, 2u);
  p = plan_data(len, 2);
  EXPECT_EQ(p.action, DataAction::same);
  EXPECT_TRUE(len->is_eof());
  p = plan_data(len, 1);
  EXPECT_EQ(p.action, DataAction::past_length);
  EXPECT_EQ(p.size, 1u);
  EXPECT_TRUE(len.has_value());  // data never ends the body
  EXPECT_EQ(message(past_length_error(1)), "user body write aborted: 1 bytes past the declared length");
  // A message that carries no body by the rules (a response to HEAD, 204,
  // 304) drops what it is given.
  std::optional<BodyEncoder> bodyless = BodyEncoder::none();
  p = plan_data(bodyless, 4);
  EXPECT_EQ(p.action, DataAction::prefix);
  EXPECT_EQ(p.size, 0u);

  std::optional<BodyEncoder> ch = BodyEncoder::chunked();
  p = plan_data(ch, 5);
  EXPECT_EQ(p.action, DataAction::framed);
  EXPECT_EQ(p.size, 10u);

  std::optional<BodyEncoder> cl = BodyEncoder::close();
  EXPECT_EQ(plan_data(cl, 5).action, DataAction::same);
  EXPECT_FALSE(body_is_eof(cl));
  EXPECT_FALSE(body_is_eof(ch));
  EXPECT_TRUE(body_is_eof(none));
}

TEST(BodyEncoder, EndTakesTheEncoderOut) {
  std::optional<BodyEncoder> e;
  EXPECT_EQ(end_body(e).value().kind, EndPlan::nothing);

  e = BodyEncoder::chunked();
  Result<EndPlan> p = end_body(e);
  EXPECT_FALSE(e.has_value());
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(p->kind, EndPlan::terminator);
  EXPECT_EQ(end_bytes(*p, nullptr), "0\r\n\r\n");

  e = BodyEncoder::length(0);
  EXPECT_EQ(end_body(e).value().kind, EndPlan::nothing);
  e = BodyEncoder::close();
  EXPECT_EQ(end_body(e).value().kind, EndPlan::nothing);

  e = BodyEncoder::length(5);
  plan_data(e, 3);
  p = end_body(e);
  EXPECT_FALSE(e.has_value());
  ASSERT_FALSE(p.has_value());
  const Error& err = p.error();
  EXPECT_EQ(err.kind, ErrorKind::local);
  EXPECT_EQ(err.local_variant(), LocalFault::body_write_aborted);
  EXPECT_EQ(err.cause, "early end, expected 2 more bytes");
}

TEST(BodyEncoder, TrailersKeepOnlyDeclaredAllowedNames) {
  http::HeaderMap t = map({{"x-checksum", "abc"}, {"x-other", "1"}, {"x-checksum", "def"}});
  auto e = chunked_with({"x-checksum"});
  Result<EndPlan> p = end_body_with_trailers(e, t, true);
  EXPECT_FALSE(e.has_value());
  ASSERT_TRUE(p.has_value());
  ASSERT_EQ(p->kind, EndPlan::trailers);
  EXPECT_EQ(end_bytes(*p, &t), "0\r\nx-checksum: abc\r\nx-checksum: def\r\n\r\n");
  EXPECT_EQ(end_bytes(*p, &t, true), "0\r\nX-Checksum: abc\r\nX-Checksum: def\r\n\r\n");

  // Comma lists are split and trimmed; matching is exact (no case folding).
  http::HeaderMap t2 = map({{"a", "1"}, {"b", "2"}, {"c", "3"}, {"x-checksum", "4"}});
  e = chunked_with({" a ,b", "X-Checksum", "bad\x01value, c"});
  EXPECT_EQ(end_bytes(end_body_with_trailers(e, t2, true).value(), &t2), "0\r\na: 1\r\nb: 2\r\n\r\n");

  // Forbidden names are never written, even when declared.
  http::HeaderMap t3 = map({{"content-length", "5"}, {"set-cookie", "x"}, {"te", "trailers"}});
  e = chunked_with({"content-length, set-cookie, te"});
  p = end_body_with_trailers(e, t3, true);
  EXPECT_EQ(p.value().kind, EndPlan::terminator);

  // Not allowed by the peer, no declared list, or not chunked: a plain end.
  e = chunked_with({"x-checksum"});
  EXPECT_EQ(end_body_with_trailers(e, t, false).value().kind, EndPlan::terminator);
  e = BodyEncoder::chunked();
  EXPECT_EQ(end_body_with_trailers(e, t, true).value().kind, EndPlan::terminator);
  e = BodyEncoder::length(4);
  p = end_body_with_trailers(e, t, true);
  ASSERT_FALSE(p.has_value());
  EXPECT_EQ(p.error().cause, "early end, expected 4 more bytes");
  e.reset();
  EXPECT_EQ(end_body_with_trailers(e, t, true).value().kind, EndPlan::nothing);
}

std::string message(std::optional<BodyEncoder>& e, std::string_view head, std::string_view body,
                    const http::HeaderMap* t, bool allowed = true) {
  Result<MessagePlan> m = plan_message(e, head.size(), body, t, allowed);
  EXPECT_FALSE(e.has_value());
  if (!m) return "<" + m.error().cause + ">";
  std::string out(m->size, '\0');
  char* end = write_message(*m, head, body, t, false, out.data());
  EXPECT_EQ(size_t(end - out.data()), out.size());
  return out;
}

TEST(BodyEncoder, HeadAndBodyInOneBuffer) {
  const std::string_view head = "HTTP/1.1 200 OK\r\n\r\n";
  std::optional<BodyEncoder> e;
  EXPECT_EQ(message(e, head, "body", nullptr), head);

  e = BodyEncoder::none();  // bodyless: the body is ignored
  EXPECT_EQ(message(e, head, "ignored", nullptr), head);

  e = BodyEncoder::length(4);
  EXPECT_EQ(message(e, head, "body", nullptr), std::string(head) + "body");
  e = BodyEncoder::length(4);
  EXPECT_EQ(message(e, head, "bodybody", nullptr), "<4 bytes past the declared length>");
  e = BodyEncoder::length(0);
  EXPECT_EQ(message(e, head, "x", nullptr), "<1 bytes past the declared length>");
  e = BodyEncoder::length(5);
  EXPECT_EQ(message(e, head, "body", nullptr), "<early end, expected 1 more bytes>");
  e = BodyEncoder::length(5);
  EXPECT_EQ(message(e, head, "", nullptr), "<early end, expected 5 more bytes>");

  e = BodyEncoder::chunked();
  EXPECT_EQ(message(e, head, "hello", nullptr), std::string(head) + "5\r\nhello\r\n0\r\n\r\n");
  e = BodyEncoder::chunked();
  EXPECT_EQ(message(e, head, "", nullptr), std::string(head) + "0\r\n\r\n");

  http::HeaderMap t = map({{"x-sum", "1"}});
  e = chunked_with({"x-sum"});
  EXPECT_EQ(message(e, head, "hi", &t), std::string(head) + "2\r\nhi\r\n0\r\nx-sum: 1\r\n\r\n");
  e = chunked_with({"x-sum"});
  EXPECT_EQ(message(e, head, "hi", &t, false), std::string(head) + "2\r\nhi\r\n0\r\n\r\n");

  e = BodyEncoder::close();
  EXPECT_EQ(message(e, head, "raw", &t), std::string(head) + "raw");
}

}  // namespace
}  // namespace velmora::h1
