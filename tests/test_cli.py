"""The tarndb command-line tool, run as a separate process."""

from __future__ import annotations

import json
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig

import pytest

import tarndb


def run(
    *args: str | os.PathLike[str], stdin: str | None = None, cwd: pathlib.Path | None = None
) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "tarndb", *(os.fspath(a) for a in args)],
        input=stdin if stdin is not None else "",
        capture_output=True,
        text=True,
        encoding="utf-8",
        cwd=cwd,
        timeout=120,
    )


def error_line(proc: subprocess.CompletedProcess[str]) -> str:
    """The one line a failing command writes to standard error."""
    lines = proc.stderr.splitlines()
    assert len(lines) == 1, proc.stderr
    assert lines[0].startswith("tarndb: "), proc.stderr
    return lines[0]


@pytest.fixture
def fruit_jsonl(tmp_path: pathlib.Path) -> pathlib.Path:
    path = tmp_path / "fruit.jsonl"
    rows = [
        {"id": "apple", "latin": "malus", "colour": "red", "n": 3},
        {"id": "banana", "latin": "musa", "colour": "yellow", "n": 1},
        {"id": "cherry", "latin": "prunus", "colour": "dark red", "n": 12},
    ]
    path.write_text("".join(json.dumps(r) + "\n" for r in rows), encoding="utf-8")
    return path


@pytest.fixture
def fruit_store(tmp_path: pathlib.Path, fruit_jsonl: pathlib.Path) -> pathlib.Path:
    out = tmp_path / "fruit.tndb"
    proc = run("build", out, fruit_jsonl, "--key", "id", "--key", "latin")
    assert proc.returncode == 0, proc.stderr
    return out


# ---------------------------------------------------------------- good input


def test_build_from_json_lines_with_two_key_fields(tmp_path: pathlib.Path, fruit_jsonl: pathlib.Path) -> None:
    out = tmp_path / "fruit.tndb"
    proc = run("build", out, fruit_jsonl, "--key", "id", "--key", "latin")
    assert proc.returncode == 0
    assert proc.stdout == f"✅  {out}  —  3 objects · 6 keys · {out.stat().st_size} bytes\n"
    assert proc.stderr == ""  # no progress bar when standard error is not a terminal
    with tarndb.TarnReader(out) as r:
        assert r["apple"] == r["malus"] == {"id": "apple", "latin": "malus", "colour": "red", "n": 3}
        assert r.stats["num_objects"] == 3


def test_get_prints_the_object_as_json(fruit_store: pathlib.Path) -> None:
    proc = run("get", fruit_store, "musa")
    assert proc.returncode == 0
    assert json.loads(proc.stdout) == {"id": "banana", "latin": "musa", "colour": "yellow", "n": 1}
    compact = run("get", fruit_store, "musa", "--compact")
    assert compact.stdout.count("\n") == 1
    assert json.loads(compact.stdout) == json.loads(proc.stdout)


def test_keys_in_sorted_order_and_by_prefix(fruit_store: pathlib.Path) -> None:
    proc = run("keys", fruit_store)
    assert proc.returncode == 0
    assert proc.stdout.splitlines() == ["apple", "banana", "cherry", "malus", "musa", "prunus"]
    assert run("keys", fruit_store, "--prefix", "m").stdout.splitlines() == ["malus", "musa"]
    assert run("keys", fruit_store, "--prefix", "zz").stdout == ""


def test_dump_writes_one_json_line_per_key(fruit_store: pathlib.Path) -> None:
    proc = run("dump", fruit_store)
    assert proc.returncode == 0
    lines = [json.loads(line) for line in proc.stdout.splitlines()]
    assert [line["key"] for line in lines] == ["apple", "banana", "cherry", "malus", "musa", "prunus"]
    assert lines[0] == {"key": "apple", "value": {"id": "apple", "latin": "malus", "colour": "red", "n": 3}}
    assert lines[3]["value"] == lines[0]["value"]


def test_dump_and_build_round_trip(tmp_path: pathlib.Path, fruit_store: pathlib.Path) -> None:
    dumped = tmp_path / "dump.jsonl"
    dumped.write_text(run("dump", fruit_store).stdout, encoding="utf-8")
    again = tmp_path / "again.tndb"
    assert run("build", again, dumped, "--key", "key").returncode == 0
    with tarndb.TarnReader(again) as r, tarndb.TarnReader(fruit_store) as original:
        assert {k: v["value"] for k, v in r.items()} == dict(original)


