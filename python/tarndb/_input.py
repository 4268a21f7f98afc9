"""Reading records from JSON lines, a JSON array, CSV or TSV for ``tarndb build``.

Every record is checked as it is read; the first problem raises InputError
naming the file and the line.  A record is one JSON object per line (blank
lines are skipped), one object of a JSON array, or one CSV or TSV row under
a header row, whose cells become the values under the header's column names
(text, unless a column is given a type).
"""

from __future__ import annotations

import codecs
import csv
import json
import os
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import IO, Any

FORMATS = ("jsonl", "json", "csv", "tsv")
_EXTENSIONS = {".jsonl": "jsonl", ".ndjson": "jsonl", ".json": "json", ".csv": "csv", ".tsv": "tsv", ".tab": "tsv"}
#: The column types of ``--type COLUMN=TYPE``.
TYPES = ("int", "float", "bool", "json")
_TRUE = frozenset({"true", "yes", "1"})
_FALSE = frozenset({"false", "no", "0"})
_CHUNK = 1 << 16
_NEWLINE = b"\n"
_BOM = b"\xef\xbb\xbf"
_MISSING = object()


class InputError(Exception):
    """A problem in the input, at a place: str() is "place: message"."""

    def __init__(self, place: str, message: str) -> None:
        super().__init__(f"{place}: {message}")
        self.place = place
        self.message = message


@dataclass(frozen=True)
class Record:
    line: int  # where the record starts, counting from 1
    keys: tuple[str, ...]  # distinct, in the order of the key fields
    value: dict[str, Any]


def format_of(path: str) -> str | None:
    """The input format that the extension of *path* names, if any.  A
    ``.json`` file is read as one JSON array when it starts with ``[``, and
    as JSON lines otherwise."""
    found = _EXTENSIONS.get(os.path.splitext(path)[1].lower())
    if found == "json" and _first_byte(path) not in (b"[", b""):
        return "jsonl"
    return found


def _first_byte(path: str) -> bytes:
    # The first byte that is not white space or a byte-order mark.
    try:
        with open(path, "rb") as f:
            head = f.read(_CHUNK)
    except OSError:
        return b""  # the open proper reports it
    head = head[len(_BOM) :] if head.startswith(_BOM) else head
    stripped = head.lstrip(b" \t\r\n")
    return stripped[:1]


def _lines(stream: IO[bytes], name: str, progress: Callable[[int], object]) -> Iterator[tuple[int, str]]:
    # (line number, text) for each physical line, decoded as UTF-8.
    for number, data in enumerate(stream, 1):
        progress(len(data))
        if number == 1 and data.startswith(_BOM):
            data = data[len(_BOM) :]
        try:
            yield number, data.decode("utf-8")
        except UnicodeDecodeError as exc:
            raise InputError(f"{name}:{number}", f"invalid UTF-8 at byte {exc.start + 1} of the line") from None


def _key_of(value: Any, field: str, place: str) -> str:
    if isinstance(value, str):
        return value
    if isinstance(value, int) and not isinstance(value, bool):
        return str(value)
    if value is None:
        raise InputError(place, f"key field {field!r} is null")
    raise InputError(place, f"key field {field!r} must be a string or an integer, not {_json_type(value)}")


def _json_type(value: Any) -> str:
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, list):
        return "an array"
    if isinstance(value, dict):
        return "an object"
    return "null"


def _keys(value: dict[str, Any], fields: list[str], name: str, number: int) -> tuple[str, ...]:
    if len(fields) == 1:
        key = value.get(fields[0], _MISSING)
        if type(key) is str:
            return (key,)
    keys: dict[str, None] = {}
    for field in fields:
        if field not in value:
            raise InputError(f"{name}:{number}", f"missing key field {field!r}")
        keys[_key_of(value[field], field, f"{name}:{number}")] = None
    return tuple(keys)


def read_jsonl(stream: IO[bytes], name: str, fields: list[str], progress: Callable[[int], object]) -> Iterator[Record]:
    """The records of a JSON-lines stream."""
    for number, text in _lines(stream, name, progress):
        text = text.rstrip("\r\n")
        if not text or text.isspace():
            continue
        try:
            value = json.loads(text)
        except json.JSONDecodeError as exc:
            raise InputError(f"{name}:{number}", f"invalid JSON: {exc.msg} (column {exc.colno})") from None
        except RecursionError:
            raise InputError(f"{name}:{number}", "invalid JSON: nested too deeply") from None
        if not isinstance(value, dict):
            raise InputError(f"{name}:{number}", f"expected a JSON object, got {_json_type(value)}")
        yield Record(number, _keys(value, fields, name, number), value)


def _decoded_chunks(stream: IO[bytes], name: str, progress: Callable[[int], object]) -> Iterator[str]:
    # The stream as text, in blocks of whole lines (a block never splits a
    # UTF-8 sequence); an invalid sequence is reported with its line.
    line = 1
    pending = b""
    first = True
    while True:
        data = stream.read(_CHUNK)
        progress(len(data))
        if first and data.startswith(_BOM):
            data = data[len(_BOM) :]
        first = False
        pending += data
        cut = pending.rfind(b"\n") + 1 if data else len(pending)
        block, pending = pending[:cut], pending[cut:]
        try:
            text = block.decode("utf-8")
        except UnicodeDecodeError as exc:
            before = block[: exc.start]
            column = exc.start - (before.rfind(b"\n") + 1)
            where = f"{name}:{line + before.count(_NEWLINE)}"
            raise InputError(where, f"invalid UTF-8 at byte {column + 1} of the line") from None
        line += block.count(b"\n")
        if text:
            yield text
        if not data:
            return


