"""Side-by-side timing: the plain-Python operation and ours, in one run."""

from __future__ import annotations

import timeit


def best_of(stmt: str, env: dict, number: int, repeat: int = 7) -> float:
    """Best seconds per operation of `stmt` (loop overhead included)."""
    return min(timeit.repeat(stmt, globals=env, number=number, repeat=repeat)) / number


def compare(label: str, plain: tuple[str, dict], ours: tuple[str, dict], number: int = 200_000,
            target: float | None = None) -> float:
    base = best_of(*plain, number=number)
    mine = best_of(*ours, number=number)
    ratio = mine / base
    verdict = "" if target is None else ("  ok" if ratio <= target else f"  OVER target {target:g}x")
    print(f"{label:<44} plain {base * 1e9:8.1f} ns   kestu {mine * 1e9:9.1f} ns   {ratio:6.2f}x{verdict}")
    return ratio
