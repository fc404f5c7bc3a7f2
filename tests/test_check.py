"""The contract checker: every planted mistake found where it is, nothing on clean code."""

import json
import pathlib
import re
import textwrap

import pytest

import kestu.demo
from kestu.check import CODES, check_file, check_source, markdown_python, suggest_file, suggest_source

from test_cli import PLANTED, kestu_cli

ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_each_planted_mistake_is_reported_at_its_line_and_nothing_else():
    expected = {
        (number, code)
        for number, line in enumerate(PLANTED.read_text().splitlines(), 1)
        for code in re.findall(r"expect: (KC\d+)", line)
    }
    assert {code for _, code in expected} == set(CODES) - {"KC001"}
    run = kestu_cli("check", "--format", "json", str(PLANTED))
    assert run.returncode == 1, run.stderr
    assert {(f["line"], f["code"]) for f in json.loads(run.stdout)} == expected


@pytest.mark.parametrize("doc", [ROOT / "python/kestu/demo.py", ROOT / "README.md", *sorted(ROOT.glob("docs/*.md"))],
                         ids=lambda p: p.name)
def test_the_demo_and_the_docs_are_clean(doc):
    assert [str(f) for f in check_file(doc)] == []


def test_suggested_contracts_of_the_demo_are_no_wider_than_declared():
    declared = {fn.__name__: fn._pop_contract for fn in kestu.demo.PROCESSES}
    suggestions = suggest_file(kestu.demo.__file__)
    assert {s.process for s in suggestions} == set(declared)
    for s in suggestions:
        contract = declared[s.process]
        inside = lambda path, within: any(  # noqa: E731
            path == d or (path.startswith(d) and path[len(d)] in ".[") for d in within)
        assert all(inside(p, contract.outputs) for p in s.outputs), s
        assert all(inside(p, contract.inputs + contract.outputs) for p in s.inputs), s
        assert set(s.errors) <= set(contract.errors) and s.complete, s


def findings(body, inputs=(), outputs=(), errors=(), prelude=""):
    source = f"from kestu import process\n{prelude}\n" \
             f"@process(inputs={list(inputs)!r}, outputs={list(outputs)!r}, errors={list(errors)!r})\n" \
             f"def p(ctx, **_):\n{textwrap.indent(textwrap.dedent(body), '    ')}"
    return [f"{f.code} {f.path}" if f.path is not None else f.code for f in check_source(source)]


@pytest.mark.parametrize("body, inputs, outputs, errors, expected", [
    # an alias only walked through is covered as an ancestor
    ("order = ctx.order\norder.paid = order.total > 0", ["order.total"], ["order.paid"], [], []),
    ("for line in ctx.lines:\n    line.qty", ["lines"], [], [], []),
    ("for line in ctx.lines:\n    line.qty", ["lines[0]"], [], [],
     ["KC203 lines[0]", "KC101 lines"]),
    ("ctx.picked.append(1)", ["picked"], [], [], ["KC102 picked"]),
    ("ctx.stock.get('widget')\nctx.stock['gadget']", ["stock.widget"], [], [], ["KC101 stock.gadget"]),
    ("ctx.username", ["user"], [], [], ["KC201 user", "KC101 username"]),
    ("ctx[0]\nctx[None] = 1\nctx.grid[(1, 2)][-1]", ["grid.(1, 2)"], [], [], ["KC101 [0]", "KC102 .None"]),
    ("ctx.count += 1", ["count"], [], [], ["KC102 count"]),
    ("setattr(ctx, 'a', getattr(ctx, 'b'))", ["b"], [], [], ["KC102 a"]),
    ("ctx.__class__\nctx._target", [], [], [], ["KC401"]),
    ("ctx.items[1:3]", ["items"], [], [], []),
    # raises: caught, re-raised, always let through, declared by a base class name
    ("try:\n    raise KeyError('x')\nexcept LookupError:\n    pass", [], [], [], []),
    ("try:\n    ctx.a\nexcept KeyError as exc:\n    raise exc", ["a"], [], [], ["KC103"]),
    ("raise SystemExit(1)\nraise PermissionError('no')", [], [], [], []),
    ("raise KeyError('x')", [], [], ["LookupError"], ["KC103"]),
    # where the context goes out of sight
    ("return ctx", [], [], [], ["KC401"]),
    ("KEPT.append(ctx)", [], [], [], ["KC401"]),
    ("for key in ctx:\n    pass", [], [], [], ["KC401"]),
    ("global G\nG = ctx", [], [], [], ["KC401"]),
    ("def later():\n    return ctx.a\nsorted([1], key=lambda i: ctx.a)\nKEPT.append(later)", ["a"], [], [], ["KC401"]),
    ("len(ctx)\nisinstance(ctx, object)\nc = ctx\nc.a", ["a"], [], [], []),
    ("x = ctx.a if ctx.b else None\nx.c", ["a", "b"], [], [], []),
    # a name that is the context on one way and something else on another is not guessed at
    ("for item in ctx.items:\n    item.price\nfor item in KEPT:\n    item.flag = 1", ["items"], [], [], ["KC406"] * 2),
    ("node = ctx.head\nwhile node:\n    node = node.next", ["head"], [], [], ["KC406"]),
])
def test_what_the_body_does_is_spelled_and_judged_as_the_guard_does(body, inputs, outputs, errors, expected):
    assert findings(body, inputs, outputs, errors) == expected


