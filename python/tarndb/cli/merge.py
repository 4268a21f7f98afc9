"""``tarndb merge OUT IN... [--delete-keys FILE] [--shards N]``: stores
merged into OUT; for a key in several inputs, the last input wins.

Each IN is a store file or a sharded store directory.  OUT is a store
file, or a sharded store directory when it is one already, ends with a
``/`` or ``--shards`` is given (its shard count is then N, else that of the
sharded inputs, else that of the store already there)."""

from __future__ import annotations

import argparse
import os

from tarndb._layout import MAX_SHARDS
from tarndb.cli import build_sharded
from tarndb.cli.context import CliError, Context, check_target
from tarndb.cli.options import command, progress, quiet
from tarndb.errors import TarnError
from tarndb.merge import MergeJob, output_shards
from tarndb.sharded.manifest import read_manifest

__all__ = ["add", "run"]


def add(sub: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    p = command(sub, "merge", "merge stores into OUT: for a key in several inputs, the last input wins", run, replaces=True)
    p.add_argument(
        "out",
        metavar="OUT",
        help="the .tndb file to write (replaced atomically), or a sharded store directory: an existing one, "
        "one named with a trailing /, or with --shards",
    )
    p.add_argument(
        "inputs", nargs="+", metavar="IN", help="the stores to merge, earliest first: .tndb files or sharded store directories"
    )
    p.add_argument("--delete-keys", metavar="FILE", help="leave out the keys listed in FILE, one per line")
    p.add_argument(
        "--shards",
        type=int,
        metavar="N",
        help="write OUT as a sharded store directory of N shards (default for a directory: the inputs' count)",
    )
    progress(p)
    quiet(p)


def _deleted_keys(path: str) -> list[str]:
    # One key per line, as `tarndb keys` prints them; blank lines are skipped.
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as exc:
        raise CliError(f"{path}: cannot open: {exc.strerror or exc}") from None
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    keys = []
    for number, line in enumerate(data.split(b"\n"), 1):
        line = line.removesuffix(b"\r")
        if not line:
            continue
        try:
            keys.append(line.decode("utf-8"))
        except UnicodeDecodeError as exc:
            raise CliError(f"{path}:{number}: invalid UTF-8 at byte {exc.start + 1} of the line") from None
    return keys


def _input_shards(paths: list[str]) -> list[int]:
    # The shard counts of the sharded inputs, from their manifests alone.
    counts = []
    for path in paths:
        if os.path.isdir(path):
            try:
                counts.append(len(read_manifest(path).shards))
            except TarnError as exc:
                raise CliError(str(exc) if path in str(exc) else f"{path}: {exc}") from exc
    return counts


def run(ctx: Context, args: argparse.Namespace) -> int:
    ctx.quiet = args.quiet
    if args.shards is not None and not 1 <= args.shards <= MAX_SHARDS:
        ctx.usage_error(f"--shards must be from 1 to {MAX_SHARDS}")
    # Every refusal comes before an input is opened or anything written.
    try:
        count = output_shards(args.out, args.shards, _input_shards(args.inputs))
    except TarnError as exc:
        raise CliError(str(exc).replace("give shards=", "give --shards")) from exc
    if count is None:
        # OUT may be one of the inputs: they are open (mapped) before it is replaced.
        check_target(args.out, [])
    elif problem := build_sharded.check_target(args.out.rstrip("/") or args.out):
        raise CliError(problem)
    deleted = _deleted_keys(args.delete_keys) if args.delete_keys else []
    try:
        job = MergeJob(args.inputs, delete=deleted)
    except TarnError as exc:
        raise CliError(str(exc)) from exc
    ctx.done = lambda: job.last_build
    return ctx.publish(lambda progress: job.run(args.out, progress=progress, shards=args.shards), args.progress)
