#include "proto/http/base64.h"

#include <cstdint>

namespace velmora::http {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextet(char c) noexcept {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

void base64_append(std::string_view in, std::string& out) {
  size_t at = out.size();
  out.resize(at + base64_size(in.size()));
  char* o = out.data() + at;
  auto p = reinterpret_cast<const unsigned char*>(in.data());
  size_t n = in.size(), i = 0;
  for (; i + 3 <= n; i += 3) {
    uint32_t v = uint32_t(p[i]) << 16 | uint32_t(p[i + 1]) << 8 | p[i + 2];
    *o++ = kAlphabet[v >> 18];
    *o++ = kAlphabet[(v >> 12) & 63];
    *o++ = kAlphabet[(v >> 6) & 63];
    *o++ = kAlphabet[v & 63];
  }
  if (n - i == 1) {
    uint32_t v = uint32_t(p[i]) << 16;
    *o++ = kAlphabet[v >> 18];
    *o++ = kAlphabet[(v >> 12) & 63];
    *o++ = '=';
    *o++ = '=';
  } else if (n - i == 2) {
    uint32_t v = uint32_t(p[i]) << 16 | uint32_t(p[i + 1]) << 8;
    *o++ = kAlphabet[v >> 18];
    *o++ = kAlphabet[(v >> 12) & 63];
    *o++ = kAlphabet[(v >> 6) & 63];
    *o++ = '=';
  }
}

std::optional<std::string> base64_decode(std::string_view in) {
  if (in.size() % 4) return std::nullopt;
  size_t pad = 0;
  if (!in.empty() && in.back() == '=') pad = in[in.size() - 2] == '=' ? 2 : 1;
  std::string out;
  out.reserve(in.size() / 4 * 3);
  for (size_t i = 0; i < in.size(); i += 4) {
    bool last = i + 4 == in.size();
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) {
      int s = (last && k >= 4 - pad) ? 0 : sextet(in[i + k]);
      if (s < 0) return std::nullopt;
      v = v << 6 | uint32_t(s);
    }
    out += char(v >> 16);
    if (last && pad == 2) {
      if (v & 0xffff) return std::nullopt;
      break;
    }
    out += char(v >> 8);
    if (last && pad == 1) {
      if (v & 0xff) return std::nullopt;
      break;
    }
    out += char(v);
  }
  return out;
}

}  // namespace velmora::http
