"""The code the guides show runs.

Every ```python block written in docs/ runs here; the blocks of one page run
in order in one namespace, as a reader would type them. Code the pages
include from examples/ is not here: the end-to-end suite runs the examples.
"""

import re
from pathlib import Path

import pytest

DOCS = Path(__file__).resolve().parents[2] / "docs"
FENCE = re.compile(r"^(`{3,}|~{3,})\s*([^\s`]*)")


def python_blocks(path):
    """(first line number, source) of each python fence of a page."""
    blocks, lines = [], path.read_text(encoding="utf-8").splitlines()
    i = 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        fence, lang = m.groups()
        end = i + 1
        # The block ends at a line of the same fence character, at least as long.
        while end < len(lines) and not re.fullmatch(
                re.escape(fence[0]) + "{%d,}\\s*" % len(fence), lines[end]):
            end += 1
        if lang in ("python", "py", "python3"):
            blocks.append((i + 2, "\n".join(lines[i + 1:end])))
        i = end + 1
    return blocks


PAGES = sorted(p for p in DOCS.rglob("*.md") if python_blocks(p))


def test_the_guides_have_code():
    # A fence syntax this file no longer recognises would silently test nothing.
    assert PAGES, "no python blocks found under docs/"


@pytest.mark.parametrize("page", PAGES, ids=lambda p: str(p.relative_to(DOCS)))
def test_page_blocks_run(page):
    namespace = {"__name__": f"guide_{page.stem}"}
    for line, source in python_blocks(page):
        code = compile("\n" * (line - 1) + source, str(page), "exec")
        exec(code, namespace)
