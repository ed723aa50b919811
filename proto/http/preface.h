// The HTTP/2 connection preface (RFC 9113, section 3.4): what a client sends
// first on a connection that speaks HTTP/2 from the start. The HTTP/1 parser
// recognises it to tell such a peer apart; HTTP/2 sends and expects it.
#pragma once

#include <string_view>

namespace velmora::http {

inline constexpr std::string_view kH2Preface{"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", 24};

}  // namespace velmora::http
