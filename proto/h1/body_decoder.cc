#include "proto/h1/body_decoder.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

#include "proto/http/fields.h"

namespace velmora::h1 {

namespace {

// Small feeds are appended to the last input block while no slice shares it,
// so byte-sized reads do not cost one allocation each; the block stays small.
constexpr size_t kCoalesceFeed = 256;
constexpr size_t kCoalesceBlock = 4096;

// A printable rendering of a raw header line for error texts.
std::string debug_bytes(std::string_view s) {
  std::string out = "b\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c >= 0x7f) {
      static constexpr char hex[] = "0123456789abcdef";
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += char(c);
    }
  }
  out += '"';
  return out;
}

struct Field {
  size_t line_start, line_end;
  std::string_view name, value;
};

bool is_ows(uint8_t c) noexcept { return c == ' ' || c == '\t'; }
bool is_field_byte(uint8_t c) noexcept { return c == '\t' || c == ' ' || (c >= 0x21 && c != 0x7f); }

// Tokenizes a header section (lines, then an empty line) into at most
// `slots` fields. Returns an empty string on success, else the error text.
// The empty line must be the end of `buf`: the chunked framing already found
// where the section ends, and an earlier empty line (made of bare LFs) would
// otherwise drop the lines after it unseen.
std::string tokenize_fields(std::string_view buf, size_t slots, std::vector<Field>& out) {
  size_t i = 0, n = buf.size();
  for (;;) {
    if (i >= n) return "Partial header";
    uint8_t c = uint8_t(buf[i]);
    if (c == '\r') {
      if (i + 1 >= n) return "Partial header";
      if (buf[i + 1] != '\n') return "invalid new line";
      return i + 2 == n ? std::string() : std::string("invalid new line");
    }
    if (c == '\n') return i + 1 == n ? std::string() : std::string("invalid new line");
    if (out.size() >= slots) return "too many headers";
    Field f;
    f.line_start = i;
    size_t name_start = i;
    while (i < n && buf[i] != ':') {
      if (!http::is_tchar(uint8_t(buf[i]))) return "invalid header name";
      ++i;
    }
    if (i >= n) return "Partial header";
    if (i == name_start) return "invalid header name";
    f.name = buf.substr(name_start, i - name_start);
    ++i;  // ':'
    while (i < n && is_ows(uint8_t(buf[i]))) ++i;
    size_t value_start = i;
    while (i < n && buf[i] != '\r' && buf[i] != '\n') {
      if (!is_field_byte(uint8_t(buf[i]))) return "invalid header value";
      ++i;
    }
    if (i >= n) return "Partial header";
    size_t value_end = i;
    while (value_end > value_start && is_ows(uint8_t(buf[value_end - 1]))) --value_end;
    f.value = buf.substr(value_start, value_end - value_start);
    if (buf[i] == '\r') {
      if (i + 1 >= n) return "Partial header";
      if (buf[i + 1] != '\n') return "invalid new line";
      ++i;
    }
    ++i;  // '\n'
    f.line_end = i;
    out.push_back(f);
  }
}

}  // namespace

void BodyDecoder::Slice::copy_to(char* out) const noexcept {
  for (const Piece& p : pieces) {
    std::memcpy(out, p.data, p.len);
    out += p.len;
  }
}

std::string BodyDecoder::Slice::str() const {
  std::string s(size, '\0');
  if (size) copy_to(s.data());
  return s;
}

BodyDecoder::BodyDecoder(BodyFraming framing, uint64_t length) : framing_(framing) {
  if (framing == BodyFraming::length) {
    remaining_ = length;
    complete_ = length == 0;
  }
}

BodyDecoder BodyDecoder::from_kind(std::string_view kind, uint64_t length) {
  if (kind == "chunked") return BodyDecoder(BodyFraming::chunked);
  if (kind == "close") return BodyDecoder(BodyFraming::close);
  if (kind == "length") return BodyDecoder(BodyFraming::length, length);
  return BodyDecoder(BodyFraming::length, 0);
}

void BodyDecoder::feed(std::string_view bytes) {
  if (bytes.empty()) return;
  buffered_ += bytes.size();
  if (bytes.size() <= kCoalesceFeed && !segs_.empty()) {
    Seg& last = segs_.back();
    // Only while no slice shares the string: growing it may move its bytes.
    if (last.own && last.size < kCoalesceBlock && last.owner.use_count() == 1) {
      // use_count() is a relaxed read: order the append (which may free the
      // old bytes) after whatever the last slice holder read before letting go.
      std::atomic_thread_fence(std::memory_order_acquire);
      last.own->append(bytes);
      last.data = last.own->data();
      last.size = last.own->size();
      return;
    }
  }
  auto s = std::make_shared<std::string>(bytes);
  std::string* raw = s.get();
  segs_.push_back({std::move(s), raw, raw->data(), raw->size(), 0});
}

