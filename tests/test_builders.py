"""Workflow and state machine builders: the plain forms they give the core, and
the mistakes they report when a definition is written."""

import uuid

import pytest

from kestu import If, Machine, Run, State, Step, While, Workflow, process
from kestu_core import Engine, StateMachine


class Ctx:
    def __init__(self):
        self.log = []
        self.n = 0


def engine_with(*names):
    """An engine whose processes append their name to ctx.log; returns (engine, ctx, unique names)."""
    ctx, tag = Ctx(), uuid.uuid4().hex[:6]
    engine = Engine(ctx)
    for name in names:
        @process(inputs=["log", "n"], outputs=["log", "n"])
        def step(guard, _name=name):
            guard.log.append(_name)
            guard.n = guard.n + 1

        engine.register_process(f"{name}_{tag}", step)
    return engine, ctx, {name: f"{name}_{tag}" for name in names}


# -- workflows ---------------------------------------------------------------------


def test_workflow_gives_the_plain_list_and_runs_like_it():
    engine, ctx, p = engine_with("a", "b", "c")
    flow = Workflow([
        p["a"],
        If("ctx.n > 5", then=[p["b"]], else_=[Step(p["c"])]),
        While("ctx.n < 4", do=[p["a"]]),
        Run([If("True", then=[p["b"]])]),
    ])
    raw = [
        p["a"],
        {"flux": "if", "condition": "ctx.n > 5", "then": [p["b"]], "else": [p["c"]]},
        {"flux": "while", "condition": "ctx.n < 4", "do": [p["a"]]},
        {"flux": "run", "steps": [{"flux": "if", "condition": "True", "then": [p["b"]]}]},
    ]
    assert flow.to_steps() == raw
    assert Workflow.from_raw(raw) == flow
    assert Workflow.from_raw([{"process": p["a"]}]) == Workflow([p["a"]])
    engine.execute_workflow(flow.to_steps())
    assert ctx.log == ["a", "c", "a", "a", "b"]


@pytest.mark.parametrize(
    "raw, error, message",
    [
        (("a",), TypeError, "steps: the engine takes a list here, got tuple (write [...])"),
        (["a", {"flux": "if", "condition": "True", "then": ("b",)}], TypeError,
         "steps[1].then: the engine takes a list here, got tuple (write [...])"),
        ([{"flux": "WHILE", "condition": "True"}], ValueError,
         "steps[0]: unknown flux kind 'WHILE'; did you mean 'while'? (known: 'if', 'while', 'run')"),
        ([{"flux": "loop"}], ValueError, "steps[0]: unknown flux kind 'loop' (known: 'if', 'while', 'run')"),
        ([{"flux": "if", "condition": "True", "els": ["a"]}], ValueError,
         "steps[0]: unknown key 'els' in the 'if' step; did you mean 'else'? "
         "(known: 'flux', 'condition', 'then', 'else')"),
        ([{"flux": "run", "steps": [{"flux": "if", "condition": "x = 1"}]}], SyntaxError,
         "steps[0].steps[0]: condition 'x = 1' is not an expression: invalid syntax"),
        ([{"flux": "while", "condition": "ctx.n <"}], SyntaxError,
         "steps[0]: condition 'ctx.n <' is not an expression: invalid syntax"),
        ([{"flux": "while", "condition": "ok\0"}], ValueError, "steps[0]: condition 'ok\\x00' contains a NUL character"),
        ([{"flux": "if", "then": ["a"]}], ValueError,
         "steps[0]: the 'if' step needs a 'condition' (without one the engine reads False)"),
        ([{"flux": "if", "condition": 1}], TypeError, "steps[0]: condition must be str, got int"),
        ([{"process": "a", "flux": "while"}], ValueError,
         "steps[0]: a step with 'process' runs that process and ignores 'flux'"),
        ([{"proces": "a"}], ValueError, "steps[0]: a step dict needs 'process' or 'flux'; did you mean 'process'?"),
        ([{"process": 5}], TypeError, "steps[0]: 'process' must be str, got int (5)"),
        ([{"flux": 1}], TypeError, "steps[0]: 'flux' must be str, got int"),
        (["a", 42], TypeError, "steps[1]: a step is a process name (str) or a dict, got int"),
        ([{"flux": "while", "condition": "True", "do": [""]}], ValueError, "steps[0].do[0] is an empty name"),
    ],
)
def test_raw_workflow_mistakes_are_named_by_place(raw, error, message):
    with pytest.raises(error) as info:
        Workflow.from_raw(raw)
    text = info.value.msg if error is SyntaxError else str(info.value)
    assert text == message


def test_condition_syntax_error_shows_the_condition():
    with pytest.raises(SyntaxError) as info:
        If("ctx.total >= ", then=["a"])
    err = info.value
    assert err.msg.startswith("If: condition 'ctx.total >= ' is not an expression")
    assert (err.filename, err.text, err.lineno) == ("<condition>", "ctx.total >= ", 1)


@pytest.mark.parametrize(
    "build, error, fragment",
    [
        (lambda: If("True", then="a"), TypeError, "If then must be a sequence of steps, not a single str"),
        (lambda: While("True", do=[{"process": "a"}]), TypeError, "While do[0] must be a process name or a Step"),
        (lambda: Run([["a"]]), TypeError, "Run steps[0] must be a process name or a Step, If, While or Run, got list"),
        (lambda: Workflow(3), TypeError, "Workflow steps must be a sequence of steps, got int"),
        (lambda: Step(""), ValueError, "Step process is an empty name"),
        (lambda: If(None), TypeError, "If: condition must be str, got NoneType"),
    ],
)
def test_builder_mistakes(build, error, fragment):
    with pytest.raises(error) as info:
        build()
    assert str(info.value).startswith(fragment)


