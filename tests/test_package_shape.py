"""The package's shape: its import graph has no cycle (function-level
imports included), the two writers are siblings behind one constructor,
and the limits and names of the sharded layout are written once."""

from __future__ import annotations

import ast
import pathlib
import re

import pytest

import tarndb
from tarndb._file_writer import FileWriter
from tarndb.sharded.writer import ShardedWriter

PACKAGE = pathlib.Path(tarndb.__file__).resolve().parent


def modules() -> dict[str, pathlib.Path]:
    """Every module of the package: its Python files, and its native modules
    (by their stubs), which import nothing of the package."""
    found = {}
    for path in PACKAGE.rglob("*.py"):
        parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
        name = ".".join(parts[:-1] if parts[-1] == "__init__" else parts)
        found[name] = path
    for stub in PACKAGE.glob("*.pyi"):
        found.setdefault(f"tarndb.{stub.stem}", stub)
    return found


def import_graph() -> dict[str, set[str]]:
    """Module -> the package modules it imports, anywhere in its body.
    ``from tarndb import x`` is an edge to ``tarndb.x`` when that is a
    module, else to ``tarndb`` itself; a dotted import is also an edge to
    every package on its way except the top-level one, which is already
    being imported whenever one of its modules is."""
    mods = modules()
    graph: dict[str, set[str]] = {}
    for name, path in mods.items():
        package = name if path.name == "__init__.py" else name.rpartition(".")[0]
        targets: set[str] = set()
        if path.suffix == ".pyi":
            graph[name] = set()
            continue
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.Import):
                targets.update(a.name for a in node.names)
            elif isinstance(node, ast.ImportFrom):
                base = node.module or ""
                if node.level:
                    up = package.split(".")[: len(package.split(".")) - node.level + 1]
                    base = ".".join([*up, base] if base else up)
                for alias in node.names:
                    targets.add(f"{base}.{alias.name}" if f"{base}.{alias.name}" in mods else base)
        edges = set()
        for target in targets:
            parts = target.split(".")
            if target in mods:
                edges.add(target)
            edges.update(".".join(parts[:i]) for i in range(2, len(parts)) if ".".join(parts[:i]) in mods)
        graph[name] = edges - {name}
    return graph


def cycle_in(graph: dict[str, set[str]]) -> list[str] | None:
    state: dict[str, int] = {}
    path: list[str] = []

    def visit(node: str) -> list[str] | None:
        state[node] = 1
        path.append(node)
        for nxt in sorted(graph[node]):
            if state.get(nxt) == 1:
                return path[path.index(nxt) :] + [nxt]
            if nxt not in state and (found := visit(nxt)):
                return found
        state[node] = 2
        path.pop()
        return None

    for node in sorted(graph):
        if node not in state and (found := visit(node)):
            return found
    return None


def test_the_import_graph_has_no_cycle() -> None:
    graph = import_graph()
    assert {"tarndb.writer", "tarndb.sharded.writer", "tarndb.cli.main"} <= set(graph)
    assert cycle_in(graph) is None, " -> ".join(cycle_in(graph) or [])


def test_the_cycle_finder_finds_one() -> None:
    # The check above is only as good as this: a planted cycle is found.
    assert cycle_in({"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": set()}) == ["a", "b", "c", "a"]


def test_the_writers_are_siblings_behind_one_constructor(tmp_path: pathlib.Path) -> None:
    graph = import_graph()
    assert "tarndb.sharded.writer" not in graph["tarndb._file_writer"]
    assert "tarndb._file_writer" not in graph["tarndb.sharded.writer"]
    assert "tarndb.writer" not in graph["tarndb._file_writer"] | graph["tarndb.sharded.writer"]
    single = tarndb.TarnWriter(tmp_path / "one.tndb")
    sharded = tarndb.TarnWriter(tmp_path / "store", shards=2)
    try:
        assert type(single) is FileWriter and type(sharded) is ShardedWriter
        assert isinstance(single, tarndb.TarnWriter) and isinstance(sharded, tarndb.TarnWriter)
        assert not issubclass(FileWriter, ShardedWriter) and not issubclass(ShardedWriter, FileWriter)
    finally:
        sharded.close()


@pytest.mark.parametrize(
    "literal",
    [r"\b65535\b", r"<= *1000\b|to 1000\b", r"0xFFFFFFFF\b(?!\))", r'"manifest\.json"', r'"lock"', r'"spill-"', r"shard-\{", r"run-\{", r"gen-\{"],
)
def test_limits_and_names_are_written_once(literal: str) -> None:
    # Outside _layout.py a limit or a name appears only in prose (docstrings,
    # comments, messages built from the constant), never as a second value.
    pattern = re.compile(literal)
    for name, path in modules().items():
        if name == "tarndb._layout" or path.suffix == ".pyi":
            continue
        for number, line in enumerate(path.read_text().splitlines(), 1):
            code = line.split("#", 1)[0]
            if pattern.search(code) and not code.strip().startswith(('"', "'")) and "bytes" not in code:
                pytest.fail(f"{path.name}:{number} writes {literal} again: {line.strip()}")