def test_info_and_verify(fruit_store: pathlib.Path) -> None:
    proc = run("info", fruit_store)
    assert proc.returncode == 0
    assert "keys            6" in proc.stdout
    assert "objects         3" in proc.stdout
    stats = json.loads(run("info", fruit_store, "--json").stdout)
    assert stats["num_keys"] == 6 and stats["version"] == 2
    proc = run("verify", fruit_store)
    assert proc.returncode == 0
    assert proc.stdout.startswith(f"{fruit_store}: ok (6 keys, 3 objects, crc32 0x")


def test_build_from_csv(tmp_path: pathlib.Path) -> None:
    src = tmp_path / "towns.csv"
    src.write_bytes('\ufeffcode,name,note\r\nGB-LND,London,"big, old"\r\nFR-PAR,Paris,"two\nlines"\r\n'.encode())
    out = tmp_path / "towns.tndb"
    proc = run("build", out, src, "--key", "code", "--key", "name")
    assert proc.returncode == 0, proc.stderr
    with tarndb.TarnReader(out) as r:
        assert r["Paris"] == {"code": "FR-PAR", "name": "Paris", "note": "two\nlines"}
        assert r["GB-LND"]["note"] == "big, old"
        assert len(r) == 4


def test_build_from_standard_input_with_format(tmp_path: pathlib.Path) -> None:
    out = tmp_path / "s.tndb"
    proc = run("build", out, "-", "--format", "jsonl", "--key", "id", stdin='{"id": 7}\n\n{"id": "x"}\n')
    assert proc.returncode == 0, proc.stderr
    with tarndb.TarnReader(out) as r:
        assert dict(r) == {"7": {"id": 7}, "x": {"id": "x"}}  # integer keys become their text


def test_bytes_values_are_shown_as_base64(tmp_path: pathlib.Path) -> None:
    out = tmp_path / "b.tndb"
    with tarndb.TarnWriter(out) as w:
        w["blob"] = {"data": b"\x00\xffhi", b"k": 1}
    proc = run("get", out, "blob", "--compact")
    assert proc.returncode == 0
    assert json.loads(proc.stdout) == {"data": {"$base64": "AP9oaQ=="}, "$base64:aw==": 1}


def test_progress_bar_goes_to_standard_error(tmp_path: pathlib.Path, fruit_jsonl: pathlib.Path) -> None:
    out = tmp_path / "p.tndb"
    proc = run("build", out, fruit_jsonl, "--key", "id", "--progress", "always")
    assert proc.returncode == 0
    assert "reading fruit.jsonl" in proc.stderr
    assert proc.stdout.startswith("✅")
    quiet = run("build", out, fruit_jsonl, "--key", "id", "--progress", "never")
    assert quiet.stderr == ""


def test_demo_builds_and_queries_the_unicode_store(tmp_path: pathlib.Path) -> None:
    out = tmp_path / "unicode.tndb"
    proc = run("demo", "--out", out)
    assert proc.returncode == 0, proc.stderr
    assert "GRINNING FACE" in proc.stdout
    assert "☃  SNOWMAN" in proc.stdout
    assert ">>> r.verify()" in proc.stdout
    got = json.loads(run("get", out, "U+1F600").stdout)
    assert got["char"] == "😀" and got["name"] == "GRINNING FACE"
    assert json.loads(run("get", out, "LATIN SMALL LETTER E WITH ACUTE").stdout)["code_point"] == "U+00E9"
    assert "SNOWMAN" in run("keys", out, "--prefix", "SNOW").stdout.splitlines()


def test_console_script_is_installed(fruit_store: pathlib.Path) -> None:
    script = shutil.which("tarndb", path=sysconfig.get_path("scripts"))
    if script is None:
        pytest.skip("the tarndb console script is not installed beside this interpreter")
    proc = subprocess.run([script, "keys", fruit_store, "--prefix", "a"], capture_output=True, text=True)
    assert proc.returncode == 0
    assert proc.stdout == "apple\n"


# ---------------------------------------------------------------- bad input: data errors, exit 1


def test_missing_store_file(tmp_path: pathlib.Path) -> None:
    missing = tmp_path / "missing.tndb"
    for command in (["info"], ["verify"], ["get"], ["keys"], ["dump"]):
        args: list[str | os.PathLike[str]] = [*command, missing]
        if command == ["get"]:
            args.append("k")
        proc = run(*args)
        assert proc.returncode == 1, command
        line = error_line(proc)
        assert f"cannot open {missing}: " in line
        assert line.endswith("(os error 2)")
        assert proc.stdout == ""


