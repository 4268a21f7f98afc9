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
import time
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Union, cast

from tarndb._building import (
    BuildReport,
    Default,
    Key,
    NativeReport,
    Progress,
    StrPath,
    report_of,
    run_build,
    store_report,
)
from tarndb._building import checked_key as _checked
from tarndb._fast import Merge
from tarndb._layout import shard_count
from tarndb.errors import TarnError
from tarndb.reader import TarnReader
from tarndb.sharded.generation import publish_generation
from tarndb.sharded.manifest import read_manifest
from tarndb.writer import TarnWriter

__all__ = ["merge", "MergeJob", "Input", "output_shards"]

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

    __slots__ = ("_native", "_input_shards", "_sharded", "_after")

    def __init__(
        self, inputs: Iterable[Input], *, delete: Iterable[Key] = (), default: Default | None = None
    ) -> None:
        native = Merge()
        sources = list(inputs)
        _check_inputs(sources)
        counts: list[int] = []  # the shard counts of the sharded inputs
        for source in sources:
            if isinstance(source, TarnReader):
                native.add_reader(source)
                counts += _shard_count(source)
            elif isinstance(source, Mapping):
                _add_mapping(native, cast(Mapping[Key, Any], source), default)
            else:
                path = os.fspath(source)
                if os.path.isdir(path):
                    with TarnReader(path) as reader:  # the merge keeps its mappings
                        native.add_reader(reader)
                        counts += _shard_count(reader)
                else:
                    _add_store(native, path)
        removed = [_checked(k) for k in delete]
        if removed:
            native.add_removals(removed)
        self._native = native
        self._input_shards = tuple(counts)
        self._sharded: BuildReport | None = None  # the latest sharded run's report
        self._after = -1  # the native build number the latest sharded run ended at

    @property
    def last_build(self) -> BuildReport | None:
        """The report of the latest successful :meth:`run`, or None."""
        native = self._native.last_report()
        if native is not None and native[0] > self._after:
            return report_of(native)  # a single file, built after any sharded run
        return self._sharded

    def run(
        self,
        out: StrPath,
        *,
        verbose: bool = False,
        progress: Progress | None = None,
        shards: int | None = None,
    ) -> BuildReport:
        """Writes the merged store to *out* atomically and returns what it
        wrote; *verbose* and *progress* as for :meth:`TarnWriter.build`,
        and Ctrl-C the same: it stops the merge before the rename.

        *out* is a store file, or a sharded store directory when *shards*
        is given, when it is an existing directory or when it ends with a
        path separator (see :func:`merge`)."""
        target = os.fsdecode(os.fspath(out))
        count = output_shards(target, shards, self._input_shards)
        if count is None:
            report = run_build(self._native, target, progress)
        else:
            report = self._run_sharded(target, count, progress)
        if verbose:
            print(report.summary())
        return report

    def _run_sharded(self, store: str, count: int, progress: Progress | None) -> BuildReport:
        started = time.monotonic()
        native = self._native

        lookup_sizes = [0] * count

        def write_shard(shard: int, path: str) -> None:
            built = run_build(_ShardBuild(native, (shard, count)), path, progress)
            lookup_sizes[shard] = built.lookup_index_bytes

        try:
            manifest = publish_generation(store, count, write_shard)
            report = self._sharded = store_report(
                store,
                manifest.num_objects,
                manifest.num_keys,
                manifest.file_size,
                time.monotonic() - started,
                lookup_sizes,
            )
        finally:
            last = native.last_report()
            self._after = -1 if last is None else last[0]
        return report


class _ShardBuild:
    # One output shard's build, in the shape run_build expects.
    __slots__ = ("_native", "_part")

    def __init__(self, native: Merge, part: tuple[int, int]) -> None:
        self._native = native
        self._part = part

    def build(self, path: str, progress: Progress | None = None) -> NativeReport:
        return self._native.build(path, progress, self._part)

    def last_report(self) -> NativeReport | None:
        return self._native.last_report()


