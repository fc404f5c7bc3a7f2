"""Audit recipes: per-process rules checked on a process's inputs and outputs."""

from __future__ import annotations

import math
import sys
from typing import TYPE_CHECKING, Iterable, Literal, Mapping, Union, get_args

from ._frozen import frozen

if TYPE_CHECKING:
    from dataclasses import KW_ONLY

__all__ = [
    "AuditBlockError",
    "AuditError",
    "AuditInterlockError",
    "AuditRecipe",
    "AuditRule",
    "AuditWarning",
    "CONDITIONS",
    "Condition",
    "LEVELS",
    "Level",
    "ProcessAudit",
]

_U32_MAX = 2**32 - 1

# Literal types, so that a checker catches a misspelt condition or level.
Condition = Literal["eq", "neq", "min", "max", "min_len", "max_len"]
Level = Literal["S", "A", "B", "W"]

CONDITIONS: tuple[Condition, ...] = get_args(Condition)

Operand = Union[str, int, float, None]


class AuditError(Exception):
    """Base of the errors raised when an audit rule trips.

    The message is the rule's. The engine also sets the tripped rule and what
    it read as attributes (``None`` on an error built by hand): the
    ``process`` and ``phase`` (``"input"`` or ``"output"``), the rule's
    ``target_field``, ``condition``, ``operand`` (its ``value``) and ``level``,
    the ``value`` it read (a dict, list or object the run copied is given as
    that copy) and the violation ``count`` that tripped it.
    """

    process: str | None = None
    phase: str | None = None
    target_field: str | None = None
    condition: str | None = None
    operand: Operand = None
    level: str | None = None
    value: object = None
    count: int | None = None


class AuditInterlockError(AuditError):
    """An interlock-level rule (S or A) tripped."""


class AuditBlockError(AuditError):
    """A block-level rule (B) tripped."""


class AuditWarning(UserWarning):
    """An audit rule's path could not be read, so the rule passed unchecked (once per rule and engine)."""


LEVELS: tuple[Level, ...] = get_args(Level)


def _nonempty_str(where: str, name: str, value: object) -> None:
    if not isinstance(value, str):
        raise TypeError(f"{where}: {name} must be str, got {type(value).__name__}")
    if not value:
        raise ValueError(f"{where}: {name} must not be empty")


def _u32(where: str, name: str, value: object) -> None:
    # bool is an int subclass, but True as a count is surely a mistake.
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"{where}: {name} must be int, got {type(value).__name__}")
    if not 0 <= value <= _U32_MAX:
        raise ValueError(f"{where}: {name} must be in 0..{_U32_MAX}, got {value}")


# Words people write for a level, by the level they mean.
_LEVEL_WORDS = {"WARN": "W", "WARNING": "W", "BLOCK": "B", "INTERLOCK": "S' or 'A", "STOP": "S' or 'A"}


def _check_level(where: str, level: object) -> None:
    if not isinstance(level, str):
        raise TypeError(f"{where}: level must be str, got {type(level).__name__}")
    if level not in LEVELS:
        # The core compares levels exactly: any other text would quietly mean "warn".
        known = ", ".join(repr(name) for name in LEVELS)
        key = level.strip().upper()
        meant = key if key in LEVELS else _LEVEL_WORDS.get(key)
        hint = f"; did you mean '{meant}'?" if meant else ""
        raise ValueError(f"{where}: level {level!r} is not one of {known}{hint}")


def _is_real(value: object) -> bool:
    if isinstance(value, (int, float)):
        return True
    import numbers  # only for other kinds of number (Fraction, NumPy's): not worth importing up front

    return isinstance(value, numbers.Real)


def _check_value(where: str, condition: str, value: object) -> None:
    kind = type(value).__name__
    if condition in ("eq", "neq"):
        if not isinstance(value, str):
            raise TypeError(f"{where}: condition {condition!r} needs a str value, got {kind}")
    elif condition in ("min", "max"):
        if not _is_real(value) or isinstance(value, bool):
            raise TypeError(f"{where}: condition {condition!r} needs a number value, got {kind}")
        # Every comparison with NaN is false, so the rule could never trip.
        if isinstance(value, float) and math.isnan(value):
            raise ValueError(f"{where}: condition {condition!r} value must not be NaN")
    else:
        if not isinstance(value, int) or isinstance(value, bool):
            raise TypeError(f"{where}: condition {condition!r} needs an int value, got {kind}")
        if not 0 <= value <= sys.maxsize:
            raise ValueError(
                f"{where}: condition {condition!r} value must be in 0..{sys.maxsize}, got {value}"
            )


