"""Build and atomic write.

Byte-exact output, temporary paths, the summary line, build failures, and
the three improvements over the plain behaviour: (a) an exclusive flock on
the temporary file, re-checked against the path and held until after the
rename; (b) a directory sync after the rename; (c) content the format cannot
hold refused early (keys: see test_writer.py)."""

import contextlib
import errno
import fcntl
import os
import random
import re
import shutil
import struct
import subprocess
import time
import zlib

import pytest

from conftest import (WORKED_KEYS, WORKED_OBJECTS, build, check_tndb, expected_tndb, make_writer,
                      os_error_text, parse_tndb, read_file, run_python, spawn_python, summary_line)

from tarndb._tarndb import _TarnReader


def be(n, width):
    return n.to_bytes(width, "big")


def listing(d):
    return sorted(p.name for p in d.iterdir())


def build_error(w, path):
    with pytest.raises(OSError) as info:
        w.build(str(path))
    exc = info.value
    assert type(exc) is OSError
    assert exc.errno is None and exc.strerror is None and exc.filename is None
    assert len(exc.args) == 1
    return str(exc)


# --------------------------------------------------------- byte-exact output


def test_worked_example_byte_exact(tmp_path):
    path = build(tmp_path, WORKED_OBJECTS, WORKED_KEYS)
    data = read_file(path)
    assert len(data) == 92

    assert zlib.crc32(b"abc") == 0x352441C2
    rec0 = be(3, 4) + be(0x352441C2, 4) + b"abc"  # bytes 40-50
    rec1 = be(0, 4) + be(0, 4)  # bytes 51-58: empty payload, CRC of no bytes
    ent_a = be(1, 2) + b"a" + be(51, 8)  # 59-69
    ent_b = be(1, 2) + b"b" + be(40, 8)  # 70-80
    ent_k = be(1, 2) + b"k" + be(40, 8)  # 81-91
    body = rec0 + rec1 + ent_a + ent_b + ent_k
    header = (b"TNDB" + bytes([2]) + bytes(3) + be(3, 4) + be(2, 4) + be(59, 8) + be(40, 8)
              + be(zlib.crc32(body), 4) + bytes(4))
    assert len(header) == 40

    assert data[0:40] == header
    assert data[40:51] == rec0
    assert data[51:59] == rec1
    assert data[59:70] == ent_a
    assert data[70:81] == ent_b
    assert data[81:92] == ent_k
    assert data == header + body
    assert struct.unpack(">I", data[32:36])[0] == zlib.crc32(data[40:])
    # The model used elsewhere in the suite agrees.
    assert data == expected_tndb(WORKED_OBJECTS, WORKED_KEYS)


def test_empty_store_is_40_bytes(tmp_path):
    path = build(tmp_path)
    data = read_file(path)
    assert data == b"TNDB\x02" + bytes(3) + be(0, 4) + be(0, 4) + be(40, 8) + be(40, 8) + be(0, 4) + bytes(4)
    assert len(data) == 40
    r = _TarnReader(str(path))
    assert r.keys() == []


def test_unsigned_byte_order_with_prefixes(tmp_path):
    keys = [b"b", b"\xff", b"ab", b"z", b"a\x00", b"a", b"", b"\x7f", b"\x80", b"a\xff", b"aa"]
    objects = [bytes([i]) for i in range(len(keys))]
    path = build(tmp_path, objects, [(k, i) for i, k in enumerate(keys)])
    pf = check_tndb(read_file(path))
    order = [k for k, _ in pf.entries]
    assert order == [b"", b"a", b"a\x00", b"aa", b"ab", b"a\xff", b"b", b"z", b"\x7f", b"\x80", b"\xff"]
    # The two documented examples.
    assert order.index(b"a") < order.index(b"a\x00") < order.index(b"ab") < order.index(b"b")
    assert order.index(b"z") < order.index(b"\xff")
    assert read_file(path) == expected_tndb(objects, [(k, i) for i, k in enumerate(keys)])


def test_long_common_prefixes_sort_by_bytes(tmp_path):
    # Keys that agree in their first eight bytes or more, and multi-byte text.
    base = b"prefix__"
    keys = [base + s for s in (b"", b"\x00", b"\xff", b"a", b"ab", b"\x01\x02")] + [
        "caf\u00e9".encode(), "cafe".encode(), "caf\u00e9s".encode(), "\U0001f600".encode(), "\uffff".encode()]
    rnd = random.Random(5)
    shuffled = keys[:]
    rnd.shuffle(shuffled)
    path = build(tmp_path, [b"v"], [(k, 0) for k in shuffled])
    assert [k for k, _ in parse_tndb(read_file(path)).entries] == sorted(keys)


