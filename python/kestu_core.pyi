"""Type information for the native core of kestu."""

from typing import final

__all__ = ["ContextZone"]

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
