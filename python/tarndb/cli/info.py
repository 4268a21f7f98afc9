"""``tarndb info FILE [--json]``: the statistics in a store's header, or a
sharded store's manifest.  No checksum pass, and the header read on its own
when the index cannot be decoded: it works on damaged and truncated files."""

from __future__ import annotations

import argparse
import json
import os
from typing import Any

from tarndb import _header, _jsonout, _units
from tarndb.cli.context import Context, fail_open, out
from tarndb.cli.options import command
from tarndb.errors import TarnCorruptError, TarnError
from tarndb.reader import TarnReader

__all__ = ["add", "run"]


def add(sub: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    p = command(sub, "info", "show the statistics in a store's header (works on damaged files)", run, True)
    p.add_argument("file")
    p.add_argument("--json", action="store_true", help="print them as one JSON object")


def header_figures(path: str) -> tuple[dict[str, Any], str | None] | None:
    """The header's figures read straight from the file (``file_size`` in
    bytes among them), and whether the file is shorter than they say (or
    None).  Works on a file whose index cannot be decoded, as long as its
    first 40 bytes are a tarndb header; None when they are not."""
    found = _header.read_header(path)
    if found is None:
        return None
    return found[0], _header.truncation(path)


def _lookup_text(size: int) -> str:
    return _units.size(size) if size else "none"


def sharded_text(manifest: dict[str, Any], path: str, as_json: bool, lookup_sizes: list[int]) -> str:
    """``tarndb info`` of a sharded store: its manifest, read as it is, and
    the lookup index each open shard carries (*lookup_sizes*, 0: none), as
    ``stats`` and ``shard_stats()`` report them."""
    if as_json:
        return json.dumps(
            {"path": path, **manifest, "lookup_index_bytes": sum(lookup_sizes), "shard_lookup_index_bytes": lookup_sizes},
            indent=2,
        )
    carrying = sum(1 for n in lookup_sizes if n)
    rows = [
        ("path", path),
        ("layout", f"{manifest['format']} {manifest['version']}, generation {manifest['generation']}"),
        ("routing", f"{manifest['route']} over {manifest['shard_count']} shards"),
        ("keys", f"{manifest['num_keys']:,}"),
        ("objects", f"{manifest['num_objects']:,}"),
        ("size", f"{manifest['file_size']:,} bytes"),
        ("lookup index", f"{_lookup_text(sum(lookup_sizes))} ({carrying} of {len(lookup_sizes)} shards carry one)"),
    ]
    for shard, lookup in zip(manifest["shards"], lookup_sizes):
        rows.append(
            (f"{shard['file']}", f"{shard['num_keys']:,} keys, {shard['num_objects']:,} objects, "
             f"{shard['file_size']:,} bytes, crc32 {shard['file_crc32']}, lookup index {_lookup_text(lookup)}")
        )
    width = max(len(name) for name, _ in rows)
    return "\n".join(f"{name:<{width}}  {value}" for name, value in rows)


def run(ctx: Context, args: argparse.Namespace) -> int:
    damage: str | None = None
    try:
        with TarnReader(args.file, verify=False) as r:
            if r.manifest is not None:  # a sharded store directory
                lookup_sizes = [int(s["lookup_index_bytes"]) for s in r.shard_stats()]
                out(sharded_text(r.manifest, args.file, args.json, lookup_sizes))
                return 0
            figures: dict[str, Any] = dict(r.stats)
            figures["file_size"] = os.path.getsize(args.file)
    except TarnCorruptError as exc:
        found = header_figures(args.file)
        if found is None:  # not a store at all: said as the other commands say it
            raise fail_open(args.file, exc) from exc
        figures, damage = found
        if damage is None:
            # The path is on a line of its own: the damage is the rest.
            damage = str(exc).removeprefix(f"{args.file}: ")
    except TarnError as exc:
        raise fail_open(args.file, exc) from exc
    size = figures.pop("file_size")
    # Whole KiB, and the exact count of bytes beside them.
    figures["file_size_kb"] = round(size / 1024)
    figures["file_size"] = size
    if args.json:
        out(_jsonout.dumps({**figures, "damage": damage}, indent=2))
        return 0
    rows = [
        ("path", figures["path"]),
        ("format version", str(figures["version"])),
        ("keys", f"{figures['num_keys']:,}"),
        ("objects", f"{figures['num_objects']:,}"),
        ("data offset", str(figures["data_offset"])),
        ("index offset", f"{figures['index_offset']:,}"),
        ("file size", f"{size:,} bytes ({_units.size(size)})" if size >= 1024 else _units.size(size)),
        ("file crc32", figures["file_crc32"]),
        ("lookup index", _lookup_text(figures["lookup_index_bytes"])),
    ]
    if damage is not None:
        rows.append(("damage", damage))
    width = max(len(name) for name, _ in rows)
    for name, value in rows:
        out(f"{name:<{width}}  {value}")
    return 0
