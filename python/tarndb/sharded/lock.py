"""The store directory as builders see it: the lock, leftovers, generations
and publishing (names in ``tarndb._layout``).

Builders of one store are serialised by an exclusive ``flock`` on the file
``lock`` in the store directory, taken when a builder starts (a sharded
``TarnWriter`` is constructed, ``to_tarndb`` is called) and held until it has
published or given up.  A second builder is refused at once with TarnError;
it does not wait.  The lock belongs to the open file, so a builder that dies,
even by SIGKILL, releases it with its process.  A child forked while the
lock is held closes its copy of the descriptor at once (``os.fork``'s
after-fork hook), so that the lock is the parent's alone and goes with the
parent's release; the child's StoreLock no longer holds anything.

The lock file is opened as the native atomic file opens its temporary file
(no link followed, created private, refused unless a regular file with one
link owned by this user): the store directory may be one that others can
write to.  It also keeps the highest generation number ever handed out, so
that a number is never given twice, not even one of a build that was killed
and whose leftovers were cleared since.

Under the lock, a builder first removes what a failed build left: spill
directories (``spill-*``), generations above the published one, a stray
manifest temporary file.  It writes its shards into a new generation
directory that no reader looks at, syncs them, then publishes by replacing
the manifest (the one atomic step readers can observe), and finally removes
every generation but the new one and the one it replaced: a reader that read
the previous manifest just before the switch can still open its files, and
readers that already have files open keep them in any case.

A ``StoreLock`` is used from one thread.
"""

from __future__ import annotations

import errno
import fcntl
import os
import shutil
import tempfile
import weakref

from tarndb import _fast
from tarndb._building import io_error, with_context
from tarndb._layout import LOCK, MANIFEST, MANIFEST_TMP, OLD_MANIFEST_TMP, SPILL_PREFIX, generation_dir, generation_of
from tarndb.errors import TarnError, TarnIOError
from tarndb.sharded import manifest as mf

__all__ = ["StoreLock"]

# What a store directory may hold besides generations and spill directories.
_OWN_NAMES = {MANIFEST, MANIFEST_TMP, OLD_MANIFEST_TMP, LOCK}


def _remove(path: str) -> None:
    # Never follows a link: a link is removed, not what it leads to.  What
    # cannot be removed stays (a later open of it refuses it if it must).
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    else:
        try:
            os.unlink(path)
        except OSError:
            pass


# The locks this process holds, for the after-fork hook below.
_held: weakref.WeakSet[StoreLock] = weakref.WeakSet()


def _forget_in_child() -> None:
    # A forked child shares the lock's open file with its parent: closing
    # its copy (never unlocking, which would end the parent's lock too)
    # leaves the lock with the parent alone.
    for lock in list(_held):
        lock._forked()


os.register_at_fork(after_in_child=_forget_in_child)