def test_corrupt_store_file(tmp_path: pathlib.Path) -> None:
    bad = tmp_path / "bad.tndb"
    bad.write_bytes(b"PK\x03\x04" + bytes(100))
    cases: list[list[str | os.PathLike[str]]] = [["verify", bad], ["get", bad, "k"], ["keys", bad], ["info", bad]]
    for args in cases:
        proc = run(*args)
        assert proc.returncode == 1
        assert error_line(proc) == f"tarndb: {bad}: not a tarndb store (bad magic [80, 75, 3, 4])"


def test_verify_reports_a_damaged_payload(tmp_path: pathlib.Path, fruit_store: pathlib.Path) -> None:
    data = bytearray(fruit_store.read_bytes())
    data[60] ^= 0x01
    fruit_store.write_bytes(bytes(data))
    proc = run("verify", fruit_store)
    assert proc.returncode == 1
    assert "object of key 'apple' (record at offset 40) fails its CRC-32 check" in error_line(proc)
    assert error_line(proc).endswith("; 1 of 3 records fails")
    assert proc.stdout == ""


def test_get_of_a_missing_key(fruit_store: pathlib.Path) -> None:
    proc = run("get", fruit_store, "durian")
    assert proc.returncode == 1
    assert error_line(proc) == f"tarndb: {fruit_store}: no such key: 'durian'"


def test_malformed_json_line_names_file_and_line(tmp_path: pathlib.Path) -> None:
    src = tmp_path / "input.jsonl"
    src.write_text('{"id": "a"}\n\n{"id": "b",\n{"id": "c"}\n', encoding="utf-8")
    out = tmp_path / "out.tndb"
    proc = run("build", out, src, "--key", "id", cwd=tmp_path)
    assert proc.returncode == 1
    assert error_line(proc).startswith(f"tarndb: {src}:3: invalid JSON: ")
    assert proc.stdout == ""
    assert sorted(p.name for p in tmp_path.iterdir()) == ["input.jsonl"]  # nothing half-written


def test_bad_input_leaves_an_existing_target_untouched(tmp_path: pathlib.Path, fruit_store: pathlib.Path) -> None:
    before = fruit_store.read_bytes()
    src = tmp_path / "broken.jsonl"
    src.write_text("".join(f'{{"id": "k{i}"}}\n' for i in range(5)) + "not json\n", encoding="utf-8")
    proc = run("build", fruit_store, src, "--key", "id")
    assert proc.returncode == 1
    assert "broken.jsonl:6: invalid JSON" in error_line(proc)
    assert fruit_store.read_bytes() == before


@pytest.mark.parametrize(
    ("name", "key", "content", "message"),
    [
        ("input.jsonl", "id", '{"id": "a"}\n{"name": "b"}\n', "input.jsonl:2: missing key field 'id'"),
        ("input.jsonl", "id", '{"id": "a"}\n{"id": null}\n', "input.jsonl:2: key field 'id' is null"),
        ("input.jsonl", "id", '{"id": 1.5}\n', "input.jsonl:1: key field 'id' must be a string or an integer, not a number"),
        ("input.jsonl", "id", '[1, 2]\n', "input.jsonl:1: expected a JSON object, got an array"),
        ("input.jsonl", "id", '{"id": "a"}\n{"id": "b"}\n{"id": "a"}\n', "input.jsonl:3: duplicate key 'a' (first on line 1)"),
        ("input.jsonl", "id", '{"id": "a", "v": 1e400}\n{"id": "b", "v": 100000000000000000000000}\n', "input.jsonl:2: cannot store the record"),
        ("input.csv", "code", "code,name\nA,a\nB\n", "input.csv:3: expected 2 fields, got 1"),
        ("input.csv", "code", "name,other\na,b\n", "input.csv:1: missing key field 'code': no such column in the header"),
        ("input.csv", "code", "code,code\nA,B\n", "input.csv:1: column 'code' appears twice in the header"),
        ("input.csv", "code", 'code,name\nA,"open\n', "input.csv:2: invalid CSV: "),
        ("input.csv", "code", "", "input.csv:1: no header row"),
    ],
)
def test_bad_input_records(tmp_path: pathlib.Path, name: str, key: str, content: str, message: str) -> None:
    src = tmp_path / name
    src.write_text(content, encoding="utf-8")
    out = tmp_path / "out.tndb"
    proc = run("build", out, src, "--key", key)
    assert proc.returncode == 1
    assert error_line(proc).startswith(f"tarndb: {tmp_path / message}")
    assert not out.exists()


