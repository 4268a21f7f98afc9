"""Shared helpers for the tarndb test suite.

Everything here is a plain function (importable with ``from conftest import
...`` from any test module, and from child processes started with
``run_python``, whose ``sys.path`` includes this directory) plus a few
fixtures wrapping them.

* A reference model of the ``.tndb`` format:
  ``expected_tndb`` gives the exact bytes a build must produce (through
  ``filecraft``, which also crafts broken files by hand), ``parse_tndb``
  decodes a writer-produced file strictly, ``check_tndb`` checks its
  invariants and whole-file CRC.
* ``build(tmp_path, objects, keys)``: stages content in a ``_TarnWriter`` and
  builds it, returning the path of the file.
* ``run_python(code, ...)`` / ``spawn_python(code, ...)``: run a snippet in a
  child interpreter (the summary line of ``build`` goes to file descriptor 1,
  so it is only observable from outside the process).
"""

from __future__ import annotations

import os
import struct
import zlib
import subprocess
import sys
import textwrap
from dataclasses import dataclass, field
from pathlib import Path
from typing import Iterable, Mapping, Sequence, Union

import pytest

# The byte layout of the format is modelled once, in filecraft.
from filecraft import HEADER_SIZE, MAGIC, RECORD_PREFIX, VERSION, crc32, standard

TESTS_DIR = Path(__file__).resolve().parent
REPO_ROOT = TESTS_DIR.parent

# ---------------------------------------------------------------------------
# Format constants
# ---------------------------------------------------------------------------

MAX_KEY_LEN = 0xFFFF
MAX_PAYLOAD_LEN = 0xFFFFFFFF

KeyLike = Union[str, bytes, bytearray, Sequence[int]]
KeyPairs = Union[Mapping[KeyLike, int], Iterable[tuple]]


def key_bytes(key) -> bytes:
    """The key bytes that ``extract_key`` gives for the common
    key forms: str -> UTF-8, bytes-likes and int sequences -> bytes."""
    if isinstance(key, str):
        return key.encode("utf-8")
    if isinstance(key, (bytes, bytearray, memoryview)):
        return bytes(key)
    return bytes(list(key))


def _key_pairs(keys: KeyPairs | None) -> list[tuple]:
    if keys is None:
        return []
    if isinstance(keys, Mapping):
        return list(keys.items())
    return list(keys)


def expected_tndb(objects: Sequence[bytes], keys: KeyPairs | None = None) -> bytes:
    """The exact bytes a build of this staged content must produce.

    ``objects`` are the payloads in object-ID order; ``keys`` is a mapping or
    a sequence of ``(key, obj_id)`` pairs in ``add_key`` order (the last pair
    for a key wins; a str and its UTF-8 bytes are the same key)."""
    mapping: dict[bytes, int] = {}
    for key, obj_id in _key_pairs(keys):
        mapping[key_bytes(key)] = int(obj_id)
    return standard([bytes(p) for p in objects], mapping)


# ---------------------------------------------------------------------------
# Decoding a writer-produced file
# ---------------------------------------------------------------------------


@dataclass
class Header:
    magic: bytes
    version: int
    reserved1: bytes
    num_keys: int
    num_objects: int
    index_offset: int
    data_offset: int
    file_crc32: int
    reserved2: bytes


@dataclass
class ParsedFile:
    header: Header
    records: list = field(default_factory=list)  # (offset, length, crc, payload)
    entries: list = field(default_factory=list)  # (key bytes, record offset)

    def payload_at(self, offset: int) -> bytes:
        for off, _n, _c, payload in self.records:
            if off == offset:
                return payload
        raise KeyError(offset)

    def mapping(self) -> dict[bytes, bytes]:
        """key bytes -> payload."""
        return {k: self.payload_at(off) for k, off in self.entries}

    def key_to_object_index(self) -> dict[bytes, int]:
        """key bytes -> position of its record in the data section (= object ID)."""
        pos = {off: i for i, (off, _n, _c, _p) in enumerate(self.records)}
        return {k: pos[off] for k, off in self.entries}


