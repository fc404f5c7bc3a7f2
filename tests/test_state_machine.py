"""StateMachine: construction, trigger's step order, bad definitions, re-entrancy, GC."""

import gc
import logging
import sys
import weakref

import pytest

from kestu_core import StateMachine
from helpers import block_growth

BASIC = {
    "IDLE": {"events": {"START": "RUNNING"}},
    "RUNNING": {"entry": ["load", "check"]},
}


def conversion(type_name, target, arg=None):
    text = f"'{type_name}' object cannot be converted to '{target}'"
    return f"argument '{arg}': {text}" if arg else text


class FakeNumpyBool:
    """Stand-in for NumPy's boolean scalar."""

    __module__ = "numpy"

    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


FakeNumpyBool.__name__ = "bool_"


def test_signatures():
    assert StateMachine.__text_signature__ == "(definition, start_state=...)"
    assert StateMachine.trigger.__text_signature__ == "($self, event)"
    assert StateMachine.get_current_state.__text_signature__ == "($self)"


@pytest.mark.parametrize(
    "args, kwargs, state",
    [
        (({},), {}, "IDLE"),
        (({}, "READY"), {}, "READY"),
        ((), {"definition": {}, "start_state": "READY"}, "READY"),
        (([1, 2],), {}, "IDLE"),  # the definition is not checked until trigger
        ((None, ""), {}, ""),
    ],
)
def test_construction(args, kwargs, state):
    machine = StateMachine(*args, **kwargs)
    assert machine.current_state == state
    assert machine.get_current_state() == state
    assert type(machine.current_state) is str


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (({}, None), {}, conversion("NoneType", "PyString", "start_state")),
        (({}, 5), {}, conversion("int", "PyString", "start_state")),
        ((), {}, "StateMachine() missing 1 required positional argument: 'definition'"),
        (({}, "A", "B"), {}, None),
        (({},), {"state": "A"}, None),
    ],
)
def test_construction_refused(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        StateMachine(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message


def test_current_state_is_read_only():
    machine = StateMachine({})
    with pytest.raises(AttributeError):
        machine.current_state = "RUNNING"
    with pytest.raises(AttributeError):
        del machine.current_state
    assert machine.current_state == "IDLE"


def test_empty_definition_never_moves():
    machine = StateMachine({})
    assert machine.trigger("START") == []
    assert machine.current_state == "IDLE"


def test_entry_names_are_returned_and_unknown_events_are_no_ops():
    machine = StateMachine(BASIC)
    assert machine.trigger("START") == ["load", "check"]
    assert machine.current_state == "RUNNING"
    assert machine.trigger("START") == []
    assert machine.get_current_state() == "RUNNING"


def test_returned_list_is_a_new_list():
    entry = ["load"]
    machine = StateMachine({"IDLE": {"events": {"GO": "IDLE"}, "entry": entry}})
    first = machine.trigger("GO")
    first.append("mutated")
    assert entry == ["load"]
    assert machine.trigger("GO") == ["load"]


def test_target_state_without_description_still_moves():
    machine = StateMachine({"IDLE": {"events": {"START": "RUNNING"}}})
    assert machine.trigger("START") == []
    assert machine.current_state == "RUNNING"


@pytest.mark.parametrize(
    "description, moves",
    [
        ({"events": {"GO": "B"}, "on": True}, True),  # "events" wins over "on"
        ({"on": {"GO": "B"}}, True),
        ({"on": True}, False),
        ({"on": False}, False),
        ({"on": FakeNumpyBool(True)}, False),
        ({"on": {"GO": "B"}, "transitions": {}}, True),
        ({"transitions": {"GO": "B"}}, True),
        ({"on": True, "transitions": {"GO": "B"}}, False),  # a Boolean "on" still hides "transitions"
        ({"entry": "x"}, False),  # no event table at all
        ({"events": {}}, False),
        ({"events": {"go": "B"}}, False),  # event names are case-sensitive
    ],
)
def test_event_table_choice(description, moves):
    machine = StateMachine({"A": description, "B": {"entry": "b"}}, "A")
    assert machine.trigger("GO") == (["b"] if moves else [])
    assert machine.current_state == ("B" if moves else "A")


def test_real_numpy_bool_on_key_does_not_move():
    numpy = pytest.importorskip("numpy")
    machine = StateMachine({"A": {"on": numpy.bool_(True), "transitions": {"GO": "B"}}}, "A")
    assert machine.trigger("GO") == []
    assert machine.current_state == "A"


class Names(list):
    pass


class Name(str):
    pass


@pytest.mark.parametrize(
    "description, names",
    [
        ({"entry": "only"}, ["only"]),
        ({"entry": ["a", "b"]}, ["a", "b"]),
        ({"entry": []}, []),
        ({"entry": Names(["a"])}, ["a"]),
        ({"entry": ("a", "b")}, []),
        ({"entry": {"a": 1}}, []),
        ({"entry": None}, []),
        ({"entry": 3}, []),
        ({"entry": ["a"], "process": ["p"]}, ["a"]),
        ({"entry": None, "process": ["p"]}, []),  # present but unusable: "process" is not used
        ({"process": "p"}, ["p"]),
        ({"process": ["p", "q"]}, ["p", "q"]),
        ({"other": ["a"]}, []),
    ],
)
def test_entry_forms(description, names):
    machine = StateMachine({"A": {"events": {"GO": "B"}}, "B": description}, "A")
    assert machine.trigger("GO") == names
    assert machine.current_state == "B"


def test_entry_names_come_back_as_the_listed_objects():
    listed = Name("x")
    machine = StateMachine({"A": {"events": {"GO": Name("B")}}, "B": {"entry": [listed]}}, "A")
    names = machine.trigger("GO")
    assert names == ["x"] and names[0] is listed
    assert type(machine.current_state) is str and machine.current_state == "B"


@pytest.mark.parametrize(
    "definition, message",
    [
        ([], conversion("list", "PyDict")),
        (None, conversion("NoneType", "PyDict")),
        ({"A": ["GO"]}, conversion("list", "PyDict")),
        ({"A": {"events": ["GO"]}}, conversion("list", "PyDict")),
        ({"A": {"events": None}}, conversion("NoneType", "PyDict")),
        ({"A": {"on": 1}}, conversion("int", "PyDict")),  # only a Boolean "on" is special
        ({"A": {"transitions": "GO"}}, conversion("str", "PyDict")),
        ({"A": {"events": {"GO": 5}}}, conversion("int", "PyString")),
        ({"A": {"events": {"GO": None}}}, conversion("NoneType", "PyString")),
    ],
)
def test_bad_shape_before_the_move_keeps_the_state(definition, message):
    machine = StateMachine(definition, "A")
    with pytest.raises(TypeError) as info:
        machine.trigger("GO")
    assert str(info.value) == message
    assert machine.current_state == "A"


@pytest.mark.parametrize(
    "target, message",
    [
        (["entry"], conversion("list", "PyDict")),
        ({"entry": ["a", 1]}, conversion("int", "PyString")),
        ({"entry": [None]}, conversion("NoneType", "PyString")),
        ({"process": ["a", b"b"]}, conversion("bytes", "PyString")),
    ],
)
def test_bad_shape_after_the_move_leaves_the_new_state(target, message):
    machine = StateMachine({"A": {"events": {"GO": "B"}}, "B": target}, "A")
    with pytest.raises(TypeError) as info:
        machine.trigger("GO")
    assert str(info.value) == message
    assert machine.current_state == "B"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda m: m.trigger(5), conversion("int", "PyString", "event")),
        (lambda m: m.trigger(None), conversion("NoneType", "PyString", "event")),
        (lambda m: m.trigger(), None),
        (lambda m: m.trigger("GO", "more"), None),
        (lambda m: m.get_current_state("x"), None),
    ],
)
def test_bad_arguments(call, message):
    machine = StateMachine({"A": {"events": {"GO": "B"}}}, "A")
    with pytest.raises(TypeError) as info:
        call(machine)
    if message is not None:
        assert str(info.value) == message
    assert machine.current_state == "A"


