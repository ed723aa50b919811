"""The module frame: registration order, constants, errors, module functions."""

import ctypes
import inspect
import re

import pytest

import velmora
import velmora._velmora as m


ORDER = [
    "__version__",
    "VelmoraError", "ConnectionClosedError",
    "HeaderMap",
    "http_date", "uri_parts",
    "H2Codec", "H2FrameHeaders", "H2FrameData", "H2FrameSettings", "H2FrameWindowUpdate", "H2FramePing",
    "H2FrameGoAway", "H2FrameRstStream", "H2FramePriority", "H2FrameStreamError",
    "H2StreamState", "H2FlowControl", "H2ContentLength", "H2DataFrameBudget",
    "H2Streams", "H2Stopped", "H2RecvHeadersVerdict", "H2RecvDataVerdict", "H2SendVerdict", "H2ResetVerdict",
    "H2_FLAG_WAKE", "H2_FLAG_SLOT_FREED", "H2_FLAG_CONN_DONE", "H2_FLAG_STOP_ACCEPTING", "H2_FLAG_CAPACITY",
    "H2_HEADERS_IGNORED", "H2_HEADERS_OPENED", "H2_HEADERS_HEAD", "H2_HEADERS_TRAILERS",
    "H2Error", "H2ProtocolError", "H2StreamError", "H2UserError", "H2FlowControlError",
    "H2Reason",
    "H2_DEFAULT_HEADER_TABLE_SIZE", "H2_DEFAULT_INITIAL_WINDOW_SIZE", "H2_DEFAULT_MAX_FRAME_SIZE",
    "H2_MAX_MAX_FRAME_SIZE", "H2_MAX_STREAM_ID", "H2_DEFAULT_DATA_FRAME_OVERHEAD_THRESHOLD",
    "H2_DEFAULT_DATA_FRAME_BUDGET", "H2_MAX_RECV_EMPTY_DATA_FRAMES", "H2_PREFACE",
    "H1Error", "H1ParseError", "H1BodyError", "H1IncompleteMessageError", "H1UnexpectedMessageError",
    "H1UserError",
    "H1Codec", "H1ResponseHead", "H1RequestHead", "H1BodyDecoder",
    "H1ServerState", "H1ClientState", "OnceLatch",
    "H1_WATCH_HANDOFF", "H1_WATCH_IDLE_EOF", "H1_WATCH_IDLE_BYTES", "H1_WATCH_IDLE_ERROR", "H1_WATCH_IGNORED",
    "H1_NEXT_NONE", "H1_NEXT_RAISE", "H1_NEXT_CLOSE", "H1_NEXT_DRAIN",
    "H1_READ_PARSE", "H1_READ_SHUTDOWN", "H1_READ_WATCHER", "H1_READ_TRANSPORT", "H1_READ_EOF",
    "H1_REQ_OK", "H1_REQ_ALREADY", "H1_REQ_STALE", "H1_REQ_PARKED", "H1_REQ_PEER_CLOSED", "H1_REQ_CONTINUE",
    "ProxyMatcher", "ProxyIntercept",
    "WsError", "WsProtocolError", "WsHandshakeError",
    "WsCodec",
    "ws_accept_key", "ws_make_key", "ws_server_handshake", "ws_client_request", "ws_client_check",
    "WS_EVENT_TEXT", "WS_EVENT_BINARY", "WS_EVENT_PING", "WS_EVENT_PONG", "WS_EVENT_CLOSE",
    "WS_STATE_OPEN", "WS_STATE_CLOSE_SENT", "WS_STATE_CLOSE_RECEIVED", "WS_STATE_CLOSED", "WS_STATE_FAILED",
    "WS_DEFAULT_MAX_FRAME_SIZE", "WS_DEFAULT_MAX_MESSAGE_SIZE",
]


def test_attributes_in_registration_order():
    added = [k for k in vars(m) if not k.startswith("__") or k == "__version__"]
    assert added == ORDER


def test_version_and_docstring():
    assert m.__version__ == "0.4.5" == velmora.__version__
    assert m.__doc__ == ""
    assert m.__name__ == "velmora._velmora"


def test_both_entry_points_exported():
    lib = ctypes.PyDLL(m.__file__)
    lib.PyModExport__velmora.restype = ctypes.c_void_p
    lib.PyInit__velmora.restype = ctypes.c_void_p
    assert lib.PyModExport__velmora() and lib.PyInit__velmora()


def test_constant_values():
    assert m.H2_PREFACE == b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" and len(m.H2_PREFACE) == 24
    assert m.H2_MAX_STREAM_ID == 2**31 - 1
    assert m.H2_MAX_MAX_FRAME_SIZE == 2**24 - 1
    assert [m.H2_FLAG_WAKE, m.H2_FLAG_SLOT_FREED, m.H2_FLAG_CONN_DONE, m.H2_FLAG_STOP_ACCEPTING,
            m.H2_FLAG_CAPACITY] == [1, 2, 4, 8, 16]
    assert [getattr(m, n) for n in ORDER if n.startswith(("H1_NEXT", "H1_READ"))] == list(range(9))
    assert [getattr(m, n) for n in ORDER if n.startswith("H1_REQ")] == list(range(6))
    assert [getattr(m, n) for n in ORDER if n.startswith("H1_WATCH")] == list(range(5))
    assert all(type(getattr(m, n)) is int for n in ORDER if n.isupper() and n != "H2_PREFACE")


