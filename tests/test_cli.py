"""python -m kestu: its commands, their exit status, and the diagrams they print."""

import json
import pathlib
import subprocess
import sys

import pytest

import kestu
from kestu import If, Machine, Run, State, While, Workflow
from kestu.demo import FULFILMENT, WORKFLOWS

PLANTED = pathlib.Path(__file__).with_name("check_fixtures") / "planted.py"


def kestu_cli(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "kestu", *args], capture_output=True, text=True, cwd=cwd, timeout=120)


def test_version_and_demo():
    run = kestu_cli("version")
    assert (run.returncode, run.stdout.split()[:2]) == (0, ["kestu", kestu.__version__])
    run = kestu_cli("demo")
    assert run.returncode == 0 and "stock after all orders" in run.stdout


@pytest.mark.parametrize("args, status, where, text", [
    ((), 2, "stderr", "usage: python -m kestu"),
    (("nonsense",), 2, "stderr", "invalid choice"),
    (("check",), 2, "stderr", "the following arguments are required"),
    (("check", "no/such/file.py"), 2, "stderr", "no such file"),
    (("check", "no_such_module_here"), 2, "stderr", "no module named"),
    (("check", "kestu.demo"), 0, "stdout", ""),
    (("check", str(PLANTED)), 1, "stdout", "KC101"),
    (("diagram", "kestu.demo"), 2, "stderr", "expected MODULE:NAME"),
    (("diagram", "kestu.demo:NOPE"), 1, "stderr", "not found"),
    (("diagram", "kestu.demo:AUDIT"), 1, "stderr", "not a Machine or a Workflow"),
    (("diagram", "no_such_module_here:X"), 1, "stderr", "cannot import"),
])
def test_exit_status_follows_convention(args, status, where, text):
    run = kestu_cli(*args)
    assert run.returncode == status, run.stdout + run.stderr
    assert text in getattr(run, where)


@pytest.mark.parametrize("command", ["version", "demo", "check", "diagram"])
def test_every_command_has_help(command):
    run = kestu_cli(command, "--help")
    assert run.returncode == 0 and run.stdout.startswith(f"usage: python -m kestu {command}")


def test_check_only_warnings_passes_and_json_is_complete(tmp_path):
    module = tmp_path / "shop.py"
    module.write_text("from kestu import process\n@process(inputs=['a', 'b'])\ndef p(ctx):\n    return ctx.a\n")
    run = kestu_cli("check", "--format", "json", str(tmp_path))
    assert run.returncode == 0
    assert json.loads(run.stdout) == [{"file": str(module), "line": 2, "col": 23, "code": "KC201",
                                       "severity": "warning", "message": "input 'b' is never used by the body",
                                       "path": "b"}]
    run = kestu_cli("check", "--suggest", "shop", cwd=tmp_path)  # a module name, found on sys.path
    assert (run.returncode, run.stdout) == (0, f'{module}:3: p: @process(inputs=["a"])\n')


@pytest.mark.parametrize("target, fmt, expected", [
    ("kestu.demo:FULFILMENT", "mermaid", FULFILMENT.to_mermaid()),
    ("kestu.demo:FULFILMENT", "dot", FULFILMENT.to_dot()),
    ("kestu.demo:WORKFLOWS[price][0]", "mermaid", WORKFLOWS["price"][0].to_mermaid()),
])
def test_diagram_prints_what_the_objects_give(target, fmt, expected):
    run = kestu_cli("diagram", "--format", fmt, target)
    assert (run.returncode, run.stdout) == (0, expected)


def test_import_kestu_loads_neither_the_checker_nor_the_command_line():
    code = "import sys, kestu; print(sorted(m for m in sys.modules if m.startswith('kestu.')))"
    loaded = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, timeout=120).stdout
    assert not {"kestu.check", "kestu.cli", "kestu.diagram"} & set(eval(loaded))


# -- the diagrams ----------------------------------------------------------------------


def test_any_state_name_is_safe_in_a_diagram():
    odd = Machine({'say "hi"; #1': State(events={"go -> on": "end"}), "end": State(), "s0": State()},
                  start='say "hi"; #1')
    assert odd.to_mermaid() == (
        "stateDiagram-v2\n"
        '    state "say #quot;hi#quot;#59; #35;1" as s0\n'
        '    state "end" as s1\n'
        '    state "s0" as s2\n'
        "    [*] --> s0\n"
        "    s0 --> s1 : go -#gt; on\n"
        "    s1 --> [*]\n"
        "    s2 --> [*]\n"
    )
    assert 'label="say \\"hi\\"; #1"' in odd.to_dot()


def test_workflow_branches_and_loops_join_where_the_engine_goes_next():
    flow = Workflow(["a", If("x", then=["b"], else_=[Run(["c", "d"])]), While("y", do=[]), "e"])
    assert flow.to_mermaid().splitlines()[10:] == [
        "    n0 --> n1", "    n1 --> n2",           # start, a, if x
        "    n2 -->|yes| n3", "    n2 -->|no| n4",  # b; c
        "    n4 --> n5",                            # c, d
        "    n3 --> n6", "    n5 --> n6",           # both branches reach while y
        "    n6 -->|yes| n6",                       # an empty body loops back
        "    n6 -->|no| n7", "    n7 --> n8",       # e, end
    ]
