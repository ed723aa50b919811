#include <gtest/gtest.h>

#include "proto/http/utf8.h"
#include "proxy/credentials.h"

namespace velmora::proxy {
namespace {

std::string b64(std::string_view s) {
  std::string out = "x";
  base64_append(s, out);
  EXPECT_EQ(out.size(), 1 + base64_size(s.size()));
  return out.substr(1);
}

TEST(Base64, Rfc4648Vectors) {
  EXPECT_EQ(b64(""), "");
  EXPECT_EQ(b64("f"), "Zg==");
  EXPECT_EQ(b64("fo"), "Zm8=");
  EXPECT_EQ(b64("foo"), "Zm9v");
  EXPECT_EQ(b64("foob"), "Zm9vYg==");
  EXPECT_EQ(b64("fooba"), "Zm9vYmE=");
  EXPECT_EQ(b64("foobar"), "Zm9vYmFy");
  // High bytes and the two last alphabet characters.
  EXPECT_EQ(b64(std::string_view("\xfb\xff\xbf", 3)), "+/+/");
  EXPECT_EQ(b64(std::string_view("\0\0", 2)), "AAA=");
}

TEST(PercentDecode, EscapesAndStrayPercents) {
  EXPECT_EQ(percent_decode_utf8("p%40ss%3Aw%3a"), "p@ss:w:");
  EXPECT_EQ(percent_decode_utf8("100%"), "100%");
  EXPECT_EQ(percent_decode_utf8("%4"), "%4");
  EXPECT_EQ(percent_decode_utf8("%zz%4g"), "%zz%4g");
  EXPECT_EQ(percent_decode_utf8("%%41"), "%A");
  EXPECT_EQ(percent_decode_utf8("%00"), std::string(1, '\0'));
  EXPECT_EQ(percent_decode_utf8("%C3%A9t%C3%A9"), "\xc3\xa9t\xc3\xa9");
}

TEST(PercentDecode, InvalidUtf8BecomesReplacement) {
  const std::string r = "\xef\xbf\xbd";
  EXPECT_EQ(percent_decode_utf8("a%FFb"), "a" + r + "b");
  // A truncated sequence is one replacement; the byte that broke it survives.
  EXPECT_EQ(percent_decode_utf8("%E2%82x"), r + "x");
  EXPECT_EQ(percent_decode_utf8("%E2%82"), r);
  // Overlong forms and surrogates: each byte is its own invalid subpart.
  EXPECT_EQ(percent_decode_utf8("%C0%AF"), r + r);
  EXPECT_EQ(percent_decode_utf8("%ED%A0%80"), r + r + r);
  EXPECT_EQ(percent_decode_utf8("%F4%90%80%80"), r + r + r + r);
  EXPECT_EQ(percent_decode_utf8("%F0%9F%98%80"), "\xf0\x9f\x98\x80");
  EXPECT_TRUE(http::is_valid_utf8(percent_decode_utf8("%80%BF%F8%FE%C2")));
}

TEST(Utf8, StrictValidation) {
  EXPECT_TRUE(http::is_valid_utf8("plain"));
  EXPECT_TRUE(http::is_valid_utf8("\xf4\x8f\xbf\xbf"));
  EXPECT_FALSE(http::is_valid_utf8("\xc1\xbf"));
  EXPECT_FALSE(http::is_valid_utf8("\xe0\x9f\xbf"));
  EXPECT_FALSE(http::is_valid_utf8("\xed\xbf\xbf"));
  EXPECT_FALSE(http::is_valid_utf8("\xf4\x90\x80\x80"));
  EXPECT_FALSE(http::is_valid_utf8("abc\xe2\x82"));
}

}  // namespace
}  // namespace velmora::proxy
