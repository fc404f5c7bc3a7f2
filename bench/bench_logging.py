"""The logging bridge's cost: a run and a transition with the bridge connected
but no handler configured (records dropped natively), against disconnected."""

import timeit
import uuid

from kestu import logging as kestu_logging
from kestu.audit import AuditRecipe, AuditRule, ProcessAudit
from kestu.contracts import process
from kestu_core import Engine, StateMachine


class Ctx:
    def __init__(self):
        self.n = 0


@process(inputs=["n"], outputs=["n"])
def touch(ctx):
    return None


def best_pair(stmt: str, env: dict, number: int, repeat: int = 7) -> tuple[float, float]:
    """Best seconds per operation disconnected and connected, measured alternately."""
    off, on = [], []
    for _ in range(repeat):
        kestu_logging.disconnect()
        off.append(timeit.timeit(stmt, globals=env, number=number) / number)
        kestu_logging.connect()
        on.append(timeit.timeit(stmt, globals=env, number=number) / number)
    return min(off), min(on)


def row(label: str, stmt: str, env: dict, number: int, target: float | None = None) -> None:
    off, on = best_pair(stmt, env, number)
    ratio = on / off
    verdict = "" if target is None else ("  ok" if ratio <= target else f"  OVER target {target:g}x")
    print(f"{label:<44} off   {off * 1e9:8.1f} ns   on    {on * 1e9:9.1f} ns   {ratio:6.2f}x{verdict}")


def main() -> None:
    name = f"touch_{uuid.uuid4().hex[:8]}"
    recipe = AuditRecipe({name: ProcessAudit(output_rules=(AuditRule("n", "min", 0),))})
    engine = Engine(Ctx(), strict_mode=True, audit_recipe=recipe)
    engine.register_process(name, touch)
    # Two states, one event: every trigger is a transition, an INFO record.
    machine = StateMachine({"A": {"events": {"go": "B"}}, "B": {"events": {"go": "A"}}}, "A")
    env = {"engine": engine, "name": name, "machine": machine}

    print("bridge disconnected (off) vs connected, no handler configured (on)")
    row("execute_process, strict, one output rule", "engine.execute_process(name)", env, 50_000, target=1.2)
    row("StateMachine.trigger (a transition each)", "machine.trigger('go')", env, 200_000, target=1.2)

    # For scale, not a target: a record that logging does want (WARNING passes the
    # default level) is built and handed to logging, here to the NullHandler alone.
    warned = f"warned_{uuid.uuid4().hex[:8]}"
    recipe = AuditRecipe({warned: ProcessAudit(input_rules=(AuditRule("n", "max", -1, level="W"),))})
    env["warns"] = Engine(Ctx(), strict_mode=True, audit_recipe=recipe)
    env["warns"].register_process(warned, touch)
    env["warned"] = warned
    row("execute_process with a W rule record each", "warns.execute_process(warned)", env, 20_000)


if __name__ == "__main__":
    main()
