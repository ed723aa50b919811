// The HTTP/2 frame receive loop must not depend on how the bytes are split:
// feeding them in arbitrary pieces gives the same events, the same leftover
// and the same error as feeding them at once. DATA payloads must stay
// readable after the call that produced them, however they were cut. And
// every DATA, SETTINGS, PING, GOAWAY, WINDOW_UPDATE and RST_STREAM received
// writes back, through our frame writers, to bytes that receive as the same
// event.
//
// Input: one byte of settings (max frame size, header list size, preface
// mode, role, extended CONNECT), then the bytes to feed; split points come from a simple generator
// seeded by the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "proto/h2/frame.h"

using namespace velmora::h2;

namespace {

struct Outcome {
  std::string events;
  std::string rewritten;  // the events our writers can write, written
  size_t buffered = 0;
  bool failed = false;
  std::string error;
};

void describe(const Event& e, std::string& s) {
  std::visit(
      [&](const auto& ev) {
        using T = std::decay_t<decltype(ev)>;
        if constexpr (std::is_same_v<T, HeadersEvent>) {
          s.append("H" + std::to_string(ev.stream_id) + (ev.end_stream ? "e" : ""))
              .append(ev.head.method.value_or("-"))
              .append(ev.head.scheme.value_or("-"))
              .append(ev.head.authority.value_or("-"))
              .append(ev.head.path.value_or("-"))
              .append(ev.head.protocol.value_or("-"))
              .append(std::to_string(ev.head.status));
          ev.head.fields.for_each([&](std::string_view n, std::string_view v) {
            s.append(",").append(n).append("=").append(v);
          });
        } else if constexpr (std::is_same_v<T, DataEvent>) {
          if (ev.flow_controlled_len != ev.data.size() + ev.padding) abort();
          s += "D" + std::to_string(ev.stream_id) + (ev.end_stream ? "e" : "") + std::string(ev.data) + "/" +
               std::to_string(ev.padding);
        } else if constexpr (std::is_same_v<T, SettingsEvent>) {
          s += ev.ack ? "SA" : "S";
          const Settings& st = ev.settings;
          for (auto v : {st.header_table_size, st.max_concurrent_streams, st.initial_window_size,
                         st.max_frame_size, st.max_header_list_size})
            s += "," + (v ? std::to_string(*v) : "-");
          s += st.enable_push ? (*st.enable_push ? "p1" : "p0") : "p-";
          s += st.enable_connect_protocol ? (*st.enable_connect_protocol ? "c1" : "c0") : "c-";
        } else if constexpr (std::is_same_v<T, PingEvent>) {
          s += (ev.ack ? "PA" : "P") + std::string(ev.data.data(), 8);
        } else if constexpr (std::is_same_v<T, GoAwayEvent>) {
          s += "G" + std::to_string(ev.last_stream_id) + "/" + std::to_string(ev.error_code) + ev.debug_data;
        } else if constexpr (std::is_same_v<T, WindowUpdateEvent>) {
          s += "W" + std::to_string(ev.stream_id) + "+" + std::to_string(ev.increment);
        } else if constexpr (std::is_same_v<T, RstStreamEvent>) {
          s += "R" + std::to_string(ev.stream_id) + "/" + std::to_string(ev.error_code);
        } else if constexpr (std::is_same_v<T, PriorityEvent>) {
          s += "Pr" + std::to_string(ev.stream_id);
        } else {
          s += "E" + std::to_string(ev.stream_id) + "/" + std::to_string(ev.error_code);
        }
      },
      e);
  s += ";";
}

void describe(const RecvBatch& b, std::string& s) {
  for (const Event& e : b.events) describe(e, s);
}

void configure(Receiver& r, uint8_t knobs) {
  if (knobs & 1) r.set_max_frame_size(16384 + 1000);
  if (knobs & 2) r.set_max_header_list_size(200);
  if (knobs & 4) r.set_header_table_size(100);
  if (knobs & 8) r.expect_preface(true);
  if (knobs & 16) r.set_role(Role::server);
  if (knobs & 32) r.set_extended_connect(true);
}

// Writes `e` as our sender would; false for events it does not write alone.
bool rewrite(const Event& e, std::string& out) {
  return std::visit(
      [&](const auto& ev) {
        using T = std::decay_t<decltype(ev)>;
        if constexpr (std::is_same_v<T, DataEvent>) {
          if (ev.padding) return false;
          if (!write_data(out, ev.stream_id, ev.data, ev.end_stream, kMaxMaxFrameSize)) abort();
        } else if constexpr (std::is_same_v<T, SettingsEvent>) {
          if (ev.ack) {
            write_settings_ack(out);
          } else {
            if (!check_settings(ev.settings)) abort();
            size_t at = out.size();
            write_settings(out, ev.settings);
            if (out.size() - at != settings_frame_size(ev.settings)) abort();
          }
        } else if constexpr (std::is_same_v<T, PingEvent>) {
          if (!write_ping(out, std::string_view(ev.data.data(), 8), ev.ack)) abort();
        } else if constexpr (std::is_same_v<T, GoAwayEvent>) {
          if (!write_goaway(out, ev.last_stream_id, ev.error_code, ev.debug_data)) abort();
        } else if constexpr (std::is_same_v<T, WindowUpdateEvent>) {
          if (!write_window_update(out, ev.stream_id, ev.increment)) abort();
        } else if constexpr (std::is_same_v<T, RstStreamEvent>) {
          if (!write_rst_stream(out, ev.stream_id, ev.error_code)) abort();
        } else {
          return false;
        }
        return true;
      },
      e);
}

// The written events, received again: the same events.
void check_rewritten(const std::string& wire, const std::string& want) {
  Receiver r;
  r.set_max_frame_size(kMaxMaxFrameSize);
  RecvBatch b;
  if (!r.receive(wire, b) || r.buffered() != 0) abort();
  std::string got;
  describe(b, got);
  if (got != want) abort();
}

Outcome run(std::string_view data, uint8_t knobs, const std::vector<size_t>& cuts) {
  Receiver r;
  configure(r, knobs);
  Outcome o;
  size_t at = 0;
  for (size_t i = 0; i <= cuts.size(); ++i) {
    size_t end = i < cuts.size() ? cuts[i] : data.size();
    // Each piece is overwritten once its events are read: bytes the receiver
    // kept for later calls must have been copied out of it.
    std::string piece(data.substr(at, end - at));
    RecvBatch b;
    auto ok = r.receive(piece, b);
    if (!ok) {
      o.failed = true;
      o.error = ok.error().message() + "/" + std::to_string(ok.error().code);
      return o;
    }
    describe(b, o.events);
    if (cuts.empty()) {
      std::string wire;
      for (const Event& e : b.events)
        if (rewrite(e, wire)) describe(e, o.rewritten);
      check_rewritten(wire, o.rewritten);
    }
    piece.assign(piece.size(), '\xAA');
    at = end;
  }
  o.buffered = r.buffered();
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  uint8_t knobs = data[0];
  std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);
  Outcome whole = run(in, knobs, {});

  uint32_t seed = 2166136261u;
  for (size_t i = 0; i < size; ++i) seed = (seed ^ data[i]) * 16777619u;
  std::vector<size_t> cuts;
  for (size_t at = 0; at < in.size();) {
    seed = seed * 1103515245u + 12345u;
    at += 1 + (seed >> 16) % (knobs & 0x80 ? 3 : 64);
    if (at < in.size()) cuts.push_back(at);
  }
  Outcome split = run(in, knobs, cuts);
  if (whole.failed != split.failed || whole.error != split.error) abort();
  if (!whole.failed && (whole.events != split.events || whole.buffered != split.buffered)) abort();
  return 0;
}
