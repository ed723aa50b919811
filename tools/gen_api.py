"""Generate the binding's method declarations from the type stub.

The stub python/velmora/_velmora.pyi is the one source of every description
and signature of the module. This script reads it with `ast` and writes a C++
header with, for each class, method, function and property:

- the runtime docstring: for a callable, its text-signature line
  "name(sig)\\n--\\n\\n" (derived from the stub's signature) followed by the
  stub's docstring; for a class, the same with the constructor's signature;
- for a callable, the METH_* flags and what the argument parser needs: the
  parameter names, how many may be given by position, how many are required.

    gen_api.py header STUB OUT        write the header (only when it changed)
    gen_api.py check STUB STAMP SRC.. every declaration in the sources names
                                      something in the stub, and every public
                                      name of the stub is declared

The binding declares each method once, with the macros of src/api.h:

    VELMORA_METHOD(Class, name, c_function)   a PyMethodDef entry
    VELMORA_FUNCTION(name, c_function)        a module-level function
    VELMORA_GETTER(Class, name, c_getter)     a PyGetSetDef entry
    VELMORA_MEMBER(Class, name, type, offset) a read-only PyMemberDef entry
    VELMORA_TYPE_DOC(Class)                   the class docstring
"""

from __future__ import annotations

import ast
import re
import sys
from dataclasses import dataclass, field
from pathlib import Path

# C++ keywords a Python name could collide with; such names get a trailing _.
CPP_KEYWORDS = {
    "and", "auto", "bool", "break", "case", "catch", "char", "class", "const", "continue", "default", "delete",
    "do", "double", "else", "enum", "explicit", "export", "extern", "false", "float", "for", "friend", "goto",
    "if", "inline", "int", "long", "mutable", "namespace", "new", "not", "operator", "or", "private",
    "protected", "public", "register", "return", "short", "signed", "sizeof", "static", "struct", "switch",
    "template", "this", "throw", "true", "try", "typedef", "typename", "union", "unsigned", "using", "virtual",
    "void", "volatile", "while", "xor",
}

# The namespace that holds module-level functions.
MODULE = "module"


class StubError(Exception):
    """The stub cannot give the runtime what it needs (with the line)."""


@dataclass
class Param:
    name: str
    kind: str  # "posonly", "normal", "kwonly", "varargs", "varkw"
    default: object = None
    has_default: bool = False


@dataclass
class Callable:
    name: str
    params: list[Param]  # without self / cls
    bound: str | None  # "$self", "$type" or None (static, module function)
    self_posonly: bool  # "self, /" in the stub
    doc: str | None
    line: int


@dataclass
class Property:
    name: str
    doc: str | None


@dataclass
class Class:
    name: str
    doc: str | None
    bases: list[str]
    ctor: Callable | None = None
    methods: dict[str, Callable] = field(default_factory=dict)
    properties: dict[str, Property] = field(default_factory=dict)


def _decorators(node: ast.FunctionDef) -> set[str]:
    names = set()
    for d in node.decorator_list:
        if isinstance(d, ast.Name):
            names.add(d.id)
        elif isinstance(d, ast.Attribute):
            names.add(d.attr)
    return names


def _default(node: ast.expr, where: str) -> object:
    try:
        return ast.literal_eval(node)
    except ValueError:
        raise StubError(f"{where}: the default must be a literal (the runtime text signature shows it)") from None


def _callable(node: ast.FunctionDef, where: str, bound: str | None) -> Callable:
    a = node.args
    positional = [*a.posonlyargs, *a.args]
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    params = []
    for i, arg in enumerate(positional):
        kind = "posonly" if i < len(a.posonlyargs) else "normal"
        d = defaults[i]
        params.append(Param(arg.arg, kind, _default(d, where) if d else None, d is not None))
    if a.vararg:
        params.append(Param(a.vararg.arg, "varargs"))
    for arg, d in zip(a.kwonlyargs, a.kw_defaults):
        params.append(Param(arg.arg, "kwonly", _default(d, where) if d else None, d is not None))
    if a.kwarg:
        params.append(Param(a.kwarg.arg, "varkw"))
    self_posonly = False
    if bound:
        if not params or params[0].kind not in ("posonly", "normal"):
            raise StubError(f"{where}: a method takes self (or cls) first")
        self_posonly = params[0].kind == "posonly"
        params = params[1:]
    return Callable(node.name, params, bound, self_posonly, ast.get_docstring(node, clean=True), node.lineno)


