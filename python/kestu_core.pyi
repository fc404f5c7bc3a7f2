"""Type information for the native core of kestu."""

from typing import Any, Self, TypeVar, final

_T = TypeVar("_T")

__all__ = ["Transaction", "ContextZone", "StateMachine"]

@final
class Transaction:
    def __init__(self) -> None: ...
    def log(
        self,
        path: str,
        op: str,
        value: Any = None,
        old_value: Any = None,
        target: Any = None,
        key: str | None = None,
    ) -> None: ...
    def get_shadow(self, original: _T, path: str | None = None) -> _T: ...
    def commit(self) -> None: ...
    def rollback(self) -> None: ...

@final
class ContextZone:
    Data: ContextZone
    Signal: ContextZone
    Meta: ContextZone
    Heavy: ContextZone
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: None  # type: ignore[assignment]

@final
class StateMachine:
    def __new__(cls, definition: object, start_state: str = ...) -> Self: ...
    @property
    def current_state(self) -> str: ...
    def get_current_state(self) -> str: ...
    def trigger(self, event: str) -> list[str]: ...