def test_event_by_keyword_and_str_subclass_event():
    machine = StateMachine({"A": {"events": {"GO": "B"}}, "B": {"events": {"BACK": "A"}}}, "A")
    assert machine.trigger(event="GO") == []
    assert machine.trigger(Name("BACK")) == []
    assert machine.current_state == "A"


def test_dict_subclass_definition():
    class Definition(dict):
        pass

    machine = StateMachine(Definition(BASIC))
    assert machine.trigger("START") == ["load", "check"]


def test_definition_is_read_afresh_on_every_trigger():
    definition = {}
    machine = StateMachine(definition)
    assert machine.trigger("START") == []
    definition["IDLE"] = {"events": {"START": "RUNNING"}}
    definition["RUNNING"] = {"entry": "first", "events": {"STOP": "IDLE"}}
    assert machine.trigger("START") == ["first"]
    definition["IDLE"]["events"]["START"] = "ELSEWHERE"
    definition["RUNNING"]["events"] = ["broken"]
    with pytest.raises(TypeError):
        machine.trigger("STOP")
    definition["RUNNING"] = {"on": {"STOP": "IDLE"}}
    assert machine.trigger("STOP") == []
    assert machine.trigger("START") == []
    assert machine.current_state == "ELSEWHERE"


class Hostile(str):
    """A key equal to its plain-str twin whose comparison runs `action`."""

    action = None

    __hash__ = str.__hash__

    def __eq__(self, other):
        if Hostile.action is not None:
            action, Hostile.action = Hostile.action, None
            action()
        return str.__eq__(self, other)


@pytest.fixture
def hostile():
    yield Hostile
    Hostile.action = None


