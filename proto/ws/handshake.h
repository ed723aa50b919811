// The opening handshake (RFC 6455, section 4; RFC 8441 over HTTP/2): the
// checks of each side, Sec-WebSocket-Accept, and the choice of subprotocol
// and extension. The HTTP exchange itself (the GET with Upgrade and its 101,
// or the extended CONNECT and its 200) belongs to the HTTP codecs and
// states; these helpers only read and write its WebSocket fields.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "proto/http/header_map.h"
#include "proto/ws/deflate.h"
#include "proto/ws/error.h"

namespace velmora::ws {

// Base64 of the SHA-1 of key + the protocol's GUID (OpenSSL's libcrypto).
std::string accept_key(std::string_view key);

// A new Sec-WebSocket-Key: 16 random octets in base64.
std::string make_key();

// What a handshake agreed on.
struct Agreement {
  std::string subprotocol;               // empty: none
  std::optional<DeflateParams> deflate;  // permessage-deflate, when agreed
};

// Server side. Checks the request's WebSocket fields (over HTTP/1.1:
// Upgrade names websocket, Connection names upgrade, a 16-octet base64
// Sec-WebSocket-Key; on both: Sec-WebSocket-Version 13), chooses the first
// of `subprotocols` (our preference order) that the client offers, and
// accepts the first permessage-deflate offer we can honour under `deflate`
// (nullptr: no compression). Appends the response's fields to `response`
// (Upgrade, Connection, Sec-WebSocket-Accept over HTTP/1.1; the chosen
// Sec-WebSocket-Protocol and Sec-WebSocket-Extensions on both).
// Errors: handshake_version, handshake_key, handshake_upgrade,
// handshake_connection.
Result<Agreement> server_handshake(const http::HeaderMap& request, std::span<const std::string_view> subprotocols,
                                   const DeflateParams* deflate, bool http2, http::HeaderMap& response);

// Client side: the request's WebSocket fields, appended to `request`
// (Upgrade, Connection, Sec-WebSocket-Key = `key` over HTTP/1.1;
// Sec-WebSocket-Version, and the offers of subprotocols and of
// permessage-deflate when given).
void client_request(std::string_view key, std::span<const std::string_view> subprotocols,
                    const DeflateParams* deflate, bool http2, http::HeaderMap& request);

// Client side: checks the server's answer to that request (over HTTP/1.1:
// Upgrade, Connection, Sec-WebSocket-Accept for `key`) and what it chose.
// Errors: handshake_upgrade, handshake_connection, handshake_accept,
// handshake_subprotocol, handshake_extension.
Result<Agreement> client_check(const http::HeaderMap& response, std::string_view key,
                               std::span<const std::string_view> subprotocols, const DeflateParams* deflate,
                               bool http2);

}  // namespace velmora::ws
