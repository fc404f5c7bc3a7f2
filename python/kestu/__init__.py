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