def parse_header(data: bytes) -> Header:
    assert len(data) >= HEADER_SIZE, f"file of {len(data)} bytes has no header"
    num_keys, num_objects, index_offset, data_offset, file_crc = struct.unpack(">IIQQI", data[8:36])
    return Header(data[0:4], data[4], data[5:8], num_keys, num_objects, index_offset, data_offset, file_crc,
                  data[36:40])


def parse_tndb(data: bytes) -> ParsedFile:
    """Decodes a file laid out as a build lays it out: records back to back
    from 40 to index_offset, entries back to back from there to the end.
    Raises AssertionError on any structural inconsistency."""
    h = parse_header(data)
    pf = ParsedFile(h)
    assert HEADER_SIZE <= h.index_offset <= len(data), h
    pos = HEADER_SIZE
    while pos < h.index_offset:
        assert pos + RECORD_PREFIX <= h.index_offset, f"record at {pos} cut short"
        n, c = struct.unpack(">II", data[pos:pos + 8])
        assert pos + 8 + n <= h.index_offset, f"record at {pos} runs into the index"
        pf.records.append((pos, n, c, data[pos + 8:pos + 8 + n]))
        pos += 8 + n
    pos = h.index_offset
    while pos < len(data):
        assert pos + 2 <= len(data), f"entry at {pos} cut short"
        (k,) = struct.unpack(">H", data[pos:pos + 2])
        assert pos + 2 + k + 8 <= len(data), f"entry at {pos} cut short"
        key = data[pos + 2:pos + 2 + k]
        (off,) = struct.unpack(">Q", data[pos + 2 + k:pos + 2 + k + 8])
        pf.entries.append((key, off))
        pos += 2 + k + 8
    return pf


def check_tndb(data: bytes) -> ParsedFile:
    """Parses ``data`` and checks every invariant of a writer-produced file
    including the whole-file CRC-32 recomputed with zlib.  The lookup index
    record of a file from the package's writers is checked and then left
    out of the records returned."""
    pf = parse_tndb(data)
    h = pf.header
    assert h.magic == MAGIC
    assert h.version == VERSION
    records = pf.records
    if h.reserved1 == b"LX\x01":
        # The package's writers add a lookup index: the last record, which no
        # key names, its payload length in the other reserved bytes.
        assert records, "a lookup index announced, but no record"
        off, n, _c, payload = records[-1]
        assert off + 8 + n == h.index_offset and struct.pack(">I", n) == h.reserved2
        assert payload[-8:-4] == b"TNLX"
        assert off not in {o for _, o in pf.entries}, "a key names the lookup index"
    else:
        assert h.reserved1 == b"\0\0\0" and h.reserved2 == b"\0\0\0\0"
    assert h.data_offset == HEADER_SIZE
    assert h.num_objects == len(pf.records)
    assert h.num_keys == len(pf.entries)
    assert h.file_crc32 == crc32(data[HEADER_SIZE:]), "whole-file CRC-32 mismatch"
    for off, n, c, payload in pf.records:
        assert c == crc32(payload), f"payload CRC of the record at {off}"
    starts = {off for off, *_ in pf.records}
    keys = [k for k, _ in pf.entries]
    assert keys == sorted(keys) and len(set(keys)) == len(keys), "index not strictly sorted"
    for k, off in pf.entries:
        assert off in starts, f"key {k!r} points at {off}, not at a record"
    if h.reserved1 == b"LX\x01":
        pf.records.pop()  # what is left are the user's objects
    return pf


def read_file(path) -> bytes:
    with open(path, "rb") as f:
        return f.read()


# ---------------------------------------------------------------------------
# Building through the extension
# ---------------------------------------------------------------------------


def native():
    """The extension module."""
    from tarndb import _tarndb

    return _tarndb


