"""The core's log records in Python's :mod:`logging`.

The execution core writes a few records of its own: audit rule warnings and
early warnings, the state machine's transitions and its warning about a
boolean ``"on"`` key, and on request a record per process run. Importing
:mod:`kestu` connects them to :mod:`logging`:

======================  ===========  ==========================================
logger                  level        records
======================  ===========  ==========================================
``kestu_core.audit``    ``WARNING``  a tripped rule of level ``"W"``; early
                                     warnings below a rule's ``max_threshold``
``kestu_core.fsm``      ``INFO``     each transition of a ``StateMachine``
``kestu_core.fsm``      ``WARNING``  a state whose ``"on"`` key is a boolean
``kestu_core.engine``   ``DEBUG``    each process run: the process, what
                                     became of it, its duration, what it wrote
======================  ===========  ==========================================

The message is the core's text, exactly. As Python libraries do, kestu only
adds a :class:`logging.NullHandler` to the ``kestu_core`` logger and sets no
level and no other handler, so the application decides what is shown::

    import logging
    logging.basicConfig(level=logging.INFO)   # audit warnings and transitions

A record is dropped natively, before its text is built, when its logger is not
enabled for its level, so a quiet logger costs next to nothing. A handler that
raises an :class:`Exception` is reported the way :mod:`logging` reports handler
errors, and the core operation that emitted the record goes on; a handler that
calls back into the engine or machine that emitted the record gets the core's
``RuntimeError`` (``"Already borrowed"``), reported the same way. A
``KeyboardInterrupt`` or ``SystemExit`` from a handler leaves the core call
that emitted the record, in the same thread, once that call has completed.

:func:`disconnect` stops the delivery (nothing is formatted any more) and
:func:`connect` restores it.
"""

from __future__ import annotations

import atexit
import logging
from typing import Callable

from . import _logbridge
from ._checks import user_stacklevel

__all__ = ["AUDIT_LOGGER", "ENGINE_LOGGER", "FSM_LOGGER", "connect", "disconnect", "is_connected"]

AUDIT_LOGGER = "kestu_core.audit"
ENGINE_LOGGER = "kestu_core.engine"
FSM_LOGGER = "kestu_core.fsm"

_core_logger = logging.getLogger("kestu_core")
if not any(isinstance(h, logging.NullHandler) for h in _core_logger.handlers):
    _core_logger.addHandler(logging.NullHandler())
# Reports errors of the application's handlers; it never emits anything itself.
_reporter = logging.NullHandler()


def _logger_for(target: str) -> tuple[logging.Logger, dict[int, bool] | None]:
    """The logger of a core target ("kestu_core::fsm" -> "kestu_core.fsm"), and its level cache.

    The bridge reads the cache natively to drop unwanted records without a call; it is
    only offered when ``isEnabledFor`` is logging's own, whose answers it holds.
    """
    logger = logging.getLogger(target.replace("::", "."))
    cache = getattr(logger, "_cache", None)
    if type(logger).isEnabledFor is not logging.Logger.isEnabledFor or type(cache) is not dict:
        cache = None
    return logger, cache


def _emit(logger: logging.Logger, levelno: int, text: str) -> None:
    try:
        # The record points at the user's code that called into the core.
        logger.log(levelno, text, stacklevel=user_stacklevel())
    except Exception:
        # Logger.handle lets a handler's exception through; report it as
        # Handler.handleError does, since the core operation must go on.
        _reporter.handleError(logging.LogRecord(logger.name, levelno, "(unknown file)", 0, text, (), None))


_watched: list[Callable[[], None]] = []  # logging's own _clear_cache, once wrapped


def _watch_levels() -> None:
    """Tell the core whenever logging clears its level caches.

    Every change of a level (``setLevel``, ``logging.disable``) clears them; the
    core keeps answers of its own for the records it asks about on every run.
    """
    manager = logging.Logger.manager
    if _watched:
        return
    original: Callable[[], None] = getattr(manager, "_clear_cache")

    def _clear_cache() -> None:
        original()
        try:
            _logbridge.levels_changed()
        except Exception:  # no core in this interpreter: it keeps no answers either
            pass

    _watched.append(original)
    setattr(manager, "_clear_cache", _clear_cache)


def connect() -> None:
    """Deliver the core's records to :mod:`logging` (done when :mod:`kestu` is imported)."""
    _logbridge.connect(_logger_for, _emit)
    _watch_levels()


def disconnect() -> None:
    """Stop delivering the core's records; they are then neither formatted nor logged."""
    _logbridge.disconnect()


def is_connected() -> bool:
    """Whether the core's records currently reach :mod:`logging`."""
    return _logbridge.is_connected()


# Records emitted while the interpreter shuts down must not reach a logging
# module that is being torn down.
atexit.register(disconnect)
