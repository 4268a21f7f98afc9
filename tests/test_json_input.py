"""``tarndb build`` on the JSON files people have (an array of records, an
object of records, records under a field), from files, standard input and
named pipes; and the input errors that must stay one line."""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys
import threading
from typing import Any

import pytest

from tarndb import TarnReader


def run(*args: str | os.PathLike[str], stdin: bytes | None = None) -> subprocess.CompletedProcess[str]:
    proc = subprocess.run(
        [sys.executable, "-m", "tarndb", *(os.fspath(a) for a in args)],
        input=stdin if stdin is not None else b"",
        capture_output=True,
        timeout=120,
    )
    return subprocess.CompletedProcess(proc.args, proc.returncode, proc.stdout.decode(), proc.stderr.decode())


def one_error(proc: subprocess.CompletedProcess[str]) -> str:
    assert proc.returncode == 1, proc
    lines = proc.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("tarndb: ") and "Traceback" not in proc.stderr, proc.stderr
    return lines[0].removeprefix("tarndb: ")


# Small files shaped like the ones users bring: a country list nested under
# a field, a dict of id -> city record, a package index as an array.
COUNTRIES = {
    "3166-1": [
        {"alpha_2": "AD", "alpha_3": "AND", "name": "Andorra", "numeric": "020"},
        {"alpha_2": "AE", "alpha_3": "ARE", "name": "United Arab Emirates", "numeric": "784", "flag": "🇦🇪"},
        {"alpha_2": "CI", "alpha_3": "CIV", "name": "Côte d'Ivoire", "numeric": "384"},
    ]
}
CITIES = {
    "3039154": {"geonameid": 3039154, "name": "El Tarter", "population": 1052, "latitude": 42.57952, "alternatenames": []},
    "3039163": {"geonameid": 3039163, "name": "Sant Julià de Lòria", "population": 8022, "timezone": "Europe/Andorra"},
    "290594": {"geonameid": 290594, "name": "Umm al Qaywayn", "population": 62747, "admin1code": None},
}
PACKAGES = [
    {"Package": "zsh", "Version": "5.9-4+b2", "Depends": ["libc6 (>= 2.34)", "libcap2"], "Installed-Size": 2466},
    {"Package": "bash", "Version": "5.2.15-2+b7", "Essential": True},
    {"Package": "coreutils", "Version": "9.1-1", "Description": "GNU core utilities\n with a second line"},
]

# (document, extra arguments, key of each expected record -> record)
EXAMPLES: dict[str, tuple[Any, list[str], dict[str, Any]]] = {
    "countries": (COUNTRIES, ["--records", "3166-1", "--key", "alpha_2"], {c["alpha_2"]: c for c in COUNTRIES["3166-1"]}),
    "cities": (CITIES, ["--key", "@name"], CITIES),
    "packages": (PACKAGES, ["--key", "Package"], {p["Package"]: p for p in PACKAGES}),
}


def write_example(path: pathlib.Path, document: Any, indent: int | None) -> None:
    path.write_text(json.dumps(document, indent=indent, ensure_ascii=False), encoding="utf-8")


@pytest.mark.parametrize("indent", [None, 2], ids=["one line", "pretty"])
@pytest.mark.parametrize("source", ["file", "stdin", "fifo", "no extension"])
@pytest.mark.parametrize("example", EXAMPLES)
def test_examples_build_and_read_back_equal(tmp_path: pathlib.Path, example: str, source: str, indent: int | None) -> None:
    document, extra, expected = EXAMPLES[example]
    src = tmp_path / f"{example}.json"
    write_example(src, document, indent)
    out = tmp_path / "out.tndb"
    if source == "file":
        proc = run("build", out, src, *extra)
    elif source == "stdin":
        proc = run("build", out, "-", *extra, stdin=src.read_bytes())
    elif source == "no extension":
        plain = tmp_path / example
        src.rename(plain)
        proc = run("build", out, plain, *extra)
    else:
        # A named pipe, named .json: read once, nothing lost to the sniff.
        fifo = tmp_path / "pipe.json"
        os.mkfifo(fifo)
        data = src.read_bytes()

        def feed() -> None:
            with open(fifo, "wb") as f:
                f.write(data)

        feeder = threading.Thread(target=feed)
        feeder.start()
        proc = run("build", out, fifo, *extra)
        feeder.join(timeout=60)
    assert proc.returncode == 0, proc.stderr
    with TarnReader(out) as r:
        assert dict(r) == expected  # as json.load gives each record


@pytest.mark.parametrize(
    ("text", "fmt_args", "count"),
    [
        ('{"id": "a", "n": 1}\n{"id": "b", "n": 2}\n', [], 2),  # JSON lines
        ('{"id": "a", "n": 1}\n', [], 1),  # one JSON line: a record, not an object of records
        ('[{"id": "a", "n": 1}, {"id": "b", "n": 2}]', [], 2),
        ("id,n\na,1\nb,2\n", ["--type", "n=int"], 2),
        ("id\tn\na\t1\nb\t2\n", ["--type", "n=int"], 2),
    ],
    ids=["jsonl", "one line", "array", "csv", "tsv"],
)
def test_standard_input_needs_no_format(tmp_path: pathlib.Path, text: str, fmt_args: list[str], count: int) -> None:
    out = tmp_path / "o.tndb"
    proc = run("build", out, "-", "--key", "id", *fmt_args, stdin=text.encode())
    assert proc.returncode == 0, proc.stderr
    with TarnReader(out) as r:
        assert r["a"] == {"id": "a", "n": 1} and len(r) == count