def make_writer(objects: Sequence[bytes] = (), keys: KeyPairs | None = None):
    """A ``_TarnWriter`` with ``objects`` added in order and then ``keys``
    (a mapping or ``(key, obj_id)`` pairs, added in order)."""
    w = native()._TarnWriter()
    for i, payload in enumerate(objects):
        assert w.add_object_raw(payload) == i
    for key, obj_id in _key_pairs(keys):
        w.add_key(key, obj_id)
    return w


def build(tmp_path, objects: Sequence[bytes] = (), keys: KeyPairs | None = None, name: str = "out.tndb") -> Path:
    """Stages ``objects`` and ``keys`` in a new writer, builds
    ``tmp_path / name`` and returns that path. The summary line goes to file
    descriptor 1 (captured by pytest)."""
    path = Path(tmp_path) / name
    make_writer(objects, keys).build(str(path))
    return path


# The worked example: 92 bytes.
WORKED_OBJECTS = [b"abc", b""]
WORKED_KEYS = [("k", 0), ("b", 0), ("a", 1)]


# ---------------------------------------------------------------------------
# Child processes
# ---------------------------------------------------------------------------


def child_env(extra: Mapping[str, str] | None = None) -> dict:
    env = dict(os.environ)
    parts = [str(TESTS_DIR)] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(parts)
    env.pop("PYTHONSTARTUP", None)
    for name, value in (extra or {}).items():
        if value is None:
            env.pop(name, None)  # None removes a variable
        else:
            env[name] = value
    return env


def _argv(code: str, args: Sequence[str]) -> list[str]:
    return [sys.executable, "-c", textwrap.dedent(code), *map(str, args)]


def run_python(
    code: str,
    *args,
    cwd=None,
    timeout: float = 60,
    check: bool = True,
    env: Mapping[str, str] | None = None,
    input: bytes | None = None,
    prefix: Sequence[str] = (),
) -> subprocess.CompletedProcess:
    """Runs ``code`` (dedented) in a child interpreter with ``args`` as
    ``sys.argv[1:]``, returning the CompletedProcess with ``stdout`` and
    ``stderr`` as bytes. The child can ``import conftest``. ``env`` adds
    variables to (a value of None removes one from) the current environment.
    With ``check``
    a non-zero exit fails the test, showing the child's output. ``prefix``
    is put in front of the command line (e.g. ``["strace", "-f"]``)."""
    proc = subprocess.run(
        [*prefix, *_argv(code, args)],
        cwd=cwd,
        env=child_env(env),
        input=input,
        stdin=None if input is not None else subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        timeout=timeout,
    )
    if check and proc.returncode != 0:
        raise AssertionError(
            f"child exited with {proc.returncode}\n--- stdout\n{proc.stdout.decode(errors='replace')}"
            f"\n--- stderr\n{proc.stderr.decode(errors='replace')}"
        )
    return proc


def spawn_python(code: str, *args, cwd=None, env: Mapping[str, str] | None = None, **popen_kwargs) -> subprocess.Popen:
    """Starts ``code`` in a child interpreter without waiting (stdout and
    stderr piped unless overridden). The caller must wait for it."""
    popen_kwargs.setdefault("stdin", subprocess.DEVNULL)
    popen_kwargs.setdefault("stdout", subprocess.PIPE)
    popen_kwargs.setdefault("stderr", subprocess.PIPE)
    return subprocess.Popen(_argv(code, args), cwd=cwd, env=child_env(env), **popen_kwargs)


def summary_line(path: str, objects: int, keys: int, kib: str) -> str:
    """The summary line a successful build prints."""
    return f"\u2705  {path}  \u2014  {objects} objects \u00b7 {keys} keys \u00b7 {kib} KB\n"


def os_error_text(err: int) -> str:
    """The description of an operating-system error, as the core renders it."""
    return f"{os.strerror(err)} (os error {err})"


