"""Fails the build on a code line wider than the text column.

The theme's text column holds ``codewidth_columns`` characters of code at
the page width the guide is laid out for (``_static/guide.css`` sets the code
blocks' padding so that it does); a wider line is cut off at the column's edge
for a reader, who then sees half a call. Every literal block is measured: the
pages' own fences, the excerpts included from ``examples/`` and the indented
blocks of the generated reference. A wider line is a warning, and the guide is
built with warnings as errors.
"""

from __future__ import annotations

from docutils import nodes
from sphinx.util import logging

LOG = logging.getLogger(__name__)


def _check(app, doctree, docname):
    limit = app.config.codewidth_columns
    for block in doctree.findall(nodes.literal_block):
        text = block.astext()
        first = block.line or 0
        offset = 0
        if block.get("source") and block.get("linenos") is None:
            # An included file: report the line of the file, not of the page.
            offset = (block.get("highlight_args") or {}).get("linenostart", 1) - 1
        for i, line in enumerate(text.splitlines()):
            width = len(line.expandtabs())
            if width > limit:
                where = f"line {offset + i + 1} of the block" if offset else f"line {i + 1} of the block"
                LOG.warning("code line of %d columns is wider than the text column (%d): %s: %s",
                            width, limit, where, line.strip()[:60],
                            location=(docname, first + i if first else None),
                            type="codewidth", subtype="wide")


def setup(app):
    app.add_config_value("codewidth_columns", 80, "env")
    app.connect("doctree-resolved", _check)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
