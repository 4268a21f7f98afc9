"""Run files: the append-only spill of one shard's records, and the build
of a shard file from its runs.

A run file is private to one build and lives only until it is published.
After an 8-byte magic it holds frames, back to back, big-endian:

    object frame   "O"  u32 key count  u32 payload length
                        key count x (u16 key length, key bytes)  payload
    key frame      "K"  u64 offset of an earlier object frame in this run
                        u16 key length  key bytes

An object frame stages its payload once with all of its keys that route to
this shard; a key frame maps one more key to an object already in the run
(``alias``).  Order is kept, so a key given twice maps to the later object,
as in a single-file build.

Building a shard reads its runs in order in chunks into one native writer:
the memory of a build is that shard's staged payloads and keys, plus one
chunk.  A ``RunWriter`` is used from one thread.
"""

from __future__ import annotations

import bisect
import dataclasses
import json
import os
import struct
import subprocess
import sys
import threading
from array import array
from collections.abc import Iterator, Sequence
from typing import BinaryIO, NamedTuple

from tarndb import _fast, errors
from tarndb import _shard_manifest as mf

__all__ = ["RunWriter", "read_run", "build_shard", "build_shards", "ShardJob"]

MAGIC = b"TNRUN\x001\n"
_OBJECT = struct.Struct(">cII")
_KEYREF = struct.Struct(">cQH")
_KEYLEN = struct.Struct(">H")
_CHUNK = 4 << 20


class RunWriter:
    """Appends frames to one run file and keeps its length, so that an
    object frame's offset is known without asking the file."""

    __slots__ = ("path", "_file", "size")

    def __init__(self, path: str, buffering: int = 1 << 20, append: bool = False) -> None:
        self.path = path
        # "ab+"/"wb+": payload_at reads back through the same descriptor.
        self._file: BinaryIO = open(path, "ab+" if append else "wb+", buffering=buffering)  # noqa: SIM115
        if append:
            self.size = os.fstat(self._file.fileno()).st_size
        else:
            self._file.write(MAGIC)
            self.size = len(MAGIC)

    def add_object(self, payload: bytes, keys: Sequence[bytes]) -> int:
        """Appends an object frame; returns its offset."""
        offset = self.size
        parts = [_OBJECT.pack(b"O", len(keys), len(payload))]
        for k in keys:
            parts.append(_KEYLEN.pack(len(k)))
            parts.append(k)
        parts.append(payload)
        frame = b"".join(parts)
        self._file.write(frame)
        self.size += len(frame)
        return offset

    def add_key(self, key: bytes, object_offset: int) -> None:
        frame = _KEYREF.pack(b"K", object_offset, len(key)) + key
        self._file.write(frame)
        self.size += len(frame)

    def payload_at(self, offset: int) -> bytes:
        """The payload of the object frame at *offset* (written earlier)."""
        self._file.flush()
        fd = self._file.fileno()
        head = os.pread(fd, _OBJECT.size, offset)
        _, nkeys, length = _OBJECT.unpack(head)
        pos = offset + _OBJECT.size
        for _ in range(nkeys):
            (klen,) = _KEYLEN.unpack(os.pread(fd, 2, pos))
            pos += 2 + klen
        return os.pread(fd, length, pos)

    def close(self) -> None:
        """Flushes the buffer and closes the file (durability is not needed:
        a run that does not survive a crash is a leftover anyway)."""
        self._file.close()


class _Frame(NamedTuple):
    offset: int  # of the frame in its run
    payload: bytes | None  # None for a key frame
    keys: list[bytes]
    target: int  # the object frame a key frame refers to


def _damaged(path: str, offset: int, what: str) -> errors.TarnCorruptError:
    return errors.TarnCorruptError(f"{path}: damaged run file at offset {offset}: {what}")


def read_run(path: str) -> Iterator[_Frame]:
    """The frames of a run file in order, read in chunks."""
    with open(path, "rb", buffering=0) as f:
        buf = f.read(_CHUNK)
        if buf[: len(MAGIC)] != MAGIC:
            raise _damaged(path, 0, "not a run file")
        pos, base = len(MAGIC), 0  # pos within buf; base = file offset of buf[0]
        while True:
            # Ensure the whole next frame is in buf, reading more as needed.
            need = _frame_length(buf, pos)
            while need is None or len(buf) - pos < need:
                more = f.read(max(_CHUNK, need or 0))
                if not more:
                    if pos == len(buf):
                        return
                    raise _damaged(path, base + pos, "truncated frame")
                buf = buf[pos:] + more
                base += pos
                pos = 0
                need = _frame_length(buf, pos)
            yield _parse(buf, pos, base + pos)
            pos += need


def _frame_length(buf: bytes, pos: int) -> int | None:
    # The frame's full length, or None when buf does not yet hold enough to tell.
    tag = buf[pos : pos + 1]
    if tag == b"O":
        if len(buf) - pos < _OBJECT.size:
            return None
        _, nkeys, length = _OBJECT.unpack_from(buf, pos)
        p = pos + _OBJECT.size
        for _ in range(nkeys):
            if len(buf) - p < 2:
                return None
            p += 2 + _KEYLEN.unpack_from(buf, p)[0]
        return p - pos + int(length)
    if tag == b"K":
        if len(buf) - pos < _KEYREF.size:
            return None
        return _KEYREF.size + int(_KEYREF.unpack_from(buf, pos)[2])
    if not tag:
        return None
    raise errors.TarnCorruptError(f"damaged run file: unknown frame tag {tag!r}")


def _parse(buf: bytes, pos: int, offset: int) -> _Frame:
    if buf[pos : pos + 1] == b"K":
        _, target, klen = _KEYREF.unpack_from(buf, pos)
        start = pos + _KEYREF.size
        return _Frame(offset, None, [buf[start : start + klen]], target)
    _, nkeys, length = _OBJECT.unpack_from(buf, pos)
    p = pos + _OBJECT.size
    keys = []
    for _ in range(nkeys):
        (klen,) = _KEYLEN.unpack_from(buf, p)
        keys.append(buf[p + 2 : p + 2 + klen])
        p += 2 + klen
    return _Frame(offset, buf[p : p + length], keys, 0)


# ------------------------------------------------------------------ building


def build_shard(runs: Sequence[str], out: str, name: str) -> mf.ShardInfo:
    """Builds the store file *out* from *runs* (in order) and returns its
    figures under the manifest name *name*."""
    native = _fast.Writer()
    for run in runs:
        frames = array("Q")  # offsets of this run's object frames, ascending
        first = -1  # the writer's ID of this run's first object
        for frame in read_run(run):
            if frame.payload is not None:
                obj_id = native.add_object_raw(frame.payload)
                if first < 0:
                    first = obj_id
                frames.append(frame.offset)
            else:
                i = bisect.bisect_left(frames, frame.target)
                if i == len(frames) or frames[i] != frame.target:
                    raise _damaged(run, frame.offset, "key frame refers to no object frame")
                obj_id = first + i
            for key in frame.keys:
                native.add_key(key, obj_id)
    native.build(out)
    return mf.read_header(out, name)


class ShardJob(NamedTuple):
    runs: list[str]
    out: str
    name: str


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
                    [sys.executable, "-m", "tarndb._shard_run", job.out, job.name, *job.runs],
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
    out, name, *runs = argv
    try:
        info = build_shard(runs, out, name)
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
