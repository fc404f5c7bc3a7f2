"""Process contracts: which context paths a process reads and writes, and which errors it may raise."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable, Iterable, TypeVar, overload

__all__ = ["Contract", "ContractViolationError", "process"]

F = TypeVar("F", bound=Callable[..., Any])


class ContractViolationError(Exception):
    """A process touched context outside its contract or raised an undeclared error."""


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


@dataclass(frozen=True, slots=True)
class Contract:
    """What a process may read (inputs), write (outputs) and raise (errors)."""

    inputs: tuple[str, ...] = ()
    outputs: tuple[str, ...] = ()
    errors: tuple[str, ...] = ()

    def __post_init__(self) -> None:
        # Normalised here so a Contract built directly is as safe as one built by @process.
        object.__setattr__(self, "inputs", _names("inputs", self.inputs))
        object.__setattr__(self, "outputs", _names("outputs", self.outputs))
        object.__setattr__(self, "errors", _names("errors", self.errors, class_names=True))


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
        return fn

    return decorate
