"""``tarndb demo [--out FILE]``: a store of every named Unicode character,
built and queried, to show what tarndb does."""

from __future__ import annotations

import argparse
import os
import tempfile
import time
from collections.abc import Iterator
from typing import Any

from tarndb import _demo, _units
from tarndb.cli.context import Context, Progress, check_target, fail_open, open_reader, out
from tarndb.cli.options import command, progress
from tarndb.errors import TarnError
from tarndb.writer import TarnWriter

__all__ = ["add", "run"]


def add(sub: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    p = command(sub, "demo", "build a store of every named Unicode character and query it", run)
    p.add_argument("--out", help="where to write it (default: a tarndb-demo folder in the temporary directory)")
    progress(p)


def _demo_path() -> str:
    return os.path.join(tempfile.gettempdir(), "tarndb-demo", "unicode.tndb")


def _demo_records(progress: Progress) -> Iterator[tuple[int, dict[str, Any]]]:
    done = 0
    for cp, record in _demo.characters():
        progress.update(cp + 1 - done)
        done = cp + 1
        yield cp, record
    progress.update(_demo.LAST_CODE_POINT + 1 - done)


def run(ctx: Context, args: argparse.Namespace) -> int:
    target = args.out or _demo_path()
    if not args.out:
        os.makedirs(os.path.dirname(target), exist_ok=True)
    else:
        check_target(target, [])
    out(f"Building {target}: every named character of Unicode {_demo.UNICODE_VERSION}")
    out("(from Python's unicodedata), each keyed by its name and by its code point.")
    started = time.perf_counter()
    progress = Progress(args.progress, _demo.LAST_CODE_POINT + 1, "code points", unit="cp")
    try:
        w = TarnWriter(target)
        for cp, record in _demo_records(progress):
            w.add(record, record["name"], _demo.code_point_key(cp))
        progress.close()
        ctx.done = lambda: w.last_build
        w.build()
    except TarnError as exc:
        raise fail_open(target, exc) from exc
    finally:
        progress.close()
    built = time.perf_counter() - started

    with open_reader(target) as r:
        s = r.stats
        out(f"Built in {built:.1f} s; the file is {_units.size(round(s['file_size_kb'] * 1024))}.")
        out("")
        out(">>> r = tarndb.TarnReader(path)")
        for key in ("GRINNING FACE", "U+00E9", "SNOWMAN", "U+1F40D"):
            started = time.perf_counter()
            c = r[key]
            took = (time.perf_counter() - started) * 1e6
            out(f">>> r[{key!r}]   # {took:.0f} µs")
            out(f"    {c['char']}  {c['code_point']}  {c['name']}  (category {c['category']}, UTF-8 {c['utf8'].hex(' ')})")
        out(f">>> 'KLINGON LETTER A' in r\n    {'KLINGON LETTER A' in r}")
        prefix = "SNOW"
        started = time.perf_counter()
        found = r.prefix(prefix)
        took = (time.perf_counter() - started) * 1e6
        out(f">>> r.prefix({prefix!r})   # {_units.count(len(found), 'match').replace('matchs', 'matches')}, {took:.0f} µs")
        for key, c in found:
            out(f"    {c['char']}  {key}")
        started = time.perf_counter()
        r.verify()
        took = time.perf_counter() - started
        out(f">>> r.verify()   # every CRC-32 checked in {took * 1000:.0f} ms\n    True")
    out("")
    out("Try it yourself:")
    out(f"  tarndb info {target}")
    out(f"  tarndb get {target} 'SNOWMAN'")
    out(f"  tarndb keys {target} --prefix 'DOMINO TILE HORIZONTAL-01'")
    return 0
