"""The shipped types against what a user writes (tests/typing/usage.py)."""

import pathlib
import sys

import pytest


def test_user_code_type_checks_against_the_shipped_types(tmp_path):
    api = pytest.importorskip("mypy.api")
    usage = pathlib.Path(__file__).with_name("typing") / "usage.py"
    # mypy raises the recursion limit for good; later tests that recurse
    # natively until RecursionError would overflow the C stack under ASan.
    limit = sys.getrecursionlimit()
    try:
        out, err, status = api.run(
            ["--strict", "--warn-unused-ignores", "--cache-dir", str(tmp_path), str(usage)]
        )
    finally:
        sys.setrecursionlimit(limit)
    assert status == 0, out + err
