"""The module surface: registration, re-import, class flags, zones."""

import importlib
import subprocess
import sys
import textwrap

import pytest

import kestu_core
from kestu_core import ContextZone

# Classes registered so far, in the module's public order.
REGISTERED = [name for name in kestu_core.__all__]


NINE = ["Engine", "Transaction", "ContextGuard", "ContextZone", "TrackedList", "TrackedDict", "FrozenList",
        "FrozenDict", "StateMachine"]


def test_all_lists_each_class_once_in_order():
    import kestu  # noqa: F401 - its logging bridge reaches the core without a module attribute

    assert REGISTERED == NINE
    for name in REGISTERED:
        assert isinstance(getattr(kestu_core, name), type)
    public = sorted(n for n in dir(kestu_core) if not n.startswith("__"))
    assert public == sorted(REGISTERED)
    dunders = {n for n in dir(kestu_core) if n.startswith("__")}
    assert dunders == {"__all__", "__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}


def test_reimport_gives_same_module_without_duplicating_all():
    before = list(kestu_core.__all__)
    assert importlib.import_module("kestu_core") is kestu_core
    saved = sys.modules.pop("kestu_core")
    try:
        again = importlib.import_module("kestu_core")
        assert again is saved
        assert again.__all__ == before
    finally:
        sys.modules["kestu_core"] = saved


@pytest.mark.parametrize("name", REGISTERED)
def test_classes_are_final_except_engine_and_have_bare_names(name):
    cls = getattr(kestu_core, name)
    assert cls.__name__ == name and cls.__qualname__ == name
    assert cls.__module__ == "kestu_core"
    assert cls.__bases__ == (object,)
    if name == "Engine":
        type("Sub", (cls,), {})
    else:
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})


@pytest.mark.parametrize("module, init", [("kestu_core", "PyInit_kestu_core"),
                                          ("kestu._logbridge", "PyInit__logbridge")])
def test_only_the_init_function_is_exported(module, init):
    # Every defined dynamic symbol counts, not only functions: a stray data or
    # unique (u) symbol can interpose with another extension.
    lib = importlib.import_module(module).__file__
    out = subprocess.run(["nm", "-D", "--defined-only", lib], capture_output=True, text=True)
    if out.returncode != 0:
        pytest.skip("nm is not available")
    assert [line.split()[-1] for line in out.stdout.splitlines()] == [init]


def test_import_from_a_sub_interpreter_is_refused():
    # From 3.12 CPython itself may refuse the module before its own check
    # does; either way the import fails and both interpreters live on.
    code = textwrap.dedent(
        """
        import importlib, kestu_core
        try:
            interpreters = importlib.import_module("_interpreters")
        except ModuleNotFoundError:
            interpreters = importlib.import_module("_xxsubinterpreters")
        interp = interpreters.create()
        interpreters.run_string(interp, (
            "try:\\n    import kestu_core\\n"
            "except ImportError as exc:\\n    print('ImportError:', exc, flush=True)\\n"
            "else:\\n    print('imported', flush=True)\\n"
        ))
        interpreters.destroy(interp)
        print("alive", kestu_core.Engine.__name__, flush=True)
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0].startswith("ImportError:") and lines[1:] == ["alive Engine"], out.stdout


# -- ContextZone -------------------------------------------------------------

MEMBERS = [("Data", 0), ("Signal", 1), ("Meta", 2), ("Heavy", 3)]


@pytest.mark.parametrize("args,kwargs", [((), {}), ((1,), {}), ((), {"x": 1})])
def test_zone_has_no_constructor(args, kwargs):
    with pytest.raises(TypeError, match="^No constructor defined for ContextZone$"):
        ContextZone(*args, **kwargs)


@pytest.mark.parametrize("name,value", MEMBERS)
def test_zone_members(name, value):
    zone = getattr(ContextZone, name)
    assert zone is getattr(ContextZone, name)
    assert int(zone) == value
    assert repr(zone) == str(zone) == f"ContextZone.{name}"
    assert zone == value and not zone != value
    assert zone == getattr(ContextZone, name)
    for other_name, other_value in MEMBERS:
        if other_name != name:
            assert zone != getattr(ContextZone, other_name)
            assert zone != other_value


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class BadIndex:
    def __index__(self):
        raise ValueError("no")


@pytest.mark.parametrize(
    "other,equal",
    [
        (True, True),  # bool converts: Signal == True
        (Index(1), True),
        (Index(2), False),
        ("Signal", False),
        (1.0, False),  # floats do not convert to an integer
        (2**64, False),  # out of the 64-bit range
        (None, False),
        (BadIndex(), False),
    ],
)
def test_zone_equality_against_other_objects(other, equal):
    assert (ContextZone.Signal == other) is equal
    assert (ContextZone.Signal != other) is (not equal)


@pytest.mark.parametrize("op", ["__lt__", "__le__", "__gt__", "__ge__"])
def test_zone_ordering_is_not_defined(op):
    assert getattr(ContextZone.Data, op)(ContextZone.Meta) is NotImplemented
    with pytest.raises(TypeError):
        ContextZone.Data < ContextZone.Meta


def test_zone_is_unhashable():
    with pytest.raises(TypeError):
        hash(ContextZone.Data)
    with pytest.raises(TypeError):
        {ContextZone.Data: 1}


def test_zone_comparison_does_not_swallow_ctrl_c():
    class Interrupts:
        def __index__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        ContextZone.Data == Interrupts()
