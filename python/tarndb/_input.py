"""Reading records from JSON lines or CSV for ``tarndb build``.

Every record is checked as it is read; the first problem raises InputError
naming the file and the line.  A record is one JSON object per line (blank
lines are skipped), or one CSV row under a header row, whose cells become
the values (all text) under the header's column names.
"""

from __future__ import annotations

import csv
import json
import os
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import IO, Any

FORMATS = ("jsonl", "csv")
_EXTENSIONS = {".jsonl": "jsonl", ".ndjson": "jsonl", ".json": "jsonl", ".csv": "csv"}
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
    """The input format that the extension of *path* names, if any."""
    return _EXTENSIONS.get(os.path.splitext(path)[1].lower())


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


def read_csv(stream: IO[bytes], name: str, fields: list[str], progress: Callable[[int], object]) -> Iterator[Record]:
    """The records of a CSV stream with a header row."""
    lines = _lines(stream, name, progress)
    numbers: list[int] = [0]

    def texts() -> Iterator[str]:
        for number, text in lines:
            numbers[0] = number
            yield text

    rows = csv.reader(texts(), strict=True)
    header: list[str] | None = None
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
            continue
        if len(row) != len(header):
            raise InputError(place, f"expected {len(header)} fields, got {len(row)}")
        value = dict(zip(header, row))
        yield Record(start, _keys(value, fields, name, start), value)
    if header is None:
        raise InputError(f"{name}:1", "no header row")
