"""ContextGuard: permissions by path, the read and write rules, value wrapping."""

import gc
import uuid
import weakref
from enum import IntEnum

import pytest

from kestu_core import ContextGuard, FrozenDict, FrozenList, TrackedDict, TrackedList, Transaction
from helpers import block_growth


class Obj:
    def __init__(self, **kw):
        self.__dict__.update(kw)


def make_ctx():
    return Obj(
        x=1,
        user=Obj(name="ann"),
        username="u",
        domain=Obj(items=[1, 2], other=2),
        data=Obj(),
        sig_level=3,
        _hidden="h",
    )


def guard(ctx, inputs=(), outputs=(), tx=None, admin=False, strict=False):
    return ContextGuard(ctx, list(inputs), list(outputs), tx, admin, strict)


def refused(kind, path):
    return pytest.raises(PermissionError, match=rf"^Illegal {kind}: '{path}'$".replace("[", r"\[").replace("]", r"\]"))


# -- construction ------------------------------------------------------------


def test_text_signature():
    assert ContextGuard.__text_signature__ == "(target, inputs, outputs, tx, is_admin=False, strict_mode=False)"


class NumpyBool:
    """Stands in for numpy.bool_: only the module and name are looked at."""

    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


NumpyBool.__module__ = "numpy"
NumpyBool.__name__ = NumpyBool.__qualname__ = "bool_"


@pytest.mark.parametrize(
    "args,message",
    [
        ((1, "a", [], None), "argument 'inputs': Can't extract `str` to `Vec`"),
        ((1, [], "b", None), "argument 'outputs': Can't extract `str` to `Vec`"),
        ((1, {"a"}, [], None), "argument 'inputs': 'set' object cannot be converted to 'Sequence'"),
        ((1, ["a", 2], [], None), "argument 'inputs': 'int' object cannot be converted to 'PyString'"),
        ((1, [], [], 5), "argument 'tx': 'int' object cannot be converted to 'Transaction'"),
        ((1, [], [], None, 1), "argument 'is_admin': 'int' object cannot be converted to 'PyBool'"),
        ((1, [], [], None, False, "yes"), "argument 'strict_mode': 'str' object cannot be converted to 'PyBool'"),
    ],
)
def test_constructor_argument_errors(args, message):
    with pytest.raises(TypeError) as info:
        ContextGuard(*args)
    assert str(info.value) == message


def test_numpy_style_bools_are_accepted():
    g = ContextGuard(make_ctx(), [], [], None, NumpyBool(True), NumpyBool(False))
    assert g.x == 1  # admin


def test_real_numpy_bool_is_accepted():
    np = pytest.importorskip("numpy")
    g = ContextGuard(make_ctx(), [], [], None, np.bool_(True))
    assert g.x == 1


def test_tuple_inputs_and_missing_arguments():
    assert guard(make_ctx(), ("x",)).x == 1
    with pytest.raises(TypeError):
        ContextGuard(make_ctx(), [], [])


@pytest.mark.parametrize("root_input", ["meta", "Sig.level", "cmd.x", "META.flags", "ſig", "sıg", "CMD"])
def test_strict_mode_refuses_control_plane_inputs(root_input):
    root = root_input.split(".")[0]
    with pytest.raises(PermissionError) as info:
        guard(make_ctx(), ["x", root_input], strict=True)
    assert str(info.value) == f"SECURITY VIOLATION: Using Control Plane '{root}' as input is forbidden in Strict Mode."


@pytest.mark.parametrize("name", ["metadata", "sig_alarm", "cmd_queue.x", "x.meta", "signal"])
def test_strict_mode_admits_other_roots(name):
    guard(make_ctx(), [name], strict=True)


def test_control_plane_check_is_strict_only_and_skips_outputs():
    guard(make_ctx(), ["meta"])
    guard(make_ctx(), [], ["meta"], strict=True)


# -- permissions -------------------------------------------------------------


@pytest.mark.parametrize(
    "inputs,outputs,name,allowed",
    [
        (["x"], [], "x", True),
        (["user"], [], "username", False),  # no dot boundary
        (["user.name"], [], "user", True),  # ancestor of a declared path
        ([], ["x"], "x", True),  # outputs are readable
        (["us"], [], "user", False),
        (["x.y"], [], "x", True),
        ([], [], "x", False),
    ],
)
def test_root_read_permissions(inputs, outputs, name, allowed):
    g = guard(make_ctx(), inputs, outputs)
    if allowed:
        getattr(g, name)
    else:
        with refused("Read", name):
            getattr(g, name)