def test_invalid_utf8_in_input(tmp_path: pathlib.Path) -> None:
    src = tmp_path / "latin1.jsonl"
    src.write_bytes(b'{"id": "a"}\n{"id": "caf\xe9"}\n')
    proc = run("build", tmp_path / "o.tndb", src, "--key", "id")
    assert proc.returncode == 1
    assert error_line(proc).startswith(f"tarndb: {src}:2: invalid UTF-8")


def test_missing_input_and_missing_output_directory(tmp_path: pathlib.Path, fruit_jsonl: pathlib.Path) -> None:
    proc = run("build", tmp_path / "o.tndb", tmp_path / "nope.jsonl", "--key", "id")
    assert proc.returncode == 1
    assert error_line(proc).startswith(f"tarndb: {tmp_path / 'nope.jsonl'}: cannot open")
    proc = run("build", tmp_path / "no" / "o.tndb", fruit_jsonl, "--key", "id")
    assert proc.returncode == 1
    assert "does not exist" in error_line(proc)


# ---------------------------------------------------------------- usage errors, exit 2


@pytest.mark.parametrize(
    "args",
    [
        [],
        ["frobnicate"],
        ["get", "only-a-file"],
        ["build", "out.tndb", "in.jsonl"],  # no --key
        ["build", "out.tndb", "in.jsonl", "--key", "id", "--format", "xml"],
    ],
)
def test_usage_errors_exit_2(tmp_path: pathlib.Path, args: list[str]) -> None:
    proc = run(*args, cwd=tmp_path)
    assert proc.returncode == 2
    assert "usage: tarndb" in proc.stderr
    assert proc.stdout == ""
    assert list(tmp_path.iterdir()) == []


def test_help_and_version() -> None:
    proc = run("--help")
    assert proc.returncode == 0
    for command in ("info", "verify", "get", "keys", "dump", "build", "demo"):
        assert command in proc.stdout
    assert run("--version").stdout == f"tarndb {tarndb.__version__}\n"


# ---------------------------------------------------------------- input formats, types, output rules


@pytest.mark.parametrize(
    ("name", "content", "extra", "expected"),
    [
        (
            "towns.json",
            '\ufeff [\n  {"code": "A", "n": 1},\n  {"code": "B", "n": [2, {"x": null}]}\n]\n',
            [],
            {"A": {"code": "A", "n": 1}, "B": {"code": "B", "n": [2, {"x": None}]}},
        ),
        ("empty.json", "[]", [], {}),
        ("lines.json", '{"code": "A"}\n{"code": "B"}\n', [], {"A": {"code": "A"}, "B": {"code": "B"}}),
        ("towns.tsv", "code\tname\tnote\nA\tAnn Arbor\tbig, old\n", [], {"A": {"code": "A", "name": "Ann Arbor", "note": "big, old"}}),
        ("towns.csv", "code;name\nA;x,y\n", ["--delimiter", ";"], {"A": {"code": "A", "name": "x,y"}}),
        ("towns.txt", "code|n\nA|1\n", ["--format", "csv", "--delimiter", "|"], {"A": {"code": "A", "n": "1"}}),
        (
            "typed.csv",
            "code,n,x,ok,meta,empty\nA,-3,2.5,yes,\"{\"\"a\"\": [1]}\",\nB,4,1e3,False,null,\n",
            ["--type", "n=int", "--type", "x=float", "--type", "ok=bool", "--type", "meta=json", "--type", "empty=int"],
            {
                "A": {"code": "A", "n": -3, "x": 2.5, "ok": True, "meta": {"a": [1]}, "empty": None},
                "B": {"code": "B", "n": 4, "x": 1000.0, "ok": False, "meta": None, "empty": None},
            },
        ),
        ("keyed.tsv", "code\tname\n7\tseven\n", ["--type", "code=int"], {"7": {"code": 7, "name": "seven"}}),
    ],
)
def test_build_from_other_input_formats(
    tmp_path: pathlib.Path, name: str, content: str, extra: list[str], expected: dict[str, object]
) -> None:
    src = tmp_path / name
    src.write_text(content, encoding="utf-8")
    out = tmp_path / "out.tndb"
    proc = run("build", out, src, "--key", "code", *extra)
    assert proc.returncode == 0, proc.stderr
    with tarndb.TarnReader(out) as r:
        assert dict(r) == expected