def test_identical_bytes_from_two_builds(tmp_path):
    rnd = random.Random(1)
    objects = [rnd.randbytes(rnd.randrange(0, 3000)) for _ in range(30)]
    pairs = [(f"k{rnd.random()}", rnd.randrange(30)) for _ in range(300)]
    w = make_writer(objects, pairs)
    w.build(str(tmp_path / "one.tndb"))
    w.build(str(tmp_path / "two.tndb"))
    # Another writer with the keys added in another order.
    rev = make_writer(objects, list(dict(pairs).items())[::-1])
    rev.build(str(tmp_path / "three.tndb"))
    one = read_file(tmp_path / "one.tndb")
    assert one == read_file(tmp_path / "two.tndb") == read_file(tmp_path / "three.tndb")
    assert one == expected_tndb(objects, pairs)


def test_objects_without_keys(tmp_path):
    path = build(tmp_path, [b"one", b"", b"three"])
    data = read_file(path)
    pf = check_tndb(data)
    assert pf.header.index_offset == len(data) == 40 + 11 + 8 + 13
    assert pf.header.num_keys == 0 and pf.header.num_objects == 3
    assert [p for *_, p in pf.records] == [b"one", b"", b"three"]


def test_shared_objects_and_duplicate_payloads(tmp_path):
    path = build(tmp_path, [b"dup", b"dup"], [("a", 0), ("b", 0), ("c", 1)])
    pf = check_tndb(read_file(path))
    assert [r[0] for r in pf.records] == [40, 51]
    assert pf.entries == [(b"a", 40), (b"b", 40), (b"c", 51)]


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_larger_content_matches_model(tmp_path, seed):
    # Payloads around and above the 8192-byte output buffer, an index
    # section of over a megabyte, zero-length keys and payloads.
    rnd = random.Random(seed)
    sizes = [0, 1, 8191, 8192, 8193, 40000, 100000] + [rnd.randrange(0, 20000) for _ in range(40)]
    objects = [rnd.randbytes(n) for n in sizes]
    pairs = [(rnd.randbytes(rnd.randrange(0, 40)), rnd.randrange(len(objects))) for _ in range(40000)]
    pairs += [("", 0), ("text\u00e9", 1)]
    path = build(tmp_path, objects, pairs)
    data = read_file(path)
    assert data == expected_tndb(objects, pairs)
    check_tndb(data)


def test_build_changes_nothing_in_the_writer(tmp_path):
    w = make_writer([b"a"], [("a", 0)])
    w.build(str(tmp_path / "x.tndb"))
    w.build(str(tmp_path / "x.tndb"))
    assert repr(w) == "_TarnWriter(objects=1, keys=1)"
    assert read_file(tmp_path / "x.tndb") == expected_tndb([b"a"], [("a", 0)])


def test_existing_target_replaced_old_reader_keeps_old_content(tmp_path):
    path = build(tmp_path, [b"old"], [("k", 0)])
    old_reader = _TarnReader(str(path))
    build(tmp_path, [b"new", b"more"], [("k", 0), ("m", 1)])
    assert read_file(path) == expected_tndb([b"new", b"more"], [("k", 0), ("m", 1)])
    assert old_reader.get_raw("k") == b"old"
    assert old_reader.keys() == ["k"]
    assert _TarnReader(str(path)).get_raw("k") == b"new"
    assert listing(tmp_path) == ["out.tndb"]


def test_new_file_permissions_follow_umask_not_old_file(tmp_path):
    out = run_python(
        """
        import os, stat, sys
        from tarndb._tarndb import _TarnWriter
        d = sys.argv[1]
        results = []
        for mask in (0o022, 0o002, 0o077, 0o000):
            os.umask(mask)
            target = os.path.join(d, "perm%o.tndb" % mask)
            with open(target, "wb") as f:
                f.write(b"old")
            os.chmod(target, 0o400)
            _TarnWriter().build(target)
            results.append("%o" % stat.S_IMODE(os.stat(target).st_mode))
        print(" ".join(results), file=sys.stderr)
        """,
        tmp_path,
    )
    assert out.stderr.decode().split() == ["644", "664", "600", "666"]


