"""The checker of scenario files: the TOML text, its guards and the checked reads of values.

``parse_document`` turns the text of a scenario into a TOML document after
refusing, before the parser sees it, a text so large or so deeply nested that
checking it would take long or much memory; ``read_text`` reads a file of at
most ``MAX_SCENARIO_BYTES``. ``Checker`` reads a value of the document as the
type and range a key needs and raises ``ScenarioError`` naming the key and its
line (``KeyLines`` finds the line of every key in the text).
"""

from __future__ import annotations

import json
import os
import re
import sys
from dataclasses import dataclass, field

from . import contracts as C

# bounds on the text itself, so that no file, however made, takes long or much memory to check
MAX_SCENARIO_BYTES = 1 << 18
MAX_NESTING = 32       # arrays, inline tables and tables within one another
MAX_KEY_PARTS = 64     # parts of one dotted key or table header
MAX_KEY_LENGTH = 128   # characters of one key
MAX_PARAMETER_SETS = 100_000


class ScenarioError(ValueError):
    """A scenario that cannot run: ``key`` is the dotted key, ``line`` its line
    (1-based; None when unknown), ``source`` the file."""

    def __init__(self, message: str, *, key: str | None = None, line: int | None = None,
                 source: str | None = None):
        self.key, self.line, self.source, self.reason = key, line, source, message
        where = ", ".join(p for p in (source, f"line {line}" if line else None) if p)
        text = f"{key}: {message}" if key else message
        super().__init__(f"{where}: {text}" if where else text)


# ------------------------------------------------------------------ key lines
_BARE = re.compile(r"[A-Za-z0-9_-]+")


