"""Sphinx configuration of the Karvalith documentation.

Built by scripts/docs.sh (warnings are errors) against the installed package:
the API reference takes its prose from the extension's docstrings and its
types from the stub, python/karvalith/_karvalith.pyi.
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "_ext"))

import karvalith  # noqa: E402  (the installed package: autodoc imports it)

project = "Karvalith"
author = "the Karvalith developers"
copyright = "2026, the Karvalith developers"
release = karvalith.__version__
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "stub_signatures",
]
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
exclude_patterns = ["_build"]
myst_heading_anchors = 3

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
napoleon_google_docstring = True
napoleon_numpy_docstring = False
# Names the stubs use that Sphinx cannot link anywhere.
nitpicky = False

html_theme = "furo"
html_title = f"Karvalith {release}"
