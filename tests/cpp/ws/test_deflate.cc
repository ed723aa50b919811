// permessage-deflate: negotiation on both sides (what we accept, what we
// refuse because we cannot honour it), messages compressed by one role and
// read by the other with and without context takeover, and the bound that
// stops a small frame from inflating past the message limit.
#include <gtest/gtest.h>

#include <zlib.h>

#include <random>
#include <string>

#include "proto/ws/codec.h"
#include "proto/ws/deflate.h"
#include "tests/cpp/ws/ws_wire.h"

namespace velmora::ws {
namespace {

using test::feed;
using test::frame;

TEST(DeflateNegotiation, ServerAcceptsTheFirstOfferItCanHonour) {
  DeflateParams none;
  auto a = accept_deflate("permessage-deflate; client_max_window_bits", none);
  ASSERT_TRUE(a);
  EXPECT_EQ(format_deflate(*a), "permessage-deflate");
  // An offer with a 256-octet server window is passed over for the next.
  a = accept_deflate("permessage-deflate; server_max_window_bits=8, permessage-deflate; server_no_context_takeover",
                     none);
  ASSERT_TRUE(a);
  EXPECT_EQ(format_deflate(*a), "permessage-deflate; server_no_context_takeover");
  // Malformed offers are declined: repeated, unknown, bad values.
  for (const char* bad : {"permessage-deflate; server_no_context_takeover; server_no_context_takeover",
                          "permessage-deflate; foo", "permessage-deflate; server_max_window_bits=16",
                          "permessage-deflate; server_max_window_bits=08", "permessage-deflate; server_max_window_bits",
                          "permessage-deflate; client_no_context_takeover=1", "x-webkit-deflate-frame"})
    EXPECT_FALSE(accept_deflate(bad, none)) << bad;
  // Quoted values are unquoted; our preferences cap the windows and add
  // the no-context-takeover requests.
  DeflateParams prefs{.client_no_context_takeover = true, .server_max_window_bits = 10, .client_max_window_bits = 12};
  a = accept_deflate("permessage-deflate; server_max_window_bits=\"12\"; client_max_window_bits", prefs);
  ASSERT_TRUE(a);
  EXPECT_EQ(format_deflate(*a),
            "permessage-deflate; client_no_context_takeover; server_max_window_bits=10; client_max_window_bits=12");
  // The client's window is only limited when it said it may be.
  a = accept_deflate("permessage-deflate", prefs);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->client_max_window_bits, 0);
}

TEST(DeflateNegotiation, ClientChecksTheAnswer) {
  DeflateParams offer{.client_max_window_bits_bare = true};
  auto ok = check_deflate_answer("permessage-deflate; server_no_context_takeover; client_max_window_bits=10", offer);
  ASSERT_TRUE(ok);
  ASSERT_TRUE(*ok);
  EXPECT_TRUE((*ok)->server_no_context_takeover);
  EXPECT_EQ((*ok)->client_max_window_bits, 10);
  auto empty = check_deflate_answer("", offer);
  ASSERT_TRUE(empty);
  EXPECT_FALSE(*empty);
  // What we cannot honour or did not offer fails the handshake.
  for (const char* bad : {"permessage-deflate; client_max_window_bits=8", "permessage-deflate; client_max_window_bits",
                          "permessage-deflate, permessage-deflate", "other-extension", "permessage-deflate; bogus"})
    EXPECT_EQ(check_deflate_answer(bad, offer).error().kind, ErrorKind::handshake_extension) << bad;
  EXPECT_FALSE(check_deflate_answer("permessage-deflate; client_max_window_bits=10", DeflateParams{}));
  DeflateParams strict{.server_no_context_takeover = true, .server_max_window_bits = 10};
  EXPECT_FALSE(check_deflate_answer("permessage-deflate; server_max_window_bits=10", strict));
  EXPECT_FALSE(check_deflate_answer("permessage-deflate; server_no_context_takeover; server_max_window_bits=11", strict));
  EXPECT_TRUE(check_deflate_answer("permessage-deflate; server_no_context_takeover; server_max_window_bits=9", strict));
}

std::string some_text(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  static const char* words[] = {"alpha ", "beta ", "gamma ", "\xce\xb4\xce\xad\xce\xbb\xcf\x84\xce\xb1 ", "\xe2\x82\xac "};
  std::string s;
  while (s.size() < n) s += words[rng() % 5];
  return s;
}

TEST(DeflateMessages, RoundTripBothWaysWithAndWithoutContextTakeover) {
  for (bool nct : {false, true})
    for (uint8_t bits : {uint8_t(0), uint8_t(9), uint8_t(15)}) {
      DeflateParams p{.server_no_context_takeover = nct, .client_no_context_takeover = nct,
                      .server_max_window_bits = bits, .client_max_window_bits = bits};
      Codec client(Config{.role = Role::client, .deflate = p});
      Codec server(Config{.role = Role::server, .deflate = p});
      for (int m = 0; m < 6; ++m) {
        std::string text = some_text(m * 3000 + 1, unsigned(m));
        std::string wire;
        // Whole, then fragmented with a ping in between.
        if (m % 2 == 0) {
          ASSERT_TRUE(*client.send_message(true, text, true, wire));
          EXPECT_TRUE(uint8_t(wire[0]) & 0x40);  // RSV1 on the message's frame
          EXPECT_LT(wire.size(), text.size() + 14);
        } else {
          ASSERT_TRUE(*client.send_message(true, text.substr(0, 100), false, wire));
          ASSERT_TRUE(*client.send_ping("p", wire));
          ASSERT_TRUE(*client.send_message(true, text.substr(100), true, wire));
        }
        auto r = feed(server, wire);
        ASSERT_TRUE(r.result) << message(r.result.error());
        ASSERT_EQ(r.events.back().data, text);
        std::string back;
        ASSERT_TRUE(*server.send_message(false, text, true, back));
        auto b = feed(client, back);
        ASSERT_TRUE(b.result);
        EXPECT_EQ(b.events.back().data, text);
      }
      // Empty messages, between others: each must leave the peer's
      // inflater where the next message starts.
      std::string wire;
      for (const char* m : {"", "", "after", ""}) ASSERT_TRUE(*client.send_message(true, m, true, wire));
      ASSERT_TRUE(*client.send_message(true, "last", true, wire));
      auto r = feed(server, wire);
      ASSERT_TRUE(r.result);
      ASSERT_EQ(r.events.size(), 5u);
      EXPECT_EQ(r.events[0].data, "");
      EXPECT_EQ(r.events[2].data, "after");
      EXPECT_EQ(r.events[4].data, "last");
    }
}

// zlib's raw deflate of `s`, flushed and with the 00 00 ff ff tail taken off,
// as a peer would send it.
std::string peer_deflate(const std::string& s) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, uLong(s.size())) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(s.data()));
  z.avail_in = uInt(s.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = uInt(out.size());
  deflate(&z, Z_SYNC_FLUSH);
  out.resize(out.size() - z.avail_out - 4);
  deflateEnd(&z);
  return out;
}

