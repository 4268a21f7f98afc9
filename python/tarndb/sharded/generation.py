"""A whole generation written and published in one step, for builders that
make each shard file themselves (``tarndb.merge`` into a store directory).

The steps are the sharded writer's (see ``tarndb.sharded.lock``): the
builder lock, a new generation directory, the shard files, their figures
read back from their headers, then the lock's publish.  The lock is held
only for this call.
"""

from __future__ import annotations

import os
from collections.abc import Callable

from tarndb._layout import shard_file, shard_name
from tarndb.sharded import manifest as mf
from tarndb.sharded.lock import StoreLock

__all__ = ["publish_generation"]


def publish_generation(store: str, count: int, write_shard: Callable[[int, str], None]) -> mf.Manifest:
    """Writes a new generation of *count* shards into the store directory
    *store* (made if missing) by calling ``write_shard(i, path)`` for each
    shard in order, each creating the store file *path*, then publishes it
    and returns its manifest.

    Refused with TarnError when another builder holds the store, or when
    *store* is a file or a directory of other things.  On any failure
    (KeyboardInterrupt included) the new generation is removed and the
    published one stays, unless the manifest already names the new one: the
    switch is the one step readers see, so once it has happened the build
    has happened, and its manifest is returned."""
    lock = StoreLock(store)
    try:
        gen, gen_path = lock.new_generation()
        manifest: mf.Manifest | None = None
        try:
            infos = []
            for i in range(count):
                path = os.path.join(gen_path, shard_file(i))
                write_shard(i, path)
                infos.append(mf.read_header(path, shard_name(gen, i)))
            manifest = mf.Manifest(gen, tuple(infos))
            lock.publish(manifest)
        except BaseException:
            if lock.settle(gen, gen_path) and manifest is not None:
                return manifest  # the failure came after the switch
            raise
        return manifest
    finally:
        lock.release()
