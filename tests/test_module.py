"""The module, its two class objects and their Python surface."""

import gc
import inspect
import weakref

import pytest

from conftest import method_def, run_python

from tarndb import _tarndb
from tarndb._tarndb import _TarnReader, _TarnWriter

READER_DOC = (
    "Low-level reader \u2014 returns raw msgpack bytes.\n"
    "**Use `tarndb.TarnReader` (Python wrapper) instead of this directly.**\n\n"
    "Thread-safe for reads: the index is immutable after construction and the\n"
    "mmap is read-only.  Share one instance freely across threads."
)
WRITER_DOC = (
    "Low-level writer \u2014 accepts pre-serialised msgpack bytes per object.\n"
    "**Use `tarndb.TarnWriter` (Python wrapper) instead of this directly.**"
)

FASTCALL_KEYWORDS = 0x82
NOARGS = 0x4

# (name, calling convention, full docstring as stored, signature line included)
READER_METHODS = [
    ("get_raw", FASTCALL_KEYWORDS,
     "get_raw($self, key)\n--\n\nO(1) exact-match lookup. Returns raw msgpack bytes or `None`."),
    ("exists", FASTCALL_KEYWORDS,
     "exists($self, key)\n--\n\nKey presence check \u2014 no I/O beyond the in-memory hash index."),
    ("prefix_raw", FASTCALL_KEYWORDS,
     "prefix_raw($self, prefix)\n--\n\nSorted prefix scan. Returns `list[tuple[str, bytes]]`."),
    ("keys", NOARGS, "keys($self)\n--\n\nAll keys in sorted order."),
    ("items_raw", NOARGS, "items_raw($self)\n--\n\nAll `(key, raw_bytes)` pairs in sorted key order."),
    ("objects_raw", NOARGS, "objects_raw($self)\n--\n\nUnique objects only (deduplicated by file offset)."),
    ("stats", NOARGS, "stats($self)\n--\n\nReturn file metadata as a `dict`."),
    ("verify", NOARGS, "verify($self)\n--\n\nDeep CRC32 integrity check (whole-file + per-object)."),
    ("close", NOARGS, "close($self)\n--\n\n"),
    ("__enter__", NOARGS, "__enter__($self)\n--\n\n"),
    ("__exit__", FASTCALL_KEYWORDS, "__exit__($self, _exc_type, _exc_val, _exc_tb)\n--\n\n"),
]
WRITER_METHODS = [
    ("add_object_raw", FASTCALL_KEYWORDS,
     "add_object_raw($self, raw_bytes)\n--\n\nStore pre-encoded *raw_bytes* (msgpack). Returns the object ID."),
    ("add_key", FASTCALL_KEYWORDS, "add_key($self, key, obj_id)\n--\n\nMap *key* (str or bytes) to *obj_id*."),
    ("build", FASTCALL_KEYWORDS,
     "build($self, path)\n--\n\nAtomically write the `.tndb` file: tmp \u2192 fsync \u2192 rename."),
]

BOTH = pytest.mark.parametrize("cls", [_TarnReader, _TarnWriter], ids=["reader", "writer"])


def split_doc(stored):
    sig, sep, rest = stored.partition("\n--\n\n")
    assert sep
    return sig, rest


# --------------------------------------------------------------- the module


def test_all_and_version():
    assert _tarndb.__all__ == ["_TarnWriter", "_TarnReader", "__version__"]
    assert type(_tarndb.__all__) is list
    assert _tarndb.__version__ == "0.2.0"
    assert type(_tarndb.__version__) is str
    assert _tarndb._TarnWriter is _TarnWriter and _tarndb._TarnReader is _TarnReader


def test_module_name_and_doc():
    assert _tarndb.__name__ == "tarndb._tarndb"
    assert _tarndb.__doc__ == "tarndb._tarndb \u2014 native extension module entry-point"


def test_module_holds_nothing_else():
    public = {name for name in vars(_tarndb) if not (name.startswith("__") and name.endswith("__"))}
    assert public == {"_TarnWriter", "_TarnReader"}
    dunders = {name for name in vars(_tarndb) if name.startswith("__") and name.endswith("__")}
    assert dunders <= {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__all__",
                       "__version__", "__builtins__", "__cached__"}
    # No functions, no constants, no exception classes.
    for name, value in vars(_tarndb).items():
        assert not callable(value) or value in (_TarnReader, _TarnWriter), name
        assert not (isinstance(value, type) and issubclass(value, BaseException)), name


def test_panic_exception_not_exported():
    assert not hasattr(_tarndb, "PanicException")
    assert "PanicException" not in _tarndb.__all__
    for name in ("TarnError", "TarnCorruptError", "TarnVersionError", "TarnIOError"):
        assert not hasattr(_tarndb, name)


def test_package_reexports_version():
    import tarndb

    assert tarndb.__version__ == "0.2.0"


def test_multi_phase_init_new_module_object_shares_classes():
    # Multi-phase initialisation: executing the definition again gives a new
    # module object with its own __all__, holding the same (once-per-process)
    # class objects.
    out = run_python(
        """
        import importlib.util
        import tarndb._tarndb as m
        spec = importlib.util.find_spec("tarndb._tarndb")
        m2 = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(m2)
        print(m2 is not m, m2._TarnWriter is m._TarnWriter, m2._TarnReader is m._TarnReader,
              m2.__all__ == m.__all__, m2.__all__ is not m.__all__, m2.__version__)
        """
    ).stdout.decode()
    assert out.split() == ["True", "True", "True", "True", "True", "0.2.0"]