class _KeyLines:
    """The line of every key, table header and array element of a TOML text.

    Paths are tuples of keys, with the index of an element for arrays and
    arrays of tables: the key ``count`` of the second ``[[release]]`` table is
    ("release", 1, "count"). The text must already be valid TOML."""

    def __init__(self, text: str):
        self.text = text
        self.pos = 0
        self.line = 1
        self.lines: dict = {}
        self.arrays: dict = {}  # path of an array of tables -> number of tables so far
        self._scan()

    def find(self, path: tuple) -> int | None:
        """The line of `path`, or of its longest prefix that has one."""
        path = tuple(path)
        while path:
            if path in self.lines:
                return self.lines[path]
            path = path[:-1]
        return None

    # -- scanning
    def _peek(self, n: int = 1) -> str:
        return self.text[self.pos:self.pos + n]

    def _advance(self, n: int = 1) -> None:
        self.line += self.text.count("\n", self.pos, self.pos + n)
        self.pos += n

    def _skip_blank(self, newlines: bool) -> None:
        while self.pos < len(self.text):
            c = self.text[self.pos]
            if c in " \t\r" or (newlines and c == "\n"):
                self._advance()
            elif c == "#":
                end = self.text.find("\n", self.pos)
                self._advance((len(self.text) if end < 0 else end) - self.pos)
            else:
                return

    def _record(self, path: tuple) -> None:
        self.lines.setdefault(path, self.line)

    def _scan(self) -> None:
        current: tuple = ()
        while True:
            self._skip_blank(newlines=True)
            if self.pos >= len(self.text):
                return
            if self._peek(2) == "[[":
                self._advance(2)
                keys = self._key("]")
                self._skip_blank(False)
                self._advance(2)
                base = self._resolve(keys[:-1]) + (keys[-1],)
                index = self.arrays.get(base, 0)
                self.arrays[base] = index + 1
                self._record(base)
                current = base + (index,)
                self._record(current)
            elif self._peek() == "[":
                self._advance()
                keys = self._key("]")
                self._skip_blank(False)
                self._advance()
                current = self._resolve(keys)
                self._record(current)
            else:
                keys = self._key("=")
                self._skip_blank(False)
                self._advance()  # '='
                path = current + keys
                for k in range(1, len(keys) + 1):
                    self._record(current + keys[:k])
                self._value(path)

    def _resolve(self, keys: tuple) -> tuple:
        """A header's keys with every array of tables replaced by its last table."""
        out: tuple = ()
        for key in keys:
            out += (key,)
            if out in self.arrays:
                out += (self.arrays[out] - 1,)
        return out

    def _key(self, stop: str) -> tuple:
        """A dotted key up to `stop` (not consumed)."""
        parts = []
        while True:
            self._skip_blank(False)
            c = self._peek()
            if c == '"':
                end = self.pos + 1
                while self.text[end] != '"':
                    end += 2 if self.text[end] == "\\" else 1
                raw = self.text[self.pos:end + 1]
                parts.append(json.loads(raw) if "\\" not in raw else _toml_string(raw))
                self._advance(end + 1 - self.pos)
            elif c == "'":
                end = self.text.index("'", self.pos + 1)
                parts.append(self.text[self.pos + 1:end])
                self._advance(end + 1 - self.pos)
            else:
                m = _BARE.match(self.text, self.pos)
                if not m:
                    raise ValueError("not a key")
                parts.append(m.group(0))
                self._advance(m.end() - self.pos)
            self._skip_blank(False)
            if self._peek() == ".":
                self._advance()
                continue
            if self._peek() == stop or self.text.startswith(stop, self.pos):
                return tuple(parts)
            raise ValueError("not a key")

    def _value(self, path: tuple) -> None:
        self._skip_blank(False)
        t = self.text
        if t.startswith('"""', self.pos) or t.startswith("'''", self.pos):
            quote = t[self.pos:self.pos + 3]
            end = self.pos + 3
            while True:
                end = t.index(quote, end)
                if quote == '"""' and _escaped(t, end):
                    end += 1
                    continue
                break
            while t.startswith(quote[0], end + 3):  # up to two quotes may close the content
                end += 1
            self._advance(end + 3 - self.pos)
        elif t.startswith('"', self.pos):
            end = self.pos + 1
            while t[end] != '"':
                end += 2 if t[end] == "\\" else 1
            self._advance(end + 1 - self.pos)
        elif t.startswith("'", self.pos):
            self._advance(t.index("'", self.pos + 1) + 1 - self.pos)
        elif t.startswith("[", self.pos):
            self._advance()
            index = 0
            while True:
                self._skip_blank(True)
                if self._peek() == "]":
                    self._advance()
                    return
                self._record(path + (index,))
                self._value(path + (index,))
                self._skip_blank(True)
                if self._peek() == ",":
                    self._advance()
                index += 1
        elif t.startswith("{", self.pos):
            self._advance()
            while True:
                self._skip_blank(False)
                if self._peek() == "}":
                    self._advance()
                    return
                keys = self._key("=")
                for k in range(1, len(keys) + 1):
                    self._record(path + keys[:k])
                self._skip_blank(False)
                self._advance()
                self._value(path + keys)
                self._skip_blank(False)
                if self._peek() == ",":
                    self._advance()
        else:
            m = re.compile(r"[^,\]}\n#]*").match(t, self.pos)
            self._advance(m.end() - self.pos)


def _escaped(text: str, pos: int) -> bool:
    n = 0
    while pos - 1 - n >= 0 and text[pos - 1 - n] == "\\":
        n += 1
    return n % 2 == 1


def _toml_string(raw: str) -> str:
    return _tomllib().loads(f"k = {raw}")["k"]


def _tomllib():
    if sys.version_info >= (3, 11):
        import tomllib

        return tomllib
    try:
        import tomli

        return tomli
    except ImportError as exc:  # pragma: no cover - Python 3.10 only
        raise ImportError("reading scenario files on Python 3.10 needs tomli: pip install tomli") from exc


def key_lines(text: str) -> _KeyLines | None:
    try:
        return _KeyLines(text)
    except (ValueError, IndexError):  # a construct the scanner does not know: no line numbers
        return None


# ------------------------------------------------------------------ guards
_KEY_PART = r"""(?:[A-Za-z0-9_-]+|"[^"\n]*"|'[^'\n]*')"""
_LONG_DOTTED_KEY = re.compile(rf"""(?<![A-Za-z0-9_"'-]){_KEY_PART}(?:[ \t]*\.[ \t]*{_KEY_PART}){{{MAX_KEY_PARTS},}}""")
_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\u202a-\u202e\u2066-\u2069]")


