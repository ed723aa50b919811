// The _velmora module: declaration, both import entry points, and the
// execution step that adds every attribute in its fixed order.
#include "src/module.h"

#include <mutex>
#include <string>

#include "proto/h1/conn.h"
#include "proto/h2/conn_core.h"
#include "proto/h2/data_budget.h"
#include "proto/http/preface.h"
#include "proto/ws/codec.h"
#include "src/errors.h"
#include "src/h2/conn.h"
#include "src/h2/streams.h"
#include "src/locked.h"

#ifndef VELMORA_VERSION
#error "VELMORA_VERSION must be defined by the build"
#endif

namespace velmora::py {
namespace {

// "0.4.5-alpha.1" -> "0.4.5a.1": pre-release suffixes take their Python form.
const std::string& python_version() {
  static std::once_flag once;
  static std::string v;
  std::call_once(once, [] {
    v = VELMORA_VERSION;
    auto rewrite = [](std::string& s, std::string_view from, std::string_view to) {
      for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
        s.replace(p, from.size(), to);
    };
    rewrite(v, "-alpha", "a");
    rewrite(v, "-beta", "b");
  });
  return v;
}

struct IntConst {
  const char* name;
  long long value;
};

constexpr long long v(h2::Flag x) { return static_cast<long long>(x); }
constexpr long long v(h2::HeadersKind x) { return static_cast<long long>(x); }

constexpr IntConst kH2Flags[] = {
    {"H2_FLAG_WAKE", v(h2::kFlagWake)}, {"H2_FLAG_SLOT_FREED", v(h2::kFlagSlotFreed)},
    {"H2_FLAG_CONN_DONE", v(h2::kFlagConnDone)}, {"H2_FLAG_STOP_ACCEPTING", v(h2::kFlagStopAccepting)},
    {"H2_FLAG_CAPACITY", v(h2::kFlagCapacity)},
    {"H2_HEADERS_IGNORED", v(h2::HeadersKind::ignored)}, {"H2_HEADERS_OPENED", v(h2::HeadersKind::opened)},
    {"H2_HEADERS_HEAD", v(h2::HeadersKind::head)}, {"H2_HEADERS_TRAILERS", v(h2::HeadersKind::trailers)},
};

constexpr IntConst kH2Defaults[] = {
    {"H2_DEFAULT_HEADER_TABLE_SIZE", h2::hpack::kDefaultTableSize},
    {"H2_DEFAULT_INITIAL_WINDOW_SIZE", h2::kDefaultWindow},
    {"H2_DEFAULT_MAX_FRAME_SIZE", h2::kDefaultMaxFrameSize},
    {"H2_MAX_MAX_FRAME_SIZE", h2::kMaxMaxFrameSize},
    {"H2_MAX_STREAM_ID", h2::kMaxStreamId},
    {"H2_DEFAULT_DATA_FRAME_OVERHEAD_THRESHOLD", h2::kOverheadThreshold},
    {"H2_DEFAULT_DATA_FRAME_BUDGET", h2::kDefaultDataFrameBudget},
    {"H2_MAX_RECV_EMPTY_DATA_FRAMES", h2::kMaxRecvEmptyDataFrames},
};

// The connection states' verdicts and codes, as the states answer them.
constexpr long long v(h1::WatchVerdict x) { return static_cast<long long>(x); }
constexpr long long v(h1::ReadCode x) { return static_cast<long long>(x); }
constexpr long long v(h1::ReqCode x) { return static_cast<long long>(x); }

constexpr IntConst kH1Watch[] = {
    {"H1_WATCH_HANDOFF", v(h1::WatchVerdict::handoff)}, {"H1_WATCH_IDLE_EOF", v(h1::WatchVerdict::idle_eof)},
    {"H1_WATCH_IDLE_BYTES", v(h1::WatchVerdict::idle_bytes)}, {"H1_WATCH_IDLE_ERROR", v(h1::WatchVerdict::idle_error)},
    {"H1_WATCH_IGNORED", v(h1::WatchVerdict::ignored)},
};

// H1_NEXT_* and H1_READ_* share one number range; H1_REQ_* starts again at 0.
constexpr IntConst kH1Codes[] = {
    {"H1_NEXT_NONE", v(h1::ReadCode::next_none)}, {"H1_NEXT_RAISE", v(h1::ReadCode::next_raise)},
    {"H1_NEXT_CLOSE", v(h1::ReadCode::next_close)}, {"H1_NEXT_DRAIN", v(h1::ReadCode::next_drain)},
    {"H1_READ_PARSE", v(h1::ReadCode::read_parse)}, {"H1_READ_SHUTDOWN", v(h1::ReadCode::read_shutdown)},
    {"H1_READ_WATCHER", v(h1::ReadCode::read_watcher)}, {"H1_READ_TRANSPORT", v(h1::ReadCode::read_transport)},
    {"H1_READ_EOF", v(h1::ReadCode::read_eof)},
    {"H1_REQ_OK", v(h1::ReqCode::ok)}, {"H1_REQ_ALREADY", v(h1::ReqCode::already)},
    {"H1_REQ_STALE", v(h1::ReqCode::stale)}, {"H1_REQ_PARKED", v(h1::ReqCode::parked)},
    {"H1_REQ_PEER_CLOSED", v(h1::ReqCode::peer_closed)}, {"H1_REQ_CONTINUE", v(h1::ReqCode::continue_wait)},
};

// WebSockets: event kinds, codec states, limits.
constexpr long long v(ws::EventKind x) { return static_cast<long long>(x); }
constexpr long long v(ws::State x) { return static_cast<long long>(x); }

constexpr IntConst kWs[] = {
    {"WS_EVENT_TEXT", v(ws::EventKind::text)}, {"WS_EVENT_BINARY", v(ws::EventKind::binary)},
    {"WS_EVENT_PING", v(ws::EventKind::ping)}, {"WS_EVENT_PONG", v(ws::EventKind::pong)},
    {"WS_EVENT_CLOSE", v(ws::EventKind::close)},
    {"WS_STATE_OPEN", v(ws::State::open)}, {"WS_STATE_CLOSE_SENT", v(ws::State::close_sent)},
    {"WS_STATE_CLOSE_RECEIVED", v(ws::State::close_received)}, {"WS_STATE_CLOSED", v(ws::State::closed)},
    {"WS_STATE_FAILED", v(ws::State::failed)},
    {"WS_DEFAULT_MAX_FRAME_SIZE", static_cast<long long>(ws::kDefaultMaxFrameSize)},
    {"WS_DEFAULT_MAX_MESSAGE_SIZE", static_cast<long long>(ws::kDefaultMaxMessageSize)},
};

template <size_t N>
int add_ints(PyObject* m, const IntConst (&rows)[N]) {
  for (const IntConst& c : rows)
    if (add_int(m, c.name, c.value) < 0) return -1;
  return 0;
}

int exec_module(PyObject* m) {
  if (!PyModule_Check(m)) {
    PyErr_SetString(PyExc_TypeError, "module execution expects a module object");
    return -1;
  }
  // The classes and exceptions are created once and shared by the whole
  // process; objects of one interpreter must not reach another, so only the
  // main interpreter may load the module. Isolated interpreters are refused
  // by the import system (see the slot below); this also refuses those
  // created without that check.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError,
                    "_velmora can only be imported in the main interpreter: its classes and exceptions are "
                    "shared by the whole process");
    return -1;
  }
  const std::string& version = python_version();
  if (PyModule_Add(m, "__version__", PyUnicode_FromStringAndSize(version.data(), Py_ssize_t(version.size()))) < 0)
    return -1;
  if (add_base_errors(m) < 0) return -1;
  if (add_header_map(m) < 0) return -1;
  if (add_http_functions(m) < 0) return -1;
  if (add_h2_codec(m) < 0) return -1;
  if (add_h2_stream_values(m) < 0) return -1;
  if (add_h2_streams(m) < 0) return -1;
  if (add_ints(m, kH2Flags) < 0) return -1;
  if (add_h2_errors(m) < 0) return -1;
  if (add_h2_reason(m) < 0) return -1;
  if (add_ints(m, kH2Defaults) < 0) return -1;
  if (PyModule_Add(m, "H2_PREFACE", PyBytes_FromStringAndSize(http::kH2Preface.data(), Py_ssize_t(http::kH2Preface.size()))) < 0) return -1;
  if (add_h1_errors(m) < 0) return -1;
  if (add_h1_codec(m) < 0) return -1;
  if (add_h1_body_decoder(m) < 0) return -1;
  if (add_h1_conn(m) < 0) return -1;
  if (add_once_latch(m) < 0) return -1;
  if (add_ints(m, kH1Watch) < 0) return -1;
  if (add_ints(m, kH1Codes) < 0) return -1;
  if (add_proxy(m) < 0) return -1;
  if (add_ws_errors(m) < 0) return -1;
  if (add_ws_codec(m) < 0) return -1;
  if (add_ws_functions(m) < 0) return -1;
  if (add_ints(m, kWs) < 0) return -1;
  return 0;
}

