"""The checks of an open sharded store beyond each shard's own CRC-32s:
the open shards against the manifest they were opened by, and the store
directory against that manifest while it is still the published one.

Builders may publish while a store is verified.  The open shards are
checked whatever happens on disk.  The directory is checked only while the
manifest still names the generation the reader holds: a file of it that is
gone, once the manifest has moved on, was removed by a publish (a reader's
generation is kept through one publish and removed by the next), not lost.

Pure over the file system; safe to call from any thread.
"""

from __future__ import annotations

import os

from tarndb._layout import generation_dir
from tarndb.errors import TarnCorruptError, TarnError
from tarndb.sharded import manifest as mf
from tarndb.sharded.opening import check_shards, missing_shard, open_store_dir

__all__ = ["verify_layout"]


def verify_layout(
    store: str, manifest: mf.Manifest, shard_stats: list[dict[str, int | float | str]], misplaced: list[int]
) -> None:
    """Every open shard's header agrees with the manifest it was opened by
    and none of its keys routes to another shard or repeats (*misplaced*:
    how many do, per shard); while the store still publishes this
    generation, its directory holds those shards and nothing else.
    TarnCorruptError names the first fault."""
    check_shards(store, manifest, shard_stats)
    for i, (entry, unlisted) in enumerate(zip(manifest.shards, misplaced)):
        if unlisted:
            raise TarnCorruptError(
                f"{store}: shard {i} ({entry.file}) holds {unlisted} keys that belong to other shards or repeat"
            )
    dir_fd = open_store_dir(store)
    try:
        if not _still_published(store, manifest, dir_fd):
            return  # republished since: the open files were checked above
        try:
            _check_directory(store, manifest, dir_fd)
        except FileNotFoundError:
            if not _still_published(store, manifest, dir_fd):
                return  # a publish removed the generation while it was checked
            raise missing_shard(store, manifest) from None
    finally:
        os.close(dir_fd)


def _still_published(store: str, manifest: mf.Manifest, dir_fd: int) -> bool:
    try:
        current = mf.read_manifest(store, dir_fd)
    except TarnError as exc:
        raise TarnCorruptError(f"{exc} (the store was opened on generation {manifest.generation})") from None
    return current.generation == manifest.generation


def _check_directory(store: str, manifest: mf.Manifest, dir_fd: int) -> None:
    # FileNotFoundError for anything of the generation that is gone.
    gen = generation_dir(manifest.generation)
    for i, entry in enumerate(manifest.shards):
        mf.check_shard(store, i, entry, dir_fd)
    gen_fd = mf.open_directory(gen, dir_fd, store)
    try:
        names = set(os.listdir(gen_fd))
    finally:
        os.close(gen_fd)
    extra = sorted(names - {os.path.basename(s.file) for s in manifest.shards})
    if extra:
        raise TarnCorruptError(f"{store}: {gen} holds a file the manifest does not name: {extra[0]!r}")
