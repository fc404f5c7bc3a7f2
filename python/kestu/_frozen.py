"""Frozen classes with slots, made without the dataclasses module.

Importing :mod:`dataclasses` costs more than the rest of the package, so each
frozen class of kestu writes its ``__slots__`` (the core reads the fields
straight from them) and its checking ``__init__`` itself, and :func:`frozen`
gives it what a frozen dataclass with slots has: ``repr``, ``==`` and ``hash``
over the fields, ``__match_args__``, pickling and :func:`copy.replace`,
:class:`dataclasses.FrozenInstanceError` on assignment, and, made on first use,
the fields that :func:`dataclasses.fields`, :func:`~dataclasses.replace` and
:func:`~dataclasses.asdict` read.
"""

from __future__ import annotations

from _thread import get_ident
from operator import attrgetter
from typing import Any, Callable, TypeVar, dataclass_transform

T = TypeVar("T", bound=type)

_repr_running: set[tuple[int, int]] = set()


def _getter(names: tuple[str, ...]) -> Callable[[object], tuple[Any, ...]]:
    """The named fields of an object, always as a tuple."""
    if len(names) > 1:
        return attrgetter(*names)
    if names:
        one = attrgetter(names[0])
        return lambda obj: (one(obj),)
    return lambda obj: ()


def _frozen_error(text: str) -> AttributeError:
    from dataclasses import FrozenInstanceError  # only on this error path

    return FrozenInstanceError(text)


class _DataclassAttribute:
    """``__dataclass_fields__`` or ``__dataclass_params__``, made by the dataclasses module when first read."""

    def __init__(self, name: str, view: Callable[[], type]) -> None:
        self.name, self.view = name, view

    def __get__(self, obj: object, owner: type | None = None) -> Any:
        return getattr(self.view(), self.name)


def _dataclass_view(cls: type, init: bool, unhashed: tuple[str, ...]) -> type:
    """A dataclass declared as ``cls`` is: the same fields, types, defaults and options."""
    import dataclasses
    import inspect

    names: tuple[str, ...] = vars(cls)["__slots__"]
    params = inspect.signature(vars(cls)["__init__"]).parameters
    namespace: dict[str, Any] = {"__module__": cls.__module__, "__qualname__": cls.__qualname__,
                                 "__annotations__": {name: cls.__annotations__[name] for name in names}}
    for name in names:
        # With init=False the defaults are __init__'s alone, not the fields'.
        default = params[name].default if init else inspect.Parameter.empty
        namespace[name] = dataclasses.field(
            default=dataclasses.MISSING if default is inspect.Parameter.empty else default,
            hash=False if name in unhashed else None,
            kw_only=params[name].kind is inspect.Parameter.KEYWORD_ONLY,
        )
    return dataclasses.dataclass(frozen=True, slots=True, init=init)(type(cls.__name__, (), namespace))


@dataclass_transform(frozen_default=True)
def frozen(*, init: bool = True, unhashed: tuple[str, ...] = ()) -> Callable[[T], T]:
    """Make a class with ``__slots__`` and an ``__init__`` of its own behave as a frozen dataclass.

    The fields are the slots, in order; ``__match_args__`` are ``__init__``'s
    positional parameters. ``unhashed`` fields are left out of the hash (a dict
    cannot be hashed). ``init`` is the dataclass option the class was declared
    with: with ``init=False`` its fields have no defaults of their own.
    """

    def make(cls: T) -> T:
        names: tuple[str, ...] = vars(cls)["__slots__"]
        values = _getter(names)
        hashed = _getter(tuple(name for name in names if name not in unhashed))
        code = vars(cls)["__init__"].__code__

        def __repr__(self: object) -> str:
            key = id(self), get_ident()
            if key in _repr_running:
                return "..."
            _repr_running.add(key)
            try:
                fields = ", ".join(f"{name}={getattr(self, name)!r}" for name in names)
            finally:
                _repr_running.discard(key)
            return f"{self.__class__.__qualname__}({fields})"

        def __eq__(self: object, other: object) -> Any:
            if other.__class__ is self.__class__:
                return values(self) == values(other)
            return NotImplemented

        def __hash__(self: object) -> int:
            return hash(hashed(self))

        def __setattr__(self: object, name: str, value: object) -> None:
            if type(self) is cls or name in names:
                raise _frozen_error(f"cannot assign to field {name!r}")
            object.__setattr__(self, name, value)

        def __delattr__(self: object, name: str) -> None:
            if type(self) is cls or name in names:
                raise _frozen_error(f"cannot delete field {name!r}")
            object.__delattr__(self, name)

        def __getstate__(self: object) -> list[Any]:
            return list(values(self))

        def __setstate__(self: object, state: list[Any]) -> None:
            for name, value in zip(names, state):
                object.__setattr__(self, name, value)

        def __replace__(self: object, /, **changes: Any) -> object:
            return self.__class__(**{**dict(zip(names, values(self))), **changes})

        for method in (__repr__, __eq__, __hash__, __setattr__, __delattr__, __getstate__, __setstate__, __replace__):
            method.__qualname__ = f"{cls.__qualname__}.{method.__name__}"
            method.__module__ = cls.__module__
            method.__annotations__ = {}  # help() shows them as a dataclass's, without types
            setattr(cls, method.__name__, method)
        setattr(cls, "__match_args__", code.co_varnames[1:code.co_argcount])

        made: list[type] = []

        def view() -> type:
            if not made:
                made.append(_dataclass_view(cls, init, unhashed))
            return made[0]

        for attribute in ("__dataclass_fields__", "__dataclass_params__"):
            setattr(cls, attribute, _DataclassAttribute(attribute, view))
        return cls

    return make