def test_build_into_normal_directories(tmp_path):
    # The directory sync after the rename must not get in the way anywhere.
    nested = tmp_path / "a" / "b"
    nested.mkdir(parents=True)
    for target in (nested / "x.tndb", tmp_path / "top.tndb"):
        make_writer([b"v"], [("k", 0)]).build(str(target))
        assert read_file(target) == expected_tndb([b"v"], [("k", 0)])
    run_python(
        """
        from tarndb._tarndb import _TarnWriter
        for p in ("bare.tndb", "./dot.tndb", "a//b//slashes.tndb", "a/../up.tndb"):
            _TarnWriter().build(p)
        """,
        cwd=tmp_path,
    )
    for p in ("bare.tndb", "dot.tndb", "a/b/slashes.tndb", "up.tndb"):
        assert read_file(tmp_path / p) == expected_tndb([])
    assert not list(tmp_path.rglob("*.tmp"))


# ---------------------------------------------------------- temporary path

TEMP_PATH_TABLE = [
    ("out.tndb", "out.tndb.tmp"),
    ("out", "out.tndb.tmp"),
    ("out.bin", "out.tndb.tmp"),
    ("a.b.c", "a.b.tndb.tmp"),
    (".hidden", ".hidden.tndb.tmp"),
    ("name.", "name.tndb.tmp"),
]


@pytest.mark.parametrize("target, tmp", TEMP_PATH_TABLE)
def test_temp_path_left_behind_when_rename_fails(tmp_path, target, tmp):
    # A directory at the target makes the rename fail; the complete temporary
    # file stays behind under its name, and the target is untouched.
    (tmp_path / target).mkdir()
    (tmp_path / target / "inside").write_bytes(b"keep")
    w = make_writer(WORKED_OBJECTS, WORKED_KEYS)
    msg = build_error(w, tmp_path / target)
    assert msg == f"TarnIOError: rename: {os_error_text(errno.EISDIR)}"
    assert listing(tmp_path) == sorted([target, tmp])
    assert read_file(tmp_path / tmp) == expected_tndb(WORKED_OBJECTS, WORKED_KEYS)
    assert listing(tmp_path / target) == ["inside"]
    assert (tmp_path / target / "inside").read_bytes() == b"keep"


def test_temp_path_with_trailing_separator(tmp_path):
    d = tmp_path / "dir"
    d.mkdir()
    msg = build_error(make_writer([b"v"]), f"{d}/x.tndb/")
    assert msg.startswith("TarnIOError: rename: ")
    assert listing(d) == ["x.tndb.tmp"]
    assert read_file(d / "x.tndb.tmp") == expected_tndb([b"v"])


@pytest.mark.parametrize("target, tmp", TEMP_PATH_TABLE)
def test_temp_path_relative_in_cwd(tmp_path, target, tmp):
    (tmp_path / target).mkdir()
    out = run_python(
        """
        import sys
        from tarndb._tarndb import _TarnWriter
        try:
            _TarnWriter().build(sys.argv[1])
        except OSError as e:
            print(e, file=sys.stderr)
        """,
        target,
        cwd=tmp_path,
    )
    assert out.stderr.decode().startswith("TarnIOError: rename: ")
    assert listing(tmp_path) == sorted([target, tmp])


def test_temp_path_other_names_untouched(tmp_path):
    # a.bin's temporary file is a.tndb.tmp (consumed); a.bin.tmp is not it.
    (tmp_path / "a.bin.tmp").write_bytes(b"not mine")
    (tmp_path / "a.tndb.tmp").write_bytes(b"leftover" * 1000)
    build(tmp_path, [b"v"], name="a.bin")
    assert listing(tmp_path) == ["a.bin", "a.bin.tmp"]
    assert (tmp_path / "a.bin.tmp").read_bytes() == b"not mine"
    assert read_file(tmp_path / "a.bin") == expected_tndb([b"v"])


# ------------------------------------------------------------ build failures


def test_missing_directory_creates_nothing(tmp_path):
    w = make_writer([b"v"], [("k", 0)])
    msg = build_error(w, tmp_path / "missing" / "out.tndb")
    assert msg == f"TarnIOError: open tmp: {os_error_text(errno.ENOENT)}"
    assert msg == "TarnIOError: open tmp: No such file or directory (os error 2)"
    assert listing(tmp_path) == []
    assert repr(w) == "_TarnWriter(objects=1, keys=1)"


BUILD_REPORTING_ERROR = """
import sys
from tarndb._tarndb import _TarnWriter
try:
    _TarnWriter().build(sys.argv[1])
except OSError as e:
    print(type(e).__name__, e.errno, e, sep="|", file=sys.stderr)
"""


