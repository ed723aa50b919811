"""The reference pages, generated from the type stub ``velmora/_velmora.pyi``.

The stub is the one place where the module's names are described: this
extension reads it with :mod:`ast` (nothing is imported, so the pages build
without the extension module) and emits the Python domain's entries, one per
class, exception, function, method, property and constant, each with its
signature and the docstring written beside it. The guides' ``{py:class}`` and
``{py:meth}`` references resolve to these entries.

Usage, in a MyST page::

    ```{stub-reference} ../python/velmora/_velmora.pyi
    :module: velmora._velmora
    :only: H1*
    :exclude: H1_*
    ```

``:only:`` and ``:exclude:`` take space-separated shell patterns matched
against the top-level names; with neither, every public name is emitted.
The build fails (a warning, and warnings are errors) when a public name of the
stub appears on no page.
"""

from __future__ import annotations

import ast
import fnmatch
import inspect
import re
from pathlib import Path

from docutils.parsers.rst import Parser as RstParser
from docutils.parsers.rst import directives
from docutils.utils import new_document
from sphinx.util.docutils import SphinxDirective

EXCEPTION_ROOTS = {"BaseException", "Exception"}


# --- reading the stub ---------------------------------------------------------

def _docstring(body):
    if body and isinstance(body[0], ast.Expr) and isinstance(body[0].value, ast.Constant) \
            and isinstance(body[0].value.value, str):
        return ast.get_docstring(ast.Module(body=body[:1], type_ignores=[]), clean=True)
    return None


def _after_doc(body, i):
    """The attribute docstring: a string literal right after an assignment."""
    if i + 1 < len(body):
        nxt = body[i + 1]
        if isinstance(nxt, ast.Expr) and isinstance(nxt.value, ast.Constant) \
                and isinstance(nxt.value.value, str):
            return inspect.cleandoc(nxt.value.value)
    return None


def _decorators(fn):
    names = set()
    for d in fn.decorator_list:
        node = d.func if isinstance(d, ast.Call) else d
        if isinstance(node, ast.Attribute):
            names.add(node.attr)
        elif isinstance(node, ast.Name):
            names.add(node.id)
    return names


class Stub:
    """Public names of one stub, in their order, with their aliases expanded."""

    def __init__(self, path):
        self.path = Path(path)
        self.tree = ast.parse(self.path.read_text(encoding="utf-8"), str(self.path))
        self.aliases = {}
        self.classes = {}
        self.order = []  # (name, kind, node, doc)
        body = self.tree.body
        for i, node in enumerate(body):
            if isinstance(node, ast.Assign) and len(node.targets) == 1 \
                    and isinstance(node.targets[0], ast.Name):
                name = node.targets[0].id
                if name.startswith("_") and not _is_typevar(node.value):
                    self.aliases[name] = node.value
                continue
            if isinstance(node, ast.ClassDef):
                self.classes[node.name] = node
                if not node.name.startswith("_"):
                    self.order.append((node.name, "class", node, _docstring(node.body)))
            elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                if not node.name.startswith("_"):
                    self.order.append((node.name, "function", node, _docstring(node.body)))
            elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
                name = node.target.id
                if not name.startswith("_"):
                    self.order.append((name, "data", node, _after_doc(body, i)))
        # Overloads of one function come out as one entry.
        seen, merged = {}, []
        for entry in self.order:
            if entry[1] == "function" and entry[0] in seen:
                seen[entry[0]][2].append(entry[2])
                continue
            if entry[1] == "function":
                entry = (entry[0], entry[1], [entry[2]], entry[3])
                seen[entry[0]] = entry
            merged.append(entry)
        self.order = merged

    def is_exception(self, name, depth=0):
        node = self.classes.get(name)
        if node is None or depth > 20:
            return False
        for base in node.bases:
            b = ast.unparse(base)
            if b in EXCEPTION_ROOTS or b.endswith("Error") and b not in self.classes \
                    or self.is_exception(b, depth + 1):
                return True
        return False

    def expand(self, node):
        """Annotation text with the stub's private aliases written out."""
        stub = self

        class Expand(ast.NodeTransformer):
            def visit_Name(self, n):
                if n.id in stub.aliases:
                    return Expand().visit(ast.parse(ast.unparse(stub.aliases[n.id]), mode="eval").body)
                return n

        return ast.unparse(Expand().visit(ast.parse(ast.unparse(node), mode="eval").body))


