// HPACK: the RFC 7541 examples byte for byte, the Huffman code against a
// bit-by-bit reference, integers, tables, and the block rules.
#include "proto/h2/hpack.h"

#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "proto/h2/hpack_huffman.h"
#include "tests/cpp/h2/hpack_testing.h"

namespace velmora::h2::hpack {
namespace {

using testing::BlockOutcome;
using testing::decode_block;
using testing::Fields;
using testing::hex;
using testing::Recorder;
using testing::unhex;

// ---- RFC 7541 Appendix C -------------------------------------------------------

struct Example {
  const char* name;
  const char* wire;
  Fields headers;
  Fields table;  // newest first
  uint32_t table_size;
};

const std::vector<Example>& examples() {
  static const std::vector<Example> k = {
      {"C.2.1", "400a637573746f6d2d6b65790d637573746f6d2d686561646572", {{"custom-key", "custom-header"}}, {{"custom-key", "custom-header"}}, 55},
      {"C.2.2", "040c2f73616d706c652f70617468", {{":path", "/sample/path"}}, {}, 0},
      {"C.2.3", "100870617373776f726406736563726574", {{"password", "secret"}}, {}, 0},
      {"C.2.4", "82", {{":method", "GET"}}, {}, 0},
      {"C.3.1", "828684410f7777772e6578616d706c652e636f6d", {{":method", "GET"}, {":scheme", "http"}, {":path", "/"}, {":authority", "www.example.com"}}, {{":authority", "www.example.com"}}, 57},
      {"C.3.2", "828684be58086e6f2d6361636865", {{":method", "GET"}, {":scheme", "http"}, {":path", "/"}, {":authority", "www.example.com"}, {"cache-control", "no-cache"}}, {{"cache-control", "no-cache"}, {":authority", "www.example.com"}}, 110},
      {"C.3.3", "828785bf400a637573746f6d2d6b65790c637573746f6d2d76616c7565", {{":method", "GET"}, {":scheme", "https"}, {":path", "/index.html"}, {":authority", "www.example.com"}, {"custom-key", "custom-value"}}, {{"custom-key", "custom-value"}, {"cache-control", "no-cache"}, {":authority", "www.example.com"}}, 164},
      {"C.4.1", "828684418cf1e3c2e5f23a6ba0ab90f4ff", {{":method", "GET"}, {":scheme", "http"}, {":path", "/"}, {":authority", "www.example.com"}}, {{":authority", "www.example.com"}}, 57},
      {"C.4.2", "828684be5886a8eb10649cbf", {{":method", "GET"}, {":scheme", "http"}, {":path", "/"}, {":authority", "www.example.com"}, {"cache-control", "no-cache"}}, {{"cache-control", "no-cache"}, {":authority", "www.example.com"}}, 110},
      {"C.4.3", "828785bf408825a849e95ba97d7f8925a849e95bb8e8b4bf", {{":method", "GET"}, {":scheme", "https"}, {":path", "/index.html"}, {":authority", "www.example.com"}, {"custom-key", "custom-value"}}, {{"custom-key", "custom-value"}, {"cache-control", "no-cache"}, {":authority", "www.example.com"}}, 164},
      {"C.5.1", "4803333032580770726976617465611d4d6f6e2c203231204f637420323031332032303a31333a323120474d546e1768747470733a2f2f7777772e6578616d706c652e636f6d", {{":status", "302"}, {"cache-control", "private"}, {"date", "Mon, 21 Oct 2013 20:13:21 GMT"}, {"location", "https://www.example.com"}}, {{"location", "https://www.example.com"}, {"date", "Mon, 21 Oct 2013 20:13:21 GMT"}, {"cache-control", "private"}, {":status", "302"}}, 222},
      {"C.5.2", "4803333037c1c0bf", {{":status", "307"}, {"cache-control", "private"}, {"date", "Mon, 21 Oct 2013 20:13:21 GMT"}, {"location", "https://www.example.com"}}, {{":status", "307"}, {"location", "https://www.example.com"}, {"date", "Mon, 21 Oct 2013 20:13:21 GMT"}, {"cache-control", "private"}}, 222},
      {"C.5.3", "88c1611d4d6f6e2c203231204f637420323031332032303a31333a323220474d54c05a04677a69707738666f6f3d4153444a4b48514b425a584f5157454f50495541585157454f49553b206d61782d6167653d333630303b2076657273696f6e3d31", {{":status", "200"}, {"cache-control", "private"}, {"date", "Mon, 21 Oct 2013 20:13:22 GMT"}, {"location", "https://www.example.com"}, {"content-encoding", "gzip"}, {"set-cookie", "foo=ASDJKHQKBZXOQWEOPIUAXQWEOIU; max-age=3600; version=1"}}, {{"set-cookie", "foo=ASDJKHQKBZXOQWEOPIUAXQWEOIU; max-age=3600; version=1"}, {"content-encoding", "gzip"}, {"date", "Mon, 21 Oct 2013 20:13:22 GMT"}}, 215},
      {"C.6.1", "488264025885aec3771a4b6196d07abe941054d444a8200595040b8166e082a62d1bff6e919d29ad171863c78f0b97c8e9ae82ae43d3", {{":status", "302"}, {"cache-control", "private"}, {"date", "Mon, 21 Oct 2013 20:13:21 GMT"}, {"location", "https://www.example.com"}}, {{"location", "https://www.example.com"}, {"date", "Mon, 21 Oct 2013 20:13:21 GMT"}, {"cache-control", "private"}, {":status", "302"}}, 222},
      {"C.6.2", "4883640effc1c0bf", {{":status", "307"}, {"cache-control", "private"}, {"date", "Mon, 21 Oct 2013 20:13:21 GMT"}, {"location", "https://www.example.com"}}, {{":status", "307"}, {"location", "https://www.example.com"}, {"date", "Mon, 21 Oct 2013 20:13:21 GMT"}, {"cache-control", "private"}}, 222},
      {"C.6.3", "88c16196d07abe941054d444a8200595040b8166e084a62d1bffc05a839bd9ab77ad94e7821dd7f2e6c7b335dfdfcd5b3960d5af27087f3672c1ab270fb5291f9587316065c003ed4ee5b1063d5007", {{":status", "200"}, {"cache-control", "private"}, {"date", "Mon, 21 Oct 2013 20:13:22 GMT"}, {"location", "https://www.example.com"}, {"content-encoding", "gzip"}, {"set-cookie", "foo=ASDJKHQKBZXOQWEOPIUAXQWEOIU; max-age=3600; version=1"}}, {{"set-cookie", "foo=ASDJKHQKBZXOQWEOPIUAXQWEOIU; max-age=3600; version=1"}, {"content-encoding", "gzip"}, {"date", "Mon, 21 Oct 2013 20:13:22 GMT"}}, 215},
  };
  return k;
}

Fields table_of(const DynamicTable& t) {
  Fields out;
  for (size_t i = 0; i < t.count(); ++i) out.emplace_back(std::string(t.get(i).name), std::string(t.get(i).value));
  return out;
}

// Decodes the examples whose names start with `prefix` in order with one
// decoder, checking fields and table after each.
void run_examples(std::string_view prefix, bool fresh_each, std::string_view first_prefix_bytes = {}) {
  Decoder d;
  bool first = true;
  for (const Example& e : examples()) {
    if (!std::string_view(e.name).starts_with(prefix)) continue;
    if (fresh_each) d = Decoder();
    std::string wire = unhex(e.wire);
    if (first) wire = std::string(first_prefix_bytes) + wire;
    first = false;
    BlockOutcome o = decode_block(d, wire);
    ASSERT_TRUE(o.ok) << e.name << " " << hpack_error_name(o.error);
    EXPECT_EQ(o.status, BlockStatus::complete) << e.name;
    EXPECT_EQ(o.fields, e.headers) << e.name;
    EXPECT_EQ(table_of(d.table()), e.table) << e.name;
    EXPECT_EQ(d.table().size(), e.table_size) << e.name;
  }
}

TEST(HpackRfcExamples, DecodeEachRepresentation) { run_examples("C.2.", true); }
TEST(HpackRfcExamples, DecodeRequestsCarryingTheTable) {
  run_examples("C.3.", false);
  run_examples("C.4.", false);
}
TEST(HpackRfcExamples, DecodeResponsesWithEvictions) {
  // The examples assume a 256-octet table; a size update in front of the
  // first block sets it.
  run_examples("C.5.", false, "\x3f\xe1\x01");
  run_examples("C.6.", false, "\x3f\xe1\x01");
}

TEST(HpackRfcExamples, NeverIndexedLiteralIsReportedAsSuch) {
  Decoder d;
  HeaderBlock block(1 << 20);
  Recorder rec;
  ASSERT_TRUE(d.decode(unhex("100870617373776f726406736563726574"), block, rec, true));
  ASSERT_EQ(rec.never.size(), 1u);
  EXPECT_TRUE(rec.never[0]);
}

TEST(HpackRfcExamples, EncodeRequestsByteExact) {
  // Our indexing choices coincide with the RFC's for these requests.
  Encoder enc;
  for (const Example& e : examples()) {
    if (!std::string_view(e.name).starts_with("C.4.")) continue;
    std::vector<Field> fields;
    for (auto& [n, v] : e.headers) fields.push_back({n, v});
    std::string out;
    enc.encode(fields, out);
    EXPECT_EQ(hex(out), e.wire) << e.name;
  }
}

// ---- Huffman -------------------------------------------------------------------

// A bit-by-bit decoder over a code trie. The codes are recovered from our
// encoder (eight copies of a symbol fill whole octets), so this checks the
// table-driven decoder against the encoder and RFC 7541 section 5.2, not
// against a copy of its own tables.
class ReferenceHuffman {
 public:
  ReferenceHuffman() {
    nodes_.push_back({{-1, -1}, -1});
    for (int s = 0; s < 256; ++s) {
      std::string eight(8, char(s));
      size_t len = huffman_encoded_size(eight);  // = code length in bits
      std::string enc(len, '\0');
      huffman_encode(eight, enc.data());
      add(s, [&](size_t i) { return (uint8_t(enc[i / 8]) >> (7 - i % 8)) & 1; }, len);
    }
    add(256, [](size_t) { return 1; }, 30);  // EOS: thirty ones
  }

