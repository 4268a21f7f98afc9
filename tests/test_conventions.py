"""The conventions callers rely on: errno-specific OSError classes, TypeError
for keys of the wrong type, strict JSON output, the low-level module's
directory message, and the interrupt note of the command-line tool."""

from __future__ import annotations

import errno
import json
import math
import os
import pathlib
import subprocess
import sys

import pytest

import tarndb
from tarndb import TarnIOError, TarnReader, TarnWriter, _fast, errors
from tarndb._tarndb import _TarnReader


@pytest.mark.parametrize(
    ("make", "builtin", "number"),
    [
        (lambda p: TarnReader(p / "missing.tndb"), FileNotFoundError, errno.ENOENT),
        (lambda p: TarnReader(p), IsADirectoryError, errno.EISDIR),
        (lambda p: TarnReader([os.fspath(p)]), IsADirectoryError, errno.EISDIR),
        (lambda p: _fast.Reader(os.fspath(p)), IsADirectoryError, errno.EISDIR),
        (lambda p: TarnReader(p / "f" / "x.tndb"), NotADirectoryError, errno.ENOTDIR),
        (lambda p: TarnWriter().build(p / "no" / "x.tndb"), FileNotFoundError, errno.ENOENT),
        (lambda p: tarndb.merge(p / "o.tndb", p / "missing.tndb"), FileNotFoundError, errno.ENOENT),
    ],
    ids=["missing", "directory", "directory in a list", "native directory", "not a directory", "build", "merge input"],
)
def test_os_errors_are_the_matching_builtin_classes(tmp_path: pathlib.Path, make, builtin, number) -> None:
    (tmp_path / "f").write_bytes(b"")
    with pytest.raises(builtin) as info:
        make(tmp_path)
    assert isinstance(info.value, TarnIOError) and info.value.errno == number


def test_io_error_picks_the_class_by_errno() -> None:
    assert type(errors.io_error("x", errno.EACCES)) is errors.TarnPermissionError
    assert type(errors.io_error("x", errno.EPERM)) is errors.TarnPermissionError
    assert type(errors.io_error("x", errno.EEXIST)) is errors.TarnFileExistsError
    other = errors.io_error("x", errno.ENOSPC)
    assert type(other) is TarnIOError and other.errno == errno.ENOSPC and str(other) == "x"


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files whatever their mode")
def test_permission_denied(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "p.tndb"
    with TarnWriter(path) as w:
        w["a"] = 1
    path.chmod(0)
    with pytest.raises(PermissionError) as info:
        TarnReader(path)
    assert isinstance(info.value, TarnIOError)


def test_low_level_module_says_mmap_failed_for_a_directory(tmp_path: pathlib.Path) -> None:
    # Its text is fixed: "mmap failed: {os error}" (callers match on it).
    with pytest.raises(OSError, match=r"^TarnIOError: mmap failed: No such device \(os error 19\)$"):
        _TarnReader(os.fspath(tmp_path), True)


@pytest.mark.parametrize("bad", [3, 2.5, None, ("a",), object()], ids=["int", "float", "None", "tuple", "object"])
def test_a_key_of_the_wrong_type_is_a_type_error_everywhere(tmp_path: pathlib.Path, bad: object) -> None:
    path = tmp_path / "k.tndb"
    with TarnWriter(path) as w:
        w["a"] = 1
    message = rf"^key must be str or bytes, not '{type(bad).__name__}'$"
    with TarnReader(path) as r:
        calls = [
            lambda: r[bad],
            lambda: r.get(bad),
            lambda: r.raw(bad),
            lambda: bad in r,
            lambda: r.get_many(["a", bad]),
            lambda: r.raw_many([bad]),
            lambda: r.prefix(bad),
            lambda: r.prefix_keys(bad),
            *([lambda: r.range(bad)] if bad is not None else []),  # None is an open end
            lambda: w.add(1, bad),
            lambda: w.alias(bad, 0),
            lambda: _fast.route(bad, 4),
            lambda: tarndb.merge(tmp_path / "m.tndb", path, delete=[bad]),
        ]
        for call in calls:
            with pytest.raises(TypeError, match=message):
                call()
    # The low-level module keeps its ValueError.
    with pytest.raises(ValueError, match="^key must be str or bytes$"):
        _TarnReader(os.fspath(path), True).get_raw(bad)


def test_get_and_dump_print_strict_json(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "f.tndb"
    value = {"nan": math.nan, "inf": math.inf, "ninf": -math.inf, "list": [1.5, math.nan], math.inf: "key"}
    with TarnWriter(path) as w:
        w["v"] = value
    for command in (["get", path, "v"], ["dump", path]):
        proc = subprocess.run(
            [sys.executable, "-m", "tarndb", *map(os.fspath, command)], capture_output=True, text=True, timeout=120
        )
        assert proc.returncode == 0, proc.stderr
        shown = json.loads(proc.stdout.splitlines()[0] if command[0] == "dump" else proc.stdout, parse_constant=pytest.fail)
        if command[0] == "dump":
            shown = shown["value"]
        assert shown == {
            "nan": {"$float": "NaN"},
            "inf": {"$float": "Infinity"},
            "ninf": {"$float": "-Infinity"},
            "list": [1.5, {"$float": "NaN"}],
            '{"$float":"Infinity"}': "key",
        }


@pytest.mark.parametrize("existed", [True, False])
def test_the_interrupt_note_says_what_became_of_the_target(
    tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str], existed: bool
) -> None:
    from tarndb.cli import build, main

    def interrupted(ctx: object, args: object) -> int:
        raise KeyboardInterrupt

    monkeypatch.setattr(build, "run", interrupted)
    target = tmp_path / "t.tndb"
    if existed:
        target.write_bytes(b"old")
    src = tmp_path / "in.jsonl"
    src.write_text('{"id": "a"}\n', encoding="utf-8")
    assert main.main(["build", os.fspath(target), os.fspath(src), "--key", "id"]) == 130
    note = "left as it was" if existed else "not created"
    assert capsys.readouterr().err == f"tarndb: interrupted; {target} {note}\n"