def test_a_method_gets_the_guard_after_self():
    source = "from kestu import process\nclass P:\n    @process()\n    def run(self, ctx):\n        self.x = ctx.b\n"
    assert [f"{f.code} {f.path}" for f in check_source(source)] == ["KC101 b"]


def test_a_keyword_call_that_cannot_reach_the_process_is_found():
    source = textwrap.dedent("""
        from kestu import Workflow, process
        @process()
        def a(ctx, limit, *, mode="x"):
            pass
        FLOW = Workflow(["a"])
        def run(engine):
            engine.register_process("a", a)
            engine.execute_workflow(FLOW.to_steps(), mode="y", ctx=1)
            engine.execute_workflow(FLOW.to_steps(), **{"limit": 1})
    """)
    assert [f.message for f in check_source(source)] == [
        "process 'a' needs the keyword 'limit', which this workflow run does not pass",
        "process 'a' gets the guard as 'ctx', and this workflow run passes 'ctx' again",
    ]


def test_plain_workflows_and_machines_are_checked_too():
    source = textwrap.dedent("""
        from kestu import Machine, Workflow, process
        @process()
        def a(ctx):
            pass
        def run(engine):
            engine.register_process("a", a)
            engine.execute_workflow([{"flux": "if", "condition": "ctx.x ==", "then": [{"process": "b"}]}])
        FLOW = Workflow.from_raw([{"flux": "run", "steps": ["a", "c"]}])
        STATES = Machine.from_raw({"IDLE": {"on": {"go": "BUSY"}}, "BUSY": {"transitions": {"back": "IDLE"}},
                                   "DONE": {}})
        @process()
        def no_guard(*, limit):
            pass
    """)
    assert [f"{f.line}:{f.col} {f.code}" for f in check_source(source)] == [
        "8:58 KC302", "8:91 KC301", "9:58 KC301", "10:28 KC305", "10:60 KC305", "11:28 KC304", "13:1 KC105",
    ]


def test_suppressed_findings_stay_quiet_and_leave_the_suggestion():
    source = textwrap.dedent("""
        from kestu import process
        @process(inputs=["a"])
        def p(ctx):
            ctx.b = ctx.a  # kestu: ignore[KC102] - refused on purpose
            ctx.c = 1  # kestu: ignore[KC101]
            ctx.items[0].qty = ctx.lines[2]  # kestu: ignore
            ctx.d = 1  # kestu: ignored is no marker
    """)
    assert [f"{f.line} {f.code}" for f in check_source(source)] == ["6 KC102", "8 KC102"]
    [suggestion] = suggest_source(source)
    assert (suggestion.inputs, suggestion.outputs) == (("a",), ("c", "d"))


def test_suggestions_name_what_a_contract_can_reach():
    source = textwrap.dedent("""
        from kestu import process
        @process()
        def p(ctx, sku):
            ctx.stock[sku] = ctx.items[0].qty + ctx.order.total
            ctx.log.append(ctx.order.id)
            raise LookupError(sku)
        @process()
        def q(ctx):
            helper(ctx)
    """)
    s, partial = suggest_source(source, "shop.py")
    assert str(s) == ('shop.py:4: p: @process(inputs=["items", "order.id", "order.total"], '
                      'outputs=["log", "stock"], errors=["LookupError"])')
    assert str(partial) == "shop.py:9: q: @process()  # incomplete: see the unknown findings"


def test_positions_are_those_an_editor_shows():
    source = "from kestu import process\n@process()\ndef p(ctx):\n    x = 'ééé'; ctx.b = 1\n"
    [finding] = check_source(source, "m.py")
    assert str(finding) == "m.py:4:20: KC102 writes 'b', which no output covers"
    assert [f.code for f in check_source("def (:\n")] == ["KC001"]


@pytest.mark.parametrize("content, says", [
    (b"# -*- coding: nope -*-\nx = 1\n", "unknown encoding"),
    (b"x = '\xff'\n", "encoding"),
    (b"x = " + b"-" * 100_000 + b"1\n", "does not parse: "),
], ids=["coding line", "bytes", "too deep"])
def test_a_file_that_cannot_be_read_or_parsed_is_a_finding_not_a_crash(tmp_path, content, says):
    (tmp_path / "m.py").write_bytes(content)
    [finding] = check_file(tmp_path / "m.py")
    assert finding.code == "KC001" and says in finding.message and not finding.message.endswith(": ")


def test_markdown_examples_keep_their_lines_and_can_be_marked_wrong_on_purpose(tmp_path):
    block = "```python\n@process()\ndef p(ctx):\n    ctx.a = 1\n```\n"
    text = f"# Title\n\n```python\nfrom kestu import process\n```\n\nText.\n\n{block}\n" \
           f"<!-- kestu: ignore[KC102] -->\n{block}<!-- kestu: ignore[KC101] -->\n{block}"
    assert markdown_python(text).splitlines()[11] == "    ctx.a = 1"
    (tmp_path / "doc.md").write_text(text)
    assert [f.line for f in check_file(tmp_path / "doc.md")] == [12, 25]
