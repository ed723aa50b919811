#include "src/http/names.h"

#include <array>
#include <cstdint>

namespace velmora::py {

namespace {

constexpr std::string_view kNames[] = {
    "accept", "accept-charset", "accept-encoding", "accept-language", "accept-ranges",
    "access-control-allow-credentials", "access-control-allow-headers", "access-control-allow-methods",
    "access-control-allow-origin", "access-control-expose-headers", "access-control-max-age",
    "access-control-request-headers", "access-control-request-method", "age", "allow", "alt-svc",
    "authorization", "cache-control", "connection", "content-disposition", "content-encoding",
    "content-language", "content-length", "content-location", "content-range", "content-security-policy",
    "content-type", "cookie", "date", "dnt", "etag", "expect", "expires", "forwarded", "from", "host",
    "if-match", "if-modified-since", "if-none-match", "if-range", "if-unmodified-since", "keep-alive",
    "last-modified", "link", "location", "max-forwards", "origin", "pragma", "priority",
    "proxy-authenticate", "proxy-authorization", "range", "referer", "referrer-policy", "retry-after",
    "sec-ch-ua", "sec-ch-ua-mobile", "sec-ch-ua-platform", "sec-fetch-dest", "sec-fetch-mode",
    "sec-fetch-site", "sec-fetch-user", "sec-websocket-accept", "sec-websocket-extensions",
    "sec-websocket-key", "sec-websocket-protocol", "sec-websocket-version", "server", "set-cookie",
    "strict-transport-security", "te", "trailer", "transfer-encoding", "upgrade",
    "upgrade-insecure-requests", "user-agent", "vary", "via", "warning", "www-authenticate",
    "x-content-type-options", "x-forwarded-for", "x-forwarded-host", "x-forwarded-proto", "x-frame-options",
    "x-real-ip", "x-requested-with", "x-xss-protection",
};
constexpr size_t kCount = std::size(kNames);
constexpr size_t kSlots = 512;

constexpr uint32_t slot_hash(std::string_view s) {
  uint32_t h = uint32_t(s.size()) * 0x9e3779b1u;
  h ^= uint8_t(s[0]) * 131u;
  h ^= uint8_t(s[s.size() / 2]) * 7919u;
  h ^= uint8_t(s[s.size() - 1]) * 65537u;
  return (h ^ (h >> 13)) & (kSlots - 1);
}

constexpr std::array<int16_t, kSlots> make_index() {
  std::array<int16_t, kSlots> t{};
  for (auto& x : t) x = -1;
  for (size_t i = 0; i < kCount; ++i) {
    uint32_t s = slot_hash(kNames[i]);
    while (t[s] >= 0) s = (s + 1) & (kSlots - 1);
    t[s] = int16_t(i);
  }
  return t;
}
constexpr auto kIndex = make_index();

PyObject* g_str[kCount];
PyObject* g_bytes[kCount];
PyObject* g_methods[http::kStandardMethods];

int lookup(std::string_view n) noexcept {
  if (n.empty()) return -1;
  for (uint32_t s = slot_hash(n);; s = (s + 1) & (kSlots - 1)) {
    int16_t i = kIndex[s];
    if (i < 0) return -1;
    if (kNames[size_t(i)] == n) return i;
  }
}

}  // namespace

int init_common_names() {
  if (g_methods[http::kStandardMethods - 1]) return 0;  // set last
  for (size_t i = 0; i < kCount; ++i) {
    PyObject* s = PyUnicode_FromStringAndSize(kNames[i].data(), Py_ssize_t(kNames[i].size()));
    if (!s) return -1;
    PyUnicode_InternInPlace(&s);
    PyObject* b = PyBytes_FromStringAndSize(kNames[i].data(), Py_ssize_t(kNames[i].size()));
    if (!b) {
      Py_DECREF(s);
      return -1;
    }
    g_str[i] = s;  // kept for the life of the process
    g_bytes[i] = b;
  }
  for (size_t i = 0; i < http::kStandardMethods; ++i) {
    std::string_view m = http::method_name(http::Method(i));
    PyObject* s = PyUnicode_FromStringAndSize(m.data(), Py_ssize_t(m.size()));
    if (!s) return -1;
    PyUnicode_InternInPlace(&s);
    g_methods[i] = s;
  }
  return 0;
}

PyObject* method_str(http::Method m) noexcept { return g_methods[size_t(m)]; }

PyObject* common_name_str(std::string_view n) noexcept {
  int i = lookup(n);
  return i < 0 ? nullptr : g_str[i];
}

PyObject* common_name_bytes(std::string_view n) noexcept {
  int i = lookup(n);
  return i < 0 ? nullptr : g_bytes[i];
}

}  // namespace velmora::py
