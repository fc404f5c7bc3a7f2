"""Engine overhead against plain Python: one process call, a workflow, a "while" loop."""

import uuid

from types import SimpleNamespace

from harness import compare, scaling

from kestu.audit import AuditRecipe, AuditRule, ProcessAudit
from kestu.contracts import process
from kestu_core import Engine


class Ctx:
    def __init__(self):
        self.n = 0


@process(inputs=["n"], outputs=["n"])
def touch(ctx):
    return None


@process(inputs=["n"], outputs=["n"])
def inc(ctx):
    ctx.n += 1


def main() -> None:
    tag = uuid.uuid4().hex[:8]
    touch_name, inc_name = f"touch_{tag}", f"inc_{tag}"
    recipe = AuditRecipe({touch_name: ProcessAudit(output_rules=(AuditRule("n", "min", 0),))})

    ctx = Ctx()
    loose = Engine(ctx)
    strict = Engine(ctx, strict_mode=True)
    audited = Engine(ctx, strict_mode=True, audit_recipe=recipe)
    loose.register_process(touch_name, touch)
    loose.register_process(inc_name, inc)

    env = {"ctx": ctx, "touch": touch, "name": touch_name, "loose": loose, "strict": strict, "audited": audited}
    plain = ("touch(ctx)", env)
    compare("execute_process non-strict vs p(ctx)", plain, ("loose.execute_process(name)", env), number=50_000,
            target=4)
    compare("execute_process strict vs p(ctx)", plain, ("strict.execute_process(name)", env), number=50_000,
            target=4.5)
    compare("execute_process, strict, one output audit rule", plain, ("audited.execute_process(name)", env),
            number=50_000, target=6)

    env["ten"] = [touch_name] * 10
    compare("ten-step workflow vs ten plain calls", (";".join(["touch(ctx)"] * 10), env),
            ("loose.execute_workflow(ten)", env), number=5_000, target=3.5)

    # The same loop on both sides: a condition on ctx.n, a body that adds one.
    def python_loop():
        ctx.n = 0
        while ctx.n < 1000:
            inc(ctx)

    loop = [{"flux": "while", "condition": "ctx.n < 1000", "do": [inc_name]}]

    def engine_loop():
        ctx.n = 0
        loose.execute_workflow(loop)

    loops = {"python_loop": python_loop, "engine_loop": engine_loop}
    compare('"while", 1000 iterations (per loop)', ("python_loop()", loops), ("engine_loop()", loops), number=30,
            target=3)

    # The same contract in a plain object (as callers and tests often write it by hand),
    # once with lists and once with tuples: a list that still holds the same
    # str objects is confirmed, not compiled again.
    def listed(ctx):
        return None

    def tupled(ctx):
        return None

    listed._pop_contract = SimpleNamespace(inputs=["n"], outputs=["n"], errors=[])
    tupled._pop_contract = SimpleNamespace(inputs=("n",), outputs=("n",), errors=())
    env["listed"], env["tupled"] = f"listed_{tag}", f"tupled_{tag}"
    loose.register_process(env["listed"], listed)
    loose.register_process(env["tupled"], tupled)
    scaling("contract as lists vs as tuples, non-strict run", ("loose.execute_process(tupled)", env),
            ("loose.execute_process(listed)", env), number=50_000, target=1.2, sides=("tuples", "lists"))

    # One engine per request with the same typed recipe (10 processes, 60
    # rules): what was read from a recipe object is reused.
    rules = tuple(AuditRule(f"f{i}", "min", i, level="W") for i in range(6))
    big = AuditRecipe({f"proc_{i}_{tag}": ProcessAudit(input_rules=rules[:3], output_rules=rules[3:]) for i in range(10)})
    Engine(ctx, audit_recipe=big)
    engines = {"Engine": Engine, "ctx": ctx, "big": big}
    scaling("Engine(ctx, audit_recipe=r), r used before, vs Engine(ctx)", ("Engine(ctx)", engines),
            ("Engine(ctx, audit_recipe=big)", engines), number=20_000, target=3, sides=("bare", "recipe"))


if __name__ == "__main__":
    main()
