// The state of one HTTP/2 connection, for either role, apart from its codec:
// the connection fields, the stream store, the reset store, stream ids and
// concurrency slots, and the shared steps every path runs when a stream
// closes.
//
// ConnCore (conn_core.h) holds one ConnState beside the codec's send side
// and the pending-send buffer, all under the connection's state lock; the
// codec's receive side is under a decoder lock of its own, so decoding a read
// never waits for the stream state. Steps that queue frames do so through a
// FrameQueue, which ConnCore implements with its encoder and pending buffer.
//
// Not synchronised: every method is one step under the owner's state lock.
// Handles (driver objects) are owned by the records; a step that lets one go
// hands it to a HandleSink, which the owner releases after unlocking.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "proto/h2/data_budget.h"
#include "proto/h2/error.h"
#include "proto/h2/flow.h"
#include "proto/h2/frame.h"
#include "proto/h2/id_queue.h"
#include "proto/h2/reset_store.h"
#include "proto/h2/stream_store.h"

namespace velmora::h2 {

// Verdict bits the connection steps report to the driver.
enum Flag : uint32_t {
  kFlagWake = 1,           // frames were queued: the write pump must run
  kFlagSlotFreed = 2,      // a concurrency slot came free
  kFlagConnDone = 4,       // the connection is finished
  kFlagStopAccepting = 8,  // the server's accept loop must end
  kFlagCapacity = 16,      // connection send window came free
};

// "client" or "server".
std::optional<Role> parse_role(std::string_view s) noexcept;

struct ConnConfig {
  Role role = Role::client;
  uint32_t initial_window_size = kDefaultWindow;
  uint32_t connection_window = kDefaultWindow;
  uint32_t max_frame_size = kDefaultMaxFrameSize;
  uint32_t max_header_list_size = 16384;
  uint64_t max_send_buf_size = 1024 * 1024;
  std::optional<uint32_t> max_concurrent_streams;
  uint64_t max_pending_accept_reset_streams = 20;
  std::optional<uint64_t> max_local_error_reset_streams = 1024;
  std::optional<uint64_t> data_frame_budget;
  bool auto_date_header = true;
  std::optional<bool> enable_push;
  // Server: advertise SETTINGS_ENABLE_CONNECT_PROTOCOL = 1 and accept
  // extended CONNECT (RFC 8441). The client ignores it.
  bool enable_connect_protocol = false;
  // DATA octets framed into one pending-send buffer, all streams together,
  // after which send_data() frames nothing more until the write pump has
  // taken that buffer: the front of the capacity rotation then waits
  // (`sent` 0, not done) and the next credit_written() wakes it. 0: no bound
  // (the default, and the binding's). A bound well inside the L2 cache keeps
  // the frames there between the copy into the buffer and the copy out of
  // it, where a batch of many streams' windows (16 streams of 64 KiB make
  // 1 MiB) has left the cache before it is written.
  uint64_t max_batch_data = 0;

  // Whether the constructor accepts these values. Errors
  // (ErrorKind::argument), the first found in this order: max_frame_size
  // outside [16384, 16777215]; window_sizes, initial_window_size or
  // connection_window above 2^31 - 1.
  Result<void> check() const noexcept;
};

// Where connection steps queue control frames. Implementations encode into
// the pending-send buffer and may throw std::bad_alloc.
class FrameQueue {
 public:
  virtual void window_update(uint32_t stream_id, uint32_t increment) = 0;
  virtual void rst_stream(uint32_t stream_id, uint32_t code) = 0;
  virtual void goaway(uint32_t last_stream_id, uint32_t code) = 0;

 protected:
  ~FrameQueue() = default;
};

class ConnState {
 public:
  // `c` must pass check().
  explicit ConnState(const ConnConfig& c);
  ConnState(const ConnState&) = delete;
  ConnState& operator=(const ConnState&) = delete;

  // The clock of the reset store's expiry.
  static Clock::time_point now() { return Clock::now(); }

  // ---- role and settings ----
  bool is_server() const noexcept { return role_ == Role::server; }
  // Our SETTINGS, each only when set.
  const Settings& local_settings() const noexcept { return local_; }
  bool settings_sent() const noexcept { return settings_sent_; }
  void mark_settings_sent() noexcept { settings_sent_ = true; }
  // Our SETTINGS is sent and its ACK not yet received.
  bool settings_outstanding() const noexcept { return settings_sent_ && !settings_acked_; }
  void mark_settings_acked() noexcept { settings_acked_ = true; }
  void set_stream_recv_window(uint32_t v) noexcept { stream_recv_window_ = v; }
  // The first SETTINGS of the peer: true only the first time.
  bool mark_peer_settings() noexcept { return !std::exchange(peer_settings_seen_, true); }
  uint32_t stream_recv_window() const noexcept { return stream_recv_window_; }
  // The peer's SETTINGS_ENABLE_CONNECT_PROTOCOL: we may open extended
  // CONNECT streams (RFC 8441). False until its SETTINGS says 1.
  bool peer_connect_protocol() const noexcept { return peer_connect_protocol_; }
  void set_peer_connect_protocol(bool on) noexcept { peer_connect_protocol_ = on; }
  uint64_t max_send_buf_size() const noexcept { return max_send_buf_size_; }
  bool auto_date_header() const noexcept { return auto_date_header_; }

