"""What a command is given besides its arguments, and the output and
failure handling every command shares.

Exit status: 0 on success, 1 when a file or its data is at fault (missing,
corrupt, bad input, no such key), 2 for a usage error, 130 when interrupted
(Ctrl-C) before a build or merge replaced its target.  Every error is one
line on standard error, starting with "tarndb: ".  Standard output carries
the command's data only (get, keys, dump, info --json) or its result line
(build, merge, verify); notes on the way go to standard error.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
import threading
from collections.abc import Callable, Sequence
from typing import IO, Any, NoReturn

from tarndb._building import BuildReport
from tarndb.errors import TarnError
from tarndb.reader import TarnReader

__all__ = [
    "PROG",
    "CliError",
    "Context",
    "Progress",
    "fail_open",
    "open_reader",
    "out",
    "check_target",
    "closed_pipe",
    "flush_quietly",
]

PROG = "tarndb"


class CliError(Exception):
    """A failure to report as one line, with exit status 1."""


class Context:
    """What one run of a command needs beyond its arguments: the parser (for
    usage errors), where its notes go, and the target it replaces together
    with the report of that replacement once it has happened (for Ctrl-C,
    which main() handles)."""

    def __init__(self, parser: argparse.ArgumentParser, data_on_stdout: bool, target: str, replaces: bool) -> None:
        self.parser = parser
        self.data_on_stdout = data_on_stdout
        #: The file or directory a build or merge replaces ("" if none).
        self.target = target
        #: Whether the command replaces its target (build, merge).
        self.replaces = replaces
        #: Whether the target existed when the command started: an
        #: interrupted build "leaves it as it was" only then.
        self.target_existed = bool(target) and replaces and os.path.lexists(target)
        self.quiet = False
        # Gives the report once the target has been replaced, None until then
        # (the native call sets it before it returns).
        self.done: Callable[[], BuildReport | None] = lambda: None

    def usage_error(self, message: str) -> NoReturn:
        """Exit status 2, with the usage line."""
        self.parser.error(message)

    def status(self, text: str) -> None:
        """A note about the work: on standard output, unless the command's
        standard output carries data."""
        stream = sys.stderr if self.data_on_stdout else sys.stdout
        stream.write(text + "\n")

    def report_success(self, report: BuildReport) -> None:
        if not self.quiet:
            self.status(report.summary())

    def publish(self, run: Callable[[Callable[[int, int], object]], BuildReport], progress_mode: str) -> int:
        """Runs the write phase of a build or merge, with its own progress
        bar by bytes written, and reports its success."""
        progress = Progress(progress_mode, None, f"writing {os.path.basename(self.target)}")
        try:
            report = run(progress.advance_to)
        except TarnError as exc:
            raise fail_open(self.target, exc) from exc
        finally:
            progress.close()
        ignore_interrupts()
        self.report_success(report)
        return 0


def ignore_interrupts() -> None:
    """The target is the new store: Ctrl-C can no longer stop anything, and
    a signal from now on (one already pending included) is dropped, so that
    the exit status is the success it reports."""
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, signal.SIG_IGN)


def fail_open(path: str, exc: TarnError) -> CliError:
    """*exc* as a one-line failure that names *path* once."""
    message = str(exc)
    return CliError(message if path in message else f"{path}: {message}")


def open_reader(path: str, verify: bool = True) -> TarnReader:
    try:
        return TarnReader(path, verify=verify)
    except TarnError as exc:
        raise fail_open(path, exc) from exc


def out(text: str) -> None:
    sys.stdout.write(text + "\n")


def check_target(out: str, sources: Sequence[str]) -> None:
    """Refuses a single-file target that cannot be written, or that is one of
    *sources*."""
    directory = os.path.dirname(out) or "."
    if not os.path.isdir(directory):
        raise CliError(f"{out}: directory {directory!r} does not exist")
    if os.path.isdir(out):
        raise CliError(f"{out}: is a directory")
    for source in sources:
        if source != "-" and os.path.exists(out) and os.path.exists(source) and os.path.samefile(out, source):
            raise CliError(f"{out}: the output would replace the input")


class Progress:
    """A progress bar on standard error (tqdm), or nothing.

    mode "auto" shows it only on a terminal and only once the work has taken
    a second; "always" shows it at once; "never" not at all.
    """

    def __init__(self, mode: str, total: int | None, desc: str, unit: str = "B") -> None:
        self._bar: Any = None
        self._pending = 0
        if mode == "never":
            return
        try:
            from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]
        except ImportError:  # the bar is a nicety; work on without it
            return
        auto = mode == "auto"
        self._bar = tqdm(
            total=total,
            desc=desc,
            unit=unit,
            unit_scale=True,
            unit_divisor=1024 if unit == "B" else 1000,
            file=sys.stderr,
            delay=1.0 if auto else 0.0,
            disable=None if auto else False,
            leave=False,
        )

    def update(self, n: int) -> None:
        # Passed on in batches: tqdm's own update costs more than a line.
        self._pending += n
        if self._pending >= 1 << 16 and self._bar is not None:
            self._bar.update(self._pending)
            self._pending = 0

    def advance_to(self, done: int, total: int) -> None:
        """For work that reports its position: *done* of *total*."""
        if self._bar is None:
            return
        if self._bar.total != total:
            self._bar.total = total
        self._bar.update(done - self._bar.n)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.update(self._pending)
            self._bar.close()
            self._bar = None


def closed_pipe() -> int:
    """The reader of our output went away (tarndb keys x | head): end as the
    coreutils do, killed by SIGPIPE, without a word.  What is still buffered
    for standard output goes nowhere."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass
    if hasattr(signal, "SIGPIPE"):
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGPIPE)
    return 128 + 13


def flush_quietly(stream: IO[str]) -> None:
    try:
        stream.flush()
    except (OSError, ValueError):
        pass
