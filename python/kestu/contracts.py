"""Process contracts: which context paths a process reads and writes, and which errors it may raise.

Paths
=====

A path names a place in the context, spelled as the guard spells the places a
process reaches, and is compared with them as text, byte for byte:

* attribute names joined by ``.``: ``order.total``;
* an item whose key is an integer, a list element above all, as ``[N]``:
  ``order.lines[2]``, and ``[0]`` for an item of the context itself;
* an item under any other key, read through the guard, as ``.`` and the key's
  text: ``ctx.order["status"]`` is ``order.status``, and ``ctx["status"]`` is
  ``status`` (written, it is ``.status``);
* inside a dict the process got from the context, a key made only of letters,
  digits and ``_`` as ``.key``, any other key as ``[key text]``:
  ``stock.widget``, ``stock[gift wrap]``.

A declared path covers itself, everything below it (``order`` covers
``order.total`` and ``order[0]``, split only at a ``.`` or ``[``) and the paths
above it (``order.total`` lets a process reach ``order`` on its way).

Since a key's text can hold anything, no path is refused. The shapes that are
almost always typos (an empty segment as in ``a..b``, a leading or trailing
``.``, surrounding whitespace, an unbalanced ``[`` or ``]``, a ``/``, the same
path twice in one list) give a :class:`ContractWarning` where the contract is
written; the path stays declared as written. Filter the category to silence it.

So does a path the guard can never reach: ``lines[0].amount`` alone, since
the guard reads ``lines`` first and nothing declared covers it. And
:func:`process` warns about an ``errors`` name that is no exception class
visible from the process's module (or the builtins), since errors are matched
by ``type(exc).__name__`` alone.
"""

from __future__ import annotations

import builtins
import sys
import warnings
from types import ModuleType
from typing import Any, Callable, Iterable, TypeVar, overload

from ._checks import user_stacklevel
from ._frozen import frozen

__all__ = ["Contract", "ContractViolationError", "ContractWarning", "contract_of", "process"]

F = TypeVar("F", bound=Callable[..., Any])


class ContractViolationError(Exception):
    """A process touched context outside its contract or raised an undeclared error."""


class ContractWarning(UserWarning):
    """A declaration looks wrong: a mistyped or unreachable path, or an unknown error name.

    The contract is kept as written; the warning only says so.
    """


def _path_problems(path: str) -> list[str]:
    problems = []
    if path != path.strip():
        problems.append("surrounding whitespace")
    body = path.strip()
    if body.startswith("."):
        problems.append("a leading '.'")
    if body.endswith("."):
        problems.append("a trailing '.'")
    # Brackets hold key text, where dots and slashes are ordinary characters.
    depth, outside = 0, []
    for char in body:
        if char == "[":
            depth += 1
        elif char == "]":
            if depth == 0:
                problems.append("an unbalanced ']'")
                break
            depth -= 1
        elif depth == 0:
            outside.append(char)
    else:
        if depth:
            problems.append("an unbalanced '['")
    plain = "".join(outside)
    if ".." in plain:
        problems.append("an empty segment ('..')")
    if "/" in plain:
        problems.append("a '/', where names are joined with '.'")
    return problems


def _warn_paths(arg: str, paths: tuple[str, ...]) -> set[str]:
    """Warn about paths that look mistyped or repeat; returns the mistyped ones."""
    first: dict[str, int] = {}
    mistyped: set[str] = set()
    for i, path in enumerate(paths):
        problems = _path_problems(path)
        if problems:
            mistyped.add(path)
        if path in first:
            problems.append(f"the same path as {arg}[{first[path]}]")
        first.setdefault(path, i)
        if problems:
            warnings.warn(
                f"{arg}[{i}] {path!r} looks wrong ({'; '.join(problems)}); it is declared as written",
                ContractWarning,
                stacklevel=user_stacklevel(),
            )
    return mistyped


