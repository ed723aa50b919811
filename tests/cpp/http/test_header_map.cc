#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "proto/http/date.h"
#include "proto/http/fields.h"
#include "proto/http/header_map.h"

using namespace velmora::http;

namespace {

std::vector<std::pair<std::string, std::string>> items(const HeaderMap& m) {
  std::vector<std::pair<std::string, std::string>> out;
  m.for_each([&](std::string_view n, std::string_view v) { out.emplace_back(n, v); });
  return out;
}

std::vector<std::string> names(const HeaderMap& m) {
  std::vector<std::string> out;
  for (size_t i = 0; i < m.name_count(); ++i) out.emplace_back(m.name_at(i));
  return out;
}

}  // namespace

TEST(HeaderMap, ValuesOfANameStayTogether) {
  HeaderMap m;
  ASSERT_TRUE(m.append("a", "1"));
  ASSERT_TRUE(m.append("b", "2"));
  ASSERT_TRUE(m.append("a", "3"));
  using P = std::pair<std::string, std::string>;
  EXPECT_EQ(items(m), (std::vector<P>{{"a", "1"}, {"a", "3"}, {"b", "2"}}));
  EXPECT_EQ(m.size(), 3u);
  EXPECT_EQ(m.name_count(), 2u);
  ASSERT_TRUE(m.replace("a", "9"));
  EXPECT_EQ(items(m), (std::vector<P>{{"a", "9"}, {"b", "2"}}));
  EXPECT_EQ(m.size(), 2u);
}

TEST(HeaderMap, SwapRemoval) {
  HeaderMap m;
  for (auto n : {"a", "b", "c"}) ASSERT_TRUE(m.append(n, "v"));
  EXPECT_TRUE(m.remove("a"));
  EXPECT_EQ(names(m), (std::vector<std::string>{"c", "b"}));
  EXPECT_FALSE(m.remove("a"));
  EXPECT_TRUE(m.contains("c"));
  EXPECT_TRUE(m.contains("b"));
  EXPECT_TRUE(m.remove("b"));
  EXPECT_TRUE(m.remove("c"));
  EXPECT_TRUE(m.empty());
  EXPECT_EQ(m.size(), 0u);
}

TEST(HeaderMap, CapacityBound) {
  HeaderMap m;
  for (uint32_t i = 0; i < HeaderMap::kMaxNames; ++i) ASSERT_TRUE(m.append("n" + std::to_string(i), "v")) << i;
  EXPECT_TRUE(m.full());
  // Every adding operation is refused, even onto an existing name, and the
  // refusal changes nothing.
  EXPECT_FALSE(m.append("n0", "w"));
  EXPECT_FALSE(m.append("new", "w"));
  EXPECT_FALSE(m.replace("n1", "w"));
  EXPECT_EQ(m.size(), HeaderMap::kMaxNames);
  EXPECT_EQ(m.count("n0"), 1u);
  std::string_view v;
  ASSERT_TRUE(m.first("n24575", v));
  EXPECT_EQ(v, "v");
  EXPECT_TRUE(m.remove("n5"));
  EXPECT_TRUE(m.append("new", "w"));
}

// A model check: random operations against a naive ordered list.
TEST(HeaderMap, MatchesModelUnderRandomOperations) {
  std::mt19937 rng(7);
  HeaderMap m;
  HeaderMap scratch;
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(scratch.append("s" + std::to_string(i), "x"));
  std::vector<std::pair<std::string, std::vector<std::string>>> model;
  auto find = [&](const std::string& n) {
    for (size_t i = 0; i < model.size(); ++i)
      if (model[i].first == n) return int(i);
    return -1;
  };
  for (int step = 0; step < 20000; ++step) {
    std::string n = "h" + std::to_string(rng() % 40);
    std::string v(rng() % 300, char('a' + rng() % 26));
    int i = find(n);
    switch (rng() % 4) {
      case 0:
      case 1:
        ASSERT_TRUE(m.append(n, v));
        if (i < 0) model.push_back({n, {v}}); else model[size_t(i)].second.push_back(v);
        break;
      case 2:
        ASSERT_TRUE(m.replace(n, v));
        if (i < 0) model.push_back({n, {v}}); else model[size_t(i)].second = {v};
        break;
      case 3:
        EXPECT_EQ(m.remove(n), i >= 0);
        if (i >= 0) {
          model[size_t(i)] = model.back();
          model.pop_back();
        }
        break;
    }
    if (step % 97 == 0) {
      std::vector<std::pair<std::string, std::string>> want;
      size_t total = 0;
      for (auto& [name, vals] : model)
        for (auto& x : vals) want.emplace_back(name, x), ++total;
      ASSERT_EQ(items(m), want) << "step " << step;
      ASSERT_EQ(m.size(), total);
      HeaderMap copy = m;
      ASSERT_TRUE(copy == m);
      // Copying into a map that already has storage (larger, with another
      // index size) reuses it; the copy then lives on its own.
      scratch = m;
      ASSERT_EQ(items(scratch), want) << "step " << step;
      ASSERT_TRUE(scratch.append("only-in-scratch", v));
      ASSERT_FALSE(m.contains("only-in-scratch"));
      HeaderMap moved = std::move(copy);
      ASSERT_TRUE(moved == m);
      ASSERT_TRUE(copy.empty());
      ASSERT_TRUE(copy.append("again", "1"));
      ASSERT_EQ(copy.size(), 1u);
    }
  }
}

