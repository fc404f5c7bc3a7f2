"""Workflow and state machine builders: the plain forms they give the core, and
the mistakes they report, by place, when a definition is written."""

import uuid

import pytest

from kestu import If, Machine, Run, State, Step, While, Workflow, process
from kestu_core import Engine, StateMachine


class Ctx:
    def __init__(self):
        self.log = []
        self.n = 0


def test_workflow_gives_the_plain_list_and_runs_like_it():
    ctx, tag = Ctx(), uuid.uuid4().hex[:6]
    engine = Engine(ctx)
    a, b, c = (f"{name}_{tag}" for name in "abc")
    for name in (a, b, c):
        @process(inputs=["log", "n"], outputs=["log", "n"])
        def step(guard, _name=name[0]):
            guard.log.append(_name)
            guard.n = guard.n + 1

        engine.register_process(name, step)
    flow = Workflow([a, If("ctx.n > 5", then=[b], else_=[Step(c)]), While("ctx.n < 4", do=[a]),
                     Run([If("True", then=[b])])])
    raw = [a, {"flux": "if", "condition": "ctx.n > 5", "then": [b], "else": [c]},
           {"flux": "while", "condition": "ctx.n < 4", "do": [a]},
           {"flux": "run", "steps": [{"flux": "if", "condition": "True", "then": [b]}]}]
    assert flow.to_steps() == raw
    assert Workflow.from_raw(raw) == flow == Workflow.from_raw([{"process": a}, *raw[1:]])
    engine.execute_workflow(flow.to_steps())
    assert ctx.log == ["a", "c", "a", "a", "b"]


@pytest.mark.parametrize(
    "raw, error, message",
    [
        (("a",), TypeError, "steps: the engine takes a list here, got tuple (write [...])"),
        (["a", {"flux": "if", "condition": "True", "then": ("b",)}], TypeError, "steps[1].then: the engine takes a list"),
        ([{"flux": "WHILE", "condition": "True"}], ValueError, "steps[0]: unknown flux kind 'WHILE'; did you mean 'while'?"),
        ([{"flux": "if", "condition": "True", "els": []}], ValueError, "unknown key 'els' in the 'if' step; did you mean 'else'?"),
        ([{"flux": "run", "steps": [{"flux": "if", "condition": "x = 1"}]}], SyntaxError,
         "steps[0].steps[0]: condition 'x = 1' is not an expression"),
        ([{"flux": "while", "condition": "ok\0"}], ValueError, "steps[0]: condition 'ok\\x00' contains a NUL character"),
        ([{"flux": "if", "then": ["a"]}], ValueError, "steps[0]: the 'if' step needs a 'condition'"),
        ([{"process": "a", "flux": "while"}], ValueError, "steps[0]: a step with 'process' runs that process and ignores 'flux'"),
        ([{"proces": "a"}], ValueError, "steps[0]: a step dict needs 'process' or 'flux'; did you mean 'process'?"),
        ([{"process": 5}], TypeError, "steps[0]: 'process' must be str, got int (5)"),
        (["a", 42], TypeError, "steps[1]: a step is a process name (str) or a dict, got int"),
        ([{"flux": "while", "condition": "True", "do": [""]}], ValueError, "steps[0].do[0] is an empty name"),
    ],
)
def test_raw_workflow_mistakes(raw, error, message):
    with pytest.raises(error) as info:
        Workflow.from_raw(raw)
    assert message in (info.value.msg if error is SyntaxError else str(info.value))


def test_condition_syntax_error_shows_the_condition():
    with pytest.raises(SyntaxError) as info:
        If("ctx.total >= ", then=["a"])
    assert info.value.msg.startswith("If: condition 'ctx.total >= ' is not an expression")
    assert (info.value.filename, info.value.text) == ("<condition>", "ctx.total >= ")


