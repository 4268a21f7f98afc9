"""Type information: mypy --strict on the package and on code that uses it,
and the native module's stub against the module itself."""

from __future__ import annotations

import importlib.resources
import importlib.util
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")

REPO = pathlib.Path(__file__).resolve().parents[1]
SOURCE = REPO / "python" / "tarndb"


def mypy(*args: str, cwd: pathlib.Path) -> subprocess.CompletedProcess[str]:
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-color-output", "--no-error-summary", *args],
        capture_output=True,
        text=True,
        cwd=cwd,
        env=env,
        timeout=600,
    )


def test_py_typed_is_shipped() -> None:
    package = importlib.resources.files("tarndb")
    assert package.joinpath("py.typed").is_file()
    assert package.joinpath("_tarndb.pyi").is_file()


def test_package_passes_mypy_strict(tmp_path: pathlib.Path) -> None:
    if SOURCE.is_dir():
        proc = mypy("--cache-dir", str(tmp_path / "cache"), str(SOURCE), cwd=REPO)
    else:  # tests run without the source tree: check the installed package
        proc = mypy("--cache-dir", str(tmp_path / "cache"), "-p", "tarndb", cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


GOOD_USAGE = '''
from typing import Any

import tarndb
from tarndb import Stats, TarnCorruptError, TarnError, TarnReader, TarnWriter


def write(path: str) -> int:
    with TarnWriter(path) as w:
        oid: int = w.add({"name": "apple"}, "apple", b"malus")
        w.alias("pomme", oid)
        w["pear"] = [1, 2, 3]
    return oid


def read(path: str) -> list[str]:
    try:
        r = TarnReader(path, verify=False)
    except TarnCorruptError as exc:
        raise SystemExit(str(exc)) from exc
    except TarnError:
        raise
    with r:
        value: Any = r["apple"]
        maybe: Any = r.get("nope", None)
        found: bool = "pear" in r
        n: int = len(r)
        keys: list[str] = list(r)
        pairs: list[tuple[str, Any]] = r.prefix("p")
        names: list[str] = r.prefix_keys("p")
        raw: bytes = r.raw("apple")
        ok: bool = r.verify()
        stats: Stats = r.stats
        size: float = stats["file_size_kb"]
        crc: str = stats["file_crc32"]
        version: str = tarndb.__version__
        print(value, maybe, found, n, pairs, raw, ok, size, crc, version)
    return keys + names
'''

BAD_USAGE = '''
from tarndb import TarnReader, TarnWriter

w = TarnWriter("x.tndb")
w.add({}, 5)
w.alias("k", "0")
r = TarnReader("x.tndb")
count: str = len(r)
crc: int = r.stats["file_crc32"]
r.prefix_keys(5)
r.stats["nope"]
'''


def test_typed_usage_passes_mypy_strict(tmp_path: pathlib.Path) -> None:
    # Run outside the source tree, so that mypy finds the installed package
    # and relies on its py.typed marker and stub.
    sample = tmp_path / "usage.py"
    sample.write_text(textwrap.dedent(GOOD_USAGE))
    proc = mypy("--cache-dir", str(tmp_path / "cache"), str(sample), cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_misuse_is_caught_by_mypy(tmp_path: pathlib.Path) -> None:
    sample = tmp_path / "misuse.py"
    sample.write_text(BAD_USAGE)
    proc = mypy("--cache-dir", str(tmp_path / "cache"), str(sample), cwd=tmp_path)
    assert proc.returncode == 1, proc.stdout + proc.stderr
    lines = {int(line.split(":")[1]) for line in proc.stdout.splitlines() if ": error:" in line}
    expected = {n for n, text in enumerate(BAD_USAGE.splitlines(), 1) if text and not text.startswith(("from", "w =", "r ="))}
    assert lines == expected, proc.stdout


@pytest.mark.parametrize("module", ["tarndb._tarndb", "tarndb._fast"])
def test_native_stub_matches_the_module(module: str) -> None:
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", module], capture_output=True, text=True, timeout=600
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
