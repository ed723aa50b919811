// The declared content-length of one received HTTP/2 message, counted down
// by each DATA payload (RFC 9113, section 8.1.1).
//
// Not synchronised: the owner keeps it behind its state lock.
#pragma once

#include <cstdint>

namespace velmora::h2 {

class ContentLength {
 public:
  // A message answering a HEAD request carries no body, whatever it declares.
  explicit ContentLength(bool is_head = false) noexcept : kind_(is_head ? Kind::head : Kind::omitted) {}

  // A declared length: n octets are now expected (a HEAD answer stays empty).
  void set(uint64_t n) noexcept {
    if (kind_ != Kind::head) {
      kind_ = Kind::remaining;
      remaining_ = n;
    }
  }

  // Counts a DATA payload of `len` octets. False when it cannot belong to the
  // message: more than remains, or any octet of a HEAD answer; the count is
  // then unchanged.
  bool dec(uint64_t len) noexcept {
    switch (kind_) {
      case Kind::omitted: return true;
      case Kind::head: return len == 0;
      case Kind::remaining:
        if (len > remaining_) return false;
        remaining_ -= len;
        return true;
    }
    return false;
  }

  // False only while a declared length still expects octets: the message
  // ended short.
  bool is_satisfied() const noexcept { return kind_ != Kind::remaining || remaining_ == 0; }
  bool is_head() const noexcept { return kind_ == Kind::head; }
  uint64_t remaining() const noexcept { return kind_ == Kind::remaining ? remaining_ : 0; }

 private:
  enum class Kind : uint8_t { omitted, head, remaining };
  Kind kind_;
  uint64_t remaining_ = 0;
};

}  // namespace velmora::h2
