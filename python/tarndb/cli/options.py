"""The options several commands share, and the declaration of a command."""

from __future__ import annotations

import argparse
from collections.abc import Callable
from typing import NamedTuple

from tarndb._layout import MAX_SHARDS
from tarndb.cli.context import Context

__all__ = ["Command", "command", "no_verify", "progress", "quiet", "check_shards"]


class Command(NamedTuple):
    """A command as main() runs it."""

    run: Callable[[Context, argparse.Namespace], int]
    #: Whether standard output carries the command's data (notes then go to
    #: standard error).
    data_on_stdout: bool
    #: Whether it replaces the target named by its OUT argument.
    replaces: bool


def command(
    sub: argparse._SubParsersAction[argparse.ArgumentParser],
    name: str,
    help: str,
    run: Callable[[Context, argparse.Namespace], int],
    data_on_stdout: bool = False,
    replaces: bool = False,
) -> argparse.ArgumentParser:
    p = sub.add_parser(name, help=help, description=help)
    p.set_defaults(command=Command(run, data_on_stdout, replaces))
    return p


def no_verify(p: argparse.ArgumentParser) -> None:
    p.add_argument("--no-verify", action="store_true", help="skip the whole-file CRC-32 check when opening (faster)")


def listing(p: argparse.ArgumentParser) -> None:
    """The arguments of a command that lists a store's entries: the store,
    ``--prefix`` and ``--no-verify``."""
    p.add_argument("file")
    p.add_argument("--prefix", default="", help="only keys starting with this text")
    no_verify(p)


def progress(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "--progress",
        choices=("auto", "always", "never"),
        default="auto",
        help="progress bars on standard error: auto (on a terminal, for long runs), always, never",
    )


def quiet(p: argparse.ArgumentParser) -> None:
    p.add_argument("--quiet", "-q", action="store_true", help="print no summary line on success")


def check_shards(ctx: Context, shards: int | None) -> None:
    """A usage error unless ``--shards`` is absent or a count a store can have."""
    if shards is not None and not 1 <= shards <= MAX_SHARDS:
        ctx.usage_error(f"--shards must be from 1 to {MAX_SHARDS}")
