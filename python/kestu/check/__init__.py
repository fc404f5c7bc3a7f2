"""Find contract mistakes in the source, before anything runs.

The checker reads a module's syntax tree (it imports nothing from it) and, for
each ``@process`` function, follows what the body does through its first
parameter, the guard: the paths it reads and writes, spelled as the guard
spells them and checked against ``inputs`` and ``outputs`` with the guard's
own covering rules; the classes it raises, against ``errors``; and the
declared paths the body never needs. Workflows and state machines written at
the top of the module with the builders are checked as well. What the
checker cannot follow is reported as ``unknown``, never taken as fine.

    >>> findings = check_source('''
    ... from kestu import process
    ... @process(inputs=["order"])
    ... def price(ctx):
    ...     ctx.order.total = 1
    ... ''')
    >>> print(findings[0])
    <string>:5:15: KC102 writes 'order.total', which no output covers

A line ending in ``# kestu: ignore[KC102]`` (or ``# kestu: ignore`` for every
code) keeps the finding of that code on that line quiet; an access whose
finding is kept quiet is left out of the suggested contract. Every code is
listed in :data:`CODES` and in ``docs/check.md``.
"""

from __future__ import annotations

import ast
import os
import re
import tokenize
from dataclasses import dataclass
from typing import Literal

from ._checker import Raw, Result, check_tree

__all__ = [
    "CODES",
    "Finding",
    "Severity",
    "Suggestion",
    "check_file",
    "check_source",
    "markdown_python",
    "suggest_file",
    "suggest_source",
]

Severity = Literal["error", "warning", "unknown"]

CODES: dict[str, tuple[Severity, str]] = {
    "KC001": ("error", "the source does not parse"),
    "KC101": ("error", "a read that no input or output covers"),
    "KC102": ("error", "a write that no output covers"),
    "KC103": ("error", "a raise of a class that is not in errors"),
    "KC104": ("error", "a delete through the guard, which always refuses"),
    "KC105": ("error", "a signature that cannot take what the engine passes"),
    "KC201": ("warning", "a declared path the body never uses"),
    "KC202": ("warning", "an output the body only reads"),
    "KC203": ("warning", "a declared path the guard can never reach"),
    "KC204": ("warning", "an errors name that is no exception class visible from the module"),
    "KC205": ("warning", "a declared path another declared path already covers"),
    "KC206": ("warning", "a private name read through the guard"),
    "KC207": ("warning", "an input rooted at the control plane"),
    "KC208": ("warning", "a declared path that looks mistyped"),
    "KC209": ("warning", "an access covered only as the ancestor of a declared path"),
    "KC301": ("error", "a workflow step that names no process the module registers"),
    "KC302": ("error", "a condition that is not an expression"),
    "KC303": ("warning", "a condition that uses a name it cannot see"),
    "KC304": ("warning", "a state that cannot be reached from the start state"),
    "KC305": ("warning", "a state with no way out to a final state"),
    "KC306": ("error", "a start state or transition target that is not defined"),
    "KC401": ("unknown", "the context goes where the checker cannot follow it"),
    "KC402": ("unknown", "an attribute name computed at run time"),
    "KC403": ("unknown", "a method of the context called"),
    "KC404": ("unknown", "a contract that is not known before the run"),
    "KC405": ("unknown", "a raise whose class is not known before the run"),
    "KC406": ("unknown", "a name that is different parts of the context on different ways"),
    "KC407": ("unknown", "a key known only at run time, under which only some keys are covered"),
    "KC408": ("unknown", "code nested too deeply for the checker to follow"),
}


@dataclass(frozen=True)
class Finding:
    """One finding: where (line and column from 1), its code, and what it says.

    ``path`` is the context path it is about, as the guard spells it, when
    there is one.
    """

    file: str
    line: int
    col: int
    code: str
    message: str
    path: str | None = None

    @property
    def severity(self) -> Severity:
        """The severity, "error" or "warning", that the code has (see CODES)."""
        return CODES[self.code][0]

    def __str__(self) -> str:
        return f"{self.file}:{self.line}:{self.col}: {self.code} {self.message}"

    def to_dict(self) -> dict[str, object]:
        """The finding as the JSON output gives it."""
        return {"file": self.file, "line": self.line, "col": self.col, "code": self.code,
                "severity": self.severity, "message": self.message, "path": self.path}


@dataclass(frozen=True)
class Suggestion:
    """The smallest contract that covers what a process's body does.

    ``complete`` is False when the checker could not follow all of it (see
    the process's unknown findings): the body may need more.
    """

    file: str
    line: int
    process: str
    inputs: tuple[str, ...]
    outputs: tuple[str, ...]
    errors: tuple[str, ...]
    complete: bool

    def decorator(self) -> str:
        """The ``@process(...)`` line that declares this contract."""
        def listed(items: tuple[str, ...]) -> str:
            return "[" + ", ".join(_quoted(i) for i in items) + "]"

        parts = [f"{name}={listed(items)}" for name, items in
                 (("inputs", self.inputs), ("outputs", self.outputs), ("errors", self.errors)) if items]
        return f"@process({', '.join(parts)})"

    def __str__(self) -> str:
        note = "  # incomplete: see the unknown findings" if not self.complete else ""
        return f"{self.file}:{self.line}: {self.process}: {self.decorator()}{note}"

    def to_dict(self) -> dict[str, object]:
        """The suggestion as the JSON output gives it."""
        return {"file": self.file, "line": self.line, "process": self.process, "inputs": list(self.inputs),
                "outputs": list(self.outputs), "errors": list(self.errors), "complete": self.complete}


