"""Writer -> file -> reader round trips, compared with a plain Python model."""

from __future__ import annotations

import itertools
import random
import zlib
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from filecraft import as_key, hex32, standard
from tarndb._tarndb import _TarnReader, _TarnWriter


def lossy(b: bytes) -> str:
    return b.decode("utf-8", "replace")


class Model:
    """What a store built from ``objects`` and the ``add_key`` calls ``ops``
    must contain: the last add_key for a key wins; keys sorted by bytes."""

    def __init__(self, objects: list[bytes], ops: list[tuple[object, int]]):
        self.objects = objects
        self.mapping: dict[bytes, int] = {}
        for k, i in ops:
            self.mapping[as_key(k)] = i
        self.order = sorted(self.mapping)

    def get(self, key) -> bytes | None:
        i = self.mapping.get(as_key(key))
        return None if i is None else self.objects[i]

    def keys(self) -> list[str]:
        return [lossy(k) for k in self.order]

    def items(self) -> list[tuple[str, bytes]]:
        return [(lossy(k), self.objects[self.mapping[k]]) for k in self.order]

    def prefix(self, p) -> list[tuple[str, bytes]]:
        pb = as_key(p)
        return [(lossy(k), self.objects[self.mapping[k]]) for k in self.order if k.startswith(pb)]

    def objects_in_reference_order(self) -> list[bytes]:
        seen: set[int] = set()
        out = []
        for k in self.order:
            i = self.mapping[k]
            if i not in seen:
                seen.add(i)
                out.append(self.objects[i])
        return out

    def index_offset(self) -> int:
        return 40 + sum(8 + len(p) for p in self.objects)

    def file_size(self) -> int:
        return self.index_offset() + sum(10 + len(k) for k in self.order)


def build(path: Path, objects, ops) -> str:
    w = _TarnWriter()
    ids = [w.add_object_raw(p) for p in objects]
    assert ids == list(range(len(objects)))
    for k, i in ops:
        w.add_key(k, i)
    w.build(str(path))
    return str(path)


def check_reader(r: _TarnReader, m: Model, probes, prefixes, blob: bytes) -> None:
    assert r.keys() == m.keys()
    assert r.items_raw() == m.items()
    assert r.objects_raw() == m.objects_in_reference_order()
    for k in probes:
        assert r.get_raw(k) == m.get(k), k
        assert r.exists(k) is (m.get(k) is not None), k
    for p in prefixes:
        assert r.prefix_raw(p) == m.prefix(p), p
    assert r.prefix_raw("") == r.items_raw()
    assert r.verify() is True
    s = r.stats()
    assert s["num_keys"] == len(m.order)
    assert s["num_objects"] == len(m.objects)
    assert s["index_offset"] == m.index_offset()
    assert s["data_offset"] == 40 and s["version"] == 2
    assert s["file_size_kb"] == m.file_size() / 1024
    assert s["file_crc32"] == hex32(zlib.crc32(blob[40:]))
    assert repr(r).endswith(f", keys={len(m.order)}, objects={len(m.objects)})")


# ---------------------------------------------------------------------------
# strategies

non_utf8 = st.lists(st.sampled_from([0x80, 0xBF, 0xC0, 0xC3, 0xE0, 0xED, 0xF0, 0xF4, 0xFF, 0x61]),
                    min_size=1, max_size=5).map(bytes)
key_strategy = st.one_of(
    st.text(max_size=6),
    st.text(alphabet="abé", max_size=4),
    st.binary(max_size=6),
    non_utf8,
    st.just(""),
    st.just(b""),
    st.sampled_from(["é", b"\xc3\xa9", "a", b"a", "ab", b"ab\x80"]),
)


@st.composite
def stores(draw):
    objects = draw(st.lists(st.binary(max_size=40), max_size=8))
    if not objects:
        return objects, [], draw(st.lists(key_strategy, max_size=4))
    pool = draw(st.lists(key_strategy, min_size=1, max_size=12))
    ops = draw(st.lists(st.tuples(st.sampled_from(pool), st.integers(0, len(objects) - 1)), max_size=24))
    probes = pool + draw(st.lists(key_strategy, max_size=4))
    return objects, ops, probes


