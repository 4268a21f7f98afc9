"""Run files: the append-only spill of one shard's records, and the build
of a shard file from its runs.

A run file is private to one build and lives only until it is published.
After an 8-byte magic it holds blocks, back to back.  A block is a 32-byte
header, then four arrays and two byte strings (integers little-endian):

    header      "BLK1"  u32 objects  u32 keys  u32 zero  u64 payload bytes  u64 key bytes
    u32 x objects   payload lengths
    u32 x keys      key lengths
    u32 x keys      the object each key maps to: its number in this run (0, 1, ...)
    payloads, back to back;  keys, back to back

Objects are numbered in the order they were written, across blocks.  An
object is written once per run with the keys of it that route to this
shard; ``alias`` adds a key that refers to an object written earlier.
Keys keep their order, so a key given twice maps to the later object, as in
a single-file build.  Blocks let both sides work in bulk: staging appends
to in-memory arrays, and a build hands a whole block to the native writer
through C-level loops (``map``), never parsing a record in Python.

Building a shard reads its runs in order, a block at a time: the memory of
a build is that shard's staged payloads and keys in the native writer,
plus one block.  A ``RunWriter`` is used from one thread.
"""

from __future__ import annotations

import dataclasses
import json
import os
import struct
import subprocess
import sys
import threading
from array import array
from collections import deque
from collections.abc import Iterator, Sequence
from itertools import accumulate, chain, islice, repeat
from typing import BinaryIO, NamedTuple

from tarndb import _fast, errors
from tarndb import _shard_manifest as mf

__all__ = ["RunWriter", "read_blocks", "build_shard", "build_shards", "ShardJob"]

MAGIC = b"TNRUN\x002\n"
_BLOCK = struct.Struct("<4sIIIQQ")
_SWAP = sys.byteorder != "little"  # arrays are stored little-endian


def _u32(values: array) -> bytes:  # type: ignore[type-arg]
    if _SWAP:
        values = array(values.typecode, values)
        values.byteswap()
    return values.tobytes()


class _Block(NamedTuple):
    first: int  # number of the block's first object in the run
    offset: int  # of the block's header in the file
    objects: int
    keys: int


