// The opening handshake's helpers: the accept value, the server's checks of
// an upgrade request, and the client's checks of the answer.
#include <gtest/gtest.h>

#include <string>

#include "proto/http/base64.h"
#include "proto/ws/handshake.h"

namespace velmora::ws {
namespace {

http::HeaderMap fields(std::initializer_list<std::pair<std::string_view, std::string_view>> f) {
  http::HeaderMap m;
  for (auto& [n, v] : f) EXPECT_TRUE(m.append(n, v));
  return m;
}

std::string value(const http::HeaderMap& m, std::string_view name) {
  std::string_view v;
  return m.first(name, v) ? std::string(v) : std::string("<absent>");
}

TEST(Handshake, AcceptValueOfTheRfcExample) {
  EXPECT_EQ(accept_key("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  std::string k = make_key();
  EXPECT_EQ(k.size(), 24u);
  EXPECT_EQ(http::base64_decode(k)->size(), 16u);
  EXPECT_NE(k, make_key());
}

TEST(Handshake, ServerChecksTheUpgradeRequest) {
  const std::string_view protos[] = {"chat.v2", "chat"};
  DeflateParams prefs;
  auto ok = fields({{"upgrade", "WebSocket"},
                    {"connection", "keep-alive, Upgrade"},
                    {"sec-websocket-key", "dGhlIHNhbXBsZSBub25jZQ=="},
                    {"sec-websocket-version", "13"},
                    {"sec-websocket-protocol", "chat, superchat"},
                    {"sec-websocket-protocol", "chat.v2"},
                    {"sec-websocket-extensions", "permessage-deflate; client_max_window_bits"}});
  http::HeaderMap resp;
  auto a = server_handshake(ok, protos, &prefs, false, resp);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->subprotocol, "chat.v2");  // our preference order
  ASSERT_TRUE(a->deflate);
  EXPECT_EQ(value(resp, "sec-websocket-accept"), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  EXPECT_EQ(value(resp, "upgrade"), "websocket");
  EXPECT_EQ(value(resp, "sec-websocket-protocol"), "chat.v2");
  EXPECT_EQ(value(resp, "sec-websocket-extensions"), "permessage-deflate");
  // Without compression on our side, or no protocol in common: neither field.
  http::HeaderMap plain;
  auto b = server_handshake(ok, std::span<const std::string_view>(), nullptr, false, plain);
  ASSERT_TRUE(b);
  EXPECT_FALSE(b->deflate);
  EXPECT_FALSE(plain.contains("sec-websocket-extensions"));
  EXPECT_FALSE(plain.contains("sec-websocket-protocol"));

  struct Bad {
    const char* name;
    std::string_view value;
    ErrorKind kind;
  } bad[] = {
      {"sec-websocket-version", "8", ErrorKind::handshake_version},
      {"sec-websocket-key", "c2hvcnQ=", ErrorKind::handshake_key},                  // 5 octets
      {"sec-websocket-key", "dGhlIHNhbXBsZSBub25jZQ", ErrorKind::handshake_key},    // unpadded
      {"sec-websocket-key", "dGhlIHNhbXBsZSBub25jZR==", ErrorKind::handshake_key},  // stray bits
      {"upgrade", "h2c", ErrorKind::handshake_upgrade},
      {"connection", "close", ErrorKind::handshake_connection},
  };
  for (const Bad& x : bad) {
    http::HeaderMap req = ok;
    req.remove(x.name);
    ASSERT_TRUE(req.append(x.name, x.value));
    http::HeaderMap r;
    auto e = server_handshake(req, protos, &prefs, false, r);
    ASSERT_FALSE(e) << x.name << ": " << x.value;
    EXPECT_EQ(e.error().kind, x.kind);
  }
  // Over HTTP/2 only the version matters: no key, no Upgrade.
  http::HeaderMap r2;
  auto h2 = server_handshake(fields({{"sec-websocket-version", "13"}}), protos, &prefs, true, r2);
  ASSERT_TRUE(h2);
  EXPECT_FALSE(r2.contains("sec-websocket-accept"));
}

TEST(Handshake, ClientRequestAndAnswer) {
  const std::string_view protos[] = {"chat"};
  DeflateParams offer{.client_max_window_bits_bare = true};
  const std::string key = "dGhlIHNhbXBsZSBub25jZQ==";
  http::HeaderMap req;
  client_request(key, protos, &offer, false, req);
  EXPECT_EQ(value(req, "sec-websocket-key"), key);
  EXPECT_EQ(value(req, "sec-websocket-version"), "13");
  EXPECT_EQ(value(req, "sec-websocket-extensions"), "permessage-deflate; client_max_window_bits");
  // The server's side of the same exchange answers what the client accepts.
  http::HeaderMap resp;
  ASSERT_TRUE(server_handshake(req, protos, &offer, false, resp));
  auto a = client_check(resp, key, protos, &offer, false);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->subprotocol, "chat");
  EXPECT_TRUE(a->deflate);

  auto answer = [&](std::string_view name, std::string_view v) {
    http::HeaderMap m = resp;
    m.remove(name);
    EXPECT_TRUE(m.append(name, v));
    return client_check(m, key, protos, &offer, false);
  };
  EXPECT_EQ(answer("sec-websocket-accept", "AAAAAAAAAAAAAAAAAAAAAAAAAAA=").error().kind, ErrorKind::handshake_accept);
  EXPECT_EQ(answer("sec-websocket-protocol", "other").error().kind, ErrorKind::handshake_subprotocol);
  EXPECT_EQ(answer("sec-websocket-extensions", "permessage-deflate; client_max_window_bits=8").error().kind,
            ErrorKind::handshake_extension);
  EXPECT_EQ(answer("upgrade", "tls/1.2").error().kind, ErrorKind::handshake_upgrade);
  // An extension we did not offer.
  EXPECT_EQ(client_check(resp, key, protos, nullptr, false).error().kind, ErrorKind::handshake_extension);
}

}  // namespace
}  // namespace velmora::ws
