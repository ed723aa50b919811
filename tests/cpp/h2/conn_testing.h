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

  // One event as its step under the state lock, an ACK's settings reaching
  // the decoder under both locks, as the binding holds them.
  Result<EventVerdict> step(const Event& ev, Handle& spare) {
    std::lock_guard<std::mutex> s(mu);
    wake.clear();
    aborted.clear();
    auto r = core.apply(ev, spare, wake, aborted, sink);
    if (auto* st = r ? std::get_if<SettingsVerdict>(&*r) : nullptr; st && st->apply_to_decoder) {
      std::lock_guard<std::mutex> d(decoder_mu);
      apply_to_decoder(recv, *st->apply_to_decoder);
    }
    return r;
  }

  // What a driver does with one event; returns the received DATA octets,
  // which the application reads at once. `spare` serves a new request stream.
  size_t dispatch(const Event& ev, Handle spare, std::vector<uint32_t>* opened = nullptr) {
    auto r = step(ev, spare);
    EXPECT_TRUE(r);
    if (!r) return 0;
    if (auto* h = std::get_if<HeadersVerdict>(&*r); h && h->kind == HeadersKind::opened && opened)
      opened->push_back(h->stream_id);
    auto* d = std::get_if<DataVerdict>(&*r);
    if (!d || !d->deliver) return 0;
    const auto& data = std::get<DataEvent>(ev);
    std::lock_guard<std::mutex> s(mu);
    EXPECT_TRUE(core.release_capacity(data.stream_id, uint32_t(data.data.size()), sink));
    if (d->budgeted) core.release_data_frame(data.stream_id, data.data.size(), sink);
    return data.data.size();
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