class RunWriter:
    """Appends records to one run file, a block at a time."""

    __slots__ = ("path", "_file", "_size", "_block_size", "_blocks", "_count", "_olens", "_objs",
                 "_klens", "_krefs", "_kbuf", "_first")

    def __init__(self, path: str, block_size: int = 1 << 20, append: bool = False) -> None:
        self.path = path
        self._block_size = block_size
        self._blocks: list[_Block] = []
        self._file: BinaryIO = open(path, "ab+" if append else "wb+", buffering=0)  # noqa: SIM115
        if append:
            self._blocks = list(_scan(self._file, path))
            self._size = os.fstat(self._file.fileno()).st_size
        else:
            self._file.write(MAGIC)
            self._size = len(MAGIC)
        last = self._blocks[-1] if self._blocks else None
        self._count = last.first + last.objects if last else 0  # objects written so far
        self._new_block()

    def _new_block(self) -> None:
        self._first = self._count
        self._olens = array("I")
        self._objs = bytearray()
        self._klens = array("I")
        self._krefs = array("I")
        self._kbuf = bytearray()

    def add_object(self, payload: bytes, keys: Sequence[bytes]) -> int:
        """Appends an object with *keys*; returns its number in the run."""
        ref = self._count
        self._count = ref + 1
        self._olens.append(len(payload))
        self._objs += payload
        for k in keys:
            self._klens.append(len(k))
            self._kbuf += k
            self._krefs.append(ref)
        if len(self._objs) + len(self._kbuf) >= self._block_size:
            self.flush()
        return ref

    def add_objects(self, payloads: list[bytes], keys: list[bytes], key_counts: list[int]) -> None:
        """Appends many objects as one block of their own: object i with the
        next ``key_counts[i]`` of *keys*.  The pieces go to the file as they
        are (``writev``), without being joined first: large temporary
        buffers cost page faults, the more so where the allocator returns
        memory eagerly (as Dask's workers ask it to)."""
        self.flush()
        first = self._count
        olens = array("I", map(len, payloads))
        klens = array("I", map(len, keys))
        krefs = array("I", chain.from_iterable(map(repeat, range(first, first + len(payloads)), key_counts)))
        header = _BLOCK.pack(b"BLK1", len(payloads), len(keys), 0, sum(olens), sum(klens))
        size = _write_all(self._file.fileno(), [header, _u32(olens), _u32(klens), _u32(krefs), *payloads, *keys])
        self._blocks.append(_Block(first, self._size, len(payloads), len(keys)))
        self._size += size
        self._count = first + len(payloads)
        self._first = self._count

    def add_key(self, key: bytes, ref: int) -> None:
        """Appends a key of the object numbered *ref* (written earlier)."""
        self._klens.append(len(key))
        self._kbuf += key
        self._krefs.append(ref)
        if len(self._objs) + len(self._kbuf) >= self._block_size:
            self.flush()

    def payload_at(self, ref: int) -> bytes:
        """The payload of the object numbered *ref*."""
        if ref >= self._first:
            lens = self._olens
            start = sum(lens[: ref - self._first])
            return bytes(self._objs[start : start + lens[ref - self._first]])
        block = max((b for b in self._blocks if b.first <= ref), key=lambda b: b.first)
        fd = self._file.fileno()
        lens = array("I", os.pread(fd, 4 * block.objects, block.offset + _BLOCK.size))
        if _SWAP:
            lens.byteswap()
        i = ref - block.first
        start = block.offset + _BLOCK.size + 4 * block.objects + 8 * block.keys + sum(lens[:i])
        return os.pread(fd, lens[i], start)

    def flush(self) -> None:
        """Writes the pending block."""
        if not self._olens and not self._klens:
            return
        header = _BLOCK.pack(b"BLK1", len(self._olens), len(self._klens), 0, len(self._objs), len(self._kbuf))
        data = b"".join((header, _u32(self._olens), _u32(self._klens), _u32(self._krefs), self._objs, self._kbuf))
        view = memoryview(data)
        while view:
            view = view[self._file.write(view) or 0 :]
        self._blocks.append(_Block(self._first, self._size, len(self._olens), len(self._klens)))
        self._size += len(data)
        self._new_block()

    def close(self) -> None:
        """Writes the pending block and closes the file (no fsync: a run
        that does not survive a crash is a leftover anyway)."""
        if not self._file.closed:
            self.flush()
            self._file.close()


def _write_all(fd: int, pieces: list[bytes]) -> int:
    """Writes every piece, in order, through writev; returns the byte count."""
    total = 0
    limit = min(os.sysconf("SC_IOV_MAX") if hasattr(os, "sysconf") else 1024, 1024)
    for start in range(0, len(pieces), limit):
        # The pieces go to writev as they are: a memoryview of each would
        # cost more than the write itself (they are mostly small records).
        batch: Sequence[bytes | memoryview] = pieces[start : start + limit]
        want = sum(map(len, batch))
        total += want
        done = os.writev(fd, batch)
        while done < want:  # a short write: go on from where it stopped
            skip = done
            rest: list[bytes | memoryview] = []
            for b in batch:
                if skip >= len(b):
                    skip -= len(b)
                    continue
                rest.append(memoryview(b)[skip:])
                skip = 0
            batch, want = rest, want - done
            done = os.writev(fd, batch)
    return total


def _damaged(path: str, offset: int, what: str) -> errors.TarnCorruptError:
    return errors.TarnCorruptError(f"{path}: damaged run file at offset {offset}: {what}")


def _read_exact(f: BinaryIO, n: int, path: str, offset: int) -> bytes:
    data = f.read(n)
    if len(data) != n:
        raise _damaged(path, offset, f"truncated block ({len(data)} of {n} bytes)")
    return data


class _BlockData(NamedTuple):
    olens: array  # type: ignore[type-arg]
    payloads: bytes
    klens: array  # type: ignore[type-arg]
    krefs: array  # type: ignore[type-arg]
    keys: bytes


