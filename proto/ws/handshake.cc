#include "proto/ws/handshake.h"

#include <openssl/evp.h>

#include <algorithm>
#include <new>
#include <vector>

#include "proto/http/base64.h"
#include "proto/http/fields.h"
#include "proto/ws/random.h"

namespace velmora::ws {

namespace {

constexpr std::string_view kGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

std::unexpected<Error> refuse(ErrorKind k) noexcept { return std::unexpected(Error{k, 0}); }

// Every value of `name` joined by ", " (a list field may come on many lines).
std::string joined(const http::HeaderMap& m, std::string_view name) {
  std::string s;
  m.for_each_of(name, [&](std::string_view v) {
    if (!s.empty()) s += ", ";
    s += v;
  });
  return s;
}

bool has_token(const http::HeaderMap& m, std::string_view name, std::string_view token) {
  bool found = false;
  m.for_each_of(name, [&](std::string_view v) { found = found || http::list_has_token(v, token); });
  return found;
}

// The comma-separated elements of a list, trimmed, empty ones skipped.
std::vector<std::string_view> elements(std::string_view list) {
  std::vector<std::string_view> out;
  while (!list.empty()) {
    size_t c = list.find(',');
    std::string_view e = http::trim_ows(list.substr(0, c));
    if (!e.empty()) out.push_back(e);
    if (c == std::string_view::npos) break;
    list.remove_prefix(c + 1);
  }
  return out;
}

void add(http::HeaderMap& m, std::string_view name, std::string_view value) {
  if (!m.append(name, value)) throw std::bad_alloc();  // only a full map refuses
}

}  // namespace

std::string accept_key(std::string_view key) {
  std::string input;
  input.reserve(key.size() + kGuid.size());
  input.append(key).append(kGuid);
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!EVP_Digest(input.data(), input.size(), md, &len, EVP_sha1(), nullptr)) throw std::bad_alloc();
  std::string out;
  http::base64_append({reinterpret_cast<const char*>(md), len}, out);
  return out;
}

std::string make_key() {
  uint8_t raw[16];
  os_random(raw, sizeof raw);
  std::string out;
  http::base64_append({reinterpret_cast<const char*>(raw), sizeof raw}, out);
  return out;
}

Result<Agreement> server_handshake(const http::HeaderMap& request, std::span<const std::string_view> subprotocols,
                                   const DeflateParams* deflate, bool http2, http::HeaderMap& response) {
  std::string_view v;
  if (request.count("sec-websocket-version") != 1 || !request.first("sec-websocket-version", v) ||
      http::trim_ows(v) != "13")
    return refuse(ErrorKind::handshake_version);
  std::string accept;
  if (!http2) {
    if (!has_token(request, "upgrade", "websocket")) return refuse(ErrorKind::handshake_upgrade);
    if (!has_token(request, "connection", "upgrade")) return refuse(ErrorKind::handshake_connection);
    std::string_view key;
    if (request.count("sec-websocket-key") != 1 || !request.first("sec-websocket-key", key))
      return refuse(ErrorKind::handshake_key);
    key = http::trim_ows(key);
    std::optional<std::string> raw = http::base64_decode(key);
    if (!raw || raw->size() != 16) return refuse(ErrorKind::handshake_key);
    accept = accept_key(key);
  }
  Agreement a;
  if (!subprotocols.empty()) {
    std::string all = joined(request, "sec-websocket-protocol");
    std::vector<std::string_view> offers = elements(all);
    for (std::string_view ours : subprotocols)
      if (std::find(offers.begin(), offers.end(), ours) != offers.end()) {
        a.subprotocol = ours;
        break;
      }
  }
  if (deflate) a.deflate = accept_deflate(joined(request, "sec-websocket-extensions"), *deflate);
  if (!http2) {
    add(response, "upgrade", "websocket");
    add(response, "connection", "Upgrade");
    add(response, "sec-websocket-accept", accept);
  }
  if (!a.subprotocol.empty()) add(response, "sec-websocket-protocol", a.subprotocol);
  if (a.deflate) add(response, "sec-websocket-extensions", format_deflate(*a.deflate));
  return a;
}

void client_request(std::string_view key, std::span<const std::string_view> subprotocols,
                    const DeflateParams* deflate, bool http2, http::HeaderMap& request) {
  if (!http2) {
    add(request, "upgrade", "websocket");
    add(request, "connection", "Upgrade");
    add(request, "sec-websocket-key", key);
  }
  add(request, "sec-websocket-version", "13");
  if (!subprotocols.empty()) {
    std::string list;
    for (std::string_view s : subprotocols) {
      if (!list.empty()) list += ", ";
      list += s;
    }
    add(request, "sec-websocket-protocol", list);
  }
  if (deflate) add(request, "sec-websocket-extensions", format_deflate(*deflate));
}

Result<Agreement> client_check(const http::HeaderMap& response, std::string_view key,
                               std::span<const std::string_view> subprotocols, const DeflateParams* deflate,
                               bool http2) {
  if (!http2) {
    if (!has_token(response, "upgrade", "websocket")) return refuse(ErrorKind::handshake_upgrade);
    if (!has_token(response, "connection", "upgrade")) return refuse(ErrorKind::handshake_connection);
    std::string_view got;
    if (response.count("sec-websocket-accept") != 1 || !response.first("sec-websocket-accept", got) ||
        http::trim_ows(got) != accept_key(key))
      return refuse(ErrorKind::handshake_accept);
  }
  Agreement a;
  std::string proto = joined(response, "sec-websocket-protocol");
  if (!proto.empty()) {
    std::string_view p = http::trim_ows(proto);
    if (std::find(subprotocols.begin(), subprotocols.end(), p) == subprotocols.end())
      return refuse(ErrorKind::handshake_subprotocol);
    a.subprotocol = p;
  }
  std::string ext = joined(response, "sec-websocket-extensions");
  if (!deflate) {
    if (!elements(ext).empty()) return refuse(ErrorKind::handshake_extension);
    return a;
  }
  auto d = check_deflate_answer(ext, *deflate);
  if (!d) return std::unexpected(d.error());
  a.deflate = *d;
  return a;
}

}  // namespace velmora::ws
