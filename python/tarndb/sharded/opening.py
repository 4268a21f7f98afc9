"""Opening a sharded store for reading: one manifest, its shards checked.

The manifest is read once; every shard it names is resolved inside the
store directory and its header compared with the manifest before anything
else reads it.  A publish that removes a generation between our reading the
manifest and opening its shards shows as a missing shard while the manifest
has moved on: the open is then tried again with the new manifest.  A shard
missing under an unchanged manifest is a damaged store.

Pure over the file system; safe to call from any thread.
"""

from __future__ import annotations

import errno
import os
from collections.abc import Callable
from typing import TypeVar

from tarndb.sharded import manifest as mf
from tarndb.errors import TarnCorruptError, TarnError

__all__ = ["open_store"]

_ATTEMPTS = 3
T = TypeVar("T")


def open_store(store: str, opener: Callable[[list[str]], T]) -> tuple[mf.Manifest, T]:
    """The manifest of *store* and ``opener(real shard paths)``, for one
    generation, whole.  *opener* opens the files (they stay open when the
    generation is removed later)."""
    for attempt in range(_ATTEMPTS):
        manifest = mf.read_manifest(store)
        try:
            paths = [mf.check_shard(store, i, s) for i, s in enumerate(manifest.shards)]
            return manifest, opener(paths)
        except OSError as exc:
            if exc.errno != errno.ENOENT:
                raise
        if attempt + 1 < _ATTEMPTS and _moved_on(store, manifest):
            continue  # a publish removed the generation meanwhile: follow it
        missing = next(
            (s.file for s in manifest.shards if not os.path.exists(os.path.join(store, s.file))), "a shard file"
        )
        raise TarnCorruptError(f"{store}: shard {missing} named by the manifest is missing")
    raise AssertionError("unreachable")


def _moved_on(store: str, seen: mf.Manifest) -> bool:
    try:
        return mf.read_manifest(store).generation != seen.generation
    except TarnError:
        return False