@pytest.mark.parametrize(
    "path, err",
    [("", errno.ENOENT), ("/", errno.EISDIR), ("..", errno.EISDIR), ("sub/..", errno.EISDIR),
     (".", errno.EISDIR), ("./", errno.EISDIR)],
    ids=["empty", "root", "dotdot", "sub_dotdot", "dot", "dot_slash"],
)
def test_paths_without_file_name_fail_at_open(tmp_path, path, err):
    # No last component: the temporary path is the path itself, and opening it fails.
    (tmp_path / "sub").mkdir()
    out = run_python(BUILD_REPORTING_ERROR, path, cwd=tmp_path)
    assert out.stderr.decode() == f"OSError|None|TarnIOError: open tmp: {os_error_text(err)}\n"
    assert listing(tmp_path) == ["sub"]
    assert listing(tmp_path / "sub") == []


def test_trailing_dot_component_does_not_count(tmp_path):
    # "sub/." names the component "sub": its temporary file is sub.tndb.tmp,
    # and the rename onto the directory fails.
    (tmp_path / "sub").mkdir()
    out = run_python(BUILD_REPORTING_ERROR, "sub/.", cwd=tmp_path)
    assert out.stderr.decode().startswith("OSError|None|TarnIOError: rename: ")
    assert listing(tmp_path) == ["sub", "sub.tndb.tmp"]
    assert listing(tmp_path / "sub") == []


@pytest.mark.parametrize("name", ["a\x00b.tndb", "\x00", "out.tndb\x00", "out.tn\x00db", "d\x00ir/out.tndb"],
                         ids=["in_stem", "alone", "at_end", "in_extension", "in_directory"])
def test_nul_in_path(tmp_path, name):
    w = make_writer([b"v"], [("k", 0)])
    msg = build_error(w, f"{tmp_path}/{name}")
    assert msg == "TarnIOError: open tmp: file name contained an unexpected NUL byte"
    assert listing(tmp_path) == []


def test_leftover_temp_file_truncated_and_reused(tmp_path):
    (tmp_path / "out.tndb.tmp").write_bytes(os.urandom(200_000))
    path = build(tmp_path, WORKED_OBJECTS, WORKED_KEYS)
    assert read_file(path) == expected_tndb(WORKED_OBJECTS, WORKED_KEYS)
    assert listing(tmp_path) == ["out.tndb"]


def test_leftover_of_failed_build_is_reused(tmp_path):
    target = tmp_path / "out.tndb"
    target.mkdir()
    big = make_writer([os.urandom(50_000)], [("k", 0)])
    assert build_error(big, target).startswith("TarnIOError: rename: ")
    assert (tmp_path / "out.tndb.tmp").stat().st_size > 50_000
    target.rmdir()
    small = make_writer(WORKED_OBJECTS, WORKED_KEYS)
    small.build(str(target))
    assert read_file(target) == expected_tndb(WORKED_OBJECTS, WORKED_KEYS)
    assert listing(tmp_path) == ["out.tndb"]


def test_target_directory_untouched_by_failed_rename(tmp_path):
    target = tmp_path / "store.tndb"
    target.mkdir()
    (target / "file").write_bytes(b"content")
    msg = build_error(make_writer([b"v"]), target)
    assert msg == f"TarnIOError: rename: {os_error_text(errno.EISDIR)}"
    assert target.is_dir() and listing(target) == ["file"]
    assert (target / "file").read_bytes() == b"content"


def test_existing_target_untouched_when_temp_cannot_be_opened(tmp_path):
    path = build(tmp_path, [b"old"], [("k", 0)])
    before = read_file(path)
    (tmp_path / "out.tndb.tmp").mkdir()
    msg = build_error(make_writer([b"new"], [("k", 0)]), path)
    assert msg == f"TarnIOError: open tmp: {os_error_text(errno.EISDIR)}"
    assert read_file(path) == before


def test_write_failure_reports_system_error_alone(tmp_path):
    # A file-size limit makes the writes fail with EFBIG part-way through.
    path = build(tmp_path, [b"old"], [("k", 0)])
    before = read_file(path)
    out = run_python(
        """
        import os, resource, signal, sys
        from conftest import make_writer
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (5000, 5000))
        w = make_writer([os.urandom(30000), os.urandom(100)], [("k", 0)])
        try:
            w.build(sys.argv[1])
        except OSError as e:
            print(type(e).__name__, e.errno, e, sep="|", file=sys.stderr)
        print(repr(w), file=sys.stderr)
        """,
        path,
    )
    assert out.stderr.decode() == (f"OSError|None|TarnIOError: {os_error_text(errno.EFBIG)}\n"
                                   "_TarnWriter(objects=2, keys=1)\n")
    assert out.stdout == b""  # no summary line
    assert read_file(path) == before
    # The temporary file holds what was written and is reused next time.
    assert (tmp_path / "out.tndb.tmp").stat().st_size <= 5000
    build(tmp_path, [b"new"], [("k", 0)])
    assert read_file(path) == expected_tndb([b"new"], [("k", 0)])
    assert listing(tmp_path) == ["out.tndb"]