def test_nested_paths_are_checked_with_full_paths():
    ctx = make_ctx()
    g = guard(ctx, ["domain.items", "user"], tx=Transaction())
    domain = g.domain
    assert isinstance(domain, ContextGuard)
    with refused("Read", "domain.other"):
        domain.other
    assert g.user.name == "ann"


def test_index_boundary_of_a_declared_path():
    class Box:
        def __init__(self):
            self.items = {}

        def __getitem__(self, k):
            return self.items[k]

        def __setitem__(self, k, v):
            self.items[k] = v

    ctx = Obj(data=Box(), database=Box())
    tx = Transaction()
    g = guard(ctx, [], ["data"], tx)
    nested = g.data
    nested[3] = "v"  # path data[3]
    assert nested._target.items[3] == "v"
    with refused("Write", "database"):
        g.database = 1


def test_writes_need_an_output():
    ctx = make_ctx()
    g = guard(ctx, ["x"])
    with refused("Write", "x"):
        g.x = 2
    assert ctx.x == 1


def test_admin_reads_and_writes_everything_but_private_names_in_strict_mode():
    ctx = make_ctx()
    g = guard(ctx, admin=True, strict=True)
    g.anything = 1
    assert g.anything == 1 and g.x == 1
    with pytest.raises(PermissionError, match="^Access to private attribute '_hidden' denied in Strict Mode$"):
        g._hidden


def test_private_names_without_strict_mode_read_raw():
    ctx = make_ctx()
    ctx._nested = Obj(a=1)
    g = guard(ctx, tx=Transaction())
    assert g._hidden == "h"
    assert g._nested is ctx._nested  # neither checked nor wrapped
    with pytest.raises(AttributeError):
        g._missing


def test_private_rule_does_not_apply_to_writes():
    ctx = make_ctx()
    g = guard(ctx, outputs=["_hidden"], strict=True)
    g._hidden = "new"
    assert ctx._hidden == "new"
    with refused("Write", "_other"):
        g._other = 1


def test_class_members_come_first():
    ctx = make_ctx()
    g = guard(ctx)
    assert g._target is ctx
    assert g.__class__ is ContextGuard
    g2 = guard(ctx, strict=True)
    assert g2._target is ctx  # a member of the guard, not a private read of the context


@pytest.mark.parametrize("strict", [False, True])
def test_object_members_and_introspection(strict):
    # What Python itself asks a guard for (type checks, repr, hasattr, dir)
    # is answered by the class first, on every interpreter version.
    g = guard(make_ctx(), ["x"], strict=strict)
    assert not isinstance(g, dict) and isinstance(g, ContextGuard)
    assert g.__sizeof__() > 0 and repr(g).startswith("<kestu_core.ContextGuard object at ")
    if strict:
        # dir() reads __dict__, which the guard lacks: a private read.
        for probe in (lambda: hasattr(g, "_missing"), lambda: dir(g)):
            with pytest.raises(PermissionError, match="^Access to private attribute '_"):
                probe()
    else:
        assert not hasattr(g, "_missing") and not hasattr(g, "__missing__")
        assert {"_target", "x", "user"} <= set(dir(g))


def test_missing_attribute_error_comes_from_the_target():
    g = guard(make_ctx(), ["nothing"])
    with pytest.raises(AttributeError, match="nothing"):
        g.nothing


# -- what reads hand out -----------------------------------------------------


def func():
    pass


class Color(IntEnum):
    RED = 1


@pytest.mark.parametrize("value", [7, "s", True, 1.5, None, func, Obj, len, (lambda: 0)])
def test_scalars_and_callables_come_back_raw(value):
    ctx = Obj(v=value)
    assert guard(ctx, ["v"], tx=Transaction()).v is value


def test_without_transaction_everything_is_raw():
    ctx = make_ctx()
    g = guard(ctx, ["domain", "user"], ["x"])
    assert g.domain is ctx.domain
    assert g.domain.items is ctx.domain.items


@pytest.mark.parametrize("outputs,kind", [(["items"], TrackedList), ([], FrozenList)])
def test_lists_become_containers_over_shadows(outputs, kind):
    ctx = Obj(items=[1, 2])
    wrapped = guard(ctx, ["items"], outputs, Transaction()).items
    assert type(wrapped) is kind
    assert list(wrapped) == [1, 2]


