"""One timing harness for both sides of every comparison."""

from __future__ import annotations

import timeit
from typing import Any


def per_call_ns(stmt: str, env: dict[str, Any], number: int, repeat: int = 7) -> float:
    """Best of `repeat` runs of `number` executions, in nanoseconds per execution."""
    timer = timeit.Timer(stmt, globals=env)
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def compare(rows: list[tuple[str, str, str, dict[str, Any], int, float | None]]) -> list[tuple[str, float, float, float, float | None]]:
    """Each row: label, plain stmt, kestu stmt, env, number, target ratio. Prints a table."""
    results = []
    print(f"{'case':<44} {'plain ns':>10} {'kestu ns':>10} {'ratio':>7} {'target':>7}")
    for label, plain, ours, env, number, target in rows:
        # Interleaved, so a noisy neighbour hurts both sides alike.
        a = min(per_call_ns(plain, env, number, repeat=3) for _ in range(2))
        b = min(per_call_ns(ours, env, number, repeat=3) for _ in range(2))
        ratio = b / a
        mark = "" if target is None else (f"<= {target:g}" + ("" if ratio <= target else " MISS"))
        print(f"{label:<44} {a:>10.0f} {b:>10.0f} {ratio:>6.1f}x {mark:>7}")
        results.append((label, a, b, ratio, target))
    return results