def capture(errors, call):
    def run():
        try:
            call()
        except RuntimeError as exc:
            errors.append(str(exc))

    return run


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda m: m.trigger("GO"), "Already borrowed"),
        (lambda m: m.current_state, "Already mutably borrowed"),
        (lambda m: m.get_current_state(), "Already mutably borrowed"),
    ],
)
@pytest.mark.parametrize("where", ["state", "event"])
def test_reentrant_use_from_a_key_eq_is_refused(hostile, call, message, where):
    if where == "state":
        definition = {Hostile("A"): {"events": {"GO": "B"}}, "B": {"entry": "b"}}
    else:
        definition = {"A": {"events": {Hostile("GO"): "B"}}, "B": {"entry": "b"}}
    machine = StateMachine(definition, "A")
    errors = []
    hostile.action = capture(errors, lambda: call(machine))
    assert machine.trigger("GO") == ["b"]
    assert errors == [message]
    assert machine.current_state == "B"


def test_key_eq_that_empties_the_definition(hostile):
    definition = {Hostile("A"): {"events": {"GO": "B"}}, "B": {"entry": "b"}}
    machine = StateMachine(definition, "A")
    hostile.action = definition.clear
    result = machine.trigger("GO")
    # The lookup starts over on the emptied dict and finds nothing.
    assert result == []
    assert machine.current_state == "A"
    assert definition == {}


def test_key_eq_that_raises_passes_through_and_keeps_the_state(hostile):
    def fail():
        raise ValueError("from __eq__")

    machine = StateMachine({Hostile("A"): {"events": {"GO": "B"}}}, "A")
    hostile.action = fail
    with pytest.raises(ValueError, match="from __eq__"):
        machine.trigger("GO")
    assert machine.current_state == "A"
    assert machine.trigger("GO") == []
    assert machine.current_state == "B"


def test_cycle_through_the_definition_is_collected():
    class Sentinel:
        pass

    sentinel = Sentinel()
    alive = weakref.ref(sentinel)
    definition = {"sentinel": sentinel}
    machine = StateMachine(definition)
    definition["machine"] = machine
    assert gc.is_tracked(machine)
    assert definition in gc.get_referents(machine)
    del sentinel, definition, machine
    gc.collect()
    assert alive() is None


def test_instances_release_their_type_and_definition():
    definition = {"IDLE": {"events": {"GO": "IDLE"}, "entry": ["x"]}}
    type_refs = sys.getrefcount(StateMachine)
    definition_refs = sys.getrefcount(definition)
    machines = [StateMachine(definition) for _ in range(100)]
    assert sys.getrefcount(definition) == definition_refs + 100
    del machines
    assert sys.getrefcount(StateMachine) == type_refs
    assert sys.getrefcount(definition) == definition_refs


def test_no_leak_over_many_triggers():
    definition = {
        "A": {"events": {"GO": "B", "BAD": 5}},
        "B": {"entry": ["x", "y"], "events": {"GO": "A", "WORSE": "C"}},
        "C": {"entry": [1]},
    }

    def run():
        machine = StateMachine(definition, "A")
        machine.trigger("GO")
        machine.trigger("GO")
        machine.trigger("NONE")
        for event, start in (("BAD", "A"), ("WORSE", "B")):
            try:
                StateMachine(definition, start).trigger(event)
            except TypeError:
                pass
        machine.get_current_state()

    assert block_growth(run, warmup=200, rounds=2000) < 100


def _machine_definition():
    return {"A": {"events": {"go": "B"}}, "B": {"events": {"go": "A"}, "entry": ["load"]}}


@pytest.mark.parametrize("change, expected", [
    (lambda d: d["A"]["events"].__setitem__("go", "C"), ("C", [])),
    (lambda d: d["A"].__setitem__("events", {"go": "C"}), ("C", [])),
    (lambda d: d.__setitem__("A", {"events": {}}), ("A", [])),
    (lambda d: d["B"].__setitem__("entry", "save"), ("B", ["save"])),
    (lambda d: d["B"]["entry"].append("check"), ("B", ["load", "check"])),
    (lambda d: d["B"].pop("entry"), ("B", [])),
    (lambda d: d.pop("B"), ("B", [])),
    (lambda d: d.__setitem__(7, "a non-str key"), ("B", ["load"])),
    (lambda d: d["A"]["events"].clear(), ("A", [])),
], ids=["table-entry", "table", "description", "entry", "entry-list", "entry-gone", "entered-gone", "odd-key",
        "cleared"])
def test_a_definition_changed_between_triggers_is_read_afresh(change, expected):
    definition = _machine_definition()
    machine = StateMachine(definition, "A")
    for _ in range(3):  # the same transitions, answered from what the machine learnt
        assert machine.trigger("go") == ["load"] and machine.trigger("go") == []
    change(definition)
    assert (machine.trigger("go"), machine.current_state)[::-1] == expected


def test_a_handler_that_changes_the_definition_during_a_transition_is_seen(caplog):
    definition = _machine_definition()
    machine = StateMachine(definition, "A")
    machine.trigger("go"), machine.trigger("go")

    class Rewrite(logging.Handler):
        def emit(self, record):
            definition["B"]["entry"] = ["rewritten"]

    handler = Rewrite()
    logging.getLogger("kestu_core.fsm").addHandler(handler)
    caplog.set_level(logging.INFO, logger="kestu_core.fsm")
    try:
        assert machine.trigger("go") == ["rewritten"]
    finally:
        logging.getLogger("kestu_core.fsm").removeHandler(handler)