def _merge_overloads(name: str, variants: list[Callable]) -> Callable:
    # The runtime has one signature: the longest overload's parameters, each
    # with the default any overload gives it, the first overload's docstring.
    longest = max(variants, key=lambda c: len(c.params))
    params = []
    for p in longest.params:
        merged = Param(p.name, p.kind, p.default, p.has_default)
        for v in variants:
            for q in v.params:
                if q.name == p.name and q.has_default and not merged.has_default:
                    merged.default, merged.has_default = q.default, True
        params.append(merged)
    doc = next((v.doc for v in variants if v.doc), None)
    first = variants[0]
    return Callable(name, params, first.bound, any(v.self_posonly for v in variants), doc, first.line)


def _collect(body: list[ast.stmt], where: str, bound_methods: bool) -> tuple[dict, dict]:
    calls: dict[str, list[Callable]] = {}
    props: dict[str, Property] = {}
    for node in body:
        if not isinstance(node, ast.FunctionDef):
            continue
        deco = _decorators(node)
        loc = f"{where}.{node.name} (line {node.lineno})"
        if "property" in deco:
            props[node.name] = Property(node.name, ast.get_docstring(node, clean=True))
            continue
        if any(d.endswith("setter") or d.endswith("deleter") for d in deco):
            continue
        if not bound_methods or "staticmethod" in deco:
            bound = None
        elif "classmethod" in deco or node.name == "__new__":
            bound = "$type"
        else:
            bound = "$self"
        calls.setdefault(node.name, []).append(_callable(node, loc, bound))
    merged = {n: v[0] if len(v) == 1 else _merge_overloads(n, v) for n, v in calls.items()}
    return merged, props


def _takes_anything(c: Callable) -> bool:
    # __init__(self, *args, **kwargs) beside __new__ says nothing of the signature.
    return bool(c.params) and all(p.kind in ("varargs", "varkw") for p in c.params)


def parse_stub(text: str) -> tuple[dict[str, Class], dict[str, Callable]]:
    tree = ast.parse(text)
    classes: dict[str, Class] = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            calls, props = _collect(node.body, node.name, True)
            bases = [b.id for b in node.bases if isinstance(b, ast.Name)]
            c = Class(node.name, ast.get_docstring(node, clean=True), bases)
            ctor = calls.pop("__new__", None)
            init = calls.pop("__init__", None)
            if ctor is None or _takes_anything(ctor):
                if init is not None and not _takes_anything(init):
                    ctor = init
            if ctor is not None:
                ctor.bound = None  # the class's signature shows no cls/self
            c.ctor = ctor
            c.methods = {n: m for n, m in calls.items() if not n.startswith("_")}
            c.properties = {n: p for n, p in props.items() if not n.startswith("_")}
            classes[node.name] = c
    functions, _ = _collect(tree.body, "module", False)
    functions = {n: f for n, f in functions.items() if not n.startswith("_")}
    return classes, functions


def text_signature(c: Callable) -> str:
    parts = []
    if c.bound:
        parts.append(c.bound)
        if c.self_posonly or not c.params:
            parts.append("/")
    star = False
    for i, p in enumerate(c.params):
        if p.kind == "varargs":
            parts.append("*" + p.name)
            star = True
            continue
        if p.kind == "varkw":
            parts.append("**" + p.name)
            continue
        if p.kind == "kwonly" and not star:
            parts.append("*")
            star = True
        parts.append(f"{p.name}={p.default!r}" if p.has_default else p.name)
        if p.kind == "posonly" and (i + 1 == len(c.params) or c.params[i + 1].kind != "posonly"):
            parts.append("/")
    return "(" + ", ".join(parts) + ")"