  // The handshake's window step: the connection receive window grows to the
  // configured target. Returns the WINDOW_UPDATE(0) increment the handshake
  // queues, or 0 when the growth is too small to advertise yet (it stays in
  // the available amount for the receive path's threshold).
  uint32_t raise_connection_window() noexcept;

  // ---- concurrency slots (our own streams) ----
  // Claims a slot unless a stream limit is set and reached. One step.
  bool try_claim_slot() noexcept;
  bool can_open() const noexcept { return !stream_limit_ || num_open_streams_ < *stream_limit_; }
  void release_slot_count() noexcept {
    if (num_open_streams_) --num_open_streams_;
  }
  // nullopt: unlimited. A limit below the open count just makes claims fail
  // until enough slots are released.
  void apply_stream_limit(std::optional<uint64_t> limit) noexcept { stream_limit_ = limit; }

  // ---- opening our streams (the caller holds a claimed slot) ----
  enum class OpenCheck : uint8_t { proceed, refused };
  // Whether a stream may be opened now. `refused` (the connection failed or
  // the peer sent GOAWAY) and the REFUSED_STREAM error ("stream ID space
  // exhausted") both release the claimed slot.
  Result<OpenCheck> check_open() noexcept;
  // The request head could not be built: the claimed slot is released.
  void abandon_open() noexcept { release_slot_count(); }
  // Takes the next id and creates its record: send window from the peer's
  // initial window, receive window from ours, the state after
  // send_open(end_stream), the handle stored, the claimed slot now the
  // stream's; `tunnel` for an extended CONNECT. Ids grow by 2 and never
  // repeat. Precondition: check_open() answered proceed in this same step.
  // Throws std::bad_alloc with nothing changed (the slot still claimed; the
  // caller abandons the open).
  StreamRecord& commit_open(bool end_stream, bool is_head, Handle handle, bool tunnel = false);

  // ---- streams the peer opens (server) ----
  // The id rule for a new peer stream: odd and above every id the peer
  // opened before; else PROTOCOL_ERROR "invalid new stream id <id>". On
  // success the id is recorded as the last the peer opened.
  Result<void> admit_peer_id(uint32_t id) noexcept;
  // Counts an odd id as used by the peer (the last it opened, when above
  // it) without opening anything: the id of a request refused before it
  // became a stream.
  void note_peer_id(uint32_t id) noexcept;
  // The server already runs as many peer streams as it accepts at once.
  bool at_accept_limit() const noexcept { return num_streams_ >= max_accepted_streams_; }
  // Creates the record of an admitted request stream: windows as for our
  // own, the state after recv_open(end_stream, false), the handle stored;
  // counts it active, makes it the last processed id and queues it for the
  // application; `tunnel` for an extended CONNECT. Throws std::bad_alloc
  // with nothing changed.
  StreamRecord& accept_stream(uint32_t id, bool end_stream, Handle handle, bool tunnel = false);
  // The application pulled the request.
  void accepted(uint32_t id) noexcept { streams_.accepted(id); }

  // An id without a record that was used already (so a frame on it is
  // late, not a frame on an idle stream): odd, and for the client below our
  // next id, for the server not above the last id the peer opened.
  bool is_used_id(uint32_t id) const noexcept;

  // ---- the shared closing steps ----
  // The closed transition, run whenever a stream's state may have become
  // closed; does nothing unless the state is closed and the record not yet
  // marked. Marks it, counts it inactive, frees its slot (kFlagSlotFreed),
  // takes it out of the send queues (kFlagCapacity when that hands the
  // turn on), reaps it when nothing ties it to the
  // connection any more (its handle to `sink`: the record reference is then
  // dead), queues our GOAWAY reply once the last stream after a peer GOAWAY
  // is gone (kFlagWake | kFlagConnDone), and reports kFlagStopAccepting when
  // a final graceful shutdown has no stream left. Returns the flags.
  uint32_t closed_transition(StreamRecord& r, FrameQueue& out, HandleSink& sink);
  // Gives a closed stream's capacity back: its DATA-frame budget charge to
  // the connection budget; its unreleased received octets to the connection
  // receive window (queueing WINDOW_UPDATE(0) at the threshold), after which
  // later releases on it are no-ops; then applies the reaping rule. True
  // when the record was reaped. Errors only if the window accounting would
  // overflow (FLOW_CONTROL_ERROR), with nothing changed.
  Result<bool> release_closed_capacity(StreamRecord& r, FrameQueue& out, HandleSink& sink);
  // Removes the record if the reaping rule allows it. True when reaped.
  bool reap_if_done(StreamRecord& r, HandleSink& sink) noexcept;

