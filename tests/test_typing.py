"""The shipped types against what users write, under mypy --strict and pyright's strict mode.

tests/typing/usage.py is checked whole. A line marked `type: ignore[...]` there
must be an error under both checkers: mypy runs with --warn-unused-ignores and
pyright with reportUnnecessaryTypeIgnoreComment, so a mistake that either
checker stops catching fails the test.

The Python examples of README.md and docs/ are checked as they run
(tests/test_docs.py): the examples of one file as one module. They are user
code that may leave its own functions unannotated and, being steps of one
session, may define a name again or repeat an import; anything else is an error.
"""

import json
import pathlib
import subprocess
import sys

import pytest

from test_docs import DOCS, ROOT, examples

USAGE = pathlib.Path(__file__).with_name("typing") / "usage.py"

MYPY = ["--strict", "--warn-unused-ignores"]
MYPY_EXAMPLES = [*MYPY, "--allow-untyped-defs", "--allow-incomplete-defs", "--allow-untyped-calls",
                 "--disable-error-code=no-redef"]
PYRIGHT = {"typeCheckingMode": "strict", "reportUnnecessaryTypeIgnoreComment": "error"}
PYRIGHT_EXAMPLES = {**PYRIGHT, **dict.fromkeys([
    "reportMissingParameterType", "reportUnknownParameterType", "reportUnknownArgumentType",
    "reportUnknownVariableType", "reportUnknownMemberType", "reportUnknownLambdaType",
    "reportRedeclaration", "reportDuplicateImport"], "none")}


def run_mypy(tmp_path, flags, files):
    pytest.importorskip("mypy")
    # In a child process: mypy raises the recursion limit of its interpreter.
    return subprocess.run(
        [sys.executable, "-m", "mypy", *flags, "--cache-dir", str(tmp_path / ".mypy"), *map(str, files)],
        capture_output=True, text=True, timeout=300,
    )


def run_pyright(tmp_path, config, files):
    pytest.importorskip("pyright")
    project = tmp_path / "pyrightconfig.json"
    project.write_text(json.dumps(config))
    return subprocess.run(
        [sys.executable, "-m", "pyright", "--project", str(project), "--pythonpath", sys.executable,
         *map(str, files)],
        capture_output=True, text=True, timeout=300,
    )


def doc_modules(tmp_path):
    """One module per documentation file, its examples in order, each headed by where it comes from."""
    modules = []
    for doc in DOCS:
        name = doc.relative_to(ROOT).as_posix()
        parts = [f"# {name}, example {i}\n{code}" for i, (code, _, _) in enumerate(examples(doc.read_text()), 1)]
        module = tmp_path / f"doc_{doc.stem.lower()}.py"
        module.write_text("".join(parts))
        modules.append(module)
    return modules


@pytest.mark.parametrize("checker", ["mypy", "pyright"])
def test_user_code_type_checks_against_the_shipped_types(checker, tmp_path):
    if checker == "mypy":
        run = run_mypy(tmp_path, MYPY, [USAGE])
    else:
        run = run_pyright(tmp_path, PYRIGHT, [USAGE])
    assert run.returncode == 0, run.stdout + run.stderr


@pytest.mark.parametrize("checker", ["mypy", "pyright"])
def test_documentation_examples_type_check(checker, tmp_path):
    modules = doc_modules(tmp_path)
    if checker == "mypy":
        run = run_mypy(tmp_path, MYPY_EXAMPLES, modules)
    else:
        run = run_pyright(tmp_path, PYRIGHT_EXAMPLES, modules)
    assert run.returncode == 0, run.stdout + run.stderr
