#include "proto/ws/deflate.h"

#include <zlib.h>

#include "proto/http/field_scan.h"
#include "proto/http/fields.h"

#include <algorithm>
#include <new>
#include <vector>

namespace velmora::ws {

namespace {

// One extension element: its name and its parameters (a value is empty and
// `has` false for a bare parameter; a quoted value is unquoted).
struct Param {
  std::string_view name;
  std::string value;
  bool has = false;
};
struct Element {
  std::string_view name;
  std::vector<Param> params;
};

// Splits at `sep` outside quoted strings.
template <class F>
bool split_outside_quotes(std::string_view s, char sep, F&& each) {
  bool quoted = false, escaped = false;
  size_t start = 0;
  for (size_t i = 0; i <= s.size(); ++i) {
    if (i < s.size()) {
      char c = s[i];
      if (escaped) { escaped = false; continue; }
      if (quoted && c == '\\') { escaped = true; continue; }
      if (c == '"') { quoted = !quoted; continue; }
      if (c != sep || quoted) continue;
    }
    if (!each(s.substr(start, i - start))) return false;
    start = i + 1;
  }
  return !quoted;
}

// The elements of an extension list; false when it is malformed. Empty list
// elements (", ,") are skipped, as the list syntax allows.
bool parse_elements(std::string_view list, std::vector<Element>& out) {
  return split_outside_quotes(list, ',', [&](std::string_view el) {
    el = http::trim_ows(el);
    if (el.empty()) return true;
    Element e;
    bool first = true, ok = true;
    bool whole = split_outside_quotes(el, ';', [&](std::string_view part) {
      part = http::trim_ows(part);
      if (first) {
        first = false;
        e.name = part;
        return ok = http::is_token(part);
      }
      Param p;
      size_t eq = part.find('=');
      p.name = http::trim_ows(part.substr(0, eq));
      if (!http::is_token(p.name)) return ok = false;
      if (eq != std::string_view::npos) {
        std::string_view v = http::trim_ows(part.substr(eq + 1));
        p.has = true;
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"') {
          for (size_t i = 1; i + 1 < v.size(); ++i) {
            if (v[i] == '\\' && i + 2 < v.size()) ++i;
            p.value += v[i];
          }
        } else {
          p.value.assign(v);
        }
        if (!http::is_token(p.value)) return ok = false;
      }
      e.params.push_back(std::move(p));
      return true;
    });
    if (!whole || !ok) return false;
    out.push_back(std::move(e));
    return true;
  });
}

// "8".."15" without leading zeros; 0 when it is not one.
uint8_t window_bits(std::string_view v) noexcept {
  if (v.size() == 1 && v[0] >= '8' && v[0] <= '9') return uint8_t(v[0] - '0');
  if (v.size() == 2 && v[0] == '1' && v[1] >= '0' && v[1] <= '5') return uint8_t(10 + v[1] - '0');
  return 0;
}

// An element's parameters; nullopt when one is unknown, repeated or has a
// bad value. `offer`: client_max_window_bits may come without a value.
std::optional<DeflateParams> read_params(const Element& e, bool offer) {
  DeflateParams p;
  bool seen[4] = {};
  for (const Param& x : e.params) {
    int i;
    if (x.name == "server_no_context_takeover") i = 0;
    else if (x.name == "client_no_context_takeover") i = 1;
    else if (x.name == "server_max_window_bits") i = 2;
    else if (x.name == "client_max_window_bits") i = 3;
    else return std::nullopt;
    if (seen[i]) return std::nullopt;
    seen[i] = true;
    if (i < 2) {
      if (x.has) return std::nullopt;
      (i == 0 ? p.server_no_context_takeover : p.client_no_context_takeover) = true;
      continue;
    }
    if (!x.has) {
      if (i == 3 && offer) {
        p.client_max_window_bits_bare = true;
        continue;
      }
      return std::nullopt;
    }
    uint8_t bits = window_bits(x.value);
    if (!bits) return std::nullopt;
    (i == 2 ? p.server_max_window_bits : p.client_max_window_bits) = bits;
  }
  return p;
}

std::unexpected<Error> handshake_fail() noexcept { return std::unexpected(Error{ErrorKind::handshake_extension, 0}); }

}  // namespace

