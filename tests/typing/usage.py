"""What a user writes, checked by mypy --strict and pyright (strict) against the shipped types.

A line marked `type: ignore[...]` must be an error under both (see tests/test_typing.py),
so a mistake the types stop catching fails the check.
"""

from collections.abc import Collection, Mapping
from typing import Any

from kestu import AuditRule, Contract, contract_of, process
from kestu_core import Engine, FrozenDict, FrozenList, TrackedList, Transaction


class Ctx:
    total = 0


class AuditedEngine(Engine):
    """A subclass with its own constructor, as the README shows."""

    def __new__(cls, ctx: Any, *, label: str) -> "AuditedEngine":
        self = super().__new__(cls, ctx, True, None)
        self.label = label
        return self

    label: str


@process(inputs=["total"], outputs=["total"], errors=["ValueError"])
def add_one(ctx: Any) -> None:
    ctx.total = ctx.total + 1


@process()
def touches_nothing(ctx: Any) -> int:
    return 1


engine: Engine = AuditedEngine(Ctx(), label="night run")
engine.register_process("add_one", add_one)
result: Any = engine.execute_process("add_one", reason="typing")
strict = Engine(Ctx(), strict_mode=True)
Engine(Ctx(), strict_mode="yes")  # type: ignore[arg-type]
AuditedEngine(Ctx())  # type: ignore[call-arg]
number: int = touches_nothing(Ctx())


@process  # type: ignore[call-overload]
def forgot_the_call(ctx: Any) -> None: ...


import kestu  # noqa: E402
from kestu import AuditBlockError, Workflow  # noqa: E402

context: Any = Workflow(["add_one"]).run(engine, reason="typing")
try:
    engine.execute_process("add_one")
except AuditBlockError as refused:
    rule: tuple[str | None, str | None, int | None] = (refused.target_field, refused.phase, refused.count)
    wrong: int = refused.process  # type: ignore[assignment]
except kestu.InternalError as broken:
    internal: BaseException = broken

contract: Contract | None = contract_of(add_one)
declared: tuple[str, ...] = contract.outputs if contract else ()
contract_of(add_one).inputs  # type: ignore[union-attr]

audit_rule = AuditRule("total", "min_len", 3, level="W")
AuditRule("total", "minimum", 0)  # type: ignore[arg-type]
AuditRule("total", "min", 0, level="warn")  # type: ignore[arg-type]

views: list[Collection[Any]] = [FrozenList([1]), FrozenDict({"a": 1}), TrackedList([], Transaction(), "xs")]
prices: Mapping[str, int] = FrozenDict({"tea": 4})  # type: ignore[assignment]
