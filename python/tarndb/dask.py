"""Building a sharded store with Dask: :func:`to_tarndb`.

Needs the optional extra ``tarndb[dask]`` (dask and distributed; pandas
for dataframes)::

    import dask.bag as db
    from tarndb.dask import to_tarndb

    bag = db.read_text("people-*.jsonl").map(json.loads)
    to_tarndb(bag, "/shared/people.store", key="id", shards=16)

The graph has two stages.  One task per input partition packs its records
and appends each to the run file of its key's shard (one run file per
partition and shard, in a spill directory of the store): this is the
shuffle by shard id, done through files that every worker reaches.  Then
one task per shard reads that shard's runs, in partition order, and builds
the shard file into a new generation.  The client, which holds the store's
builder lock throughout, publishes the manifest once every shard is built.

It runs on whatever scheduler is in force: Dask's default local scheduler,
a ``distributed.LocalCluster`` or any ``distributed.Client`` (the most
recent client is used, as with ``dask.compute``), or the one named by
*scheduler*.  Workers must all reach *path* under the same name.
"""

from __future__ import annotations

import importlib
import os
import sys
import time
import uuid
from itertools import chain
from collections.abc import Callable, Iterable, Sequence
from typing import Any, Union

import msgpack  # type: ignore[import-untyped,unused-ignore]

from tarndb import _codec, _fast
from tarndb._building import BuildReport, Default, Key, StrPath, key_bytes, store_report
from tarndb._layout import MAX_KEY_LEN, MAX_SHARDS, shard_file, shard_name
from tarndb.errors import TarnError
from tarndb.sharded import manifest as mf
from tarndb.sharded.build import build_shard
from tarndb.sharded.lock import StoreLock
from tarndb.sharded.runfile import RunWriter

__all__ = ["to_tarndb", "KeySpec"]

#: A field name, a list of field names (one key from each), or a callable
#: returning a record's key or keys.
KeySpec = Union[str, Sequence[str], Callable[[Any], Union[Key, Iterable[Key]]]]


def _field_key(record: Any, field: str) -> Key:
    try:
        value = record[field]
    except (KeyError, TypeError, IndexError):
        raise TarnError(f"record has no key field {field!r}: {_show(record)}") from None
    if isinstance(value, (str, bytes)):
        return value
    if isinstance(value, int) and not isinstance(value, bool):
        return str(value)
    raise TarnError(f"key field {field!r} must be a string or an integer, not {type(value).__name__}: {_show(record)}")


def _show(record: Any) -> str:
    text = repr(record)
    return text if len(text) <= 200 else text[:197] + "..."


class _Keys:
    # Picklable (sent to workers): the keys of a record under a KeySpec.
    def __init__(self, spec: KeySpec) -> None:
        if isinstance(spec, str):
            self.fields: tuple[str, ...] | None = (spec,)
            self.func: Callable[[Any], Key | Iterable[Key]] | None = None
        elif callable(spec):
            self.fields, self.func = None, spec
        elif isinstance(spec, Sequence) and spec and all(isinstance(f, str) for f in spec):
            self.fields, self.func = tuple(spec), None
        else:
            raise TypeError("key must be a field name, a non-empty list of field names, or a callable")

    def __call__(self, record: Any) -> list[bytes]:
        if self.fields is not None and len(self.fields) == 1:
            # The common case, kept short: one text field.
            try:
                value = record[self.fields[0]]
            except (KeyError, TypeError, IndexError):
                value = None
            if type(value) is str and value.isascii() and len(value) <= MAX_KEY_LEN:
                return [value.encode("ascii")]
        if self.fields is not None:
            keys: Iterable[Key] = [_field_key(record, f) for f in self.fields]
        else:
            assert self.func is not None
            got = self.func(record)
            keys = [got] if isinstance(got, (str, bytes)) else got
        stored = [key_bytes(k) for k in keys]
        if not stored:
            raise TarnError(f"the key callable gave no key for record {_show(record)}")
        return stored


def _records(part: Any) -> Iterable[Any]:
    # A dataframe partition gives its rows as dicts of plain Python values.
    to_dict = getattr(part, "to_dict", None)
    if to_dict is not None and hasattr(part, "columns"):
        records: list[Any] = to_dict(orient="records")
        return records
    return part  # type: ignore[no-any-return]


def _run_name(spill: str, token: str, shard: int) -> str:
    return os.path.join(spill, f"{token}-s{shard:04d}")


