#include "proto/h1/head_encoder.h"

#include <charconv>
#include <cstring>
#include <type_traits>
#include <vector>

#include "proto/h1/head_parser.h"
#include "proto/http/content_length.h"
#include "proto/http/fields.h"

namespace velmora::h1 {

bool connection_close(const http::HeaderMap& h) noexcept {
  bool found = false;
  h.for_each_of("connection", [&](std::string_view v) {
    if (!found && http::list_has_token(v, "close")) found = true;
  });
  return found;
}

namespace {
// Any `Connection` line holds the token "keep-alive".
bool keep_alive_token(const http::HeaderMap& h) noexcept {
  bool found = false;
  h.for_each_of("connection", [&](std::string_view v) { found = found || http::list_has_token(v, "keep-alive"); });
  return found;
}
}  // namespace

std::string_view reason_phrase(uint16_t s) noexcept {
  switch (s) {
    case 100: return "Continue";
    case 101: return "Switching Protocols";
    case 102: return "Processing";
    case 103: return "Early Hints";
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 203: return "Non Authoritative Information";
    case 204: return "No Content";
    case 205: return "Reset Content";
    case 206: return "Partial Content";
    case 207: return "Multi-Status";
    case 208: return "Already Reported";
    case 226: return "IM Used";
    case 300: return "Multiple Choices";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 305: return "Use Proxy";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 402: return "Payment Required";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 406: return "Not Acceptable";
    case 407: return "Proxy Authentication Required";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 410: return "Gone";
    case 411: return "Length Required";
    case 412: return "Precondition Failed";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 415: return "Unsupported Media Type";
    case 416: return "Range Not Satisfiable";
    case 417: return "Expectation Failed";
    case 418: return "I'm a teapot";
    case 421: return "Misdirected Request";
    case 422: return "Unprocessable Entity";
    case 423: return "Locked";
    case 424: return "Failed Dependency";
    case 425: return "Too Early";
    case 426: return "Upgrade Required";
    case 428: return "Precondition Required";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 451: return "Unavailable For Legal Reasons";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    case 505: return "HTTP Version Not Supported";
    case 506: return "Variant Also Negotiates";
    case 507: return "Insufficient Storage";
    case 508: return "Loop Detected";
    case 510: return "Not Extended";
    case 511: return "Network Authentication Required";
  }
  return "<none>";
}

namespace {

constexpr std::string_view kCrlf = "\r\n";

// Output sinks: the plan pass counts, the write pass copies.
struct CountOut {
  size_t n = 0;
  void put(std::string_view s) noexcept { n += s.size(); }
  void put(char) noexcept { ++n; }
  void name(std::string_view s) noexcept { n += s.size(); }
};

struct WriteOut {
  char* p;
  bool title;
  void put(std::string_view s) noexcept {
    if (s.empty()) return;  // an empty view may carry a null pointer
    std::memcpy(p, s.data(), s.size());
    p += s.size();
  }
  void put(char c) noexcept { *p++ = c; }
  void name(std::string_view s) noexcept {
    if (title)
      http::write_title_case(s, p);
    else
      std::memcpy(p, s.data(), s.size());
    p += s.size();
  }
};

template <class Out>
void put_u64(Out& out, uint64_t v) {
  char buf[20];
  auto r = std::to_chars(buf, buf + sizeof(buf), v);
  out.put(std::string_view(buf, size_t(r.ptr - buf)));
}

template <class Out>
void put_line(Out& out, std::string_view name, std::string_view value) {
  out.name(name);
  out.put(": ");
  out.put(value);
  out.put(kCrlf);
}

// "name: v1, v2, ...\r\n", with an optional suffix before the CRLF.
template <class Out>
void put_joined(Out& out, const http::HeaderMap& h, size_t entry, std::string_view suffix = {}) {
  out.name(h.name_at(entry));
  out.put(": ");
  bool first = true;
  h.for_each_value(entry, [&](std::string_view v) {
    if (!first) out.put(", ");
    out.put(v);
    first = false;
  });
  out.put(suffix);
  out.put(kCrlf);
}

// The last value of an entry.
std::string_view last_value(const http::HeaderMap& h, size_t entry) {
  std::string_view last;
  h.for_each_value(entry, [&](std::string_view v) { last = v; });
  return last;
}

size_t find_entry(const http::HeaderMap& h, std::string_view lname) {
  for (size_t i = 0; i < h.name_count(); ++i)
    if (h.name_at(i) == lname) return i;
  return size_t(-1);
}

// A length a reader takes: digits only, and below the two counts a parser
// keeps for chunked and close-delimited bodies (ours refuses a larger one as
// too large).
bool declared_length(std::string_view v, uint64_t& x) noexcept {
  http::Result<uint64_t> n = http::parse_content_length(v);
  if (n) x = *n;
  return n && *n <= kMaxDeclaredLength;
}

// The list rule over a message's Content-Length lines, and a length a reader
// takes (as above).
bool readable(const http::ContentLengthLines& cl) noexcept { return cl.valid() && cl.value() <= kMaxDeclaredLength; }

// Every value of an entry is visible ASCII: a list (Transfer-Encoding,
// Connection) a reader can take apart (one that is not is refused, not
// guessed at).
bool visible_values(const http::HeaderMap& h, size_t entry) {
  bool ok = true;
  h.for_each_value(entry, [&](std::string_view v) { ok = ok && http::is_visible_ascii(v); });
  return ok;
}

std::unexpected<Error> unexpected_header() { return std::unexpected(Error::local(LocalFault::unexpected_header)); }

template <class Out>
Result<ResponsePlan> walk_response(const ResponseEncoding& r, const Method* m, Out& out) {
  ResponsePlan p;
  const uint16_t s = r.status;
  if (s == 100 || (s >= 102 && s < 200)) return std::unexpected(Error::local(LocalFault::unsupported_status_code));
  const bool to_head = m && *m == Method::head;
  const bool connect_2xx = m && *m == Method::connect && s >= 200 && s < 300;
  p.is_head = to_head;
  p.is_connect = m && *m == Method::connect;
  const bool upgrade = s == 101 || connect_2xx;
  bool is_last = upgrade || !r.keep_alive;
  const bool bodyless_status = s < 200 || s == 204 || s == 304 || connect_2xx;
  const bool no_body = to_head || bodyless_status;

  // Status line.
  if (!r.http10 && s == 200) {
    out.put("HTTP/1.1 200 OK\r\n");
  } else {
    out.put(r.http10 ? "HTTP/1.0 " : "HTTP/1.1 ");
    char d[3] = {char('0' + s / 100), char('0' + s / 10 % 10), char('0' + s % 10)};
    out.put(std::string_view(d, 3));
    out.put(' ');
    out.put(reason_phrase(s));
    out.put(kCrlf);
  }

  std::optional<BodyEncoder> enc;
  bool framing = false;
  bool has_date = false;
  std::optional<std::vector<std::string>> trailer_names;
  const http::HeaderMap& h = r.headers;
  for (size_t i = 0; i < h.name_count(); ++i) {
    std::string_view name = h.name_at(i);
    if (name == "content-length") {
      if (framing) {
        return unexpected_header();
      }
      switch (r.length.kind) {
        case BodyLength::known: {
          bool first = true, bad = false;
          h.for_each_value(i, [&](std::string_view v) {
            if (!first) return;
            first = false;
            // A line that disagrees with the length actually framed would
            // desynchronise the peer; it only passes where no body follows.
            uint64_t x;
            bad = !no_body && !(declared_length(v, x) && x == r.length.n);
            if (!bad) put_line(out, name, v);
          });
          if (bad) {
            return unexpected_header();
          }
          enc = BodyEncoder::length(r.length.n);
          framing = true;
          break;
        }
        case BodyLength::unknown: {
          bool bad = false, first = true;
          uint64_t fixed = 0;
          h.for_each_value(i, [&](std::string_view v) {
            if (bad) return;
            uint64_t x;
            if (!declared_length(v, x) || (!first && x != fixed)) {
              bad = true;
              return;
            }
            if (first) put_line(out, name, v);
            fixed = x;
            first = false;
          });
          if (bad) {
            return unexpected_header();
          }
          enc = BodyEncoder::length(fixed);
          framing = true;
          break;
        }
        case BodyLength::none:
          if (to_head) {
            bool first = true;
            h.for_each_value(i, [&](std::string_view v) {
              if (first) put_line(out, name, v);
              first = false;
            });
            enc = BodyEncoder::length(0);
            framing = true;
          }
          break;
      }
    } else if (name == "transfer-encoding") {
      if (framing) {
        return unexpected_header();
      }
      if (r.http10 || no_body) continue;
      if (!visible_values(h, i)) return unexpected_header();
      bool ends_chunked = http::iequals(http::list_last(last_value(h, i)), "chunked");
      put_joined(out, h, i, ends_chunked ? std::string_view() : std::string_view(", chunked"));
      enc = BodyEncoder::chunked();
      framing = true;
    } else if (name == "connection") {
      // Its values go out on one line, read as one list: a value that is not
      // visible ASCII would hide every option on that line from the reader.
      if (!visible_values(h, i)) return unexpected_header();
      h.for_each_value(i, [&](std::string_view v) {
        if (!is_last && http::list_has_token(v, "close")) is_last = true;
      });
      put_joined(out, h, i);
    } else if (name == "date") {
      has_date = true;
      h.for_each_value(i, [&](std::string_view v) { put_line(out, name, v); });
    } else if (name == "trailer") {
      if (r.http10 || no_body) continue;
      put_joined(out, h, i);
      if constexpr (std::is_same_v<Out, CountOut>) {
        if (!trailer_names) trailer_names.emplace();
        h.for_each_value(i, [&](std::string_view v) { trailer_names->emplace_back(v); });
      }
    } else {
      h.for_each_value(i, [&](std::string_view v) { put_line(out, name, v); });
    }
  }

  if (!framing) {
    switch (r.length.kind) {
      case BodyLength::unknown:
        if (r.http10 || no_body) {
          enc = BodyEncoder::close();
        } else {
          out.name("transfer-encoding");
          out.put(": chunked\r\n");
          enc = BodyEncoder::chunked();
        }
        break;
      case BodyLength::none:
      case BodyLength::known:
        if (r.length.kind == BodyLength::none || r.length.n == 0) {
          if (!(bodyless_status || to_head)) {
            out.name("content-length");
            out.put(": 0\r\n");
          }
          enc = r.length.kind == BodyLength::none ? BodyEncoder::none() : BodyEncoder::length(0);
        } else if (!bodyless_status) {
          out.name("content-length");
          out.put(": ");
          put_u64(out, r.length.n);
          out.put(kCrlf);
          enc = BodyEncoder::length(r.length.n);
        } else {
          enc = BodyEncoder::length(0);
        }
        break;
    }
  }
  if (no_body) enc = BodyEncoder::none();

  if (!has_date && r.date_header) {
    out.name("date");
    out.put(": ");
    out.put(std::string_view(r.date, http::kDateLength));
    out.put("\r\n\r\n");
  } else {
    out.put(kCrlf);
  }

  if (enc->framing == Framing::chunked) enc->trailer_names = std::move(trailer_names);
  enc->is_last = is_last;
  p.is_last = is_last;
  p.close_delimited = enc->framing == Framing::close;
  p.encoder = std::move(*enc);
  return p;
}

}  // namespace

// ---- requests ---------------------------------------------------------------

bool length_fits(const BodyLength& l) noexcept { return l.kind != BodyLength::known || l.n <= kMaxDeclaredLength; }

Result<RequestEncoding> prepare_request(std::string_view method, std::string_view url, http::HeaderMap headers,
                                        bool http10, BodyLength length, bool title_case) {
  if (!http::is_token(method)) return std::unexpected(Error::argument(BadArgument::method));
  http::Result<http::Uri> uri = http::parse_uri(url);
  if (!uri) return std::unexpected(Error::argument(BadArgument::url, std::string(http::message(uri.error()))));
  if (!length_fits(length)) return std::unexpected(Error::argument(BadArgument::content_length));
  RequestEncoding out;
  out.uri = *uri;
  out.method = classify_method(method);
  out.method_text = method;
  out.http10 = http10;
  out.title_case = title_case;

  http::HeaderMap& h = headers;
  out.connection_close = connection_close(h);
  bool fits = true;  // every line the fix-ups add was added

  // Version and Connection. A "close" goes out alone on both versions: an
  // HTTP/1.0 reader that meets "keep-alive" on the same line or an earlier
  // one may keep the connection the client is about to drop.
  if (out.connection_close) {
    fits &= h.replace("connection", "close");
  } else if (http10) {
    std::string_view first;
    bool first_keep_alive = h.first("connection", first) && http::list_has_token(first, "keep-alive");
    if (!first_keep_alive) fits &= h.replace("connection", "keep-alive");
  }

  // Body framing.
  http::ContentLengthLines cl = http::content_length_lines(h);
  bool cl_valid = cl.present() && readable(cl);
  uint64_t cl_value = cl.value();
  BodyEncoder enc = BodyEncoder::none();  // no length given: no body goes out
  if (out.method == Method::connect) {
    // A CONNECT request has no content (RFC 9110, section 9.3.6) and a
    // parser that ends it at the head (ours among them) refuses one that
    // frames any: its framing lines go and its body is empty, whatever
    // length was asked for.
    h.remove("content-length");
    h.remove("transfer-encoding");
  } else if (length.kind == BodyLength::none) {
    h.remove("transfer-encoding");
    // A declared length is owed even without a body argument: framing it
    // as empty would leave the peer reading the next request as this body.
    if (cl_valid) enc = BodyEncoder::length(cl_value);
  } else if (http10) {
    h.remove("transfer-encoding");
    if (cl_valid) {
      enc = BodyEncoder::length(cl_value);
    } else if (length.kind == BodyLength::known) {
      fits &= h.replace("content-length", std::to_string(length.n));
      enc = BodyEncoder::length(length.n);
    }
  } else if (h.contains("transfer-encoding")) {
    size_t e = find_entry(h, "transfer-encoding");
    if (!visible_values(h, e)) return unexpected_header();
    std::string_view last = last_value(h, e);
    if (!http::iequals(http::list_last(last), "chunked")) {
      std::vector<std::string> values;
      h.for_each_value(e, [&](std::string_view v) { values.emplace_back(v); });
      values.back().append(", chunked");
      fits &= h.replace("transfer-encoding", values.front());
      for (size_t k = 1; k < values.size(); ++k) fits &= h.append("transfer-encoding", values[k]);
    }
    enc = BodyEncoder::chunked();
    // A chunked message never carries Content-Length (RFC 9112 6.2), valid
    // or not.
    h.remove("content-length");
  } else if (cl_valid) {
    enc = BodyEncoder::length(cl_value);
  } else if (length.kind == BodyLength::unknown) {
    if (out.method == Method::get || out.method == Method::head || out.method == Method::connect) {
      enc = BodyEncoder::none();
    } else {
      fits &= h.append("transfer-encoding", "chunked");
      h.remove("content-length");  // an invalid one: see above
      enc = BodyEncoder::chunked();
    }
  } else {
    fits &= h.replace("content-length", std::to_string(length.n));
    enc = BodyEncoder::length(length.n);
  }
  if (!fits) return std::unexpected(Error::argument(BadArgument::headers_full));
  // A Content-Length left as the caller wrote it must be one a peer can read:
  // a line that is not a length, or lengths that disagree, would have the
  // request refused, or read with a length nobody framed.
  if (cl.present() && !cl_valid && h.contains("content-length") && !readable(http::content_length_lines(h)))
    return unexpected_header();
  // A valid one in list form ("5, 5", or several equal lines) goes out as the
  // single length: a request parser reads one length per line, strictly.
  if (cl_valid && h.contains("content-length")) {
    std::string_view first;
    h.first("content-length", first);
    if (h.count("content-length") != 1 || !http::parse_content_length(first))
      fits &= h.replace("content-length", std::to_string(cl_value));
    if (!fits) return std::unexpected(Error::argument(BadArgument::headers_full));
  }
  if (enc.framing == Framing::chunked && h.contains("trailer")) {
    std::vector<std::string> names;
    h.for_each_of("trailer", [&](std::string_view v) { names.emplace_back(v); });
    enc.trailer_names = std::move(names);
  }
  out.encoder = std::move(enc);

  // Size.
  size_t n = method.size() + 1 + out.uri.target_size() + 1 + 8 + 2;
  h.for_each([&](std::string_view name, std::string_view value) { n += name.size() + 2 + value.size() + 2; });
  n += 2;
  out.size = n;
  out.headers = std::move(h);
  return out;
}

char* write_request(const RequestEncoding& req, char* p) noexcept {
  WriteOut out{p, req.title_case};
  out.put(req.method_text);
  out.put(' ');
  out.p = req.uri.write_target(out.p);
  out.put(req.http10 ? " HTTP/1.0\r\n" : " HTTP/1.1\r\n");
  req.headers.for_each([&](std::string_view name, std::string_view value) { put_line(out, name, value); });
  out.put(kCrlf);
  return out.p;
}

std::string encode_request(const RequestEncoding& req) {
  std::string s(req.size, '\0');
  write_request(req, s.data());
  return s;
}

// ---- responses --------------------------------------------------------------

Result<ResponseEncoding> prepare_response(uint16_t status, http::HeaderMap headers, bool keep_alive, bool http10,
                                          BodyLength length, bool title_case, bool date_header) {
  if (status < 100 || status > 999) return std::unexpected(Error::argument(BadArgument::status));
  if (!length_fits(length)) return std::unexpected(Error::argument(BadArgument::content_length));
  ResponseEncoding out;
  out.status = status;
  out.keep_alive = keep_alive;
  out.http10 = http10;
  out.length = length;
  out.title_case = title_case;
  out.date_header = date_header;
  if (http10) {
    // The caller's own "close" is kept (the walk then makes the response
    // last) rather than overwritten with a keep-alive it did not ask for,
    // and goes out alone, as for requests.
    std::string_view first;
    bool fits = true;
    if (connection_close(headers))
      fits = headers.replace("connection", "close");
    else if (keep_alive && !(headers.first("connection", first) && http::list_has_token(first, "keep-alive")))
      fits = headers.replace("connection", "keep-alive");
    if (!fits) return std::unexpected(Error::argument(BadArgument::headers_full));
  }
  // A response that ends the connection says so, also on HTTP/1.0 when the
  // caller's own Connection lines would tell the client to keep it.
  if (!keep_alive && (!http10 || keep_alive_token(headers)) && !headers.replace("connection", "close"))
    return std::unexpected(Error::argument(BadArgument::headers_full));
  out.headers = std::move(headers);
  if (date_header) {
    std::string_view d = http::http_date_now();
    std::memcpy(out.date, d.data(), http::kDateLength);
  }
  return out;
}

Result<ResponsePlan> plan_response(const ResponseEncoding& res, const Method* request_method) {
  CountOut out;
  Result<ResponsePlan> p = walk_response(res, request_method, out);
  if (p) p->size = out.n;
  return p;
}

char* write_response(const ResponseEncoding& res, const ResponsePlan& plan, char* p) noexcept {
  // Replay the walk with the method classification the plan was made with.
  Method m = plan.is_head ? Method::head : plan.is_connect ? Method::connect : Method::get;
  WriteOut out{p, res.title_case};
  static_cast<void>(walk_response(res, &m, out));  // refused, if at all, when planned
  return out.p;
}

std::string encode_response(const ResponseEncoding& res, const ResponsePlan& plan) {
  std::string s(plan.size, '\0');
  write_response(res, plan, s.data());
  return s;
}

}  // namespace velmora::h1
