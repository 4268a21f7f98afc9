"""Opening a sharded store for reading: one manifest, its shards checked.

The store directory is opened once, and everything after goes through that
descriptor: the manifest is read from it, and every shard it names is
opened under it one component at a time without following a link (the
native reader's ``dir_fd``), so that what is mapped is a file inside the
store, whatever is swapped meanwhile.  What was opened is then checked: each
shard's header, as mapped, against the manifest.

A publish that removes a generation between our reading the manifest and
opening its shards shows as a missing shard while the manifest has moved
on: the open is then tried again with the new manifest.  A shard missing
under an unchanged manifest is a damaged store.

Pure over the file system; safe to call from any thread.
"""

from __future__ import annotations

import errno
import os
from collections.abc import Callable
from typing import Protocol, TypeVar

from tarndb._building import io_error, with_context
from tarndb.errors import TarnCorruptError, TarnError
from tarndb.sharded import manifest as mf

__all__ = ["open_store", "open_store_dir", "Opened", "check_shards", "missing_shard"]

_ATTEMPTS = 3


class Opened(Protocol):
    # What the opener gives back: a reader that reports each shard's header.
    def shard_stats(self) -> list[dict[str, int | float | str]]: ...


T = TypeVar("T", bound=Opened)


def open_store_dir(store: str) -> int:
    """A descriptor of the store directory (the caller closes it)."""
    try:
        return os.open(store, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError as exc:
        raise io_error(store, "cannot open", exc) from None


def open_store(store: str, opener: Callable[[int, list[str]], T]) -> tuple[mf.Manifest, T]:
    """The manifest of *store* and ``opener(dir_fd, shard names)``, for one
    generation, whole, its shards checked against the manifest.  *opener*
    opens the named files under *dir_fd* (they stay open when the
    generation is removed later)."""
    dir_fd = open_store_dir(store)
    try:
        for attempt in range(_ATTEMPTS):
            manifest = mf.read_manifest(store, dir_fd)
            try:
                for s in manifest.shards:
                    mf.resolve_shard(store, s.file)  # a link out is named as such before anything opens
                opened = opener(dir_fd, [s.file for s in manifest.shards])
            except OSError as exc:
                if exc.errno != errno.ENOENT:
                    raise _named(store, exc) from None
            except TarnError as exc:
                raise _named(store, exc) from None
            else:
                check_shards(store, manifest, opened.shard_stats())
                return manifest, opened
            if attempt + 1 < _ATTEMPTS and _moved_on(store, manifest, dir_fd):
                continue  # a publish removed the generation meanwhile: follow it
            raise missing_shard(store, manifest)
        raise AssertionError("unreachable")
    finally:
        os.close(dir_fd)


def _named(store: str, exc: BaseException) -> BaseException:
    # A failure of the native open names the shard by its relative name.
    if isinstance(exc, TarnError) and store not in str(exc):
        return with_context(exc, store)
    return exc


def missing_shard(store: str, manifest: mf.Manifest) -> TarnCorruptError:
    """The error for a shard of *manifest* that is gone from *store*, naming
    the first one missing."""
    missing = next(
        (s.file for s in manifest.shards if not os.path.exists(os.path.join(store, s.file))), "a shard file"
    )
    return TarnCorruptError(f"{store}: shard {missing} named by the manifest is missing")


def check_shards(store: str, manifest: mf.Manifest, shard_stats: list[dict[str, int | float | str]]) -> None:
    """TarnCorruptError unless each open shard's header (*shard_stats*, as
    the reader mapped it) has the figures *manifest* gives: compared as
    opened, so nothing swapped on disk between a check and the open goes
    unseen."""
    for i, (entry, stats) in enumerate(zip(manifest.shards, shard_stats)):
        found = mf.ShardInfo(
            entry.file,
            int(stats["num_keys"]),
            int(stats["num_objects"]),
            round(float(stats["file_size_kb"]) * 1024),
            int(str(stats["file_crc32"]), 16),
        )
        mf.compare(store, i, entry, found)


def _moved_on(store: str, seen: mf.Manifest, dir_fd: int) -> bool:
    try:
        return mf.read_manifest(store, dir_fd).generation != seen.generation
    except TarnError:
        return False
