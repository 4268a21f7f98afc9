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
import io
import os
import re
import stat
import sys
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
_INTEGER = re.compile(r"[ \t]*[+-]?[0-9]+[ \t]*")


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
    """The input format that the extension of *path* names, if any.  No
    byte of the file is read: a ``.json`` file's content is told from its
    first bytes as it is read (see :func:`open_records`)."""
    return _EXTENSIONS.get(os.path.splitext(path)[1].lower())


class _Replay(io.RawIOBase):
    """A stream that gives *head* (bytes already read) and then the rest of
    *stream*: sniffing a format this way loses no byte of a pipe."""

    def __init__(self, head: bytes, stream: IO[bytes]) -> None:
        self._head = memoryview(head)
        self._stream = stream

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        if self._head:
            n = min(len(buffer), len(self._head))
            buffer[:n] = self._head[:n]
            self._head = self._head[n:]
            return n
        data = self._stream.read(len(buffer))
        buffer[: len(data)] = data
        return len(data)


_SNIFF_LINE_LIMIT = 64 << 20  # a first line longer than this is no JSON line


def _sniff(stream: IO[bytes], fallback: str | None, fields: list[str]) -> tuple[str, IO[bytes]]:
    # The format of the stream, told from its first bytes, and a stream that
    # gives every byte again.  A top-level "[" is a JSON document; "{" too,
    # unless its first line is a whole object followed by more (JSON lines),
    # or is the only line and holds the key *fields* (one JSON line).
    # Anything else is *fallback*, or CSV (TSV when the first line has tabs
    # and no commas).
    buf = bytearray()
    first_at = -1  # where the first byte that is not white space lies
    newline = -1  # the first line feed after it
    while len(buf) <= _SNIFF_LINE_LIMIT:
        chunk = stream.read(_CHUNK)
        if not chunk:
            break
        searched = len(buf)
        buf += chunk
        if first_at < 0:
            skip = len(_BOM) if buf.startswith(_BOM) else 0
            rest = buf[skip:].lstrip(b" \t\r\n")
            if not rest:
                continue  # only white space so far
            first_at = len(buf) - len(rest)
            searched = first_at
            if rest[:1] != b"{":
                break
        if newline < 0:
            newline = buf.find(b"\n", searched)
        if newline >= 0 and buf[newline:].strip(b" \t\r\n"):
            break  # the first line is whole, and something follows it
    head = bytes(buf)
    body = head[len(_BOM) :] if head.startswith(_BOM) else head
    stripped = body.lstrip(b" \t\r\n")
    replay = io.BufferedReader(_Replay(head, stream), _CHUNK)
    first = stripped[:1]
    if first == b"[":
        return "json", replay
    if first == b"{":
        line, _, after = stripped.partition(b"\n")
        try:
            value = json.loads(line)
        except (ValueError, RecursionError):
            return "json", replay  # an object over several lines: one document
        if not isinstance(value, dict):
            return "json", replay
        if after.strip(b" \t\r\n"):
            return "jsonl", replay
        # One object on one line: a record when it has the key fields,
        # else a document (an object of records, or records under a field).
        one_record = "@name" not in fields and all(f in value for f in fields)
        return ("jsonl" if one_record else "json"), replay
    if fallback is not None:
        return fallback, replay
    first_line = stripped.partition(b"\n")[0]
    return ("tsv" if b"\t" in first_line and b"," not in first_line else "csv"), replay


def format_of_file(path: str, fmt: str | None) -> str | None:
    """The format of the regular file *path* as :func:`open_records` would
    tell it (*fmt* as given to it); *fmt* when the file cannot be read or is
    not a regular file (which must not be read twice)."""
    try:
        with open(path, "rb") as f:
            if not stat.S_ISREG(os.fstat(f.fileno()).st_mode):
                return fmt
            return _sniff(f, fmt, [])[0]
    except OSError:
        return fmt