  // The decoded string, or nullopt for an invalid input.
  std::optional<std::string> decode(std::string_view in) const {
    std::string out;
    int node = 0;
    size_t depth = 0;
    bool all_ones = true;
    for (size_t i = 0; i < in.size() * 8; ++i) {
      int bit = (uint8_t(in[i / 8]) >> (7 - i % 8)) & 1;
      node = nodes_[node].child[bit];
      ++depth;
      all_ones &= bit == 1;
      if (nodes_[node].sym == 256) return std::nullopt;
      if (nodes_[node].sym >= 0) {
        out.push_back(char(nodes_[node].sym));
        node = 0;
        depth = 0;
        all_ones = true;
      }
    }
    if (depth > 7 || !all_ones) return std::nullopt;
    return out;
  }

 private:
  struct Node {
    int child[2];
    int sym;
  };
  template <class Bit>
  void add(int sym, Bit bit, size_t len) {
    int node = 0;
    for (size_t i = 0; i < len; ++i) {
      int b = bit(i);
      if (nodes_[node].child[b] < 0) {
        nodes_[node].child[b] = int(nodes_.size());
        nodes_.push_back({{-1, -1}, -1});
      }
      node = nodes_[node].child[b];
    }
    nodes_[node].sym = sym;
  }
  std::vector<Node> nodes_;
};

std::optional<std::string> fast_decode(std::string_view in) {
  std::string out(huffman_max_decoded_size(in.size()), '\0');
  auto n = huffman_decode(in, out.data());
  if (!n) {
    EXPECT_EQ(n.error(), HpackError::invalid_huffman_code);
    return std::nullopt;
  }
  out.resize(*n);
  return out;
}

std::string huff(std::string_view s) {
  std::string out(huffman_encoded_size(s), '\0');
  huffman_encode(s, out.data());
  return out;
}

TEST(HpackHuffman, CodeIsPrefixFreeAndCoversEveryOctet) {
  ReferenceHuffman ref;  // building the trie would misplace a symbol otherwise
  std::string all;
  for (int c = 0; c < 256; ++c) all.push_back(char(c));
  EXPECT_EQ(ref.decode(huff(all)), all);
  EXPECT_EQ(fast_decode(huff(all)), all);
}

TEST(HpackHuffman, RoundTripsRandomStrings) {
  std::mt19937 rng(7);
  for (int i = 0; i < 3000; ++i) {
    std::string s(rng() % 80, '\0');
    bool text = i % 2;
    for (char& c : s) c = text ? char(' ' + rng() % 95) : char(rng());
    ASSERT_EQ(fast_decode(huff(s)), s) << hex(s);
  }
}

TEST(HpackHuffman, PaddingRules) {
  // "a" is 5 bits: 3 bits of padding.
  EXPECT_EQ(fast_decode(huff("a")), "a");
  // Each string length gives a different padding width; all accepted.
  for (std::string s = "0"; s.size() < 9; s += "0") EXPECT_EQ(fast_decode(huff(s)), s);
  // A whole octet of padding (8 bits) is refused.
  EXPECT_EQ(fast_decode(huff("a") + "\xff"), std::nullopt);
  EXPECT_EQ(fast_decode(std::string("\xff")), std::nullopt);
  // Padding with a zero bit is refused.
  std::string a = huff("a");  // 00011 111
  a[0] = char(0x1e);          // 00011 110
  EXPECT_EQ(fast_decode(a), std::nullopt);
  // The empty string is fine.
  EXPECT_EQ(fast_decode(""), "");
}

TEST(HpackHuffman, EosAndCutOffCodes) {
  // EOS (30 ones) with 2 bits of padding, alone and after a symbol.
  EXPECT_EQ(fast_decode(std::string("\xff\xff\xff\xff")), std::nullopt);
  std::string eos_after = huff("aaaaaaaa") + "\xff\xff\xff\xff";
  EXPECT_EQ(fast_decode(eos_after), std::nullopt);
  // A long code cut off: the first octet of a 13-bit code.
  std::string nul = huff(std::string(1, '\0'));  // 13 bits + 3 padding
  ASSERT_EQ(nul.size(), 2u);
  EXPECT_EQ(fast_decode(nul.substr(0, 1)), std::nullopt);
  // A 30-bit code cut off after 24 bits.
  std::string lf = huff("\n");
  EXPECT_EQ(fast_decode(lf.substr(0, 3)), std::nullopt);
  EXPECT_EQ(fast_decode(lf), "\n");
}

TEST(HpackHuffman, TableDecoderAgreesWithBitwalkOnArbitraryInput) {
  ReferenceHuffman ref;
  std::mt19937 rng(11);
  int accepted = 0;
  for (int i = 0; i < 200000; ++i) {
    std::string in;
    if (i % 2) {
      // A valid encoding, mutated a little: errors near the end matter most.
      std::string s(rng() % 24, '\0');
      for (char& c : s) c = rng() % 4 ? char('a' + rng() % 26) : char(rng());
      in = huff(s);
      if (!in.empty() && rng() % 2) in[rng() % in.size()] ^= char(1u << (rng() % 8));
      if (rng() % 4 == 0) in.push_back(char(rng() % 2 ? 0xff : rng()));
      if (!in.empty() && rng() % 4 == 0) in.pop_back();
    } else {
      in.resize(rng() % 12);
      for (char& c : in) c = rng() % 3 ? char(0xff) : char(rng());
    }
    auto want = ref.decode(in);
    accepted += want.has_value();
    ASSERT_EQ(fast_decode(in), want) << hex(in);
  }
  EXPECT_GT(accepted, 10000);
}

// ---- integers and representations ------------------------------------------------

TEST(HpackDecode, IntegersUpToFiveOctets) {
  Decoder d;
  // Index 127 + 0 = 127: a valid integer, an invalid index.
  EXPECT_EQ(decode_block(d, unhex("ff00")).error, HpackError::invalid_table_index);
  // The fourth continuation octet ends the integer: still valid.
  EXPECT_EQ(decode_block(d, unhex("ff80808000")).error, HpackError::invalid_table_index);
  // A fourth continuation octet with its high bit set: overflow.
  EXPECT_EQ(decode_block(d, unhex("ff80808080")).error, HpackError::integer_overflow);
  EXPECT_EQ(decode_block(d, unhex("ffffffffff0f")).error, HpackError::integer_overflow);
  // A string length overflowing.
  EXPECT_EQ(decode_block(d, unhex("007fffffffff0f")).error, HpackError::integer_overflow);
  // Running out inside an integer or a string.
  EXPECT_EQ(decode_block(d, unhex("ff80")).error, HpackError::need_more_integer_underflow);
  EXPECT_EQ(decode_block(d, unhex("04")).error, HpackError::need_more_integer_underflow);
  EXPECT_EQ(decode_block(d, unhex("0403616263" /* wants 3, has 3 */)).ok, true);
  EXPECT_EQ(decode_block(d, unhex("04046162")).error, HpackError::need_more_string_underflow);
  // A size update of 4096 written with a multi-octet integer.
  EXPECT_TRUE(decode_block(d, unhex("3fe11f")).ok);
  EXPECT_EQ(d.table().max_size(), 4096u);
}

TEST(HpackDecode, TableIndexBounds) {
  Decoder d;
  EXPECT_EQ(decode_block(d, unhex("80")).error, HpackError::invalid_table_index);
  EXPECT_EQ(decode_block(d, unhex("be")).error, HpackError::invalid_table_index);  // 62, empty table
  EXPECT_TRUE(decode_block(d, unhex("bd")).ok);                                    // 61, www-authenticate
  ASSERT_TRUE(decode_block(d, unhex("4001610162")).ok);                          // a: b, indexed
  BlockOutcome o = decode_block(d, unhex("be"));
  ASSERT_TRUE(o.ok);
  EXPECT_EQ(o.fields, (Fields{{"a", "b"}}));
  EXPECT_EQ(decode_block(d, unhex("bf")).error, HpackError::invalid_table_index);
  // A literal naming an entry past the table.
  EXPECT_EQ(decode_block(d, unhex("7f0001")).error, HpackError::invalid_table_index);
}

TEST(HpackDecode, FieldChecks) {
  auto err = [](std::string wire) {
    Decoder d;
    BlockOutcome o = decode_block(d, wire);
    return o.ok ? std::string("ok") : std::string(hpack_error_name(o.error));
  };
  EXPECT_EQ(err(unhex("0001610162")), "ok");
  EXPECT_EQ(err(std::string("\x00\x01" "A" "\x00", 4)), "InvalidUtf8");  // uppercase name
  EXPECT_EQ(err(std::string("\x00\x02" "a b" "\x00", 5)), "InvalidUtf8");
  EXPECT_EQ(err(std::string("\x00\x00\x01x", 4)), "NeedMore(UnexpectedEndOfStream)");
  EXPECT_EQ(err(std::string("\x00\x04:foo\x01x", 7)), "InvalidPseudoheader");
  EXPECT_EQ(err(std::string("\x00\x01x\x02\x01y", 6)), "InvalidUtf8");  // control octet
  EXPECT_EQ(err(std::string("\x00\x01x\x02\ty", 6)), "ok");               // HTAB allowed
  EXPECT_EQ(err(std::string("\x00\x01x\x01\x7f", 5)), "InvalidUtf8");
  EXPECT_EQ(err(std::string("\x08\x02" "20", 4)), "InvalidStatusCode");
  EXPECT_EQ(err(std::string("\x08\x03" "099", 5)), "InvalidStatusCode");
  EXPECT_EQ(err(std::string("\x08\x03" "2x0", 5)), "InvalidStatusCode");
  EXPECT_EQ(err(std::string("\x08\x03" "999", 5)), "ok");
  EXPECT_EQ(err(std::string("\x02\x04G ET", 6)), "InvalidUtf8");         // :method not a token
  EXPECT_EQ(err(std::string("\x01\x02\xc3\x28", 4)), "InvalidUtf8");     // :authority not UTF-8
  EXPECT_EQ(err(std::string("\x01\x02\xc3\xa9", 4)), "ok");
  // A path that would split a request line on its way to HTTP/1.
  EXPECT_EQ(err(std::string("\x04\x05/a\r\nb", 7)), "InvalidUtf8");
  EXPECT_EQ(err(std::string("\x04\x03/\0a", 5)), "InvalidUtf8");
}

TEST(HpackDecode, EmptyLiteralNameFailsWhenTheBlockEnds) {
  // Like the other NeedMore kinds it waits for the next fragment mid-block,
  // keeping the representation; the block's end turns it into the error.
  Decoder d;
  HeaderBlock block(1 << 20);
  Recorder rec;
  std::string f = unhex("8200000178");  // :method GET, then a literal with an empty name
  auto r = d.decode(f, block, rec, false);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, BlockStatus::partial);
  EXPECT_EQ(r->consumed, 1u);
  auto r2 = d.decode(f.substr(1), block, rec, true);
  ASSERT_FALSE(r2);
  EXPECT_EQ(r2.error(), HpackError::need_more_unexpected_end_of_stream);
}

// ---- size updates ----------------------------------------------------------------

TEST(HpackDecode, SizeUpdateOnlyAtStartAndWithinTheAdvertisedSize) {
  Decoder d;
  EXPECT_TRUE(decode_block(d, unhex("3fe11f82")).ok);                    // 4096 first
  EXPECT_TRUE(decode_block(d, unhex("203fe11f82")).ok);                  // several in a row
  EXPECT_EQ(decode_block(d, unhex("823fe11f")).error, HpackError::invalid_max_dynamic_size);
  EXPECT_EQ(decode_block(d, unhex("3fe21f")).error, HpackError::invalid_max_dynamic_size);  // 4097
  // Advertising a larger table allows it from the next block on.
  d.queue_size_update(8192);
  d.queue_size_update(5000);  // the larger queued value stays
  EXPECT_TRUE(decode_block(d, unhex("3fe13f")).ok);  // 8192
  EXPECT_EQ(d.table().max_size(), 8192u);
  EXPECT_EQ(d.max_allowed_size(), 8192u);
}

TEST(HpackDecode, SizeUpdateAfterAFieldInAnEarlierFragment) {
  Decoder d;
  HeaderBlock block(1 << 20);
  Recorder rec;
  auto r = d.decode(unhex("82"), block, rec, false);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, BlockStatus::partial);
  auto r2 = d.decode(unhex("20"), block, rec, true);
  ASSERT_FALSE(r2);
  EXPECT_EQ(r2.error(), HpackError::invalid_max_dynamic_size);
}

