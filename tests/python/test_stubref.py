"""The reference pages' generator (docs/_ext/stubref.py) reads the stub right.

The docs build checks that every entry it emits parses and that every
cross-reference resolves; these check what it emits against a stub written
the way ours is: constructors, overloads, properties, aliases, exceptions.
"""

import re
import sys
from pathlib import Path

import pytest

pytest.importorskip("sphinx")
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "docs" / "_ext"))
import stubref  # noqa: E402

STUB = '''
from typing import Final, Self, final, overload
_Name = str | bytes

VERSION: Final[str]
"""The version."""

class BaseError(Exception): ...
class LeafError(BaseError):
    """A leaf."""

@final
class Conn:
    """A connection.

    - first item
      continued
    - second item

    Use `Conn.send` or `missing_name`; `Conn.send()` too.

        indented = "kept as it is"
    """
    def __new__(cls, role: str, *, window: int = 65535) -> Self: ...
    def __init__(self, *args: object, **kwargs: object) -> None: ...
    @overload
    def get(self, name: _Name) -> bytes | None: ...
    @overload
    def get(self, name: _Name, default: int) -> bytes | int: ...
    def send(self, data: bytes, /, end: bool = False) -> int:
        """Send."""
    @staticmethod
    def check(x: int) -> bool: ...
    @property
    def closed(self) -> bool:
        """Whether it is closed."""
    def _private(self) -> None: ...
    def __len__(self) -> int: ...
'''


@pytest.fixture
def emitted(tmp_path):
    path = tmp_path / "s.pyi"
    path.write_text(STUB)
    stub = stubref.Stub(path)
    lines = stubref.emit(stub, "m", stub.order, stubref.Linker("m", stubref._known(stub)))
    return stub, "\n".join(lines)


def test_entries_and_signatures(emitted):
    stub, text = emitted
    assert [name for name, *_ in stub.order] == ["VERSION", "BaseError", "LeafError", "Conn"]
    assert ".. py:data:: VERSION\n   :type: str" in text
    assert ".. py:exception:: BaseError" in text and ".. py:exception:: LeafError" in text
    # The constructor is __new__'s when __init__ only forwards everything.
    assert ".. py:class:: Conn(role: str, *, window: int = 65535)\n   :final:" in text
    # Overloads are one entry with both signatures, aliases written out.
    assert (".. py:method:: get(name: str | bytes) -> bytes | None\n"
            "                get(name: str | bytes, default: int) -> bytes | int") in text
    assert ".. py:method:: send(data: bytes, /, end: bool = False) -> int" in text
    assert ".. py:method:: check(x: int) -> bool\n      :staticmethod:" in text
    assert ".. py:property:: closed\n      :type: bool" in text
    assert "__len__() -> int" in text
    assert "_private" not in text and "__init__" not in text and "_Name" not in text


def test_docstrings_become_rest(emitted):
    _, text = emitted
    assert "The version." in text and "A leaf." in text
    assert "   - first item continued\n   - second item\n" in text
    # Known names link to their entries, unknown ones stay literal.
    assert ":py:meth:`Conn.send <m.Conn.send>`" in text
    assert ":py:meth:`Conn.send() <m.Conn.send>`" in text
    assert "``missing_name``" in text
    # An indented block is a literal block, its text untouched.
    assert re.search(r'\n   ::\n\n +indented = "kept as it is"\n', text)