std::string format_deflate(const DeflateParams& p) {
  std::string s(kDeflateName);
  if (p.server_no_context_takeover) s += "; server_no_context_takeover";
  if (p.client_no_context_takeover) s += "; client_no_context_takeover";
  if (p.server_max_window_bits) s += "; server_max_window_bits=" + std::to_string(p.server_max_window_bits);
  if (p.client_max_window_bits)
    s += "; client_max_window_bits=" + std::to_string(p.client_max_window_bits);
  else if (p.client_max_window_bits_bare)
    s += "; client_max_window_bits";
  return s;
}

std::optional<DeflateParams> accept_deflate(std::string_view offers, const DeflateParams& prefs) {
  std::vector<Element> elements;
  if (!parse_elements(offers, elements)) return std::nullopt;
  for (const Element& e : elements) {
    if (!http::iequals(e.name, kDeflateName)) continue;
    std::optional<DeflateParams> offer = read_params(e, true);
    if (!offer) continue;
    DeflateParams r;
    r.server_no_context_takeover = offer->server_no_context_takeover || prefs.server_no_context_takeover;
    r.client_no_context_takeover = offer->client_no_context_takeover || prefs.client_no_context_takeover;
    // Our window: at most what the client allows, at most what we prefer,
    // and at least 9 (zlib's raw deflate has no 256-octet window).
    uint8_t s = offer->server_max_window_bits ? offer->server_max_window_bits : 15;
    if (s < 9) continue;
    if (prefs.server_max_window_bits) s = std::min<uint8_t>(s, std::max<uint8_t>(prefs.server_max_window_bits, 9));
    if (offer->server_max_window_bits || s < 15) r.server_max_window_bits = s;
    // The client's window can only be limited when it says it can be.
    if (offer->client_max_window_bits || offer->client_max_window_bits_bare) {
      uint8_t c = offer->client_max_window_bits ? offer->client_max_window_bits : 15;
      if (prefs.client_max_window_bits && prefs.client_max_window_bits < c) r.client_max_window_bits = prefs.client_max_window_bits;
    }
    return r;
  }
  return std::nullopt;
}

Result<std::optional<DeflateParams>> check_deflate_answer(std::string_view answer, const DeflateParams& offered) {
  std::vector<Element> elements;
  if (!parse_elements(answer, elements)) return handshake_fail();
  if (elements.empty()) return std::optional<DeflateParams>();
  if (elements.size() != 1 || !http::iequals(elements[0].name, kDeflateName)) return handshake_fail();
  std::optional<DeflateParams> r = read_params(elements[0], false);
  if (!r) return handshake_fail();
  if (r->client_max_window_bits && !offered.client_max_window_bits && !offered.client_max_window_bits_bare)
    return handshake_fail();
  if (offered.client_max_window_bits && r->client_max_window_bits > offered.client_max_window_bits)
    return handshake_fail();
  // We compress with the window the server asks for: zlib cannot do 8.
  if (r->client_max_window_bits == 8) return handshake_fail();
  // What we asked of the server must be granted.
  if (offered.server_no_context_takeover && !r->server_no_context_takeover) return handshake_fail();
  if (offered.server_max_window_bits &&
      (!r->server_max_window_bits || r->server_max_window_bits > offered.server_max_window_bits))
    return handshake_fail();
  return r;
}

Result<DeflateParams> parse_deflate(std::string_view element, bool offer) {
  std::vector<Element> elements;
  std::optional<DeflateParams> r;
  if (parse_elements(element, elements) && elements.size() == 1 && http::iequals(elements[0].name, kDeflateName))
    r = read_params(elements[0], offer);
  if (!r) return std::unexpected(Error{ErrorKind::bad_extension_params, 0});
  return *r;
}

// ---- compression ---------------------------------------------------------------

struct Deflater::Impl {
  z_stream z{};
};