@pytest.mark.parametrize("outputs,kind", [(["d"], TrackedDict), ([], FrozenDict)])
def test_dicts_become_containers_over_shadows(outputs, kind):
    ctx = Obj(d={"a": 1})
    wrapped = guard(ctx, ["d"], outputs, Transaction()).d
    assert type(wrapped) is kind


def test_admin_hands_out_tracked_containers():
    ctx = Obj(items=[1], d={})
    g = guard(ctx, admin=True, tx=Transaction())
    assert type(g.items) is TrackedList and type(g.d) is TrackedDict


def test_objects_become_nested_guards_over_one_shadow():
    ctx = make_ctx()
    g = guard(ctx, ["domain"], tx=Transaction())
    first, second = g.domain, g.domain
    assert first is not second
    assert first._target is second._target
    assert first._target is not ctx.domain
    assert first._target.other == 2


@pytest.mark.parametrize("value", [Color.RED, (1, 2), frozenset({1}), b"xy"])
def test_other_types_become_nested_guards(value):
    ctx = Obj(v=value)
    wrapped = guard(ctx, ["v"], tx=Transaction()).v
    assert isinstance(wrapped, ContextGuard)
    assert wrapped._target == value


def test_nested_writes_stay_in_the_shadow_until_commit():
    ctx = make_ctx()
    tx = Transaction()
    g = guard(ctx, [], ["domain"], tx)
    g.domain.other = 99
    assert ctx.domain.other == 2
    tx.commit()
    assert ctx.domain.other == 99


def test_heavy_zone_values_are_the_real_objects(capfd):
    name = f"heavy_frames_{uuid.uuid4().hex}"
    frames = [1]
    ctx = Obj(**{name: frames})
    tx = Transaction()
    g = guard(ctx, [], [name], tx)
    wrapped = getattr(g, name)
    wrapped.append(2)
    assert frames == [1, 2]  # the real list, at once
    getattr(g, name)
    guard(ctx, [], [name], Transaction()).__getattribute__(name)
    tx.rollback()
    assert frames == [1, 2]
    err = capfd.readouterr().err
    assert err == f"[Kestu] HEAVY zone: skipping shadow copy for '{name}' (Logged once)\n"


# -- writes ------------------------------------------------------------------


def test_write_goes_to_the_target_and_rolls_back():
    ctx = make_ctx()
    tx = Transaction()
    g = guard(ctx, [], ["x"], tx)
    g.x = 2
    g.x = 3
    assert ctx.x == 3
    tx.rollback()
    assert ctx.x == 1


def test_new_attribute_is_not_removed_by_rollback():
    ctx = make_ctx()
    tx = Transaction()
    guard(ctx, [], ["count"], tx).count = 5
    tx.rollback()
    assert ctx.count == 5


def test_heavy_zone_attribute_writes_are_not_logged():
    ctx = Obj(heavy_blob=1)
    tx = Transaction()
    guard(ctx, [], ["heavy_blob"], tx).heavy_blob = 2
    tx.rollback()
    assert ctx.heavy_blob == 2


def test_failed_assignment_keeps_its_log_entry():
    class Picky:
        def __init__(self):
            object.__setattr__(self, "v", 1)

        def __setattr__(self, name, value):
            if value == "bad":
                raise ValueError("bad value")
            object.__setattr__(self, name, value)

    ctx = Picky()
    tx = Transaction()
    g = guard(ctx, [], ["v"], tx)
    g.v = 2
    with pytest.raises(ValueError):
        g.v = "bad"
    tx.rollback()  # undoes both entries, newest first
    assert ctx.v == 1


class DataFrameLike:
    def __init__(self):
        self._data = "internal blocks"


class ProxyLike:
    _target = "somewhere else"


@pytest.mark.parametrize("value", [DataFrameLike(), ProxyLike(), [1], {"a": 1}])
def test_values_are_stored_as_they_are(value):
    ctx = make_ctx()
    guard(ctx, [], ["v"]).v = value
    assert ctx.v is value


def test_assigning_a_guard_stores_what_it_wraps():
    ctx = make_ctx()
    other = Obj(z=1)
    g = guard(ctx, [], ["a"])
    g.a = guard(other)
    assert ctx.a is other


def test_assigning_containers_stores_the_containers():
    ctx = make_ctx()
    tx = Transaction()
    tracked = TrackedList([1], tx, "p")
    g = guard(ctx, [], ["a", "b"], tx)
    g.a = tracked
    g.b = FrozenDict({})
    assert ctx.a is tracked and type(ctx.b) is FrozenDict


def test_deletions_are_refused():
    ctx = make_ctx()
    g = guard(ctx, admin=True)
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del g.x
    with pytest.raises(NotImplementedError, match="^can't delete item$"):
        del g[0]
    assert ctx.x == 1


