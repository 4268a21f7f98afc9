"""``tarndb dump FILE [--prefix P]``: every entry as a JSON line
``{"key": ..., "value": ...}``."""

from __future__ import annotations

import argparse
import sys

from tarndb import _jsonout
from tarndb.cli.context import Context, fail_open, open_reader
from tarndb.cli.options import command, listing
from tarndb.errors import TarnError

__all__ = ["add", "run"]


def add(sub: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    listing(command(sub, "dump", 'print every entry as a JSON line {"key": ..., "value": ...}', run, True))


def run(ctx: Context, args: argparse.Namespace) -> int:
    with open_reader(args.file, verify=not args.no_verify) as r:
        keys = r.prefix_keys(args.prefix)
        write = sys.stdout.write
        try:
            for key in keys:
                write(_jsonout.dumps({"key": key, "value": r[key]}) + "\n")
        except TarnError as exc:
            raise fail_open(args.file, exc) from exc
    return 0