// A name in any case, as a caller gives it, is found where its lowercase is,
// at every length and with high bytes anywhere; one with a byte that is not
// a token character is never found, even when lowering its neighbours would
// make it look like a stored name.
TEST(HeaderMap, FoldedLookupAgreesWithTheLowercaseName) {
  std::mt19937 rng(11);
  const std::string token = "abcdefghijklmnopqrstuvwxyz0123456789!#$%&'*+-.^_`|~";
  HeaderMap m;
  std::vector<std::string> stored;
  for (size_t n = 1; n <= 40; ++n)
    for (int k = 0; k < 3; ++k) {
      std::string name;
      for (size_t i = 0; i < n; ++i) name += token[rng() % token.size()];
      if (m.contains(name)) continue;
      ASSERT_TRUE(m.append(name, "v"));
      stored.push_back(name);
    }
  for (const std::string& name : stored) {
    std::string given = name;
    for (char& c : given)
      if (c >= 'a' && c <= 'z' && rng() % 2) c = char(c - 0x20);
    ASSERT_EQ(m.position_folded(given), m.position(name)) << given;
    // One byte changed to a high byte, or to the byte just below 'A' or past
    // 'Z' (which folding must leave alone), at each place in turn.
    for (size_t i = 0; i < given.size(); ++i)
      for (char bad : {'\xff', '\xc1', '@', '[', '\x80'}) {
        std::string g = given;
        g[i] = bad;
        ASSERT_EQ(m.position_folded(g), -1) << i;
      }
  }
  EXPECT_EQ(HeaderMap().position_folded("Host"), -1);
}

TEST(HeaderMap, Equality) {
  HeaderMap a, b;
  ASSERT_TRUE(a.append("x", "1") && a.append("y", "2") && a.append("x", "3"));
  ASSERT_TRUE(b.append("y", "2") && b.append("x", "1") && b.append("x", "3"));
  EXPECT_TRUE(a == b);  // name order does not matter
  HeaderMap c;
  ASSERT_TRUE(c.append("x", "3") && c.append("x", "1") && c.append("y", "2"));
  EXPECT_FALSE(a == c);  // value order within a name does
  HeaderMap d = a;
  ASSERT_TRUE(d.append("z", ""));
  EXPECT_FALSE(a == d);
  EXPECT_FALSE(d == a);
}

TEST(Fields, Tokens) {
  EXPECT_TRUE(is_token("Content-Type"));
  EXPECT_TRUE(is_token("!#$%&'*+-.^_`|~09azAZ"));
  EXPECT_FALSE(is_token(""));
  EXPECT_FALSE(is_token("a b"));
  EXPECT_FALSE(is_token("a:b"));
  EXPECT_FALSE(is_token("a\x80"));
  EXPECT_TRUE(is_valid_value("a\tb \x80\xff"));
  EXPECT_FALSE(is_valid_value("a\nb"));
  EXPECT_FALSE(is_valid_value(std::string_view("a\0b", 3)));
  EXPECT_FALSE(is_valid_value("\x7f"));
  EXPECT_TRUE(list_has_token("keep-alive, Close ", "close"));
  EXPECT_FALSE(list_has_token("closed", "close"));
  EXPECT_FALSE(list_has_token("close\x80", "close"));
  EXPECT_EQ(list_last("gzip, chunked "), "chunked");
  EXPECT_EQ(parse_u64_digits("18446744073709551615"), Result<uint64_t>(UINT64_MAX));
  for (std::string_view bad : {"18446744073709551616", "+1", "1 ", ""})
    EXPECT_EQ(parse_u64_digits(bad), Result<uint64_t>(fail(ErrorKind::invalid_number))) << bad;
}

