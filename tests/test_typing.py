"""The shipped types against what a user writes (tests/typing/usage.py)."""

import pathlib
import subprocess
import sys

import pytest


def test_user_code_type_checks_against_the_shipped_types(tmp_path):
    pytest.importorskip("mypy")
    usage = pathlib.Path(__file__).with_name("typing") / "usage.py"
    # In a child process: mypy raises the recursion limit of its interpreter.
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--warn-unused-ignores", "--cache-dir", str(tmp_path), str(usage)],
        capture_output=True, text=True, timeout=300,
    )
    assert run.returncode == 0, run.stdout + run.stderr
