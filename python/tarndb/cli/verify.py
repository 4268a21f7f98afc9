"""``tarndb verify FILE``: every CRC-32 of a store checked; exit 0 when it
is sound, 1 when not."""

from __future__ import annotations

import argparse

from tarndb import _units
from tarndb.cli.context import Context, fail_open, open_reader, out
from tarndb.cli.options import command
from tarndb.errors import TarnError

__all__ = ["add", "run"]


def add(sub: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    p = command(sub, "verify", "check every CRC-32 of a store (exit 0 when sound, 1 when not)", run)
    p.add_argument("file")


def run(ctx: Context, args: argparse.Namespace) -> int:
    # Opened unchecked: verify() then checks everything, and names the first
    # damaged key rather than only the whole-file mismatch.
    with open_reader(args.file, verify=False) as r:
        try:
            r.verify()
        except TarnError as exc:
            raise fail_open(args.file, exc) from exc
        s, manifest = r.stats, r.manifest
    counts = f"{_units.count(s['num_keys'], 'key')}, {_units.count(s['num_objects'], 'object')}"
    if manifest is not None:
        out(f"{args.file}: ok ({counts}, {manifest['shard_count']} shards, generation {manifest['generation']})")
        return 0
    out(f"{args.file}: ok ({counts}, crc32 {s['file_crc32']})")
    return 0