def _shown_key(path) -> str:
    text = dotted(path)
    text = _CONTROL.sub("?", text)
    return text if len(text) <= 80 else text[:77] + "..."


def _guard_text(text: str, source: str | None) -> None:
    """Refuse, before the TOML parser sees it, a text too large or with a
    dotted key of so many parts that parsing it takes long or much memory."""
    if len(text) > MAX_SCENARIO_BYTES:
        raise ScenarioError(f"the scenario is {len(text):,} characters long; a scenario file holds "
                            f"at most {MAX_SCENARIO_BYTES:,} bytes", source=source)
    m = _LONG_DOTTED_KEY.search(text)
    if m:
        line = text.count("\n", 0, m.start()) + 1
        raise ScenarioError(f"a dotted key of more than {MAX_KEY_PARTS} parts", line=line,
                            source=source)


def _guard_document(doc: dict, source: str | None) -> None:
    """Refuse values nested too deeply and keys too long or holding control
    characters (they could not be shown in a one-line message)."""
    stack = [(doc, 0, ())]
    while stack:
        node, depth, path = stack.pop()
        if depth > MAX_NESTING:
            raise ScenarioError(f"values are nested more than {MAX_NESTING} levels deep",
                                key=_shown_key(path[:4]) + "...", source=source)
        if isinstance(node, dict):
            for key, value in node.items():
                if len(key) > MAX_KEY_LENGTH:
                    raise ScenarioError(f"a key of {len(key):,} characters; keys have at most "
                                        f"{MAX_KEY_LENGTH}", key=_shown_key(path + (key,)), source=source)
                if _CONTROL.search(key):
                    raise ScenarioError("a key holds a control character (a line break, tab, ...)",
                                        key=_shown_key(path + (key,)), source=source)
                if isinstance(value, (dict, list)):
                    stack.append((value, depth + 1, path + (key,)))
        else:
            for k, value in enumerate(node):
                if isinstance(value, (dict, list)):
                    stack.append((value, depth + 1, path + (k,)))


def _guard_sweep_size(doc: dict, source: str | None) -> None:
    """Refuse a sweep of more parameter sets than a scenario may check."""
    sweep = doc.get("sweep")
    if not isinstance(sweep, dict):
        return
    n, stack = 1, [sweep]
    while stack:
        node = stack.pop()
        for value in node.values():
            if isinstance(value, dict):
                stack.append(value)
            elif isinstance(value, list):
                n *= max(len(value), 1)
    if n > MAX_PARAMETER_SETS:
        raise ScenarioError(f"the sweep makes {n:,} parameter sets; a scenario runs at most "
                            f"{MAX_PARAMETER_SETS:,} (split it, or sweep from Python with qorin.sweep)",
                            key="sweep", source=source)


# ------------------------------------------------------------------ checking
def dotted(path) -> str:
    return ".".join(str(p) for p in path)


def kind_of(value) -> str:
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, int):
        return "an integer"
    if isinstance(value, float):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, list):
        return "an array"
    if isinstance(value, dict):
        return "a table"
    return f"a {type(value).__name__}"


def show_value(value) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, str):
        return json.dumps(value)
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, list):
        return "[" + ", ".join(show_value(v) for v in value) + "]"
    if isinstance(value, dict):
        return "{" + ", ".join(f"{k} = {show_value(v)}" for k, v in value.items()) + "}"
    return str(value)


_fmt = C.fmt  # bounds and ranges are written as the Python checks write them


