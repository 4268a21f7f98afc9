"""``tarndb merge OUT IN... [--delete-keys FILE]``: stores merged into OUT;
for a key in several inputs, the last input wins."""

from __future__ import annotations

import argparse

from tarndb.cli.context import CliError, Context, check_target
from tarndb.cli.options import command, progress, quiet
from tarndb.errors import TarnError
from tarndb.merge import MergeJob

__all__ = ["add", "run"]


def add(sub: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    p = command(sub, "merge", "merge stores into OUT: for a key in several inputs, the last input wins", run, replaces=True)
    p.add_argument("out", metavar="OUT", help="the .tndb file to write (replaced atomically)")
    p.add_argument("inputs", nargs="+", metavar="IN", help="the stores to merge, earliest first")
    p.add_argument("--delete-keys", metavar="FILE", help="leave out the keys listed in FILE, one per line")
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


def run(ctx: Context, args: argparse.Namespace) -> int:
    ctx.quiet = args.quiet
    # OUT may be one of the inputs: they are open (mapped) before it is replaced.
    check_target(args.out, [])
    deleted = _deleted_keys(args.delete_keys) if args.delete_keys else []
    try:
        job = MergeJob(args.inputs, delete=deleted)
    except TarnError as exc:
        raise CliError(str(exc)) from exc
    ctx.done = lambda: job.last_build
    return ctx.publish(lambda progress: job.run(args.out, progress=progress), args.progress)