def _is_typevar(value):
    return isinstance(value, ast.Call) and ast.unparse(value.func).endswith("TypeVar")


# --- signatures -----------------------------------------------------------------

def _signature(stub, fn, drop_first):
    a = fn.args
    parts = []
    positional = list(a.posonlyargs) + list(a.args)
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    pairs = list(zip(positional, defaults))
    if drop_first and pairs:
        pairs.pop(0)
        only = len(a.posonlyargs)
        if only:
            only -= 1
        posonly_count = only
    else:
        posonly_count = len(a.posonlyargs)

    def one(arg, default=None, star=""):
        text = star + arg.arg
        if arg.annotation is not None:
            text += ": " + stub.expand(arg.annotation)
            if default is not None:
                text += " = " + ast.unparse(default)
        elif default is not None:
            text += "=" + ast.unparse(default)
        return text

    for i, (arg, default) in enumerate(pairs):
        parts.append(one(arg, default))
        if posonly_count and i == posonly_count - 1:
            parts.append("/")
    if a.vararg is not None:
        parts.append(one(a.vararg, star="*"))
    elif a.kwonlyargs:
        parts.append("*")
    for arg, default in zip(a.kwonlyargs, a.kw_defaults):
        parts.append(one(arg, default))
    if a.kwarg is not None:
        parts.append(one(a.kwarg, star="**"))
    sig = "(" + ", ".join(parts) + ")"
    if fn.returns is not None:
        sig += " -> " + stub.expand(fn.returns)
    return sig


def _is_catch_all(fn):
    a = fn.args
    return a.vararg is not None and a.kwarg is not None and not a.kwonlyargs and len(a.args) <= 1


# --- docstrings as reStructuredText ------------------------------------------------

_INLINE = re.compile(r"``(.+?)``|`([^`]+)`")
_NAME = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*(\.[A-Za-z_][A-Za-z0-9_]*)*$")


def _escape(text):
    return re.sub(r"([\\*`|_\[\]<>:])", r"\\\1", text)


class Linker:
    def __init__(self, module, known):
        self.module = module
        self.known = known  # qualified name -> role

    def inline(self, text, here=None):
        out, pos = [], 0
        for m in _INLINE.finditer(text):
            out.append(_escape(text[pos:m.start()]))
            code = m.group(1) or m.group(2)
            out.append(self.code(code.strip(), here))
            pos = m.end()
        out.append(_escape(text[pos:]))
        return "".join(out)

    def code(self, code, here):
        target = code[:-2] if code.endswith("()") else code
        if _NAME.match(target):
            for candidate in ([f"{here}.{target}"] if here else []) + [target]:
                role = self.known.get(candidate)
                if role:
                    return f":py:{role}:`{code} <{self.module}.{candidate}>`"
        if "``" in code or code.endswith("\\"):
            return _escape(code)
        return f"``{code}``"


def _paragraphs(doc):
    block = []
    for line in doc.splitlines():
        if line.strip():
            block.append(line.rstrip())
        elif block:
            yield block
            block = []
    if block:
        yield block