constexpr PySlot slot_ptr(uint16_t id, void* p) {
  PySlot s{};
  s.sl_id = id;
  s.sl_ptr = p;
  return s;
}
constexpr PySlot slot_func(uint16_t id, _Py_funcptr_t f) {
  PySlot s{};
  s.sl_id = id;
  s.sl_func = f;
  return s;
}

PyABIInfo_VAR(abi_info);

// One slot table serves both entry points. Only the main interpreter may
// load the module (see exec_module).
PySlot module_slots[] = {
    slot_func(Py_mod_exec, reinterpret_cast<_Py_funcptr_t>(guard<exec_module>)),
    slot_ptr(Py_mod_abi, &abi_info),
    slot_ptr(Py_mod_gil, Py_MOD_GIL_NOT_USED),
    slot_ptr(Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED),
    slot_ptr(Py_mod_name, const_cast<char*>("_velmora")),
    slot_ptr(Py_mod_doc, const_cast<char*>("")),
    PySlot{},
};

PyModuleDef_Slot def_slots[] = {
    {Py_mod_slots, module_slots},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_velmora",
    "",
    0,        // no per-module state
    nullptr,  // functions are added by the execution step
    def_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace velmora::py

extern "C" {
PyMODEXPORT_FUNC PyModExport__velmora(void) { return velmora::py::module_slots; }
PyMODINIT_FUNC PyInit__velmora(void) { return PyModuleDef_Init(&velmora::py::module_def); }
}
