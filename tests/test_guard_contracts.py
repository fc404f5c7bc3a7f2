"""Permission checks against contracts of any size: every boundary of the
covering rule, with the covering path alone, first or last among thousands of
others, in the inputs or the outputs."""

from types import SimpleNamespace

import pytest

from kestu.contracts import process
from kestu_core import ContextGuard, Engine, FrozenList, TrackedList, Transaction

# (declared path, checked path, covered)
BOUNDARIES = [
    ("user.name", "user.name", True),  # equal
    ("user.profile.name", "user", True),  # ancestor at "."
    ("user.profile.name", "user.profile", True),
    ("items[0].name", "items[0]", True),  # ancestor of an element, at "."
    ("items[0].name", "items", False),  # an ancestor only at ".", never at "["
    ("user", "user.name", True),  # inside, at "."
    ("items", "items[3]", True),  # inside, at "["
    ("items", "items[3].x.y", True),
    ("user", "username", False),  # siblings sharing a prefix
    ("username", "user", False),
    ("user.name", "user.nam", False),
    ("user.name", "user.names", False),
    ("user.name", "user.name[0]", True),
    ("user[0]", "user", False),
    ("a..b", "a", True),  # separators in odd places
    ("a..b", "a.", True),
    ("a..b", "a.b", False),
    ("m[x.y]", "m[x", True),
    ("m[x.y]", "m", False),
    ("m[x.y]", "m[x.y].z", True),
    ("x", ".x", False),
    ("", ".x", True),
    ("", "[0]", True),
    ("", "x", False),
    ("été.ß", "été", True),
    ("été", "été[2]", True),
]

FILLER = 3000


def contract(declared, size, place):
    """`declared` among `size` other paths that share its prefixes but cover
    nothing checked here."""
    others = [f"{declared}_{i}.z" if i % 2 else f"zz{i}[{i}].q" for i in range(size)]
    return [declared] + others if place == "first" else others + [declared]


@pytest.mark.parametrize("declared, path, covered", BOUNDARIES, ids=[f"{d!r}-{p!r}" for d, p, _ in BOUNDARIES])
@pytest.mark.parametrize("size, place", [(0, "first"), (7, "last"), (8, "first"), (FILLER, "first"), (FILLER, "last")])
@pytest.mark.parametrize("role", ["inputs", "outputs"])
def test_covering_rule_at_every_boundary_and_size(declared, path, covered, size, place, role):
    paths = contract(declared, size, place)
    inputs, outputs = (paths, []) if role == "inputs" else ([], paths)
    # A dict target: an item read checks the key's text as the whole path,
    # and a list read there tells readable (FrozenList) from writable (TrackedList).
    g = ContextGuard({path: []}, inputs, outputs, Transaction())
    if not covered:
        with pytest.raises(PermissionError, match=r"^Illegal Read: "):
            g[path]
        return
    expected = FrozenList if role == "inputs" else TrackedList
    assert type(g[path]) is expected


@pytest.mark.parametrize("size", [0, FILLER])
def test_nested_writes_are_checked_with_the_full_path(size):
    class Obj:
        pass

    ctx = Obj()
    ctx.user = Obj()
    ctx.user.name = "ann"
    outputs = contract("user.name", size, "last")
    g = ContextGuard(ctx, [], outputs, Transaction())
    user = g.user  # an ancestor of a declared output
    user.name = "bo"
    assert user._target.name == "bo"
    with pytest.raises(PermissionError, match=r"^Illegal Write: 'user.nick'$"):
        user.nick = "x"
    with pytest.raises(PermissionError, match=r"^Illegal Write: 'username'$"):
        g.username = "x"


def test_a_list_contract_is_read_afresh_on_every_run():
    class Ctx:
        x = 1

    inputs = []

    def read_x(ctx):
        return ctx.x

    read_x._pop_contract = SimpleNamespace(inputs=inputs, outputs=[], errors=[])
    engine = Engine(Ctx())
    engine.register_process("read_x_list_contract", read_x)
    with pytest.raises(PermissionError):
        engine.execute_process("read_x_list_contract")
    inputs.append("x")
    assert engine.execute_process("read_x_list_contract") == 1


def test_a_replaced_contract_tuple_takes_effect():
    class Ctx:
        x = 1

    @process(inputs=["y"])
    def read_x(ctx):
        return ctx.x

    engine = Engine(Ctx())
    engine.register_process("read_x_tuple_contract", read_x)
    for _ in range(3):  # the compiled form is cached by the tuple
        with pytest.raises(PermissionError):
            engine.execute_process("read_x_tuple_contract")
    object.__setattr__(read_x._pop_contract, "inputs", ("x",))
    assert engine.execute_process("read_x_tuple_contract") == 1


@pytest.mark.parametrize("size", [0, FILLER])
def test_strict_control_plane_refusal_names_the_first_offending_root(size):
    inputs = contract("x", size, "first") + ["Sig.level", "meta"]
    with pytest.raises(PermissionError, match=r"Control Plane 'Sig' as input"):
        ContextGuard(object(), inputs, [], None, False, True)


