// What a connection's state lock guards: the connection state, the codec's
// send side and the pending-send buffer every frame is encoded into.
//
// The connection object holds one ConnCore behind its state lock and the
// codec's Receiver behind a decoder lock of its own. Decoding takes only the
// decoder lock; the steps here take only the state lock; where a step must
// also change the decoder (our SETTINGS reaching it), it returns what to
// apply and the owner applies it holding both, state lock first. Nothing
// takes the two in the other order.
//
// Not synchronised: every method is one step under the state lock.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "proto/h2/codec.h"
#include "proto/h2/conn_state.h"
#include "proto/h2/frame.h"

namespace velmora::h2 {

class ConnCore final : public FrameQueue {
 public:
  explicit ConnCore(const ConnConfig& c) : state(c) {}

  ConnState state;
  Sender send;
  std::string pending;  // frames committed for sending, in order

  // What the decoder must apply, holding both locks, after begin().
  struct DecoderChange {
    std::optional<uint32_t> max_frame_size;
  };

  // The handshake, in one step: the client preface (client only), our
  // SETTINGS, and the WINDOW_UPDATE(0) that raises the connection window to
  // its target when the raise reaches the update threshold. A SETTINGS
  // value the encoder refuses is returned with nothing queued.
  //
  // A conforming peer may send frames up to the SETTINGS_MAX_FRAME_SIZE we
  // advertise as soon as it has our SETTINGS, and its ACK can arrive in the
  // same read as the first such frame, before the ACK is applied. So a
  // larger limit reaches the decoder now (the returned change); a smaller
  // one can only take effect at the ACK, the peer may still use the old one
  // until then.
  std::expected<DecoderChange, SendError> begin();

  // FrameQueue: control frames the state's shared steps queue.
  void window_update(uint32_t stream_id, uint32_t increment) override;
  void rst_stream(uint32_t stream_id, uint32_t code) override;
  void goaway(uint32_t last_stream_id, uint32_t code) override;
};

}  // namespace velmora::h2