TEST(HpackDecode, ShrinkingEvictsAndOversizedEntryEmptiesTable) {
  Decoder d;
  ASSERT_TRUE(decode_block(d, unhex("40016101624001630164")).ok);  // a:b, c:d
  EXPECT_EQ(d.table().count(), 2u);
  ASSERT_TRUE(decode_block(d, unhex("3f03")).ok);  // 34: room for one
  EXPECT_EQ(table_of(d.table()), (Fields{{"c", "d"}}));
  ASSERT_TRUE(decode_block(d, unhex("3f1a")).ok);  // 57
  // An entry of 33 + 32 = 65 octets does not fit 57: the table empties.
  std::string big = unhex("4001") + "x" + std::string(1, char(32)) + std::string(32, 'v');
  BlockOutcome o = decode_block(d, big);
  ASSERT_TRUE(o.ok);
  EXPECT_EQ(o.fields.size(), 1u);  // still delivered
  EXPECT_EQ(d.table().count(), 0u);
  EXPECT_EQ(d.table().size(), 0u);
  ASSERT_TRUE(decode_block(d, unhex("20")).ok);
  EXPECT_EQ(d.table().max_size(), 0u);
}

TEST(HpackDecode, InsertionEvictingTheEntryItsNameComesFrom) {
  Decoder d;
  ASSERT_TRUE(decode_block(d, unhex("3f1d" "4004616161610131")).ok);  // max 60; aaaa: 1 (37)
  // Literal with indexing, name = entry 62, which the insertion evicts.
  BlockOutcome o = decode_block(d, unhex("7e0132"));
  ASSERT_TRUE(o.ok);
  EXPECT_EQ(o.fields, (Fields{{"aaaa", "2"}}));
  EXPECT_EQ(table_of(d.table()), (Fields{{"aaaa", "2"}}));
}