def open_records(
    stream: IO[bytes],
    name: str,
    fmt: str | None,
    fields: list[str],
    progress: Callable[[int], object],
    *,
    delimiter: str | None = None,
    types: dict[str, str] | None = None,
    records_field: str | None = None,
) -> tuple[str, Iterator[Record]]:
    """The format of *stream* and its records.  *fmt* is the format given
    (``--format``) or named by the file's extension; None (standard input, a
    pipe, no known extension) and ``"json"`` are told from the first bytes,
    which are read once and given to the reader again: nothing is lost on a
    pipe.  *records_field*: the records are the array or object under that
    member of a top-level object (JSON only)."""
    if records_field is not None and fmt not in (None, "json"):
        raise InputError(name, f"--records applies to JSON input, not {fmt}")
    if records_field is not None:
        fmt = "json"
    elif fmt in (None, "json"):
        fmt, stream = _sniff(stream, fmt, fields)
    assert fmt is not None  # given, implied by records_field or sniffed: older mypy cannot see it
    if fmt in ("csv", "tsv"):
        sep = delimiter or ("\t" if fmt == "tsv" else ",")
        return fmt, read_csv(stream, name, fields, progress, sep, types)
    if types or delimiter is not None:
        raise InputError(name, f"--type and --delimiter apply to CSV and TSV input only, and this input is {fmt}")
    if fmt == "jsonl":
        if "@name" in fields:
            raise InputError(name, "--key @name needs a JSON object of records (member name: record), not JSON lines")
        return fmt, read_jsonl(stream, name, fields, progress)
    return fmt, read_json(stream, name, fields, progress, records_field)


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


def _fields_listed(value: dict[str, Any]) -> str:
    names = [repr(k) for k in list(value)[:20]]
    more = ", ..." if len(value) > 20 else ""
    return f"{', '.join(names)}{more}" if names else "none"


def _keys(
    value: dict[str, Any],
    fields: list[str],
    name: str,
    number: int,
    *,
    member: str | None = None,
    what: str | None = None,
    empty_ok: bool = True,
) -> tuple[str, ...]:
    # The record's keys, one per key field; "@name" is the member name of a
    # record in an object of records.  *what* names the record in errors.
    if len(fields) == 1:
        key = value.get(fields[0], _MISSING)
        if type(key) is str and (key or empty_ok):
            return (key,)
    place = f"{name}:{number}"
    prefix = f"{what}: " if what else ""
    keys: dict[str, None] = {}
    for field in fields:
        if field == "@name":
            if member is None:
                raise InputError(place, f"{prefix}--key @name needs a JSON object of records (member name: record)")
            keys[member] = None
            continue
        if field not in value:
            raise InputError(place, f"{prefix}missing key field {field!r} (the record has {_fields_listed(value)})")
        key = _key_of(value[field], field, place)
        if not key and not empty_ok:
            raise InputError(place, f"{prefix}key field {field!r} is empty")
        keys[key] = None
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
        except ValueError as exc:  # an integer beyond the conversion limit
            raise InputError(f"{name}:{number}", _invalid(exc)) from None
        except RecursionError:
            raise InputError(f"{name}:{number}", "invalid JSON: nested too deeply") from None
        if not isinstance(value, dict):
            raise InputError(f"{name}:{number}", f"expected a JSON object, got {_json_type(value)}")
        yield Record(number, _keys(value, fields, name, number), value)


def _decoded_chunks(stream: IO[bytes], name: str, progress: Callable[[int], object]) -> Iterator[str]:
    # The stream as text, chunk by chunk (a UTF-8 sequence cut by a chunk's
    # end is completed from the next); an invalid sequence is reported with
    # its line.
    decoder = codecs.getincrementaldecoder("utf-8")()
    line = 1
    first = True
    while True:
        data = stream.read(_CHUNK)
        progress(len(data))
        if first and data.startswith(_BOM):
            data = data[len(_BOM) :]
        first = False
        held = len(decoder.getstate()[0])  # bytes of a cut sequence, from the last chunk
        try:
            text = decoder.decode(data, final=not data)
        except UnicodeDecodeError as exc:
            before = data[: max(0, exc.start - held)]
            column = len(before) - (before.rfind(_NEWLINE) + 1)
            where = f"{name}:{line + before.count(_NEWLINE)}"
            raise InputError(where, f"invalid UTF-8 at byte {column + 1} of the line") from None
        line += data.count(_NEWLINE)
        if text:
            yield text
        if not data:
            return