TEST(DeflateMessages, ABombIsRefusedAtTheMessageLimit) {
  const std::string bomb = peer_deflate(std::string(64 << 20, '\0'));
  ASSERT_LT(bomb.size(), 80u * 1024);
  DeflateParams p;
  Config cfg{.role = Role::server, .max_message_size = 1 << 20, .deflate = p};
  for (bool streaming : {false, true}) {
    cfg.streaming = streaming;
    Codec c(cfg);
    auto r = feed(c, frame(0xc2, bomb, true));
    ASSERT_FALSE(r.result);
    EXPECT_EQ(r.result.error().kind, ErrorKind::message_too_big);
    EXPECT_EQ(r.result.error().code, 1009);
    // Not one octet past the limit was handed out.
    size_t given = 0;
    for (const Event& e : r.events) given += e.data.size();
    EXPECT_LE(given, size_t(1) << 20);
  }
  // Just at the limit it passes.
  Codec c(Config{.role = Role::server, .max_message_size = 4096, .deflate = p});
  auto r = feed(c, frame(0xc2, peer_deflate(std::string(4096, 'a')), true));
  ASSERT_TRUE(r.result);
  EXPECT_EQ(r.events.at(0).data.size(), 4096u);
}

TEST(DeflateMessages, CorruptDataAndMisplacedRsv1) {
  DeflateParams p;
  Codec c(Config{.role = Role::server, .deflate = p});
  auto r = feed(c, frame(0xc1, "\xff\xff\xff\xff", true));
  ASSERT_FALSE(r.result);
  EXPECT_EQ(r.result.error().kind, ErrorKind::bad_compressed_data);
  EXPECT_EQ(r.result.error().code, 1007);
  // RSV1 belongs on a message's first frame only.
  for (uint8_t b0 : {uint8_t(0xc9), uint8_t(0xc0)}) {
    Codec d(Config{.role = Role::server, .deflate = p});
    std::string wire = b0 == 0xc0 ? frame(0x41, peer_deflate("ab"), true) + frame(b0, "", true) : frame(b0, "", true);
    auto e = feed(d, wire);
    ASSERT_FALSE(e.result);
    EXPECT_EQ(e.result.error().kind, ErrorKind::reserved_bits);
  }
  // Text that inflates to invalid UTF-8.
  Codec t(Config{.role = Role::server, .deflate = p});
  auto u = feed(t, frame(0xc1, peer_deflate("ok \xc3\x28"), true));
  ASSERT_FALSE(u.result);
  EXPECT_EQ(u.result.error().code, 1007);
}

}  // namespace
}  // namespace velmora::ws
