"""One planted contract mistake per finding code, each marked on its line with "expect:".

Read by the checker's tests, never imported (RETRY would not even compile).
"""

from kestu import If, Machine, State, While, Workflow, process
from kestu_core import Engine


class OutOfStock(Exception):
    pass


def make_paths():
    return ["order"]


def price_of(ctx):
    return 0


@process(inputs=["order"], outputs=["total"])
def read_undeclared(ctx, **_):
    ctx.total = ctx.order.subtotal + ctx.fee  # expect: KC101


@process(inputs=["order"], outputs=["total"])
def write_undeclared(ctx, **_):
    ctx.total = ctx.order.subtotal
    ctx.order.status = "priced"  # expect: KC102


@process(inputs=["stock"], errors=["OutOfStock"])
def raise_undeclared(ctx, **_):
    if not ctx.stock:
        raise OutOfStock()
    raise LookupError("no such item")  # expect: KC103


@process(outputs=["note"])
def delete_through_guard(ctx, **_):
    ctx.note = ""
    del ctx.note  # expect: KC104


@process(outputs=["log"])
def no_keywords(ctx):
    ctx.log.append("ran")


@process(inputs=["order", "coupon"], outputs=["total"])  # expect: KC201
def declared_unused(ctx, **_):
    ctx.total = ctx.order.subtotal


@process(outputs=["flags"])  # expect: KC202
def output_only_read(ctx, **_):
    return ctx.flags.missing_receipt


@process(inputs=["items[0].qty", "order"], outputs=["total"])  # expect: KC203
def unreachable(ctx, **_):
    ctx.total = ctx.order.subtotal


@process(outputs=["total"], errors=["OutOfStok"])  # expect: KC204
def misspelt_error(ctx, **_):
    ctx.total = 0


@process(inputs=["order", "order.subtotal"], outputs=["total"])  # expect: KC205
def covered_twice(ctx, **_):
    ctx.total = ctx.order.subtotal


@process(inputs=["order"], outputs=["total"])
def private_read(ctx, **_):
    ctx.total = ctx.order._cost  # expect: KC206


@process(inputs=["Meta.owner"], outputs=["total"])  # expect: KC207
def control_plane(ctx, **_):
    ctx.total = len(ctx.Meta.owner)


@process(inputs=["order..subtotal", "order"], outputs=["total"])  # expect: KC208
def mistyped(ctx, **_):
    ctx.total = ctx.order.subtotal


@process(outputs=["order.total"])
def ancestor_only(ctx, **_):
    ctx.order = {"total": 0}  # expect: KC209


@process(inputs=["order"], outputs=["total"])
def passes_context(ctx, **_):
    ctx.total = price_of(ctx)  # expect: KC401


@process(inputs=["order"], outputs=["total"])
def computed_name(ctx, field, **_):
    ctx.total = getattr(ctx.order, field)  # expect: KC402


@process(inputs=["order"], outputs=["total"])
def calls_method(ctx, **_):
    ctx.total = ctx.order.recalculate()  # expect: KC403


@process(inputs=make_paths(), outputs=["total"])  # expect: KC404
def computed_contract(ctx, **_):
    ctx.total = ctx.order.subtotal


@process(outputs=["total"], errors=["ValueError"])
def raises_variable(ctx, **_):
    error = ValueError("no total")
    ctx.total = 0
    raise error  # expect: KC405


@process(inputs=["order", "quote"], outputs=["total"])
def ambiguous_alias(ctx, quick, **_):
    source = ctx.quote if quick else ctx.order
    ctx.total = source.subtotal  # expect: KC406


@process(inputs=["prices.widget"], outputs=["total"])
def runtime_key(ctx, sku, **_):
    ctx.total = ctx.prices[sku]  # expect: KC407


@process(inputs=["a"])
def nested_too_deeply(ctx, **_):  # expect: KC408
    return ctx.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a


PROCESSES = [read_undeclared, write_undeclared, raise_undeclared, delete_through_guard, no_keywords]

CHECKOUT = Workflow(["read_undeclared", "write_undeclraed"])  # expect: KC301
RETRY = Workflow([While("ctx.attempts <", do=["read_undeclared"])])  # expect: KC302
GIFT = Workflow([If("order.total > 100", then=["ancestor_only"])])  # expect: KC303

ORDER = Machine({
    "NEW": State(events={"go": "LOOP", "finish": "DONE", "skip": "GONE"}),  # expect: KC306
    "LOOP": State(events={"again": "LOOP"}),  # expect: KC305
    "ORPHAN": State(),  # expect: KC304
    "DONE": State(),
}, start="NEW")


def main():
    engine = Engine(object(), strict_mode=True)
    for func in PROCESSES:
        engine.register_process(func.__name__, func)
    engine.execute_process("no_keywords", say=print)  # expect: KC105
    engine.execute_workflow(CHECKOUT.to_steps())