def test_exception_tree():
    for name in ORDER:
        obj = getattr(m, name)
        if isinstance(obj, type) and issubclass(obj, BaseException):
            assert issubclass(obj, m.VelmoraError)
            assert obj.__module__ == "_velmora"
            assert obj.__doc__
    assert m.VelmoraError.__bases__ == (Exception,)
    assert not issubclass(m.ConnectionClosedError, (m.H1Error, m.H2Error))
    for sub in ("H1ParseError", "H1BodyError", "H1IncompleteMessageError", "H1UnexpectedMessageError",
                "H1UserError"):
        assert getattr(m, sub).__bases__ == (m.H1Error,)
    for sub in ("H2ProtocolError", "H2StreamError", "H2UserError", "H2FlowControlError"):
        assert getattr(m, sub).__bases__ == (m.H2Error,)
    # The runtime text comes first; a longer description may follow it.
    assert m.VelmoraError.__doc__.split("\n\n")[0] == "Base class for every velmora error (HTTP/1 and HTTP/2)."
    assert m.H2FlowControlError.__doc__.split("\n\n")[0] == "Flow-control window over/underflow. args = (reason: int,)."


def test_classes_are_named_and_frozen():
    assert m.HeaderMap.__module__ == "velmora._velmora"
    assert m.HeaderMap.__qualname__ == "HeaderMap"
    for cls, obj in ((m.HeaderMap, m.HeaderMap()), (m.OnceLatch, m.OnceLatch())):
        with pytest.raises((AttributeError, TypeError)):
            obj.anything = 1
        with pytest.raises((AttributeError, TypeError)):
            cls.anything = 1


def test_text_signatures():
    assert str(inspect.signature(m.uri_parts)) == "(url)"
    assert str(inspect.signature(m.http_date)) == "()"
    assert str(inspect.signature(m.HeaderMap)) == "(init=None)"
    assert "default=None" in str(inspect.signature(m.HeaderMap.get))


def test_methods_take_their_arguments_by_keyword():
    # Every method parameter can be named, one-argument methods included;
    # only operator slots (__getitem__, __eq__, ...) stay positional.
    for name in ORDER:
        cls = getattr(m, name)
        if not isinstance(cls, type):
            continue
        for attr, member in vars(cls).items():
            sig = getattr(member, "__text_signature__", None) or ""
            if attr.startswith("__") or sig in ("($self, /)", "()"):
                continue
            assert ", /)" not in sig, f"{name}.{attr}{sig}"

    headers = m.HeaderMap([("a", "1"), ("connection", "close")])
    assert headers.get_all(name="a") == [b"1"]
    assert m.H1Codec.connection_close(headers=headers) is True
    assert m.H2Codec.is_client_initiated(stream_id=1) is True
    codec = m.H1Codec()
    assert codec.receive_request_head(data=b"GET /x HTTP/1.1\r\nHost: a\r\n\r\n").target == "/x"

    for call, message in [
        (lambda: codec.feed(), "feed() missing required argument 'data'"),
        (lambda: codec.feed(b"", b""), "feed() takes at most 1 positional argument (2 given)"),
        (lambda: codec.feed(b"", data=b""), "feed() got multiple values for argument 'data'"),
        (lambda: codec.feed(date=b""), "feed() got an unexpected keyword argument 'date'"),
    ]:
        with pytest.raises(TypeError, match=re.escape(message)):
            call()
    # A refused call changed nothing.
    assert codec.buffered == 0


@pytest.mark.parametrize(
    "url, parts",
    [
        ("http://[::1]:8080/x", ("http", "::1", 8080, "[::1]:8080")),
        ("wss://h", ("wss", "h", 443, "h:443")),
        ("ws://h/chat", ("ws", "h", 80, "h:80")),
        ("WS://h/chat", ("WS", "h", None, None)),  # ws defaults match lowercase only
        ("HTTPS://h", ("https", "h", 443, "h:443")),
        ("foo://h/p", ("foo", "h", None, None)),
        ("/just/a/path?q", (None, None, None, None)),
        ("*", (None, None, None, None)),
        ("h:8080", (None, "h", 8080, "h:8080")),
        ("h", (None, "h", None, None)),
        ("http://h:99999/", ("http", "h", 80, "h:80")),
        ("https://user:pw@h:81/", ("https", "h", 81, "h:81")),
        # The port comes from the host part, never from the userinfo.
        ("http://u:8080@h/", ("http", "h", 80, "h:80")),
        ("http://h:/", ("http", "h", 80, "h:80")),
        ("http://h:+81/", ("http", "h", 81, "h:81")),  # one leading '+' is accepted
        ("http://h:8o/", ("http", "h", 80, "h:80")),  # not a number: no explicit port
        ("h:abc", (None, "h", None, None)),
    ],
)
def test_uri_parts(url, parts):
    assert m.uri_parts(url) == parts


