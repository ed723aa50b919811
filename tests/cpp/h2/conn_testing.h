// A connection as the binding arranges it (the state lock over a ConnCore,
// the decoder lock over a Receiver) and two of them back to back, for the
// connection-path tests. Handles are plain pointers the tests own.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "proto/h2/conn_core.h"

namespace velmora::h2::testing {

struct NullSink final : HandleSink {
  void drop(Handle) noexcept override {}
};

inline ConnConfig config(Role role) {
  ConnConfig c;
  c.role = role;
  return c;
}

inline HeadersIn headers_in(const HeadersEvent& e) {
  HeadersIn in;
  in.stream_id = e.stream_id;
  in.end_stream = e.end_stream;
  in.informational = e.head.is_informational();
  in.status = e.head.status;
  in.pseudo = e.head.has_pseudo();
  in.content_length = e.head.content_length();
  in.content_length_invalid = e.head.content_length_invalid();
  return in;
}

inline DataIn data_in(const DataEvent& e) {
  return DataIn{e.stream_id, e.end_stream, uint32_t(e.data.size()), e.flow_controlled_len, e.padding};
}

struct Conn {
  explicit Conn(const ConnConfig& c) : core(c) {
    recv.expect_preface(c.role == Role::server);
    recv.set_role(c.role);
  }

  std::mutex mu;  // state lock
  ConnCore core;
  std::mutex decoder_mu;
  Receiver recv;
  NullSink sink;
  RecvBatch batch;
  std::vector<Handle> wake;
  std::vector<Aborted> aborted;

  // What a driver does with one event; returns the received DATA octets.
  // `spare` serves a new request stream.
  size_t dispatch(const Event& ev, Handle spare, std::vector<uint32_t>* opened = nullptr) {
    std::lock_guard<std::mutex> s(mu);
    if (auto* h = std::get_if<HeadersEvent>(&ev)) {
      Handle sp = spare;
      auto r = core.recv_headers(headers_in(*h), sp, sink);
      EXPECT_TRUE(r);
      if (r && r->kind == HeadersKind::opened && opened) opened->push_back(h->stream_id);
    } else if (auto* d = std::get_if<DataEvent>(&ev)) {
      auto r = core.recv_data(data_in(*d), sink);
      EXPECT_TRUE(r);
      if (r && r->deliver) {
        EXPECT_TRUE(core.release_capacity(d->stream_id, uint32_t(d->data.size()), sink));
        if (r->budgeted) core.release_data_frame(d->stream_id, d->data.size(), sink);
        return d->data.size();
      }
    } else if (auto* w = std::get_if<WindowUpdateEvent>(&ev)) {
      EXPECT_TRUE(core.recv_window_update(w->stream_id, w->increment));
    } else if (auto* st = std::get_if<SettingsEvent>(&ev)) {
      wake.clear();
      auto r = core.recv_settings(st->ack, st->settings, wake);
      EXPECT_TRUE(r);
      if (r && r->apply_to_decoder) {
        std::lock_guard<std::mutex> d(decoder_mu);
        if (r->apply_to_decoder->max_frame_size) recv.set_max_frame_size(*r->apply_to_decoder->max_frame_size);
      }
    } else if (auto* p = std::get_if<PingEvent>(&ev)) {
      EXPECT_TRUE(core.recv_ping(p->ack, std::string_view(p->data.data(), 8)));
    } else if (auto* rs = std::get_if<RstStreamEvent>(&ev)) {
      EXPECT_TRUE(core.recv_reset(rs->stream_id, rs->error_code, sink));
    }
    return 0;
  }

  // Decodes `bytes` under the decoder lock alone.
  void receive(std::string_view bytes) {
    std::lock_guard<std::mutex> d(decoder_mu);
    auto ok = recv.receive(bytes, batch);
    ASSERT_TRUE(ok) << ok.error().message();
  }

  // The write pump: takes the pending buffer, "writes" it into `wire`,
  // gives the emptied buffer back and credits it.
  void pump(std::string& wire, std::string& scratch) {
    {
      std::lock_guard<std::mutex> s(mu);
      core.take_pending(scratch);
    }
    wire.append(scratch);
    std::lock_guard<std::mutex> s(mu);
    core.give_back(scratch);
    wake.clear();
    core.credit_written(wake);
  }
};

}  // namespace velmora::h2::testing