def doc_lines(doc, linker, here, indent):
    """A plain-text docstring as reST: paragraphs, lists, indented blocks kept as they are."""
    if not doc:
        return []
    pad = " " * indent
    out = []
    for block in _paragraphs(doc):
        base = min(len(l) - len(l.lstrip()) for l in block)
        first = block[0].lstrip()
        if base > 0 or first.startswith((">>>", "$ ")):
            out += [pad + "::", ""] + [pad + "   " + l for l in block] + [""]
            continue
        if first.startswith(("- ", "* ")):
            items = []
            for l in block:
                s = l.lstrip()
                if s.startswith(("- ", "* ")) and len(l) - len(s) == 0:
                    items.append([s[2:]])
                elif items:
                    items[-1].append(s)
                else:
                    items.append([s])
            for item in items:
                out.append(pad + "- " + linker.inline(" ".join(item), here))
            out.append("")
            continue
        head, rest = block[0], block[1:]
        # A lead line followed by indented lines: a definition, kept as one paragraph.
        out.append(pad + linker.inline(" ".join(l.strip() for l in [head] + rest), here))
        out.append("")
    return out


# --- emitting -------------------------------------------------------------------------

def _known(stub):
    known = {}
    for name, kind, node, _doc in stub.order:
        if kind == "class":
            known[name] = "exc" if stub.is_exception(name) else "class"
            for member, mkind in _members(stub, node):
                known[f"{name}.{member[0]}"] = {"property": "attr", "attribute": "attr"}.get(mkind, "meth")
        elif kind == "function":
            known[name] = "func"
        else:
            known[name] = "data"
    return known


def _members(stub, cls):
    """((name, nodes, doc), kind) for every documented member of a class, in order."""
    found, index = [], {}
    body = cls.body
    for i, node in enumerate(body):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            if node.name in ("__init__", "__new__"):
                continue
            if node.name.startswith("_") and not (node.name.startswith("__") and node.name.endswith("__")):
                continue
            decs = _decorators(node)
            if "setter" in decs or "deleter" in decs:
                continue
            if node.name in index:
                found[index[node.name]][0][1].append(node)
                continue
            kind = "property" if "property" in decs else "method"
            index[node.name] = len(found)
            found.append(((node.name, [node], _docstring(node.body)), kind))
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            name = node.target.id
            if name.startswith("_"):
                continue
            found.append(((name, [node], _after_doc(body, i)), "attribute"))
    return found


def _class_signature(stub, cls):
    ctor = None
    for name in ("__new__", "__init__"):
        for node in cls.body:
            if isinstance(node, ast.FunctionDef) and node.name == name and not _is_catch_all(node):
                ctor = node
                break
        if ctor is not None:
            break
    if ctor is None:
        return ""
    sig = _signature(stub, ctor, drop_first=True)
    return sig.split(" -> ")[0]


def emit(stub, module, selected, linker):
    lines = []
    for name, kind, node, doc in selected:
        if kind == "data":
            lines += [f".. py:data:: {name}", f"   :type: {_data_type(stub, node)}"]
            if node.value is not None:
                lines.append(f"   :value: {ast.unparse(node.value)}")
            lines.append("")
            lines += doc_lines(doc, linker, None, 3)
        elif kind == "function":
            sigs = [name + _signature(stub, fn, drop_first=False) for fn in node]
            lines.append(f".. py:function:: {sigs[0]}")
            lines += [f"               {s}" for s in sigs[1:]]
            lines.append("")
            lines += doc_lines(doc, linker, None, 3)
        else:
            directive = "exception" if stub.is_exception(name) else "class"
            lines.append(f".. py:{directive}:: {name}{_class_signature(stub, node)}")
            if "final" in _decorators(node):
                lines.append("   :final:")
            lines.append("")
            lines += doc_lines(doc, linker, name, 3)
            for (mname, mnodes, mdoc), mkind in _members(stub, node):
                lines += _member(stub, name, mname, mnodes, mdoc, mkind, linker)
        lines.append("")
    return lines


def _data_type(stub, node):
    ann = node.annotation
    if isinstance(ann, ast.Subscript) and ast.unparse(ann.value) in ("Final", "typing.Final", "ClassVar"):
        ann = ann.slice
    return stub.expand(ann)


