"""Side-by-side measurement: the plain-Python operation and ours, in one run.

Two modes, chosen by KESTU_BENCH_MODE:

* "time" (the default): seconds per operation with timeit, loop overhead
  included on both sides; the two sides alternate, repeat after repeat, and
  the best of each is kept, so a busy machine slows both alike.
* "callgrind": instructions per operation, counted by valgrind's callgrind
  between two marks (bench/callgrind_marks.c, loaded from
  KESTU_BENCH_MARKS). Counts do not depend on the machine's load, so they
  are what a regression shows up in. Run under valgrind by
  `make bench-callgrind`.

A row measured in a fresh interpreter (:func:`fresh_import`) starts one child
per measurement; counted, each child runs under a callgrind of its own.

Every row is also written as a tab-separated line to KESTU_BENCH_OUT when
that is set, and in callgrind mode compared with KESTU_BENCH_BASELINE.
"""

from __future__ import annotations

import ctypes
import gc
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import timeit

MODE = os.environ.get("KESTU_BENCH_MODE", "time")
REPEAT = int(os.environ.get("KESTU_BENCH_REPEAT", "7"))
CALLGRIND = MODE == "callgrind"
UNIT = "Ir" if CALLGRIND else "ns"

_marks = ctypes.CDLL(os.environ["KESTU_BENCH_MARKS"]) if CALLGRIND else None
_dumps = 0


def _baseline() -> dict[str, list[str]]:
    path = os.environ.get("KESTU_BENCH_BASELINE")
    if not CALLGRIND or not path or not os.path.exists(path):
        return {}
    rows = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                fields = line.rstrip("\n").split("\t")
                rows[fields[0]] = fields[1:]
    return rows


BASELINE = _baseline()


