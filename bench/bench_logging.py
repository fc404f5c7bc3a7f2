"""The logging bridge's cost: a run and a transition with the bridge connected
but no handler configured (records dropped natively), against disconnected.
Disconnected, the core asks nothing: that is the cost of a run without the
bridge."""

import uuid

from bench_engine import Ctx, touch
from harness import scaling

from kestu import logging as kestu_logging
from kestu.audit import AuditRecipe, AuditRule, ProcessAudit
from kestu_core import Engine, StateMachine


def main() -> None:
    name = f"touch_{uuid.uuid4().hex[:8]}"
    recipe = AuditRecipe({name: ProcessAudit(output_rules=(AuditRule("n", "min", 0),))})
    engine = Engine(Ctx(), strict_mode=True, audit_recipe=recipe)
    engine.register_process(name, touch)
    # Two states, one event: every trigger is a transition, an INFO record.
    machine = StateMachine({"A": {"events": {"go": "B"}}, "B": {"events": {"go": "A"}}}, "A")
    env = {"engine": engine, "name": name, "machine": machine, "bridge": kestu_logging}

    def row(label, stmt, number, target=None):
        # Each repeat switches the bridge off or on before it is timed.
        scaling(label, (stmt, env, "bridge.disconnect()"), (stmt, env, "bridge.connect()"), number=number,
                target=target, sides=("off", "on"))

    row("logging bridge: execute_process, strict, one output rule", "engine.execute_process(name)", 50_000, 1.2)
    # No audit rule: what is left is the question whether anyone wants the
    # run's DEBUG record on kestu_core.engine (no one, at logging's default level).
    env["strict"] = Engine(Ctx(), strict_mode=True)
    row("logging bridge: execute_process, strict, no rule (engine DEBUG record dropped)",
        "strict.execute_process(name)", 50_000, 1.05)
    row("logging bridge: StateMachine.trigger, a transition each", "machine.trigger('go')", 200_000, 1.2)

    # For scale, not a target: a record that logging does want (WARNING passes the
    # default level) is built and handed to logging, here to the NullHandler alone.
    warned = f"warned_{uuid.uuid4().hex[:8]}"
    recipe = AuditRecipe({warned: ProcessAudit(input_rules=(AuditRule("n", "max", -1, level="W"),))})
    env["warns"] = Engine(Ctx(), strict_mode=True, audit_recipe=recipe)
    env["warns"].register_process(warned, touch)
    env["warned"] = warned
    row("logging bridge: execute_process, a W rule record each", "warns.execute_process(warned)", 20_000)
    kestu_logging.connect()


if __name__ == "__main__":
    main()