// ---- block rules -----------------------------------------------------------------

std::string lit(std::string_view n, std::string_view v) {
  std::string s(1, '\0');
  s.push_back(char(n.size()));
  s += n;
  s.push_back(char(v.size()));
  s += v;
  return s;
}

TEST(HpackBlockRules, ForbiddenFieldsMakeTheBlockMalformedButDecodingGoesOn) {
  Decoder d;
  std::string wire = lit("te", "trailers") + lit("te", "gzip") + lit("connection", "close") +
                     "\x40\x01x\x01y" /* inserted after the bad ones */ + lit("accept", "*/*");
  BlockOutcome o = decode_block(d, wire);
  ASSERT_TRUE(o.ok);
  EXPECT_EQ(o.status, BlockStatus::malformed);
  EXPECT_EQ(o.fields, (Fields{{"te", "trailers"}, {"x", "y"}, {"accept", "*/*"}}));
  // The table stayed in step: the next block refers to the insertion.
  BlockOutcome next = decode_block(d, unhex("be"));
  ASSERT_TRUE(next.ok);
  EXPECT_EQ(next.status, BlockStatus::complete);
  EXPECT_EQ(next.fields, (Fields{{"x", "y"}}));
}

TEST(HpackBlockRules, ValuesWithSurroundingWhitespaceAreDroppedAndMakeTheBlockMalformed) {
  // Literal and indexed, regular and pseudo-header, SP and HTAB at either end.
  for (std::string_view v : {" v", "v ", "\tv", "v\t", " ", "\t"}) {
    Decoder d;
    // The padded value goes into the dynamic table: inserting is not the
    // fault, delivering it is.
    std::string insert = std::string("\x40\x03x-p", 5) + char(v.size()) + std::string(v);
    BlockOutcome o = decode_block(d, "\x82" + insert + lit("accept", "*/*"));
    ASSERT_TRUE(o.ok);
    EXPECT_EQ(o.status, BlockStatus::malformed) << v;
    EXPECT_EQ(o.fields, (Fields{{":method", "GET"}, {"accept", "*/*"}})) << v;
    o = decode_block(d, unhex("82be"));  // the same value, now by index
    EXPECT_EQ(o.status, BlockStatus::malformed) << v;
    EXPECT_EQ(o.fields, (Fields{{":method", "GET"}})) << v;
    o = decode_block(d, lit(":path", v) + "\x82");
    EXPECT_EQ(o.status, BlockStatus::malformed) << v;
    EXPECT_EQ(o.fields, (Fields{{":method", "GET"}})) << v;
  }
  // Inner whitespace and empty values are fine.
  Decoder d;
  BlockOutcome o = decode_block(d, lit("x-a", "a \t b") + lit("x-e", ""));
  EXPECT_EQ(o.status, BlockStatus::complete);
  EXPECT_EQ(o.fields, (Fields{{"x-a", "a \t b"}, {"x-e", ""}}));
}