  // ---- the send queues ----
  // The capacity rotation (streams admitted to send; only the front frames
  // DATA) and the connection-window waiters. Removing a stream reports
  // kFlagCapacity when the removal hands the turn on: the front of one queue
  // left while the other side of the turn still has someone to wake.
  IdQueue& rotation() noexcept { return rotation_; }
  IdQueue& waiters() noexcept { return waiters_; }
  uint32_t leave_rotation(StreamRecord& r) noexcept;
  uint32_t leave_waiters(StreamRecord& r) noexcept;
  // Membership, once each; may throw std::bad_alloc with nothing changed.
  void join_rotation(StreamRecord& r) {
    if (r.in_rotation) return;
    rotation_.push_back(r.id);
    r.in_rotation = true;
  }
  void join_waiters(StreamRecord& r) {
    if (r.waiting) return;
    waiters_.push_back(r.id);
    r.waiting = true;
  }
  // Our side may frame DATA on the stream now.
  static bool send_ready(const StreamRecord& r) noexcept { return !r.closed_marker && r.state.is_send_streaming(); }
  // The rotation's front after dropping stale entries (streams gone or no
  // longer send-ready); nullptr when the rotation is empty.
  StreamRecord* rotation_front() noexcept;
  // Admission: with connection window and no send-ready front, the first
  // send-ready waiter joins the rotation. Then the front, as above.
  StreamRecord* admit_and_front();

  // ---- resets a peer makes us send ----
  // Counts one reset we send to answer a peer's stream-level violation on
  // `id` with `reason`. The echo of our own reset (STREAM_CLOSED for a
  // stream we reset, whose record and timed entry are gone: the peer sent it
  // before it saw our RST_STREAM) is not the peer's doing and is not
  // counted. Over the cap: ENHANCE_YOUR_CALM "too many stream resets".
  Result<void> count_local_error_reset(uint32_t id, uint32_t reason) noexcept;

  // ---- failure and GOAWAY ----
  // Records the connection's failure; the first one wins. `message` is kept
  // for a failure without an exception object (the owner keeps the object).
  // True when this call recorded it.
  bool record_failure(std::string message);
  bool failed() const noexcept { return failed_; }
  const std::string& failure_message() const noexcept { return failure_message_; }
  struct PeerGoAway {
    uint32_t last_stream_id = 0;
    uint32_t code = 0;
  };
  const std::optional<PeerGoAway>& peer_goaway() const noexcept { return peer_goaway_; }
  void set_peer_goaway(PeerGoAway g) noexcept { peer_goaway_ = g; }
  // The idle-after-peer-GOAWAY check: when the peer sent GOAWAY, no stream is
  // left and we have not answered yet, queue our GOAWAY(NO_ERROR) and record
  // the failure "connection closed: GOAWAY exchanged". Returns kFlagWake |
  // kFlagConnDone when it did, else 0.
  uint32_t maybe_goaway_reply(FrameQueue& out);
  bool graceful() const noexcept { return graceful_; }
  void set_graceful() noexcept { graceful_ = true; }
  // Phase 2 of a graceful shutdown: no stream above the last processed id
  // is accepted any more.
  void set_shutdown_final() noexcept {
    shutdown_final_ = true;
    if (last_processed_id_ < max_stream_id_) max_stream_id_ = last_processed_id_;
  }
  bool goaway_replied() const noexcept { return goaway_replied_; }
  // The last stream id of the last GOAWAY we queued, if any. A peer may act
  // on each GOAWAY at once (retry everything above its id elsewhere), so a
  // later one never names a higher id and no stream above it is accepted.
  const std::optional<uint32_t>& goaway_sent() const noexcept { return goaway_sent_; }
  // Every GOAWAY we queue passes here: returns the id to send (`last`, or the
  // one already announced when that is lower), remembers it and lowers the
  // accepted-id ceiling to it.
  uint32_t note_goaway_sent(uint32_t last) noexcept {
    if (goaway_sent_ && *goaway_sent_ < last) last = *goaway_sent_;
    goaway_sent_ = last;
    if (last < max_stream_id_) max_stream_id_ = last;
    return last;
  }
  bool shutdown_final() const noexcept { return shutdown_final_; }

