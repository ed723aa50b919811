#include "proto/h2/conn_core.h"

namespace velmora::h2 {

Result<ConnCore::DecoderChange> ConnCore::begin() {
  if (started()) return std::unexpected(Error::user(Misuse::begin_twice));
  const Settings& local = state.local_settings();
  if (auto ok = check_settings(local); !ok) return std::unexpected(ok.error());
  size_t before = pending.size();
  try {
    if (!state.is_server()) pending.append(kPreface);
    write_settings(pending, local);
    // The raise is computed before anything that can fail is left: the
    // WINDOW_UPDATE write below is the last step.
    FlowControl saved = state.conn_recv_flow();
    if (uint32_t inc = state.raise_connection_window()) {
      try {
        (void)write_window_update(pending, 0, inc);  // stream 0: never refused
      } catch (...) {
        state.conn_recv_flow() = saved;
        throw;
      }
    }
  } catch (...) {
    pending.resize(before);
    throw;
  }
  state.mark_settings_sent();
  DecoderChange change;
  if (local.max_frame_size && *local.max_frame_size > kDefaultMaxFrameSize) change.max_frame_size = local.max_frame_size;
  return change;
}

// The ids the shared steps pass are stream ids the state holds or 0: the
// encoders never refuse them.
void ConnCore::window_update(uint32_t stream_id, uint32_t increment) {
  (void)write_window_update(pending, stream_id, increment);
}

void ConnCore::rst_stream(uint32_t stream_id, uint32_t code) { (void)write_rst_stream(pending, stream_id, code); }

// No debug data: never refused. Every GOAWAY we send goes through here, so
// the last stream id never rises from one to the next.
void ConnCore::goaway(uint32_t last_stream_id, uint32_t code) {
  (void)write_goaway(pending, state.note_goaway_sent(last_stream_id), code, {});
}

}  // namespace velmora::h2
