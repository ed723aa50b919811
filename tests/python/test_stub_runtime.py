"""The runtime surface against the type stub it is generated from.

The build writes every runtime docstring, text signature and argument-parser
table from python/velmora/_velmora.pyi (tools/gen_api.py). These tests read
the stub on their own (ast) and hold the module to it: the same public names,
the same parameters (names, kinds, defaults) as `inspect` reads them from the
text signatures, a docstring on everything, and parsers that take the
arguments the signatures promise. The last group runs the generator on small
made-up inputs for the mistakes it must refuse.
"""

import ast
import importlib.util
import inspect
import os
from pathlib import Path

import pytest

import velmora
import velmora._velmora as m

STUB = Path(velmora.__file__).with_name("_velmora.pyi")
TOOLS = Path(os.environ.get("VELMORA_HOME") or Path(__file__).resolve().parents[2]) / "tools"


def _stub():
    """{class or "": {name: ("method"|"static"|"property"|"ctor", FunctionDef)}} for public names."""
    out = {}
    tree = ast.parse(STUB.read_text())
    for node in tree.body:
        if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            out.setdefault("", {})[node.name] = ("function", node)
        if not isinstance(node, ast.ClassDef):
            continue
        members = out.setdefault(node.name, {})
        for f in node.body:
            if not isinstance(f, ast.FunctionDef):
                continue
            decos = {d.id for d in f.decorator_list if isinstance(d, ast.Name)}
            if f.name in ("__new__", "__init__"):
                members.setdefault(f.name, ("ctor", f))
            elif f.name.startswith("_"):
                continue
            elif "property" in decos:
                members[f.name] = ("property", f)
            elif "overload" in decos and f.name in members:
                members[f.name] = members[f.name] + (f,)
            else:
                members[f.name] = ("static" if "staticmethod" in decos else "method", f)
    return out


STUB_NAMES = _stub()


def _stub_params(kind, *defs):
    """[(name, kind, default)] of a stub signature as inspect would read the runtime's."""
    best = max(defs, key=lambda f: len(f.args.posonlyargs) + len(f.args.args) + len(f.args.kwonlyargs))
    a = best.args
    positional = [*a.posonlyargs, *a.args]
    skip = 0 if kind in ("static", "function") else 1
    defaults = {}
    for f in defs:  # overloads: the runtime has one signature, each default from any of them
        fa = f.args
        pos = [*fa.posonlyargs, *fa.args]
        for arg, d in zip(pos[len(pos) - len(fa.defaults):], fa.defaults):
            defaults.setdefault(arg.arg, ast.literal_eval(d))
        for arg, d in zip(fa.kwonlyargs, fa.kw_defaults):
            if d is not None:
                defaults.setdefault(arg.arg, ast.literal_eval(d))
    P = inspect.Parameter
    out = []
    for i, arg in enumerate(positional[skip:], skip):
        k = P.POSITIONAL_ONLY if i < len(a.posonlyargs) else P.POSITIONAL_OR_KEYWORD
        out.append((arg.arg, k, defaults.get(arg.arg, P.empty)))
    for arg in a.kwonlyargs:
        out.append((arg.arg, P.KEYWORD_ONLY, defaults.get(arg.arg, P.empty)))
    return out


def _runtime_params(obj, bound):
    params = list(inspect.signature(obj).parameters.values())
    if bound:
        assert params and params[0].name == "self"
        params = params[1:]
    return [(p.name, p.kind, p.default) for p in params]


def _classes():
    return [n for n in STUB_NAMES if n and isinstance(getattr(m, n, None), type)]


def test_public_names_match_the_stub():
    # A name the module has and the stub lacks (or the reverse) is a method
    # added or renamed on one side only.
    for cls in _classes():
        runtime = {n for n in vars(getattr(m, cls)) if not n.startswith("_")}
        runtime -= {n for n in runtime if isinstance(vars(getattr(m, cls))[n], getattr(m, cls))}  # H2Reason values
        stub = {n for n, (k, *_) in STUB_NAMES[cls].items() if k != "ctor"}
        assert runtime == stub, cls
    functions = {n for n, o in vars(m).items() if not n.startswith("_") and inspect.isbuiltin(o)}
    assert functions == set(STUB_NAMES[""])


def test_runtime_signatures_are_the_stub_signatures():
    # inspect reads the runtime's text signatures; the stub's signatures, read
    # here with ast, must give the same parameters, kinds and defaults.
    checked = 0
    for cls in ["", *_classes()]:
        owner = getattr(m, cls) if cls else m
        for name, (kind, *defs) in STUB_NAMES[cls].items():
            if kind == "property":
                continue
            if kind == "ctor":
                if name == "__init__" and "__new__" in STUB_NAMES[cls]:
                    continue
                if defs[0].args.vararg:
                    continue
                got = _runtime_params(owner, False)
                want = _stub_params("ctor", *defs)
            else:
                got = _runtime_params(getattr(owner, name), kind == "method")
                want = _stub_params(kind, *defs)
            assert got == want, f"{cls}.{name}"
            checked += 1
    assert checked > 150


def test_every_public_name_has_a_docstring():
    for cls in _classes():
        t = getattr(m, cls)
        assert t.__doc__ and t.__doc__.strip(), cls
        for name in STUB_NAMES[cls]:
            if name.startswith("_"):
                continue
            member = vars(t)[name]
            doc = member.__func__.__doc__ if isinstance(member, staticmethod) else member.__doc__
            assert doc and doc.strip(), f"{cls}.{name}"
    for name in STUB_NAMES[""]:
        assert getattr(m, name).__doc__, name
    # The text-signature line never leaks into the docstring.
    assert not m.HeaderMap.get.__doc__.startswith("get(")
    assert m.HeaderMap.get.__text_signature__ == "($self, name, default=None)"


