"""Small pieces shared by the package: names, suggestions, key sets, the user's frame."""

from __future__ import annotations

import os
import sys
from typing import Iterable

_PACKAGE = os.path.normcase(os.path.dirname(os.path.abspath(__file__))) + os.sep


def user_stacklevel() -> int:
    """The ``stacklevel``, for its caller's ``warnings.warn`` or ``Logger.log``, of the user's frame.

    That is the first frame outside this package: a warning or record made while
    ``Workflow.run`` or ``@process`` works for the user points at the user's line.
    """
    level, frame = 1, sys._getframe(1)
    while frame.f_back is not None and _in_package(frame.f_code.co_filename):
        level, frame = level + 1, frame.f_back
    return level


_IN_PACKAGE: dict[str, bool] = {}  # by a code object's file name: asked for every record a logger takes


def _in_package(filename: str) -> bool:
    inside = _IN_PACKAGE.get(filename)
    if inside is None:
        if len(_IN_PACKAGE) > 1024:
            _IN_PACKAGE.clear()
        inside = _IN_PACKAGE[filename] = os.path.normcase(os.path.abspath(filename)).startswith(_PACKAGE)
    return inside


def name(where: str, value: object) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{where} must be str, got {type(value).__name__} ({value!r})")
    if not value:
        raise ValueError(f"{where} is an empty name")
    return value


def suggest(word: object, choices: Iterable[str]) -> str:
    """"; did you mean 'x'?" for the closest choice, or nothing."""
    if not isinstance(word, str):
        return ""
    import difflib  # only when a suggestion is wanted: it is slow to import

    options = list(choices)
    folded = [c for c in options if c.lower() == word.lower()]
    close = folded or difflib.get_close_matches(word, options, n=1, cutoff=0.6)
    return f"; did you mean {close[0]!r}?" if close else ""


def quoted(names: Iterable[str]) -> str:
    return ", ".join(repr(n) for n in names)


def unknown_keys(where: str, raw: dict[object, object], known: tuple[str, ...], what: str) -> None:
    for key in raw:
        if key not in known:
            raise ValueError(
                f"{where}: unknown key {key!r} in {what}{suggest(key, known)} (known: {quoted(known)})"
            )