# ---------------------------------------------------------------------------
# Peeking at method definitions (CPython only)
# ---------------------------------------------------------------------------


@dataclass
class MethodDef:
    name: str
    flags: int
    doc: bytes | None  # the raw ml_doc, text signature included
    address: int  # of the PyMethodDef


def method_def(descriptor) -> MethodDef | None:
    """The PyMethodDef behind a ``method_descriptor`` of a built-in class, read
    with ctypes; None where the object layout cannot be confirmed (another
    interpreter, a different build), so callers can skip."""
    import ctypes

    if type(descriptor).__name__ != "method_descriptor":
        return None
    ptr_size = ctypes.sizeof(ctypes.c_void_p)
    # PyDescr_COMMON: PyObject_HEAD, d_type, d_name, d_qualname; then d_method.
    at = id(descriptor) + object.__basicsize__ + 3 * ptr_size
    try:
        address = ctypes.c_void_p.from_address(at).value
        if not address:
            return None
        name_ptr = ctypes.c_char_p.from_address(address).value
        if name_ptr is None or name_ptr.decode() != descriptor.__name__:
            return None
        flags = ctypes.c_int.from_address(address + 2 * ptr_size).value
        doc = ctypes.c_char_p.from_address(address + 3 * ptr_size).value
    except (ValueError, UnicodeDecodeError):
        return None
    return MethodDef(name_ptr.decode(), flags, doc, address)


def bind_foreign_self(descriptor, obj):
    """A built-in function made from ``descriptor``'s PyMethodDef with ``obj``
    as its self, bypassing the interpreter's descriptor type check, so that
    the call frame's own self check is what runs. None if unavailable."""
    import ctypes

    md = method_def(descriptor)
    if md is None:
        return None
    fn = ctypes.pythonapi.PyCFunction_NewEx
    fn.restype = ctypes.py_object
    fn.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_void_p]
    bound = fn(md.address, obj, None)
    # Keep the descriptor (and with it the method table) alive with the function.
    return bound


# ---------------------------------------------------------------------------
# Fixtures
# ---------------------------------------------------------------------------


@pytest.fixture
def tarndb_native():
    return native()


@pytest.fixture
def worked_example(tmp_path) -> Path:
    """The 92-byte worked example, built into tmp_path/'worked.tndb'."""
    return build(tmp_path, WORKED_OBJECTS, WORKED_KEYS, name="worked.tndb")


@pytest.fixture
def reader_of(tmp_path):
    """``reader_of(objects, keys, name=..., verify=True)``: builds a file and
    opens a ``_TarnReader`` on it."""
    counter = [0]

    def make(objects=(), keys=None, name=None, verify=True):
        counter[0] += 1
        path = build(tmp_path, objects, keys, name=name or f"r{counter[0]}.tndb")
        return native()._TarnReader(str(path), verify)

    return make

# ---------------------------------------------------------------------------
# A store file written by hand
# ---------------------------------------------------------------------------

def raw_store(
    records: list[bytes],
    entries: list[tuple[bytes, int]],
    *,
    magic: bytes = b"TNDB",
    version: int = 2,
    offsets: dict[int, int] | None = None,
) -> bytes:
    """The bytes of a store file written by hand, as another program might:
    *entries* are (key bytes, record number) in the order given, unsorted
    and repeated keys allowed; *offsets* overrides a record number's offset."""
    data = bytearray()
    where = []
    for payload in records:
        where.append(40 + len(data))
        data += struct.pack(">II", len(payload), zlib.crc32(payload)) + payload
    for number, offset in (offsets or {}).items():
        where[number] = offset
    index = b"".join(struct.pack(">H", len(k)) + k + struct.pack(">Q", where[i]) for k, i in entries)
    body = bytes(data) + index
    header = (
        magic
        + bytes([version, 0, 0, 0])
        + struct.pack(">IIQQI", len(entries), len(records), 40 + len(data), 40, zlib.crc32(body))
        + bytes(4)
    )
    return header + body