@frozen()
class AuditRule:
    """One check on a context field.

    ``level`` is ``"S"`` or ``"A"`` (interlock: :class:`AuditInterlockError`), ``"B"``
    (block: :class:`AuditBlockError`) or ``"W"`` (warn: a ``WARNING`` record on the
    ``kestu_core.audit`` logger). The rule trips on its ``max_threshold``-th violation in
    a row; from the ``min_threshold``-th on, the violations before that are logged as
    early warnings.
    """

    # The core reads the eight fields side by side in the instance.
    __slots__ = ("target_field", "condition", "value", "level", "min_threshold", "max_threshold",
                 "reset_on_success", "message")
    target_field: str
    condition: Condition
    value: Operand
    if TYPE_CHECKING:
        _: KW_ONLY
    level: Level
    min_threshold: int
    max_threshold: int
    reset_on_success: bool
    message: str | None

    def __init__(
        self,
        target_field: str,
        condition: Condition,
        value: Operand = None,
        *,
        level: Level = "B",
        min_threshold: int = 0,
        max_threshold: int = 1,
        reset_on_success: bool = True,
        message: str | None = None,
    ) -> None:
        where = f"AuditRule({target_field!r}, {condition!r})"
        _nonempty_str(where, "target_field", target_field)
        if not isinstance(condition, str):
            raise TypeError(f"{where}: condition must be str, got {type(condition).__name__}")
        if condition not in CONDITIONS:
            raise ValueError(f"{where}: unknown condition {condition!r}; expected one of {', '.join(CONDITIONS)}")
        _check_value(where, condition, value)
        _check_level(where, level)
        _u32(where, "min_threshold", min_threshold)
        _u32(where, "max_threshold", max_threshold)
        if min_threshold > max_threshold:
            raise ValueError(
                f"{where}: min_threshold {min_threshold} is above max_threshold "
                f"{max_threshold}; the rule trips at max_threshold, so no early warning could come"
            )
        if not isinstance(reset_on_success, bool):
            raise TypeError(f"{where}: reset_on_success must be bool, got {type(reset_on_success).__name__}")
        if message is not None and not isinstance(message, str):
            raise TypeError(f"{where}: message must be str or None, got {type(message).__name__}")
        object.__setattr__(self, "target_field", target_field)
        object.__setattr__(self, "condition", condition)
        object.__setattr__(self, "value", value)
        object.__setattr__(self, "level", level)
        object.__setattr__(self, "min_threshold", min_threshold)
        object.__setattr__(self, "max_threshold", max_threshold)
        object.__setattr__(self, "reset_on_success", reset_on_success)
        object.__setattr__(self, "message", message)


def _rules(name: str, rules: Iterable[AuditRule]) -> tuple[AuditRule, ...]:
    try:
        items = tuple(rules)
    except TypeError:
        raise TypeError(
            f"{name} must be an iterable of AuditRule, got {type(rules).__name__}"
        ) from None
    for i, rule in enumerate(items):
        if not isinstance(rule, AuditRule):
            raise TypeError(f"{name}[{i}] must be AuditRule, got {type(rule).__name__}")
    return items


@frozen()
class ProcessAudit:
    """The rules checked before (inputs) and after (outputs) one process runs."""

    __slots__ = ("input_rules", "output_rules")
    input_rules: tuple[AuditRule, ...]
    output_rules: tuple[AuditRule, ...]

    def __init__(self, input_rules: tuple[AuditRule, ...] = (), output_rules: tuple[AuditRule, ...] = ()) -> None:
        object.__setattr__(self, "input_rules", _rules("input_rules", input_rules))
        object.__setattr__(self, "output_rules", _rules("output_rules", output_rules))


@frozen(unhashed=("definitions",))
class AuditRecipe:
    """Audit definitions keyed by process name."""

    __slots__ = ("definitions",)
    # A private copy, kept a plain dict because that is what the core reads.
    definitions: dict[str, ProcessAudit]

    def __init__(self, definitions: dict[str, ProcessAudit]) -> None:
        if not isinstance(definitions, Mapping):
            raise TypeError(
                f"definitions must be a mapping of process name to ProcessAudit, "
                f"got {type(definitions).__name__}"
            )
        defs = dict(definitions)
        for key, audit in defs.items():
            if not isinstance(key, str):
                raise TypeError(f"process name must be str, got {type(key).__name__} ({key!r})")
            if not key:
                raise ValueError("process name must not be empty")
            if not isinstance(audit, ProcessAudit):
                raise TypeError(
                    f"definitions[{key!r}] must be ProcessAudit, got {type(audit).__name__}"
                )
        object.__setattr__(self, "definitions", defs)