class StoreLock:
    """The builder's hold on a store directory, from construction to
    :meth:`release`."""

    def __init__(self, store: str) -> None:
        self.store = store
        self._fd = -1
        self._lost = False  # set in a child forked while the lock was held
        if os.path.exists(store) and not os.path.isdir(store):
            raise TarnError(f"{store}: is a file, not a sharded store directory")
        try:
            os.mkdir(store)
        except FileExistsError:
            pass
        except OSError as exc:
            raise io_error(store, "cannot create the store directory", exc) from None
        self._check_foreign()
        lock = os.path.join(store, LOCK)
        try:
            fd = _fast.open_private(lock, os.O_RDWR | os.O_CREAT)
        except TarnIOError as exc:
            raise with_context(exc, f"{store}: cannot open the lock file") from None
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as exc:
            os.close(fd)
            if exc.errno in (errno.EWOULDBLOCK, errno.EAGAIN):
                raise TarnError(f"{store}: another builder is building this store (it holds {lock})") from None
            raise io_error(lock, "cannot lock", exc) from None
        self._fd = fd
        _held.add(self)
        self._clear_leftovers()

    def _check_foreign(self) -> None:
        # Refuse to scatter generations into a directory that holds other
        # things: a store directory is created empty or is one already.
        for name in os.listdir(self.store):
            if name in _OWN_NAMES or name.startswith(SPILL_PREFIX) or generation_of(name) is not None:
                continue
            raise TarnError(f"{self.store}: not a sharded store directory (it holds {name!r})")

    @property
    def held(self) -> bool:
        return self._fd >= 0

    def published(self) -> int | None:
        """The generation the manifest names; None when there is none or it
        cannot be read (a rebuild replaces a damaged manifest)."""
        try:
            return mf.read_manifest(self.store).generation
        except TarnError:
            return None

    def _generations(self) -> list[int]:
        found = (generation_of(name) for name in os.listdir(self.store))
        return sorted(g for g in found if g is not None)

    def _clear_leftovers(self) -> None:
        published = self.published()
        if published is None and not os.path.exists(os.path.join(self.store, MANIFEST)):
            published = 0  # never published: every generation is a leftover
        # Numbers are never reused, not even those of unpublished leftovers.
        self._top = max([published or 0, self._handed_out(), *self._generations()])
        for name in os.listdir(self.store):
            gen = generation_of(name)
            leftover = (
                name.startswith(SPILL_PREFIX)
                or name in (MANIFEST_TMP, OLD_MANIFEST_TMP)
                or (gen is not None and published is not None and gen > published)
            )
            if leftover:
                _remove(os.path.join(self.store, name))

    def spill_dir(self) -> str:
        """A new, empty directory for run files, removed by the next builder
        if this one fails to."""
        return tempfile.mkdtemp(prefix=SPILL_PREFIX, dir=self.store)

    def _handed_out(self) -> int:
        # The highest number a builder took, as the lock file keeps it (0
        # for a lock file that holds none, as earlier versions left it).
        try:
            text = os.pread(self._fd, 32, 0)
        except OSError:
            return 0
        return int(text) if text.strip().isdigit() else 0

    def _record(self, gen: int) -> None:
        # Durable before the generation's directory exists: a build killed
        # after this still has its number counted as taken.
        text = b"%d\n" % gen
        try:
            os.ftruncate(self._fd, 0)
            os.pwrite(self._fd, text, 0)
            os.fsync(self._fd)
        except OSError as exc:
            raise io_error(os.path.join(self.store, LOCK), "cannot record the generation", exc) from None

    def new_generation(self) -> tuple[int, str]:
        """The number and directory of a new generation, one above every
        generation present, published or ever handed out."""
        self._check_held()
        gen = max([self._top, self.published() or 0, self._handed_out(), *self._generations()]) + 1
        self._record(gen)
        self._top = gen
        path = os.path.join(self.store, generation_dir(gen))
        try:
            os.mkdir(path)
        except OSError as exc:
            raise io_error(path, "cannot create the generation directory", exc) from None
        return gen, path

    def publish(self, manifest: mf.Manifest) -> None:
        """Makes the shards of *manifest* durable, switches the manifest to
        it, and removes the generations older than the one it replaces."""
        self._check_held()
        previous = self.published()
        gen_path = os.path.join(self.store, generation_dir(manifest.generation))
        try:
            mf.fsync_dir(gen_path)
            mf.fsync_dir(self.store)
            mf.write_manifest(self.store, manifest)
        except OSError as exc:
            raise io_error(self.store, "cannot publish the manifest", exc) from None
        keep = {manifest.generation, previous}
        for gen in self._generations():
            if gen not in keep:
                _remove(os.path.join(self.store, generation_dir(gen)))

    def discard(self, path: str) -> None:
        """Removes a spill or unpublished generation directory now (the next
        builder would otherwise)."""
        _remove(path)

    def settle(self, gen: int, gen_path: str) -> bool:
        """After a failure while generation *gen* was written or published:
        True when the manifest already names it (the switch is the one step
        readers see, so the build has happened and its directory must stay),
        else removes *gen_path* and returns False."""
        if self.published() == gen:
            return True
        _remove(gen_path)
        return False

    def _check_held(self) -> None:
        if self._lost:
            raise TarnError(
                f"{self.store}: this builder's lock stayed with the process that took it; "
                "a forked process cannot build with it"
            )

    def _forked(self) -> None:
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1
            self._lost = True

    def release(self) -> None:
        # Only a held lock has anything to let go of: a released one may be
        # collected again at interpreter exit, when module globals are gone.
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1
            _held.discard(self)

    def __del__(self) -> None:
        self.release()
