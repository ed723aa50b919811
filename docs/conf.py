"""Sphinx configuration of velmora's protocol core guide."""

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "_ext"))

project = "velmora protocol core"
author = "velmora developers"
copyright = "velmora developers"

extensions = ["myst_parser", "stubref"]
source_suffix = {".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "Thumbs.db", ".DS_Store"]
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence"]

nitpicky = True
# Names the stub's annotations use that are not part of this module.
nitpick_ignore = [
    ("py:class", name) for name in (
        "_T", "Self", "Iterable", "Iterator", "Mapping", "Literal", "ClassVar", "Final",
        "TypeVar", "Buffer", "collections.abc.Buffer", "types.TracebackType",
    )
]

html_theme = "alabaster"
html_title = "velmora protocol core"
html_static_path = []
html_theme_options = {"page_width": "1100px", "sidebar_width": "260px"}
pygments_style = "sphinx"
