"""Engine overhead against plain Python: one process call, a workflow, a "while" loop."""

from __future__ import annotations

import sys
import uuid

from harness import compare

from kestu.audit import AuditRecipe, AuditRule, ProcessAudit
from kestu.contracts import process
from kestu_core import Engine


class Ctx:
    def __init__(self) -> None:
        self.n = 0


@process(inputs=["n"], outputs=["n"])
def touch(ctx):
    return None


@process(inputs=["n"], outputs=["n"])
def inc(ctx):
    ctx.n += 1


def plain_loop(ctx, limit):
    while ctx.n < limit:
        inc(ctx)


def main() -> int:
    tag = uuid.uuid4().hex[:8]
    touch_name, inc_name = f"touch_{tag}", f"inc_{tag}"
    recipe = AuditRecipe({touch_name: ProcessAudit(output_rules=(AuditRule("n", "min", 0),))})

    ctx = Ctx()
    loose = Engine(ctx)
    strict = Engine(ctx, strict_mode=True)
    audited = Engine(ctx, strict_mode=True, audit_recipe=recipe)
    loose.register_process(touch_name, touch)
    loose.register_process(inc_name, inc)
    ten = [touch_name] * 10
    loop = [{"flux": "while", "condition": "ctx.n < 1000", "do": [inc_name]}]

    def engine_loop():
        ctx.n = 0
        loose.execute_workflow(loop)

    def python_loop():
        ctx.n = 0
        plain_loop(ctx, 1000)

    env = dict(
        ctx=ctx, touch=touch, name=touch_name, loose=loose, strict=strict, audited=audited, ten=ten,
        engine_loop=engine_loop, python_loop=python_loop,
    )
    plain_ten = "touch(ctx); touch(ctx); touch(ctx); touch(ctx); touch(ctx); touch(ctx); touch(ctx); touch(ctx); touch(ctx); touch(ctx)"
    rows = [
        ("execute_process, non-strict", "touch(ctx)", "loose.execute_process(name)", env, 20000, 12),
        ("execute_process, strict", "touch(ctx)", "strict.execute_process(name)", env, 20000, 20),
        ("execute_process, strict + one audit rule", "touch(ctx)", "audited.execute_process(name)", env, 20000, None),
        ("workflow of ten steps (non-strict)", plain_ten, "loose.execute_workflow(ten)", env, 2000, None),
        ('"while" loop, 1000 iterations (non-strict)', "python_loop()", "engine_loop()", env, 20, 20),
    ]
    print(f"Python {sys.version.split()[0]}; ns per call, best of 6 runs")
    compare(rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
