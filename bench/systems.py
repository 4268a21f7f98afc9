"""The stores under comparison, each behind the same small adapter.

Every adapter builds a store file from a data set (keys mapped to object
payloads), opens it, and hands out the operations the benchmark times:
get, exists, prefix scan, full listing and (where the store has one) a
whole-store integrity check. Each adapter imports its library only when used,
so a worker needs nothing but the library of the system it measures.

How each store is used (the choices are the documented fast paths of each):
- tarndb: the native classes `_TarnWriter` / `_TarnReader`, str keys.
- dict: a plain dict of bytes; "build" pickles it to a file (and fsyncs),
  "open" unpickles it. The in-memory lower bound; its prefix scan is a full
  scan (a dict has no order).
- lmdb: py-lmdb, one file (subdir=False), built in one write transaction with
  Cursor.putmulti; read through one reused read transaction (buffers=False,
  so get returns bytes like the others), bytes keys (lmdb takes no str).
- sqlite: a `kv(k TEXT PRIMARY KEY, v BLOB) WITHOUT ROWID` table, built with
  executemany in one transaction (journal and syncs off, then one fsync of
  the file), read through prepared statements cached by the sqlite3 module.
- gdbm: dbm.gnu, built in fast mode ('nf') then synced; unordered, so its
  prefix scan is a full scan of its keys.
"""

from __future__ import annotations

import importlib
import os
import pickle
from typing import Any, Callable


