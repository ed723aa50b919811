// The payload kernels WebSocket frames run on: every path's masking and
// UTF-8 validation agree with a byte-at-a-time reference at every length,
// offset and key phase, and the incremental validator accepts a text split
// anywhere exactly when the whole text is valid.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "proto/http/field_scan.h"
#include "proto/http/utf8.h"

namespace velmora::http {
namespace {

class PayloadScan : public ::testing::TestWithParam<ScanPath> {
 protected:
  void SetUp() override {
    set_scan_path(GetParam());
    if (scan_path() != GetParam()) GTEST_SKIP() << "the CPU lacks this scan path";
  }
  void TearDown() override { set_scan_path(ScanPath::automatic); }
};

// The reference: a code point at a time, by the definition's table
// (RFC 3629, section 4).
size_t ref_utf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    auto b = [&](size_t k) { return i + k < s.size() ? (unsigned char)s[i + k] : 0x100u; };
    auto in = [](unsigned v, unsigned lo, unsigned hi) { return v >= lo && v <= hi; };
    unsigned c = b(0);
    size_t n;
    if (c < 0x80) n = 1;
    else if (in(c, 0xc2, 0xdf) && in(b(1), 0x80, 0xbf)) n = 2;
    else if (c == 0xe0 && in(b(1), 0xa0, 0xbf) && in(b(2), 0x80, 0xbf)) n = 3;
    else if ((in(c, 0xe1, 0xec) || in(c, 0xee, 0xef)) && in(b(1), 0x80, 0xbf) && in(b(2), 0x80, 0xbf)) n = 3;
    else if (c == 0xed && in(b(1), 0x80, 0x9f) && in(b(2), 0x80, 0xbf)) n = 3;
    else if (c == 0xf0 && in(b(1), 0x90, 0xbf) && in(b(2), 0x80, 0xbf) && in(b(3), 0x80, 0xbf)) n = 4;
    else if (in(c, 0xf1, 0xf3) && in(b(1), 0x80, 0xbf) && in(b(2), 0x80, 0xbf) && in(b(3), 0x80, 0xbf)) n = 4;
    else if (c == 0xf4 && in(b(1), 0x80, 0x8f) && in(b(2), 0x80, 0xbf) && in(b(3), 0x80, 0xbf)) n = 4;
    else return i;
    i += n;
  }
  return i;
}

// Mostly ASCII with code points of every length, and now and then a broken
// byte: the mix where the vector paths switch between their steps.
std::string random_text(std::mt19937& rng, size_t n, bool corrupt) {
  static const char* pieces[] = {"a", "z", " ", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\xed\x9f\xbf",
                                 "\xf4\x8f\xbf\xbf", "\xef\xbf\xbd", "\xc2\x80"};
  static const char* broken[] = {"\x80", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xff", "\xe2\x82",
                                 "\xf0\x9f\x98", "\xc3"};
  std::string s;
  while (s.size() < n) {
    unsigned r = rng() % 100;
    if (r < 70) s += char('a' + rng() % 26);
    else s += pieces[rng() % std::size(pieces)];
  }
  if (corrupt) s.insert(rng() % (s.size() + 1), broken[rng() % std::size(broken)]);
  return s;
}

TEST_P(PayloadScan, Utf8AgreesWithReference) {
  std::mt19937 rng(11);
  for (int round = 0; round < 6000; ++round) {
    std::string s = random_text(rng, rng() % 300, round % 3 == 0);
    // Every offset into the text: the vector loads start misaligned.
    size_t off = rng() % 4;
    std::string t = s.substr(std::min(off, s.size()));
    ASSERT_EQ(scan_utf8(t.data(), t.size()), ref_utf8(t)) << "round " << round;
  }
  // Long ASCII runs with a single break at every position past a vector.
  std::string a(200, 'x');
  for (size_t at = 0; at < a.size(); ++at) {
    std::string t = a;
    t[at] = char(0xc3);
    ASSERT_EQ(scan_utf8(t.data(), t.size()), at) << at;
  }
}