def read_json_array(
    stream: IO[bytes], name: str, fields: list[str], progress: Callable[[int], object]
) -> Iterator[Record]:
    """The records of a stream holding one JSON array of objects, read one
    element at a time (the whole array is never held in memory)."""
    decoder = json.JSONDecoder()
    chunks = _decoded_chunks(stream, name, progress)
    buf = ""
    pos = 0
    line = 1  # the line of buf[0]
    eof = False

    def more() -> bool:
        nonlocal buf, pos, line, eof
        if eof:
            return False
        try:
            chunk = next(chunks)
        except StopIteration:
            eof = True
            return False
        line += buf.count("\n", 0, pos)
        buf = buf[pos:] + chunk
        pos = 0
        return True

    def skip_space() -> str:
        # The next character that is not white space ("" at the end).
        nonlocal pos
        while True:
            while pos < len(buf) and buf[pos] in " \t\r\n":
                pos += 1
            if pos < len(buf):
                return buf[pos]
            if not more():
                return ""

    def here() -> str:
        return f"{name}:{line + buf.count(chr(10), 0, pos)}"

    if skip_space() != "[":
        raise InputError(here(), "expected a JSON array of objects (a .json file starts with [)")
    pos += 1
    expect_item = True
    if skip_space() == "]":
        pos += 1
        expect_item = False
    while expect_item:
        if skip_space() == "":
            raise InputError(here(), "invalid JSON: the array is not closed")
        place = here()
        number = int(place.rsplit(":", 1)[1])
        while True:
            try:
                value, end = decoder.raw_decode(buf, pos)
            except json.JSONDecodeError as exc:
                if not eof and more():
                    continue  # the element may go on in the next chunk
                raise InputError(f"{name}:{line + buf.count(chr(10), 0, exc.pos)}", f"invalid JSON: {exc.msg}") from None
            except RecursionError:
                raise InputError(place, "invalid JSON: nested too deeply") from None
            if end == len(buf) and not eof and more():
                continue  # a number may go on in the next chunk
            break
        pos = end
        if not isinstance(value, dict):
            raise InputError(place, f"expected a JSON object, got {_json_type(value)}")
        yield Record(number, _keys(value, fields, name, number), value)
        sep = skip_space()
        if sep == ",":
            pos += 1
        elif sep == "]":
            pos += 1
            expect_item = False
        else:
            raise InputError(here(), "invalid JSON: expected ',' or ']' after an array element")
    if skip_space() != "":
        raise InputError(here(), "invalid JSON: extra data after the array")


def parse_type(spec: str) -> tuple[str, str]:
    """``COLUMN=TYPE`` as (column, type); ValueError naming what is wrong."""
    column, sep, kind = spec.rpartition("=")
    if not sep or not column:
        raise ValueError(f"--type takes COLUMN=TYPE, not {spec!r}")
    if kind not in TYPES:
        raise ValueError(f"--type {spec!r}: the type must be one of {', '.join(TYPES)}")
    return column, kind


def _typed(cell: str, column: str, kind: str, place: str) -> Any:
    # An empty cell of a typed column is null.
    if cell == "":
        return None
    if kind == "int":
        try:
            return int(cell)
        except ValueError:
            raise InputError(place, f"column {column!r}: {cell!r} is not an integer") from None
    if kind == "float":
        try:
            return float(cell)
        except ValueError:
            raise InputError(place, f"column {column!r}: {cell!r} is not a number") from None
    if kind == "bool":
        folded = cell.strip().lower()
        if folded in _TRUE:
            return True
        if folded in _FALSE:
            return False
        raise InputError(place, f"column {column!r}: {cell!r} is not a boolean (true/false, yes/no, 1/0)")
    try:
        return json.loads(cell)
    except json.JSONDecodeError as exc:
        raise InputError(place, f"column {column!r}: invalid JSON: {exc.msg} (column {exc.colno})") from None
    except RecursionError:
        raise InputError(place, f"column {column!r}: invalid JSON: nested too deeply") from None


def read_csv(
    stream: IO[bytes],
    name: str,
    fields: list[str],
    progress: Callable[[int], object],
    delimiter: str = ",",
    types: dict[str, str] | None = None,
) -> Iterator[Record]:
    """The records of a CSV stream with a header row; *delimiter* separates
    the cells (a tab for TSV), *types* maps columns to one of TYPES."""
    types = types or {}
    lines = _lines(stream, name, progress)
    numbers: list[int] = [0]

    def texts() -> Iterator[str]:
        for number, text in lines:
            numbers[0] = number
            yield text

    rows = csv.reader(texts(), strict=True, delimiter=delimiter)
    header: list[str] | None = None
    typed: list[tuple[int, str, str]] = []
    while True:
        start = numbers[0] + 1
        try:
            row = next(rows)
        except StopIteration:
            break
        except csv.Error as exc:
            raise InputError(f"{name}:{numbers[0]}", f"invalid CSV: {exc}") from None
        if not row:
            continue
        place = f"{name}:{start}"
        if header is None:
            header = row
            seen: set[str] = set()
            for column in header:
                if column in seen:
                    raise InputError(place, f"column {column!r} appears twice in the header")
                seen.add(column)
            for field in fields:
                if field not in seen:
                    raise InputError(place, f"missing key field {field!r}: no such column in the header")
            for column in types:
                if column not in seen:
                    raise InputError(place, f"--type names column {column!r}, which the header does not have")
            typed = [(i, column, types[column]) for i, column in enumerate(header) if column in types]
            continue
        if len(row) != len(header):
            raise InputError(place, f"expected {len(header)} fields, got {len(row)}")
        value: dict[str, Any] = dict(zip(header, row))
        for i, column, kind in typed:
            value[column] = _typed(row[i], column, kind, place)
        yield Record(start, _keys(value, fields, name, start), value)
    if header is None:
        raise InputError(f"{name}:1", "no header row")