def test_parsers_take_what_the_signatures_promise():
    h = m.HeaderMap()
    h.add(name="a", value="1")
    h.add("a", value="2")
    assert h.get("a") == b"1" and h.get("b") is None
    assert h.get("b", 7) == 7 and h.get(name="b", default=8) == 8 and h.get("b", default=9) == 9
    assert h.setdefault(value="3", name="c") == b"3"
    with pytest.raises(TypeError, match=r"get\(\) missing required argument 'name'"):
        h.get(default=1)
    with pytest.raises(TypeError, match=r"add\(\) takes at most 2 positional arguments \(3 given\)"):
        h.add("a", "1", "2")
    with pytest.raises(TypeError, match=r"add\(\) got an unexpected keyword argument 'val'"):
        h.add("a", val="1")
    with pytest.raises(TypeError, match=r"got multiple values for argument 'name'"):
        h.get("a", name="a")
    with pytest.raises(TypeError, match=r"get_all\(\) missing required argument 'name'"):
        h.get_all()
    # Keyword-only parameters of a static method; all optional.
    p = m.ProxyMatcher.from_parts(http="http://proxy:3128")
    assert p.intercept(url="http://example.org/").uri == "http://proxy:3128/"
    assert m.ProxyMatcher.from_parts().intercept("http://example.org/") is None
    with pytest.raises(TypeError, match="positional"):
        m.ProxyMatcher.from_parts("http://proxy:3128")
    # An optional parameter left out, by position and by keyword.
    c = m.H1ClientState(m.H1Codec(), object())
    assert c.watcher_completed(error=None)[0] == m.H1_WATCH_IGNORED
    assert c.fail() is not None and c.is_dead()
    with pytest.raises(TypeError, match="takes no arguments"):
        c.is_dead(1)
    # Constructors parse the same way: keywords, defaults, the same refusals.
    s = m.H1ServerState(transport=None, codec=m.H1Codec(), half_close=True)
    assert s.half_close and s.keep_alive_enabled
    assert m.H1BodyDecoder(length=3, kind="length").buffered == 0
    assert m.H2ContentLength().is_head() is False and m.H2ContentLength(is_head=True).is_head()
    assert int(m.H2Reason(code=8)) == 8
    with pytest.raises(TypeError, match=r"H1ServerState\(\) takes at most 2 positional arguments \(3 given\)"):
        m.H1ServerState(m.H1Codec(), None, True)
    with pytest.raises(TypeError, match=r"H1ClientState\(\) missing required argument 'transport'"):
        m.H1ClientState(m.H1Codec())
    with pytest.raises(TypeError, match=r"H2DataFrameBudget\(\) got an unexpected keyword argument 'window'"):
        m.H2DataFrameBudget(window=1)
    with pytest.raises(TypeError, match=r"OnceLatch\(\) takes no arguments"):
        m.OnceLatch(1)


def _load_generator():
    spec = importlib.util.spec_from_file_location("gen_api", TOOLS / "gen_api.py")
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


@pytest.mark.skipif(not (TOOLS / "gen_api.py").exists(), reason="needs the source tree")
def test_generator_refuses_what_the_runtime_cannot_express():
    g = _load_generator()
    stub = (
        "class A:\n"
        "    def __new__(cls, x: int, *, y: int = 2) -> A: ...\n"
        "    def f(self, /, a: int, b: int | None = None, *, c: bool = True) -> None:\n"
        '        """Short.\n\n        Long."""\n'
        "    @property\n"
        "    def p(self) -> int: ...\n"
        "def fn() -> None: ...\n"
    )
    classes, functions = g.parse_stub(stub)
    f = classes["A"].methods["f"]
    assert g.text_signature(f) == "($self, /, a, b=None, *, c=True)"
    assert g.parser_shape(f, "A.f") == (["a", "b", "c"], 2, 1)
    assert g.text_signature(classes["A"].ctor) == "(x, *, y=2)"
    assert g.runtime_doc("f", "($self, /)", "Short.\n\nLong.").startswith("f($self, /)\n--\n\nShort.")

    src = {
        "a.cc": "VELMORA_METHOD(A, f, c_f)\nVELMORA_GETTER(A, p, c_p)\n{Py_tp_doc, VELMORA_TYPE_DOC(A)}\n"
        "VELMORA_FUNCTION(fn, c_fn)\n"
    }
    assert g.check(classes, functions, src) == []
    errors = g.check(classes, functions, {"a.cc": src["a.cc"].replace("VELMORA_GETTER(A, p, c_p)", "")})
    assert errors == ["A.p is in the stub but not declared in the binding"]
    extra = "\n// VELMORA_METHOD(A, gone, x)\nVELMORA_METHOD(A, g, c_g)"
    errors = g.check(classes, functions, {"a.cc": src["a.cc"] + extra})
    assert errors == ["a.cc:7: A.g is declared but the stub has no such public name"]

    for bad, why in [
        ("class B:\n    def f(self, a: int = X) -> None: ...\n", "default must be a literal"),
        ("class B:\n    def f(self, a: int = 1, *, b: int) -> None: ...\n", "required parameter follows"),
        ("class B:\n    def f(self, *args: int) -> None: ...\n", "cannot be parsed"),
    ]:
        with pytest.raises(g.StubError, match=why):
            cs, fs = g.parse_stub(bad)
            g.render_header(cs, fs)