# -- state machines ----------------------------------------------------------------

RAW = {
    "NEW": {"events": {"submit": "PRICING"}},
    "PRICING": {"process": "price", "on": {"ok": "DONE", "refused": "NEW"}},
    "DONE": {"entry": ["ship", "notify"], "transitions": {"reopen": "NEW"}},
}


def test_machine_gives_the_plain_dict_and_behaves_like_the_raw_one():
    machine = Machine(
        {
            "NEW": State(events={"submit": "PRICING"}),
            "PRICING": State(entry="price", events={"ok": "DONE", "refused": "NEW"}),
            "DONE": State(entry=("ship", "notify"), events={"reopen": "NEW"}),
        },
        start="NEW",
    )
    assert Machine.from_raw(RAW, "NEW") == machine
    assert machine.definition() == {
        "NEW": {"events": {"submit": "PRICING"}},
        "PRICING": {"events": {"ok": "DONE", "refused": "NEW"}, "entry": ["price"]},
        "DONE": {"events": {"reopen": "NEW"}, "entry": ["ship", "notify"]},
    }
    built, plain = machine.build(), StateMachine(RAW, "NEW")
    for event in ["submit", "refused", "submit", "ok", "nothing", "reopen", "submit"]:
        assert built.trigger(event) == plain.trigger(event)
        assert built.current_state == plain.current_state


@pytest.mark.parametrize(
    "raw, start, error, message",
    [
        ({"IDLE": {"event": {"go": "IDLE"}}}, "IDLE", ValueError,
         "state 'IDLE': unknown key 'event' in the state; did you mean 'events'? "
         "(known: 'events', 'on', 'transitions', 'entry', 'process')"),
        ({"IDLE": {"on_entry": ["x"]}}, "IDLE", ValueError, "state 'IDLE': unknown key 'on_entry' in the state; "
         "did you mean 'entry'? (known: 'events', 'on', 'transitions', 'entry', 'process')"),
        ({"IDLE": {"events": {"go": "RUNING"}}, "RUNNING": {}}, "IDLE", ValueError,
         "state 'IDLE', event 'go': 'RUNING' is not a defined state; did you mean 'RUNNING'? (a final state is State())"),
        ({"RUNNING": {}}, "IDLE", ValueError, "start state 'IDLE' is not defined"),
        ({"running": {}}, "RUNNING", ValueError, "start state 'RUNNING' is not defined; did you mean 'running'?"),
        ({"IDLE": {"on": True}}, "IDLE", TypeError,
         "state 'IDLE': the event table is a boolean; write the events under 'events'"),
        ({"IDLE": {"events": {"go": 1}}}, "IDLE", TypeError,
         "state 'IDLE', event 'go': the target state must be str, got int (1)"),
        ({"IDLE": {"events": {3: "IDLE"}}}, "IDLE", TypeError, "state 'IDLE': event name must be str, got int (3)"),
        ({"IDLE": {"events": [("go", "IDLE")]}}, "IDLE", TypeError, "state 'IDLE': 'events' must be a dict, got list"),
        ({"IDLE": {"entry": ("a", "b")}}, "IDLE", TypeError,
         "state 'IDLE': 'entry' must be a name or a list of names, got tuple"),
        ({"IDLE": {"entry": ["a", 2]}}, "IDLE", TypeError, "state 'IDLE': entry[1] must be str, got int (2)"),
        ({"IDLE": {"entry": "a", "process": "b"}}, "IDLE", ValueError,
         "state 'IDLE': both 'entry', 'process' given; the machine reads only 'entry'"),
        ({"IDLE": {"events": {}, "on": {}}}, "IDLE", ValueError,
         "state 'IDLE': both 'events', 'on' given; the machine reads only 'events'"),
        ({"IDLE": []}, "IDLE", TypeError, "state 'IDLE': a state is a dict, got list"),
        ({1: {}}, "IDLE", TypeError, "state name must be str, got int (1)"),
        ([], "IDLE", TypeError, "definition must be a dict of state name to state, got list"),
        ({"IDLE": {}}, None, TypeError, "start must be str, got NoneType (None)"),
    ],
)
def test_raw_machine_mistakes_are_named_by_state_and_event(raw, start, error, message):
    with pytest.raises(error) as info:
        Machine.from_raw(raw, start)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "build, error, message",
    [
        (lambda: Machine({"IDLE": {"events": {}}}, "IDLE"), TypeError,
         "state 'IDLE' must be a State, got dict; Machine.from_raw checks plain dicts"),
        (lambda: State(entry={"a", "b"}), TypeError, "State: entry must be a name or a list of names, got set"),
        (lambda: State(events={"go": ""}), ValueError, "State, event 'go': the target state is an empty name"),
        (lambda: Machine([], "IDLE"), TypeError, "states must be a dict of state name to State, got list"),
    ],
)
def test_machine_builder_mistakes(build, error, message):
    with pytest.raises(error) as info:
        build()
    assert str(info.value) == message
