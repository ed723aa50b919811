#include "proto/h2/conn_core.h"

#include <type_traits>
#include <variant>

namespace velmora::h2 {

HeadersIn headers_in(const HeadersEvent& e) noexcept {
  HeadersIn in;
  in.stream_id = e.stream_id;
  in.end_stream = e.end_stream;
  in.informational = e.head.is_informational();
  in.status = e.head.status;
  in.pseudo = e.head.has_pseudo();
  in.protocol = e.head.protocol.has_value();
  in.content_length = e.head.content_length();
  in.content_length_invalid = e.head.content_length_invalid();
  return in;
}

void apply_to_decoder(Receiver& recv, const Settings& local) noexcept {
  if (local.header_table_size) recv.set_header_table_size(*local.header_table_size);
  if (local.max_frame_size) recv.set_max_frame_size(*local.max_frame_size);
  if (local.max_header_list_size) recv.set_max_header_list_size(*local.max_header_list_size);
}

uint32_t flags_of(const EventVerdict& v) noexcept {
  return std::visit(
      [](const auto& x) -> uint32_t {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::optional<RecvResetVerdict>>) {
          return x ? x->flags : 0;
        } else if constexpr (requires { x.flags; }) {
          return x.flags;
        } else {
          return 0;
        }
      },
      v);
}

namespace {

template <class T, class Variant, size_t I = 0>
constexpr size_t index_in() {
  static_assert(I < std::variant_size_v<Variant>, "not an alternative");
  if constexpr (std::is_same_v<std::variant_alternative_t<I, Variant>, T>)
    return I;
  else
    return index_in<T, Variant, I + 1>();
}

// A step's result as the verdict of event type E, which must sit at E's index.
template <class E, class V, class T>
Result<EventVerdict> as(Result<T>&& r) {
  static_assert(index_in<V, EventVerdict>() == index_in<E, Event>(), "a verdict in another event's place");
  if (!r) return std::unexpected(std::move(r.error()));
  return EventVerdict(std::in_place_type<V>, V{*r});
}

}  // namespace

Result<EventVerdict> ConnCore::apply(const Event& e, Handle& spare, std::vector<Handle>& wake,
                                   std::vector<Aborted>& aborted, HandleSink& sink) {
  // Each alternative names its step once; the verdict type checks the pairing.
  return std::visit(
      [&](const auto& ev) -> Result<EventVerdict> {
        using T = std::decay_t<decltype(ev)>;
        if constexpr (std::is_same_v<T, HeadersEvent>) {
          return as<T, HeadersVerdict>(recv_headers(headers_in(ev), spare, sink));
        } else if constexpr (std::is_same_v<T, DataEvent>) {
          return as<T, DataVerdict>(recv_data(data_in(ev), sink));
        } else if constexpr (std::is_same_v<T, PriorityEvent>) {
          return EventVerdict(std::in_place_type<PriorityVerdict>);
        } else if constexpr (std::is_same_v<T, RstStreamEvent>) {
          return as<T, std::optional<RecvResetVerdict>>(recv_reset(ev.stream_id, ev.error_code, sink));
        } else if constexpr (std::is_same_v<T, SettingsEvent>) {
          return as<T, SettingsVerdict>(recv_settings(ev.ack, ev.settings, wake));
        } else if constexpr (std::is_same_v<T, PingEvent>) {
          return as<T, PingVerdict>(recv_ping(ev.ack, std::string_view(ev.data.data(), ev.data.size())));
        } else if constexpr (std::is_same_v<T, GoAwayEvent>) {
          return as<T, GoAwayVerdict>(recv_goaway(ev.last_stream_id, ev.error_code, aborted, sink));
        } else if constexpr (std::is_same_v<T, WindowUpdateEvent>) {
          return as<T, WindowVerdict>(recv_window_update(ev.stream_id, ev.increment));
        } else {
          static_assert(std::is_same_v<T, StreamErrorEvent>);
          return as<T, ResetVerdict>(reset_on_error(ev.stream_id, ev.error_code, sink));
        }
      },
      e);
}

}  // namespace velmora::h2