@pytest.fixture(scope="module")
def store_dir(tmp_path_factory):
    return tmp_path_factory.mktemp("roundtrip")


_counter = itertools.count()


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(store=stores(), extra_prefixes=st.lists(key_strategy, max_size=4), data=st.data())
def test_roundtrip_property(store_dir, store, extra_prefixes, data):
    objects, ops, probes = store
    path = store_dir / f"rt{next(_counter)}.tndb"
    build(path, objects, ops)
    blob = path.read_bytes()
    m = Model(objects, ops)
    # The file is exactly the documented layout.
    assert blob == standard(objects, m.mapping)
    # Prefixes: random ones plus cut-offs of stored keys (byte-level cuts).
    prefixes = list(extra_prefixes)
    for k in m.order:
        cut = data.draw(st.integers(0, len(k)))
        prefixes.append(k[:cut])
    for verify in (True, False):
        r = _TarnReader(str(path), verify=verify)
        check_reader(r, m, probes, prefixes, blob)


# ---------------------------------------------------------------------------
# deterministic round trips


def test_worked_example_via_writer(tmp_path):
    objects = [b"abc", b""]
    ops = [("k", 0), (b"b", 0), ("a", 1)]
    p = build(tmp_path / "ex.tndb", objects, ops)
    blob = Path(p).read_bytes()
    assert len(blob) == 92
    assert blob == standard(objects, {"k": 0, "b": 0, "a": 1})
    r = _TarnReader(p)
    assert r.items_raw() == [("a", b""), ("b", b"abc"), ("k", b"abc")]
    assert r.objects_raw() == [b"", b"abc"]


def test_empty_writer_roundtrip(tmp_path):
    p = build(tmp_path / "empty.tndb", [], [])
    assert Path(p).stat().st_size == 40
    r = _TarnReader(p)
    check_reader(r, Model([], []), ["", "x"], ["", "x"], Path(p).read_bytes())


def test_unreferenced_objects_and_last_add_wins(tmp_path):
    objects = [b"zero", b"one", b"two", b"three"]
    ops = [("k", 0), ("k", 2), (b"j", 1), ("k", 1), ("\u00e9", 3), (b"\xc3\xa9", 0)]
    p = build(tmp_path / "lw.tndb", objects, ops)
    r = _TarnReader(p)
    assert r.get_raw("k") == b"one"
    assert r.get_raw("é") == b"zero"
    assert r.keys() == ["j", "k", "é"]
    assert r.objects_raw() == [b"one", b"zero"]  # two and three unreferenced
    assert r.stats()["num_objects"] == 4
    check_reader(r, Model(objects, ops), ["k", "j", "é", "x"], ["", "k", b"\xc3"], Path(p).read_bytes())


def test_larger_store_roundtrip(tmp_path):
    rnd = random.Random(1234)
    objects = [rnd.randbytes(rnd.randrange(0, 64)) for _ in range(300)]
    ops = []
    for i in range(3000):
        kind = rnd.randrange(3)
        if kind == 0:
            k = f"user:{rnd.randrange(2000):05d}"
        elif kind == 1:
            k = rnd.randbytes(rnd.randrange(0, 8))
        else:
            k = "".join(rnd.choice("aé日z") for _ in range(rnd.randrange(1, 5)))
        ops.append((k, rnd.randrange(len(objects))))
    p = build(tmp_path / "big.tndb", objects, ops)
    m = Model(objects, ops)
    probes = [k for k, _ in ops[:500]] + ["user:99999", b"\x00missing"]
    prefixes = ["", "user:", "user:00", "user:01", "a", "é", "日", b"\xff", b"\x00"]
    check_reader(_TarnReader(p), m, probes, prefixes, Path(p).read_bytes())


def test_rebuild_over_open_reader_keeps_old_mapping(tmp_path):
    target = tmp_path / "swap.tndb"
    build(target, [b"old-value"], [("k", 0)])
    old = _TarnReader(str(target))
    build(target, [b"new-value", b"more"], [("k", 0), ("m", 1)])
    new = _TarnReader(str(target))
    assert old.get_raw("k") == b"old-value"
    assert old.keys() == ["k"]
    assert old.verify() is True
    assert new.get_raw("k") == b"new-value"
    assert new.keys() == ["k", "m"]