  // "H2Streams(role=client, streams=<records>, active=<num_streams>,
  // failed=false, goaway=false)": records still held count in `streams`.
  std::string describe() const;

  // ---- teardown ----
  // Every record removed, every handle to `sink`.
  void drop_all(HandleSink& sink) noexcept { streams_.drop_all(sink); }

  // ---- stores ----
  StreamStore& streams() noexcept { return streams_; }
  const StreamStore& streams() const noexcept { return streams_; }
  ResetStore& resets() noexcept { return resets_; }
  const ResetStore& resets() const noexcept { return resets_; }

  // ---- connection fields ----
  FlowControl& conn_send_flow() noexcept { return conn_send_; }
  FlowControl& conn_recv_flow() noexcept { return conn_recv_; }
  const FlowControl& conn_send_flow() const noexcept { return conn_send_; }
  const FlowControl& conn_recv_flow() const noexcept { return conn_recv_; }
  DataFrameBudget& data_frame_budget() noexcept { return budget_; }
  const DataFrameBudget& data_frame_budget() const noexcept { return budget_; }

  void set_peer_initial_window_size(uint32_t v) noexcept { peer_initial_window_size_ = v; }
  void set_peer_max_frame_size(uint32_t v) noexcept { peer_max_frame_size_ = v; }
  void set_peer_max_concurrent_streams(uint32_t v) noexcept { peer_max_concurrent_streams_ = v; }
  uint32_t peer_initial_window_size() const noexcept { return peer_initial_window_size_; }
  uint32_t peer_max_frame_size() const noexcept { return peer_max_frame_size_; }
  std::optional<uint32_t> peer_max_concurrent_streams() const noexcept { return peer_max_concurrent_streams_; }

  std::optional<uint64_t> stream_limit() const noexcept { return stream_limit_; }
  uint64_t num_open_streams() const noexcept { return num_open_streams_; }
  uint64_t num_streams() const noexcept { return num_streams_; }
  uint32_t next_stream_id() const noexcept { return next_stream_id_; }
  uint32_t last_processed_id() const noexcept { return last_processed_id_; }
  uint32_t max_stream_id() const noexcept { return max_stream_id_; }
  uint64_t local_error_resets() const noexcept { return local_error_resets_; }
  std::optional<uint64_t> max_local_error_reset_streams() const noexcept { return max_local_error_reset_streams_; }
  uint64_t max_pending_accept_reset_streams() const noexcept { return max_pending_accept_reset_streams_; }

  // Test hooks: exhaust the id space, lower the accepted-id ceiling as a
  // graceful shutdown would, move the last processed id.
  void set_next_stream_id(uint32_t id) noexcept { next_stream_id_ = id; }
  void set_max_stream_id(uint32_t id) noexcept { max_stream_id_ = id; }
  void set_last_processed_id(uint32_t id) noexcept { last_processed_id_ = id; }

 private:
  // Windows of a new stream record.
  void init_stream(StreamRecord& r, Handle handle) noexcept;

  Role role_;
  Settings local_;
  bool settings_sent_ = false;
  bool settings_acked_ = false;
  bool peer_settings_seen_ = false;
  bool peer_connect_protocol_ = false;
  uint32_t stream_recv_window_;
  uint32_t connection_window_;
  FlowControl conn_send_{int32_t(kDefaultWindow), int32_t(kDefaultWindow)};
  FlowControl conn_recv_{int32_t(kDefaultWindow), int32_t(kDefaultWindow)};

  uint32_t peer_initial_window_size_ = kDefaultWindow;
  uint32_t peer_max_frame_size_ = kDefaultMaxFrameSize;
  std::optional<uint32_t> peer_max_concurrent_streams_;

  uint64_t max_accepted_streams_;
  std::optional<uint64_t> stream_limit_;
  uint64_t num_open_streams_ = 0;
  uint64_t num_streams_ = 0;
  uint32_t next_stream_id_ = 1;
  uint32_t last_peer_opened_id_ = 0;
  uint32_t last_processed_id_ = 0;
  uint32_t max_stream_id_ = kMaxStreamId;
  uint64_t max_send_buf_size_;

  DataFrameBudget budget_;
  uint64_t local_error_resets_ = 0;
  std::optional<uint64_t> max_local_error_reset_streams_;
  uint64_t max_pending_accept_reset_streams_;

  bool failed_ = false;
  std::string failure_message_;
  std::optional<PeerGoAway> peer_goaway_;
  bool graceful_ = false;
  bool goaway_replied_ = false;
  std::optional<uint32_t> goaway_sent_;
  bool shutdown_final_ = false;
  bool auto_date_header_;

  StreamStore streams_;
  ResetStore resets_;
  IdQueue rotation_;
  IdQueue waiters_;
};

}  // namespace velmora::h2