def test_failed_build_leaves_writer_usable(tmp_path):
    w = make_writer([b"v"], [("k", 0)])
    build_error(w, tmp_path / "missing" / "x.tndb")
    assert repr(w) == "_TarnWriter(objects=1, keys=1)"
    w.build(str(tmp_path / "x.tndb"))
    assert read_file(tmp_path / "x.tndb") == expected_tndb([b"v"], [("k", 0)])


# ------------------------------------------------------------- summary line

SUMMARY_SNIPPET = """
import sys
from conftest import make_writer
# argv: (payload length, path) pairs; each build holds one object, no keys.
args = sys.argv[1:]
for n, path in zip(args[::2], args[1::2]):
    make_writer([b"x" * int(n)]).build(path)
"""


def test_summary_line_kib_rounding(tmp_path):
    # File size = 40 + 8 + payload length.
    sizes = {256: "0.2", 768: "0.8", 1536: "1.5", 1024: "1.0", 2304: "2.2", 2816: "2.8", 52: "0.1", 92: "0.1",
             100: "0.1", 1075: "1.0", 1076: "1.1", 10 * 1024 * 1024: "10240.0"}
    args = []
    for size in sizes:
        args += [str(size - 48), f"f{size}.tndb"]
    out = run_python(SUMMARY_SNIPPET, *args, cwd=tmp_path)
    expected = "".join(summary_line(f"f{size}.tndb", 1, 0, kib) for size, kib in sizes.items())
    assert out.stdout.decode("utf-8") == expected
    for size in sizes:
        assert (tmp_path / f"f{size}.tndb").stat().st_size == size
    assert out.stderr == b""


def test_summary_line_of_empty_store_and_worked_example(tmp_path):
    out = run_python(
        """
        from conftest import make_writer, WORKED_OBJECTS, WORKED_KEYS
        make_writer().build("empty.tndb")
        make_writer(WORKED_OBJECTS, WORKED_KEYS).build("worked.tndb")
        """,
        cwd=tmp_path,
    )
    assert out.stdout == (
        "\u2705  empty.tndb  \u2014  0 objects \u00b7 0 keys \u00b7 0.0 KB\n"
        "\u2705  worked.tndb  \u2014  2 objects \u00b7 3 keys \u00b7 0.1 KB\n"
    ).encode("utf-8")


def test_summary_line_path_unchanged_and_counts(tmp_path):
    (tmp_path / "sub").mkdir()
    name = "./sub//donn\u00e9es \u2603.tndb"
    out = run_python(
        """
        import sys
        from tarndb._tarndb import _TarnWriter
        w = _TarnWriter()
        for i in range(1234):
            w.add_object_raw(b"")
        for i in range(5678):
            w.add_key(str(i), i % 1234)
        w.build(sys.argv[1])
        """,
        name,
        cwd=tmp_path,
    )
    size = (tmp_path / "sub" / "donn\u00e9es \u2603.tndb").stat().st_size
    kib = f"{size / 1024:.1f}"
    assert out.stdout.decode("utf-8") == summary_line(name, 1234, 5678, kib)


def test_summary_line_bypasses_sys_stdout_and_is_flushed(tmp_path):
    out = run_python(
        """
        import io, os, sys
        from tarndb._tarndb import _TarnWriter
        sys.stdout.write("unflushed python text ")  # stays in Python's buffer
        _TarnWriter().build("a.tndb")
        os.write(2, b"between\\n")
        captured = io.StringIO()
        sys.stdout = captured
        _TarnWriter().build("b.tndb")
        os.write(2, repr(captured.getvalue()).encode())
        os._exit(0)  # Python's buffer is never flushed
        """,
        cwd=tmp_path,
        env={"PYTHONUNBUFFERED": None},
    )
    assert out.stdout.decode() == summary_line("a.tndb", 0, 0, "0.0") + summary_line("b.tndb", 0, 0, "0.0")
    assert out.stderr == b"between\n''"


def test_summary_line_order_with_python_output(tmp_path):
    out = run_python(
        """
        from tarndb._tarndb import _TarnWriter
        print("before", flush=True)
        _TarnWriter().build("a.tndb")
        print("after", flush=True)
        """,
        cwd=tmp_path,
    )
    assert out.stdout.decode() == "before\n" + summary_line("a.tndb", 0, 0, "0.0") + "after\n"