def test_import_in_fresh_process_orders_module_dict():
    out = run_python(
        """
        import tarndb._tarndb as m
        names = [n for n in vars(m) if n in ("_TarnWriter", "_TarnReader", "__version__", "__all__")]
        print(",".join(names))
        """
    ).stdout.decode().strip()
    # __all__ is created by the first addition, then the three names in order.
    assert out == "__all__,_TarnWriter,_TarnReader,__version__"


# ------------------------------------------------------------ class objects


@BOTH
def test_names_and_module(cls):
    name = "_TarnReader" if cls is _TarnReader else "_TarnWriter"
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert cls.__bases__ == (object,)


def test_text_signatures_and_class_docs():
    assert _TarnReader.__text_signature__ == "(path, verify=True)"
    assert _TarnWriter.__text_signature__ == "()"
    assert _TarnReader.__doc__ == READER_DOC
    assert _TarnWriter.__doc__ == WRITER_DOC
    assert str(inspect.signature(_TarnReader)) == "(path, verify=True)"
    assert str(inspect.signature(_TarnWriter)) == "()"


@BOTH
def test_not_subclassable(cls):
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError, match="not an acceptable base type"):

        class Sub(cls):  # noqa: F841
            pass


@BOTH
def test_type_flags(cls):
    flags = cls.__flags__
    assert not flags & (1 << 10), "Py_TPFLAGS_BASETYPE"
    assert not flags & (1 << 14), "Py_TPFLAGS_HAVE_GC"
    assert not flags & (1 << 8), "Py_TPFLAGS_IMMUTABLETYPE"
    assert not flags & (1 << 7), "Py_TPFLAGS_DISALLOW_INSTANTIATION"
    assert flags & (1 << 9), "a heap type"
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0


@BOTH
def test_class_objects_are_mutable(cls):
    cls.some_test_attribute = 5
    try:
        assert cls.some_test_attribute == 5
    finally:
        del cls.some_test_attribute
    assert not hasattr(cls, "some_test_attribute")


def test_no_instance_attributes(worked_example):
    for obj in (_TarnWriter(), _TarnReader(str(worked_example))):
        with pytest.raises(AttributeError):
            obj.anything = 1
        with pytest.raises(AttributeError):
            del obj.anything
        with pytest.raises(AttributeError):
            obj.__dict__
        # Methods cannot be shadowed on the instance either.
        with pytest.raises(AttributeError):
            obj.keys = None


def test_no_weak_references(worked_example):
    for obj in (_TarnWriter(), _TarnReader(str(worked_example))):
        with pytest.raises(TypeError, match="cannot create weak reference"):
            weakref.ref(obj)


def test_not_tracked_by_gc(worked_example):
    assert not gc.is_tracked(_TarnWriter())
    assert not gc.is_tracked(_TarnReader(str(worked_example)))


@pytest.mark.parametrize(
    "cls, table",
    [(_TarnReader, READER_METHODS), (_TarnWriter, WRITER_METHODS)],
    ids=["reader", "writer"],
)
def test_method_table_order_in_class_dict(cls, table):
    names = [n for n, _, _ in table]
    in_dict = [n for n in vars(cls) if n in names]
    assert in_dict == names
    # Nothing else: no properties, class attributes, class or static methods.
    others = [n for n in vars(cls) if n not in names]
    assert set(others) <= {"__new__", "__repr__", "__doc__", "__module__"}, others
    assert {"__new__", "__repr__", "__doc__", "__module__"} <= set(others)
    for n in names:
        assert type(vars(cls)[n]).__name__ == "method_descriptor", n


@pytest.mark.parametrize(
    "cls, name, conv, doc",
    [(_TarnReader, *m) for m in READER_METHODS] + [(_TarnWriter, *m) for m in WRITER_METHODS],
    ids=[f"reader.{m[0]}" for m in READER_METHODS] + [f"writer.{m[0]}" for m in WRITER_METHODS],
)
def test_method_docstrings_and_signatures(cls, name, conv, doc):
    descr = vars(cls)[name]
    sig, text = split_doc(doc)
    assert descr.__text_signature__ == sig[len(name):]
    assert descr.__doc__ == (text or None)
    assert descr.__name__ == name
    assert descr.__qualname__ == f"{cls.__name__}.{name}"
    params = list(inspect.signature(descr).parameters.values())
    expected = [p.strip() for p in sig[len(name) + 1:-1].split(",")]
    assert [p.name for p in params] == ["self"] + expected[1:]
    assert params[0].kind is inspect.Parameter.POSITIONAL_ONLY  # "$self"
    # Every real parameter positional-or-keyword, none with a default.
    for p in params[1:]:
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD and p.default is inspect.Parameter.empty


@pytest.mark.parametrize(
    "cls, name, conv, doc",
    [(_TarnReader, *m) for m in READER_METHODS] + [(_TarnWriter, *m) for m in WRITER_METHODS],
    ids=[f"reader.{m[0]}" for m in READER_METHODS] + [f"writer.{m[0]}" for m in WRITER_METHODS],
)
def test_method_definitions_raw(cls, name, conv, doc):
    md = method_def(vars(cls)[name])
    if md is None:
        pytest.skip("PyMethodDef not reachable with ctypes on this interpreter")
    assert md.flags == conv
    assert md.doc.decode("utf-8") == doc


def test_documented_signature_and_empty_docstrings():
    assert _TarnReader.get_raw.__text_signature__ == "($self, key)"
    assert _TarnReader.close.__doc__ is None
    assert _TarnReader.__enter__.__doc__ is None
    assert _TarnReader.__exit__.__doc__ is None


def test_writer_instantiable_and_repr():
    w = _TarnWriter()
    assert type(w) is _TarnWriter
    assert repr(w) == "_TarnWriter(objects=0, keys=0)"
