"""Order fulfilment with kestu: run with ``python -m kestu.demo``.

Three orders go through one small shop. Each process declares what it reads,
writes and may raise; a strict-mode engine runs them inside transactions; an
audit recipe watches payments and shipping; a state machine decides which
workflow runs next. Workflows and the state machine are built with kestu's
checked builders. The trace shows each step, what it committed, a refused
undeclared write, a rolled-back failure and an audit block, and, through
Python's logging, the machine's transitions and an audit warning.
"""

from __future__ import annotations

import logging
import sys
from typing import Any, Callable

from kestu_core import Engine

from .audit import AuditBlockError, AuditError, AuditRecipe, AuditRule, ProcessAudit
from .contracts import ContractViolationError, process
from .machine import Machine, State
from .workflow import If, Run, Step, While, Workflow

Say = Callable[[str], None]


# -- the context -----------------------------------------------------------------


class Order:
    def __init__(self, order_id: str, lines: list[dict[str, Any]], coupon: str | None = None) -> None:
        self.id = order_id
        self.lines = lines
        self.coupon = coupon
        self.total = 0.0
        self.discount = 0.0
        self.gift: str | None = None
        self.status = "new"


class Payment:
    def __init__(self) -> None:
        self.status = "pending"
        self.attempts = 0
        self.authorized = 0.0


class Shop:
    """The shared context of one order: the order itself, plus the shop's stock and cards."""

    def __init__(self, order: Order, stock: dict[str, int], cards: dict[str, float]) -> None:
        self.order = order
        self.stock = stock
        self.cards = cards
        self.picked: list[str] = []
        self.payment = Payment()
        self.shipment: dict[str, str] | None = None
        self.outbox: list[str] = []


class OutOfStock(Exception):
    pass


class PaymentDeclined(Exception):
    pass


# -- the processes ------------------------------------------------------------------
# Each receives a guard over the Shop, never the Shop itself, plus the
# keyword arguments of the workflow run (here `say`, and `card` for payments).


@process(inputs=["order.lines"], outputs=["order.total"])
def price_order(ctx: Any, say: Say, **_: Any) -> None:
    total = sum(line["qty"] * line["price"] for line in ctx.order.lines)
    ctx.order.total = total
    say(f"price_order    total {total:.2f}")


@process(outputs=["order.gift"])
def add_free_gift(ctx: Any, say: Say, **_: Any) -> None:
    ctx.order.gift = "tote bag"
    say("add_free_gift  a tote bag goes in the parcel")


@process(inputs=["order.coupon", "order.total"], outputs=["order.discount"])
def apply_coupon(ctx: Any, say: Say, **_: Any) -> None:
    discount = round(ctx.order.total * 0.10, 2)
    ctx.order.discount = discount
    say(f"apply_coupon   coupon {ctx.order.coupon}: discount {discount:.2f}")
    # A plug-in overreaching: order.total is not among its outputs, so the
    # guard refuses this write (and `python -m kestu check` would report it).
    ctx.order.total = ctx.order.total - discount  # kestu: ignore[KC102]


@process(inputs=["order.lines"], outputs=["picked", "stock"], errors=["OutOfStock"])
def pick_item(ctx: Any, say: Say, **_: Any) -> None:
    line = ctx.order.lines[len(ctx.picked)]
    sku, qty = line["sku"], line["qty"]
    if ctx.stock[sku] < qty:
        raise OutOfStock(f"only {ctx.stock[sku]} × {sku} left, {qty} needed")
    ctx.stock[sku] = ctx.stock[sku] - qty
    ctx.picked.append(sku)
    say(f"pick_item      {qty} × {sku} (stock now {ctx.stock[sku]})")


@process(inputs=["order.total", "cards"], outputs=["payment"], errors=["PaymentDeclined"])
def charge_card(ctx: Any, say: Say, card: str, **_: Any) -> None:
    ctx.payment.attempts = ctx.payment.attempts + 1
    ctx.payment.status = "charging"
    total, limit = ctx.order.total, ctx.cards[card]
    say(f"charge_card    {total:.2f} on the {card} card (attempt {ctx.payment.attempts})")
    if total > limit:
        raise PaymentDeclined(f"the {card} card is limited to {limit:.2f}")
    ctx.payment.authorized = total
    ctx.payment.status = "authorized"