TEST(HpackBlockRules, PseudoHeaderOrder) {
  Decoder d;
  BlockOutcome o = decode_block(d, "\x82" + lit("content-type", "a") + "\x84");
  EXPECT_EQ(o.status, BlockStatus::malformed);
  EXPECT_EQ(o.fields, (Fields{{":method", "GET"}, {"content-type", "a"}}));
  o = decode_block(d, unhex("828283"));
  EXPECT_EQ(o.status, BlockStatus::malformed);
  EXPECT_EQ(o.fields, (Fields{{":method", "GET"}}));
  o = decode_block(d, unhex("8286848f" /* pseudo, then accept-charset */));
  EXPECT_EQ(o.status, BlockStatus::complete);
}

TEST(HpackBlockRules, MalformedIsReportedOnlyAtTheEndOfTheBlock) {
  Decoder d;
  HeaderBlock block(1 << 20);
  Recorder rec;
  auto r = d.decode(lit("connection", "x"), block, rec, false);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, BlockStatus::partial);
  EXPECT_TRUE(block.malformed());
  r = d.decode(unhex("82"), block, rec, true);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, BlockStatus::malformed);
}

TEST(HpackBlockRules, ListSizeLimitDropsFieldsPastIt) {
  Decoder d;
  // Fields of 32 + 2 + 16 = 50 octets each.
  std::string f1 = lit("a", std::string(17, '1')), f2 = lit("b", std::string(17, '2')),
              f3 = lit("c", std::string(17, '3'));
  BlockOutcome o = decode_block(d, f1 + f2 + f3, 100);  // 150 in all
  ASSERT_TRUE(o.ok);
  EXPECT_EQ(o.status, BlockStatus::complete);
  ASSERT_EQ(o.fields.size(), 2u);  // exactly 100: still within the limit
  EXPECT_EQ(o.fields[1].first, "b");
  // Over the limit by one octet: the field goes, and so does everything after.
  o = decode_block(d, f1 + lit("b", std::string(18, '2')) + lit("z", ""), 100);
  EXPECT_EQ(o.fields.size(), 1u);
  // 401 octets against a limit of 100: stopped as abuse.
  std::string many;
  for (int i = 0; i < 8; ++i) many += f1;  // 400
  o = decode_block(d, many, 100);
  EXPECT_EQ(o.status, BlockStatus::complete);
  o = decode_block(d, many + lit("q", ""), 100);
  EXPECT_FALSE(o.ok);
  EXPECT_EQ(o.error, HpackError::header_list_too_large);
}

TEST(HpackBlockRules, RefusedFieldCountsAsOverSize) {
  Decoder d;
  HeaderBlock block(1 << 20);
  Recorder rec;
  rec.refuse_after = 1;
  ASSERT_TRUE(d.decode(lit("a", "1") + lit("b", "2") + lit("c", "3"), block, rec, true));
  EXPECT_TRUE(block.over_size());
  EXPECT_EQ(rec.fields, (Fields{{"a", "1"}}));
}