def _instructions(timer: timeit.Timer, number: int) -> float:
    """Instructions per run of the timer's statement, loop overhead included."""
    global _dumps
    timer.timeit(max(number // 10, 10))  # warm: specialisation, caches
    _marks.kestu_bench_begin()
    timer.timeit(number)
    _marks.kestu_bench_end()
    _dumps += 1
    pattern = os.path.join(os.environ["KESTU_CALLGRIND_DIR"], f"cg.{os.getpid()}.{_dumps}")
    (path,) = glob.glob(pattern)
    return _totals(path) / number


def _totals(path: str) -> int:
    """The instruction count of a callgrind output file."""
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.startswith("totals:") or line.startswith("summary:"):
                return int(line.split()[1])
    raise RuntimeError(f"no totals in {path}")


def measure_many(cases: list[tuple[str, dict, str]], number: int) -> list[float]:
    """Cost per operation of each (stmt, env, setup) case, best of the repeats.

    The cases take turns in every repeat. In callgrind mode each is counted
    once, over a smaller number of runs.
    """
    timers = [timeit.Timer(stmt, setup=setup, globals=env) for stmt, env, setup in cases]
    if CALLGRIND:
        n = max(number // 50, 200)
        return [_instructions(t, n) for t in timers]
    best = [float("inf")] * len(timers)
    for _ in range(REPEAT):
        for i, t in enumerate(timers):
            gc.collect()
            best[i] = min(best[i], t.timeit(number) / number)
    return [b * 1e9 for b in best]


def _emit(label: str, cells: list[str], values: list[float]) -> None:
    line = f"{label:<58} " + "   ".join(cells)
    base = BASELINE.get(label)
    if base:
        then = float(base[1])
        now = values[1]
        line += f"   [baseline {then:,.0f} Ir, {100 * (now - then) / then:+.1f}%]"
    print(line, flush=True)
    out = os.environ.get("KESTU_BENCH_OUT")
    if out:
        with open(out, "a", encoding="utf-8") as f:
            f.write("\t".join([label] + [f"{v:.6g}" for v in values]) + "\n")


def _verdict(ok: bool, target: str) -> str:
    # Targets are on time; instruction counts are for finding regressions.
    if CALLGRIND:
        return f"(timed target {target})"
    return f"target {target}: " + ("ok" if ok else "MISSED")


def _case(side: tuple) -> tuple[str, dict, str]:
    """(stmt, env) or (stmt, env, setup); the setup runs before every repeat."""
    return (side[0], side[1], side[2] if len(side) > 2 else "pass")


def _two_sided(label: str, first: tuple, second: tuple, number: int, target: float | None,
               sides: tuple[str, str]) -> float:
    a, b = measure_many([_case(first), _case(second)], number)
    ratio = b / a
    cells = [f"{sides[0]} {a:9.1f} {UNIT}", f"{sides[1]} {b:9.1f} {UNIT}", f"{ratio:6.2f}x"]
    if target is not None:
        cells.append(_verdict(ratio <= target, f"<= {target:g}x"))
    _emit(label, cells, [a, b, ratio])
    return ratio


def compare(label: str, plain: tuple, ours: tuple, number: int = 200_000, target: float | None = None) -> float:
    """Ours against the plain operation; the ratio is ours / plain (lower is better)."""
    return _two_sided(label, plain, ours, number, target, ("plain", "kestu"))


def scaling(label: str, small: tuple, large: tuple, number: int = 100_000, target: float | None = None,
            sides: tuple[str, str] = ("small", "large")) -> float:
    """The same operation in two settings (a small and a large size, by default); the ratio is second / first."""
    return _two_sided(label, small, large, number, target, sides)


def _child(code: str, valgrind_out: str | None = None) -> str:
    """What a fresh interpreter running ``code`` prints, under callgrind if ``valgrind_out`` is given."""
    command = [sys.executable, "-P", "-c", code]  # -P: the working directory is not searched for modules
    if valgrind_out:
        command = [shutil.which("valgrind") or "valgrind", "-q", "--tool=callgrind",
                   f"--callgrind-out-file={valgrind_out}", *command]
    # A fixed hash seed: set and dict layouts, and with them the counts, repeat.
    env = {**os.environ, "PYTHONHASHSEED": "0"}
    # Bytecode missing or stale is written once, as an installed package has it.
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    return subprocess.run(command, check=True, capture_output=True, text=True, env=env).stdout


def _child_instructions(code: str, directory: str) -> int:
    out = os.path.join(directory, f"child.{len(os.listdir(directory))}")
    _child(code, out)
    return _totals(out)


def fresh_import(label: str, plain: str, ours: str, target: float, instructions: float) -> float:
    """``import ours`` against ``import plain``, each in a fresh interpreter; the ratio is ours / plain.

    Timed, each child times its import statement alone, the two sides taking
    turns, and the best of each is kept. Counted, each child runs under a
    callgrind of its own (this process's count would not see it), less the
    count of a child that imports nothing: the interpreter's start and exit.
    ``target`` is on the timed ratio, ``instructions`` on our count.
    """
    timed = "import time; t = time.perf_counter(); import {}; print(time.perf_counter() - t)"
    for module in (plain, ours):
        _child(timed.format(module))  # warm: bytecode caches, the page cache
    if CALLGRIND:
        with tempfile.TemporaryDirectory() as directory:
            start = _child_instructions("pass", directory)
            a, b = (_child_instructions(f"import {module}", directory) - start for module in (plain, ours))
        cells = [f"plain {a / 1e6:9.1f} M Ir", f"kestu {b / 1e6:9.1f} M Ir"]
        verdict = f"target <= {instructions / 1e6:g} M Ir: " + ("ok" if b <= instructions else "MISSED")
    else:
        best = [float("inf")] * 2
        for _ in range(3 * REPEAT):
            for i, module in enumerate((plain, ours)):
                best[i] = min(best[i], float(_child(timed.format(module))))
        a, b = (t * 1e9 for t in best)
        cells = [f"plain {a / 1e6:9.1f} ms", f"kestu {b / 1e6:9.1f} ms"]
        verdict = f"target <= {target:g}x: " + ("ok" if b / a <= target else "MISSED")
    _emit(label, [*cells, f"{b / a:6.2f}x", verdict], [a, b, b / a])
    return b / a


def versus_peer(label: str, plain: tuple, ours: tuple, peer: tuple, number: int = 50_000,
                target: float | None = None) -> float:
    """Ours against a peer library doing the same; the ratio is peer / ours (higher is better)."""
    base, mine, theirs = measure_many([_case(plain), _case(ours), _case(peer)], number)
    ratio = theirs / mine
    cells = [f"plain {base:9.1f} {UNIT}", f"kestu {mine:9.1f} {UNIT}", f"peer {theirs:9.1f} {UNIT}",
             f"{ratio:6.2f}x faster"]
    if target is not None:
        cells.append(_verdict(ratio >= target, f">= {target:g}x"))
    _emit(label, cells, [base, mine, theirs, ratio])
    return ratio