def parser_shape(c: Callable, where: str) -> tuple[list[str], int, int]:
    """(names, max_positional, required) as the binding's parse_args takes them."""
    params = [p for p in c.params if p.kind not in ("varargs", "varkw")]
    if len(params) != len(c.params):
        raise StubError(f"{where}: *args and **kwargs cannot be parsed into named slots")
    if any(p.kind == "posonly" for p in params):
        raise StubError(f"{where}: positional-only parameters other than self are not supported")
    names = [p.name for p in params]
    max_positional = sum(p.kind == "normal" for p in params)
    required = 0
    while required < len(params) and not params[required].has_default:
        required += 1
    if any(not p.has_default for p in params[required:]):
        raise StubError(f"{where}: a required parameter follows an optional one; the parser takes the "
                        "required ones first")
    return names, max_positional, required


def runtime_doc(name: str, sig: str | None, doc: str | None) -> str:
    head = f"{name}{sig}\n--\n\n" if sig is not None else ""
    return head + (doc or "")


def cpp_string(s: str) -> str:
    out = []
    for ch in s:
        if ch == "\\":
            out.append("\\\\")
        elif ch == '"':
            out.append('\\"')
        elif ch == "\n":
            out.append("\\n")
        elif ord(ch) < 0x20 or ord(ch) == 0x7F:
            out.append(f"\\{ord(ch):03o}")
        else:
            out.append(ch)
    # Split at line breaks so that the header reads like the docstring.
    text = "".join(out).replace("\\n", "\\n\"\n    \"")
    return f'"{text}"'


def cpp_ident(name: str) -> str:
    return name + "_" if name in CPP_KEYWORDS else name


def _callable_struct(owner: str, c: Callable) -> list[str]:
    where = f"{owner}.{c.name} (line {c.line})"
    names, max_positional, required = parser_shape(c, where)
    if c.bound == "$type":
        flags = "METH_CLASS | " + ("METH_NOARGS" if not names else "METH_FASTCALL | METH_KEYWORDS")
    elif c.bound is None and owner != MODULE:
        flags = "METH_STATIC | " + ("METH_NOARGS" if not names else "METH_FASTCALL | METH_KEYWORDS")
    else:
        flags = "METH_NOARGS" if not names else "METH_FASTCALL | METH_KEYWORDS"
    name_list = ", ".join(f'"{n}"' for n in names)
    return [
        f"struct {cpp_ident(c.name)} {{",
        f'  static constexpr const char kName[] = "{c.name}";',
        f"  static constexpr const char kDoc[] =\n    {cpp_string(runtime_doc(c.name, text_signature(c), c.doc))};",
        f"  static constexpr int kFlags = {flags};",
        f"  static constexpr int kCount = {len(names)};",
        f"  static constexpr const char* kNames[] = {{{name_list or 'nullptr'}}};",
        f"  static constexpr int kMaxPositional = {max_positional};",
        f"  static constexpr int kRequired = {required};",
        "};",
    ]


def render_header(classes: dict[str, Class], functions: dict[str, Callable]) -> str:
    out = [
        "// Generated by tools/gen_api.py from python/velmora/_velmora.pyi: edit the stub, not this file.",
        "#pragma once",
        "",
        "#define PY_SSIZE_T_CLEAN",
        "#include <Python.h>",
        "",
        "namespace velmora::py::api {",
    ]
    for c in classes.values():
        out.append("")
        out.append(f"namespace {c.name} {{")
        sig = text_signature(c.ctor) if c.ctor else None
        out.append(f"inline constexpr const char kTypeDoc[] =\n    {cpp_string(runtime_doc(c.name, sig, c.doc))};")
        if c.ctor:
            names, max_positional, required = parser_shape(c.ctor, f"{c.name} constructor (line {c.ctor.line})")
            name_list = ", ".join(f'"{n}"' for n in names)
            out += [
                "struct constructor {",
                f'  static constexpr const char kName[] = "{c.name}";',
                f"  static constexpr int kCount = {len(names)};",
                f"  static constexpr const char* kNames[] = {{{name_list or 'nullptr'}}};",
                f"  static constexpr int kMaxPositional = {max_positional};",
                f"  static constexpr int kRequired = {required};",
                "};",
            ]
        for m in c.methods.values():
            out += _callable_struct(c.name, m)
        for p in c.properties.values():
            doc = cpp_string(p.doc) if p.doc else "nullptr"
            out += [
                f"struct {cpp_ident(p.name)} {{",
                f'  static constexpr const char kName[] = "{p.name}";',
                f"  static constexpr const char* kDoc = {doc};",
                "};",
            ]
        out.append(f"}}  // namespace {c.name}")
    out.append("")
    out.append(f"namespace {MODULE} {{")
    for f in functions.values():
        out += _callable_struct(MODULE, f)
    out.append(f"}}  // namespace {MODULE}")
    out.append("")
    out.append("}  // namespace velmora::py::api")
    return "\n".join(out) + "\n"


