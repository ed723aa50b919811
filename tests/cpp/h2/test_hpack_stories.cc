// HPACK interop: header-block stories produced by independent encoders
// (go-hpack, nghttp2, python-hpack) decode to exactly their header lists,
// with one table carried through each story; the raw lists encoded by our
// encoder decode back through our decoder. Fields that HTTP/2 forbids
// (connection-specific ones, pseudo-headers after regular fields, values
// with surrounding whitespace, which some recorded servers did send) are
// dropped and the block reported malformed, as the message rules require.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "proto/h2/hpack.h"
#include "tests/cpp/h2/hpack_testing.h"

namespace velmora::h2::hpack {
namespace {

using testing::BlockOutcome;
using testing::decode_block;
using testing::expected_fields;
using testing::Fields;
using testing::Story;

class HpackStories : public ::testing::TestWithParam<const char*> {
 protected:
  std::vector<Story> load() {
    auto root = testing::stories_root();
    if (root.empty()) return {};
    return testing::load_stories(root, GetParam());
  }
};

TEST_P(HpackStories, DecodeEveryCase) {
  std::vector<Story> stories = load();
  if (stories.empty()) GTEST_SKIP() << "no interop stories (shared/conformance beside the checkout)";
  size_t cases = 0, malformed_cases = 0;
  for (const Story& story : stories) {
    ASSERT_FALSE(story.cases.empty()) << story.name;
    Decoder d;
    for (size_t i = 0; i < story.cases.size(); ++i) {
      const auto& c = story.cases[i];
      if (c.header_table_size >= 0) d.queue_size_update(uint32_t(c.header_table_size));
      bool malformed;
      Fields want = expected_fields(c.headers, malformed);
      BlockOutcome o = decode_block(d, c.wire);
      ASSERT_TRUE(o.ok) << story.name << " case " << i << ": " << hpack_error_name(o.error);
      ASSERT_EQ(o.status, malformed ? BlockStatus::malformed : BlockStatus::complete) << story.name << " case " << i;
      ASSERT_EQ(o.fields, want) << story.name << " case " << i;
      ++cases;
      malformed_cases += malformed;
    }
  }
  EXPECT_GT(cases, 1000u);
  EXPECT_GT(malformed_cases, 0u);
}

INSTANTIATE_TEST_SUITE_P(Encoders, HpackStories, ::testing::Values("go-hpack", "nghttp2", "python-hpack"));

TEST(HpackRawStories, OurEncoderRoundTrips) {
  auto root = testing::stories_root();
  std::vector<Story> stories = root.empty() ? std::vector<Story>{} : testing::load_stories(root, "raw-data");
  if (stories.empty()) GTEST_SKIP() << "no interop stories (shared/conformance beside the checkout)";
  size_t wire_bytes = 0, raw_bytes = 0;
  for (const Story& story : stories) {
    Encoder e;
    Decoder d;
    for (size_t i = 0; i < story.cases.size(); ++i) {
      const auto& c = story.cases[i];
      if (c.header_table_size >= 0) {
        e.set_table_size(uint32_t(c.header_table_size));
        d.queue_size_update(uint32_t(c.header_table_size));
      }
      std::vector<Field> fields;
      for (auto& [n, v] : c.headers) {
        fields.push_back({n, v});
        raw_bytes += n.size() + v.size();
      }
      std::string wire;
      e.encode(fields, wire);
      wire_bytes += wire.size();
      bool malformed;
      Fields want = expected_fields(c.headers, malformed);
      BlockOutcome o = decode_block(d, wire);
      ASSERT_TRUE(o.ok) << story.name << " case " << i << ": " << hpack_error_name(o.error);
      ASSERT_EQ(o.fields, want) << story.name << " case " << i;
    }
  }
  // Compression actually happens.
  EXPECT_LT(wire_bytes * 3, raw_bytes);
}

}  // namespace
}  // namespace velmora::h2::hpack
