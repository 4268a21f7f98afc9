"""The command line's entry point: the parser, and how a command's end
becomes an exit status.

Exit status: 0 on success, 1 when a file or its data is at fault, 2 for a
usage error, 130 when interrupted (Ctrl-C) before a build or merge replaced
its target.  A command whose standard output is closed early (``tarndb keys
x | head``) ends as the coreutils do, killed by SIGPIPE, silently.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

from tarndb._tarndb import __version__
from tarndb.cli import build, demo, dump, get, info, keys, merge, verify
from tarndb.cli.context import PROG, CliError, Context, closed_pipe, flush_quietly, ignore_interrupts
from tarndb.cli.options import Command
from tarndb.errors import TarnError

__all__ = ["main", "build_parser"]


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Inspect, query, build and merge tarndb store files (.tndb).",
        epilog=(
            "exit status: 0 success, 1 a file or its data is at fault, 2 usage error, "
            "130 interrupted before the target was replaced"
        ),
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="name", metavar="COMMAND", required=True)
    for module in (info, verify, get, keys, dump, build, merge, demo):
        module.add(sub)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    command: Command = args.command
    ctx = Context(parser, command.data_on_stdout, getattr(args, "out", None) or "", command.replaces)
    try:
        try:
            status = command.run(ctx, args)
            sys.stdout.flush()  # a closed pipe shows here, not at exit
            return status
        except KeyboardInterrupt:
            report = ctx.done()
            if report is None:
                flush_quietly(sys.stdout)
                note = ""
                if ctx.target and ctx.replaces:
                    note = f"; {ctx.target} left as it was" if ctx.target_existed else f"; {ctx.target} not created"
                print(f"{PROG}: interrupted{note}", file=sys.stderr)
                return 130
            # The signal came after the rename: the target is the new store.
            ignore_interrupts()
            ctx.report_success(report)
            sys.stdout.flush()
            return 0
    except (CliError, TarnError) as exc:
        flush_quietly(sys.stdout)
        print(f"{PROG}: {exc}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        return closed_pipe()


if __name__ == "__main__":
    sys.exit(main())