@pytest.mark.parametrize(
    ("name", "content", "extra", "message"),
    [
        ("in.json", '[{"code": "A"},\n 3]', [], "in.json:2: element 1 (at byte 17): expected a record (a JSON object), got a number"),
        ("in.json", '[{"code": "A"},\n {"code": "B"}', [], "in.json:2: invalid JSON: expected ',' or ']' after element 1 of the top-level array"),
        ("in.json", '[{"code": "A"} {"code": "B"}]', [], "in.json:1: invalid JSON: expected ',' or ']'"),
        ("in.json", '[\n\n{"code": "A",]', [], "in.json:3: element 0 (at byte 3): invalid JSON: "),
        ("in.json", '[{"code": "A"}] []', [], "in.json:1: invalid JSON: extra data after the top-level value (at byte 16)"),
        ("in.json", '[{"code": "A"},\n{"code": "A"}]', [], "in.json:2: duplicate key 'A' (first on line 1)"),
        ("in.json", '[{"name": "A"}]', [], "in.json:1: element 0 (at byte 1): missing key field 'code' (the record has 'name')"),
        ("in.csv", "code,n\nA,x\n", ["--type", "n=int"], "in.csv:2: column 'n': 'x' is not an integer"),
        ("in.csv", "code,n\nA,1.5.2\n", ["--type", "n=float"], "in.csv:2: column 'n': '1.5.2' is not a number"),
        ("in.csv", "code,n\nA,maybe\n", ["--type", "n=bool"], "in.csv:2: column 'n': 'maybe' is not a boolean"),
        ("in.csv", "code,n\nA,{oops\n", ["--type", "n=json"], "in.csv:2: column 'n': invalid JSON: "),
        ("in.csv", "code,n\nA,1\n", ["--type", "m=int"], "in.csv:1: --type names column 'm', which the header does not have"),
        ("in.tsv", "code\tn\nA\t1\t2\n", [], "in.tsv:2: expected 2 fields, got 3"),
    ],
)
def test_bad_records_of_other_formats(
    tmp_path: pathlib.Path, name: str, content: str, extra: list[str], message: str
) -> None:
    src = tmp_path / name
    src.write_text(content, encoding="utf-8")
    out = tmp_path / "out.tndb"
    proc = run("build", out, src, "--key", "code", *extra)
    assert proc.returncode == 1
    assert error_line(proc).startswith(f"tarndb: {tmp_path / message}")
    assert not out.exists()


@pytest.mark.parametrize("newline", ["\n", ""])
def test_json_array_errors_name_the_line_far_into_a_large_file(tmp_path: pathlib.Path, newline: str) -> None:
    # Elements cross the reader's chunk boundaries, on many lines or on one.
    src = tmp_path / "big.json"
    rows = [json.dumps({"code": f"k{i}", "pad": "é" * (i % 5000)}) for i in range(400)]
    body = "[" + newline + ("," + newline).join(rows)
    src.write_text(body + "," + newline + '{"code": "bad" "oops"}' + newline + "]", encoding="utf-8")
    proc = run("build", tmp_path / "out.tndb", src, "--key", "code")
    assert error_line(proc).startswith(f"tarndb: {src}:{402 if newline else 1}: element 400 (at byte ")
    assert "): invalid JSON: Expecting ',' delimiter" in error_line(proc)
    src.write_text(body + newline + "]", encoding="utf-8")
    assert run("build", tmp_path / "out.tndb", src, "--key", "code").returncode == 0
    with tarndb.TarnReader(tmp_path / "out.tndb") as r:
        assert len(r) == 400 and r["k399"]["pad"] == "é" * 399


@pytest.mark.parametrize(
    "args",
    [
        ["--type", "n"],
        ["--type", "n=date"],
        ["--delimiter", ";;"],
        ["--format", "jsonl", "--delimiter", ";"],
        ["--format", "json", "--type", "n=int"],
    ],
)
def test_bad_type_and_delimiter_options_exit_2(tmp_path: pathlib.Path, args: list[str]) -> None:
    src = tmp_path / "in.csv"
    src.write_text("code,n\nA,1\n", encoding="utf-8")
    proc = run("build", tmp_path / "out.tndb", src, "--key", "code", *args)
    assert proc.returncode == 2
    assert "usage: tarndb" in proc.stderr
    assert not (tmp_path / "out.tndb").exists()


