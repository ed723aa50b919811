#include "proto/http/method.h"

#include "proto/http/field_scan.h"

namespace velmora::http {

namespace {
constexpr std::string_view kMethodNames[kStandardMethods] = {
    "OPTIONS", "GET", "POST", "PUT", "DELETE", "HEAD", "TRACE", "CONNECT", "PATCH", "QUERY",
};
}  // namespace

std::string_view method_name(Method m) noexcept {
  return size_t(m) < kStandardMethods ? kMethodNames[size_t(m)] : std::string_view();
}

Method classify_method(std::string_view t) noexcept {
  // By length first: one or two comparisons for any token.
  switch (t.size()) {
    case 3:
      if (t == "GET") return Method::get;
      if (t == "PUT") return Method::put;
      break;
    case 4:
      if (t == "POST") return Method::post;
      if (t == "HEAD") return Method::head;
      break;
    case 5:
      if (t == "PATCH") return Method::patch;
      if (t == "TRACE") return Method::trace;
      if (t == "QUERY") return Method::query;
      break;
    case 6:
      if (t == "DELETE") return Method::delete_;
      break;
    case 7:
      if (t == "OPTIONS") return Method::options;
      if (t == "CONNECT") return Method::connect;
      break;
  }
  return Method::extension;
}

bool is_method_token(std::string_view s) noexcept { return is_token(s); }

}  // namespace velmora::http