TEST(Date, ImfFixdate) {
  char buf[kDateLength];
  render_imf_fixdate(784111777, buf);
  EXPECT_EQ(std::string_view(buf, kDateLength), "Sun, 06 Nov 1994 08:49:37 GMT");
  render_imf_fixdate(0, buf);
  EXPECT_EQ(std::string_view(buf, kDateLength), "Thu, 01 Jan 1970 00:00:00 GMT");
  render_imf_fixdate(951782400, buf);  // leap day
  EXPECT_EQ(std::string_view(buf, kDateLength), "Tue, 29 Feb 2000 00:00:00 GMT");
  render_imf_fixdate(253402300799, buf);
  EXPECT_EQ(std::string_view(buf, kDateLength), "Fri, 31 Dec 9999 23:59:59 GMT");
  render_imf_fixdate(-5, buf);  // clamped
  EXPECT_EQ(std::string_view(buf, kDateLength), "Thu, 01 Jan 1970 00:00:00 GMT");
  std::string_view now = http_date_now();
  EXPECT_EQ(now.size(), kDateLength);
  EXPECT_EQ(now.substr(25), " GMT");
}

TEST(Date, CacheFollowsTheClockBothWays) {
  // A wall clock stepped back must not leave the cached value in the future.
  EXPECT_EQ(http_date_at(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(http_date_at(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(http_date_at(784111778), "Sun, 06 Nov 1994 08:49:38 GMT");
  EXPECT_EQ(http_date_at(784111700), "Sun, 06 Nov 1994 08:48:20 GMT");
  EXPECT_EQ(http_date_at(0), "Thu, 01 Jan 1970 00:00:00 GMT");
}

TEST(Fields, ValueCheckAtEveryPositionAndLength) {
  // The word-at-a-time path must find a bad byte wherever it sits.
  for (size_t len = 1; len < 40; ++len)
    for (size_t pos = 0; pos < len; ++pos)
      for (char bad : {'\0', '\n', '\r', '\x1f', '\x7f'}) {
        std::string v(len, 'a');
        v[pos] = bad;
        ASSERT_FALSE(is_valid_value(v)) << len << " " << pos << " " << int(bad);
        v[pos] = '\t';
        ASSERT_TRUE(is_valid_value(v));
        v[pos] = '\x80';
        ASSERT_TRUE(is_valid_value(v));
      }
  char buf[8];
  EXPECT_TRUE(lower_token_into("X-Ab", buf));
  EXPECT_EQ(std::string_view(buf, 4), "x-ab");
  EXPECT_FALSE(lower_token_into("X b", buf));
  EXPECT_FALSE(lower_token_into("", buf));
}

// Each byte of a word folds alone, whatever its neighbours: every byte value
// at every position, between bytes that would take a carry ('@' becomes '`'
// if one reaches it) or give one (0xff).
TEST(HeaderMapBuilder, WordLoweringFoldsEachByteAlone) {
  for (unsigned v = 0; v < 256; ++v)
    for (unsigned pos = 0; pos < 8; ++pos)
      for (uint8_t fill : {uint8_t('@'), uint8_t(0xff), uint8_t('Z'), uint8_t(0)}) {
        uint64_t w = 0, want = 0;
        for (unsigned i = 0; i < 8; ++i) {
          const uint8_t b = i == pos ? uint8_t(v) : fill;
          const uint8_t l = b >= 'A' && b <= 'Z' ? uint8_t(b + 32) : b;
          w |= uint64_t(b) << (8 * i);
          want |= uint64_t(l) << (8 * i);
        }
        ASSERT_EQ(detail::lower_word(w), want) << v << " at " << pos << " among " << unsigned(fill);
      }
}

TEST(HeaderMapBuilder, LoweringHashesAsLookupsDoAtEveryLengthAndRoom) {
  // A block name is lowered in place and hashed in one pass (16 bytes at a
  // time where they may be read); a lookup hashes the lowercase name as it
  // stands. The two must agree at every length, with every amount of room
  // after the name, and the bytes past the name must come back unchanged.
  std::mt19937 rng(7);
  const std::string tchars = "ABCXYZabcxyz0189!#$%&'*+-.^_`|~";
  for (size_t n = 1; n <= 40; ++n)
    for (size_t room = n; room <= n + 18; ++room) {
      std::string buf(room + 8, '\0');
      for (size_t i = 0; i < n; ++i) buf[i] = tchars[rng() % tchars.size()];
      for (size_t i = n; i < buf.size(); ++i) buf[i] = char("AZ@[:\x80\xff"[rng() % 7]);
      const std::string before = buf;
      std::string lower = buf.substr(0, n);
      for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
      const uint32_t h = detail::lower_and_hash(buf.data(), n, room);
      ASSERT_EQ(buf.substr(0, n), lower) << n << " " << room;
      ASSERT_EQ(buf.substr(n), before.substr(n)) << n << " " << room;
      ASSERT_EQ(h, detail::hash_bytes(lower.data(), n)) << n << " " << room;
    }
  // And through the maps: names from a block, found by lookups, in every
  // position of a head (the last ones have no 16 bytes after them).
  std::string block, lines;
  std::vector<std::string> names;
  for (int i = 0; i < 24; ++i) names.push_back(std::string(size_t(1 + i), char('A' + i)) + "-x" + std::to_string(i));
  std::vector<std::pair<size_t, size_t>> at;
  for (const std::string& n : names) {
    at.emplace_back(block.size(), n.size());
    block += n + ": v\r\n";
  }
  block += "\r\n";
  HeaderMap::Builder b(block, names.size());
  for (auto [off, len] : at) {
    std::string_view l = b.lower_name(std::string_view(block).substr(off, len));
    ASSERT_TRUE(b.add_from_block(l, std::string_view(block).substr(off + len + 2, 1)));
  }
  HeaderMap built = std::move(b).finish(), appended;
  for (std::string n : names) {
    for (char& c : n) c = char(std::tolower(static_cast<unsigned char>(c)));
    ASSERT_TRUE(appended.append(n, "v"));
    EXPECT_TRUE(built.contains(n)) << n;
  }
  EXPECT_EQ(built, appended);
}

TEST(HeaderMapBuilder, BlockViewsSurviveRemovals) {
  // Fields refer to the block's copy: a removal that empties the map, or
  // leaves thousands of dead bytes, must not move those bytes before finish().
  std::string block = "Content-Length: 5\r\nX-Big: " + std::string(9000, 'v') + "\r\nHost: a\r\n";
  std::string_view b = block;
  HeaderMap::Builder builder(b, 3);
  std::string_view cl = builder.lower_name(b.substr(0, 14));
  ASSERT_EQ(cl, "content-length");
  ASSERT_TRUE(builder.add_from_block(cl, b.substr(16, 1)));
  EXPECT_TRUE(builder.remove("content-length"));  // the map is empty again
  std::string_view big = builder.lower_name(b.substr(19, 5));
  ASSERT_EQ(big, "x-big");
  ASSERT_TRUE(builder.add_from_block(big, b.substr(26, 9000)));
  EXPECT_TRUE(builder.remove("x-big"));
  size_t host = block.find("Host");
  std::string_view h = builder.lower_name(b.substr(host, 4));
  ASSERT_TRUE(builder.add_from_block(h, b.substr(host + 6, 1)));
  block.assign(block.size(), '#');  // the map owns its copy
  HeaderMap m = std::move(builder).finish();
  std::string_view v;
  ASSERT_TRUE(m.first("host", v));
  EXPECT_EQ(v, "a");
  EXPECT_EQ(m.size(), 1u);
  EXPECT_EQ(builder.map().size(), 0u);
  // Ordinary mutation (and compaction) works on the finished map.
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(m.replace("host", std::string(1000, char('a' + i % 26))));
  ASSERT_TRUE(m.first("host", v));
  EXPECT_EQ(v, std::string(1000, char('a' + 49 % 26)));
}

TEST(HeaderMapBuilder, FieldByFieldAsADecoderFeedsIt) {
  // A decoder hands over names and values from scratch storage it reuses:
  // the builder must have copied them, and mixes with block fields.
  HeaderMap::Builder builder("X-Block: 1\r\n", 2);
  std::string scratch;
  for (int i = 0; i < 300; ++i) {
    scratch = "name-" + std::to_string(i % 100);
    std::string value = "value-" + std::to_string(i);
    ASSERT_TRUE(builder.add(scratch, value));
    scratch.assign(scratch.size(), '!');
  }
  EXPECT_EQ(builder.map().size(), 300u);
  HeaderMap m = std::move(builder).finish();
  EXPECT_EQ(m.name_count(), 100u);
  EXPECT_EQ(m.count("name-7"), 3u);
  std::vector<std::string> seven;
  m.for_each_of("name-7", [&](std::string_view v) { seven.emplace_back(v); });
  EXPECT_EQ(seven, (std::vector<std::string>{"value-7", "value-107", "value-207"}));
}

TEST(HeaderMapBuilder, NameBoundRefusesAndStaysUsable) {
  HeaderMap::Builder builder;
  for (uint32_t i = 0; i < HeaderMap::kMaxNames; ++i) ASSERT_TRUE(builder.add("n" + std::to_string(i), "v"));
  EXPECT_FALSE(builder.add("n0", "again"));  // refused for a present name too
  EXPECT_FALSE(builder.add("fresh", "v"));
  EXPECT_EQ(builder.map().size(), size_t(HeaderMap::kMaxNames));
  EXPECT_TRUE(builder.remove("n5"));
  EXPECT_TRUE(builder.add("fresh", "v"));
  HeaderMap m = std::move(builder).finish();
  EXPECT_TRUE(m.contains("fresh"));
  EXPECT_FALSE(m.contains("n5"));
}
