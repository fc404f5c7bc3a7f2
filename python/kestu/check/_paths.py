"""Context paths as the guard spells them, and the guard's covering rules.

An access is a tuple of steps from the context: an attribute (or an item
under a ``str`` key, which the guard reads by the attribute rule), an item
under an integer key, an item under any other key (by its ``str()``), or a
key the checker cannot know before the run (by its source text).
"""

from __future__ import annotations

from typing import Iterable, Literal, Union

# The covering rule and the way down are the ones @process warns with.
from ..contracts import _covers as covers_one, _unreached

Kind = Literal["name", "index", "key", "dynamic"]
Step = tuple[Kind, Union[str, int]]
Path = tuple[Step, ...]
How = Literal["equal", "inside", "ancestor"]

# The guard reads an integer key with PyLong_AsLong: outside a C long it
# falls back to the key's text.
_LONG_MIN, _LONG_MAX = -(2**63), 2**63 - 1


def key_step(key: object) -> Step:
    """The step of ``guard[key]`` for a key known before the run."""
    if isinstance(key, str):
        return ("name", key)
    if isinstance(key, int) and _LONG_MIN <= key <= _LONG_MAX:  # bool too: True is [1]
        return ("index", int(key))
    return ("key", str(key))


def known(path: Path) -> int:
    """How many leading steps of ``path`` are known before the run."""
    for i, (kind, _) in enumerate(path):
        if kind == "dynamic":
            return i
    return len(path)


def spell(path: Path, write: bool = False) -> str:
    """The text the guard checks for ``path`` (every step known).

    At the top an item under a key that is neither ``str`` nor an integer is
    read as its bare text and written with a leading ``.``.
    """
    out = []
    last = len(path) - 1
    for i, (kind, value) in enumerate(path):
        if kind == "index":
            out.append(f"[{value}]")
        elif kind == "name":
            out.append(f".{value}" if i else str(value))
        elif kind == "key":
            out.append(f".{value}" if i or (write and i == last) else str(value))
        else:
            out.append(f"[{value}]")
    return "".join(out)


def covers(declared: Iterable[str], path: str) -> bool:
    return any(covers_one(d, path) for d in declared)


def how_covered(declared: Iterable[str], path: str) -> tuple[str, How] | None:
    """The declared path that covers ``path`` and by which rule, preferring equal, then inside."""
    ancestor: str | None = None
    inside: str | None = None
    for d in declared:
        if d == path:
            return d, "equal"
        if len(d) < len(path):
            if inside is None and path[len(d)] in ".[" and path.startswith(d):
                inside = d
        elif len(d) > len(path) and ancestor is None and d[len(path)] == "." and d.startswith(path):
            ancestor = d
    if inside is not None:
        return inside, "inside"
    if ancestor is not None:
        return ancestor, "ancestor"
    return None


def below(declared: Iterable[str], prefix: str) -> list[str]:
    """Declared paths that a run-time key under ``prefix`` may reach."""
    if not prefix:
        return list(declared)
    return [d for d in declared if len(d) > len(prefix) and d[len(prefix)] in ".[" and d.startswith(prefix)]


def holds(declared: Iterable[str], prefix: str) -> bool:
    """Whether everything under ``prefix`` is covered, whatever the key."""
    return bool(prefix) and any(
        d == prefix or (len(d) < len(prefix) and prefix[len(d)] in ".[" and prefix.startswith(d)) for d in declared
    )


def unreachable_at(path: str, declared: Iterable[str]) -> str | None:
    """The first place on the way to ``path`` that no declared path lets a process read.

    The way down is read step by step; a step that ends before a ``.`` is
    covered by ``path`` itself (an ancestor), one that ends before a ``[`` is
    not, and needs another declared path. A ``[`` inside a key is no step.
    """
    return _unreached(path, tuple(declared))


def suggested(path: Path) -> Path:
    """The shortest start of ``path`` that a contract can name and a process can reach.

    A declared path is reached only across ``.``: an index below the top is
    covered by declaring its container, and a run-time key likewise.
    """
    for i, (kind, _) in enumerate(path):
        if kind == "dynamic" or (kind == "index" and i):
            return path[:i]
    return path
