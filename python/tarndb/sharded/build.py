"""Building shard files from run files: in this process, or in worker
processes (``tarndb.sharded.worker``), *W* at a time.

Building a shard reads its runs in order, a block at a time: the memory of
a build is that shard's staged payloads and keys in the native writer,
plus one block.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import threading
from collections import deque
from collections.abc import Sequence
from typing import NamedTuple

from tarndb import _fast, errors
from tarndb._building import run_build
from tarndb.sharded import manifest as mf
from tarndb.sharded.runfile import BlockData, read_blocks, slices

__all__ = ["build_shard", "build_shards", "ShardJob"]


def build_shard(runs: Sequence[str], out: str, name: str, unique: bool = False) -> mf.ShardInfo:
    """Builds the store file *out* from *runs* (in order) and returns its
    figures under the manifest name *name*.  With *unique*, a key given
    twice is a TarnError instead of mapping to the later object (the memory
    of that check is this shard's keys)."""
    native = _fast.Writer()
    added = 0  # objects staged in `native` so far
    seen: set[bytes] = set()
    for run in runs:
        base = added  # the writer's ID of this run's object 0
        for block in read_blocks(run):
            deque(map(native.add_object_raw, slices(block.payloads, block.olens)), maxlen=0)
            added += len(block.olens)
            if unique:
                _check_unique(seen, block)
            deque(map(native.add_key, slices(block.keys, block.klens), map(base.__add__, block.krefs)), maxlen=0)
    run_build(native, out, None)  # a failure names the shard's file
    return mf.read_header(out, name)


def _check_unique(seen: set[bytes], block: BlockData) -> None:
    keys = list(slices(block.keys, block.klens))
    fresh = set(keys)
    if len(fresh) == len(keys) and seen.isdisjoint(fresh):
        seen |= fresh
        return
    for key in keys:  # some key is there twice: name the first one
        if key in seen:
            raise errors.TarnError(f"duplicate key {key.decode('utf-8', 'replace')!r} in the input")
        seen.add(key)


class ShardJob(NamedTuple):
    runs: list[str]
    out: str
    name: str
    unique: bool = False


def build_shards(jobs: Sequence[ShardJob], workers: int) -> list[mf.ShardInfo]:
    """Builds every job, *workers* at a time, in child processes (in this
    one for a single worker).  The first failure stops the others and is
    raised."""
    if workers <= 1:
        return [build_shard(*job) for job in jobs]
    return _Pool(jobs, workers).run()


# The directory this package was imported from (it holds tarndb/).
_PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# A worker's first steps: the package's own directory first on its path,
# then the worker's entry point (tarndb.sharded.worker).
_BOOT = (
    "import json, sys; sys.path[:0] = json.loads(sys.argv.pop(1)); "
    "from tarndb.sharded.worker import main; sys.exit(main(sys.argv[1:]))"
)


def _worker_command() -> list[str]:
    """How a worker is started: isolated (``-I``: neither the working
    directory nor PYTHON* variables nor the user's site directory on its
    path, where another user could have put a ``tarndb`` of their own), with
    the very package this process runs put first on its path explicitly (a
    source checkout included), followed by this process's own absolute path
    entries other than the working directory."""
    cwd = os.getcwd()
    extra = [os.path.abspath(p) for p in sys.path if p and os.path.isabs(p) and os.path.abspath(p) != cwd]
    path = [_PACKAGE_ROOT, *(p for p in dict.fromkeys(extra) if p != _PACKAGE_ROOT)]
    return [sys.executable, "-I", "-c", _BOOT, json.dumps(path)]


class _Pool:
    # Child processes started fresh (_worker_command): nothing of this
    # process (threads, locks, __main__) is inherited or re-imported.

    def __init__(self, jobs: Sequence[ShardJob], workers: int) -> None:
        self._jobs = list(jobs)
        self._workers = workers
        self._lock = threading.Lock()
        self._procs: list[subprocess.Popen[bytes]] = []
        self._results: list[mf.ShardInfo | None] = [None] * len(self._jobs)
        self._failure: BaseException | None = None
        self._next = 0

    def run(self) -> list[mf.ShardInfo]:
        threads = [threading.Thread(target=self._work, daemon=True) for _ in range(self._workers)]
        try:
            for t in threads:
                t.start()
            for t in threads:
                while t.is_alive():
                    t.join(0.2)
        finally:
            self._stop()
        if self._failure is not None:
            raise self._failure
        return [r for r in self._results if r is not None]

    def _stop(self) -> None:
        with self._lock:
            self._next = len(self._jobs)
            procs = list(self._procs)
        for p in procs:
            if p.poll() is None:
                p.kill()
            p.wait()

    def _work(self) -> None:
        while True:
            with self._lock:
                if self._next >= len(self._jobs) or self._failure is not None:
                    return
                i = self._next
                self._next += 1
                job = self._jobs[i]
                proc = subprocess.Popen(
                    [*_worker_command(), "unique" if job.unique else "any", job.out, job.name, *job.runs],
                    stdin=subprocess.DEVNULL,
                    stdout=subprocess.PIPE,
                    stderr=subprocess.PIPE,
                )
                self._procs.append(proc)
            out, err = proc.communicate()
            try:
                result = self._result(proc.returncode, out, err)
            except BaseException as exc:  # noqa: BLE001 (handed to the caller's thread)
                with self._lock:
                    if self._failure is None:
                        self._failure = exc
                return
            self._results[i] = result

    @staticmethod
    def _result(code: int, out: bytes, err: bytes) -> mf.ShardInfo:
        try:
            doc = json.loads(out)
        except ValueError:
            doc = None
        if code == 0 and isinstance(doc, dict) and "file" in doc:
            return mf.ShardInfo(**doc)
        if isinstance(doc, dict) and "error" in doc:
            cls = getattr(errors, str(doc["error"]), errors.TarnError)
            exc = cls(str(doc["message"]))
            if isinstance(exc, OSError) and doc.get("errno") is not None:
                exc.errno = int(doc["errno"])
            raise exc
        tail = err.decode(errors="replace").strip().splitlines()[-1:] or [f"exit status {code}"]
        raise errors.TarnError(f"a shard build process failed: {tail[0]}")
