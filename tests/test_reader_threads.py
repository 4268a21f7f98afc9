"""One _TarnReader shared by several threads (shared
borrows only, immutable state, results correct under concurrency)."""

from __future__ import annotations

import random
import threading

from filecraft import Craft, fix_crc, flip, standard, write
from tarndb._tarndb import _TarnReader

N_THREADS = 8
ROUNDS = 60


def make_store():
    rnd = random.Random(7)
    objects = [rnd.randbytes(rnd.randrange(2, 200)) for _ in range(64)]
    mapping = {}
    for i in range(800):
        mapping[f"key:{i:04d}".encode()] = rnd.randrange(len(objects))
    for i in range(50):
        mapping[b"\x80bin" + bytes([i])] = rnd.randrange(len(objects))
    return objects, mapping


def run_threads(target) -> list[BaseException]:
    errors: list[BaseException] = []
    barrier = threading.Barrier(N_THREADS)

    def wrapped(tid: int) -> None:
        try:
            barrier.wait(timeout=30)
            target(tid)
        except BaseException as e:  # noqa: BLE001 - reported to the main thread
            errors.append(e)

    threads = [threading.Thread(target=wrapped, args=(t,)) for t in range(N_THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
        assert not t.is_alive(), "thread did not finish"
    return errors


def test_threads_query_and_verify_one_reader(tmp_path):
    objects, mapping = make_store()
    r = _TarnReader(write(tmp_path / "shared.tndb", standard(objects, mapping)))
    order = sorted(mapping)
    want_keys = [k.decode("utf-8", "replace") for k in order]
    want_items = [(k.decode("utf-8", "replace"), objects[mapping[k]]) for k in order]
    seen, want_objects = set(), []
    for k in order:
        if mapping[k] not in seen:
            seen.add(mapping[k])
            want_objects.append(objects[mapping[k]])
    want_stats = r.stats()

    def work(tid: int) -> None:
        rnd = random.Random(tid)
        for i in range(ROUNDS):
            k = order[rnd.randrange(len(order))]
            assert r.get_raw(k) == objects[mapping[k]]
            assert r.exists(k)
            assert r.get_raw(b"absent" + k) is None
            assert not r.exists(b"absent" + k)
            p = k[: rnd.randrange(len(k) + 1)]
            assert r.prefix_raw(p) == [(x.decode("utf-8", "replace"), objects[mapping[x]])
                                       for x in order if x.startswith(p)]
            step = i % 6
            if step == 0:
                assert r.verify() is True
            elif step == 1:
                assert r.items_raw() == want_items
            elif step == 2:
                assert r.objects_raw() == want_objects
            elif step == 3:
                assert r.keys() == want_keys
            elif step == 4:
                assert r.stats() == want_stats
                assert repr(r).endswith(f"keys={len(order)}, objects={len(objects)})")
            else:
                r.close()  # releases nothing, also for the other threads
                assert r.__exit__(None, None, None) is False

    assert run_threads(work) == []
    assert r.items_raw() == want_items


def test_threads_see_same_errors_on_damaged_reader(tmp_path):
    c = Craft()
    good = c.add_object(b"good-payload")
    bad = c.add_object(b"bad-payload")
    c.add_entry("a", good)
    c.add_entry("b", bad)
    c.add_entry("c", 10**9)
    blob = fix_crc(flip(c.build(), bad + 8, 0x01))
    r = _TarnReader(write(tmp_path / "damaged.tndb", blob))

    def work(tid: int) -> None:
        for _ in range(ROUNDS):
            assert r.get_raw("a") == b"good-payload"
            assert r.get_raw("b") == b"cad-payload"
            try:
                r.verify()
            except RuntimeError as e:
                assert str(e) == f"TarnCorruptError: object CRC32 mismatch at offset {bad}"
            else:
                raise AssertionError("verify passed on a damaged file")
            try:
                r.items_raw()
            except RuntimeError as e:
                assert str(e) == "TarnCorruptError: offset 1000000000 out of bounds"
            else:
                raise AssertionError("items_raw passed on a damaged file")
            assert r.keys() == ["a", "b", "c"]

    assert run_threads(work) == []


def test_threads_open_own_readers_of_one_file(tmp_path):
    objects, mapping = make_store()
    p = write(tmp_path / "many.tndb", standard(objects, mapping))
    some = sorted(mapping)[::37]

    def work(tid: int) -> None:
        for i in range(10):
            r = _TarnReader(p, verify=bool(i % 2))
            for k in some:
                assert r.get_raw(k) == objects[mapping[k]]
            del r

    assert run_threads(work) == []
