"""``tarndb keys FILE [--prefix P]``: the keys in sorted order, one per line."""

from __future__ import annotations

import argparse
import sys

from tarndb.cli.context import Context, open_reader
from tarndb.cli.options import command, listing

__all__ = ["add", "run"]


def add(sub: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    listing(command(sub, "keys", "list the keys in sorted order, one per line", run, True))


def run(ctx: Context, args: argparse.Namespace) -> int:
    with open_reader(args.file, verify=not args.no_verify) as r:
        keys = r.prefix_keys(args.prefix)
    write = sys.stdout.write
    for key in keys:
        write(key + "\n")
    return 0