@process(inputs=["order.id"], outputs=["shipment", "order.status"])
def ship(ctx: Any, say: Say, **_: Any) -> None:
    ctx.shipment = {"carrier": "ParcelCo", "tracking": f"PC-{ctx.order.id}"}
    ctx.order.status = "shipped"
    say(f"ship           handed to ParcelCo as PC-{ctx.order.id}")


@process(inputs=["order.id", "shipment"], outputs=["outbox"])
def notify(ctx: Any, say: Say, **_: Any) -> None:
    ctx.outbox.append(f"Order {ctx.order.id} is on its way: {ctx.shipment['tracking']}")
    say("notify         customer e-mail queued")


PROCESSES: list[Callable[..., None]] = [price_order, add_free_gift, apply_coupon, pick_item, charge_card, ship, notify]


# -- audit, workflows and the state machine ------------------------------------------

AUDIT = AuditRecipe(
    {
        # Checked after the process, on what it wrote, before it is committed.
        "charge_card": ProcessAudit(
            output_rules=(
                AuditRule("payment.authorized", "max", 500, level="B",
                          message="payments over 500.00 need a manager's approval"),
            )
        ),
        # Checked before the process runs, on the real context. "W" only warns:
        # a record on the kestu_core.audit logger, and the run goes on.
        "ship": ProcessAudit(
            input_rules=(
                AuditRule("payment.status", "eq", "authorized", level="S",
                          message="refusing to ship an unpaid order"),
                AuditRule("order.total", "max", 100, level="W",
                          message="order over 100.00: check the address before shipping"),
            )
        ),
    }
)

# Named workflows, each with the keyword arguments its processes get. A
# mistyped condition or step would fail here, at import, not mid-order.
WORKFLOWS: dict[str, tuple[Workflow, dict[str, Any]]] = {
    "price": (
        Workflow([
            "price_order",
            If("ctx.order.total >= 100", then=["add_free_gift"]),
            If("ctx.order.coupon is not None", then=["apply_coupon"]),
        ]),
        {},
    ),
    "pick": (Workflow([While("len(ctx.picked) < len(ctx.order.lines)", do=["pick_item"])]), {}),
    "charge": (Workflow([Step("charge_card")]), {"card": "debit"}),
    "charge_backup": (Workflow([Step("charge_card")]), {"card": "credit"}),
    "ship": (Workflow([Run(["ship", "notify"])]), {}),
}

# Every state a transition reaches is defined; State() is a final state.
FULFILMENT = Machine(
    {
        "NEW": State(events={"submit": "PRICING"}),
        "PRICING": State(entry=["price"], events={"ok": "PICKING", "refused": "CANCELLED"}),
        "PICKING": State(entry=["pick"], events={"ok": "PAYMENT", "out_of_stock": "CANCELLED"}),
        "PAYMENT": State(entry=["charge"],
                         events={"ok": "SHIPPING", "declined": "PAYMENT_RETRY", "blocked": "ON_HOLD"}),
        "PAYMENT_RETRY": State(entry=["charge_backup"],
                               events={"ok": "SHIPPING", "declined": "CANCELLED", "blocked": "ON_HOLD"}),
        "SHIPPING": State(entry=["ship"], events={"ok": "DONE"}),
        "DONE": State(),
        "CANCELLED": State(),
        "ON_HOLD": State(),
    },
    start="NEW",
)

# What a failure means for the order.
EVENTS: list[tuple[type[BaseException], str]] = [
    (PermissionError, "refused"),
    (ContractViolationError, "refused"),
    (OutOfStock, "out_of_stock"),
    (PaymentDeclined, "declined"),
    (AuditError, "blocked"),
]


# -- the trace ---------------------------------------------------------------------


