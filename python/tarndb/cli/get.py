"""``tarndb get FILE KEY...``: the object stored under each key, as JSON."""

from __future__ import annotations

import argparse

from tarndb import _jsonout
from tarndb.cli.context import CliError, Context, fail_open, open_reader, out
from tarndb.cli.options import command, no_verify
from tarndb.errors import TarnError

__all__ = ["add", "run"]


def add(sub: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    p = command(sub, "get", "print the object stored under each KEY, as JSON", run, True)
    p.add_argument("file")
    p.add_argument("keys", nargs="+", metavar="KEY")
    p.add_argument("--compact", action="store_true", help="each object on one line")
    no_verify(p)


def run(ctx: Context, args: argparse.Namespace) -> int:
    missing: list[str] = []
    indent = None if args.compact else 2
    with open_reader(args.file, verify=not args.no_verify) as r:
        for key in args.keys:
            try:
                value = r[key]
            except KeyError:
                missing.append(key)
                continue
            except TarnError as exc:
                raise fail_open(args.file, exc) from exc
            out(_jsonout.dumps(value, indent=indent))
    if len(missing) == 1:
        raise CliError(f"{args.file}: no such key: {missing[0]!r}")
    if missing:
        raise CliError(f"{args.file}: no such keys: {', '.join(repr(k) for k in missing)}")
    return 0