def test_summary_line_dropped_when_stdout_closed(tmp_path):
    out = run_python(
        """
        import os, sys
        from tarndb._tarndb import _TarnWriter
        os.close(1)
        result = _TarnWriter().build("a.tndb")
        os.write(2, repr(result).encode())
        """,
        cwd=tmp_path,
    )
    assert out.stderr == b"None"
    assert read_file(tmp_path / "a.tndb") == expected_tndb([])


def test_summary_line_write_failure_is_panic(tmp_path):
    # A standard output whose reader has gone: EPIPE (Python ignores SIGPIPE).
    r, w = os.pipe()
    child = spawn_python(
        """
        import os, sys
        from tarndb._tarndb import _TarnWriter
        sys.stdin.readline()
        try:
            _TarnWriter().build("a.tndb")
        except BaseException as e:
            os.write(2, ("RESULT|%s|%s|%s|%s" % (type(e).__name__, type(e).__bases__, isinstance(e, Exception),
                                                 e)).encode())
        """,
        cwd=tmp_path,
        stdin=subprocess.PIPE,
        stdout=w,
    )
    os.close(w)
    os.close(r)
    _, err = child.communicate(b"go\n", timeout=60)
    assert child.returncode == 0, err
    result = err.decode().split("RESULT|", 1)[1]
    assert result == ("PanicException|(<class 'BaseException'>,)|False|"
                      f"failed printing to stdout: {os_error_text(errno.EPIPE)}")
    # The file is already in place.
    assert read_file(tmp_path / "a.tndb") == expected_tndb([])


def test_summary_line_write_failure_full_device(tmp_path):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    with open("/dev/full", "wb") as full:
        child = spawn_python(
            """
            import os
            from tarndb._tarndb import _TarnWriter
            try:
                _TarnWriter().build("a.tndb")
            except BaseException as e:
                os.write(2, ("RESULT|%s|%s" % (type(e).__name__, e)).encode())
            """,
            cwd=tmp_path,
            stdout=full,
        )
        _, err = child.communicate(timeout=60)
    assert child.returncode == 0, err
    assert err.decode().split("RESULT|", 1)[1] == (
        f"PanicException|failed printing to stdout: {os_error_text(errno.ENOSPC)}")
    assert read_file(tmp_path / "a.tndb") == expected_tndb([])


# ------------------------------------------- (a) locking of the temporary file

LOCK_CHILD = """
import sys
from conftest import make_writer, WORKED_OBJECTS, WORKED_KEYS
w = make_writer(WORKED_OBJECTS, WORKED_KEYS)
print("ready", flush=True)
w.build(sys.argv[1])
"""


def start_blocked_build(target):
    child = spawn_python(LOCK_CHILD, target)
    assert child.stdout.readline() == b"ready\n"
    time.sleep(0.5)
    return child


@contextlib.contextmanager
def leftover_locked(tmp_path):
    """A leftover out.tndb.tmp holding b"junk", locked as another build would
    hold it, and a build of out.tndb started and waiting for that lock."""
    with open(tmp_path / "out.tndb.tmp", "wb") as held:
        held.write(b"junk")
        held.flush()
        fcntl.flock(held, fcntl.LOCK_EX)
        yield held, start_blocked_build(tmp_path / "out.tndb")


def finish(child):
    out, err = child.communicate(timeout=60)
    assert child.returncode == 0, err.decode()
    return out


def test_build_waits_for_lock_on_temp_file(tmp_path):
    target = tmp_path / "out.tndb"
    with leftover_locked(tmp_path) as (held, child):
        try:
            assert child.poll() is None, "the build did not wait for the lock"
            assert not target.exists()
            assert (tmp_path / "out.tndb.tmp").read_bytes() == b"junk"
        finally:
            fcntl.flock(held, fcntl.LOCK_UN)
        out = finish(child)
    assert out.decode().endswith(summary_line(str(target), 2, 3, "0.1"))
    assert read_file(target) == expected_tndb(WORKED_OBJECTS, WORKED_KEYS)
    assert listing(tmp_path) == ["out.tndb"]


def test_build_rechecks_temp_path_after_locking_moved(tmp_path):
    # While the build waits, the locked file is renamed away: the build must
    # not write into it, but open the temporary path afresh.
    target = tmp_path / "out.tndb"
    tmp = tmp_path / "out.tndb.tmp"
    with leftover_locked(tmp_path) as (held, child):
        os.rename(tmp, tmp_path / "moved")
        fcntl.flock(held, fcntl.LOCK_UN)
        finish(child)
    assert (tmp_path / "moved").read_bytes() == b"junk"
    assert read_file(target) == expected_tndb(WORKED_OBJECTS, WORKED_KEYS)
    assert listing(tmp_path) == ["moved", "out.tndb"]