Deflater::Deflater(int window_bits, bool no_context_takeover) : z_(new Impl), reset_each_(no_context_takeover) {
  if (deflateInit2(&z_->z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -std::clamp(window_bits, 9, 15), 8,
                   Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::bad_alloc();
}

Deflater::~Deflater() { deflateEnd(&z_->z); }

size_t Deflater::bound(size_t n) const noexcept { return deflateBound(&z_->z, uLong(n)) + 16; }

void Deflater::compress(std::string_view in, bool fin, std::string& out) {
  z_stream& z = z_->z;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  size_t left = in.size();
  const size_t start = out.size();
  // zlib counts in 32-bit units: a larger input goes in slices.
  constexpr size_t kSlice = size_t(1) << 30;
  for (;;) {
    size_t take = std::min(left, kSlice);
    z.avail_in = uInt(take);
    left -= take;
    int flush = left ? Z_NO_FLUSH : Z_SYNC_FLUSH;
    do {
      size_t old = out.size();
      size_t room = std::max<size_t>(bound(z.avail_in), 64);
      out.resize_and_overwrite(old + room, [&](char* p, size_t) {
        z.next_out = reinterpret_cast<Bytef*>(p + old);
        z.avail_out = uInt(room);
        ::deflate(&z, flush);
        return old + (room - z.avail_out);
      });
    } while (z.avail_out == 0);
    if (!left) break;
  }
  if (fin) {
    // A sync flush ends in an empty stored block, 00 00 ff ff after its
    // header bits; the receiver puts those four octets back. zlib writes no
    // second flush when nothing came since the last one (an empty message
    // after another): then the message is the stored block's header alone,
    // one 00 octet (RFC 7692, section 7.2.3.6).
    if (out.size() - start >= 4)
      out.resize(out.size() - 4);
    else
      out.push_back('\0');
    if (reset_each_) deflateReset(&z);
  }
}

struct Inflater::Impl {
  z_stream z{};
};

Inflater::Inflater(bool no_context_takeover) : z_(new Impl), reset_each_(no_context_takeover) {
  if (inflateInit2(&z_->z, -15) != Z_OK) throw std::bad_alloc();
}

Inflater::~Inflater() { inflateEnd(&z_->z); }

Result<void> Inflater::inflate(std::string_view in, bool fin, uint64_t& total, uint64_t limit, std::string& out) {
  static constexpr char kTail[4] = {0, 0, char(0xff), char(0xff)};
  z_stream& z = z_->z;
  constexpr size_t kStep = 64 * 1024;
  for (int part = 0; part < (fin ? 2 : 1); ++part) {
    std::string_view src = part ? std::string_view(kTail, 4) : in;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(src.data()));
    size_t left = src.size();
    for (;;) {
      if (!z.avail_in && left) {
        size_t take = std::min<size_t>(left, size_t(1) << 30);
        z.avail_in = uInt(take);
        left -= take;
      }
      // One octet more than the limit allows shows that the message is over it.
      size_t room = size_t(std::min<uint64_t>(kStep, limit - total + 1));
      size_t old = out.size();
      int r = Z_OK;
      out.resize_and_overwrite(old + room, [&](char* p, size_t) {
        z.next_out = reinterpret_cast<Bytef*>(p + old);
        z.avail_out = uInt(room);
        r = ::inflate(&z, Z_SYNC_FLUSH);
        return old + (room - z.avail_out);
      });
      size_t produced = out.size() - old;
      total += produced;
      if (total > limit) {
        inflateReset(&z);
        return fail(ErrorKind::message_too_big);
      }
      if (r == Z_STREAM_END) {
        // The peer ended its deflate stream (a final block): what follows
        // starts a new one.
        inflateReset(&z);
        if (!z.avail_in && !left) break;
        continue;
      }
      if (r == Z_BUF_ERROR || (r == Z_OK && z.avail_out != 0)) {
        if (!z.avail_in && !left) break;
        if (r == Z_BUF_ERROR && z.avail_out != 0 && z.avail_in != 0) return fail(ErrorKind::bad_compressed_data);
        continue;
      }
      if (r != Z_OK) {
        inflateReset(&z);
        return fail(ErrorKind::bad_compressed_data);
      }
    }
  }
  if (fin && reset_each_) inflateReset(&z);
  return {};
}

}  // namespace velmora::ws
