"""Failures that say where and why: notes beside the core's exact exceptions,
audit errors as data, warnings for what would otherwise fail in silence, and
the DEBUG record of each run."""

import json  # noqa: F401 - its JSONDecodeError is visible to the processes below
import logging
import re
import uuid
import warnings

import pytest
from helpers import block_growth
from helpers import catch_base as failure

import kestu
from kestu import (AuditBlockError, AuditInterlockError, AuditRecipe, AuditRule, AuditWarning, ContractViolationError,
                   ContractWarning, Machine, ProcessAudit, Workflow, process)
from kestu_core import ContextGuard, Engine, StateMachine, Transaction

ID = uuid.uuid4().hex[:8]


class InvalidClaim(Exception):
    pass


class Claim:
    def __init__(self):
        self.total, self.lines, self.status = 120.0, [{"amount": 5}], "new"


def fail():
    raise InvalidClaim("no lines")


FAIL_LINE = fail.__code__.co_firstlineno + 1

with warnings.catch_warnings():
    warnings.simplefilter("ignore", ContractWarning)

    @process(inputs=["totl"], outputs=["status"])
    def approve(ctx, **_):
        ctx.status = "approved" if ctx.total < 1000 else "held"

    @process(inputs=["total"], errors=["InvalidClam"])
    def check(ctx, **_):
        fail()

    @process(inputs=["total"])
    def narrow(ctx):
        return ctx.total

    @process(inputs=["lines[0].amount"])
    def first_line(ctx, **_):
        return ctx.lines[0]["amount"]

    @process(inputs=["total"], outputs=["status"])
    def rewrite(ctx, **_):
        ctx.total = 0


NAMES = {f.__name__: f"{f.__name__}_{ID}" for f in (approve, check, narrow, first_line, rewrite)}
A, C, N, L, R = NAMES.values()


@pytest.fixture
def engine():
    engine = Engine(Claim(), strict_mode=True)
    for f in (approve, check, narrow, first_line, rewrite):
        engine.register_process(NAMES[f.__name__], f)
    return engine


CVE = "Undeclared Error Violation: Caught {0}: {0}: {1}"
NEVER_RAN = (f"the process never ran: narrow(ctx) cannot take the call narrow(guard, approver=...): got an "
             f"unexpected keyword argument 'approver'; accept the run's keywords with **kwargs: "
             f"def narrow(ctx, ..., **kwargs)")
READ_TOTAL = "declared inputs: 'totl'; outputs: 'status'; did you mean 'total'?"

CASES = [
    (lambda e: e.execute_workflow([{"flux": "if", "condition": "True", "then": [A]}]),
     PermissionError, "Illegal Read: 'total'", [f"in process '{A}', workflow step steps[0].then[0]", READ_TOTAL]),
    (lambda e: e.execute_process(R), PermissionError, "Illegal Write: 'total'",
     [f"in process '{R}'", "declared outputs: 'status'; 'total' is covered by the inputs only, and a write needs an output"]),
    (lambda e: e.execute_process(C), ContractViolationError, CVE.format("InvalidClaim", "no lines"),
     [f"in process '{C}'", "declared errors: 'InvalidClam'; did you mean 'InvalidClaim'?",
      f"the process raised InvalidClaim: no lines, at {__file__}:{FAIL_LINE} in fail"]),
    (lambda e: e.execute_process(N, approver="x"), ContractViolationError,
     CVE.format("TypeError", "narrow() got an unexpected keyword argument 'approver'"),
     [f"in process '{N}'", "declared errors: none", NEVER_RAN]),
    (lambda e: e.execute_workflow(["x" + A[1:], N], approver="x"), KeyError, f"Process 'x{A[1:]}' not found",
     [f"in process 'x{A[1:]}', workflow step steps[0]", f"no process is registered as 'x{A[1:]}'; did you mean '{A}'?"]),
    (lambda e: e.execute_workflow([{"process": N}], approver="x"), ContractViolationError,
     CVE.format("TypeError", "narrow() got an unexpected keyword argument 'approver'"),
     [f"in process '{N}', workflow step steps[0]", "declared errors: none", NEVER_RAN]),
    (lambda e: e.execute_process(L), PermissionError, "Illegal Read: 'lines'",
     [f"in process '{L}'", "declared inputs: 'lines[0].amount'; outputs: none",
      "'lines[0].amount' is declared, but the guard reaches it through 'lines', which it does not cover "
      "(a path is reachable from below only across a '.', not a '['); declare 'lines'"]),
    (lambda e: e.execute_workflow([{"flux": "while", "condition": "1 + 1"}]), TypeError,
     "'int' object cannot be converted to 'PyBool'",
     ["in the condition of workflow step steps[0]: '1 + 1'",
      "a condition must give a bool (True or False), and this one gave int: write the test out, "
      "e.g. 'x is not None' or 'len(x) > 0'"]),
    (lambda e: e.execute_flux_step({"flux": "run", "steps": [{"flux": "while", "condition": "True"}]}),
     RuntimeError, "Flux Loop Safety Trip",
     ["in the 'while' loop of workflow step step.steps[0], condition 'True'",
      "its condition was still true after 10,000 runs of 'do': a 'while' step stops at 10,000 iterations"]),
    (lambda e: e.execute_workflow(Workflow([A])), TypeError, "'Workflow' object cannot be converted to 'PyList'",
     ["in Engine.execute_workflow()", "execute_workflow takes the plain list of steps, not a Workflow: "
      "pass workflow.to_steps(), or run it with workflow.run(engine, **kwargs)"]),
    (lambda e: e.execute_workflow([{"flux": "run", "steps": [{"flux": "if", "else": (A,)}]}]), TypeError,
     "'tuple' object cannot be converted to 'PyList'",
     ["in workflow branch steps[0].steps[0].else",
      "steps and branches ('then', 'else', 'do', 'steps') are lists of steps, not tuple"]),
    (lambda e: e.execute_workflow([None, {"process": 5}]), TypeError, "'int' object cannot be converted to 'PyString'",
     ["in workflow step steps[1]", "the step's 'process' must be a process name (a str), not int"]),
    (lambda e: e.evaluate_condition("ctx.totl > 1"), AttributeError, "'Claim' object has no attribute 'totl'",
     ["in Engine.evaluate_condition('ctx.totl > 1')"]),
]


