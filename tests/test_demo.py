"""The demo runs end to end and tells its story."""

import subprocess
import sys


def test_demo_runs_and_shows_each_outcome():
    run = subprocess.run([sys.executable, "-m", "kestu.demo"], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stderr == ""
    out = run.stdout
    expected = [
        # A-1001: a declined card is rolled back, the backup card pays, the order ships.
        "      committed: order.total 0.0 -> 105.0, order.gift None -> 'tote bag'",
        "      !! PaymentDeclined: the debit card is limited to 100.00",
        "  INFO    kestu_core.fsm: \U0001f504 FSM Transition: PAYMENT --[declined]--> PAYMENT_RETRY",
        "  [PAYMENT --declined--> PAYMENT_RETRY]",
        "payment.status 'pending' -> 'authorized', payment.attempts 0 -> 1, payment.authorized 0.0 -> 105.0",
        # The warn-level rule logs through Python's logging and shipping goes on.
        "  WARNING kestu_core.audit: order over 100.00: check the address before shipping",
        "  final: DONE, order.status=shipped total=105.00",
        # B-2002: the coupon plug-in's undeclared write is refused, its declared one undone.
        "      !! refused: Illegal Write: 'order.total'",
        "      the failing step was rolled back; earlier steps kept: order.total 0.0 -> 30.0",
        "  final: CANCELLED, order.status=new total=30.00 discount=0.00",
        # C-3003: the output audit blocks a large payment.
        "      !! AuditBlockError: payments over 500.00 need a manager's approval",
        "  [PAYMENT_RETRY --blocked--> ON_HOLD]",
        "stock after all orders: {'widget': 3, 'gadget': 1, 'gizmo': 3}",
    ]
    missing = [line for line in expected if line not in out]
    assert missing == []
    # Only A-1001 reaches shipping with a total over 100.
    assert out.count("kestu_core.audit") == 1
    assert out.index("Order A-1001") < out.index("Order B-2002") < out.index("Order C-3003")


def test_importing_the_demo_prints_nothing():
    run = subprocess.run([sys.executable, "-c", "import kestu.demo"], capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout, run.stderr) == (0, "", "")
