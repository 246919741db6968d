"""Signatures with types for the extension module's functions and methods, and
its docstrings made valid reStructuredText.

A C function's runtime signature (from its __text_signature__) has names and
defaults but no types; the stub python/karvalith/_karvalith.pyi has the types.
This extension reads the stub installed beside the module and gives autodoc the
stub's signature for each documented object of karvalith._karvalith. An object
the stub lacks, or whose parameters differ from the stub's, is a warning, so a
build with warnings as errors fails when the stub falls behind the module.
"""

from __future__ import annotations

import ast
import copy
import inspect
from pathlib import Path
from typing import Any, Optional

from sphinx.application import Sphinx
from sphinx.util import logging

logger = logging.getLogger(__name__)
MODULE = "karvalith._karvalith"


def load_stub(module: Any) -> dict[str, ast.FunctionDef]:
    """Every function of the stub by qualified name ("fuse", "Karvalith.search")."""
    path = Path(module.__file__).with_name("_karvalith.pyi")
    tree = ast.parse(path.read_text(encoding="utf-8"))
    functions: dict[str, ast.FunctionDef] = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            functions[node.name] = node
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    # A property's getter: the return type is the attribute's.
                    functions[f"{node.name}.{item.name}"] = item
    return functions


def stub_parameters(function: ast.FunctionDef) -> list[str]:
    arguments = function.args
    names = [a.arg for a in arguments.posonlyargs + arguments.args + arguments.kwonlyargs]
    return [n for n in names if n != "self"]


def render(function: ast.FunctionDef) -> tuple[str, Optional[str]]:
    arguments = copy.deepcopy(function.args)
    arguments.posonlyargs = [a for a in arguments.posonlyargs if a.arg != "self"]
    if arguments.args and arguments.args[0].arg == "self":
        arguments.args = arguments.args[1:]
    text = "(" + ast.unparse(arguments) + ")"
    returns = ast.unparse(function.returns) if function.returns is not None else None
    return text, returns


def process_signature(app: Sphinx, what: str, name: str, obj: Any, options: Any, signature: Optional[str],
                      return_annotation: Optional[str]) -> Optional[tuple[Optional[str], Optional[str]]]:
    module = getattr(obj, "__module__", None) or getattr(getattr(obj, "__objclass__", None), "__module__", None)
    if what not in ("function", "method", "class"):
        return None
    runtime = inspect.getmodule(obj) if what == "function" else None
    if what == "function" and (runtime is None or runtime.__name__ != MODULE):
        return None
    if what in ("method", "class") and module not in (MODULE, "karvalith"):
        return None
    stub = app.env.karvalith_stub  # type: ignore[attr-defined]
    qualified = name.split(".", 1)[1].removeprefix("_karvalith.")
    key = qualified + ".__init__" if what == "class" else qualified
    function = stub.get(key)
    if function is None:
        if what != "class":
            logger.warning("%s has no entry in the stub _karvalith.pyi", name)
        return None
    try:
        runtime_parameters = [p for p in inspect.signature(obj).parameters if p != "self"]
    except (TypeError, ValueError):
        runtime_parameters = None
    if runtime_parameters is not None and runtime_parameters != stub_parameters(function):
        logger.warning("%s takes %s, the stub says %s", name, runtime_parameters, stub_parameters(function))
    text, returns = render(function)
    return text, (None if what == "class" else returns)


# Napoleon's section headers: what follows them is left to napoleon.
SECTIONS = {"Args:", "Arguments:", "Parameters:", "Returns:", "Return:", "Raises:", "Yields:"}


def indent_of(line: str) -> int:
    return len(line) - len(line.lstrip())


def plain_text_to_rest(lines: list[str]) -> list[str]:
    """The docstrings are plain text: an indented block after a line ending in
    a colon is shown as written (a literal block); indented lines continuing a
    sentence (a hanging indent) join its paragraph."""
    out: list[str] = []
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.strip() in SECTIONS and indent_of(line) == 0:
            out.append(line)
            i += 1
            while i < len(lines) and (not lines[i].strip() or indent_of(lines[i]) > 0):
                out.append(lines[i])
                i += 1
            continue
        following = lines[i + 1] if i + 1 < len(lines) else ""
        if line.strip() and following.strip() and indent_of(following) > indent_of(line):
            block_start = i + 1
            block_end = block_start
            while block_end < len(lines) and lines[block_end].strip() and indent_of(lines[block_end]) > indent_of(line):
                block_end += 1
            block = lines[block_start:block_end]
            if line.rstrip().endswith(":"):
                out += [line.rstrip() + ":", ""] + block + [""]
            else:
                out += [line] + [b.strip() for b in block]
            i = block_end
            continue
        out.append(line)
        i += 1
    return out


def process_docstring(app: Sphinx, what: str, name: str, obj: Any, options: Any, lines: list[str]) -> None:
    module = getattr(obj, "__module__", None) or getattr(getattr(obj, "__objclass__", None), "__module__", None)
    if module in (MODULE, "karvalith") or name.startswith("karvalith._karvalith."):
        lines[:] = plain_text_to_rest(lines)


def builder_inited(app: Sphinx) -> None:
    import karvalith._karvalith as module

    app.env.karvalith_stub = load_stub(module)  # type: ignore[attr-defined]


def setup(app: Sphinx) -> dict[str, Any]:
    app.connect("builder-inited", builder_inited)
    app.connect("autodoc-process-signature", process_signature)
    app.connect("autodoc-process-docstring", process_docstring, priority=400)  # before napoleon
    return {"parallel_read_safe": True, "parallel_write_safe": True}