def _incomplete(exc: json.JSONDecodeError, text: str) -> bool:
    # Whether decoding failed only because the text read so far ends inside
    # the value: a string runs on, or the failure is right at the end.
    return exc.msg.startswith("Unterminated string") or exc.pos >= len(text) - 64


def _invalid(exc: ValueError) -> str:
    # The text of a JSON value the json module refuses: a syntax error, or an
    # integer too long to convert (more than sys.get_int_max_str_digits()).
    if isinstance(exc, json.JSONDecodeError):
        return f"invalid JSON: {exc.msg}"
    if "digits" in str(exc):
        return f"invalid JSON: an integer of more than {sys.get_int_max_str_digits()} digits"
    return f"invalid JSON: {exc}"


class _Text:
    """A stream's decoded text, held in a window that moves forward: the
    position ``pos`` in ``buf``, with its line and byte offset."""

    def __init__(self, stream: IO[bytes], name: str, progress: Callable[[int], object]) -> None:
        self.name = name
        self._chunks = _decoded_chunks(stream, name, progress)
        self._decoder = json.JSONDecoder()
        self.buf = ""
        self.pos = 0
        self.line = 1
        self.byte = 0  # the byte offset of buf[pos] in the stream
        self._ascii = True  # whether buf is ASCII: then characters are bytes
        self._eof = False

    def _bytes(self, start: int, stop: int) -> int:
        if self._ascii:
            return stop - start
        return len(self.buf[start:stop].encode("utf-8", "surrogatepass"))

    def advance(self, to: int) -> None:
        self.line += self.buf.count("\n", self.pos, to)
        self.byte += self._bytes(self.pos, to)
        self.pos = to

    def more(self) -> bool:
        # Reads at least as much again as is held (so that a long value is
        # decoded a bounded number of times), dropping what was decoded.
        if self._eof:
            return False
        parts = [self.buf[self.pos :]]
        got = 0
        while got < max(_CHUNK, len(parts[0])):
            try:
                chunk = next(self._chunks)
            except StopIteration:
                self._eof = True
                break
            parts.append(chunk)
            got += len(chunk)
        self.buf = "".join(parts)
        self.pos = 0
        self._ascii = self.buf.isascii()
        return got > 0

    def peek(self) -> str:
        """The next character that is not white space ("" at the end),
        which is then at ``pos``."""
        while True:
            end = self.pos
            buf = self.buf
            while end < len(buf) and buf[end] in " \t\r\n":
                end += 1
            self.advance(end)
            if self.pos < len(self.buf):
                return self.buf[self.pos]
            if not self.more():
                return ""

    def here(self) -> str:
        return f"{self.name}:{self.line}"

    def value(self, what: str) -> Any:
        """Decodes the JSON value at ``pos`` and moves past it; InputError
        naming *what* ("element 3 (at byte 120)") when it is not valid."""
        line = self.line
        while True:
            try:
                value, end = self._decoder.raw_decode(self.buf, self.pos)
            except json.JSONDecodeError as exc:
                if _incomplete(exc, self.buf) and self.more():
                    continue  # the value goes on in the next chunk
                at = line + self.buf.count("\n", self.pos, exc.pos)
                raise InputError(f"{self.name}:{at}", f"{what}: {_invalid(exc)}") from None
            except ValueError as exc:  # an integer beyond the conversion limit
                raise InputError(f"{self.name}:{line}", f"{what}: {_invalid(exc)}") from None
            except RecursionError:
                raise InputError(f"{self.name}:{line}", f"{what}: invalid JSON: nested too deeply") from None
            if end == len(self.buf) and self.more():
                continue  # a number at the end may go on in the next chunk
            self.advance(end)
            return value

    def members(self, where: str) -> Iterator[tuple[int, str, int, int]]:
        """Walks the object whose ``{`` is at ``pos``: for each member, its
        index, name, line and byte offset, with ``pos`` at the member's value
        (which the caller must decode or skip before the next step)."""
        self.advance(self.pos + 1)
        index = 0
        if self.peek() == "}":
            self.advance(self.pos + 1)
            return
        while True:
            if self.peek() != '"':
                raise InputError(self.here(), f"invalid JSON: expected a member name in {where} (at byte {self.byte})")
            line, byte = self.line, self.byte
            member = self.value(f"member {index} of {where} (at byte {byte})")
            if self.peek() != ":":
                raise InputError(self.here(), f"invalid JSON: expected ':' after member {member!r} (at byte {self.byte})")
            self.advance(self.pos + 1)
            if self.peek() == "":
                raise InputError(self.here(), f"invalid JSON: {where} is not closed")
            yield index, member, line, byte
            index += 1
            if self.separator("}", f"member {member!r} of {where}"):
                return

    def elements(self, where: str) -> Iterator[tuple[int, int, int]]:
        """Walks the array whose ``[`` is at ``pos``: for each element, its
        index, line and byte offset, with ``pos`` at the element."""
        self.advance(self.pos + 1)
        index = 0
        if self.peek() == "]":
            self.advance(self.pos + 1)
            return
        while True:
            if self.peek() == "":
                raise InputError(self.here(), f"invalid JSON: {where} is not closed")
            yield index, self.line, self.byte
            index += 1
            if self.separator("]", f"element {index - 1} of {where}"):
                return

    def separator(self, close: str, after: str) -> bool:
        """Takes the ``,`` or the *close* bracket that follows an item (named
        by *after* in the error): True once the container is closed."""
        sep = self.peek()
        if sep not in (",", close):
            raise InputError(self.here(), f"invalid JSON: expected ',' or '{close}' after {after}")
        self.advance(self.pos + 1)
        return sep == close

    def end(self) -> None:
        if self.peek() != "":
            raise InputError(self.here(), f"invalid JSON: extra data after the top-level value (at byte {self.byte})")