def _covers(declared: str, path: str) -> bool:
    """Whether the guard lets a declared path reach ``path`` (the three rules above)."""
    # By lengths first: no new strings, as it runs for every pair the checker compares.
    if len(declared) == len(path):
        return declared == path
    if len(declared) > len(path):
        return declared[len(path)] == "." and declared.startswith(path)
    return path[len(declared)] in ".[" and path.startswith(declared)


def _unreached(path: str, declared: tuple[str, ...]) -> str | None:
    """The first container the guard must read on the way to ``path`` and may not, if any."""
    depth = 0
    for i, char in enumerate(path):
        if char == "[":
            if depth == 0 and i > 0 and not any(_covers(d, path[:i]) for d in declared):
                return path[:i]
            depth += 1
        elif char == "]" and depth:
            depth -= 1
    return None


def _warn_unreachable(inputs: tuple[str, ...], outputs: tuple[str, ...], mistyped: set[str]) -> None:
    declared = inputs + outputs
    for arg, paths in (("inputs", inputs), ("outputs", outputs)):
        for i, path in enumerate(paths):
            # A path that looks mistyped has had its warning already.
            container = None if path in mistyped else _unreached(path, declared)
            if container is not None:
                warnings.warn(
                    f"{arg}[{i}] {path!r} can never be reached: the guard reads {container!r} on the way, "
                    f"which nothing declared covers (a path is reachable from below only across a '.', "
                    f"not a '['); declare {container!r}",
                    ContractWarning,
                    stacklevel=user_stacklevel(),
                )


def _is_exception_class(value: object) -> bool:
    # type(value), not isinstance: a global's own __class__ (a lazy proxy) is never asked.
    return issubclass(type(value), type) and issubclass(value, BaseException)  # type: ignore[arg-type]


def _exception_names(values: Iterable[object]) -> set[str]:
    return {v.__name__ for v in values if _is_exception_class(v)}  # type: ignore[attr-defined]


def _warn_errors(fn: object, errors: tuple[str, ...]) -> None:
    """Warn about declared error names that no exception class visible from ``fn`` has."""
    if not errors:
        return
    scope = getattr(fn, "__globals__", None)
    module = getattr(fn, "__module__", None)
    if not isinstance(scope, dict):
        scope = getattr(sys.modules.get(module or ""), "__dict__", None)
    if not isinstance(scope, dict):
        return
    # The usual case, without a scan: each name is a class bound under its own name.
    if all(
        _is_exception_class(v) and v.__name__ == name  # type: ignore[union-attr]
        for name in errors
        for v in (scope.get(name, vars(builtins).get(name)),)
    ):
        return
    values = list(scope.values())
    for cell in getattr(fn, "__closure__", None) or ():
        try:
            values.append(cell.cell_contents)
        except ValueError:  # a cell not filled yet
            pass
    values += vars(builtins).values()
    visible = _exception_names(values)
    if all(name in visible for name in errors):
        return
    # One level into imported modules: json.JSONDecodeError is matched as 'JSONDecodeError'.
    for value in values:
        if issubclass(type(value), ModuleType):
            try:
                visible |= _exception_names(list(vars(value).values()))
            except Exception:  # a module object of the user's own kind: not looked into
                pass
    from ._checks import suggest

    for i, name in enumerate(errors):
        if name not in visible:
            hint = suggest(name, sorted(visible)) or "; filter ContractWarning if it is raised from elsewhere"
            warnings.warn(
                f"errors[{i}] {name!r} names no exception class visible from module {module!r} or the builtins "
                f"(errors are matched by class name){hint}",
                ContractWarning,
                stacklevel=user_stacklevel(),
            )