TEST(HpackBlockRules, TinyBlockExpandingToAHugeListIsStoppedByTheLimit) {
  // One 4000-octet entry, then 20000 one-octet references to it: 80 MB of
  // list from a 24 kB block.
  Decoder d;
  std::string value(4000, 'v');
  std::string insert = "\x40\x01k\x7f";
  uint32_t n = uint32_t(value.size()) - 127;
  while (n >= 128) {
    insert.push_back(char(0x80 | (n & 0x7f)));
    n >>= 7;
  }
  insert.push_back(char(n));
  insert += value;
  ASSERT_TRUE(decode_block(d, insert).ok);
  std::string refs(20000, '\xbe');

  struct Counter : FieldSink {
    size_t bytes = 0, fields = 0;
    void on_pseudo(Pseudo, std::string_view) override {}
    bool on_field(std::string_view n, std::string_view v, bool) override {
      bytes += n.size() + v.size();
      ++fields;
      return true;
    }
  } sink;
  HeaderBlock block(16u << 20);
  auto r = d.decode(refs, block, sink, true);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), HpackError::header_list_too_large);
  EXPECT_LE(sink.bytes, 16u << 20);                          // the limit, not memory
  EXPECT_LE(block.list_size(), (64u << 20) + 4033);           // stopped right past 4x
}

// ---- fragments -------------------------------------------------------------------

TEST(HpackFragments, AnySplitDecodesLikeTheWholeBlock) {
  std::string wire;
  for (const Example& e : examples())
    if (std::string_view(e.name).starts_with("C.4.")) wire += unhex(e.wire);
  wire += lit("te", "gzip");
  Decoder whole_d;
  BlockOutcome whole = decode_block(whole_d, wire);
  ASSERT_TRUE(whole.ok);
  for (size_t cut1 = 0; cut1 <= wire.size(); ++cut1) {
    for (size_t cut2 = cut1; cut2 <= wire.size(); cut2 += 7) {
      Decoder d;
      HeaderBlock block(16u << 20);
      Recorder rec;
      std::string pending = wire.substr(0, cut1);
      auto r = d.decode(pending, block, rec, false);
      ASSERT_TRUE(r);
      ASSERT_EQ(r->status, BlockStatus::partial);
      pending = pending.substr(r->consumed) + wire.substr(cut1, cut2 - cut1);
      r = d.decode(pending, block, rec, false);
      ASSERT_TRUE(r);
      pending = pending.substr(r->consumed) + wire.substr(cut2);
      r = d.decode(pending, block, rec, true);
      ASSERT_TRUE(r) << cut1 << " " << cut2;
      EXPECT_EQ(r->status, whole.status);
      ASSERT_EQ(rec.fields, whole.fields) << cut1 << " " << cut2;
      ASSERT_EQ(table_of(d.table()), table_of(whole_d.table()));
    }
  }
}

TEST(HpackFragments, ListSizeAccumulatesAcrossFragments) {
  // Splitting a block must not reset the abuse accounting.
  Decoder d;
  HeaderBlock block(100);
  Recorder rec;
  std::string f = lit("a", std::string(17, '1'));  // 50 each
  for (int i = 0; i < 8; ++i) {
    auto r = d.decode(f, block, rec, false);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, BlockStatus::partial);
  }
  auto r = d.decode(f, block, rec, true);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), HpackError::header_list_too_large);
}

TEST(HpackFragments, IncompleteBlockAtTheEndIsAnError) {
  Decoder d;
  HeaderBlock block(1 << 20);
  Recorder rec;
  auto r = d.decode(unhex("4188f1e3"), block, rec, false);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, BlockStatus::partial);
  EXPECT_EQ(r->consumed, 0u);
  auto r2 = d.decode(unhex("4188f1e3"), block, rec, true);
  ASSERT_FALSE(r2);
  EXPECT_EQ(r2.error(), HpackError::need_more_string_underflow);
  EXPECT_EQ(d.table().count(), 0u);
}

// ---- tables ----------------------------------------------------------------------

TEST(HpackTables, DynamicTableMatchesAModelThroughWrapsAndResizes) {
  std::mt19937 rng(3);
  DynamicTable t(4096);
  std::deque<std::pair<std::string, std::string>> model;  // newest first
  uint32_t max = 4096;
  auto model_size = [&] {
    size_t s = 0;
    for (auto& [n, v] : model) s += n.size() + v.size() + 32;
    return s;
  };
  for (int i = 0; i < 20000; ++i) {
    if (rng() % 50 == 0) {
      max = rng() % 3 ? 4096 : rng() % 5000;
      t.set_max_size(max);
      while (model_size() > max) model.pop_back();
    } else {
      std::string n(1 + rng() % 20, char('a' + rng() % 26));
      std::string v(rng() % (rng() % 10 ? 100 : 3000), char('0' + rng() % 10));
      t.insert(n, v, kTagRegular);
      while (!model.empty() && model_size() + n.size() + v.size() + 32 > max) model.pop_back();
      if (n.size() + v.size() + 32 <= max) model.emplace_front(n, v);
    }
    ASSERT_EQ(t.size(), model_size());
    ASSERT_EQ(t.count(), model.size());
    for (size_t k = 0; k < model.size(); ++k) {
      ASSERT_EQ(t.get(k).name, model[k].first);
      ASSERT_EQ(t.get(k).value, model[k].second);
    }
  }
}

TEST(HpackTables, EncoderLookupFindsTheNewestEntry) {
  std::mt19937 rng(5);
  EncoderTable t(1024);
  for (int i = 0; i < 20000; ++i) {
    if (rng() % 100 == 0) t.set_max_size(rng() % 1500);
    std::string n(1, char('a' + rng() % 6)), v(rng() % 40, char('0' + rng() % 3));
    if (rng() % 2) t.insert(n, v);
    // The model: a linear scan of the table.
    long want = -1, want_name = -1;
    const DynamicTable& d = t.table();
    for (size_t k = 0; k < d.count(); ++k) {
      if (want_name < 0 && d.get(k).name == n) want_name = long(k);
      if (want < 0 && d.get(k).name == n && d.get(k).value == v) want = long(k);
    }
    ASSERT_EQ(t.find(n, v), want);
    ASSERT_EQ(t.find_name(n), want_name);
  }
}

// ---- encoder ---------------------------------------------------------------------

std::string encode(Encoder& e, std::vector<Field> fields) {
  std::string out;
  e.encode(fields, out);
  return out;
}