def test_a_json_file_holding_json_lines_still_builds(tmp_path: pathlib.Path) -> None:
    src = tmp_path / "lines.json"
    src.write_text('{"id": "a"}\n{"id": "b"}\n', encoding="utf-8")
    proc = run("build", tmp_path / "o.tndb", src, "--key", "id")
    assert proc.returncode == 0, proc.stderr


@pytest.mark.parametrize(
    ("text", "args", "error"),
    [
        ('"just text"', ["--key", "id"], "x.json:1: expected a JSON array or object of records, found a string at the top level"),
        ("", ["--key", "id"], "x.json:1: expected a JSON array or object of records, but the input is empty"),
        (
            '{"3166-1": [{"alpha_2": "AD"}]}',
            ["--key", "alpha_2"],
            "x.json:1: member '3166-1' (at byte 1): expected a record (a JSON object), got an array; "
            "it holds an array of 1 objects: give --records 3166-1 to read those",
        ),
        (
            '{"a": [], "b": 1}',
            ["--records", "c", "--key", "id"],
            "x.json:1: --records c: the top-level object has no such member (it has 'a', 'b')",
        ),
        ('[{"id": "é"}, {"id": "ü"}, {"id": 1.5}]', ["--key", "id"], "x.json:1: key field 'id' must be a string or an integer, not a number"),
        (
            '[{"id": "é"},\n {"id": "ü"},\n {"id": "x",}]',
            ["--key", "id"],
            # The interpreter's json module words a trailing comma its own way.
            "x.json:3: element 2 (at byte 31): invalid JSON: "
            + ("Illegal trailing comma before end of object" if sys.version_info >= (3, 13)
               else "Expecting property name enclosed in double quotes"),
        ),
        ('[{"id": "é"}, 7]', ["--key", "id"], "x.json:1: element 1 (at byte 15): expected a record (a JSON object), got a number"),
        ('[{"id": "a"}]', ["--key", "@name"], "x.json:1: --key @name needs an object of records (member name: record), not an array"),
        ('{"a": {"id": 1}, "b": {"name": 2}}', ["--key", "id"], "x.json:1: member 'b' (at byte 17): missing key field 'id' (the record has 'name')"),
    ],
    ids=["string", "empty", "nested without --records", "no such member", "bad key", "syntax", "not a record", "@name of array", "missing field"],
)
def test_what_is_wrong_is_said_with_where(tmp_path: pathlib.Path, text: str, args: list[str], error: str) -> None:
    (tmp_path / "x.json").write_text(text, encoding="utf-8")
    proc = subprocess.run(
        [sys.executable, "-m", "tarndb", "build", "o.tndb", "x.json", *args],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=120,
    )
    assert one_error(proc) == error
    assert not (tmp_path / "o.tndb").exists()


LONG = "1" * 5000


@pytest.mark.parametrize(
    ("name", "text", "args", "error"),
    [
        ("x.jsonl", f'{{"id": "a"}}\n{{"id": "b", "n": {LONG}}}\n', [], "x.jsonl:2: invalid JSON: an integer of more than 4300 digits"),
        ("x.json", f'[{{"id": "a"}},\n{{"id": "b", "n": {LONG}}}]', [], "x.json:2: element 1 (at byte 14): invalid JSON: an integer of more than 4300 digits"),
        ("x.csv", f"id,n\na,1\nb,{LONG}\n", ["--type", "n=int"], "x.csv:3: column 'n': an integer of more than 4300 digits"),
        ("x.csv", f"id,n\na,1\nb,{LONG}\n", ["--type", "n=json"], "x.csv:3: column 'n': invalid JSON: an integer of more than 4300 digits"),
        ("x.csv", "id,n\na,1\nb,١٢٣\n", ["--type", "n=int"], "x.csv:3: column 'n': '١٢٣' is not an integer"),
        ("x.csv", "id,n\na,1\nb,1_000\n", ["--type", "n=int"], "x.csv:3: column 'n': '1_000' is not an integer"),
        ("x.csv", "id,n\na,1\nb,1_0.5\n", ["--type", "n=float"], "x.csv:3: column 'n': '1_0.5' is not a number"),
        ("x.csv", "id,n\na,1\n,2\n", [], "x.csv:3: key field 'id' is empty"),
        ("x.csv", "id,n\na,1\n", ["--key", "ident"], "x.csv:1: missing key field 'ident': no such column in the header (it has 'id', 'n')"),
        ("x.jsonl", '{"id": "a", "n": 1}\n', ["--key", "ident"], "x.jsonl:1: missing key field 'ident' (the record has 'id', 'n')"),
    ],
    ids=["jsonl long int", "json long int", "csv int long", "csv json long", "arabic digits", "underscore", "float underscore", "empty key cell", "csv wrong key", "jsonl wrong key"],
)
def test_input_faults_are_one_line(tmp_path: pathlib.Path, name: str, text: str, args: list[str], error: str) -> None:
    (tmp_path / name).write_text(text, encoding="utf-8")
    keys = [] if "--key" in args else ["--key", "id"]
    proc = subprocess.run(
        [sys.executable, "-m", "tarndb", "build", "o.tndb", name, *keys, *args],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=120,
    )
    assert one_error(proc) == error


def test_csv_cells_over_128_kib(tmp_path: pathlib.Path) -> None:
    big = "é" * (300 << 10)
    src = tmp_path / "big.csv"
    src.write_text(f'id,text\na,"{big}"\nb,short\n', encoding="utf-8")
    proc = run("build", tmp_path / "o.tndb", src, "--key", "id")
    assert proc.returncode == 0, proc.stderr
    with TarnReader(tmp_path / "o.tndb") as r:
        assert r["a"]["text"] == big and r["b"]["text"] == "short"
