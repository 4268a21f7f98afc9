"""The call frame -- binding, self check, borrowing, conversions."""

import array
import pathlib

import numpy as np
import pytest

from conftest import WORKED_KEYS, WORKED_OBJECTS, bind_foreign_self, build, parse_tndb, read_file

from tarndb._tarndb import _TarnReader, _TarnWriter

KEY_ERROR = "key must be str or bytes"


@pytest.fixture
def example_path(tmp_path):
    return str(build(tmp_path, WORKED_OBJECTS, WORKED_KEYS, name="example.tndb"))


@pytest.fixture
def reader(example_path):
    return _TarnReader(example_path)


def writer_with(n_objects):
    w = _TarnWriter()
    for i in range(n_objects):
        w.add_object_raw(bytes([i]))
    return w


def staged_keys(tmp_path, w, name="keys.tndb"):
    """The key bytes -> object index of what `w` has staged, read from a build."""
    path = tmp_path / name
    w.build(str(path))
    return parse_tndb(read_file(path)).key_to_object_index()


def raises_exactly(exc_type, message, fn, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type, repr(info.value)
    assert str(info.value) == message
    return info.value


# ------------------------------------------------------------------ binding


BINDING_CASES = [
    # too many positional arguments
    ("writer_new_1", lambda r, w: _TarnWriter(1), "_TarnWriter.__new__() takes 0 positional arguments but 1 was given"),
    ("writer_new_2", lambda r, w: _TarnWriter(1, 2),
     "_TarnWriter.__new__() takes 0 positional arguments but 2 were given"),
    ("reader_new_3", lambda r, w: _TarnReader("p", True, 3),
     "_TarnReader.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    ("reader_new_4", lambda r, w: _TarnReader("p", True, 3, 4),
     "_TarnReader.__new__() takes from 1 to 2 positional arguments but 4 were given"),
    ("add_object_2", lambda r, w: w.add_object_raw(b"", b""),
     "_TarnWriter.add_object_raw() takes 1 positional arguments but 2 were given"),
    ("add_key_3", lambda r, w: w.add_key("k", 0, 1),
     "_TarnWriter.add_key() takes 2 positional arguments but 3 were given"),
    ("build_2", lambda r, w: w.build("a", "b"), "_TarnWriter.build() takes 1 positional arguments but 2 were given"),
    ("get_raw_2", lambda r, w: r.get_raw("a", "b"),
     "_TarnReader.get_raw() takes 1 positional arguments but 2 were given"),
    ("exists_2", lambda r, w: r.exists("a", "b"), "_TarnReader.exists() takes 1 positional arguments but 2 were given"),
    ("prefix_2", lambda r, w: r.prefix_raw("a", "b"),
     "_TarnReader.prefix_raw() takes 1 positional arguments but 2 were given"),
    ("exit_4", lambda r, w: r.__exit__(None, None, None, None),
     "_TarnReader.__exit__() takes 3 positional arguments but 4 were given"),
    # too many positional comes before keyword problems
    ("build_2_kw", lambda r, w: w.build("a", "b", nope=1),
     "_TarnWriter.build() takes 1 positional arguments but 2 were given"),
    # unexpected keyword
    ("writer_new_kw", lambda r, w: _TarnWriter(x=1), "_TarnWriter.__new__() got an unexpected keyword argument 'x'"),
    ("reader_new_kw", lambda r, w: _TarnReader(path="p", verify=True, mode="r"),
     "_TarnReader.__new__() got an unexpected keyword argument 'mode'"),
    ("get_raw_kw", lambda r, w: r.get_raw(k="a"), "_TarnReader.get_raw() got an unexpected keyword argument 'k'"),
    ("prefix_kw_key", lambda r, w: r.prefix_raw(key="a"),
     "_TarnReader.prefix_raw() got an unexpected keyword argument 'key'"),
    ("build_kw_unicode", lambda r, w: w.build(**{"p\u0101th": "x"}),
     "_TarnWriter.build() got an unexpected keyword argument 'p\u0101th'"),
    ("build_kw_surrogate", lambda r, w: w.build(**{"\udcff": "x"}),
     "_TarnWriter.build() got an unexpected keyword argument '\udcff'"),
    ("build_kw_case", lambda r, w: w.build(Path="x"), "_TarnWriter.build() got an unexpected keyword argument 'Path'"),
    ("add_key_kw_order", lambda r, w: w.add_key(zz=1, yy=2),
     "_TarnWriter.add_key() got an unexpected keyword argument 'zz'"),
    ("add_key_kw_order2", lambda r, w: w.add_key(yy=2, zz=1),
     "_TarnWriter.add_key() got an unexpected keyword argument 'yy'"),
    ("reader_new_kw_dict_order", lambda r, w: _TarnReader("p", b=1, a=2),
     "_TarnReader.__new__() got an unexpected keyword argument 'b'"),
    ("unknown_kw_before_missing", lambda r, w: w.add_key(nope=1),
     "_TarnWriter.add_key() got an unexpected keyword argument 'nope'"),
    # multiple values
    ("get_raw_twice", lambda r, w: r.get_raw("a", key="a"),
     "_TarnReader.get_raw() got multiple values for argument 'key'"),
    ("reader_new_twice", lambda r, w: _TarnReader("p", path="p"),
     "_TarnReader.__new__() got multiple values for argument 'path'"),
    ("reader_new_verify_twice", lambda r, w: _TarnReader("p", True, verify=True),
     "_TarnReader.__new__() got multiple values for argument 'verify'"),
    ("add_key_twice", lambda r, w: w.add_key("k", 0, key="k"),
     "_TarnWriter.add_key() got multiple values for argument 'key'"),
    ("exit_twice", lambda r, w: r.__exit__(None, None, None, _exc_val=None),
     "_TarnReader.__exit__() got multiple values for argument '_exc_val'"),
    # missing arguments
    ("reader_new_none", lambda r, w: _TarnReader(),
     "_TarnReader.__new__() missing 1 required positional argument: 'path'"),
    ("reader_new_verify_only", lambda r, w: _TarnReader(verify=False),
     "_TarnReader.__new__() missing 1 required positional argument: 'path'"),
    ("add_object_none", lambda r, w: w.add_object_raw(),
     "_TarnWriter.add_object_raw() missing 1 required positional argument: 'raw_bytes'"),
    ("add_key_none", lambda r, w: w.add_key(),
     "_TarnWriter.add_key() missing 2 required positional arguments: 'key' and 'obj_id'"),
    ("add_key_one", lambda r, w: w.add_key("k"),
     "_TarnWriter.add_key() missing 1 required positional argument: 'obj_id'"),
    ("add_key_obj_only", lambda r, w: w.add_key(obj_id=0),
     "_TarnWriter.add_key() missing 1 required positional argument: 'key'"),
    ("build_none", lambda r, w: w.build(), "_TarnWriter.build() missing 1 required positional argument: 'path'"),
    ("get_raw_none", lambda r, w: r.get_raw(), "_TarnReader.get_raw() missing 1 required positional argument: 'key'"),
    ("exists_none", lambda r, w: r.exists(), "_TarnReader.exists() missing 1 required positional argument: 'key'"),
    ("prefix_none", lambda r, w: r.prefix_raw(),
     "_TarnReader.prefix_raw() missing 1 required positional argument: 'prefix'"),
    ("exit_none", lambda r, w: r.__exit__(),
     "_TarnReader.__exit__() missing 3 required positional arguments: '_exc_type', '_exc_val', and '_exc_tb'"),
    ("exit_one", lambda r, w: r.__exit__(None),
     "_TarnReader.__exit__() missing 2 required positional arguments: '_exc_val' and '_exc_tb'"),
    ("exit_kw_last", lambda r, w: r.__exit__(_exc_tb=None),
     "_TarnReader.__exit__() missing 2 required positional arguments: '_exc_type' and '_exc_val'"),
    ("exit_kw_middle", lambda r, w: r.__exit__(_exc_val=None),
     "_TarnReader.__exit__() missing 2 required positional arguments: '_exc_type' and '_exc_tb'"),
    ("exit_two_kw", lambda r, w: r.__exit__(_exc_tb=None, _exc_type=None),
     "_TarnReader.__exit__() missing 1 required positional argument: '_exc_val'"),
]


@pytest.mark.parametrize("call, message", [c[1:] for c in BINDING_CASES], ids=[c[0] for c in BINDING_CASES])
def test_binding_messages(reader, call, message):
    w = _TarnWriter()
    raises_exactly(TypeError, message, call, reader, w)
    assert repr(w) == "_TarnWriter(objects=0, keys=0)"


def test_keyword_binding_equals_positional(reader, tmp_path):
    assert reader.get_raw(key="k") == reader.get_raw("k") == b"abc"
    assert reader.exists(key="a") is True
    assert reader.prefix_raw(prefix="") == reader.prefix_raw("")
    assert reader.__exit__(_exc_tb=None, _exc_val=None, _exc_type=None) is False
    w = _TarnWriter()
    assert w.add_object_raw(raw_bytes=b"x") == 0
    w.add_key(obj_id=0, key="k")
    w.add_key("j", obj_id=0)
    w.build(path=str(tmp_path / "kw.tndb"))
    assert parse_tndb(read_file(tmp_path / "kw.tndb")).key_to_object_index() == {b"j": 0, b"k": 0}
    r = _TarnReader(verify=False, path=str(tmp_path / "kw.tndb"))
    assert r.keys() == ["j", "k"]


def test_keyword_names_are_not_positional_only(example_path):
    # No parameter is positional-only or keyword-only.
    assert _TarnReader(path=example_path).keys() == ["a", "b", "k"]
    assert _TarnReader(example_path, verify=True).keys() == ["a", "b", "k"]


@pytest.mark.parametrize("name", ["keys", "items_raw", "objects_raw", "stats", "verify", "close", "__enter__"])
def test_no_argument_methods_reject_arguments(reader, name):
    method = getattr(reader, name)
    with pytest.raises(TypeError):
        method(1)
    with pytest.raises(TypeError):
        method(x=1)


def test_binding_comes_before_borrow_and_conversion():
    # Inside a conversion the writer is exclusively borrowed: a badly bound
    # inner call still fails with the binding TypeError, a well-bound one with
    # the borrow error even though its argument is of the wrong type.
    w = writer_with(1)
    seen = []

    class Reenter:
        def __index__(self):
            for call in (lambda: w.add_object_raw(), lambda: w.add_object_raw(bytearray(b"x")),
                         lambda: w.build(), lambda: w.build(123)):
                try:
                    call()
                except BaseException as e:  # noqa: BLE001
                    seen.append((type(e), str(e)))
            return 0

    w.add_key("k", Reenter())
    assert seen == [
        (TypeError, "_TarnWriter.add_object_raw() missing 1 required positional argument: 'raw_bytes'"),
        (RuntimeError, "Already borrowed"),
        (TypeError, "_TarnWriter.build() missing 1 required positional argument: 'path'"),
        (RuntimeError, "Already mutably borrowed"),
    ]


# --------------------------------------------------------------- self check


def test_unbound_call_with_wrong_self_is_type_error():
    # The interpreter's descriptor check rejects these before the module runs.
    with pytest.raises(TypeError):
        _TarnReader.get_raw(object(), "k")
    with pytest.raises(TypeError):
        _TarnReader.keys(object())
    with pytest.raises(TypeError):
        _TarnWriter.add_key(object(), "k", 0)
    with pytest.raises(TypeError):
        _TarnWriter.build(_TarnWriter, "x")
    with pytest.raises(TypeError):
        _TarnWriter.__repr__(object())
    with pytest.raises(TypeError):
        _TarnReader.__repr__(_TarnWriter())


def test_unbound_call_with_right_self_works(reader):
    assert _TarnReader.get_raw(reader, "k") == b"abc"
    assert _TarnReader.keys(reader) == ["a", "b", "k"]
    w = _TarnWriter()
    assert _TarnWriter.add_object_raw(w, b"") == 0
    assert _TarnWriter.__repr__(w) == "_TarnWriter(objects=1, keys=0)"


def _foreign(cls, name, obj):
    fn = bind_foreign_self(vars(cls)[name], obj)
    if fn is None:
        pytest.skip("cannot bypass the descriptor check with ctypes on this interpreter")
    return fn


@pytest.mark.parametrize(
    "cls, name, args, self_obj, self_name",
    [
        (_TarnReader, "get_raw", ("k",), object(), "object"),
        (_TarnReader, "exists", ("k",), 42, "int"),
        (_TarnReader, "keys", (), "text", "str"),
        (_TarnReader, "__exit__", (None, None, None), None, "NoneType"),
        (_TarnWriter, "add_object_raw", (b"x",), [], "list"),
        (_TarnWriter, "add_key", ("k", 0), {}, "dict"),
        (_TarnWriter, "build", ("/nonexistent/x",), object(), "object"),
    ],
)
def test_frame_self_check_message(cls, name, args, self_obj, self_name):
    fn = _foreign(cls, name, self_obj)
    raises_exactly(TypeError, f"'{self_name}' object is not an instance of '{cls.__name__}'", fn, *args)


def test_frame_self_check_other_class(reader):
    w = _TarnWriter()
    raises_exactly(TypeError, "'_TarnWriter' object is not an instance of '_TarnReader'",
                   _foreign(_TarnReader, "get_raw", w), "k")
    raises_exactly(TypeError, "'_TarnReader' object is not an instance of '_TarnWriter'",
                   _foreign(_TarnWriter, "add_object_raw", reader), b"x")


def test_frame_self_check_uses_qualified_name():
    class Outer:
        class Inner:
            pass

    fn = _foreign(_TarnReader, "exists", Outer.Inner())
    qual = Outer.Inner.__qualname__
    assert qual.endswith("Outer.Inner")
    raises_exactly(TypeError, f"'{qual}' object is not an instance of '_TarnReader'", fn, "k")


def test_frame_binding_before_self_check():
    fn = _foreign(_TarnWriter, "add_key", object())
    raises_exactly(TypeError, "_TarnWriter.add_key() missing 1 required positional argument: 'obj_id'", fn, "k")


def test_frame_self_check_accepts_right_instance(reader):
    assert _foreign(_TarnReader, "get_raw", reader)("k") == b"abc"


# ------------------------------------------------------------ extract_key


class IntLike:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class SeqOnly:
    """A sequence by __getitem__/__len__ only."""

    def __init__(self, items, broken_len=False):
        self.items = list(items)
        self.broken_len = broken_len

    def __len__(self):
        if self.broken_len:
            raise RuntimeError("no length")
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class BadIter(SeqOnly):
    def __getitem__(self, i):
        if i == 1:
            raise RuntimeError("iteration fails")
        return super().__getitem__(i)


class WeirdStr(str):
    def __iter__(self):
        return iter([1, 2, 3])

    def encode(self, *a, **k):  # never used by the module
        return b"wrong"


class WeirdBytes(bytes):
    def __iter__(self):
        return iter([1, 2, 3])

    def __getitem__(self, i):
        return 0


class WeirdBytearray(bytearray):
    def __iter__(self):
        return iter([1, 2, 3])


ACCEPTED_KEYS = [
    ("str", "hi", b"hi"),
    ("str_nonascii", "h\u00e9\u20ac\U0001f600", "h\u00e9\u20ac\U0001f600".encode()),
    ("str_nul", "a\x00b", b"a\x00b"),
    ("str_subclass", WeirdStr("hi"), b"hi"),
    ("bytes", b"hi", b"hi"),
    ("bytes_invalid_utf8", b"\xff\xfe\x00", b"\xff\xfe\x00"),
    ("bytes_subclass", WeirdBytes(b"hi"), b"hi"),
    ("bytearray", bytearray(b"hi"), b"hi"),
    ("bytearray_subclass", WeirdBytearray(b"hi"), b"hi"),
    ("list", [104, 105], b"hi"),
    ("list_bounds", [0, 255], b"\x00\xff"),
    ("list_bools", [True, False], b"\x01\x00"),
    ("list_index_items", [IntLike(104), IntLike(105)], b"hi"),
    ("list_numpy_items", [np.uint8(104), np.int64(105)], b"hi"),
    ("tuple", (104, 105), b"hi"),
    ("range", range(104, 106), b"hi"),
    ("memoryview", memoryview(b"hi"), b"hi"),
    ("memoryview_slice", memoryview(b"xhix")[1:3], b"hi"),
    ("memoryview_signed_nonneg", memoryview(b"hi").cast("b"), b"hi"),
    ("array_B", array.array("B", b"hi"), b"hi"),
    ("array_i", array.array("i", [104, 105]), b"hi"),
    ("custom_sequence", SeqOnly([104, 105]), b"hi"),
    ("sequence_without_length", SeqOnly([104, 105], broken_len=True), b"hi"),
    ("numpy_array", np.array([104, 105], dtype=np.uint8), b"hi"),
    ("empty_str", "", b""),
    ("empty_bytes", b"", b""),
    ("empty_list", [], b""),
    ("empty_range", range(0), b""),
]

REJECTED_KEYS = [
    ("dict", {104: 1}),
    ("empty_dict", {}),
    ("set", {104}),
    ("frozenset", frozenset()),
    ("int", 104),
    ("bool", True),
    ("none", None),
    ("float", 1.0),
    ("lone_surrogate", "\ud800"),
    ("lone_surrogate_mixed", "ab\udfffcd"),
    ("list_256", [104, 256]),
    ("list_negative", [-1]),
    ("list_huge", [2**70]),
    ("list_str", ["h"]),
    ("list_float", [104.0]),
    ("list_none", [None]),
    ("list_bytes", [b"h"]),
    ("nested_list", [[104]]),
    ("tuple_256", (256,)),
    ("memoryview_negative", memoryview(b"\xff").cast("b")),
    ("array_negative", array.array("b", [-5])),
    ("array_d", array.array("d", [1.0])),
    ("array_big", array.array("I", [300])),
    ("failing_iteration", BadIter([104, 105, 106])),
    ("generator", (i for i in [104])),
    ("iterator", iter([104])),
    ("object", object()),
    ("pathlike", pathlib.PurePosixPath("hi")),
    ("complex", 1j),
]


@pytest.mark.parametrize("key, expected", [c[1:] for c in ACCEPTED_KEYS], ids=[c[0] for c in ACCEPTED_KEYS])
def test_extract_key_accepts(tmp_path, key, expected):
    w = writer_with(1)
    w.add_key(key, 0)
    assert repr(w) == "_TarnWriter(objects=1, keys=1)"
    assert staged_keys(tmp_path, w) == {expected: 0}


@pytest.mark.parametrize("key, expected", [c[1:] for c in ACCEPTED_KEYS], ids=[c[0] for c in ACCEPTED_KEYS])
def test_extract_key_same_in_reader(tmp_path, key, expected):
    r = _TarnReader(str(build(tmp_path, [b"payload"], [(expected, 0)])))
    assert r.exists(key) is True
    assert r.get_raw(key) == b"payload"
    assert [p for _, p in r.prefix_raw(key)] == [b"payload"]


@pytest.mark.parametrize("key", [c[1] for c in REJECTED_KEYS], ids=[c[0] for c in REJECTED_KEYS])
def test_extract_key_rejects(reader, key):
    w = writer_with(1)
    for call in (lambda: w.add_key(key, 0), lambda: reader.get_raw(key), lambda: reader.exists(key),
                 lambda: reader.prefix_raw(key)):
        exc = raises_exactly(ValueError, KEY_ERROR, call)
        # Whatever the failed alternatives raised is discarded.
        assert exc.__cause__ is None and exc.__context__ is None
    assert repr(w) == "_TarnWriter(objects=1, keys=0)"


def test_extract_key_alternative_order(tmp_path):
    # str before sequence: a str subclass is its UTF-8 text even if it
    # iterates differently; bytes and bytearray are copies of their buffer.
    w = writer_with(3)
    w.add_key(WeirdStr("s"), 0)
    w.add_key(WeirdBytes(b"b"), 1)
    w.add_key(WeirdBytearray(b"a"), 2)
    assert staged_keys(tmp_path, w) == {b"s": 0, b"b": 1, b"a": 2}


def test_same_key_bytes_same_answer(reader):
    for key in ("k", b"k", bytearray(b"k"), [107], (107,), memoryview(b"k")):
        assert reader.exists(key) is True
        assert reader.get_raw(key) == b"abc"
    for key in ("z", b"z", bytearray(b"z"), [122]):
        assert reader.exists(key) is False
        assert reader.get_raw(key) is None


def test_prefix_none_is_value_error(reader):
    raises_exactly(ValueError, KEY_ERROR, reader.prefix_raw, None)
    raises_exactly(ValueError, KEY_ERROR, reader.prefix_raw, prefix=None)


# ---------------------------------------------------------------- path


class _Outer:
    class StrLike:
        def __fspath__(self):
            return "x"


class MyStr(str):
    pass


@pytest.mark.parametrize(
    "value, shown",
    [
        (pathlib.Path("/x"), "'PosixPath' object is not an instance of 'str'"),
        (b"/x", "'bytes' object is not an instance of 'str'"),
        (bytearray(b"/x"), "'bytearray' object is not an instance of 'str'"),
        (3, "'int' object is not an instance of 'str'"),
        (None, "'None' is not an instance of 'str'"),
        (_Outer.StrLike(), "'_Outer.StrLike' object is not an instance of 'str'"),
    ],
)
def test_path_type_mismatch(tmp_path, value, shown):
    raises_exactly(TypeError, f"argument 'path': {shown}", _TarnReader, value)
    raises_exactly(TypeError, f"argument 'path': {shown}", _TarnReader, value, True)
    w = writer_with(1)
    raises_exactly(TypeError, f"argument 'path': {shown}", w.build, value)
    raises_exactly(TypeError, f"argument 'path': {shown}", w.build, path=value)
    assert list(tmp_path.iterdir()) == []


def test_path_str_subclass_accepted(tmp_path, example_path):
    assert _TarnReader(MyStr(example_path)).keys() == ["a", "b", "k"]
    w = writer_with(1)
    w.build(MyStr(str(tmp_path / "sub.tndb")))
    assert (tmp_path / "sub.tndb").exists()


def test_path_lone_surrogate_is_unicode_encode_error(tmp_path):
    bad = str(tmp_path / "a\udcff.tndb")
    with pytest.raises(UnicodeEncodeError):
        _TarnReader(bad)
    with pytest.raises(UnicodeEncodeError):
        writer_with(1).build(bad)
    assert list(tmp_path.iterdir()) == []


def test_path_checked_before_verify():
    raises_exactly(TypeError, "argument 'path': 'int' object is not an instance of 'str'", _TarnReader, 1, 1)


# ---------------------------------------------------------------- verify


def corrupt_crc(path):
    data = bytearray(read_file(path))
    data[32:36] = bytes(4 * [0xEE])
    with open(path, "wb") as f:
        f.write(data)


class FakeNumpyBool:
    def __init__(self, v):
        self.v = v

    def __bool__(self):
        return self.v


FakeNumpyBool.__module__ = "numpy"
FakeNumpyBool.__name__ = "bool_"


@pytest.mark.parametrize(
    "value, checks",
    [(True, True), (False, False), (np.True_, True), (np.False_, False), (np.bool_(1), True),
     (FakeNumpyBool(True), True), (FakeNumpyBool(False), False)],
)
def test_verify_accepted(example_path, value, checks):
    assert _TarnReader(example_path, value).keys() == ["a", "b", "k"]
    corrupt_crc(example_path)
    if checks:
        with pytest.raises(RuntimeError, match="^TarnCorruptError: file CRC32 mismatch"):
            _TarnReader(example_path, value)
        with pytest.raises(RuntimeError, match="^TarnCorruptError: file CRC32 mismatch"):
            _TarnReader(example_path, verify=value)
    else:
        assert _TarnReader(example_path, value).keys() == ["a", "b", "k"]


def test_verify_default_is_true(example_path):
    corrupt_crc(example_path)
    with pytest.raises(RuntimeError, match="^TarnCorruptError: file CRC32 mismatch"):
        _TarnReader(example_path)


@pytest.mark.parametrize(
    "value, shown",
    [
        (1, "'int' object is not an instance of 'bool'"),
        (0, "'int' object is not an instance of 'bool'"),
        (None, "'None' is not an instance of 'bool'"),
        ("yes", "'str' object is not an instance of 'bool'"),
        (1.0, "'float' object is not an instance of 'bool'"),
        (np.int64(1), "'int64' object is not an instance of 'bool'"),
        (np.array(True), "'ndarray' object is not an instance of 'bool'"),
    ],
)
def test_verify_rejected_before_opening(value, shown):
    # The file does not exist: the argument is rejected before any file is touched.
    raises_exactly(TypeError, f"argument 'verify': {shown}", _TarnReader, "/nonexistent/dir/x.tndb", value)
    raises_exactly(TypeError, f"argument 'verify': {shown}", _TarnReader, "/nonexistent/dir/x.tndb", verify=value)


# -------------------------------------------------------------- raw_bytes


class MyBytes(bytes):
    pass


@pytest.mark.parametrize(
    "value, shown",
    [
        (bytearray(b"x"), "'bytearray' object is not an instance of 'bytes'"),
        (None, "'None' is not an instance of 'bytes'"),
        (memoryview(b"x"), "'memoryview' object is not an instance of 'bytes'"),
        ("x", "'str' object is not an instance of 'bytes'"),
        ([120], "'list' object is not an instance of 'bytes'"),
        (np.bytes_(b"x"), None),  # numpy.bytes_ subclasses bytes: accepted
    ],
)
def test_raw_bytes(tmp_path, value, shown):
    w = _TarnWriter()
    if shown is None:
        assert w.add_object_raw(value) == 0
        return
    raises_exactly(TypeError, f"argument 'raw_bytes': {shown}", w.add_object_raw, value)
    raises_exactly(TypeError, f"argument 'raw_bytes': {shown}", w.add_object_raw, raw_bytes=value)
    assert repr(w) == "_TarnWriter(objects=0, keys=0)"


def test_raw_bytes_subclass_copied(tmp_path):
    w = _TarnWriter()
    assert w.add_object_raw(MyBytes(b"sub")) == 0
    w.add_key("k", 0)
    w.build(str(tmp_path / "b.tndb"))
    assert parse_tndb(read_file(tmp_path / "b.tndb")).mapping() == {b"k": b"sub"}


# ---------------------------------------------------------------- obj_id


def test_obj_id_not_integer():
    w = writer_with(1)
    raises_exactly(TypeError, "argument 'obj_id': 'str' object cannot be interpreted as an integer",
                   w.add_key, "k", "0")
    raises_exactly(TypeError, "argument 'obj_id': 'float' object cannot be interpreted as an integer",
                   w.add_key, "k", 0.0)
    raises_exactly(TypeError, "argument 'obj_id': 'NoneType' object cannot be interpreted as an integer",
                   w.add_key, "k", None)
    assert repr(w) == "_TarnWriter(objects=1, keys=0)"


def test_obj_id_index_returning_non_int():
    class Bad:
        def __index__(self):
            return "0"

    w = writer_with(1)
    exc = raises_exactly(TypeError, "argument 'obj_id': __index__ returned non-int (type str)", w.add_key, "k", Bad())
    assert exc.__cause__ is None


def test_obj_id_type_error_rewrapped_with_cause():
    origin = KeyError("origin")

    class Raising:
        def __index__(self):
            raise TypeError("no index today") from origin

    w = writer_with(1)
    exc = raises_exactly(TypeError, "argument 'obj_id': no index today", w.add_key, "k", Raising())
    assert exc.__cause__ is origin
    assert repr(w) == "_TarnWriter(objects=1, keys=0)"


def test_obj_id_type_error_subclass_passes_unchanged():
    class MyTypeError(TypeError):
        pass

    raised = MyTypeError("own")

    class Raising:
        def __index__(self):
            raise raised

    exc = raises_exactly(MyTypeError, "own", writer_with(1).add_key, "k", Raising())
    assert exc is raised


@pytest.mark.parametrize("value", [-1, 2**64, -(2**70), 2**100])
def test_obj_id_overflow_unchanged(value):
    w = writer_with(1)
    with pytest.raises(OverflowError) as info:
        w.add_key("k", value)
    assert type(info.value) is OverflowError
    assert not str(info.value).startswith("argument")
    assert info.value.__cause__ is None
    assert repr(w) == "_TarnWriter(objects=1, keys=0)"


def test_obj_id_overflow_messages_are_the_interpreters():
    w = writer_with(1)
    with pytest.raises(OverflowError, match="^can't convert negative int to unsigned$"):
        w.add_key("k", -1)
    with pytest.raises(OverflowError, match="^int too big to convert$"):
        w.add_key("k", 2**64)
    with pytest.raises(OverflowError):
        w.add_key("k", IntLike(-1))


def test_obj_id_other_exceptions_pass_unchanged():
    for raised in (OverflowError("mine"), ValueError("mine"), ZeroDivisionError("mine")):

        class Raising:
            def __index__(self, raised=raised):
                raise raised

        with pytest.raises(type(raised)) as info:
            writer_with(1).add_key("k", Raising())
        assert info.value is raised


def test_obj_id_largest_value_reaches_range_check():
    w = writer_with(1)
    raises_exactly(ValueError, "TarnError: obj_id 18446744073709551615 out of range (have 1 objects)",
                   w.add_key, "k", 2**64 - 1)


def test_obj_id_true_is_one(tmp_path):
    w = writer_with(2)
    w.add_key("t", True)
    w.add_key("f", False)
    assert staged_keys(tmp_path, w) == {b"t": 1, b"f": 0}


def test_obj_id_index_objects_and_int_subclasses(tmp_path):
    class MyInt(int):
        def __index__(self):
            raise AssertionError("an int subclass is used directly")

    w = writer_with(3)
    w.add_key("i", IntLike(2))
    w.add_key("m", MyInt(1))
    w.add_key("n", np.uint64(2))
    w.add_key("o", np.int8(0))
    assert staged_keys(tmp_path, w) == {b"i": 2, b"m": 1, b"n": 2, b"o": 0}


def test_obj_id_error_before_key_error():
    w = writer_with(1)
    raises_exactly(TypeError, "argument 'obj_id': 'str' object cannot be interpreted as an integer",
                   w.add_key, None, "x")
    with pytest.raises(OverflowError):
        w.add_key(None, -1)
    with pytest.raises(OverflowError):
        w.add_key({}, 2**64)
    # A convertible but out-of-range obj_id: the key conversion comes first.
    raises_exactly(ValueError, KEY_ERROR, w.add_key, None, 5)
    raises_exactly(ValueError, KEY_ERROR, w.add_key, [256], 1)
    assert repr(w) == "_TarnWriter(objects=1, keys=0)"


def test_obj_id_converted_before_key_is_iterated():
    order = []

    class Key(SeqOnly):
        def __getitem__(self, i):
            if i == 0:
                order.append("key")
            return super().__getitem__(i)

    class Obj:
        def __index__(self):
            order.append("obj_id")
            return 0

    writer_with(1).add_key(Key([104]), Obj())
    assert order == ["obj_id", "key"]


# ------------------------------------------------------ borrow conflicts


class Reentrant:
    """An obj_id whose __index__ runs `action` (recording its outcome) and
    then yields `value`."""

    def __init__(self, action, value=0):
        self.action = action
        self.value = value
        self.outcome = None

    def __index__(self):
        try:
            self.outcome = ("ok", self.action())
        except BaseException as e:  # noqa: BLE001
            self.outcome = (type(e), str(e))
        return self.value


def test_reentrant_add_object_raw_already_borrowed(tmp_path):
    w = writer_with(1)
    obj = Reentrant(lambda: w.add_object_raw(b"inner"))
    w.add_key("k", obj)
    assert obj.outcome == (RuntimeError, "Already borrowed")
    assert repr(w) == "_TarnWriter(objects=1, keys=1)"
    # The borrow was released: the writer works again.
    assert w.add_object_raw(b"after") == 1


def test_reentrant_add_key_already_borrowed(tmp_path):
    w = writer_with(1)
    obj = Reentrant(lambda: w.add_key("inner", 0))
    w.add_key("outer", obj)
    assert obj.outcome == (RuntimeError, "Already borrowed")
    assert staged_keys(tmp_path, w) == {b"outer": 0}


def test_reentrant_build_already_mutably_borrowed(tmp_path):
    w = writer_with(1)
    target = tmp_path / "inner.tndb"
    obj = Reentrant(lambda: w.build(str(target)))
    w.add_key("k", obj)
    assert obj.outcome == (RuntimeError, "Already mutably borrowed")
    assert list(tmp_path.iterdir()) == []
    w.build(str(target))
    assert target.exists()


def test_reentrant_repr_already_mutably_borrowed():
    w = writer_with(1)
    obj = Reentrant(lambda: repr(w))
    w.add_key("k", obj)
    assert obj.outcome == (RuntimeError, "Already mutably borrowed")
    assert repr(w) == "_TarnWriter(objects=1, keys=1)"


def test_reentrant_through_sequence_key():
    w = writer_with(1)
    outcomes = []

    class Key(SeqOnly):
        def __getitem__(self, i):
            if i == 0:
                for call in (lambda: w.add_object_raw(b"x"), lambda: repr(w)):
                    try:
                        call()
                    except RuntimeError as e:
                        outcomes.append(str(e))
            return super().__getitem__(i)

    w.add_key(Key([104]), 0)
    assert outcomes == ["Already borrowed", "Already mutably borrowed"]


def test_reentrant_failure_still_releases_borrow():
    w = writer_with(1)

    class Boom:
        def __index__(self):
            raise ValueError("boom")

    with pytest.raises(ValueError):
        w.add_key("k", Boom())
    with pytest.raises(ValueError):
        w.add_key([256], 0)
    assert w.add_object_raw(b"") == 1
    assert repr(w) == "_TarnWriter(objects=2, keys=0)"


def test_nested_shared_borrows_do_not_conflict(tmp_path):
    # build and repr take shared borrows: nesting them is allowed. A reader
    # is only ever borrowed shared, so re-entering it always works.
    r = _TarnReader(str(build(tmp_path, [b"v"], [("hi", 0), ("k", 0)])))
    seen = []

    class Key(SeqOnly):
        def __getitem__(self, i):
            if i == 0:
                seen.append((r.keys(), r.get_raw("k"), repr(r).startswith("_TarnReader(")))
            return super().__getitem__(i)

    assert r.get_raw(Key([104, 105])) == b"v"
    assert seen == [(["hi", "k"], b"v", True)]