@pytest.mark.parametrize(
    "build, error, message",
    [
        (lambda: If("True", then="a"), TypeError, "If then must be a sequence of steps, not a single str"),
        (lambda: While("True", do=[{"process": "a"}]), TypeError, "; Workflow.from_raw checks plain step dicts"),
        (lambda: Run([["a"]]), TypeError, "Run steps[0] must be a process name or a Step, If, While or Run, got list"),
        (lambda: Step(""), ValueError, "Step process is an empty name"),
    ],
)
def test_workflow_builder_mistakes(build, error, message):
    with pytest.raises(error) as info:
        build()
    assert message in str(info.value)


RAW = {
    "NEW": {"events": {"submit": "PRICING"}},
    "PRICING": {"process": "price", "on": {"ok": "DONE", "refused": "NEW"}},
    "DONE": {"entry": ["ship", "notify"], "transitions": {"reopen": "NEW"}},
}


def test_machine_gives_the_plain_dict_and_behaves_like_the_raw_one():
    machine = Machine({"NEW": State(events={"submit": "PRICING"}),
                       "PRICING": State(entry="price", events={"ok": "DONE", "refused": "NEW"}),
                       "DONE": State(entry=("ship", "notify"), events={"reopen": "NEW"})}, start="NEW")
    assert Machine.from_raw(RAW, "NEW") == machine
    assert machine.definition()["PRICING"] == {"events": {"ok": "DONE", "refused": "NEW"}, "entry": ["price"]}
    built, plain = machine.build(), StateMachine(RAW, "NEW")
    for event in ["submit", "refused", "submit", "ok", "nothing", "reopen", "submit"]:
        assert (built.trigger(event), built.current_state) == (plain.trigger(event), plain.current_state)


@pytest.mark.parametrize(
    "raw, start, error, message",
    [
        ({"IDLE": {"event": {"go": "IDLE"}}}, "IDLE", ValueError, "state 'IDLE': unknown key 'event' in the state; did you mean 'events'?"),
        ({"IDLE": {"on_entry": ["x"]}}, "IDLE", ValueError, "state 'IDLE': unknown key 'on_entry' in the state; did you mean 'entry'?"),
        ({"IDLE": {"events": {"go": "RUNING"}}, "RUNNING": {}}, "IDLE", ValueError,
         "state 'IDLE', event 'go': 'RUNING' is not a defined state; did you mean 'RUNNING'? (a final state is State())"),
        ({"RUNNING": {}}, "IDLE", ValueError, "start state 'IDLE' is not defined"),
        ({"IDLE": {"on": True}}, "IDLE", TypeError, "state 'IDLE': the event table is a boolean; write the events under 'events'"),
        ({"IDLE": {"events": {"go": 1}}}, "IDLE", TypeError, "state 'IDLE', event 'go': the target state must be str, got int (1)"),
        ({"IDLE": {"entry": ("a", "b")}}, "IDLE", TypeError, "state 'IDLE': 'entry' must be a name or a list of names, got tuple"),
        ({"IDLE": {"entry": "a", "process": "b"}}, "IDLE", ValueError, "state 'IDLE': both 'entry', 'process' given"),
        ({1: {}}, "IDLE", TypeError, "state name must be str, got int (1)"),
        ({"IDLE": {}}, None, TypeError, "start must be str, got NoneType (None)"),
    ],
)
def test_raw_machine_mistakes(raw, start, error, message):
    with pytest.raises(error) as info:
        Machine.from_raw(raw, start)
    assert message in str(info.value)


@pytest.mark.parametrize(
    "build, message",
    [
        (lambda: Machine({"IDLE": {"events": {}}}, "IDLE"), "state 'IDLE' must be a State, got dict; Machine.from_raw"),
        (lambda: State(entry={"a", "b"}), "State: entry must be a name or a list of names, got set"),
    ],
)
def test_machine_builder_mistakes(build, message):
    with pytest.raises(TypeError) as info:
        build()
    assert message in str(info.value)
