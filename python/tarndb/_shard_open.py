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

import os
from collections.abc import Callable
from typing import TypeVar

from tarndb import _fast
from tarndb import _shard_manifest as mf
from tarndb.errors import TarnCorruptError

__all__ = ["is_sharded", "open_store", "verify_layout"]

_ATTEMPTS = 3
T = TypeVar("T")


def is_sharded(path: str) -> bool:
    """True when *path* names a directory (a sharded store, or meant as one)."""
    return os.path.isdir(path)


def open_store(store: str, opener: Callable[[list[str]], T]) -> tuple[mf.Manifest, T]:
    """The manifest of *store* and ``opener(real shard paths)``, for one
    generation, whole.  *opener* opens the files (they stay open when the
    generation is removed later)."""
    for attempt in range(_ATTEMPTS):
        manifest = mf.read_manifest(store)
        try:
            paths = [mf.check_shard(store, i, s) for i, s in enumerate(manifest.shards)]
            return manifest, opener(paths)
        except FileNotFoundError as exc:
            missing: OSError = exc
        except OSError as exc:
            if not os.path.exists(exc.filename or ""):  # removed between check and open
                missing = exc
            else:
                raise
        if attempt + 1 < _ATTEMPTS and _moved_on(store, manifest):
            continue
        name = os.path.relpath(missing.filename, store) if missing.filename else "a shard"
        raise TarnCorruptError(f"{store}: shard {name} named by the manifest is missing") from None
    raise AssertionError("unreachable")


def _moved_on(store: str, seen: mf.Manifest) -> bool:
    try:
        return mf.read_manifest(store).generation != seen.generation
    except TarnCorruptError:
        return False


def verify_layout(store: str, manifest: mf.Manifest, shard_keys: Callable[[int], list[str]]) -> None:
    """The checks of a sharded store beyond each shard's own: the manifest
    still names this generation's shards and every shard's header agrees
    with it; the generation directory holds those shards and nothing else;
    every key of shard i routes to shard i."""
    gen_dir = os.path.join(store, mf.generation_dir(manifest.generation))
    for i, s in enumerate(manifest.shards):
        try:
            mf.check_shard(store, i, s)
        except FileNotFoundError:
            raise TarnCorruptError(f"{store}: shard {i} ({s.file}) named by the manifest is missing") from None
    expected = {os.path.basename(s.file) for s in manifest.shards}
    try:
        present = set(os.listdir(gen_dir))
    except FileNotFoundError:
        raise TarnCorruptError(f"{store}: generation directory {os.path.basename(gen_dir)} is missing") from None
    extra = sorted(present - expected)
    if extra:
        raise TarnCorruptError(f"{store}: {mf.generation_dir(manifest.generation)} holds a file the manifest does not name: {extra[0]!r}")
    n = len(manifest.shards)
    for i in range(n):
        for key in shard_keys(i):
            if _fast.route(key, n) != i:
                raise TarnCorruptError(f"{store}: key {key!r} is in shard {i} but routes to shard {_fast.route(key, n)}")