def _header(f: BinaryIO, path: str, offset: int) -> tuple[int, int, int, int] | None:
    head = f.read(_BLOCK.size)
    if not head:
        return None
    if len(head) != _BLOCK.size:
        raise _damaged(path, offset, "truncated block header")
    tag, objects, keys, _, pbytes, kbytes = _BLOCK.unpack(head)
    if tag != b"BLK1":
        raise _damaged(path, offset, "bad block tag")
    return objects, keys, pbytes, kbytes


def _scan(f: BinaryIO, path: str) -> Iterator[_Block]:
    f.seek(0)
    if f.read(len(MAGIC)) != MAGIC:
        raise _damaged(path, 0, "not a run file")
    offset, first = len(MAGIC), 0
    while (h := _header(f, path, offset)) is not None:
        objects, keys, pbytes, kbytes = h
        yield _Block(first, offset, objects, keys)
        offset += _BLOCK.size + 4 * objects + 8 * keys + pbytes + kbytes
        first += objects
        f.seek(offset)


def read_blocks(path: str) -> Iterator[_BlockData]:
    """The blocks of a run file in order, each checked for consistency."""
    with open(path, "rb") as f:
        if f.read(len(MAGIC)) != MAGIC:
            raise _damaged(path, 0, "not a run file")
        offset, count = len(MAGIC), 0
        while (h := _header(f, path, offset)) is not None:
            objects, keys, pbytes, kbytes = h
            arrays = []
            for n in (objects, keys, keys):
                a = array("I", _read_exact(f, 4 * n, path, offset))
                if _SWAP:
                    a.byteswap()
                arrays.append(a)
            olens, klens, krefs = arrays
            if sum(olens) != pbytes or sum(klens) != kbytes or max(krefs, default=0) >= count + objects:
                raise _damaged(path, offset, "lengths or references do not add up")
            yield _BlockData(olens, _read_exact(f, pbytes, path, offset), klens, krefs, _read_exact(f, kbytes, path, offset))
            count += objects
            offset += _BLOCK.size + 4 * objects + 8 * keys + pbytes + kbytes


def _slices(data: bytes, lengths: array) -> Iterator[bytes]:  # type: ignore[type-arg]
    # The consecutive pieces of `data` of the given lengths (a C-level loop).
    ends = list(accumulate(lengths, initial=0))
    return map(data.__getitem__, map(slice, ends, islice(ends, 1, None)))


# ------------------------------------------------------------------ building


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
            deque(map(native.add_object_raw, _slices(block.payloads, block.olens)), maxlen=0)
            added += len(block.olens)
            if unique:
                _check_unique(seen, block)
            deque(map(native.add_key, _slices(block.keys, block.klens), map(base.__add__, block.krefs)), maxlen=0)
    native.build(out)
    return mf.read_header(out, name)


def _check_unique(seen: set[bytes], block: _BlockData) -> None:
    keys = list(_slices(block.keys, block.klens))
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
    return _Pool(jobs, max(1, workers)).run()


class _Pool:
    # Child processes started with `python -m tarndb._shard_run`: nothing of
    # this process (threads, locks, __main__) is inherited or re-imported.

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
                    [sys.executable, "-m", "tarndb._shard_run", "unique" if job.unique else "any", job.out, job.name, *job.runs],
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


def _die_with_parent() -> None:
    # A shard builder whose parent is gone (SIGKILL) would only write into a
    # generation that the next builder removes: stop with the parent.
    if not sys.platform.startswith("linux"):
        return
    import ctypes
    import signal

    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(1, int(signal.SIGKILL), 0, 0, 0)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


def _child(argv: list[str]) -> int:
    # The shard's figures, or the failure, go to the parent as JSON on stdout.
    _die_with_parent()
    report = sys.stdout
    keys, out, name, *runs = argv
    try:
        info = build_shard(runs, out, name, keys == "unique")
    except errors.TarnError as exc:
        failure = {"error": type(exc).__name__, "message": str(exc), "errno": getattr(exc, "errno", None)}
        report.write(json.dumps(failure))
        report.close()
        return 1
    report.write(json.dumps(dataclasses.asdict(info)))
    report.close()
    return 0


if __name__ == "__main__":
    sys.exit(_child(sys.argv[1:]))