def _found(text: _Text) -> str:
    # What the top-level value at pos is, for an error.
    c = text.peek()
    if c == "":
        return "nothing (the input is empty)"
    value = text.value("the top-level value")
    if isinstance(value, list):
        return f"an array of {len(value)} elements"
    return _json_type(value)


def _container_of(value: Any) -> str:
    if isinstance(value, list) and value and all(isinstance(v, dict) for v in value):
        return f"an array of {len(value)} objects"
    if isinstance(value, dict) and value and all(isinstance(v, dict) for v in value.values()):
        return f"an object of {len(value)} objects"
    return ""


def read_json(
    stream: IO[bytes],
    name: str,
    fields: list[str],
    progress: Callable[[int], object],
    records_field: str | None = None,
) -> Iterator[Record]:
    """The records of a stream holding one JSON document, read one record at
    a time (the document is never held in memory whole): an array of
    records, an object whose members are records (the member name is the
    key field ``@name``), or, with *records_field*, either of these as the
    value of that member of the top-level object."""
    text = _Text(stream, name, progress)
    c = text.peek()
    if records_field is not None:
        if c != "{":
            raise InputError(text.here(), f"--records {records_field}: expected a JSON object at the top level, found {_found(text)}")
        names: list[str] = []
        found = False
        for _, member, line, byte in text.members("the top-level object"):
            if member != records_field or found:
                names.append(member)
                text.value(f"member {member!r} (at byte {byte})")  # skipped
                continue
            found = True
            inner = text.peek()
            if inner not in ("[", "{"):
                value = text.value(f"member {member!r} (at byte {byte})")
                raise InputError(
                    f"{name}:{line}", f"--records {records_field}: expected an array or object of records, found {_json_type(value)}"
                )
            yield from _records_of(text, fields, f"member {member!r}")
        if not found:
            listed = ", ".join(repr(n) for n in names[:20]) + (", ..." if len(names) > 20 else "")
            raise InputError(f"{name}:1", f"--records {records_field}: the top-level object has no such member (it has {listed or 'none'})")
        text.end()
        return
    if c == "":
        raise InputError(text.here(), "expected a JSON array or object of records, but the input is empty")
    if c not in ("[", "{"):
        raise InputError(text.here(), f"expected a JSON array or object of records, found {_found(text)} at the top level")
    yield from _records_of(text, fields, None)
    text.end()