def test_build_rechecks_temp_path_after_locking_renamed_into_place(tmp_path):
    # The scenario the re-check exists for: another build renamed the file we
    # opened into place as the finished target while we waited. Writing into
    # it would corrupt that target; the build must start over.
    target = tmp_path / "out.tndb"
    tmp = tmp_path / "out.tndb.tmp"
    with leftover_locked(tmp_path) as (held, child):
        with open(tmp, "rb") as observer:
            os.rename(tmp, target)
            fcntl.flock(held, fcntl.LOCK_UN)
            finish(child)
            observer.seek(0)
            assert observer.read() == b"junk", "the build wrote into a file no longer at the temporary path"
    assert read_file(target) == expected_tndb(WORKED_OBJECTS, WORKED_KEYS)
    assert listing(tmp_path) == ["out.tndb"]


def test_build_rechecks_temp_path_after_locking_replaced(tmp_path):
    target = tmp_path / "out.tndb"
    tmp = tmp_path / "out.tndb.tmp"
    with leftover_locked(tmp_path) as (held, child):
        with open(tmp, "rb") as observer:
            os.unlink(tmp)
            (tmp_path / "out.tndb.tmp").write_bytes(b"replacement leftover" * 100)
            fcntl.flock(held, fcntl.LOCK_UN)
            finish(child)
            observer.seek(0)
            assert observer.read() == b"junk"
    assert read_file(target) == expected_tndb(WORKED_OBJECTS, WORKED_KEYS)
    assert listing(tmp_path) == ["out.tndb"]


CONCURRENT_CHILD = """
import random, sys
from conftest import check_tndb, expected_tndb, make_writer, read_file
from tarndb._tarndb import _TarnReader

proc, builds = int(sys.argv[1]), int(sys.argv[2])
targets = sys.argv[3:]

def content(p, i):
    rnd = random.Random(p * 100003 + i)
    objects = [b"%d:%d" % (p, i)] + [rnd.randbytes(rnd.randrange(1000, 40000)) for _ in range(12)]
    keys = [("id", 0)] + [("k%d.%d.%d" % (p, i, j), rnd.randrange(len(objects))) for j in range(150)]
    return objects, keys

for i in range(builds):
    target = targets[i % len(targets)]
    make_writer(*content(proc, i)).build(target)
    # Whatever is at the target now (this build's or another's) is complete.
    r = _TarnReader(target, True)
    assert r.verify() is True
    data = read_file(target)
    pf = check_tndb(data)  # includes the whole-file CRC-32 recomputed with zlib
    p, n = map(int, pf.payload_at(dict(pf.entries)[b"id"]).split(b":"))
    assert data == expected_tndb(*content(p, n)), (p, n)
print("done", proc, flush=True)
"""


def run_concurrent_builds(tmp_path, targets_per_proc, builds=30):
    procs = [spawn_python(CONCURRENT_CHILD, p, builds, *targets) for p, targets in enumerate(targets_per_proc)]
    outputs = []
    for p, child in enumerate(procs):
        out, err = child.communicate(timeout=300)
        assert child.returncode == 0, f"builder {p} failed:\n{err.decode()}"
        outputs.append(out.decode())
    for p, out in enumerate(outputs):
        lines = out.splitlines()
        assert lines[-1] == f"done {p}"
        assert len(lines) == builds + 1
        assert all(line.startswith("\u2705  ") and line.endswith(" KB") for line in lines[:-1])
    return outputs


def test_concurrent_builds_same_target(tmp_path):
    target = str(tmp_path / "a.tndb")
    run_concurrent_builds(tmp_path, [[target]] * 3)
    check_tndb(read_file(target))
    assert listing(tmp_path) == ["a.tndb"]


def test_concurrent_builds_sharing_temp_path(tmp_path):
    # a.tndb and a.bin share the temporary path a.tndb.tmp.
    a, b = str(tmp_path / "a.tndb"), str(tmp_path / "a.bin")
    run_concurrent_builds(tmp_path, [[a], [b], [a, b]])
    for target in (a, b):
        check_tndb(read_file(target))
        _TarnReader(target, True)
    assert listing(tmp_path) == ["a.bin", "a.tndb"]


# ------------------------------------------------- syscall order via strace


