"""The sharded writer: ``TarnWriter(path, shards=N, workers=W)``.

Staging never holds payloads in memory: each record is packed once and
appended to the run file of every shard that one of its keys routes to, in
a spill directory inside the store.  ``build()`` then builds the shards,
one at a time or *W* at a time in child processes, each from its own run
file, into a new generation, and publishes it.  Peak memory is that of
building the largest shard (times W), plus a few bytes per object for the
note of where it was spilled (kept for ``alias``).

The writer holds the store's builder lock from construction until it has
published or is closed.  One thread at a time.
"""

from __future__ import annotations

import operator
import os
import sys
import time
import weakref
from array import array
from types import TracebackType
from typing import Literal

from tarndb import _fast
from tarndb._building import BuildReport, Default, Key, Progress, StrPath, WriterBase, io_error, key_bytes, store_report
from tarndb._layout import MAX_PAYLOAD, run_file, shard_count, shard_file, shard_name
from tarndb.errors import TarnError, TarnIOError
from tarndb.sharded import manifest as mf
from tarndb.sharded.build import ShardJob, build_shards
from tarndb.sharded.lock import StoreLock
from tarndb.sharded.runfile import RunWriter

__all__ = ["ShardedWriter"]


def _finish(lock: StoreLock, spill: str, runs: list[RunWriter | None]) -> None:
    # Runs when the writer is closed, or collected without being closed:
    # whatever fails on the way, the spill goes and the lock is released.
    try:
        for i, run in enumerate(runs):
            if run is not None:
                run.discard()
                runs[i] = None
    finally:
        try:
            lock.discard(spill)
        finally:
            lock.release()


# The writers this process has open, for the after-fork hook below.
_open_writers: weakref.WeakSet[ShardedWriter] = weakref.WeakSet()


def _disown_in_child() -> None:
    # A forked child holds copies of its parent's writers, whose spill and
    # lock are the parent's: the child must neither remove the spill when
    # its copy is collected nor write into the run files.
    for writer in list(_open_writers):
        writer._disown()


os.register_at_fork(after_in_child=_disown_in_child)


