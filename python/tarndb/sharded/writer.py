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
from tarndb._building import BuildReport, Default, Key, Progress, StrPath, WriterBase, io_error, key_bytes
from tarndb._layout import MAX_PAYLOAD, MAX_SHARDS, run_file, shard_file, shard_name
from tarndb.errors import TarnError
from tarndb.sharded import manifest as mf
from tarndb.sharded.build import ShardJob, build_shards
from tarndb.sharded.lock import StoreLock
from tarndb.sharded.runfile import RunWriter

__all__ = ["ShardedWriter"]


def _finish(lock: StoreLock, spill: str, runs: list[RunWriter | None]) -> None:
    # Runs when the writer is closed, or collected without being closed.
    for run in runs:
        if run is not None:
            run.close()
    lock.discard(spill)
    lock.release()


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
                 "_home_ref", "_copies", "_keys", "_done", "_finalizer", "_report", "_unique_keys", "__weakref__")

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
        count = operator.index(shards) if shards is not None else 0
        if not 1 <= count <= MAX_SHARDS:
            raise ValueError(f"shards must be from 1 to {MAX_SHARDS}, not {shards!r}")
        workers = operator.index(workers)
        if workers < 1:
            raise ValueError(f"workers must be at least 1, not {workers!r}")
        self._path = os.fspath(path)
        self._store = self._path
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

    @property
    def shards(self) -> int:
        """The number of shards of the store being built."""
        return self._shards

    def _run(self, shard: int) -> RunWriter:
        run = self._runs[shard]
        if run is None:
            path = os.path.join(self._spill, run_file(shard))
            try:
                run = self._runs[shard] = RunWriter(path, self._block_size())
            except OSError as exc:
                raise io_error(path, "cannot create a run file", exc) from None
        return run

    def _block_size(self) -> int:
        # At most 64 MiB of pending blocks in all.
        return max(64 << 10, min(1 << 20, (64 << 20) // self._shards))

    def _check_open(self) -> None:
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
            run = self._runs[shard] or self._run(shard)
            try:
                self._home_ref.append(run.add_object(raw, stored))
            except OSError as exc:
                raise io_error(self._spill, "cannot write a run file", exc) from None
            self._home_shard.append(shard)
            self._objects = obj_id + 1
            self._keys += 1
            return obj_id
        groups: dict[int, list[bytes]] = {}
        for k in stored:
            groups.setdefault(_fast.route(k, self._shards), []).append(k)
        if not groups:  # no key yet: kept in a shard of its own choosing
            groups[obj_id % self._shards] = []
        try:
            for i, (shard, ks) in enumerate(groups.items()):
                ref = self._run(shard).add_object(raw, ks)
                if i == 0:
                    self._home_shard.append(shard)
                    self._home_ref.append(ref)
        except OSError as exc:
            raise io_error(self._spill, "cannot write a run file", exc) from None
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
            raise io_error(self._spill, "cannot write a run file", exc) from None
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
        runs: list[list[str]] = []
        for shard, run in enumerate(self._runs):
            if run is not None:
                run.close()
                self._runs[shard] = None
            run_path = os.path.join(self._spill, run_file(shard))
            runs.append([run_path] if os.path.exists(run_path) else [])
        gen, gen_path = self._lock.new_generation()
        jobs = [
            ShardJob(runs[i], os.path.join(gen_path, shard_file(i)), shard_name(gen, i), self._unique_keys)
            for i in range(self._shards)
        ]
        try:
            infos = build_shards(jobs, self._workers)
            manifest = mf.Manifest(gen, tuple(infos))
            self._lock.publish(manifest)
        except BaseException:
            self._lock.discard(gen_path)
            self._reopen_runs()
            raise
        self.close()
        report = self._report = BuildReport(
            self._store, manifest.num_objects, manifest.num_keys, manifest.file_size, time.monotonic() - started
        )
        if self._verbose if verbose is None else verbose:
            print(report.summary(), file=sys.stdout)
        return report

    def _reopen_runs(self) -> None:
        # After a failed build the staged records are all still in the run
        # files: staging can go on, and build() be called again.
        for shard in range(self._shards):
            path = os.path.join(self._spill, run_file(shard))
            if os.path.exists(path):
                self._runs[shard] = RunWriter(path, self._block_size(), append=True)

    def close(self) -> None:
        """Gives the store up without building (or after it): removes the
        spill directory and releases the builder lock.  Idempotent."""
        self._done = True
        self._finalizer()

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
