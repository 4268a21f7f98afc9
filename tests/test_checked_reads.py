"""Checked reads: every object the package's reader returns or decodes has
its record's CRC-32 checked first, on a file and on a sharded store; verify()
names the first damaged key; a truncated file says so."""

from __future__ import annotations

import os
import pathlib
import pickle
import struct
import subprocess
import sys
import zlib
from collections.abc import Callable
from typing import Any

import pytest

from tarndb import TarnCorruptError, TarnReader, TarnWriter, _fast

DATA = {f"k{i:02}": {"i": i, "text": "x" * 40} for i in range(20)}
VICTIM = "k07"

# Each way of reading that hands out or decodes the victim's object.
READS: dict[str, Callable[[TarnReader], Any]] = {
    "getitem": lambda r: r[VICTIM],
    "get": lambda r: r.get(VICTIM),
    "get bytes key": lambda r: r.get(VICTIM.encode()),
    "raw": lambda r: r.raw(VICTIM),
    "get_many": lambda r: r.get_many(["k01", VICTIM]),
    "raw_many": lambda r: r.raw_many((k for k in ["k01", VICTIM])),
    "values": lambda r: list(r.values()),
    "items": lambda r: list(r.items()),
    "prefix": lambda r: r.prefix("k0"),
    "range": lambda r: list(r.range("k05", "k09")),
}


def _record_at(data: bytes, payload: bytes) -> int:
    at = data.index(payload)
    return at - 8


def damage(path: pathlib.Path, payload: bytes, fix_file_crc: bool = True) -> int:
    """Flips one bit inside *payload*'s record in the file at *path* and,
    with *fix_file_crc*, rewrites the whole-file CRC-32, so that only the
    record's own CRC-32 can tell. Returns the record's offset."""
    data = bytearray(path.read_bytes())
    offset = _record_at(bytes(data), payload)
    data[offset + 8 + len(payload) // 2] ^= 0x10
    if fix_file_crc:
        struct.pack_into(">I", data, 32, zlib.crc32(bytes(data[40:])))
    path.write_bytes(bytes(data))
    return offset


@pytest.fixture(params=["file", "sharded"])
def damaged(request: pytest.FixtureRequest, tmp_path: pathlib.Path) -> tuple[str, str, int]:
    """(store path, damaged file, record offset) with VICTIM's record damaged."""
    if request.param == "file":
        store = tmp_path / "s.tndb"
        with TarnWriter(store) as w:
            for k, v in DATA.items():
                w[k] = v
        shard = store
    else:
        store = tmp_path / "s.store"
        with TarnWriter(store, shards=3) as w:
            for k, v in DATA.items():
                w[k] = v
        with TarnReader(store) as r:
            shard = pathlib.Path(r.shard_stats()[_fast.route(VICTIM, 3)]["path"])
    with TarnReader(store) as r:
        payload = r.raw(VICTIM)
    # A shard's header must keep the CRC-32 its manifest records.
    offset = damage(shard, payload, fix_file_crc=request.param == "file")
    return os.fspath(store), os.fspath(shard), offset


@pytest.mark.parametrize("how", READS)
def test_every_read_checks_the_record(damaged: tuple[str, str, int], how: str) -> None:
    store, shard, offset = damaged
    message = rf"^{shard}: object of key '{VICTIM}' \(record at offset {offset}\) fails its CRC-32 check \(stored 0x"
    with TarnReader(store, verify=False) as r:
        with pytest.raises(TarnCorruptError, match=message):
            READS[how](r)
        assert r["k01"] == DATA["k01"]  # other records read as before
    with TarnReader(store, verify=False, check_reads=False) as r:
        # Unchecked, the damage comes back as data (or a decoding error).
        assert not r.check_reads
        try:
            got = r[VICTIM]
        except TarnCorruptError as exc:
            assert "fails its CRC-32 check" not in str(exc)
        else:
            assert got != DATA[VICTIM]


def test_verify_names_the_first_damaged_key_and_counts(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "v.tndb"
    with TarnWriter(path) as w:
        for k, v in DATA.items():
            w[k] = v
        w.alias("also-k12", 12)  # a second key of a damaged record counts it once
    with TarnReader(path) as r:
        payloads = {k: r.raw(k) for k in ("k03", "k12")}
    offsets = [damage(path, payloads[k]) for k in ("k12", "k03")]
    with TarnReader(path, verify=False) as r:
        with pytest.raises(TarnCorruptError) as info:
            r.verify()
    text = str(info.value)
    # The first in index order: "also-k12" sorts before "k03".
    assert text.startswith(f"{path}: object of key 'also-k12' (record at offset {offsets[0]}) fails its CRC-32 check")
    assert text.endswith("; 2 of 20 records fail")


def test_verify_of_a_sound_record_set_keeps_the_files_own_fault(tmp_path: pathlib.Path) -> None:
    # Damage outside every record: verify() has no key to name.
    path = tmp_path / "i.tndb"
    with TarnWriter(path) as w:
        w["a"] = 1
    data = bytearray(path.read_bytes())
    data[-9] ^= 0x03  # the key's one byte in the index: "a" becomes "b"
    path.write_bytes(bytes(data))
    with TarnReader(path, verify=False) as r:
        # Listed as the index now reads; not found by the lookup index, whose
        # slot was made for "a" and whose every hit compares the key's bytes.
        assert list(r) == ["b"] and "b" not in r and "a" not in r
        with pytest.raises(TarnCorruptError, match="^file CRC32 mismatch  stored=0x"):
            r.verify()


@pytest.mark.parametrize("check", [True, False])
def test_the_setting_survives_pickling(tmp_path: pathlib.Path, check: bool) -> None:
    path = tmp_path / "p.tndb"
    with TarnWriter(path) as w:
        w["a"] = 1
    with TarnReader(path, check_reads=check) as r:
        again = pickle.loads(pickle.dumps(r))
    with again:
        assert again.check_reads is check and again["a"] == 1


@pytest.mark.parametrize("cut", [1, 9, 30])
def test_a_truncated_file_names_both_lengths(tmp_path: pathlib.Path, cut: int) -> None:
    path = tmp_path / "t.tndb"
    with TarnWriter(path) as w:
        for k, v in DATA.items():
            w[k] = v
    data = path.read_bytes()
    path.write_bytes(data[:-cut])
    for verify in (True, False):
        with pytest.raises(TarnCorruptError, match=rf"^{path}: truncated: the file is {len(data) - cut:,} bytes, but") as info:
            TarnReader(path, verify=verify)
        needed = int(str(info.value).rsplit(" ", 1)[1].replace(",", ""))
        assert len(data) - cut < needed <= len(data)


def test_the_command_line_reads_are_checked(damaged: tuple[str, str, int]) -> None:
    store, shard, offset = damaged
    expected = f"tarndb: {shard}: object of key '{VICTIM}' (record at offset {offset}) fails its CRC-32 check"
    for command in (["get", store, VICTIM], ["dump", store], ["verify", store]):
        proc = subprocess.run(
            [sys.executable, "-m", "tarndb", *command, *(["--no-verify"] if command[0] != "verify" else [])],
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert proc.returncode == 1, proc
        assert proc.stderr.startswith(expected) and proc.stderr.count("\n") == 1, proc.stderr
        assert VICTIM not in proc.stdout  # nothing of the damaged record was printed
