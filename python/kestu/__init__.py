"""kestu: declare what each process reads, writes and may raise, and how it is audited.

The execution engine lives in the native ``kestu_core`` extension; this package
holds the declarations it consumes, checked builders for workflows and state
machines, and the bridge that delivers the core's log records to :mod:`logging`
(connected on import; see :mod:`kestu.logging`).
"""

from typing import TYPE_CHECKING

from . import _logbridge, logging
from .audit import (
    AuditBlockError,
    AuditError,
    AuditInterlockError,
    AuditRecipe,
    AuditRule,
    AuditWarning,
    ProcessAudit,
)
from .contracts import Contract, ContractViolationError, ContractWarning, contract_of, process
from .machine import Machine, State
from .workflow import If, Run, Step, While, Workflow

if TYPE_CHECKING:

    class InternalError(BaseException):
        """A broken invariant of the kestu core (a BaseException: ``except Exception`` lets it through)."""

else:
    # The core's own class, which no module attribute of kestu_core carries.
    InternalError = _logbridge.internal_error()


def __getattr__(name: str) -> str:
    # __version__ comes from the installed metadata, read on first use:
    # importing importlib.metadata costs more than the rest of the package.
    if name == "__version__":
        from importlib import metadata

        try:
            return metadata.version("kestu")
        except metadata.PackageNotFoundError:  # a source tree on sys.path, not installed
            return "0+unknown"
    raise AttributeError(f"module 'kestu' has no attribute {name!r}")


__all__ = [
    "AuditBlockError",
    "AuditError",
    "AuditInterlockError",
    "AuditRecipe",
    "AuditRule",
    "AuditWarning",
    "Contract",
    "ContractViolationError",
    "ContractWarning",
    "If",
    "InternalError",
    "Machine",
    "ProcessAudit",
    "Run",
    "State",
    "Step",
    "While",
    "Workflow",
    "contract_of",
    "process",
]

# Not in __all__: a star import must not shadow the standard logging module.
logging.connect()
