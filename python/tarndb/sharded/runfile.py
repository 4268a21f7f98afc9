"""Run files: the append-only spill of one shard's records.

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

A shard is built from its runs by ``tarndb.sharded.build``, a block at a
time.  A ``RunWriter`` is used from one thread.
"""

from __future__ import annotations

import bisect
import os
import struct
import sys
from array import array
from collections.abc import Iterator, Sequence
from itertools import accumulate, chain, islice, repeat
from typing import BinaryIO, NamedTuple

from tarndb import _fast, errors

__all__ = ["RunWriter", "BlockData", "read_blocks", "slices"]

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
    """Appends records to one run file, a block at a time.

    The file is opened as the native atomic file opens its temporary file
    (no link followed, created private, refused unless a regular file with
    one link owned by this user), for appending only.  A block is written
    before a record that would overflow it is added, never after: a failed
    write (a full disk) leaves the file as it was (what was written of the
    block is cut off again) and the pending block whole, so that nothing
    staged is lost and the same call may be made again.  A record larger
    than a block waits in memory until the next one is added or the run is
    flushed."""

    __slots__ = ("path", "_file", "_size", "_block_size", "_blocks", "_held", "_starts", "_count", "_olens", "_objs",
                 "_klens", "_krefs", "_kbuf", "_first")

    def __init__(self, path: str, block_size: int = 1 << 20, append: bool = False) -> None:
        self.path = path
        self._block_size = block_size
        self._blocks: list[_Block] = []
        # The blocks that hold objects, and the first object of each (for
        # bisect): blocks of keys alone (many aliases in a row) hold none.
        self._held: list[_Block] = []
        self._starts: list[int] = []
        flags = os.O_RDWR | os.O_APPEND | os.O_CREAT | (0 if append else os.O_TRUNC)
        self._file: BinaryIO = open(_fast.open_private(path, flags), "rb+", buffering=0)  # noqa: SIM115
        self._size = 0
        if append:
            for block in _scan(self._file, path):
                self._note(block)
            self._size = os.fstat(self._file.fileno()).st_size
        else:
            self._write([MAGIC])
        last = self._blocks[-1] if self._blocks else None
        self._count = last.first + last.objects if last else 0  # objects written so far
        self._new_block()

    def _note(self, block: _Block) -> None:
        self._blocks.append(block)
        if block.objects:
            self._held.append(block)
            self._starts.append(block.first)

    def _new_block(self) -> None:
        self._first = self._count
        self._olens = array("I")
        self._objs = bytearray()
        self._klens = array("I")
        self._krefs = array("I")
        self._kbuf = bytearray()

    def _make_room(self, size: int) -> None:
        # Writes the pending block if *size* more bytes would overflow it.
        pending = len(self._objs) + len(self._kbuf)
        if pending and pending + size >= self._block_size:
            self.flush()

    def add_object(self, payload: bytes, keys: Sequence[bytes]) -> int:
        """Appends an object with *keys*; returns its number in the run.
        OSError when the pending block cannot be written first; nothing is
        added then."""
        self._make_room(len(payload) + sum(map(len, keys)))
        ref = self._count
        self._count = ref + 1
        self._olens.append(len(payload))
        self._objs += payload
        for k in keys:
            self._klens.append(len(k))
            self._kbuf += k
            self._krefs.append(ref)
        return ref

    def drop_last(self, keys: int) -> None:
        """Takes back the object just added, with its *keys* keys (it is
        still pending: nothing is written after an add)."""
        size = self._olens.pop()
        del self._objs[len(self._objs) - size :]
        for _ in range(keys):
            del self._kbuf[len(self._kbuf) - self._klens.pop() :]
            self._krefs.pop()
        self._count -= 1

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
        offset = self._size
        self._write([header, _u32(olens), _u32(klens), _u32(krefs), *payloads, *keys])
        self._note(_Block(first, offset, len(payloads), len(keys)))
        self._count = first + len(payloads)
        self._first = self._count

    def add_key(self, key: bytes, ref: int) -> None:
        """Appends a key of the object numbered *ref* (written earlier).
        OSError when the pending block cannot be written first; nothing is
        added then."""
        self._make_room(len(key))
        self._klens.append(len(key))
        self._kbuf += key
        self._krefs.append(ref)

    def payload_at(self, ref: int) -> bytes:
        """The payload of the object numbered *ref*."""
        if ref >= self._first:
            lens = self._olens
            start = sum(lens[: ref - self._first])
            return bytes(self._objs[start : start + lens[ref - self._first]])
        block = self._held[bisect.bisect_right(self._starts, ref) - 1]
        fd = self._file.fileno()
        lens = array("I", os.pread(fd, 4 * block.objects, block.offset + _BLOCK.size))
        if _SWAP:
            lens.byteswap()
        i = ref - block.first
        start = block.offset + _BLOCK.size + 4 * block.objects + 8 * block.keys + sum(lens[:i])
        return os.pread(fd, lens[i], start)

    def flush(self) -> None:
        """Writes the pending block.  On failure the file is as it was and
        the block still pending."""
        if not self._olens and not self._klens:
            return
        header = _BLOCK.pack(b"BLK1", len(self._olens), len(self._klens), 0, len(self._objs), len(self._kbuf))
        offset = self._size
        self._write([header, _u32(self._olens), _u32(self._klens), _u32(self._krefs), self._objs, self._kbuf])
        self._note(_Block(self._first, offset, len(self._olens), len(self._klens)))
        self._new_block()

    def _write(self, pieces: list[bytes | bytearray]) -> None:
        # All of the pieces, or (after a failure) none: what was written is cut off.
        fd = self._file.fileno()
        try:
            self._size += _write_all(fd, pieces)
        except BaseException:
            try:
                os.ftruncate(fd, self._size)
            except OSError:
                pass  # the write's own error is the one to report
            raise

    def close(self) -> None:
        """Writes the pending block and closes the file (no fsync: a run
        that does not survive a crash is a leftover anyway).  On a failed
        write the file stays open and the block pending."""
        if not self._file.closed:
            self.flush()
            self._file.close()

    def discard(self) -> None:
        """Closes the file without writing what is pending (the run is given
        up).  Idempotent."""
        self._file.close()


def _write_all(fd: int, pieces: Sequence[bytes | bytearray]) -> int:
    """Writes every piece, in order, through writev; returns the byte count."""
    total = 0
    limit = min(os.sysconf("SC_IOV_MAX") if hasattr(os, "sysconf") else 1024, 1024)
    for start in range(0, len(pieces), limit):
        # The pieces go to writev as they are: a memoryview of each would
        # cost more than the write itself (they are mostly small records).
        batch: Sequence[bytes | bytearray | memoryview] = pieces[start : start + limit]
        want = sum(map(len, batch))
        total += want
        done = os.writev(fd, batch)
        while done < want:  # a short write: go on from where it stopped
            skip = done
            rest: list[bytes | bytearray | memoryview] = []
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


class BlockData(NamedTuple):
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


def read_blocks(path: str) -> Iterator[BlockData]:
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
            yield BlockData(olens, _read_exact(f, pbytes, path, offset), klens, krefs, _read_exact(f, kbytes, path, offset))
            count += objects
            offset += _BLOCK.size + 4 * objects + 8 * keys + pbytes + kbytes


def slices(data: bytes, lengths: array) -> Iterator[bytes]:  # type: ignore[type-arg]
    # The consecutive pieces of `data` of the given lengths (a C-level loop).
    ends = list(accumulate(lengths, initial=0))
    return map(data.__getitem__, map(slice, ends, islice(ends, 1, None)))
