"""Runs every bench/bench_*.py in turn."""

import pathlib
import platform
import runpy
import sys

here = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(here))

import harness  # noqa: E402

print(f"kestu bench: CPython {platform.python_version()}, "
      f"{'instructions per operation (callgrind)' if harness.CALLGRIND else f'best of {harness.REPEAT} repeats'}")
for path in sorted(here.glob("bench_*.py")):
    print(f"== {path.stem}")
    runpy.run_path(str(path), run_name="__main__")