// Every pair of high octets, and lead-continuation-continuation triples of
// every kind, at the places where vector blocks meet: the cases the lookup
// tables and the carry between blocks must get right.
TEST_P(PayloadScan, Utf8SequencesAcrossBlockEdges) {
  std::string buf(80, 'a');
  for (size_t at : {0, 13, 14, 15, 16, 30, 31, 32, 33, 62, 63, 64, 77, 78}) {
    for (unsigned a = 0x80; a < 0x100; ++a)
      for (unsigned b = 0x00; b < 0x100; b += (b < 0x80 ? 0x3f : 1)) {
        std::string t = buf;
        t[at] = char(a);
        if (at + 1 < t.size()) t[at + 1] = char(b);
        ASSERT_EQ(scan_utf8(t.data(), t.size()), ref_utf8(t)) << at << " " << a << " " << b;
      }
    for (unsigned a : {0xe0u, 0xe1u, 0xedu, 0xefu, 0xf0u, 0xf1u, 0xf4u, 0xf5u})
      for (unsigned b = 0x80; b < 0xc0; ++b)
        for (unsigned c : {0x41u, 0x80u, 0x8fu, 0x90u, 0xbfu, 0xc0u})
          for (unsigned d : {0x41u, 0x80u, 0xbfu}) {
            std::string t = buf;
            t[at] = char(a);
            if (at + 1 < t.size()) t[at + 1] = char(b);
            if (at + 2 < t.size()) t[at + 2] = char(c);
            if (at + 3 < t.size()) t[at + 3] = char(d);
            ASSERT_EQ(scan_utf8(t.data(), t.size()), ref_utf8(t)) << at << " " << a << " " << b << " " << c;
          }
  }
}

TEST_P(PayloadScan, MaskAgreesWithReferenceAtEveryPhase) {
  std::mt19937 rng(5);
  const uint8_t key[4] = {0x37, 0xfa, 0x21, 0x3d};
  for (size_t n = 0; n < 300; n += 1 + n / 16) {
    std::string src(n + 7, '\0');
    for (char& c : src) c = char(rng());
    for (size_t phase = 0; phase < 4; ++phase)
      for (size_t off = 0; off < 4; ++off) {
        std::string dst(n, '\0');
        mask_bytes(dst.data(), src.data() + off, n, key, phase);
        for (size_t i = 0; i < n; ++i)
          ASSERT_EQ(uint8_t(dst[i]), uint8_t(src[off + i]) ^ key[(i + phase) & 3]) << n << " " << phase;
        // In place gives the same.
        std::string in(src.substr(off, n));
        mask_bytes(in.data(), in.data(), n, key, phase);
        ASSERT_EQ(in, dst);
      }
  }
}

TEST_P(PayloadScan, StreamAcceptsEverySplitOfAValidText) {
  std::mt19937 rng(3);
  for (int round = 0; round < 600; ++round) {
    bool corrupt = round % 2;
    std::string s = random_text(rng, 1 + rng() % 80, corrupt);
    const bool valid = ref_utf8(s) == s.size();
    // Cut into up to four pieces anywhere, code points included.
    size_t a = rng() % (s.size() + 1), b = rng() % (s.size() + 1), c = rng() % (s.size() + 1);
    size_t cuts[5] = {0, std::min({a, b, c}), 0, std::max({a, b, c}), s.size()};
    cuts[2] = a + b + c - cuts[1] - cuts[3];
    Utf8Stream u;
    bool ok = true;
    for (int i = 0; i < 4 && ok; ++i) ok = u.feed(std::string_view(s).substr(cuts[i], cuts[i + 1] - cuts[i]));
    ASSERT_EQ(ok && u.finish(), valid) << round;
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, PayloadScan, ::testing::Values(ScanPath::portable, ScanPath::sse42, ScanPath::avx2),
                         [](const ::testing::TestParamInfo<ScanPath>& i) {
                           switch (i.param) {
                             case ScanPath::portable: return std::string("portable");
                             case ScanPath::sse42: return std::string("sse42");
                             case ScanPath::avx2: return std::string("avx2");
                             default: return std::string("automatic");
                           }
                         });

// The validator fails at the first octet that cannot begin a valid text,
// not only once the text ends: a peer streaming a bad message is stopped
// at once.
TEST(Utf8Stream, FailsAtTheFirstImpossibleOctet) {
  Utf8Stream u;
  EXPECT_TRUE(u.feed("caf\xc3"));
  EXPECT_EQ(u.held(), 1u);
  EXPECT_FALSE(u.feed("A"));
  Utf8Stream v;
  EXPECT_TRUE(v.feed("\xf0\x9f"));
  EXPECT_TRUE(v.feed("\x98"));
  EXPECT_FALSE(v.finish());
  EXPECT_TRUE(v.feed("\x80ok"));
  EXPECT_TRUE(v.finish());
  Utf8Stream w;
  EXPECT_FALSE(w.feed("\xed\xa0"));  // a surrogate is refused from its second octet
}

}  // namespace
}  // namespace velmora::http