@dataclass
class Checker:
    source: str | None
    lines: _KeyLines | None
    overrides: dict = field(default_factory=dict)  # path -> (sweep key path, name, value number)
    point: str = ""  # the parameter set being checked, for messages

    def err(self, path, message: str):
        path = tuple(path)
        for k in range(len(path), 0, -1):
            hit = self.overrides.get(path[:k])
            if hit is not None:
                key_path, name, number, value = hit
                line = self.lines.find(key_path) if self.lines else None
                raise ScenarioError(f"value {number} ({show_value(value)}): {dotted(path)} {message}",
                                    key=dotted(key_path), line=line, source=self.source)
        line = self.lines.find(path) if self.lines else None
        suffix = f" (in the parameter set {self.point})" if self.point else ""
        raise ScenarioError(message + suffix, key=dotted(path) or None, line=line, source=self.source)

    # -- types
    def table(self, value, path, allowed, required=()) -> dict:
        if not isinstance(value, dict):
            self.err(path, f"must be a table, got {kind_of(value)}")
        for key in value:
            if key not in allowed:
                self.err(tuple(path) + (key,), "unknown key; allowed: " + ", ".join(allowed))
        for key in required:
            if key not in value:
                self.err(path, f"missing the required key {key!r}")
        return value

    def boolean(self, value, path) -> bool:
        if not isinstance(value, bool):
            self.err(path, f"must be true or false, got {kind_of(value)}")
        return value

    def string(self, value, path, choices=None) -> str:
        if not isinstance(value, str):
            self.err(path, f"must be a string, got {kind_of(value)}")
        if choices is not None and value not in choices:
            self.err(path, f"must be one of {', '.join(map(json.dumps, choices))}; got {json.dumps(value)}")
        return value

    def integer(self, value, path, lo=None, hi=None) -> int:
        if isinstance(value, bool) or not isinstance(value, int):
            self.err(path, f"must be an integer, got {kind_of(value)}")
        problem = C.integer_problem(value, lo, hi)
        if problem:
            self.err(path, problem)
        return value

    def number(self, value, path, lo=None, hi=None, *, rate=False) -> float:
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            self.err(path, f"must be a number, got {kind_of(value)}")
        v = float(value)
        if rate:
            if not 0.0 <= v <= 1.0:
                self.err(path, f"must be a rate in [0, 1], got {show_value(value)}")
            return v
        problem = C.number_problem(value, lo, hi)
        if problem:
            self.err(path, problem)
        return v

    def array(self, value, path, length=None) -> list:
        if not isinstance(value, list):
            self.err(path, f"must be an array, got {kind_of(value)}")
        if length is not None and len(value) != length:
            self.err(path, f"must hold {length} values, got {len(value)}")
        return value


_range = C.range_text


# ------------------------------------------------------------------ parsing
def parse_document(text: str, source: str | None) -> dict:
    """The TOML document of a scenario text, guarded (``ScenarioError`` naming the line)."""
    toml = _tomllib()
    _guard_text(text, source)
    try:
        doc = toml.loads(text)
    except toml.TOMLDecodeError as exc:
        m = re.search(r"\(at line (\d+), column \d+\)", str(exc))
        raise ScenarioError(f"not valid TOML: {exc}", line=int(m.group(1)) if m else None,
                            source=source) from None
    except RecursionError:
        raise ScenarioError(f"values are nested more than {MAX_NESTING} levels deep",
                            source=source) from None
    except ValueError as exc:  # a number the parser cannot convert (an integer of 5,000 digits)
        raise ScenarioError(f"not valid TOML: {exc}", source=source) from None
    _guard_document(doc, source)
    _guard_sweep_size(doc, source)
    return doc


def read_text(path) -> tuple:
    """(text, path) of the scenario file at `path`: UTF-8 of at most
    ``MAX_SCENARIO_BYTES`` (``ScenarioError`` otherwise)."""
    path = os.fspath(path)
    try:
        with open(path, "rb") as fh:
            raw = fh.read(MAX_SCENARIO_BYTES + 1)  # a device or pipe may never end
    except OSError as exc:
        raise ScenarioError(f"cannot read the scenario: {exc.strerror}", source=path) from None
    if len(raw) > MAX_SCENARIO_BYTES:
        raise ScenarioError(f"the file is too large; a scenario file holds at most "
                            f"{MAX_SCENARIO_BYTES:,} bytes", source=path)
    try:
        text = raw.decode("utf-8-sig")  # a byte-order mark some editors write is dropped
    except UnicodeDecodeError:
        raise ScenarioError("a scenario file must be UTF-8 text", source=path) from None
    return text, path