class ShardedWriter(WriterBase):
    """Stages records into per-shard run files and builds a sharded store
    directory (see ``docs/SCALING.md``).

    Same API as the single-file writer, with these differences: the target
    is a directory, fixed at construction (``build(path)`` accepts only that
    one); a successful build publishes the store and finishes the writer;
    an object whose keys fall in several shards is stored in each of them;
    ``alias`` of an object to a key in a shard it is not yet in copies its
    payload there.
    """

    __slots__ = ("_path", "_default", "_verbose", "_objects", "_store", "_shards", "_workers", "_lock", "_spill", "_runs", "_home_shard",
                 "_home_ref", "_copies", "_keys", "_done", "_finalizer", "_report", "_unique_keys", "_forked",
                 "__weakref__")

    def __init__(
        self,
        path: StrPath | None = None,
        *,
        default: Default | None = None,
        verbose: bool = False,
        shards: int | None = None,
        workers: int = 1,
        unique_keys: bool = False,
    ) -> None:
        """As ``tarndb.TarnWriter(path, shards=..., workers=...)``; with
        *unique_keys* (the command line's rule) a key given twice is an error
        when its shard is built, instead of mapping to the later object."""
        if path is None:
            raise TypeError("a sharded TarnWriter needs the path of its store directory")
        count = shard_count(shards)
        workers = operator.index(workers)
        if workers < 1:
            raise ValueError(f"workers must be at least 1, not {workers!r}")
        self._path = os.fspath(path)
        self._store = self._path  # the same path, as str: the base class types _path str | None
        self._shards = count
        self._workers = workers
        self._objects = 0
        self._keys = 0
        self._done = False
        self._default = default
        self._verbose = verbose
        self._report: BuildReport | None = None
        self._unique_keys = unique_keys
        self._lock = StoreLock(self._store)
        try:
            self._spill = self._lock.spill_dir()
        except OSError as exc:
            self._lock.release()
            raise io_error(self._store, "cannot create a spill directory", exc) from None
        self._runs: list[RunWriter | None] = [None] * count
        self._home_shard = array("H")
        self._home_ref = array("I")
        self._copies: dict[int, int] = {}  # obj_id * shards + shard -> its number in that run
        self._finalizer = weakref.finalize(self, _finish, self._lock, self._spill, self._runs)
        self._forked = False
        _open_writers.add(self)

    @property
    def shards(self) -> int:
        """The number of shards of the store being built."""
        return self._shards

    def _run(self, shard: int) -> RunWriter:
        # OSError when the run file cannot be created.
        run = self._runs[shard]
        if run is None:
            run = self._runs[shard] = RunWriter(os.path.join(self._spill, run_file(shard)), self._block_size())
        return run

    def _spill_error(self, exc: OSError) -> TarnIOError:
        # Names the store (and the spill within it); the run files are as
        # they were before the failed call, so it may be made again.
        if isinstance(exc, TarnIOError) and exc.errno is None:
            return TarnIOError(f"{self._store}: cannot write staged records to {self._spill}: {exc}")
        return io_error(self._store, f"cannot write staged records to {self._spill}", exc)

    def _disown(self) -> None:
        # In a forked child: see _disown_in_child.
        self._finalizer.detach()
        for run in self._runs:
            if run is not None:
                run.discard()
        self._done = self._forked = True

    def _block_size(self) -> int:
        # At most 64 MiB of pending blocks in all.
        return max(64 << 10, min(1 << 20, (64 << 20) // self._shards))

    def _check_open(self) -> None:
        if self._forked:
            raise TarnError(f"{self._store}: this writer belongs to the process that created it, not to a forked one")
        if self._done:
            raise TarnError(f"{self._store}: this writer has built or closed its store; a new TarnWriter stages the next build")

    # ------------------------------------------------------------ staging

    @property
    def num_objects(self) -> int:
        """The number of objects staged so far."""
        return self._objects

    @property
    def last_build(self) -> BuildReport | None:
        """The report of this writer's build, once it has published."""
        return self._report

    def _stage(self, raw: bytes, keys: tuple[Key, ...]) -> int:
        self._check_open()
        stored = [key_bytes(k) for k in keys]
        if len(raw) > MAX_PAYLOAD:
            raise TarnError(f"object of {len(raw)} bytes exceeds the limit of {MAX_PAYLOAD} bytes")
        obj_id = self._objects
        if len(stored) == 1:  # the common case, kept short
            shard = _fast.route(stored[0], self._shards)
            try:
                run = self._runs[shard] or self._run(shard)
                self._home_ref.append(run.add_object(raw, stored))
            except OSError as exc:
                raise self._spill_error(exc) from None
            self._home_shard.append(shard)
            self._objects = obj_id + 1
            self._keys += 1
            return obj_id
        groups: dict[int, list[bytes]] = {}
        for k in stored:
            groups.setdefault(_fast.route(k, self._shards), []).append(k)
        if not groups:  # no key yet: kept in a shard of its own choosing
            groups[obj_id % self._shards] = []
        added: list[tuple[RunWriter, int]] = []
        home_ref = 0
        try:
            for shard, ks in groups.items():
                run = self._run(shard)
                ref = run.add_object(raw, ks)
                if not added:
                    home_ref = ref
                added.append((run, len(ks)))
        except OSError as exc:
            for run, count in added:  # all of the object, or none of it
                run.drop_last(count)
            raise self._spill_error(exc) from None
        self._home_shard.append(next(iter(groups)))
        self._home_ref.append(home_ref)
        self._objects = obj_id + 1
        self._keys += len(stored)
        return obj_id

    def alias(self, key: Key, obj_id: int) -> None:
        self._check_open()
        stored = key_bytes(key)
        if not isinstance(obj_id, int):
            obj_id = operator.index(obj_id)
        if obj_id < 0 or obj_id >= 1 << 64:
            raise OverflowError("obj_id must be from 0 to 2**64 - 1")
        if obj_id >= self._objects:
            # The same text as the single-file writer's.
            raise TarnError(f"obj_id {obj_id} out of range (have {self._objects} objects)")
        shard = _fast.route(stored, self._shards)
        home = self._home_shard[obj_id]
        try:
            if shard == home:
                self._run(shard).add_key(stored, self._home_ref[obj_id])
            elif obj_id * self._shards + shard in self._copies:
                self._run(shard).add_key(stored, self._copies[obj_id * self._shards + shard])
            else:
                payload = self._run(home).payload_at(self._home_ref[obj_id])
                self._copies[obj_id * self._shards + shard] = self._run(shard).add_object(payload, [stored])
        except OSError as exc:
            raise self._spill_error(exc) from None
        self._keys += 1

    # ------------------------------------------------------------ building

    def build(
        self, path: StrPath | None = None, *, verbose: bool | None = None, progress: Progress | None = None
    ) -> BuildReport:
        """Builds every shard into a new generation and publishes it; the
        writer is then finished.  Returns the report of the whole store
        (its objects counted once per shard that holds them).  On failure
        the published generation is left as it was and ``build()`` may be
        called again.  *progress* is not called for sharded builds."""
        self._check_open()
        started = time.monotonic()
        if path is not None and os.path.realpath(os.fspath(path)) != os.path.realpath(self._store):
            raise ValueError(f"a sharded TarnWriter builds the store it was opened on ({self._store!r})")
        # The runs stay open: after a failed build staging goes on in them.
        try:
            for run in self._runs:
                if run is not None:
                    run.flush()
        except OSError as exc:
            raise self._spill_error(exc) from None
        runs = [[] if run is None else [run.path] for run in self._runs]
        gen, gen_path = self._lock.new_generation()
        jobs = [
            ShardJob(runs[i], os.path.join(gen_path, shard_file(i)), shard_name(gen, i), self._unique_keys)
            for i in range(self._shards)
        ]
        manifest: mf.Manifest | None = None
        lookup_sizes: list[int] = []
        try:
            infos = build_shards(jobs, self._workers)
            lookup_sizes = [mf.lookup_index_size(job.out) for job in jobs]
            manifest = mf.Manifest(gen, tuple(infos))
            self._lock.publish(manifest)
        except BaseException:
            if not self._lock.settle(gen, gen_path) or manifest is None:
                raise
            # The failure (Ctrl-C while old generations were removed, say)
            # came after the switch: the new generation is the store now.
        self.close()
        report = self._report = store_report(
            self._store,
            manifest.num_objects,
            manifest.num_keys,
            manifest.file_size,
            time.monotonic() - started,
            lookup_sizes,
        )
        if self._verbose if verbose is None else verbose:
            print(report.summary(), file=sys.stdout)
        return report

    def close(self) -> None:
        """Gives the store up without building (or after it): removes the
        spill directory and releases the builder lock, whatever fails on the
        way.  Idempotent."""
        self._done = True
        self._finalizer()
        _open_writers.discard(self)

    def __enter__(self) -> ShardedWriter:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_val: BaseException | None,
        exc_tb: TracebackType | None,
    ) -> Literal[False]:
        try:
            if exc_type is None and not self._done:
                self.build()
        finally:
            self.close()
        return False

    def __repr__(self) -> str:
        return (
            f"TarnWriter(path={self._path!r}, shards={self._shards}, workers={self._workers}, "
            f"objects={self._objects}, keys={self._keys})"
        )
