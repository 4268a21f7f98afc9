"""The checks of an open sharded store beyond each shard's own CRC-32s:
the open shards against the manifest they were opened by, and the store
directory against that manifest while it is still the published one.

Pure over the file system; safe to call from any thread.
"""

from __future__ import annotations

import errno
import os

from tarndb._layout import generation_dir
from tarndb.errors import TarnCorruptError, TarnError
from tarndb.sharded import manifest as mf

__all__ = ["verify_layout"]


def verify_layout(store: str, manifest: mf.Manifest, shard_stats: list[dict[str, int | float | str]]) -> None:
    """The checks of an open sharded store beyond each shard's own: every
    open shard's header agrees with the manifest it was opened by and lists
    all its keys (none routes to another shard); while the store still
    publishes this generation, its directory holds those shards and nothing
    else."""
    for i, (entry, stats) in enumerate(zip(manifest.shards, shard_stats)):
        for field in ("num_keys", "num_objects"):
            if int(stats[field]) != getattr(entry, field):
                raise TarnCorruptError(
                    f"{store}: shard {i} ({entry.file}) does not match the manifest: "
                    f"{field} is {stats[field]}, the manifest says {getattr(entry, field)}"
                )
        unlisted = int(stats["num_keys"]) - int(stats["listed_keys"])
        if unlisted:
            raise TarnCorruptError(
                f"{store}: shard {i} ({entry.file}) holds {unlisted} keys that belong to other shards or repeat"
            )
    try:
        current = mf.read_manifest(store)
    except TarnError as exc:
        raise TarnCorruptError(f"{exc} (the store was opened on generation {manifest.generation})") from None
    if current.generation != manifest.generation:
        return  # republished since: the open files were checked above
    gen = generation_dir(manifest.generation)
    for i, entry in enumerate(manifest.shards):
        try:
            mf.check_shard(store, i, entry)
        except OSError as exc:
            if exc.errno != errno.ENOENT:
                raise
            raise TarnCorruptError(f"{store}: shard {entry.file} named by the manifest is missing") from None
    expected = {os.path.basename(s.file) for s in manifest.shards}
    extra = sorted(set(os.listdir(os.path.join(store, gen))) - expected)
    if extra:
        raise TarnCorruptError(f"{store}: {gen} holds a file the manifest does not name: {extra[0]!r}")