def _records_of(text: _Text, fields: list[str], inside: str | None) -> Iterator[Record]:
    # The records of the array or object at pos; *inside* names the member
    # that holds it (None: the top level).
    name = text.name
    if text.peek() == "[":
        if "@name" in fields:
            raise InputError(text.here(), "--key @name needs an object of records (member name: record), not an array")
        where = f"the array in {inside}" if inside else "the top-level array"
        for index, line, byte in text.elements(where):
            what = f"element {index} (at byte {byte})"
            value = text.value(what)
            if not isinstance(value, dict):
                raise InputError(f"{name}:{line}", f"{what}: expected a record (a JSON object), got {_json_type(value)}")
            yield Record(line, _keys(value, fields, name, line, what=what), value)
        return
    where = f"the object in {inside}" if inside else "the top-level object"
    for index, member, line, byte in text.members(where):
        what = f"member {member!r} (at byte {byte})"
        value = text.value(what)
        if not isinstance(value, dict):
            hint = ""
            if index == 0 and inside is None and (kind := _container_of(value)):
                hint = f"; it holds {kind}: give --records {member} to read those"
            raise InputError(
                f"{name}:{line}", f"{what}: expected a record (a JSON object), got {_json_type(value)}{hint}"
            )
        yield Record(line, _keys(value, fields, name, line, member=member, what=what), value)


def _lift_cell_limit() -> None:
    # The csv module refuses cells over 128 KiB by default; a cell is limited
    # by memory alone here.  (The setting is the process's: only ever raised.)
    limit = sys.maxsize
    while limit > csv.field_size_limit():
        try:
            csv.field_size_limit(limit)
            return
        except OverflowError:
            limit //= 2


def parse_type(spec: str) -> tuple[str, str]:
    """``COLUMN=TYPE`` as (column, type); ValueError naming what is wrong."""
    column, sep, kind = spec.rpartition("=")
    if not sep or not column:
        raise ValueError(f"--type takes COLUMN=TYPE, not {spec!r}")
    if kind not in TYPES:
        raise ValueError(f"--type {spec!r}: the type must be one of {', '.join(TYPES)}")
    return column, kind


def _shown(cell: str) -> str:
    # A cell in a message: its repr, cut short when long.
    return repr(cell) if len(cell) <= 80 else f"{cell[:60]!r}... ({len(cell):,} characters)"


def _typed(cell: str, column: str, kind: str, place: str) -> Any:
    # An empty cell of a typed column is null.
    if cell == "":
        return None
    if kind == "int":
        # ASCII digits only: int() would also take other scripts' digits and "1_000".
        if not _INTEGER.fullmatch(cell):
            raise InputError(place, f"column {column!r}: {_shown(cell)} is not an integer")
        try:
            return int(cell)
        except ValueError:  # beyond the conversion limit
            raise InputError(
                place, f"column {column!r}: an integer of more than {sys.get_int_max_str_digits()} digits"
            ) from None
    if kind == "float":
        if not cell.isascii() or "_" in cell:
            raise InputError(place, f"column {column!r}: {_shown(cell)} is not a number")
        try:
            return float(cell)
        except ValueError:
            raise InputError(place, f"column {column!r}: {_shown(cell)} is not a number") from None
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
    except ValueError as exc:  # an integer beyond the conversion limit
        raise InputError(place, f"column {column!r}: {_invalid(exc)}") from None
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

    _lift_cell_limit()
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
                if field == "@name":
                    raise InputError(place, "--key @name needs a JSON object of records (member name: record)")
                if field not in seen:
                    listed = ", ".join(repr(c) for c in header[:20]) + (", ..." if len(header) > 20 else "")
                    raise InputError(place, f"missing key field {field!r}: no such column in the header (it has {listed})")
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
        # An empty cell is no key: CSV cannot tell it from a missing value.
        yield Record(start, _keys(value, fields, name, start, empty_ok=False), value)
    if header is None:
        raise InputError(f"{name}:1", "no header row")
