#include "proxy/credentials.h"

#include <cstdint>

namespace velmora::proxy {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int hex_value(unsigned char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Length of the valid UTF-8 sequence at `s[i]`, or 0 when it is invalid; in
// that case `bad` is the length of its maximal invalid subpart (at least 1).
size_t utf8_sequence(std::string_view s, size_t i, size_t& bad) noexcept {
  auto b = (unsigned char)s[i];
  bad = 1;
  if (b < 0x80) return 1;
  size_t need;
  unsigned char lo = 0x80, hi = 0xbf;
  if (b >= 0xc2 && b <= 0xdf) {
    need = 2;
  } else if (b >= 0xe0 && b <= 0xef) {
    need = 3;
    if (b == 0xe0) lo = 0xa0;
    if (b == 0xed) hi = 0x9f;
  } else if (b >= 0xf0 && b <= 0xf4) {
    need = 4;
    if (b == 0xf0) lo = 0x90;
    if (b == 0xf4) hi = 0x8f;
  } else {
    return 0;
  }
  size_t k = 1;
  for (; k < need && i + k < s.size(); ++k) {
    auto c = (unsigned char)s[i + k];
    if (k == 1 ? (c < lo || c > hi) : (c < 0x80 || c > 0xbf)) break;
  }
  if (k == need) return need;
  bad = k;
  return 0;
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

bool is_valid_utf8(std::string_view s) noexcept {
  size_t bad;
  for (size_t i = 0; i < s.size();) {
    size_t n = utf8_sequence(s, i, bad);
    if (!n) return false;
    i += n;
  }
  return true;
}

void repair_utf8_append(std::string_view in, std::string& out) {
  size_t bad;
  for (size_t i = 0; i < in.size();) {
    size_t n = utf8_sequence(in, i, bad);
    if (n) {
      out.append(in.substr(i, n));
      i += n;
    } else {
      out += "\xef\xbf\xbd";
      i += bad;
    }
  }
}

std::string percent_decode_utf8(std::string_view in) {
  std::string bytes;
  bytes.reserve(in.size());
  bool ascii = true;
  for (size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    if (c == '%' && i + 2 < in.size()) {
      int h = hex_value((unsigned char)in[i + 1]), l = hex_value((unsigned char)in[i + 2]);
      if (h >= 0 && l >= 0) {
        c = char(h << 4 | l);
        i += 2;
      }
    }
    ascii &= (unsigned char)c < 0x80;
    bytes += c;
  }
  if (ascii || is_valid_utf8(bytes)) return bytes;
  std::string out;
  out.reserve(bytes.size() + 8);
  repair_utf8_append(bytes, out);
  return out;
}

}  // namespace velmora::proxy