@pytest.mark.parametrize("call, kind, text, notes", CASES)
def test_failures_carry_notes_and_keep_their_exact_text(engine, call, kind, text, notes):
    exc = failure(lambda: call(engine))
    assert (type(exc), exc.args, str(exc)) == (kind, (text,), repr(text) if kind is KeyError else text)
    assert exc.__notes__ == notes


def test_a_busy_engine_says_why_and_the_undeclared_error_keeps_the_inner_notes(engine):
    @process(outputs=["status"])
    def reenter(ctx):
        engine.execute_process(A)

    name = f"reenter_{ID}"
    engine.register_process(name, reenter)
    exc = failure(lambda: engine.execute_workflow([name]))
    assert exc.args == (CVE.format("RuntimeError", "Already borrowed"),)
    assert exc.__notes__[:2] == [f"in process '{name}', workflow step steps[0]",
                                 "declared errors: none; declare 'RuntimeError' there to let it through"]
    assert exc.__notes__[3:] == [f"  in Engine.execute_process('{A}')",
                                 "  this engine is already running a process: an engine runs one process at a time, "
                                 "and a call from another thread or from inside its own run is refused at once; put "
                                 "a lock around the runs, or give each thread its own engine and context "
                                 "(docs/limits.md)"]


def test_notes_are_added_once_through_nested_runs_and_repeated_raises(engine):
    kept = []

    @process(inputs=["total"])
    def outer(ctx):
        if kept:
            raise kept[0]
        Engine(Claim()).execute_workflow([A])

    name = f"outer_{ID}"
    engine.register_process(name, outer)
    first = failure(lambda: engine.execute_workflow([{"flux": "run", "steps": [name]}]))
    assert first.__notes__ == [f"in process '{A}', workflow step steps[0]", READ_TOTAL]
    kept.append(first)
    assert failure(lambda: engine.execute_process(name)).__notes__ == first.__notes__


DEFINE = "; Machine.from_raw(definition) checks a whole definition"


@pytest.mark.parametrize(
    "definition, text, notes",
    [({"A": {"events": {"go": "B"}}, "B": {"entry": ["x", 5]}}, "'int' object cannot be converted to 'PyString'",
      ["the machine had already moved to 'B' when this failed",
       "the 'entry' of state 'B' lists 5, not a process name (str)" + DEFINE]),
     ({"A": {"on": ["go"]}}, "'list' object cannot be converted to 'PyDict'",
      ["the event table 'on' of state 'A' is a list, not a dict" + DEFINE]),
     ({"A": {"events": {"go": None}}}, "'NoneType' object cannot be converted to 'PyString'",
      ["event 'go' of state 'A' leads to None, not a state name (str)" + DEFINE])],
)
def test_trigger_failures_name_the_state_and_what_is_wrong(definition, text, notes):
    exc = failure(lambda: StateMachine(definition, "A").trigger("go"))
    assert (type(exc), exc.args) == (TypeError, (text,))
    assert exc.__notes__ == ["in StateMachine.trigger('go'), state 'A'", *notes]


