from logging import Logger
from typing import Callable

def connect(
    logger_for: Callable[[str], tuple[Logger, dict[int, bool] | None]],
    emit: Callable[[Logger, int, str], None],
    /,
) -> None: ...
def disconnect() -> None: ...
def is_connected() -> bool: ...
