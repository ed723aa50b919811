// Differential HPACK against nghttp2 (a peer, linked when libnghttp2 is
// present): blocks our encoder writes decode through nghttp2's inflater, and
// blocks nghttp2's deflater writes decode through ours, across many blocks
// of one connection and table-size changes.
//
// Deliberate differences: none in what is decoded. Our decoder also applies
// the HTTP/2 message rules, so the lists here hold no field those rules drop.
#ifdef VELMORA_HAVE_NGHTTP2

#include <gtest/gtest.h>
#include <nghttp2/nghttp2.h>

#include <random>
#include <string>
#include <vector>

#include "proto/h2/hpack.h"
#include "tests/cpp/h2/hpack_testing.h"

namespace velmora::h2::hpack {
namespace {

using testing::Fields;

// Random lists: pseudo-headers first, then regular fields with names from a
// small set (so the tables get reused) and values of every allowed octet.
struct ListMaker {
  std::mt19937 rng;
  Fields make() {
    static const char* kNames[] = {"content-type", "x-request-id", "cookie", "accept", "date", "cache-control",
                                   "user-agent", "authorization", "set-cookie", "x-a"};
    Fields f;
    if (rng() % 2) {
      f.emplace_back(":method", rng() % 2 ? "GET" : "POST");
      f.emplace_back(":scheme", "https");
      f.emplace_back(":authority", "example.com");
      f.emplace_back(":path", "/" + std::to_string(rng() % 50));
    } else {
      f.emplace_back(":status", std::to_string(200 + rng() % 300));
    }
    size_t n = rng() % 14;
    for (size_t i = 0; i < n; ++i) {
      std::string v(rng() % 8 == 0 ? 200 + rng() % 2000 : rng() % 30, '\0');
      for (char& c : v) {
        uint8_t b = uint8_t(rng());
        c = b < 0x20 || b == 0x7f ? char('a' + b % 26) : char(b);
      }
      if (rng() % 3 == 0) v = "v" + std::to_string(rng() % 8);  // repeats
      // HTTP/2 refuses values with surrounding whitespace.
      if (!v.empty() && v.front() == ' ') v.front() = '_';
      if (!v.empty() && v.back() == ' ') v.back() = '_';
      f.emplace_back(kNames[rng() % 10], v);
    }
    return f;
  }
};

Fields inflate(nghttp2_hd_inflater* inf, const std::string& wire, bool& ok) {
  Fields out;
  ok = false;
  auto* in = reinterpret_cast<const uint8_t*>(wire.data());
  size_t left = wire.size();
  for (;;) {
    nghttp2_nv nv;
    int flags = 0;
    nghttp2_ssize rv = nghttp2_hd_inflate_hd3(inf, &nv, &flags, in, left, 1);
    if (rv < 0) return out;
    in += rv;
    left -= size_t(rv);
    if (flags & NGHTTP2_HD_INFLATE_EMIT)
      out.emplace_back(std::string((const char*)nv.name, nv.namelen), std::string((const char*)nv.value, nv.valuelen));
    if (flags & NGHTTP2_HD_INFLATE_FINAL) {
      nghttp2_hd_inflate_end_headers(inf);
      ok = true;
      return out;
    }
    if (!(flags & NGHTTP2_HD_INFLATE_EMIT) && left == 0) return out;
  }
}

TEST(HpackNghttp2, OurEncoderToTheirInflater) {
  ListMaker lists{std::mt19937(21)};
  Encoder enc;
  nghttp2_hd_inflater* inf;
  ASSERT_EQ(nghttp2_hd_inflate_new(&inf), 0);
  for (int block = 0; block < 4000; ++block) {
    if (block % 37 == 5) {
      // SETTINGS_HEADER_TABLE_SIZE from the peer, sometimes twice per gap.
      for (int k = 0; k < 1 + int(lists.rng() % 2); ++k) {
        uint32_t s = lists.rng() % 3 ? lists.rng() % 6000 : 4096;
        enc.set_table_size(s);
        ASSERT_EQ(nghttp2_hd_inflate_change_table_size(inf, s), 0);
      }
    }
    Fields f = lists.make();
    std::vector<Field> fields;
    for (auto& [n, v] : f) fields.push_back({n, v, v.size() == 7});
    std::string wire;
    enc.encode(fields, wire);
    bool ok;
    Fields got = inflate(inf, wire, ok);
    ASSERT_TRUE(ok) << "block " << block;
    ASSERT_EQ(got, f) << "block " << block;
  }
  nghttp2_hd_inflate_del(inf);
}

TEST(HpackNghttp2, RawStoriesThroughOurEncoderAndTheirInflater) {
  auto root = testing::stories_root();
  auto stories = root.empty() ? std::vector<testing::Story>{} : testing::load_stories(root, "raw-data");
  if (stories.empty()) GTEST_SKIP() << "no interop stories (shared/conformance beside the checkout)";
  for (const auto& story : stories) {
    Encoder enc;
    nghttp2_hd_inflater* inf;
    ASSERT_EQ(nghttp2_hd_inflate_new(&inf), 0);
    for (size_t i = 0; i < story.cases.size(); ++i) {
      const auto& c = story.cases[i];
      if (c.header_table_size >= 0) {
        enc.set_table_size(uint32_t(c.header_table_size));
        ASSERT_EQ(nghttp2_hd_inflate_change_table_size(inf, size_t(c.header_table_size)), 0);
      }
      std::vector<Field> fields;
      for (auto& [n, v] : c.headers) fields.push_back({n, v});
      std::string wire;
      enc.encode(fields, wire);
      bool ok;
      // nghttp2's inflater applies no message rules: the list comes back whole.
      Fields got = inflate(inf, wire, ok);
      ASSERT_TRUE(ok) << story.name << " case " << i;
      ASSERT_EQ(got, c.headers) << story.name << " case " << i;
    }
    nghttp2_hd_inflate_del(inf);
  }
}

TEST(HpackNghttp2, TheirDeflaterToOurDecoder) {
  ListMaker lists{std::mt19937(22)};
  Decoder dec;
  nghttp2_hd_deflater* def;
  ASSERT_EQ(nghttp2_hd_deflate_new(&def, 4096), 0);
  std::vector<uint8_t> buf(1 << 16);
  for (int block = 0; block < 4000; ++block) {
    if (block % 41 == 7) {
      uint32_t s = lists.rng() % 3 ? lists.rng() % 6000 : 4096;
      ASSERT_EQ(nghttp2_hd_deflate_change_table_size(def, s), 0);
      dec.queue_size_update(s);
    }
    Fields f = lists.make();
    std::vector<nghttp2_nv> nva;
    for (auto& [n, v] : f)
      nva.push_back({(uint8_t*)n.data(), (uint8_t*)v.data(), n.size(), v.size(),
                     uint8_t(v.size() == 7 ? NGHTTP2_NV_FLAG_NO_INDEX : NGHTTP2_NV_FLAG_NONE)});
    nghttp2_ssize rv = nghttp2_hd_deflate_hd2(def, buf.data(), buf.size(), nva.data(), nva.size());
    ASSERT_GT(rv, 0);
    HeaderBlock hb(16u << 20);
    testing::Recorder rec;
    auto r = dec.decode(std::string_view((const char*)buf.data(), size_t(rv)), hb, rec, true);
    ASSERT_TRUE(r) << "block " << block << ": " << hpack_error_name(r.error());
    ASSERT_EQ(r->status, BlockStatus::complete);
    ASSERT_EQ(rec.fields, f) << "block " << block;
    // nghttp2 also sends short cookies and credentials never-indexed.
    for (size_t i = 0; i < f.size(); ++i) {
      if (f[i].second.size() == 7 && f[i].first[0] != ':') {
        ASSERT_TRUE(rec.never[i]);
      }
    }
  }
  nghttp2_hd_deflate_del(def);
}

}  // namespace
}  // namespace velmora::h2::hpack

#endif
