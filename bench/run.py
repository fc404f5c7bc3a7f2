"""Runs every bench/bench_*.py in turn, each in its own interpreter."""

import pathlib
import subprocess
import sys


def main() -> int:
    here = pathlib.Path(__file__).resolve().parent
    failed = 0
    for script in sorted(here.glob("bench_*.py")):
        print(f"== {script.name}", flush=True)
        failed += subprocess.call([sys.executable, str(script)]) != 0
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