# -- items -------------------------------------------------------------------


class Store:
    def __init__(self, **items):
        self.items = dict(items)

    def __getitem__(self, key):
        return self.items[key]

    def __setitem__(self, key, value):
        self.items[key] = value


def test_item_paths_at_the_root():
    store = Store()
    g = guard(store, [], ["[0]", ".(1, 2)"], Transaction())
    g[0] = "zero"
    g[(1, 2)] = "pair"
    assert store.items == {0: "zero", (1, 2): "pair"}
    with refused("Write", "[1]"):
        g[1] = "one"
    with refused("Write", ".x.y"):
        g[Obj.__new__(type("K", (), {"__str__": lambda self: "x.y"}))] = 1


def test_item_reads_check_the_path_after_fetching():
    store = Store(k=1, **{"a-b": 2})
    store.items[5] = "five"
    g = guard(store, ["k", "[5]"])
    assert g["k"] == 1
    assert g[5] == "five"
    with refused("Read", "a-b"):
        g["a-b"]


def test_item_read_falls_back_to_attributes_for_strings():
    ctx = make_ctx()
    g = guard(ctx, ["x"], strict=True)
    assert g["x"] == 1
    with pytest.raises(PermissionError, match="private"):
        g["_hidden"]
    with refused("Read", "username"):
        g["username"]


def test_item_read_of_other_keys_repeats_the_target_error():
    g = guard(Store(), admin=True)
    with pytest.raises(KeyError):
        g[42]


def test_string_item_write_is_an_attribute_write():
    ctx = make_ctx()
    tx = Transaction()
    g = guard(ctx, [], ["x"], tx)
    g["x"] = 5
    assert ctx.x == 5
    tx.rollback()
    assert ctx.x == 1


def test_item_writes_are_not_undone():
    store = Store(a=1)
    tx = Transaction()
    guard(store, [], ["[3]"], tx)[3] = "v"
    tx.rollback()
    assert store.items[3] == "v"


def test_iteration_and_membership_are_unchecked():
    ctx = [1, {"a": 1}]
    g = guard(ctx, tx=Transaction())
    items = list(iter(g))
    assert items[1] is ctx[1]
    assert 1 in g and 3 not in g


# -- re-entrancy and memory ----------------------------------------------------


def test_write_from_a_copy_hook_is_an_internal_error():
    tx = Transaction()
    ctx = make_ctx()
    g = guard(ctx, ["hostile"], ["x"], tx)

    class Hostile:
        def __copy__(self):
            g.x = 2  # the transaction is busy making this very copy
            return Hostile()

    ctx.hostile = Hostile()
    with pytest.raises(BaseException) as info:
        g.hostile
    assert not isinstance(info.value, Exception)
    assert str(info.value).startswith("Already borrowed")
    assert ctx.x == 1


def test_cycles_through_guards_are_collected():
    ctx = make_ctx()
    tx = Transaction()
    g = guard(ctx, ["domain"], ["me"], tx)
    g.me = g  # stores ctx itself into ctx.me (the guard unwraps)
    ctx.guard = g
    alive = weakref.ref(ctx)
    del ctx, g, tx
    gc.collect()
    assert alive() is None


def test_no_leak_over_many_guarded_reads_and_writes():
    def rounds():
        ctx = make_ctx()
        for _ in range(300):
            tx = Transaction()
            g = guard(ctx, ["domain", "user", "x"], ["y", "domain.items"], tx)
            g.x
            g.domain.other
            g.domain.items.append(3)
            g.y = 1
            try:
                g.username
            except PermissionError:
                pass
            tx.commit()
            tx.rollback()

    assert block_growth(rounds, warmup=1, rounds=5) < 200


class InterruptingTarget:
    """Reading anything raises Ctrl-C; storing works."""

    def __getattr__(self, name):
        raise KeyboardInterrupt

    def __getitem__(self, key):
        raise KeyboardInterrupt


@pytest.mark.parametrize(
    "action",
    [
        lambda g: setattr(g, "x", 1),  # the old value cannot be read
        lambda g: g.__setitem__(0, 1),
        lambda g: g["x"],  # the item lookup fails before the attribute rule
    ],
)
def test_discarded_reads_never_swallow_ctrl_c(action):
    g = guard(InterruptingTarget(), ["x", "[0]"], ["x", "[0]"], Transaction())
    with pytest.raises(KeyboardInterrupt):
        action(g)
