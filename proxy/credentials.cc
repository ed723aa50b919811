#include "proxy/credentials.h"

#include "proto/http/fields.h"
#include "proto/http/utf8.h"

#include <cstdint>

namespace velmora::proxy {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";


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

std::string percent_decode_utf8(std::string_view in) {
  std::string bytes;
  bytes.reserve(in.size());
  bool ascii = true;
  for (size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    if (c == '%' && i + 2 < in.size()) {
      int h = http::hex_value((unsigned char)in[i + 1]), l = http::hex_value((unsigned char)in[i + 2]);
      if (h >= 0 && l >= 0) {
        c = char(h << 4 | l);
        i += 2;
      }
    }
    ascii &= (unsigned char)c < 0x80;
    bytes += c;
  }
  if (ascii || http::is_valid_utf8(bytes)) return bytes;
  std::string out;
  out.reserve(bytes.size() + 8);
  http::repair_utf8_append(bytes, out);
  return out;
}

}  // namespace velmora::proxy