def snapshot(shop: Shop) -> dict[str, Any]:
    order, payment = shop.order, shop.payment
    state = {
        "order.total": round(order.total, 2),
        "order.discount": order.discount,
        "order.gift": order.gift,
        "order.status": order.status,
        "picked": list(shop.picked),
        "payment.status": payment.status,
        "payment.attempts": payment.attempts,
        "payment.authorized": payment.authorized,
        "shipment": dict(shop.shipment) if shop.shipment else None,
        "outbox": len(shop.outbox),
    }
    state.update({f"stock.{sku}": qty for sku, qty in shop.stock.items()})
    return state


def changes(before: dict[str, Any], after: dict[str, Any]) -> list[str]:
    return [f"{key} {before.get(key)!r} -> {value!r}" for key, value in after.items() if before.get(key) != value]


def run_workflow(engine: Engine, shop: Shop, name: str) -> str:
    workflow, kwargs = WORKFLOWS[name]
    before = snapshot(shop)
    try:
        engine.execute_workflow(workflow.to_steps(), say=lambda text: print(f"      {text}"), **kwargs)
    except Exception as exc:
        event = next((ev for cls, ev in EVENTS if isinstance(exc, cls)), None)
        if event is None:
            raise
        kind = "refused" if isinstance(exc, PermissionError) else type(exc).__name__
        print(f"      !! {kind}: {exc}")
        kept = ", ".join(changes(before, snapshot(shop)))
        print(f"      the failing step was rolled back; {'earlier steps kept: ' + kept if kept else 'nothing changed'}")
        return event
    print(f"      committed: {', '.join(changes(before, snapshot(shop))) or 'nothing'}")
    return "ok"


def fulfil(order: Order, stock: dict[str, int], cards: dict[str, float]) -> Shop:
    shop = Shop(order, stock, cards)
    engine = Engine(shop, strict_mode=True, audit_recipe=AUDIT)
    for func in PROCESSES:
        # The registry is process-wide; registering again simply replaces.
        engine.register_process(func.__name__, func)
    machine = FULFILMENT.build()
    lines = ", ".join(f"{line['qty']} × {line['sku']} @ {line['price']:.2f}" for line in order.lines)
    coupon = f", coupon {order.coupon}" if order.coupon else ""
    print(f"\nOrder {order.id}: {lines}{coupon}")
    event = "submit"
    while True:
        previous = machine.current_state
        workflows = machine.trigger(event)
        print(f"  [{previous} --{event}--> {machine.current_state}]")
        if not workflows:
            break
        for name in workflows:
            print(f"    workflow {name!r}")
            event = run_workflow(engine, shop, name)
            if event != "ok":
                break
    show(shop, machine.current_state)
    return shop


def show(shop: Shop, state: str) -> None:
    o, p = shop.order, shop.payment
    print(f"  final: {state}, order.status={o.status} total={o.total:.2f} discount={o.discount:.2f} gift={o.gift}")
    print(f"         picked={shop.picked} payment={p.status}/{p.authorized:.2f} after {p.attempts} attempt(s)")
    print(f"         shipment={shop.shipment} outbox={shop.outbox}")


def main() -> None:
    # The core's records (transitions, audit warnings) go to Python's logging;
    # an application shows them like any other library's.
    logging.basicConfig(level=logging.INFO, stream=sys.stdout, format="  %(levelname)-7s %(name)s: %(message)s")
    stock = {"widget": 5, "gadget": 10, "gizmo": 3}
    cards = {"debit": 100.0, "credit": 1000.0}
    print("kestu demo: order fulfilment (strict mode, audited)")
    print(f"stock {stock}; card limits {cards}")

    orders = [
        Order("A-1001", [{"sku": "widget", "qty": 2, "price": 12.50}, {"sku": "gadget", "qty": 1, "price": 80.00}]),
        Order("B-2002", [{"sku": "gizmo", "qty": 1, "price": 30.00}], coupon="TAKE10"),
        Order("C-3003", [{"sku": "gadget", "qty": 8, "price": 80.00}]),
    ]
    for order in orders:
        fulfil(order, stock, cards)
    print(f"\nstock after all orders: {stock}")


if __name__ == "__main__":
    main()
