"""``tarndb build --shards N [--workers W] [--dask-scheduler ADDRESS]``: the
sharded side of the build command.

With ``--shards`` alone the records are read here, as for a single-file
build, and staged into a sharded ``TarnWriter``; a key given twice is
still an error, found when its shard is built (the check holds one shard's
keys at a time, not the whole input's).  With ``--dask-scheduler`` the
workers of that cluster read the input themselves (JSON lines, at a path
they reach under the same name) and build the shards; a key given twice
then maps to the later record, as in ``tarndb.dask.to_tarndb``.
"""

from __future__ import annotations

import argparse
import dataclasses
import importlib
import json
import os
from typing import Any

from tarndb._building import BuildReport
from tarndb.cli.context import Context
from tarndb.cli.options import check_shards
from tarndb.errors import TarnError

__all__ = ["add_options", "check_arguments", "check_target", "build_on_dask"]


def add_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("--shards", type=int, metavar="N", help="build a sharded store directory of N shards (docs/SCALING.md)")
    p.add_argument("--workers", type=int, default=1, metavar="W", help="with --shards: build W shards at a time in worker processes")
    p.add_argument(
        "--dask-scheduler",
        metavar="ADDRESS",
        help="with --shards: build on the running Dask cluster at ADDRESS (JSON lines at a path its workers reach)",
    )


def check_arguments(ctx: Context, args: argparse.Namespace) -> None:
    if args.shards is None and (args.workers != 1 or args.dask_scheduler):
        ctx.usage_error("--workers and --dask-scheduler need --shards")
    check_shards(ctx, args.shards)
    if args.workers < 1:
        ctx.usage_error("--workers must be at least 1")


def check_target(out: str) -> str | None:
    """What is wrong with *out* as a sharded store directory, if anything."""
    parent = os.path.dirname(os.path.abspath(out))
    if not os.path.isdir(parent):
        return f"{out}: directory {parent!r} does not exist"
    if os.path.exists(out) and not os.path.isdir(out):
        return f"{out}: is a file; a sharded store is a directory"
    return None


def build_on_dask(args: argparse.Namespace, fmt: str) -> BuildReport:
    """Builds the store on the cluster at ``args.dask_scheduler``."""
    if fmt != "jsonl" or args.input == "-":
        raise TarnError("--dask-scheduler reads a JSON-lines file (not standard input) that every worker reaches")
    try:
        db: Any = importlib.import_module("dask.bag")
        distributed: Any = importlib.import_module("distributed")
    except ImportError:
        raise TarnError("--dask-scheduler needs Dask: pip install 'tarndb[dask]'") from None

    from tarndb.dask import to_tarndb

    source, out = os.path.abspath(args.input), os.path.abspath(args.out)
    try:
        client = distributed.Client(args.dask_scheduler, timeout=10)
    except OSError as exc:
        raise TarnError(f"cannot reach the Dask scheduler at {args.dask_scheduler}: {exc}") from None
    with client:
        bag = db.read_text(source, blocksize=64 << 20).map(json.loads)
        report = to_tarndb(bag, out, key=list(args.key), shards=args.shards)
    return dataclasses.replace(report, path=args.out)