def _names(arg: str, value: Iterable[str], *, class_names: bool = False) -> tuple[str, ...]:
    # A lone string is iterable too; without this check "order" would become ("o", "r", ...).
    if isinstance(value, (str, bytes, bytearray)):
        raise TypeError(
            f"{arg} must be a sequence of names, not a single {type(value).__name__}; "
            f"write {arg}=[{value!r}]"
        )
    try:
        items = tuple(value)
    except TypeError:
        raise TypeError(
            f"{arg} must be an iterable of str, got {type(value).__name__}"
        ) from None
    for i, item in enumerate(items):
        if not isinstance(item, str):
            hint = ""
            if class_names and isinstance(item, type):
                hint = f"; errors are matched by class name, write {item.__name__!r}"
            raise TypeError(
                f"{arg}[{i}] must be str, got {type(item).__name__} ({item!r}){hint}"
            )
        if not item:
            raise ValueError(f"{arg}[{i}] is an empty name")
        # Matching uses type(exc).__name__ only, so a dotted name could never match.
        if class_names and not item.isidentifier():
            raise ValueError(
                f"{arg}[{i}] {item!r} is not a bare class name; "
                f"errors are matched by type(exc).__name__ alone"
            )
    return items


@frozen(init=False)
class Contract:
    """What a process may read (inputs), write (outputs) and raise (errors)."""

    __slots__ = ("inputs", "outputs", "errors")
    inputs: tuple[str, ...]
    outputs: tuple[str, ...]
    errors: tuple[str, ...]

    def __init__(self, inputs: Iterable[str] = (), outputs: Iterable[str] = (), errors: Iterable[str] = ()) -> None:
        # Checked here so a Contract built directly is as safe as one built by @process.
        object.__setattr__(self, "inputs", _names("inputs", inputs))
        object.__setattr__(self, "outputs", _names("outputs", outputs))
        object.__setattr__(self, "errors", _names("errors", errors, class_names=True))
        mistyped = _warn_paths("inputs", self.inputs) | _warn_paths("outputs", self.outputs)
        _warn_unreachable(self.inputs, self.outputs, mistyped)


# No overload takes a function: a bare @process is a type error as well as a
# run-time one.
@overload
def process(
    *, inputs: Iterable[str] = (), outputs: Iterable[str] = (), errors: Iterable[str] = ()
) -> Callable[[F], F]: ...
@overload
def process(
    func: None, /, *, inputs: Iterable[str] = (), outputs: Iterable[str] = (), errors: Iterable[str] = ()
) -> Callable[[F], F]: ...
def process(
    func: object = None,
    /,
    *,
    inputs: Iterable[str] = (),
    outputs: Iterable[str] = (),
    errors: Iterable[str] = (),
) -> Callable[[F], F]:
    """Attach a :class:`Contract` to a process function, returning the function itself.

    >>> @process(inputs=["order"], outputs=["order.total"], errors=["ValueError"])
    ... def price(ctx): ...
    """
    # Bare @process is rejected: it would silently declare an empty contract.
    if func is not None:
        raise TypeError(
            "process must be called: use @process(inputs=[...], outputs=[...]), "
            "or @process() for a process that touches no context"
        )
    contract = Contract(inputs, outputs, errors)

    def decorate(fn: F) -> F:
        if not callable(fn):
            raise TypeError(f"@process can only decorate a callable, got {type(fn).__name__}")
        try:
            fn._pop_contract = contract  # type: ignore[attr-defined]
        except AttributeError:
            raise TypeError(
                f"cannot attach a contract to {fn!r}; wrap it in a Python function"
            ) from None
        _warn_errors(fn, contract.errors)
        return fn

    return decorate


def contract_of(fn: object) -> Contract | None:
    """The :class:`Contract` that :func:`process` attached to ``fn``, or ``None`` if it has none."""
    contract = getattr(fn, "_pop_contract", None)
    if contract is None or isinstance(contract, Contract):
        return contract
    # Set by hand: the engine may accept it, but it is not a Contract to return.
    raise TypeError(f"{fn!r} carries a contract of type {type(contract).__name__}, not a kestu.Contract")