def _member(stub, cls, name, fns, doc, kind, linker):
    pad = "   "
    if kind == "attribute":
        node = fns[0]
        out = [f"{pad}.. py:attribute:: {name}", f"{pad}   :type: {_data_type(stub, node)}"]
        if node.value is not None:
            out.append(f"{pad}   :value: {ast.unparse(node.value)}")
        return out + [""] + doc_lines(doc, linker, cls, 6)
    fn = fns[0]
    if kind == "property":
        out = [f"{pad}.. py:property:: {name}"]
        if fn.returns is not None:
            out.append(f"{pad}   :type: {stub.expand(fn.returns)}")
        return out + [""] + doc_lines(doc, linker, cls, 6)
    decs = _decorators(fn)
    drop = "staticmethod" not in decs
    sigs = [name + _signature(stub, f, drop_first=drop) for f in fns]
    out = [f"{pad}.. py:method:: {sigs[0]}"] + [f"{pad}             {s}" for s in sigs[1:]]
    if "staticmethod" in decs:
        out.append(f"{pad}   :staticmethod:")
    if "classmethod" in decs:
        out.append(f"{pad}   :classmethod:")
    if "abstractmethod" in decs:
        out.append(f"{pad}   :abstractmethod:")
    if "final" in decs:
        out.append(f"{pad}   :final:")
    return out + [""] + doc_lines(doc, linker, cls, 6)


def _patterns(text):
    return text.split() if text else []


def _stub(env, argument):
    path = Path(env.relfn2path(argument, env.docname)[1]).resolve()
    env.note_dependency(str(path))
    cache = env.app.__dict__.setdefault("_stubref_cache", {})
    if path not in cache:
        cache[path] = Stub(path)
    return path, cache[path]


class StubReference(SphinxDirective):
    required_arguments = 1
    option_spec = {"module": directives.unchanged_required, "only": directives.unchanged,
                   "exclude": directives.unchanged, "declare-module": directives.flag}

    def run(self):
        path, stub = _stub(self.env, self.arguments[0])
        module = self.options.get("module", "velmora._velmora")
        only = _patterns(self.options.get("only"))
        exclude = _patterns(self.options.get("exclude"))
        selected = [e for e in stub.order
                    if (not only or any(fnmatch.fnmatchcase(e[0], p) for p in only))
                    and not any(fnmatch.fnmatchcase(e[0], p) for p in exclude)]
        shown = self.env.__dict__.setdefault("stubref_shown", {})
        mine = shown.setdefault(self.env.docname, set())
        mine.update((str(path), e[0]) for e in selected)
        head = [f".. py:module:: {module}", ""] if "declare-module" in self.options \
            else [f".. py:currentmodule:: {module}", ""]
        lines = head + [""] + emit(stub, module, selected, Linker(module, _known(stub)))
        # The entries are reStructuredText whatever the page's own markup is.
        doc = new_document(str(path), self.state.document.settings)
        doc.reporter = self.state.document.reporter
        RstParser().parse("\n".join(lines), doc)
        return list(doc.children)


def _check(app, env):
    by_path = {}
    for pairs in env.__dict__.get("stubref_shown", {}).values():
        for path, name in pairs:
            by_path.setdefault(path, set()).add(name)
    for path, names in by_path.items():
        stub = app.__dict__.get("_stubref_cache", {}).get(Path(path)) or Stub(path)
        missing = [n for n, *_ in stub.order if n not in names]
        if missing:
            from sphinx.util import logging
            logging.getLogger(__name__).warning(
                "names of %s on no reference page: %s", path, ", ".join(missing))


def _purge(app, env, docname):
    # Re-reading a page re-collects what it shows.
    env.__dict__.setdefault("stubref_shown", {}).pop(docname, None)


def setup(app):
    app.add_directive("stub-reference", StubReference)
    app.connect("env-updated", lambda app, env: _check(app, env) or [])
    app.connect("env-purge-doc", _purge)
    return {"version": "1", "parallel_read_safe": False, "parallel_write_safe": True}
