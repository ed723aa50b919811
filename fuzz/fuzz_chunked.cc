// Body decoding must not depend on how the input is split: feeding the bytes
// in arbitrary pieces gives the same data, trailers, leftover and error as
// feeding them at once, for chunked, content-length and close-delimited
// bodies alike. Also: any data framed by the encoder decodes back to itself;
// a length body is exactly the first `length` octets (the rest left over, or
// an error at EOF when they do not all arrive); a close-delimited body is
// every octet up to EOF. And the encoder's own pieces, ends and trailers
// decode back to what was sent (or are refused for exactly what they owe).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
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

void check(bool ok) {
  if (!ok) abort();
}

// The sending side: `in` written as a body in the pieces `cuts` makes.
// Chunked (mode bit 0), it decodes back to itself, ended by exactly the
// trailers that may go: listed in the head's Trailer lines, not forbidden,
// and only when the peer takes trailers. With a declared length one short,
// exact or one over, each piece goes out unchanged until one would run past
// the length: that one is refused whole with the excess named and the
// encoder left as it was, and the end owes exactly what was not sent.
void encode_round_trip(std::string_view in, const std::vector<size_t>& cuts, uint8_t mode) {
  namespace h1 = velmora::h1;
  const bool chunked = mode & 1;
  uint64_t declared = in.size();
  if (!chunked) {
    if ((mode >> 1) % 3 == 1) declared += 1;
    if ((mode >> 1) % 3 == 2 && declared > 0) declared -= 1;
  }
  std::vector<std::string> listed;
  if (mode & 2) listed.push_back("x-a, content-length");
  if (mode & 4) listed.push_back(" x-b ");
  std::optional<h1::BodyEncoder> enc =
      chunked ? h1::BodyEncoder::chunked(mode & 6 ? std::optional(listed) : std::nullopt) : h1::BodyEncoder::length(declared);

  std::string wire;
  uint64_t sent = 0;
  bool refused = false;
  size_t pos = 0;
  std::vector<size_t> ends = cuts;
  ends.push_back(in.size());
  for (size_t end : ends) {
    std::string_view piece = in.substr(pos, end - pos);
    pos = end;
    const std::optional<h1::BodyEncoder> before = enc;
    h1::DataPlan plan = h1::plan_data(enc, piece.size());
    switch (plan.action) {
      case h1::DataAction::same:
        check((!chunked || piece.empty()) && plan.size == piece.size());  // an empty piece frames nothing
        wire += piece;
        sent += piece.size();
        break;
      case h1::DataAction::framed: {
        check(chunked && plan.size == h1::chunk_framed_size(piece.size()));
        size_t off = wire.size();
        wire.resize(off + plan.size);
        check(h1::write_chunk(piece, wire.data() + off) == wire.data() + wire.size());
        sent += piece.size();
        break;
      }
      case h1::DataAction::past_length:
        check(!chunked && sent + piece.size() > declared && plan.size == sent + piece.size() - declared);
        check(enc->remaining == before->remaining);
        refused = true;
        break;
      default: check(false);
    }
    if (refused) break;
  }
  check(refused == (!chunked && declared < in.size()));

  velmora::http::HeaderMap trailers;
  for (auto [n, v] : {std::pair{"x-a", "1"}, {"content-length", "5"}, {"x-c", "3"}, {"x-b", "2"}})
    check(trailers.append(n, v));
  const bool allowed = mode & 8;
  h1::Result<h1::EndPlan> end = h1::end_body_with_trailers(enc, trailers, allowed);
  check(!enc);
  if (!chunked) {
    check(end.has_value() == (sent == declared));
    if (!end) {
      check(end.error().cause == h1::short_body_error(declared - sent).cause);
      return;
    }
    check(end->kind == h1::EndPlan::nothing && wire == in.substr(0, sent));
    return;
  }
  check(end.has_value());
  size_t off = wire.size();
  wire.resize(off + end->size);
  check(h1::write_end(*end, &trailers, mode & 16, wire.data() + off) == wire.data() + wire.size());

  Outcome got = decode(wire, {});
  check(decode(wire, cuts) == got);
  std::string want;
  if (allowed && (mode & 2)) want += "x-a:1\n";
  if (allowed && (mode & 4)) want += "x-b:2\n";
  check(got.complete && !got.failed && got.body == in && got.leftover == 0 && got.trailers == want);
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
  encode_round_trip(in, cuts, uint8_t(data[0] * 37u));

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
