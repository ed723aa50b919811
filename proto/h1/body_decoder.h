// HTTP/1 body decoding on the receive side: content-length, chunked (with
// extensions and trailers) and close-delimited bodies, fed byte buffers in
// any split.
//
// Input is kept as a queue of reference-counted buffers that never change
// once shared: the decoder's own strings, or the caller's received buffers
// taken over without a copy. A decoded slice is handed out as references into
// those buffers, so the caller can drop the decoder's lock and only then copy
// the slice into its result; the bytes still buffered are never moved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "proto/h1/error.h"
#include "proto/http/header_map.h"

namespace velmora::h1 {

enum class BodyFraming : uint8_t { length, chunked, close };

class BodyDecoder {
 public:
  static constexpr size_t kMaxTrailerLines = 100;
  static constexpr size_t kMaxTrailerBytes = 16384;    // the section stays below this
  static constexpr size_t kMaxExtensionBytes = 16384;  // body-wide, stays below this
  static constexpr size_t kClosePiece = 8192;          // largest close-delimited slice

  // Keeps one input buffer alive: an owned std::string, or any buffer the
  // caller hands over with feed_shared() (the binding passes the received
  // bytes object itself).
  using Owner = std::shared_ptr<const void>;

  // A run of decoded bytes inside one input buffer. The owner reference keeps
  // the bytes alive and unchanged after the decoder moved on.
  struct Piece {
    Owner owner;
    const char* data = nullptr;
    size_t len = 0;
    std::string_view view() const noexcept { return {data, len}; }
  };
  // One decoded data slice, possibly spanning several input buffers.
  struct Slice {
    std::vector<Piece> pieces;
    size_t size = 0;
    void copy_to(char* out) const noexcept;  // writes exactly `size` bytes
    std::string str() const;                 // for tests and tools
  };

  // How far one decoding step got, when it did not fail.
  enum class Progress : uint8_t {
    data,       // `data` holds the next slice
    need_more,  // nothing decodable yet (Python: None)
    complete,   // the body has ended (Python: None)
  };
  struct Decoded {
    Progress progress = Progress::need_more;
    Slice data;
  };

  BodyDecoder(BodyFraming framing, uint64_t length = 0);
  // "chunked", "close", "length" (with `length`); any other name: an empty body.
  static BodyDecoder from_kind(std::string_view kind, uint64_t length);

  // Appends bytes to the input; accepted in every state, also after completion.
  void feed(std::string_view bytes);
  // Same, taking ownership of the buffer without copying it.
  void feed(std::string&& bytes);
  // Appends `bytes` without copying them; `owner` keeps them alive and
  // unchanged for as long as the decoder or a slice refers to them. Small
  // inputs are copied instead.
  void feed_shared(std::string_view bytes, Owner owner);
  void mark_eof() noexcept { eof_ = true; }

  // One decoding step. After an error every later step reports it again.
  // Errors (body): unexpected_eof (the input ended inside the body),
  // invalid_input and invalid_data (a malformed chunk size line, chunk end,
  // extension or trailer section, or one over its limit).
  Result<Decoded> decode();

  bool is_complete() const noexcept { return complete_; }
  size_t buffered() const noexcept { return buffered_; }
  BodyFraming framing() const noexcept { return framing_; }
  // Moves the parsed trailers out (once).
  std::optional<http::HeaderMap> take_trailers() noexcept;

  // Hands every buffered byte to sink(std::string_view) in order and empties
  // the input (for returning the bytes past a body to the codec).
  template <class Sink>
  void drain_input(Sink&& sink) {
    for (Seg& s : segs_) {
      sink(std::string_view(s.data + s.off, s.size - s.off));
      retire(std::move(s.owner));
    }
    segs_.clear();
    buffered_ = 0;
  }

  // With deferred release, input buffers the decoder lets go of are kept
  // until take_retired() hands them out, so that a caller whose owners must
  // not be released under its lock can drop them after unlocking.
  void defer_release(bool on) noexcept { defer_release_ = on; }
  void take_retired(std::vector<Owner>& out) noexcept { out.swap(retired_); }

 private:
  enum class CState : uint8_t {
    ChunkStart, SizeDigits, SizeSpace, ExtensionSkip, SizeLineEnd, ChunkData, DataCr, DataLf,
    TrailerText, TrailerLineEnd, SectionCr, SectionLf, Finished,
  };
  struct Seg {
    Owner owner;
    std::string* own = nullptr;  // the owner is a string of ours (can grow in place)
    const char* data = nullptr;
    size_t size = 0;
    size_t off = 0;
  };

  void retire(Owner&& o) {
    if (defer_release_) retired_.push_back(std::move(o));
  }
  bool next_byte(uint8_t& c);
  Slice take_front(size_t n);
  Result<Decoded> decode_chunked();
  std::unexpected<Error> body_error(IoKind io, const char* text);
  bool trailer_append(uint8_t c);
  Result<void> parse_trailers();

  BodyFraming framing_;
  CState state_ = CState::ChunkStart;
  bool eof_ = false;
  bool complete_ = false;
  bool defer_release_ = false;
  uint64_t remaining_ = 0;        // length body: bytes still expected
  uint64_t chunk_remaining_ = 0;  // size being read, then data left in the chunk
  uint64_t extension_bytes_ = 0;
  size_t trailer_lines_ = 0;
  std::optional<std::string> trailer_buf_;
  std::optional<http::HeaderMap> trailers_;
  std::optional<Error> failed_;  // a decoding error is final: it is reported again
  std::deque<Seg> segs_;
  std::vector<Owner> retired_;
  size_t buffered_ = 0;
};

}  // namespace velmora::h1
