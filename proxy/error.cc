#include "proxy/error.h"

namespace velmora::proxy {

std::string_view message(ErrorKind k) noexcept {
  switch (k) {
    case ErrorKind::invalid_url: return "invalid proxy url";
    case ErrorKind::unsupported_scheme: return "unsupported proxy scheme";
    case ErrorKind::no_authority: return "proxy url has no host";
    case ErrorKind::invalid_address: return "invalid IP address";
    case ErrorKind::invalid_prefix: return "invalid network prefix";
  }
  return "invalid proxy url";
}

}  // namespace velmora::proxy