def test_uri_parts_errors():
    with pytest.raises(ValueError) as e:
        m.uri_parts('http://a b/"x')
    assert str(e.value) == 'invalid url "http://a b/\\"x": invalid uri character'
    with pytest.raises(ValueError, match=r'^invalid url "http://a@b@c/": invalid authority$'):
        m.uri_parts("http://a@b@c/")
    with pytest.raises(ValueError, match="empty string"):
        m.uri_parts("")
    # Characters that do not print are escaped in the message.
    with pytest.raises(ValueError) as e:
        m.uri_parts("h\t\x01\x85\u200b\u00e9")
    assert str(e.value) == 'invalid url "h\\t\\u{1}\\u{85}\\u{200b}\u00e9": invalid uri character'
    with pytest.raises(TypeError):
        m.uri_parts(b"http://h/")


def test_http_date():
    d = m.http_date()
    assert isinstance(d, bytes) and len(d) == 29
    assert re.fullmatch(rb"(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                        rb"\d{4} \d\d:\d\d:\d\d GMT", d)
    import email.utils
    import time
    parsed = email.utils.parsedate_to_datetime(d.decode()).timestamp()
    assert abs(parsed - time.time()) < 3


def test_stub_names_every_public_attribute():
    import ast
    from pathlib import Path

    stub = Path(velmora.__file__).with_name("_velmora.pyi").resolve()
    tree = ast.parse(stub.read_text())
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
    assert set(ORDER) <= names, sorted(set(ORDER) - names)


def test_legacy_entry_point_builds_a_working_module():
    # Interpreters that import through PyInit__velmora get the same module:
    # its definition refers to the same slot table and the classes are shared.
    import importlib.util

    lib = ctypes.PyDLL(m.__file__)
    lib.PyInit__velmora.restype = ctypes.c_void_p
    api = ctypes.pythonapi
    api.PyModule_FromDefAndSpec2.restype = ctypes.py_object
    api.PyModule_FromDefAndSpec2.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    definition = lib.PyInit__velmora()
    spec = importlib.util.spec_from_file_location("velmora._velmora", m.__file__)
    mod = api.PyModule_FromDefAndSpec2(definition, spec, 1013)
    assert api.PyModule_ExecDef(mod, definition) == 0
    assert mod.__doc__ == "" and mod.__version__ == "0.4.5"
    assert [k for k in vars(mod) if not k.startswith("__") or k == "__version__"] == ORDER
    assert mod.HeaderMap is m.HeaderMap and mod.H1ParseError is m.H1ParseError
    assert m.HeaderMap(mod.HeaderMap([("a", "1")])) == mod.HeaderMap([("a", "1")])


def test_only_the_main_interpreter_loads_the_module():
    # The classes and exceptions are process-wide, so a subinterpreter must
    # get a clean ImportError, whether it checks extensions (isolated) or not
    # (legacy), while the main interpreter's module keeps working.
    _interpreters = pytest.importorskip("_interpreters")
    for config, message in (
        ("isolated", "does not support loading in subinterpreters"),
        ("legacy", "_velmora can only be imported in the main interpreter"),
    ):
        iid = _interpreters.create(config)
        try:
            failure = _interpreters.run_string(iid, "import velmora._velmora")
        finally:
            _interpreters.destroy(iid)
        assert failure is not None and failure.type.__name__ == "ImportError", config
        assert message in failure.msg
    assert m.HeaderMap([("a", "1")])["a"] == b"1"


def test_allocations_are_routed_to_mimalloc():
    # The extension's operator new/delete call into mimalloc (the C++ suite
    # checks that core allocations land in mimalloc's heap); here: the loaded
    # module imports mimalloc's entry points and mimalloc is mapped.
    import shutil
    import subprocess

    readelf = shutil.which("readelf")
    if readelf is None:
        pytest.skip("readelf not available")
    dyn = subprocess.run([readelf, "-W", "--dyn-syms", "-d", m.__file__], capture_output=True, text=True).stdout
    assert "libmimalloc" in dyn
    assert re.search(r"\bUND\b.*\bmi_free\b", dyn) and re.search(r"\bUND\b.*\bmi_new_nothrow\b", dyn)
    # The module exports nothing but its two entry points.
    defined = [line.split()[-1] for line in dyn.splitlines() if " GLOBAL " in line and " UND " not in line]
    assert sorted(defined) == ["PyInit__velmora", "PyModExport__velmora"]
    with open("/proc/self/maps") as maps:
        assert "libmimalloc" in maps.read()
