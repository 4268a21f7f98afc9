"""Differential test: a _TarnWriter driven by random operations next to a
plain Python model of its staged content.

Objects, keys in every accepted form (str, bytes, bytearray, int lists,
non-UTF-8 bytes, the empty key), re-mapped keys, rejected object IDs and
builds come in any order. After each build the file is opened with
verification and every query is compared with the model; a reader opened on
an earlier build must keep answering with that build's content after the
file was replaced.
"""

from __future__ import annotations

import shutil
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from conftest import native

# Keys lean towards a small alphabet so that prefixes, shared stems and
# re-mappings happen often.
text_keys = st.text(alphabet="ab\u00e9\u2705\0", max_size=6)
byte_keys = st.binary(max_size=6)
non_utf8_keys = st.sampled_from([b"\xff", b"\xc0\xaf", b"a\xe0\x80", b"\xed\xa0\x80", b"\xf0\x9f\x98", b"\x80ab"])
any_key = st.one_of(text_keys, byte_keys, non_utf8_keys)


def as_bytes(key) -> bytes:
    return key.encode() if isinstance(key, str) else bytes(key)


def shown(key: bytes) -> str:
    return key.decode("utf-8", "replace")


class Snapshot:
    """The content a build wrote: what every reader query must answer."""

    def __init__(self, objects: list[bytes], keys: dict[bytes, int]):
        self.objects = list(objects)
        self.keys = dict(keys)
        self.order = sorted(self.keys)

    def check(self, reader, probes: list[bytes]) -> None:
        assert reader.verify() is True
        stats = reader.stats()
        assert (stats["num_keys"], stats["num_objects"]) == (len(self.keys), len(self.objects))
        assert reader.keys() == [shown(k) for k in self.order]
        assert reader.items_raw() == [(shown(k), self.objects[self.keys[k]]) for k in self.order]
        first_use: list[int] = []
        for k in self.order:
            if self.keys[k] not in first_use:
                first_use.append(self.keys[k])
        assert reader.objects_raw() == [self.objects[i] for i in first_use]
        for k in self.order:
            want = self.objects[self.keys[k]]
            assert reader.get_raw(k) == want
            assert reader.exists(k)
            try:
                text = k.decode()
            except UnicodeDecodeError:
                continue
            assert reader.get_raw(text) == want
        for p in probes:
            assert reader.exists(p) == (p in self.keys)
            assert reader.get_raw(p) == (self.objects[self.keys[p]] if p in self.keys else None)
            want = [(shown(k), self.objects[self.keys[k]]) for k in self.order if k.startswith(p)]
            assert reader.prefix_raw(p) == want


class WriterMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.dir = Path(tempfile.mkdtemp(prefix="tarn-stateful-"))
        self.writer = native()._TarnWriter()
        self.objects: list[bytes] = []
        self.keys: dict[bytes, int] = {}
        self.builds = 0
        self.old: list[tuple[object, Snapshot]] = []  # readers of earlier builds

    def teardown(self):
        try:
            # Whatever the run staged last is built and checked too.
            path = self.dir / "final.tndb"
            self.writer.build(str(path))
            snap = Snapshot(self.objects, self.keys)
            snap.check(native()._TarnReader(str(path)), [k for k in snap.order[:10]] + [b"", b"q"])
        finally:
            self.old.clear()
            shutil.rmtree(self.dir, ignore_errors=True)

    @initialize(payload=st.binary(max_size=32))
    def first_object(self, payload):
        assert self.writer.add_object_raw(payload) == 0
        self.objects.append(payload)

    @rule(payload=st.one_of(st.binary(max_size=40), st.sampled_from([b"", b"same", b"\0" * 300])))
    def add_object(self, payload):
        assert self.writer.add_object_raw(payload) == len(self.objects)
        self.objects.append(payload)

    @rule(key=any_key, data=st.data())
    def add_key(self, key, data):
        obj_id = data.draw(st.integers(0, len(self.objects) - 1), label="obj_id")
        self.writer.add_key(key, obj_id)
        self.keys[as_bytes(key)] = obj_id

    @precondition(lambda self: self.keys)
    @rule(data=st.data())
    def remap_key(self, data):
        """An existing key again, given in another form, to another object."""
        key = data.draw(st.sampled_from(sorted(self.keys)), label="key")
        form = data.draw(st.sampled_from(["bytes", "bytearray", "ints", "str"]), label="form")
        arg: object = key
        if form == "bytearray":
            arg = bytearray(key)
        elif form == "ints":
            arg = list(key)
        elif form == "str":
            try:
                arg = key.decode()
            except UnicodeDecodeError:
                pass
        obj_id = data.draw(st.integers(0, len(self.objects) - 1), label="obj_id")
        self.writer.add_key(arg, obj_id)
        self.keys[key] = obj_id

    @rule(key=any_key, past=st.integers(0, 3))
    def add_key_out_of_range(self, key, past):
        obj_id = len(self.objects) + past
        with pytest.raises(ValueError) as exc:
            self.writer.add_key(key, obj_id)
        assert str(exc.value) == f"TarnError: obj_id {obj_id} out of range (have {len(self.objects)} objects)"

    @rule(data=st.data())
    def build(self, data):
        self.builds += 1
        # Mostly one target, replaced again and again; now and then another.
        name = data.draw(st.sampled_from(["store.tndb", "store.tndb", "other.bin"]), label="target")
        path = self.dir / name
        self.writer.build(str(path))
        snap = Snapshot(self.objects, self.keys)
        reader = native()._TarnReader(str(path))
        probes = [b"", b"a", b"\xff", b"zz-absent"]
        for k in snap.order[:20]:
            probes += [k, k[: len(k) // 2], k + b"\0"]
        snap.check(reader, probes)
        assert not (self.dir / (Path(name).stem + ".tndb.tmp")).exists()
        # Readers of earlier builds still see their own content.
        for old_reader, old_snap in self.old:
            old_snap.check(old_reader, old_snap.order[:5])
        self.old = (self.old + [(reader, snap)])[-3:]

    @invariant()
    def counts(self):
        assert repr(self.writer) == f"_TarnWriter(objects={len(self.objects)}, keys={len(self.keys)})"


WriterMachine.TestCase.settings = settings(
    max_examples=30,
    stateful_step_count=30,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
test_writer_against_model = WriterMachine.TestCase