def _spill_partition(part: Any, spill: str, shards: int, keys_of: _Keys, default: Default | None) -> list[str]:
    """Stage one: appends each record of *part* to its shards' run files,
    in order; returns the token that names them."""
    token = uuid.uuid4().hex
    payloads: list[list[bytes]] = [[] for _ in range(shards)]
    keys: list[list[bytes]] = [[] for _ in range(shards)]
    counts: list[list[int]] = [[] for _ in range(shards)]
    route = _fast.route
    # One packer for the partition, as _codec.pack packs: its buffer is
    # reused, where packb would allocate one per record (a page fault each
    # where the allocator returns memory eagerly, as Dask's workers ask).
    pack = msgpack.Packer(default=_codec.with_arrays(default)).pack
    records = _records(part)
    field = keys_of.fields[0] if keys_of.fields is not None and len(keys_of.fields) == 1 else None
    if field is not None:
        # The common case, one text field, in a loop of its own: the per-record
        # calls of the general loop below cost as much as packing the record.
        # The first record that is not plain goes to the general loop.
        records = iter(records)
        for record in records:
            value = record.get(field) if type(record) is dict else None
            if type(value) is not str or not value.isascii() or len(value) > MAX_KEY_LEN:
                records = chain((record,), records)
                break
            k = value.encode("ascii")
            shard = route(k, shards)
            payloads[shard].append(pack(record))
            keys[shard].append(k)
            counts[shard].append(1)
    for record in records:
        ks = keys_of(record)
        raw = pack(record)
        if len(ks) == 1:
            shard = route(ks[0], shards)
            payloads[shard].append(raw)
            keys[shard].append(ks[0])
            counts[shard].append(1)
            continue
        groups: dict[int, list[bytes]] = {}
        for k in ks:
            groups.setdefault(route(k, shards), []).append(k)
        for shard, group in groups.items():
            payloads[shard].append(raw)
            keys[shard].extend(group)
            counts[shard].append(len(group))
    for shard in range(shards):
        if payloads[shard]:
            run = RunWriter(_run_name(spill, token, shard), 1 << 20)
            try:
                run.add_objects(payloads[shard], keys[shard], counts[shard])
            finally:
                run.close()
    return [token]


def _build(shard: int, tokens: list[list[str]], spill: str, out: str, name: str) -> mf.ShardInfo:
    """Stage two: builds one shard from its runs, in partition order."""
    names = (_run_name(spill, t, shard) for part in tokens for t in part)
    return build_shard([p for p in names if os.path.exists(p)], out, name)


def _is_bag(collection: Any) -> bool:
    bag_module = sys.modules.get("dask.bag")
    return bag_module is not None and isinstance(collection, bag_module.Bag)


def _staged(collection: Any, spill: str, shards: int, keys_of: _Keys, default: Default | None, dask: Any) -> list[Any]:
    # One delayed token list per partition, in partition order.  A bag's
    # spill runs in the same task as its partition's reading (no records
    # move between workers); a dataframe's partitions go through to_delayed.
    if _is_bag(collection):
        parts: list[Any] = collection.map_partitions(_spill_partition, spill, shards, keys_of, default).to_delayed()
        return parts
    return [dask.delayed(_spill_partition)(p, spill, shards, keys_of, default) for p in collection.to_delayed()]


def to_tarndb(
    collection: Any,
    path: StrPath,
    *,
    key: KeySpec,
    shards: int,
    default: Default | None = None,
    scheduler: Any = None,
) -> BuildReport:
    """Builds the sharded store *path* from a ``dask.bag`` of dicts (or of
    any msgpack-able records) or a ``dask.dataframe`` (one object per row,
    a dict of its columns), and publishes it.  Returns the report of the
    whole store (objects counted once per shard that holds them).

    *key*: a field name, a list of field names (the record is stored under
    the value of each), or a callable returning a record's key or keys.
    Key values are text, bytes or integers (stored as their decimal text).
    A key given by two records maps to the later one (partition order, then
    order within a partition).  *default* is the hook for values msgpack
    cannot hold, as for ``TarnWriter`` (``tarndb.to_builtin`` handles
    dates and times, numpy values and more).  *scheduler* is passed to
    ``dask.compute``.

    Raises TarnError when another builder holds the store, or a record has
    no usable key; nothing is published then, and the previous generation
    stays as it was.
    """
    dask: Any = importlib.import_module("dask")  # the optional extra tarndb[dask]
    if not isinstance(shards, int) or not 1 <= shards <= MAX_SHARDS:
        raise ValueError(f"shards must be from 1 to {MAX_SHARDS}, not {shards!r}")
    keys_of = _Keys(key)
    if not _is_bag(collection) and not hasattr(collection, "to_delayed"):
        raise TypeError(f"to_tarndb() takes a dask.bag or a dask.dataframe, not {type(collection).__name__}")
    store = os.fspath(path)
    started = time.monotonic()
    lock = StoreLock(store)
    spill = gen_path = ""
    try:
        spill = lock.spill_dir()
        gen, gen_path = lock.new_generation()
        tokens = _staged(collection, spill, shards, keys_of, default, dask)
        built = [
            dask.delayed(_build)(s, tokens, spill, os.path.join(gen_path, shard_file(s)), shard_name(gen, s))
            for s in range(shards)
        ]
        kwargs = {} if scheduler is None else {"scheduler": scheduler}
        infos = dask.compute(*built, **kwargs)
        lookup_sizes = [mf.lookup_index_size(os.path.join(gen_path, shard_file(s))) for s in range(shards)]
        manifest = mf.Manifest(gen, tuple(infos))
        lock.publish(manifest)
        gen_path = ""  # published: no longer ours to remove
        return store_report(
            store, manifest.num_objects, manifest.num_keys, manifest.file_size, time.monotonic() - started, lookup_sizes
        )
    finally:
        if gen_path:
            lock.discard(gen_path)
        if spill:
            lock.discard(spill)
        lock.release()