def strace_build(tmp_path):
    strace = shutil.which("strace")
    if strace is None:
        pytest.skip("strace is not installed")
    log = tmp_path / "trace.log"
    target = tmp_path / "out.tndb"
    proc = run_python(
        """
        import sys
        from conftest import make_writer, WORKED_OBJECTS, WORKED_KEYS
        make_writer(WORKED_OBJECTS, WORKED_KEYS).build(sys.argv[1])
        """,
        target,
        prefix=[strace, "-f", "-qq", "-s", "256", "-o", str(log),
                # "?" ignores a call this architecture does not have.
                "-e", "trace=?open,openat,flock,fsync,fdatasync,ftruncate,?rename,renameat,?renameat2,close,"
                      "write,?pwrite64,?fcntl,fchmod"],
        check=False,
    )
    err = proc.stderr.decode(errors="replace")
    if proc.returncode != 0 and (not log.exists() or log.stat().st_size == 0 or "ptrace" in err.lower()):
        pytest.skip(f"strace cannot trace here: {err[:300]}")
    assert proc.returncode == 0, err
    calls = []
    for line in log.read_text(errors="replace").splitlines():
        m = re.match(r"^(?:\d+\s+)?(\w+)\((.*)\)\s+=\s+(-?\w+)", line)
        if m:
            calls.append((m.group(1), m.group(2), m.group(3)))
    return calls, target, log


def test_syscall_order_lock_held_until_after_rename_and_dir_synced(tmp_path):
    calls, target, log = strace_build(tmp_path)
    tmp = f"{target}.tmp"
    directory = str(tmp_path)

    def find(pred, start=0):
        for i in range(start, len(calls)):
            if pred(*calls[i]):
                return i
        raise AssertionError(f"syscall not found after #{start} in {log}:\n" + log.read_text()[-4000:])

    i_open = find(lambda n, a, r: n in ("open", "openat") and f'"{tmp}"' in a)
    fd = calls[i_open][2]
    # Created private, without following a link or blocking on a FIFO.
    assert all(flag in calls[i_open][1] for flag in ("O_CREAT", "O_CLOEXEC", "O_NOFOLLOW", "O_NONBLOCK", "0600"))
    i_lock = find(lambda n, a, r: n == "flock" and a.startswith(f"{fd},") and "LOCK_EX" in a, i_open)
    i_rename = find(lambda n, a, r: n.startswith("rename") and f'"{tmp}"' in a and f'"{target}"' in a and r == "0")
    i_close = find(lambda n, a, r: n == "close" and a == fd, i_open)
    syncs = [i for i, (n, a, r) in enumerate(calls) if n in ("fsync", "fdatasync") and a == fd and i < i_close]
    writes = [i for i, (n, a, r) in enumerate(calls)
              if n in ("write", "pwrite64") and a.startswith(f"{fd},") and i_open < i < i_close]
    assert i_open < i_lock < min(writes), "lock taken before the first write"
    assert len(syncs) == 1 and max(writes) < syncs[0] < i_rename, "one sync of the file, before the rename"
    # The final mode is set only once the file is complete.
    i_chmod = find(lambda n, a, r: n == "fchmod" and a.startswith(f"{fd},"), i_open)
    mask = os.umask(0o022)
    os.umask(mask)
    assert max(writes) < i_chmod < i_rename and calls[i_chmod][1] == f"{fd}, 0{0o666 & ~mask:o}"
    assert i_rename < i_close, "the lock (the descriptor) is held until after the rename"
    # (b) the directory is opened and synced after the rename.
    i_dir = find(lambda n, a, r: n in ("open", "openat") and f'"{directory}"' in a and "O_DIRECTORY" in a, i_rename)
    dfd = calls[i_dir][2]
    i_dsync = find(lambda n, a, r: n in ("fsync", "fdatasync") and a == dfd, i_dir)
    assert calls[i_dsync][2] == "0"
    find(lambda n, a, r: n == "close" and a == dfd, i_dsync)
    # The summary line comes last.
    i_line = find(lambda n, a, r: n == "write" and a.startswith("1,"), i_rename)
    assert i_line > i_dsync


def test_sort_order_around_the_sixteen_byte_prefix(tmp_path):
    # Keys that agree on their first 16 bytes once zero-padded: the order must
    # still be that of the bytes (a proper prefix first, then unsigned bytes).
    from tarndb._tarndb import _TarnReader, _TarnWriter

    base = b"p" * 15
    keys = [base, base + b"\x00", base + b"\x00\x00", base + b"\x00\x01", base + b"q",
            base + b"\x00" * 3, base + b"\x00\x00\xff", base + b"\xff" + b"a" * 5, b"p" * 14]
    w = _TarnWriter()
    oid = w.add_object_raw(b"v")
    for k in keys:
        w.add_key(k, oid)
    path = tmp_path / "sixteen.tndb"
    w.build(str(path))
    got = [k for k, _ in _TarnReader(str(path)).items_raw()]
    assert got == [k.decode("utf-8", "replace") for k in sorted(keys)]
