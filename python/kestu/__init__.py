"""kestu: declare what each process reads, writes and may raise, and how it is audited.

The execution engine lives in the native ``kestu_core`` extension; this package
holds the pure-Python declarations it consumes and is cheap to import.
"""

from .audit import (
    AuditBlockError,
    AuditError,
    AuditInterlockError,
    AuditRecipe,
    AuditRule,
    ProcessAudit,
)
from .contracts import Contract, ContractViolationError, process



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
    "Contract",
    "ContractViolationError",
    "ProcessAudit",
    "process",
]
