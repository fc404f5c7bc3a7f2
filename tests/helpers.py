"""Shared test helpers: memory growth, and catching the exceptions that
`except Exception` would miss."""

import gc
import logging
import sys

# Under a debug interpreter (make leaks) leaks are counted in references,
# which also catches a leaked reference to an object that stays alive anyway.
COUNTS_REFERENCES = hasattr(sys, "gettotalrefcount")
REFERENCE_RUNS = 6  # CPython's rule: growth in each of the last three is a leak


def block_growth(run, warmup=50, rounds=2000):
    """Blocks still allocated after `rounds` more calls of `run`, once warm.

    Warm-up fills caches (interned names, code objects, import state) so
    that only a real leak grows the count. Never compare exact refcounts.
    Under a debug interpreter this measures references instead: it raises
    AssertionError on a leak and returns 0 otherwise.
    """
    # pytest keeps every record a test logs: the core's own records (audit
    # warnings, transitions) stop at the kestu_core logger meanwhile, or they
    # would count as growth.
    core = logging.getLogger("kestu_core")
    propagate, core.propagate = core.propagate, False
    try:
        for _ in range(warmup):
            run()
        if COUNTS_REFERENCES:
            return _reference_growth(run, rounds)
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(rounds):
            run()
        gc.collect()
        return sys.getallocatedblocks() - before
    finally:
        core.propagate = propagate


def _reference_growth(run, rounds):
    deltas = [0] * REFERENCE_RUNS  # filled in place: growing a list holds references too
    gc.collect()
    total = sys.gettotalrefcount()
    for i in range(REFERENCE_RUNS):
        for _ in range(rounds):
            run()
        gc.collect()
        now = sys.gettotalrefcount()
        deltas[i] = now - total
        total = now
    if all(delta > 0 for delta in deltas[-3:]):
        raise AssertionError(f"references leak: the total grew by {deltas} over {REFERENCE_RUNS} runs of {rounds}")
    return 0


def catch_base(call):
    """The exception `call` raises, BaseException subclasses included."""
    try:
        call()
    except BaseException as exc:  # noqa: BLE001 - the internal-error exception is not an Exception
        return exc
    raise AssertionError("no exception")
