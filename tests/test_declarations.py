"""The declaration classes (contract, audit recipe, builders) behave as frozen dataclasses
with slots, and importing kestu loads nothing a plain @process program does not use."""

import copy
import dataclasses
import pickle
import subprocess
import sys

import pytest

from kestu import AuditRecipe, AuditRule, Contract, If, Machine, ProcessAudit, Run, State, Step, While, Workflow

RULE = AuditRule("order.total", "min", 1, level="W", message="low")
EXAMPLES = [
    Contract(["a"], ["b"], ["ValueError"]), RULE, ProcessAudit((RULE,), ()), AuditRecipe({"p": ProcessAudit()}),
    Step("x"), If("ctx.n > 1", ["a"], ["b"]), While("ctx.n < 3", ["a"]), Run(["a"]), Workflow(["a", If("True")]),
    State({"go": "B"}, "p"), Machine({"A": State({"go": "B"}), "B": State()}, "A"),
]


def as_dataclass(obj):
    """The same fields and values in a class that the dataclasses module made."""
    fields = dataclasses.fields(obj)
    made = dataclasses.make_dataclass(
        type(obj).__name__, [(f.name, f.type, dataclasses.field(hash=f.hash, kw_only=f.kw_only)) for f in fields],
        frozen=True, slots=True)
    made.__qualname__ = type(obj).__qualname__
    return made(**{f.name: getattr(obj, f.name) for f in fields})


@pytest.mark.parametrize("obj", EXAMPLES, ids=lambda obj: type(obj).__name__)
def test_each_class_behaves_as_the_frozen_dataclass_it_declares(obj):
    reference = as_dataclass(obj)
    assert (repr(obj), hash(obj), obj.__getstate__()) == (repr(reference), hash(reference), reference.__getstate__())
    for attribute in ("__slots__", "__match_args__"):
        assert getattr(type(obj), attribute) == getattr(type(reference), attribute)
    twin = dataclasses.replace(obj)  # made again by the checking __init__
    assert twin == obj and twin is not obj and obj.__eq__(reference) is NotImplemented
    assert pickle.loads(pickle.dumps(obj)) == obj == copy.deepcopy(obj) == obj.__replace__()
    assert dataclasses.asdict(obj) == dataclasses.asdict(reference)
    for name in (dataclasses.fields(obj)[0].name, "other"):
        with pytest.raises(dataclasses.FrozenInstanceError, match=f"^cannot assign to field '{name}'$"):
            setattr(obj, name, 1)
        with pytest.raises(dataclasses.FrozenInstanceError, match=f"^cannot delete field '{name}'$"):
            delattr(obj, name)
    assert not hasattr(obj, "__dict__") and not hasattr(obj, "other")


def test_replace_checks_the_new_value_and_a_subclass_keeps_the_fields_frozen():
    with pytest.raises(ValueError, match="level 'X' is not one of"):
        dataclasses.replace(RULE, level="X")

    class Tagged(Step):
        pass

    tagged = Tagged("x")
    tagged.tag = 1  # a subclass without __slots__ has a __dict__ of its own
    with pytest.raises(dataclasses.FrozenInstanceError):
        tagged.process = "y"
    assert tagged.tag == 1 and repr(tagged).endswith(".Tagged(process='x')") and tagged != Step("x")


def test_a_machine_inside_its_own_states_is_shown_once():
    machine = Machine({"A": State()}, "A")
    machine.states["B"] = machine
    assert repr(machine) == "Machine(states={'A': State(events={}, entry=()), 'B': ...}, start='A')"


def test_a_plain_process_program_imports_nothing_it_does_not_use():
    program = """
import sys
import kestu
from kestu_core import Engine

@kestu.process(inputs=["n"], outputs=["n"])
def inc(ctx):
    ctx.n += 1

class Ctx:
    n = 0

recipe = kestu.AuditRecipe({"inc": kestu.ProcessAudit(output_rules=[kestu.AuditRule("n", "max", 10.5)])})
engine = Engine(Ctx(), strict_mode=True, audit_recipe=recipe)
engine.register_process("inc", inc)
kestu.Workflow(["inc", kestu.Run(["inc"])]).run(engine)
print(sorted({"ast", "dataclasses", "difflib", "inspect", "numbers"} & set(sys.modules)))
"""
    run = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, check=True, timeout=120)
    assert run.stdout == "[]\n"