# ---- The declarations in the binding's sources ----------------------------------

DECLARATION = re.compile(
    r"\bVELMORA_(METHOD|GETTER|MEMBER)\(\s*(\w+)\s*,\s*(\w+)"
    r"|\bVELMORA_FUNCTION\(\s*(\w+)"
    r"|\bVELMORA_TYPE_DOC\(\s*(\w+)\s*\)"
)


def declarations(sources: dict[str, str]) -> dict[tuple[str, str], list[str]]:
    """(owner, name) -> where each is declared; the class docstring is (Class, "")."""
    found: dict[tuple[str, str], list[str]] = {}
    for path, text in sources.items():
        # Comments may show the macros as examples.
        code = re.sub(r"//[^\n]*", "", text)
        for m in DECLARATION.finditer(code):
            line = code.count("\n", 0, m.start()) + 1
            if m.group(1):
                key = (m.group(2), m.group(3))
            elif m.group(4):
                key = (MODULE, m.group(4))
            else:
                key = (m.group(5), "")
            found.setdefault(key, []).append(f"{path}:{line}")
    return found


def check(classes: dict[str, Class], functions: dict[str, Callable], sources: dict[str, str]) -> list[str]:
    """Every mismatch between the stub and the declarations, one message each."""
    wanted: set[tuple[str, str]] = set()
    for c in classes.values():
        wanted.add((c.name, ""))
        wanted |= {(c.name, n) for n in c.methods}
        wanted |= {(c.name, n) for n in c.properties}
    wanted |= {(MODULE, n) for n in functions}
    found = declarations(sources)
    errors = []
    for owner, name in sorted(wanted - found.keys()):
        if not name:
            errors.append(f"class {owner} is in the stub but no VELMORA_TYPE_DOC({owner}) declares its docstring")
        elif owner == MODULE:
            errors.append(f"function {name} is in the stub but not declared with VELMORA_FUNCTION")
        else:
            errors.append(f"{owner}.{name} is in the stub but not declared in the binding")
    for key in sorted(found.keys() - wanted):
        owner, name = key
        label = f"{owner}.{name}" if name else f"class {owner}"
        errors.append(f"{found[key][0]}: {label} is declared but the stub has no such public name")
    return errors


def main(argv: list[str]) -> int:
    try:
        if len(argv) == 3 and argv[0] == "header":
            classes, functions = parse_stub(Path(argv[1]).read_text())
            text = render_header(classes, functions)
            out = Path(argv[2])
            if not out.exists() or out.read_text() != text:
                out.parent.mkdir(parents=True, exist_ok=True)
                out.write_text(text)
            return 0
        if len(argv) >= 3 and argv[0] == "check":
            classes, functions = parse_stub(Path(argv[1]).read_text())
            sources = {p: Path(p).read_text() for p in argv[3:]}
            errors = check(classes, functions, sources)
            if errors:
                for e in errors:
                    print(f"gen_api: {e}", file=sys.stderr)
                print(f"gen_api: the stub ({argv[1]}) and the binding's declarations disagree", file=sys.stderr)
                return 1
            Path(argv[2]).write_text("ok\n")
            return 0
    except StubError as e:
        print(f"gen_api: {argv[1]}: {e}", file=sys.stderr)
        return 1
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