def test_a_trigger_note_survives_an_event_whose_repr_raises():
    class Event:
        def __repr__(self):
            raise ValueError("no repr")

    exc = failure(lambda: StateMachine({"A": {}}, "A").trigger(Event()))
    assert (type(exc), exc.__notes__) == (TypeError, ["in StateMachine.trigger(<Event object>), state 'A'"])


# -- audit errors as data, and rules that cannot read --------------------------------


def audited(rules_in=(), rules_out=(), strict=True, body=None):
    @process(inputs=["total", "lines"], outputs=["lines", "status"])
    def work(ctx, **_):
        ctx.status = "done"
        if body:
            body(ctx)

    name = f"audited_{uuid.uuid4().hex[:8]}"
    recipe = AuditRecipe({name: ProcessAudit(tuple(rules_in), tuple(rules_out))})
    claim = Claim()
    engine = Engine(claim, strict_mode=strict, audit_recipe=recipe)
    engine.register_process(name, work)
    return engine, name, claim


def test_audit_errors_carry_the_rule_and_what_it_read():
    engine, name, claim = audited(rules_in=[AuditRule("total", "max", 100, level="S", max_threshold=2)])
    engine.execute_process(name)
    exc = failure(lambda: engine.execute_process(name))
    assert type(exc) is AuditInterlockError
    assert exc.args == ("[input] Rule 'max' violated on 'total'. Value=120.0. Level S",)
    assert (exc.process, exc.phase, exc.target_field, exc.condition, exc.operand, exc.level, exc.count) == (
        name, "input", "total", "max", 100, "S", 2)
    assert exc.value == 120.0

    engine, name, claim = audited(rules_out=[AuditRule("lines", "max_len", 1, message="too many")],
                                  body=lambda ctx: ctx.lines.append({"amount": 1}))
    exc = failure(lambda: engine.execute_process(name))
    assert (type(exc), exc.args, exc.phase, exc.operand, exc.count) == (AuditBlockError, ("too many",), "output", 1, 1)
    assert type(exc.value) is list and exc.value == [{"amount": 5}, {"amount": 1}]  # the run's copy, not a view
    assert (claim.lines, claim.status) == ([{"amount": 5}], "new")
    assert AuditBlockError("by hand").process is None


def test_an_unreadable_rule_warns_once_per_rule_and_engine_and_passes():
    rules = [AuditRule("totl", "max", 100), AuditRule("lines.count()", "min", 1, level="W")]
    engine, name, _ = audited(rules_in=rules)
    with pytest.warns(AuditWarning) as caught:
        for _ in range(3):
            engine.execute_process(name)
    assert [str(w.message) for w in caught.list] == [
        f"AuditRule('totl', 'max', 100, level='B') of process '{name}' (input rules): 'totl' cannot be read "
        "(nothing named 'totl' on the context); the rule passes unchecked until it can; did you mean 'total'?",
        f"AuditRule('lines.count()', 'min', 1, level='W') of process '{name}' (input rules): 'lines.count()' cannot "
        "be read (count() cannot be called on 'lines'); the rule passes unchecked until it can",
    ]
    assert {w.filename for w in caught.list} == {__file__}
    with pytest.warns(AuditWarning) as caught:
        Workflow([name]).run(Engine(Claim(), audit_recipe=AuditRecipe({name: ProcessAudit(tuple(rules))})))
    assert {w.filename for w in caught.list} == {__file__}  # the user's line, not the builder's


def test_an_unreadable_rule_made_an_error_by_a_filter_ends_the_run_rolled_back():
    engine, name, claim = audited(rules_out=[AuditRule("statu", "eq", "done")])
    with warnings.catch_warnings():
        warnings.simplefilter("error", AuditWarning)
        assert type(failure(lambda: engine.execute_process(name))) is AuditWarning
    assert claim.status == "new"
    engine.execute_process(name)  # reported once: the rule now passes without a word
    assert claim.status == "done"


# -- declarations that would fail in silence ---------------------------------------------


class _Lazy:
    """A module global that must not be touched by @process: its __class__ raises (a lazy proxy)."""

    @property
    def __class__(self):
        raise RuntimeError("configure me first")


_LAZY = _Lazy()


def scoped(errors):
    class LocalError(Exception):
        pass

    def make():
        @process(errors=errors)
        def p(ctx):
            raise LocalError

        return p

    return make