void BodyDecoder::feed(std::string&& bytes) {
  if (bytes.size() <= kCoalesceFeed) return feed(std::string_view(bytes));
  buffered_ += bytes.size();
  auto s = std::make_shared<std::string>(std::move(bytes));
  std::string* raw = s.get();
  segs_.push_back({std::move(s), raw, raw->data(), raw->size(), 0});
}

void BodyDecoder::feed_shared(std::string_view bytes, Owner owner) {
  if (bytes.size() <= kCoalesceFeed) {
    feed(bytes);
    retire(std::move(owner));
    return;
  }
  buffered_ += bytes.size();
  segs_.push_back({std::move(owner), nullptr, bytes.data(), bytes.size(), 0});
}

std::optional<http::HeaderMap> BodyDecoder::take_trailers() noexcept { return std::exchange(trailers_, std::nullopt); }

bool BodyDecoder::next_byte(uint8_t& c) {
  if (segs_.empty()) return false;
  Seg& s = segs_.front();
  c = uint8_t(s.data[s.off++]);
  --buffered_;
  if (s.off == s.size) {
    retire(std::move(s.owner));
    segs_.pop_front();
  }
  return true;
}

BodyDecoder::Slice BodyDecoder::take_front(size_t n) {
  Slice out;
  out.size = n;
  while (n > 0) {
    Seg& s = segs_.front();
    size_t avail = s.size - s.off;
    size_t k = std::min(avail, n);
    if (k == avail) {
      out.pieces.push_back({std::move(s.owner), s.data + s.off, k});
      segs_.pop_front();
    } else {
      out.pieces.push_back({s.owner, s.data + s.off, k});
      s.off += k;
    }
    n -= k;
    buffered_ -= k;
  }
  return out;
}

std::unexpected<Error> BodyDecoder::body_error(IoKind io, const char* text) {
  failed_ = Error::body(io, text);
  return std::unexpected(*failed_);
}

Result<BodyDecoder::Decoded> BodyDecoder::decode() {
  if (failed_) return std::unexpected(*failed_);
  Decoded r;
  if (complete_) {
    r.progress = Progress::complete;
    return r;
  }
  switch (framing_) {
    case BodyFraming::length:
      if (remaining_ == 0) {
        complete_ = true;
        r.progress = Progress::complete;
        return r;
      }
      if (buffered_ == 0) {
        if (eof_) return body_error(IoKind::unexpected_eof, "end of file before message length reached");
        return r;
      }
      {
        size_t k = size_t(std::min<uint64_t>(remaining_, buffered_));
        r.data = take_front(k);
        r.progress = Progress::data;
        remaining_ -= k;
        complete_ = remaining_ == 0;
      }
      return r;
    case BodyFraming::close:
      if (buffered_ > 0) {
        r.data = take_front(std::min(buffered_, kClosePiece));
        r.progress = Progress::data;
      } else if (eof_) {
        complete_ = true;
        r.progress = Progress::complete;
      }
      return r;
    case BodyFraming::chunked:
      break;
  }
  return decode_chunked();
}

bool BodyDecoder::trailer_append(uint8_t c) {
  if (!trailer_buf_) return true;
  trailer_buf_->push_back(char(c));
  return trailer_buf_->size() < kMaxTrailerBytes;
}