def test_keys_into_a_closed_pipe_ends_as_coreutils_do(tmp_path: pathlib.Path) -> None:
    out = tmp_path / "many.tndb"
    with tarndb.TarnWriter(out) as w:
        oid = w.add(1)
        for i in range(100_000):
            w.alias(f"key-{i:07}", oid)
    for command in (["keys"], ["dump"]):
        child = subprocess.Popen(
            [sys.executable, "-m", "tarndb", *command, str(out)], stdout=subprocess.PIPE, stderr=subprocess.PIPE
        )
        assert child.stdout is not None and child.stderr is not None
        assert child.stdout.readline().startswith(b"key-0000000" if command == ["keys"] else b'{"key": "key-0000000"')
        child.stdout.close()  # as head does after its lines
        err = child.stderr.read()
        assert child.wait(timeout=60) == -13, err  # killed by SIGPIPE, like `seq 1e9 | head -1`
        assert err == b""


@pytest.mark.parametrize(
    ("cut", "damage"),
    [
        (30, "truncated: the file is 340 bytes, but its header and index need at least 350"),
        (40, "truncated: the file is 330 bytes, but its header and index need at least 340"),
        (100, "truncated: the file is 270 bytes, but its header puts the index at byte 278 (at least 338 bytes for 6 keys)"),
        (330, "truncated: the file is 40 bytes, but its header puts the index at byte 278 (at least 338 bytes for 6 keys)"),
    ],
)
def test_info_on_a_truncated_file(tmp_path: pathlib.Path, fruit_store: pathlib.Path, cut: int, damage: str) -> None:
    data = fruit_store.read_bytes()
    assert len(data) == 370  # 96 of them the lookup index, at the end of the data section
    short = tmp_path / "cut.tndb"
    short.write_bytes(data[: len(data) - cut])
    proc = run("info", short)
    assert proc.returncode == 0, proc.stderr
    assert "keys            6" in proc.stdout
    assert f"file size       {len(data) - cut} bytes" in proc.stdout
    assert f"damage          {damage}\n" in proc.stdout
    stats = json.loads(run("info", short, "--json").stdout)
    assert stats["num_objects"] == 3 and stats["damage"] == damage
    assert json.loads(run("info", fruit_store, "--json").stdout)["damage"] is None
    assert run("verify", short).returncode == 1


def test_sizes_and_counts_read_the_same_everywhere(tmp_path: pathlib.Path) -> None:
    src = tmp_path / "one.jsonl"
    src.write_text(json.dumps({"id": "only", "blob": "x" * 3000}) + "\n", encoding="utf-8")
    out = tmp_path / "one.tndb"
    proc = run("build", out, src, "--key", "id")
    size = out.stat().st_size
    assert proc.stdout == f"✅  {out}  —  1 object · 1 key · {size / 1024:.1f} KiB\n"
    assert run("verify", out).stdout.startswith(f"{out}: ok (1 key, 1 object, crc32 0x")
    assert f"file size       {size:,} bytes ({size / 1024:.1f} KiB)\n" in run("info", out).stdout
    for text in (proc.stdout, run("info", out).stdout):
        assert " KB" not in text and "1 objects" not in text


def test_get_several_keys(fruit_store: pathlib.Path) -> None:
    proc = run("get", fruit_store, "musa", "apple", "--compact")
    assert proc.returncode == 0
    assert [json.loads(line)["id"] for line in proc.stdout.splitlines()] == ["banana", "apple"]
    proc = run("get", fruit_store, "musa", "durian", "kiwi", "--compact")
    assert proc.returncode == 1
    assert json.loads(proc.stdout)["id"] == "banana"  # the keys found are still printed
    assert error_line(proc) == f"tarndb: {fruit_store}: no such keys: 'durian', 'kiwi'"


def test_build_status_and_progress_of_the_write_phase(tmp_path: pathlib.Path, fruit_jsonl: pathlib.Path) -> None:
    out = tmp_path / "p.tndb"
    proc = run("build", out, fruit_jsonl, "--key", "id", "--progress", "always", "--quiet")
    assert proc.returncode == 0
    assert proc.stdout == ""
    assert "reading fruit.jsonl" in proc.stderr and "writing p.tndb" in proc.stderr
    with tarndb.TarnReader(out) as r:
        assert len(r) == 3