@pytest.mark.parametrize(
    "errors, warned",
    [(["InvalidClaim", "KeyError", "JSONDecodeError", "LocalError"], []),
     (["InvalidClam"], ["errors[0] 'InvalidClam' names no exception class visible from module 'test_notes' or the "
                        "builtins (errors are matched by class name); did you mean 'InvalidClaim'?"]),
     (["Nowhere"], ["errors[0] 'Nowhere' names no exception class visible from module 'test_notes' or the builtins "
                    "(errors are matched by class name); filter ContractWarning if it is raised from elsewhere"])],
)
def test_undeclarable_error_names_warn(errors, warned):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        scoped(errors)()
    assert [str(w.message) for w in caught] == warned
    assert all(w.filename == __file__ for w in caught)


@pytest.mark.parametrize(
    "inputs, outputs, warned",
    [(["lines[0].amount"], [], "inputs[0] 'lines[0].amount' can never be reached: the guard reads 'lines' on the way"),
     (["a"], ["a.b[0]", "c.d[1][2]"], "outputs[1] 'c.d[1][2]' can never be reached: the guard reads 'c.d' on the way"),
     (["lines", "lines[0].amount"], ["x.y"], None),
     (["x.y"], ["x[0]"], None)],
)
def test_paths_the_guard_cannot_reach_warn(inputs, outputs, warned):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        process(inputs=inputs, outputs=outputs)
    assert [str(w.message).split(", which")[0] for w in caught] == ([warned] if warned else [])


def test_a_default_start_state_says_so():
    with pytest.raises(ValueError) as info:
        Machine.from_raw({"idle": {}})
    assert str(info.value) == ("start state 'IDLE' (the default, as in the core) is not defined; did you mean 'idle'?; "
                               "pass start=... to name the first state")
    assert Machine.from_raw({"IDLE": {}}).start == "IDLE"


# -- the package closes its loops ------------------------------------------------------


def test_workflow_run_is_execute_workflow(engine):
    seen = []

    @process()
    def echo(ctx, **kwargs):
        seen.append(kwargs)

    engine.register_process(f"echo_{ID}", echo)
    flow = Workflow([kestu.If("ctx.total > 100", then=[f"echo_{ID}"])])
    # "engine" is handed on to the processes like any other keyword.
    assert flow.run(engine, engine=1) is engine.execute_workflow(flow.to_steps(), engine=1)
    assert seen == [{"engine": 1}] * 2


def test_internal_error_is_reachable_by_name():
    ctx = Claim()
    guard = ContextGuard(ctx, ["hostile"], ["x"], Transaction())

    class Hostile:
        def __copy__(self):
            guard.x = 2  # the transaction is busy making this very copy
            return Hostile()

    ctx.hostile = Hostile()
    with pytest.raises(kestu.InternalError) as info:
        guard.hostile
    assert type(info.value).__name__ == "InternalError" and not issubclass(kestu.InternalError, Exception)


# -- what each run did ---------------------------------------------------------------


def test_each_run_leaves_a_debug_record(caplog, engine):
    caplog.set_level(logging.DEBUG, logger="kestu_core.engine")
    audited_engine, name, _ = audited(rules_out=[AuditRule("status", "eq", "new")], strict=False)
    for call in (lambda: engine.execute_process(A), lambda: engine.execute_process(C),
                 lambda: audited_engine.execute_process(name)):
        failure(call)
    Engine(Claim()).execute_process(N)

    @process(inputs=["total"], outputs=["lines", "status"])
    def writes(ctx):
        ctx.status = "x"
        ctx.lines.append(1)
        ctx.lines[0]["amount"] = 3
        ctx.status = "y"

    engine.register_process(f"writes_{ID}", writes)
    engine.execute_process(f"writes_{ID}")
    texts = [re.sub(r"\(\d+\.\d{3} ms\)", "(t)", r.getMessage()) for r in caplog.records if r.name == "kestu_core.engine"]
    assert texts == [
        f"process '{A}': raised PermissionError, rolled back (t)",
        f"process '{C}': raised ContractViolationError, rolled back (t)",
        f"process '{name}': refused by AuditBlockError (t); not strict, writes stay",
        f"process '{N}': returned (t); not strict, writes not recorded",
        f"process 'writes_{ID}': committed (t); wrote status, lines, lines[0].amount",
    ]
    caplog.set_level(logging.INFO, logger="kestu_core.engine")
    engine.execute_process(f"writes_{ID}")
    assert len(caplog.records) == 5


def test_failures_with_notes_do_not_leak(engine):
    def run():
        for call in (lambda: engine.execute_workflow([{"flux": "if", "condition": "True", "then": [A]}]),
                     lambda: engine.execute_process(C), lambda: engine.execute_process(N, approver=1),
                     lambda: engine.execute_process("x" + A)):
            try:
                call()
            except Exception:
                pass

    # A leak grows by a block per failure at least (4,000 here); the caches the
    # notes keep filling (difflib, inspect, re) account for tens.
    assert block_growth(run, warmup=300, rounds=1000) < 400