TEST(HpackEncode, IndexingChoices) {
  Encoder e;
  // First a literal with incremental indexing (name by static index 31),
  // then the single octet 0xbe.
  std::string first = encode(e, {{"content-type", "text/plain"}});
  EXPECT_EQ(uint8_t(first[0]), 0x5f);
  EXPECT_EQ(hex(encode(e, {{"content-type", "text/plain"}})), "be");
  // Static matches are indexed; paths never enter the table.
  EXPECT_EQ(hex(encode(e, {{":method", "GET"}, {":path", "/"}, {":path", "/index.html"}})), "828485");
  EXPECT_EQ(uint8_t(encode(e, {{":path", "/x"}})[0]), 0x04);
  // Never-indexed names: literal without indexing by static name index.
  EXPECT_EQ(uint8_t(encode(e, {{"authorization", "x"}})[0]), 0x0f);
  EXPECT_EQ(hex(encode(e, {{"set-cookie", "x"}}).substr(0, 2)), "0f28");
  // Sensitive: never indexed, name by index when there is one.
  EXPECT_EQ(uint8_t(encode(e, {{"x-secret", "1", true}})[0]), 0x10);
  EXPECT_EQ(uint8_t(encode(e, {{"content-type", "s", true}})[0]), 0x1f);
  // A new name with a dynamic namesake refers to it.
  encode(e, {{"x-a", "1"}});
  std::string again = encode(e, {{"x-a", "2"}});
  EXPECT_EQ(uint8_t(again[0]), 0x7e);  // name of entry 62
  EXPECT_EQ(e.table().size(), 32u + 22 + 32 + 4 + 32 + 4);
  // Too large for three quarters of the table: literal without indexing.
  std::string big(3100, 'b');
  EXPECT_EQ(uint8_t(encode(e, {{"x-big", big}})[0]), 0x00);
  EXPECT_EQ(e.table().count(), 3u);

  Decoder d;
  Encoder e2;
  std::vector<Field> fields = {{":path", "/x"}, {"content-type", "text/plain"}, {"x-secret", "1", true}};
  HeaderBlock block(1 << 20);
  Recorder rec;
  ASSERT_TRUE(d.decode(encode(e2, fields), block, rec, true));
  EXPECT_EQ(rec.never, (std::vector<bool>{false, false, true}));
}

std::string size_updates(Encoder& e) {
  char buf[Encoder::kMaxBlockPrefix];
  return hex(std::string(buf, e.begin_block(buf)));
}

TEST(HpackEncode, TableSizeChangesSignalTheMinimumAndTheFinalSize) {
  Encoder e;
  e.set_table_size(4096);
  EXPECT_EQ(size_updates(e), "");  // no change
  e.set_table_size(10);
  EXPECT_EQ(size_updates(e), "2a");
  e.set_table_size(5);
  e.set_table_size(20);
  EXPECT_EQ(size_updates(e), "2534");  // 5 then 20
  e.set_table_size(8);
  e.set_table_size(3);  // a lower pending value replaces it
  EXPECT_EQ(size_updates(e), "23");
  e.set_table_size(30);  // old 30 > current 3: single
  e.set_table_size(25);
  EXPECT_EQ(size_updates(e), "39");
  e.set_table_size(10);
  e.set_table_size(20);
  e.set_table_size(5);  // below the pair's minimum: single
  EXPECT_EQ(size_updates(e), "25");
  e.set_table_size(10);
  e.set_table_size(20);  // 10 never went below the current 5: single
  EXPECT_EQ(size_updates(e), "34");
  e.set_table_size(10);
  e.set_table_size(30);
  e.set_table_size(15);  // pair keeps its minimum
  EXPECT_EQ(size_updates(e), "2a2f");
  e.set_table_size(1u << 20);  // clamped to the cap
  EXPECT_EQ(size_updates(e), "3fe11f");
  EXPECT_EQ(e.table().max_size(), 4096u);
  Encoder capped(100);
  EXPECT_EQ(size_updates(capped), "3f45");
}

// The encoder's choices written out plainly over a linear table, checked
// byte for byte on blocks that mostly repeat the previous one (so that the
// encoder's shortcuts for repeated heads are taken), with fields changed,
// inserted and removed, sensitive values, and table sizes that evict
// everything and wrap the table around.
struct ModelEncoder {
  std::deque<std::pair<std::string, std::string>> table;  // newest first
  uint32_t max = 4096;
  size_t size = 0;

  void resize(uint32_t m) {
    max = m;
    while (size > max) drop();
  }
  void drop() {
    size -= table.back().first.size() + table.back().second.size() + 32;
    table.pop_back();
  }
  void insert(const std::string& n, const std::string& v) {
    size_t need = n.size() + v.size() + 32;
    while (!table.empty() && size + need > max) drop();
    if (need > max) return;
    table.emplace_front(n, v);
    size += need;
  }
  static void put_int(std::string& out, uint8_t first, unsigned prefix, uint32_t v) {
    uint32_t mask = (1u << prefix) - 1;
    if (v < mask) {
      out += char(first | v);
      return;
    }
    out += char(first | mask);
    for (v -= mask; v >= 128; v >>= 7) out += char((v & 0x7f) | 0x80);
    out += char(v);
  }
  static void put_string(std::string& out, std::string_view s) {
    if (s.empty()) {
      out += '\0';
      return;
    }
    std::string h(huffman_encoded_size(s), '\0');
    huffman_encode(s, h.data());
    put_int(out, 0x80, 7, uint32_t(h.size()));
    out += h;
  }
  static uint32_t static_name(std::string_view n) {
    for (uint32_t i = 1; i <= kStaticCount; ++i)
      if (static_entry(i).name == n) return i;
    return 0;
  }
  uint32_t dynamic_name(std::string_view n) const {
    for (size_t k = 0; k < table.size(); ++k)
      if (table[k].first == n) return uint32_t(kStaticCount + 1 + k);
    return 0;
  }
  void field(std::string& out, const std::string& n, const std::string& v, bool sensitive) {
    auto literal = [&](uint8_t first, unsigned prefix, uint32_t idx) {
      put_int(out, first, prefix, idx);
      if (idx == 0) put_string(out, n);
      put_string(out, v);
    };
    uint32_t sname = static_name(n);
    if (sensitive) return literal(0x10, 4, sname ? sname : dynamic_name(n));
    if (n == ":path") {
      if (v == "/") return put_int(out, 0x80, 7, 4);
      if (v == "/index.html") return put_int(out, 0x80, 7, 5);
      return literal(0x00, 4, 4);
    }
    for (const char* never : {"age", "authorization", "content-length", "etag", "if-modified-since", "if-none-match",
                              "location", "cookie", "set-cookie"})
      if (n == never) return literal(0x00, 4, sname);
    for (uint32_t i = 1; i <= kStaticCount; ++i)
      if (static_entry(i).name == n && static_entry(i).value == v) return put_int(out, 0x80, 7, i);
    if ((n.size() + v.size() + 32) * 4 > uint64_t(max) * 3) return literal(0x00, 4, sname);
    for (size_t k = 0; k < table.size(); ++k)
      if (table[k].first == n && table[k].second == v) return put_int(out, 0x80, 7, uint32_t(kStaticCount + 1 + k));
    literal(0x40, 6, sname ? sname : dynamic_name(n));
    insert(n, v);
  }
};

