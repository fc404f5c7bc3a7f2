"""Shared test helpers: memory growth by allocated-block counts, and
catching the exceptions that `except Exception` would miss."""

import gc
import sys


def block_growth(run, warmup=50, rounds=2000):
    """Blocks still allocated after `rounds` more calls of `run`, once warm.

    Warm-up fills caches (interned names, code objects, import state) so
    that only a real leak grows the count. Never compare exact refcounts.
    """
    for _ in range(warmup):
        run()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(rounds):
        run()
    gc.collect()
    return sys.getallocatedblocks() - before


def catch_base(call):
    """The exception `call` raises, BaseException subclasses included."""
    try:
        call()
    except BaseException as exc:  # noqa: BLE001 - the internal-error exception is not an Exception
        return exc
    raise AssertionError("no exception")
