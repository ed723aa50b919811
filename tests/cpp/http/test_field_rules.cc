// Field rules both codecs share: the Content-Length rules and the
// connection-specific fields HTTP/2 refuses.
#include <gtest/gtest.h>

#include "proto/http/connection_fields.h"
#include "proto/http/content_length.h"

namespace velmora::http {
namespace {

ContentLengthLines lines(std::initializer_list<std::string_view> ls) {
  ContentLengthLines cl;
  for (std::string_view l : ls) cl.add(l);
  return cl;
}

TEST(ContentLength, StrictRuleIsDigitsOnlyWithin64Bits) {
  EXPECT_EQ(parse_content_length("0"), 0u);
  EXPECT_EQ(parse_content_length("18446744073709551615"), UINT64_MAX);
  for (std::string_view bad : {"18446744073709551616", "", "+5", "-5", " 5", "5 ", "5,5", "0x10", "５"})
    EXPECT_EQ(parse_content_length(bad), Result<uint64_t>(fail(ErrorKind::invalid_content_length))) << bad;
}

TEST(ContentLength, ListRuleNeedsEveryElementEqual) {
  EXPECT_FALSE(lines({}).present());
  ContentLengthLines same = lines({"5, 5", "5"});
  EXPECT_TRUE(same.present() && same.valid());
  EXPECT_EQ(same.value(), 5u);
  EXPECT_FALSE(lines({"5", "6"}).valid());
  EXPECT_FALSE(lines({"5,"}).valid());     // an empty element
  EXPECT_FALSE(lines({"5\x80"}).valid());  // not visible ASCII
  EXPECT_FALSE(lines({"0", "00", "1"}).valid());
  // A bad line stays bad whatever follows, and presence is still reported.
  ContentLengthLines bad = lines({"x", "5"});
  EXPECT_TRUE(bad.present());
  EXPECT_FALSE(bad.valid());
}

TEST(ConnectionFields, NamesAndTeTrailers) {
  for (std::string_view n : {"connection", "keep-alive", "proxy-connection", "transfer-encoding", "upgrade"})
    EXPECT_TRUE(is_connection_specific(n, "x")) << n;
  for (std::string_view n : {"content-length", "host", "te-x", "upgrade-insecure-requests", "connectio"})
    EXPECT_FALSE(is_connection_specific(n, "x")) << n;
  EXPECT_FALSE(is_connection_specific("te", "trailers"));
  EXPECT_TRUE(is_connection_specific("te", "Trailers"));
  EXPECT_TRUE(is_connection_specific("te", "trailers, gzip"));
}

}  // namespace
}  // namespace velmora::http
