// The field scanners: every kernel agrees with a byte-by-byte reference at
// every length and stop position, so the tokenizer and HTTP/2 validation
// behave the same on every CPU.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "proto/http/field_scan.h"
#include "proto/http/utf8.h"

namespace velmora::http {
namespace {

class FieldScan : public ::testing::TestWithParam<ScanPath> {
 protected:
  void SetUp() override {
    set_scan_path(GetParam());
    if (scan_path() != GetParam()) GTEST_SKIP() << "the CPU lacks this scan path";
  }
  void TearDown() override { set_scan_path(ScanPath::automatic); }
};

bool ref_tchar(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c != 0 && std::string_view("!#$%&'*+-.^_`|~").find(char(c)) != std::string_view::npos);
}

template <class Stop>
size_t ref_scan(const std::string& buf, size_t len, Stop stop) {
  for (size_t i = 0; i < len; ++i)
    if (stop(uint8_t(buf[i]))) return i;
  return len;
}

TEST_P(FieldScan, KernelsAgreeWithReferenceAtEveryOffset) {
  std::mt19937 rng(7);
  std::string buf(300, 'a');
  for (int round = 0; round < 4000; ++round) {
    static const std::string tokens = "abcXYZ019!#$%&'*+-.^_`|~";
    for (char& c : buf) c = round % 2 ? tokens[rng() % tokens.size()] : char(0x20 + rng() % 0x5f);
    size_t len = rng() % buf.size();
    size_t pos = rng() % (len + 1);
    // One stop byte at pos (if inside), drawn from the interesting ones.
    const unsigned char stops[] = {0x00, 0x01, 0x08, 0x0a, 0x0d, 0x1f, 0x7f, ' ', '\t', 0x80, 0xff,
                                   ':',  '"',  '@',  '{',  'A',  'Z',  '@', '[', '`', 'z'};
    unsigned char s = stops[rng() % sizeof(stops)];
    if (pos < len) buf[pos] = char(s);
    const char* p = buf.data();
    auto where = [&] { return "len " + std::to_string(len) + " pos " + std::to_string(pos) + " byte " + std::to_string(s); };
    ASSERT_EQ(scan_token(p, len), ref_scan(buf, len, [](uint8_t c) { return !ref_tchar(c); })) << where();
    ASSERT_EQ(scan_lower_token(p, len),
              ref_scan(buf, len, [](uint8_t c) { return !ref_tchar(c) || (c >= 'A' && c <= 'Z'); }))
        << where();
    ASSERT_EQ(scan_value(p, len), ref_scan(buf, len, [](uint8_t c) { return (c < 0x20 && c != '\t') || c == 0x7f; }))
        << where();
    ASSERT_EQ(scan_target(p, len), ref_scan(buf, len, [](uint8_t c) { return c <= 0x20 || c == 0x7f; })) << where();
  }
}

// The block classifier marks exactly the bytes the token, value and target
// scanners stop at, in every lane of its 64 bytes.
TEST_P(FieldScan, ClassifierMarksWhatTheScannersStopAt) {
  auto classify = detail::kernels().classify;
  if (!classify) GTEST_SKIP() << "this path scans field by field";
  std::mt19937 rng(11);
  std::string buf(64, 'a');
  for (int round = 0; round < 3000; ++round) {
    for (char& c : buf) c = char(round % 3 == 0 ? rng() % 256 : 0x20 + rng() % 0x60);
    FieldMasks m{};
    classify(buf.data(), m);
    const uint64_t tok = m.non_token, val = m.bad_value, tgt = m.bad_target;
    for (size_t k = 0; k < 64; ++k) {
      auto c = uint8_t(buf[k]);
      ASSERT_EQ((tok >> k) & 1, uint64_t(!ref_tchar(c))) << "byte " << int(c) << " at " << k;
      ASSERT_EQ((val >> k) & 1, uint64_t((c < 0x20 && c != '\t') || c == 0x7f)) << "byte " << int(c) << " at " << k;
      ASSERT_EQ((tgt >> k) & 1, uint64_t(c <= 0x20 || c == 0x7f)) << "byte " << int(c) << " at " << k;
    }
  }
}

TEST_P(FieldScan, NameAndValueChecks) {
  EXPECT_TRUE(is_lower_token("x-forwarded-for"));
  EXPECT_FALSE(is_lower_token("X-Forwarded-For"));
  EXPECT_FALSE(is_lower_token(""));
  EXPECT_FALSE(is_lower_token(":path"));
  EXPECT_TRUE(is_token("X-Forwarded-For"));
  EXPECT_TRUE(is_valid_value(""));
  EXPECT_TRUE(is_valid_value("a\tb \x80\xff"));
  EXPECT_FALSE(is_valid_value(std::string(40, 'v') + "\r\n"));
}

INSTANTIATE_TEST_SUITE_P(Paths, FieldScan, ::testing::Values(ScanPath::portable, ScanPath::sse42, ScanPath::avx2),
                         [](const ::testing::TestParamInfo<ScanPath>& i) {
                           switch (i.param) {
                             case ScanPath::portable: return std::string("portable");
                             case ScanPath::sse42: return std::string("sse42");
                             case ScanPath::avx2: return std::string("avx2");
                             default: return std::string("automatic");
                           }
                         });

// VELMORA_SCAN_PATH caps the automatic choice (for profilers that cannot run
// every vector instruction); without it the widest path comes back.
TEST(ScanPathCap, EnvironmentCapsTheAutomaticChoice) {
  set_scan_path(ScanPath::automatic);
  const ScanPath widest = scan_path();
  ::setenv("VELMORA_SCAN_PATH", "portable", 1);
  set_scan_path(ScanPath::automatic);
  EXPECT_EQ(scan_path(), ScanPath::portable);
  ::setenv("VELMORA_SCAN_PATH", "sse42", 1);
  set_scan_path(ScanPath::automatic);
  EXPECT_EQ(scan_path(), widest == ScanPath::avx2 ? ScanPath::sse42 : widest);
  ::unsetenv("VELMORA_SCAN_PATH");
  set_scan_path(ScanPath::automatic);
  EXPECT_EQ(scan_path(), widest);
}

// The ASCII check and UTF-8 validation skip ASCII a word at a time: a high
// byte, a valid sequence or a broken one is found at every offset and length.
TEST(Utf8WordSkip, FindsEveryNonAsciiPosition) {
  for (size_t len = 0; len <= 24; ++len) {
    std::string ascii(len, 'a');
    EXPECT_TRUE(is_ascii(ascii));
    EXPECT_TRUE(is_valid_utf8(ascii));
    for (size_t at = 0; at < len; ++at) {
      std::string high = ascii;
      high[at] = '\x80';
      EXPECT_FALSE(is_ascii(high)) << len << " " << at;
      EXPECT_FALSE(is_valid_utf8(high)) << len << " " << at;
      std::string good = ascii;
      good.insert(at, "\xc3\xa9");
      EXPECT_FALSE(is_ascii(good));
      EXPECT_TRUE(is_valid_utf8(good)) << len << " " << at;
      std::string cut = ascii.substr(0, at) + "\xe2\x82";
      EXPECT_FALSE(is_valid_utf8(cut)) << at;
    }
  }
}

}  // namespace
}  // namespace velmora::http