@pytest.mark.parametrize("size", [0, FILLER])
def test_repeated_accesses_keep_their_own_answers(size):
    class Ctx:
        x, y, w = 1, 2, 3

    ctx = Ctx()
    g = ContextGuard(ctx, contract("x", size, "last"), contract("w", size, "first"), Transaction(), False, True)
    for w in (3, 4, 4):  # a name once permitted stays permitted for that kind of access only
        assert (g.x, g.w) == (1, w)
        with pytest.raises(PermissionError, match=r"^Illegal Read: 'y'$"):
            g.y
        with pytest.raises(PermissionError, match=r"^Illegal Write: 'x'$"):
            g.x = 5
        with pytest.raises(PermissionError, match=r"^Access to private attribute '_x' denied in Strict Mode$"):
            g._x
        g.w = 4
    assert (ctx.x, ctx.w) == (1, 4)


class Slotted:
    __slots__ = ("inputs", "outputs", "errors")

    def __init__(self, inputs):
        self.inputs, self.outputs, self.errors = inputs, (), ()


def _swap_function_contract(fn):
    fn._pop_contract = SimpleNamespace(inputs=["x"], outputs=[], errors=[])


def _patch_contract_class(fn):
    type.__setattr__(type(fn._pop_contract), "inputs", property(lambda self: ("x",)))


def _reassign_class(fn):
    fn._pop_contract.__class__ = Slotted
    object.__setattr__(fn._pop_contract, "inputs", ("x",))


def _same_strings_in_a_new_list(fn):
    fn._pop_contract.inputs = ["y"]  # a different list holding equal strings: still refused


@pytest.mark.parametrize("change, readable", [
    (lambda fn: object.__setattr__(fn._pop_contract, "inputs", ("x",)), True),
    (_swap_function_contract, True),
    (lambda fn: setattr(fn, "__dict__", {"_pop_contract": SimpleNamespace(inputs=["x"], outputs=[], errors=[])}), True),
    (_patch_contract_class, True),
    (_reassign_class, True),
    (lambda fn: fn._pop_contract.inputs.__setitem__(0, "x"), True),
    (_same_strings_in_a_new_list, False),
], ids=["field-set", "contract-replaced", "dict-replaced", "class-patched", "class-reassigned", "list-changed", "list-replaced"])
def test_every_change_of_a_contract_takes_effect_at_the_next_run(change, readable):
    class Ctx:
        x, y = 1, 2

    class Own:  # a slotted class of the test's own, so patching it harms nothing else
        __slots__ = ("inputs", "outputs", "errors")

        def __init__(self):
            self.inputs, self.outputs, self.errors = ["y"] if change is not _patch_contract_class else ("y",), (), ()

    def read_x(ctx):
        return ctx.x

    read_x._pop_contract = Own()
    engine = Engine(Ctx())
    engine.register_process("read_x_changing_contract", read_x)
    for _ in range(2):  # the second run is answered from what the engine kept
        with pytest.raises(PermissionError):
            engine.execute_process("read_x_changing_contract")
    change(read_x)
    if readable:
        assert engine.execute_process("read_x_changing_contract") == 1
    else:
        with pytest.raises(PermissionError):
            engine.execute_process("read_x_changing_contract")


def test_a_workflow_of_more_processes_than_an_engine_keeps_checks_each_contract():
    class Ctx:
        pass

    ctx = Ctx()
    names = []
    for i in range(20):
        setattr(ctx, f"f{i}", i)

        @process(inputs=[f"f{i}"], outputs=[f"f{(i + 1) % 20}"])
        def step(g, i=i):
            setattr(g, f"f{(i + 1) % 20}", getattr(g, f"f{i}") + 1)

        names.append(f"chain_step_{i}")
        Engine(ctx).register_process(names[-1], step)
    engine = Engine(ctx, strict_mode=True)
    engine.execute_workflow(names + names)
    assert (ctx.f0, ctx.f19) == (40, 39)


def test_each_run_reads_each_contract_field_once_in_order():
    reads = []

    def field(name, value):
        return property(lambda self: reads.append(name) or value)

    class Declared:  # properties, not slots: read by getattr, each exactly once
        inputs, outputs, errors = field("inputs", ("x",)), field("outputs", ()), field("errors", ())

    def read_x(ctx):
        return ctx.x

    read_x._pop_contract = Declared()
    engine = Engine(SimpleNamespace(x=1))
    engine.register_process("read_x_property_contract", read_x)
    for _ in range(3):
        assert engine.execute_process("read_x_property_contract") == 1
    assert reads == ["inputs", "outputs", "errors"] * 3


def test_a_property_read_through_the_guard_runs_once_per_read():
    calls = []

    class Ctx:
        b = 2

        @property
        def a(self):
            calls.append("a")
            # From the second read on, it reads another name through the same guard meanwhile.
            return [guard.b if len(calls) > 1 else 1]

    guard = ContextGuard(Ctx(), ["a", "b"], [], None)
    assert [guard.a[0] for _ in range(3)] == [1, 2, 2]
    assert calls == ["a"] * 3
