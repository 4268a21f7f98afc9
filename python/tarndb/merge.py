"""merge(): a new store from existing ones, later inputs winning per key.

The merge streams: each input store is opened (its index decoded, its
whole-file CRC-32 checked) and its winning records are copied as they are
into the new file, each with its own CRC-32 checked, without decoding them
and without holding payloads in memory.  An open TarnReader is merged from
its own mappings (the files it opened), a sharded store from all its
shards.  Objects shared by several keys stay shared, and identical payloads
become one object, so the result is never larger than a fresh build of the
same content.
"""

from __future__ import annotations

import os
import tempfile
from collections.abc import Iterable, Mapping
from typing import Any, Union, cast

from tarndb._building import BuildReport, Default, Key, Progress, StrPath, report_of, run_build
from tarndb._building import checked_key as _checked
from tarndb._fast import Merge
from tarndb.reader import TarnReader
from tarndb.errors import TarnError
from tarndb.writer import TarnWriter

__all__ = ["merge", "MergeJob", "Input"]

#: One input of a merge: a store (the path of a file or of a sharded store's
#: directory, or an open TarnReader of either kind or over a list of shard
#: files), or a mapping of keys to new objects, where the value None removes
#: the key.
Input = Union[StrPath, TarnReader, Mapping[Key, Any]]


class MergeJob:
    """A merge with its inputs opened, run by :meth:`run`.

    :func:`merge` is the one-call form.  The job form gives
    :attr:`last_build`, which, like :attr:`TarnWriter.last_build`, tells
    after a KeyboardInterrupt whether the target was replaced.
    """

    __slots__ = ("_native",)

    def __init__(
        self, inputs: Iterable[Input], *, delete: Iterable[Key] = (), default: Default | None = None
    ) -> None:
        native = Merge()
        sources = list(inputs)
        # Refused before anything is opened or written.
        for source in sources:
            if not isinstance(source, (TarnReader, Mapping, str, bytes, os.PathLike)):
                raise TypeError(
                    f"a merge input is a path, a TarnReader or a mapping, not {type(source).__name__!r}"
                )
        for source in sources:
            if isinstance(source, TarnReader):
                native.add_reader(source)
            elif isinstance(source, Mapping):
                _add_mapping(native, cast(Mapping[Key, Any], source), default)
            else:
                path = os.fspath(source)
                if os.path.isdir(path):
                    with TarnReader(path) as reader:  # the merge keeps its mappings
                        native.add_reader(reader)
                else:
                    _add_store(native, path)
        removed = [_checked(k) for k in delete]
        if removed:
            native.add_removals(removed)
        self._native = native

    @property
    def last_build(self) -> BuildReport | None:
        """The report of the latest successful :meth:`run`, or None."""
        native = self._native.last_report()
        return None if native is None else report_of(native)

    def run(self, out: StrPath, *, verbose: bool = False, progress: Progress | None = None) -> BuildReport:
        """Writes the merged store to *out* atomically and returns what it
        wrote; *verbose* and *progress* as for :meth:`TarnWriter.build`,
        and Ctrl-C the same: it stops the merge before the rename."""
        report = run_build(self._native, os.fspath(out), progress)
        if verbose:
            print(report.summary())
        return report


def _add_store(native: Merge, path: str) -> None:
    try:
        native.add_store(path)
    except TarnError as exc:
        if path in str(exc):
            raise
        # The same class, its message naming the input; errno kept.
        err = type(exc)(f"{path}: {exc}")
        if isinstance(exc, OSError) and isinstance(err, OSError):
            err.errno = exc.errno
        raise err from exc


def _add_mapping(native: Merge, source: Mapping[Key, Any], default: Default | None) -> None:
    # The new objects go through a store of their own, in the temporary
    # directory, removed again as soon as it is opened (its mapping stays).
    removed: list[Key] = []
    writer = TarnWriter(default=default)
    for key, value in source.items():
        if value is None:
            removed.append(_checked(key))
        else:
            writer.add(value, key)
    if writer.num_objects:
        fd, path = tempfile.mkstemp(prefix="tarndb-merge-", suffix=".tndb")
        os.close(fd)
        try:
            writer.build(path)
            native.add_store(path)
        finally:
            os.unlink(path)
    if removed:
        native.add_removals(removed)


def merge(
    out: StrPath,
    *inputs: Input,
    delete: Iterable[Key] = (),
    default: Default | None = None,
    verbose: bool = False,
    progress: Progress | None = None,
) -> BuildReport:
    """Merges *inputs* into a new store at *out*, replacing any file there
    atomically, and returns a :class:`BuildReport`.

    For a key in several inputs, the last input wins.  An input is a store
    (a path or a TarnReader) or a mapping ``{key: object}`` of new content,
    in which the value None removes the key from the inputs before it (to
    store None itself, put it in a store input).  The keys in *delete* are
    left out of the result, whatever the inputs hold.  *default* is the
    msgpack hook for mapping inputs, as for TarnWriter.

    Raises TarnIOError, TarnCorruptError or TarnVersionError naming the
    input that cannot be read, or the target that cannot be written; the
    target is then left as it was.  Ctrl-C stops the merge before the
    rename, as for :meth:`TarnWriter.build`.
    """
    return MergeJob(inputs, delete=delete, default=default).run(out, verbose=verbose, progress=progress)