Result<BodyDecoder::Decoded> BodyDecoder::decode_chunked() {
  Decoded r;
  for (;;) {
    if (state_ == CState::ChunkData) {
      if (buffered_ == 0) {
        if (eof_) return body_error(IoKind::unexpected_eof, "end of file before message length reached");
        return r;
      }
      size_t k = size_t(std::min<uint64_t>(chunk_remaining_, buffered_));
      r.data = take_front(k);
      r.progress = Progress::data;
      chunk_remaining_ -= k;
      if (chunk_remaining_ == 0) state_ = CState::DataCr;
      return r;
    }
    uint8_t c;
    if (!next_byte(c)) {
      if (eof_) return body_error(IoKind::unexpected_eof, "unexpected EOF during chunk size line");
      return r;
    }
    switch (state_) {
      case CState::ChunkStart:
      case CState::SizeDigits: {
        int d = http::hex_value(c);
        if (d >= 0) {
          if (chunk_remaining_ >> 60) return body_error(IoKind::invalid_data, "invalid chunk size: overflow");
          chunk_remaining_ = chunk_remaining_ * 16 + uint64_t(d);
          state_ = CState::SizeDigits;
        } else if (state_ == CState::ChunkStart) {
          return body_error(IoKind::invalid_input, "Invalid chunk size line: missing size digit");
        } else if (c == ' ' || c == '\t') {
          state_ = CState::SizeSpace;
        } else if (c == ';') {
          state_ = CState::ExtensionSkip;
        } else if (c == '\r') {
          state_ = CState::SizeLineEnd;
        } else if (c == '\n') {  // a size line ended by a bare LF
          return body_error(IoKind::invalid_input, "Invalid chunk size LF");
        } else {
          return body_error(IoKind::invalid_input, "Invalid chunk size line: Invalid Size");
        }
        break;
      }
      case CState::SizeSpace:
        if (c == ' ' || c == '\t') {
        } else if (c == ';') {
          state_ = CState::ExtensionSkip;
        } else if (c == '\r') {
          state_ = CState::SizeLineEnd;
        } else {
          return body_error(IoKind::invalid_input, "Invalid chunk size linear white space");
        }
        break;
      case CState::ExtensionSkip:
        if (c == '\r') {
          state_ = CState::SizeLineEnd;
        } else if (c == '\n') {
          return body_error(IoKind::invalid_data, "invalid chunk extension contains newline");
        } else if (++extension_bytes_ >= kMaxExtensionBytes) {
          return body_error(IoKind::invalid_data, "chunk extensions over limit");
        }
        break;
      case CState::SizeLineEnd:
        if (c != '\n') return body_error(IoKind::invalid_input, "Invalid chunk size LF");
        state_ = chunk_remaining_ == 0 ? CState::SectionCr : CState::ChunkData;
        break;
      case CState::DataCr:
        if (c != '\r') return body_error(IoKind::invalid_input, "Invalid chunk body CR");
        state_ = CState::DataLf;
        break;
      case CState::DataLf:
        if (c != '\n') return body_error(IoKind::invalid_input, "Invalid chunk body LF");
        state_ = CState::ChunkStart;
        chunk_remaining_ = 0;
        break;
      case CState::SectionCr:
        if (c == '\r') {
          state_ = CState::SectionLf;
        } else {
          if (!trailer_buf_) {
            trailer_buf_.emplace();
            trailer_buf_->reserve(64);
          }
          state_ = CState::TrailerText;
        }
        if (!trailer_append(c)) return body_error(IoKind::invalid_data, "chunk trailers bytes over limit");
        break;
      case CState::TrailerText:
        if (c == '\r') state_ = CState::TrailerLineEnd;
        if (!trailer_append(c)) return body_error(IoKind::invalid_data, "chunk trailers bytes over limit");
        break;
      case CState::TrailerLineEnd:
        if (c != '\n') return body_error(IoKind::invalid_input, "Invalid trailer end LF");
        if (trailer_lines_ >= kMaxTrailerLines) return body_error(IoKind::invalid_data, "chunk trailers count overflow");
        ++trailer_lines_;
        state_ = CState::SectionCr;
        if (!trailer_append(c)) return body_error(IoKind::invalid_data, "chunk trailers bytes over limit");
        break;
      case CState::SectionLf:
        if (c != '\n') return body_error(IoKind::invalid_input, "Invalid chunk end LF");
        if (!trailer_append(c)) return body_error(IoKind::invalid_data, "chunk trailers bytes over limit");
        state_ = CState::Finished;
        if (trailer_buf_) {
          if (Result<void> t = parse_trailers(); !t) {
            failed_ = std::move(t.error());
            return std::unexpected(*failed_);
          }
        }
        complete_ = true;
        r.progress = Progress::complete;
        return r;
      case CState::ChunkData:
      case CState::Finished:
        break;
    }
  }
}

Result<void> BodyDecoder::parse_trailers() {
  std::string buf = std::move(*trailer_buf_);
  trailer_buf_.reset();
  std::vector<Field> fields;
  fields.reserve(trailer_lines_);
  std::string err = tokenize_fields(buf, trailer_lines_, fields);
  if (!err.empty()) return std::unexpected(Error::body(IoKind::invalid_input, std::move(err)));
  http::HeaderMap map;
  std::string lname;
  for (const Field& f : fields) {
    std::string_view line(buf.data() + f.line_start, f.line_end - f.line_start);
    if (!http::is_token(f.name))
      return std::unexpected(Error::body(IoKind::invalid_input, "Invalid header name: " + debug_bytes(line)));
    if (!http::is_valid_value(f.value))
      return std::unexpected(Error::body(IoKind::invalid_input, "Invalid header value: " + debug_bytes(line)));
    lname.resize(f.name.size());
    http::lower_into(f.name, lname.data());
    if (!map.append(lname, f.value)) return std::unexpected(Error::body(IoKind::invalid_input, "too many headers"));
  }
  trailers_ = std::move(map);
  return {};
}

}  // namespace velmora::h1
