#include "proxy/credentials.h"

#include "proto/http/fields.h"
#include "proto/http/utf8.h"

#include <cstdint>

namespace velmora::proxy {

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
