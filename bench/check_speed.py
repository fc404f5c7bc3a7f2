"""How long the checker (`kestu.check.check_source`, what `python -m kestu check` runs on each
file, here without the interpreter's start and the file's reading) takes on a large module of processes.

Run by hand (`.venv/bin/python bench/check_speed.py [LINES]`); not part of
`make bench`, whose rows are also counted under callgrind. The module is
generated: processes in the shapes real ones take (aliases, loops over
lists, dict items, appends, raises, some mistakes), a workflow and a machine.
Beside the checker's time stands Python's own parse of the same text, which
the checker does first.
"""

import random
import sys
import time

from kestu.check import check_source

TEMPLATES = [
    '''@process(inputs=["order.lines", "cards"], outputs=["order.total{i}"], errors=["Declined"])
def price_{i}(ctx, say, **_):
    order = ctx.order
    total = 0
    for line in order.lines:
        total += line["qty"] * line["price"]
    if total > ctx.cards["debit"]:
        raise Declined(f"{{total}} is over the limit")
    order.total{i} = total
    say(f"priced {{total:.2f}}")
''',
    '''@process(inputs=["order.lines"], outputs=["picked", "stock"], errors=["OutOfStock"])
def pick_{i}(ctx, say, **_):
    line = ctx.order.lines[len(ctx.picked)]
    sku, qty = line["sku"], line["qty"]
    if ctx.stock[sku] < qty:
        raise OutOfStock(sku)
    ctx.stock[sku] = ctx.stock[sku] - qty
    ctx.picked.append(sku)
    say(f"picked {{qty}} x {{sku}}")
''',
    '''@process(inputs=["order.id", "shipment.tracking"], outputs=["outbox", "log{i}"])
def notify_{i}(ctx, **_):
    message = f"Order {{ctx.order.id}} is on its way: {{ctx.shipment['tracking']}}"
    ctx.outbox.append(message)
    ctx.log{i} = len(ctx.outbox)
    ctx.status = "notified"
''',
]


def module(lines: int) -> str:
    rng = random.Random(18)
    parts = ["from kestu import If, Machine, State, Workflow, process\n\n",
             "class Declined(Exception):\n    pass\n\n", "class OutOfStock(Exception):\n    pass\n\n"]
    names = []
    i = 0
    while sum(p.count("\n") for p in parts) < lines - 20:
        template = rng.choice(TEMPLATES)
        parts.append(template.format(i=i) + "\n\n")
        names.append(template.split("def ", 1)[1].split("(", 1)[0].format(i=i))
        i += 1
    parts.append(f"FLOW = Workflow({names[:50]!r} + [If('ctx.total > 100', then={names[50:60]!r})])\n")
    parts.append("MACHINE = Machine({'NEW': State(events={'go': 'DONE'}), 'DONE': State()}, start='NEW')\n")
    return "".join(parts)


def best(run, repeat=5):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


if __name__ == "__main__":
    lines = int(sys.argv[1]) if len(sys.argv) > 1 else 5000
    text = module(lines)
    count = text.count("\n")
    findings = check_source(text)
    parse = best(lambda: compile(text, "<bench>", "exec", 1024))  # ast.PyCF_ONLY_AST
    check = best(lambda: check_source(text))
    print(f"module: {count} lines, {text.count('@process')} processes, {len(findings)} findings")
    print(f"ast parse  {parse * 1000:8.1f} ms")
    print(f"check      {check * 1000:8.1f} ms  ({check / parse:.1f} x the parse; target: under 2000 ms)")