def _fsync_path(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _remove(path: str) -> None:
    for p in (path, path + "-lock", path + "-journal", path + "-wal", path + "-shm"):
        try:
            os.remove(p)
        except FileNotFoundError:
            pass


class System:
    name = ""
    suffix = ""
    ordered = True  # whether prefix scans use an order (else: full scan)
    bytes_keys = False  # whether lookups take bytes (lookup lists are encoded once)
    # (module, what its absence means): the module the system needs.
    requires: tuple[str, str] | None = None

    @classmethod
    def available(cls) -> tuple[bool, str]:
        if cls.requires is not None:
            module, missing = cls.requires
            try:
                importlib.import_module(module)
            except ImportError as e:
                return False, f"{missing}: {e}"
        return True, ""

    @classmethod
    def version(cls) -> str:
        return ""

    # build(path, ds, mark) -> extra info; `mark(label)` records a point
    # (memory and time) between staging and writing where a system has one.
    def build(self, path: str, ds: dict, mark: Callable[[str], None]) -> dict:
        raise NotImplementedError

    def open(self, path: str, verify: bool = False) -> Any:
        raise NotImplementedError

    def close(self, h: Any) -> None:
        pass

    def get(self, h: Any) -> Callable[[Any], Any]:
        raise NotImplementedError

    # ("call", fn) or ("contains", container)
    def exists(self, h: Any) -> tuple[str, Any]:
        raise NotImplementedError

    def prefix(self, h: Any) -> Callable[[Any], list]:
        raise NotImplementedError

    def items(self, h: Any) -> Callable[[], list]:
        raise NotImplementedError

    def verify(self, h: Any) -> Callable[[], Any] | None:
        return None

    def file_bytes(self, path: str) -> int:
        return os.path.getsize(path)


class Tarn(System):
    name = "tarndb"
    suffix = ".tndb"

    requires = ("tarndb._tarndb", "tarndb._tarndb not importable")

    @classmethod
    def version(cls):
        import hashlib

        import tarndb._tarndb as t
        with open(t.__file__, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()[:12]
        return f"{t.__version__} (module sha256 {digest})"

    def build(self, path, ds, mark):
        from tarndb._tarndb import _TarnWriter
        w = _TarnWriter()
        add_object = w.add_object_raw
        add_key = w.add_key
        # Object IDs are handed out from 0 in call order, so object i has ID i
        # (checked below) and no list of IDs needs to be kept.
        last = -1
        for o in ds["objects"]:
            last = add_object(o)
        assert last == len(ds["objects"]) - 1
        for k, oi in zip(ds["keys"], ds["key_obj"]):
            add_key(k, oi)
        mark("staged")
        w.build(path)
        mark("written")
        del w
        return {}

    def open(self, path, verify=False):
        from tarndb._tarndb import _TarnReader
        return _TarnReader(path, verify)

    def get(self, h):
        return h.get_raw

    def exists(self, h):
        return "call", h.exists

    def prefix(self, h):
        return h.prefix_raw

    def items(self, h):
        return h.items_raw

    def verify(self, h):
        return h.verify


class Dict(System):
    name = "dict"
    suffix = ".pickle"
    ordered = False

    @classmethod
    def version(cls):
        import sys
        return "python " + sys.version.split()[0]

    def build(self, path, ds, mark):
        objects = ds["objects"]
        d = {k: objects[oi] for k, oi in zip(ds["keys"], ds["key_obj"])}
        mark("staged")
        with open(path, "wb") as f:
            pickle.dump(d, f, protocol=pickle.HIGHEST_PROTOCOL)
            f.flush()
            os.fsync(f.fileno())
        mark("written")
        return {}

    def open(self, path, verify=False):
        with open(path, "rb") as f:
            return pickle.load(f)

    def get(self, h):
        return h.get

    def exists(self, h):
        return "contains", h

    def prefix(self, h):
        def scan(p, d=h):
            return sorted((k, v) for k, v in d.items() if k.startswith(p))
        return scan

    def items(self, h):
        return lambda d=h: list(d.items())


class Lmdb(System):
    name = "lmdb"
    suffix = ".lmdb"
    bytes_keys = True

    requires = ("lmdb", "py-lmdb not installed")

    @classmethod
    def version(cls):
        import lmdb
        return "py-lmdb %s, LMDB %s" % (lmdb.__version__, ".".join(map(str, lmdb.version())))

    def build(self, path, ds, mark):
        import lmdb
        objects = ds["objects"]
        raw = sum(len(k) + 16 for k in ds["keys"]) + sum(len(objects[i]) + 16 for i in ds["key_obj"])
        pairs = [(k.encode(), objects[oi]) for k, oi in zip(ds["keys"], ds["key_obj"])]
        mark("staged")
        env = lmdb.open(path, subdir=False, map_size=max(64 << 20, raw * 4), lock=False,
                        readahead=False, meminit=False)
        with env.begin(write=True) as txn:
            txn.cursor().putmulti(pairs, dupdata=False, overwrite=True)
        env.sync(True)
        env.close()
        mark("written")
        return {}

    def open(self, path, verify=False):
        import lmdb
        env = lmdb.open(path, subdir=False, readonly=True, lock=False, readahead=False)
        txn = env.begin(buffers=False)
        return env, txn

    def close(self, h):
        env, txn = h
        txn.abort()
        env.close()

    def get(self, h):
        return h[1].get

    def exists(self, h):
        return "call", h[1].cursor().set_key

    def prefix(self, h):
        txn = h[1]

        def scan(p):
            cur = txn.cursor()
            out = []
            if cur.set_range(p):
                for k, v in cur.iternext():
                    if not k.startswith(p):
                        break
                    out.append((k, v))
            return out
        return scan

    def items(self, h):
        txn = h[1]
        return lambda: list(txn.cursor().iternext())


class Sqlite(System):
    name = "sqlite"
    suffix = ".sqlite"

    @classmethod
    def version(cls):
        import sqlite3
        return "SQLite " + sqlite3.sqlite_version

    def build(self, path, ds, mark):
        import sqlite3
        objects = ds["objects"]
        rows = [(k, objects[oi]) for k, oi in zip(ds["keys"], ds["key_obj"])]
        mark("staged")
        con = sqlite3.connect(path)
        con.execute("PRAGMA journal_mode=OFF")
        con.execute("PRAGMA synchronous=OFF")
        con.execute("CREATE TABLE kv (k TEXT PRIMARY KEY, v BLOB NOT NULL) WITHOUT ROWID")
        with con:
            con.executemany("INSERT OR REPLACE INTO kv VALUES (?, ?)", rows)
        con.close()
        _fsync_path(path)
        mark("written")
        return {}

    def open(self, path, verify=False):
        import sqlite3
        con = sqlite3.connect(f"file:{path}?mode=ro&immutable=1", uri=True, check_same_thread=False)
        # The schema is read at the first statement: include it in the open.
        con.execute("SELECT v FROM kv WHERE k = ?", ("",)).fetchone()
        return con

    def close(self, h):
        h.close()

    # One reused cursor per operation: Connection.execute would make a new
    # cursor for every call.
    def get(self, h):
        ex = h.cursor().execute
        sql = "SELECT v FROM kv WHERE k = ?"

        def get(k):
            r = ex(sql, (k,)).fetchone()
            return None if r is None else r[0]
        return get

    def exists(self, h):
        ex = h.cursor().execute
        sql = "SELECT 1 FROM kv WHERE k = ?"
        return "call", lambda k: ex(sql, (k,)).fetchone() is not None

    def prefix(self, h):
        ex = h.cursor().execute
        sql = "SELECT k, v FROM kv WHERE k >= ? AND k < ? ORDER BY k"

        def scan(p):
            hi = p[:-1] + chr(ord(p[-1]) + 1)
            return ex(sql, (p, hi)).fetchall()
        return scan

    def items(self, h):
        return lambda: h.execute("SELECT k, v FROM kv ORDER BY k").fetchall()


class Gdbm(System):
    name = "gdbm"
    suffix = ".gdbm"
    ordered = False

    requires = ("dbm.gnu", "dbm.gnu missing from this interpreter")

    @classmethod
    def version(cls):
        import sys

        import _gdbm
        v = getattr(_gdbm, "_GDBM_VERSION", None)
        return "GDBM %s (python %s)" % (".".join(map(str, v)) if v else "?", sys.version.split()[0])

    def build(self, path, ds, mark):
        import dbm.gnu
        objects = ds["objects"]
        mark("staged")
        db = dbm.gnu.open(path, "nf")
        for k, oi in zip(ds["keys"], ds["key_obj"]):
            db[k] = objects[oi]
        db.sync()
        db.close()
        mark("written")
        return {}

    def open(self, path, verify=False):
        import dbm.gnu
        return dbm.gnu.open(path, "r")

    def close(self, h):
        h.close()

    def get(self, h):
        return h.get

    def exists(self, h):
        return "contains", h

    def prefix(self, h):
        def scan(p, db=h):
            pb = p.encode()
            return sorted((k, db[k]) for k in db.keys() if k.startswith(pb))
        return scan

    def items(self, h):
        def listing(db=h):
            return [(k, db[k]) for k in db.keys()]
        return listing


SYSTEMS: dict[str, type[System]] = {c.name: c for c in (Tarn, Dict, Lmdb, Sqlite, Gdbm)}
ORDER = ["tarndb", "dict", "lmdb", "sqlite", "gdbm"]
