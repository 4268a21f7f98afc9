"""``tarndb merge OUT IN... [--delete-keys FILE] [--shards N]``: stores
merged into OUT; for a key in several inputs, the last input wins.

Each IN is a store file or a sharded store directory; the shard files of
one store may also be given, in shard order, between ``[`` and ``]``.  OUT is a store
file, or a sharded store directory when it is one already, ends with a
``/`` or ``--shards`` is given (its shard count is then N, else that of the
sharded inputs, else that of the store already there)."""

from __future__ import annotations

import argparse
import os

from tarndb.cli import build_sharded
from tarndb.cli.context import CliError, Context, check_target, fail_open
from tarndb.cli.options import check_shards, command, progress, quiet
from tarndb.errors import TarnError
from tarndb.merge import MergeJob, output_shards
from tarndb.reader import TarnReader
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
        "inputs",
        nargs="+",
        metavar="IN",
        help="the stores to merge, earliest first: .tndb files, sharded store directories, or the shard files "
        "of one store in shard order between '[' and ']' (as separate arguments)",
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


def _inputs(ctx: Context, items: list[str]) -> list[str | list[str]]:
    """The inputs: each a path, or the shard files of one store given
    between "[" and "]" (as separate arguments), in shard order."""
    inputs: list[str | list[str]] = []
    group: list[str] | None = None
    for item in items:
        if item == "[":
            if group is not None:
                ctx.usage_error("a '[' inside the shard files of one store")
            group = []
        elif item == "]":
            if not group:
                ctx.usage_error("a ']' without the shard files of a store before it")
            inputs.append(group)
            group = None
        elif group is not None:
            group.append(item)
        else:
            inputs.append(item)
    if group is not None:
        ctx.usage_error("a '[' without its ']'")
    if not inputs:
        ctx.usage_error("no store to merge")
    return inputs


def _name(source: str | list[str]) -> str:
    return source if isinstance(source, str) else "[ " + " ".join(source) + " ]"


def _input_shards(inputs: list[str | list[str]]) -> list[int]:
    # The shard counts of the sharded inputs, from their manifests alone.
    counts = []
    for path in inputs:
        if isinstance(path, list):
            counts.append(len(path))
        elif os.path.isdir(path):
            try:
                counts.append(len(read_manifest(path).shards))
            except TarnError as exc:
                raise fail_open(path, exc) from exc
    return counts


def run(ctx: Context, args: argparse.Namespace) -> int:
    ctx.quiet = args.quiet
    check_shards(ctx, args.shards)
    inputs = _inputs(ctx, args.inputs)
    # Every refusal comes before an input is opened or anything written.
    try:
        count = output_shards(args.out, args.shards, _input_shards(inputs), option="--shards")
    except TarnError as exc:
        raise CliError(str(exc)) from exc
    if count is None:
        # OUT may be one of the inputs: they are open (mapped) before it is replaced.
        check_target(args.out, [])
    elif problem := build_sharded.check_target(args.out.rstrip("/") or args.out):
        raise CliError(problem)
    deleted = _deleted_keys(args.delete_keys) if args.delete_keys else []
    readers: list[TarnReader] = []
    try:
        sources: list[str | TarnReader] = []
        for source in inputs:
            if isinstance(source, list):
                try:
                    readers.append(TarnReader(source))
                except TarnError as exc:
                    raise CliError(str(exc) if any(p in str(exc) for p in source) else f"{_name(source)}: {exc}") from exc
                sources.append(readers[-1])
            else:
                sources.append(source)
        job = MergeJob(sources, delete=deleted)
    except TarnError as exc:
        raise CliError(str(exc)) from exc
    finally:
        for reader in readers:  # the job keeps their mappings
            reader.close()
    ctx.done = lambda: job.last_build
    return ctx.publish(lambda progress: job.run(args.out, progress=progress, shards=args.shards), args.progress)