def _check_inputs(sources: list[Any]) -> None:
    # Refused before anything is opened or written.
    for source in sources:
        if not isinstance(source, (TarnReader, Mapping, str, bytes, os.PathLike)):
            raise TypeError(f"a merge input is a path, a TarnReader or a mapping, not {type(source).__name__!r}")


def _shard_count(reader: TarnReader) -> list[int]:
    """[the shard count] of a sharded store's reader, [] for a store file's."""
    if reader.manifest is None and not isinstance(reader.path, list):
        return []
    return [len(reader.shard_stats())]


def _peek_shards(sources: list[Any]) -> list[int]:
    """The shard counts of the sharded inputs among *sources*, found
    without opening their shards."""
    counts: list[int] = []
    for source in sources:
        if isinstance(source, TarnReader):
            counts += _shard_count(source)
        elif not isinstance(source, Mapping):
            path = os.fspath(source)
            if os.path.isdir(path):
                counts.append(len(read_manifest(os.fsdecode(path)).shards))
    return counts


def output_shards(
    target: str, shards: int | None, input_shards: Sequence[int], *, option: str = "shards="
) -> int | None:
    """None when a merge into *target* writes a store file; else the shard
    count of the sharded store it writes there.  A sharded output is asked
    for by *shards*, or by a *target* that is a directory (or ends with a
    path separator); its count is then *shards*, else the count of the
    sharded inputs (*input_shards*), else that of the store already there.
    Refusals (ValueError, TarnError, telling the caller's *option* for a
    shard count) come before any work."""
    if shards is not None:
        count = shard_count(shards)
        if os.path.exists(target) and not os.path.isdir(target):
            raise TarnError(f"{target}: is a file, not a sharded store directory")
        return count
    if not (os.path.isdir(target) or target.endswith(("/", os.sep))):
        return None
    counts = sorted(set(input_shards))
    if len(counts) > 1:
        listed = ", ".join(map(str, counts[:-1])) + f" and {counts[-1]}"
        raise TarnError(f"{target}: the sharded inputs have {listed} shards; give {option} to choose the output's")
    if counts:
        return counts[0]
    try:
        return len(read_manifest(target).shards)
    except (TarnError, OSError):
        raise TarnError(
            f"{target}: is a directory but not a sharded store; give {option} to write a sharded store there"
        ) from None


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
    shards: int | None = None,
) -> BuildReport:
    """Merges *inputs* into a new store at *out*, replacing what is there
    atomically, and returns a :class:`BuildReport`.

    For a key in several inputs, the last input wins.  An input is a store
    (the path of a store file or of a sharded store directory, or a
    TarnReader of either kind or over a list of shard files) or a mapping
    ``{key: object}`` of new content, in which the value None removes the
    key from the inputs before it (to store None itself, put it in a store
    input).  The keys in *delete* are left out of the result, whatever the
    inputs hold.  *default* is the msgpack hook for mapping inputs, as for
    TarnWriter.

    *out* is a store file, unless *shards* is given, *out* is an existing
    directory, or it ends with a path separator: then it is a sharded store
    directory (made if missing), whose new generation has *shards* shards,
    else as many as the sharded inputs have, else as many as the store
    already there.  Objects shared by several keys stay shared within each
    output file.  *progress* is then called for each shard file in turn.

    Raises TarnIOError, TarnCorruptError or TarnVersionError naming the
    input that cannot be read, or the target that cannot be written; the
    target is then left as it was.  What is refused outright (an input of
    another type, a shard count out of range or not given where it must
    be) is refused before any input is opened.  Ctrl-C stops the merge
    before the rename (for a sharded store, before its manifest is
    replaced), as for :meth:`TarnWriter.build`.
    """
    sources = list(inputs)
    _check_inputs(sources)
    output_shards(os.fsdecode(os.fspath(out)), shards, _peek_shards(sources))
    job = MergeJob(sources, delete=delete, default=default)
    return job.run(out, verbose=verbose, progress=progress, shards=shards)