TEST(HpackEncode, ChoicesMatchAPlainModelOnRepeatedHeads) {
  std::mt19937 rng(17);
  const std::vector<std::pair<std::string, std::vector<std::string>>> pool = {
      {":method", {"GET", "POST", "PATCH"}},
      {":path", {"/", "/index.html", "/a/b?c=d"}},
      {":authority", {"example.com", "www.example-shop.com"}},
      {"accept-encoding", {"gzip, deflate", "gzip, deflate, br, zstd"}},
      {"content-type", {"text/plain", "application/javascript; charset=utf-8"}},
      {"user-agent", {"Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 Chrome/124.0.0.0 Safari/537.36", "curl/8"}},
      {"cookie", {"session=8f2a9c1e7b; theme=dark"}},
      {"etag", {"\"5f3a-18e2b1c4d20\""}},
      {"x-a", {"", "1", "12345678", "123456789abcdefgh"}},
      {"x-b", {"v", std::string(40, 'q'), std::string(700, 'w')}},
      {"date", {"Tue, 11 Jun 2024 10:00:00 GMT"}},
  };
  auto pick = [&] {
    const auto& [n, vs] = pool[rng() % pool.size()];
    return Field{n, vs[rng() % vs.size()], rng() % 25 == 0};
  };
  Encoder e;
  ModelEncoder m;
  std::vector<Field> head;
  for (int i = 0; i < 12; ++i) head.push_back(pick());
  for (int block = 0; block < 4000; ++block) {
    switch (rng() % 8) {
      case 0: head[rng() % head.size()] = pick(); break;
      case 1: head.insert(head.begin() + long(rng() % head.size()), pick()); break;
      case 2:
        if (head.size() > 2) head.erase(head.begin() + long(rng() % head.size()));
        break;
      case 3:
        if (rng() % 4 == 0) e.set_table_size(std::array<uint32_t, 5>{0, 60, 200, 900, 4096}[rng() % 5]);
        break;
      default: break;  // the same head again
    }
    if (head.size() > 40) head.resize(20);
    std::string wire;
    e.encode(head, wire);
    // Size updates lead the block; the model's table follows them.
    size_t at = 0;
    while (at < wire.size() && (uint8_t(wire[at]) & 0xe0) == 0x20) {
      uint32_t v = uint8_t(wire[at++]) & 0x1f;
      if (v == 0x1f)
        for (unsigned shift = 0;; shift += 7) {
          uint8_t b = uint8_t(wire[at++]);
          v += uint32_t(b & 0x7f) << shift;
          if (!(b & 0x80)) break;
        }
      m.resize(v);
    }
    std::string want;
    for (const Field& f : head) m.field(want, std::string(f.name), std::string(f.value), f.sensitive);
    ASSERT_EQ(hex(wire.substr(at)), hex(want)) << "block " << block;
    ASSERT_EQ(e.table().count(), m.table.size());
  }
}

TEST(HpackEncode, EveryStaticEntryAndNoNearMissIsFound) {
  // Each static name with its own value, another value, and names one octet
  // or one length away from it.
  for (uint32_t i = 1; i <= kStaticCount; ++i) {
    const std::string n(static_entry(i).name), v(static_entry(i).value);
    std::string near = n;
    near.back() = near.back() == 'z' ? 'y' : 'z';
    for (auto [fn, fv] : std::vector<std::pair<std::string, std::string>>{
             {n, v}, {n, "zz"}, {near, v}, {n + "s", v}, {n.substr(0, n.size() - 1), v}}) {
      Encoder e;
      ModelEncoder m;
      std::string want;
      for (int twice = 0; twice < 2; ++twice) {
        std::string wire;
        e.encode(std::vector<Field>{{fn, fv}}, wire);
        want.clear();
        m.field(want, fn, fv, false);
        ASSERT_EQ(hex(wire), hex(want)) << fn << ": " << fv;
      }
    }
  }
}

TEST(HpackEncode, RoundTripWithTableSizeChanges) {
  std::mt19937 rng(9);
  Encoder e;
  Decoder d;
  const char* names[] = {"a", "content-type", "x-long-header-name", "cookie", "te", "accept", "date"};
  for (int block = 0; block < 3000; ++block) {
    if (rng() % 10 == 0) {
      uint32_t s = rng() % 5000;
      e.set_table_size(s);
      d.queue_size_update(std::min<uint32_t>(s, 4096));
    }
    std::vector<std::string> values;
    std::vector<Field> fields;
    size_t n = rng() % 12;
    values.reserve(n);
    for (size_t i = 0; i < n; ++i) {
      values.emplace_back(rng() % 5 == 0 ? 1500 : rng() % 20, char('a' + rng() % 3));
      const char* name = names[rng() % 7];
      if (std::string_view(name) == "te") values.back() = "trailers";
      fields.push_back({name, values.back(), rng() % 10 == 0});
    }
    std::string wire;
    e.encode(fields, wire);
    BlockOutcome o = decode_block(d, wire);
    ASSERT_TRUE(o.ok) << block << " " << hpack_error_name(o.error);
    ASSERT_EQ(o.fields.size(), fields.size());
    for (size_t i = 0; i < n; ++i) {
      ASSERT_EQ(o.fields[i].first, fields[i].name);
      ASSERT_EQ(o.fields[i].second, fields[i].value);
    }
    ASSERT_EQ(table_of(d.table()), table_of(e.table().table()));
  }
}

}  // namespace
}  // namespace velmora::h2::hpack