def _quoted(text: str) -> str:
    # Double quotes, as code is usually written; repr() picks single ones.
    body = repr(text)[1:-1]
    if repr(text)[0] == "'":
        body = body.replace('"', '\\"').replace("\\'", "'")
    return f'"{body}"'


_IGNORE = re.compile(r"#\s*kestu:\s*ignore(?:\[([A-Za-z0-9_,\s]*)\])?(?!\w)")


Quiet = dict[int, "frozenset[str] | None"]  # line -> the codes kept quiet there (None: every code)


def _codes(match: re.Match[str]) -> frozenset[str] | None:
    codes = match.group(1)
    return None if codes is None else frozenset(c.strip() for c in codes.split(",") if c.strip())


def _suppressions(text: str) -> Quiet:
    quiet: Quiet = {}
    if "kestu:" not in text:
        return quiet
    for number, line in enumerate(text.splitlines(), 1):
        if "kestu:" in line:
            match = _IGNORE.search(line)
            if match:
                quiet[number] = _codes(match)
    return quiet


def _analyse(text: str, filename: str, quiet_too: Quiet | None = None) -> tuple[list[Finding], list[Suggestion]]:
    quiet = {**(quiet_too or {}), **_suppressions(text)}

    def suppressed(line: int, code: str) -> bool:
        codes = quiet.get(line, frozenset())
        return codes is None or code in codes

    try:
        # Not under the file's name: CPython would read the line for the
        # error's column from a file of that name, which may be another text.
        tree = ast.parse(text, "<kestu check>")
    except SyntaxError as exc:
        return [Finding(filename, exc.lineno or 1, exc.offset or 1, "KC001", f"the source does not parse: {exc.msg}")], []
    except (ValueError, MemoryError, RecursionError) as exc:  # a NUL byte; nesting too deep for the parser
        return [Finding(filename, 1, 1, "KC001", f"the source does not parse: {str(exc) or type(exc).__name__}")], []
    result: Result = check_tree(tree, suppressed)
    lines = text.splitlines()
    findings: list[Finding] = []
    seen: set[tuple[int, int, str, str]] = set()
    for raw in sorted(result.findings, key=lambda r: (r.line, r.col, r.code)):
        key = (raw.line, raw.col, raw.code, raw.message)
        if key in seen or suppressed(raw.line, raw.code):
            continue
        seen.add(key)
        findings.append(Finding(filename, raw.line, _column(lines, raw), raw.code, raw.message, raw.path))
    suggestions = [
        Suggestion(filename, p.line, p.process, tuple(p.inputs), tuple(p.outputs), tuple(p.errors), p.complete)
        for p in result.proposals
    ]
    return findings, suggestions


def _column(lines: list[str], raw: Raw) -> int:
    # The tree counts UTF-8 bytes; editors count characters, from 1.
    if 0 < raw.line <= len(lines):
        line = lines[raw.line - 1]
        if not line.isascii():
            return len(line.encode()[: raw.col].decode("utf-8", "replace")) + 1
    return raw.col + 1


def check_source(text: str, filename: str = "<string>") -> list[Finding]:
    """The findings for the Python source ``text``, in line order."""
    return _analyse(text, filename)[0]


def suggest_source(text: str, filename: str = "<string>") -> list[Suggestion]:
    """The smallest contract for each ``@process`` function of the Python source ``text``."""
    return _analyse(text, filename)[1]


_FENCE = re.compile(r"^```python[ \t]*\n(.*?)^```[ \t]*$", re.S | re.M)
_BLOCK_IGNORE = re.compile(r"<!--\s*kestu:\s*ignore(?:\[([A-Za-z0-9_,\s]*)\])?\s*-->\s*\Z")


def _markdown(text: str) -> tuple[str, Quiet]:
    out = ["" for _ in text.splitlines()]
    quiet: Quiet = {}
    for match in _FENCE.finditer(text):
        first = text.count("\n", 0, match.start(1))
        # An example that is wrong on purpose says so just above its fence.
        marker = _BLOCK_IGNORE.search(text[: match.start()].rstrip())
        for i, line in enumerate(match.group(1).splitlines()):
            out[first + i] = line
            if marker:
                quiet[first + i + 1] = _codes(marker)
    return "\n".join(out) + "\n", quiet


def markdown_python(text: str) -> str:
    """The Python examples of a Markdown text as one module, each on its own lines.

    Every other line is left empty, so line numbers are those of the Markdown
    file; the examples follow each other, as when a reader runs them in order.
    """
    return _markdown(text)[0]


def _file(path: str | os.PathLike[str]) -> tuple[list[Finding], list[Suggestion]]:
    name = os.fspath(path)
    try:
        if name.endswith(".md"):
            with open(name, encoding="utf-8") as file:
                text = file.read()
        else:
            with tokenize.open(name) as file:  # the encoding its coding line or BOM says
                text = file.read()
    except (SyntaxError, UnicodeDecodeError) as exc:  # a bad coding line, or bytes not in that encoding
        message = exc.msg if isinstance(exc, SyntaxError) else str(exc)
        return [Finding(name, 1, 1, "KC001", f"the source does not parse: {message}")], []
    if name.endswith(".md"):
        code, quiet = _markdown(text)
        return _analyse(code, name, quiet)
    return _analyse(text, name)


def check_file(path: str | os.PathLike[str]) -> list[Finding]:
    """The findings for a Python file, or for the Python examples of a Markdown (``.md``) file.

    In Markdown, ``<!-- kestu: ignore[CODE, ...] -->`` on the line above an
    example's fence keeps those codes quiet in that whole example.
    """
    return _file(path)[0]


def suggest_file(path: str | os.PathLike[str]) -> list[Suggestion]:
    """The smallest contracts for a Python file, or for the Python examples of a Markdown file."""
    return _file(path)[1]
