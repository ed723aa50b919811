// Body decoding must not depend on how the input is split: feeding the bytes
// in arbitrary pieces gives the same data, trailers, leftover and error as
// feeding them at once, for chunked, content-length and close-delimited
// bodies alike. Also: any data framed by the encoder decodes back to itself;
// a length body is exactly the first `length` octets (the rest left over, or
// an error at EOF when they do not all arrive); a close-delimited body is
// every octet up to EOF.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "proto/h1/body_decoder.h"
#include "proto/h1/body_encoder.h"

using velmora::h1::BodyDecoder;
using velmora::h1::BodyFraming;

namespace {

struct Outcome {
  std::string body;
  std::string trailers;
  size_t leftover = 0;
  bool complete = false;
  bool failed = false;
  std::string error;
  bool operator==(const Outcome&) const = default;
};

bool pump(BodyDecoder& d, Outcome& o) {
  for (;;) {
    velmora::h1::Result<BodyDecoder::Decoded> r = d.decode();
    if (!r) {
      o.failed = true;
      o.error = std::to_string(int(r.error().io)) + ":" + r.error().cause;
      return true;
    }
    if (r->progress == BodyDecoder::Progress::data) {
      if (r->data.size == 0) abort();  // a data step always carries bytes
      if (d.framing() == BodyFraming::close && r->data.size > BodyDecoder::kClosePiece) abort();
      o.body += r->data.str();
      continue;
    }
    return r->progress != BodyDecoder::Progress::need_more;
  }
}

Outcome finish(BodyDecoder& d, Outcome o) {
  o.complete = d.is_complete();
  if (o.complete == o.failed && o.complete) abort();
  o.leftover = o.failed ? 0 : d.buffered();
  if (auto t = d.take_trailers())
    t->for_each([&](std::string_view n, std::string_view v) {
      o.trailers.append(n).append(":").append(v).append("\n");
    });
  return o;
}

// Alternates the three ways input arrives: copied, moved in, shared.
void feed(BodyDecoder& d, std::string_view piece, size_t i) {
  switch (i % 3) {
    case 0: d.feed(piece); break;
    case 1: d.feed(std::string(piece)); break;
    default: {
      auto owner = std::make_shared<std::string>(piece);
      d.feed_shared(*owner, owner);
    }
  }
}

Outcome decode(std::string_view in, const std::vector<size_t>& cuts, BodyFraming framing = BodyFraming::chunked,
               uint64_t length = 0) {
  BodyDecoder d(framing, length);
  Outcome o;
  size_t pos = 0, n = 0;
  for (size_t c : cuts) {
    feed(d, in.substr(pos, c - pos), n++);
    pos = c;
    if (pump(d, o)) {
      d.feed(in.substr(pos));
      return finish(d, o);
    }
  }
  feed(d, in.substr(pos), n);
  if (!pump(d, o)) {
    d.mark_eof();
    pump(d, o);
  }
  return finish(d, o);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  uint32_t seed = data[0];
  std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);

  Outcome whole = decode(in, {});
  std::vector<size_t> every;
  for (size_t i = 1; i < in.size(); ++i) every.push_back(i);
  if (!(decode(in, every) == whole)) abort();
  std::vector<size_t> cuts;
  for (size_t i = 1; i < in.size(); ++i) {
    seed = seed * 1103515245u + 12345u;
    if ((seed >> 16) % 5 == 0) cuts.push_back(i);
  }
  if (!(decode(in, cuts) == whole)) abort();

  // Round trip: the input as data, framed in chunks of 1..(seed%64+1) bytes.
  size_t step = data[0] % 64 + 1;
  std::string framed;
  for (size_t pos = 0; pos < in.size(); pos += step) {
    std::string_view piece = in.substr(pos, step);
    size_t off = framed.size();
    framed.resize(off + velmora::h1::chunk_framed_size(piece.size()));
    velmora::h1::write_chunk(piece, framed.data() + off);
  }
  framed += velmora::h1::kChunkTerminator;
  Outcome rt = decode(framed, cuts);
  if (!rt.complete || rt.body != in || rt.leftover != 0) abort();

  // The same octets as a content-length body (a length around the input's
  // size, so both short and long bodies occur) and as a close-delimited one.
  uint64_t length = (uint64_t(data[0]) * 2654435761u) % (in.size() + 4);
  if (data[0] == 0xff) length = uint64_t(1) << 40;
  Outcome lw = decode(in, {}, BodyFraming::length, length);
  if (!(decode(in, every, BodyFraming::length, length) == lw)) abort();
  if (!(decode(in, cuts, BodyFraming::length, length) == lw)) abort();
  bool enough = in.size() >= length;
  if (lw.complete != enough || lw.failed == enough || !lw.trailers.empty()) abort();
  if (lw.body != in.substr(0, enough ? length : in.size())) abort();
  if (enough && lw.leftover != in.size() - length) abort();

  Outcome cw = decode(in, {}, BodyFraming::close);
  if (!(decode(in, every, BodyFraming::close) == cw)) abort();
  if (!(decode(in, cuts, BodyFraming::close) == cw)) abort();
  if (!cw.complete || cw.failed || cw.body != in || cw.leftover != 0) abort();
  return 0;
}
