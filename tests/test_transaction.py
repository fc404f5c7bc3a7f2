"""Transaction: logging, rollback of attribute writes, shadows and commit."""

import copy
import gc
import uuid
import weakref
from collections import OrderedDict

import pytest

from kestu_core import Transaction
from helpers import block_growth


class Obj:
    def __init__(self, **kw):
        self.__dict__.update(kw)


class Slotted:
    __slots__ = ("a",)

    def __init__(self, a):
        self.a = a


def fresh_path(last):
    # The heavy-zone notice is printed once per path per process.
    return f"t{uuid.uuid4().hex}.{last}"


# -- construction and arguments ------------------------------------------------


def test_text_signatures():
    assert Transaction.__text_signature__ == "()"
    assert Transaction.log.__text_signature__ == "($self, path, op, value=None, old_value=None, target=None, key=None)"
    assert Transaction.get_shadow.__text_signature__ == "($self, original, path=None)"


@pytest.mark.parametrize(
    "kwargs,message",
    [
        ({"path": 1, "op": "SET"}, "argument 'path': 'int' object cannot be converted to 'PyString'"),
        ({"path": "p", "op": b"SET"}, "argument 'op': 'bytes' object cannot be converted to 'PyString'"),
        ({"path": "p", "op": "SET", "key": 3}, "argument 'key': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_log_argument_types(kwargs, message):
    tx = Transaction()
    target = Obj(a=1)
    with pytest.raises(TypeError) as info:
        tx.log(**kwargs, target=target, old_value=0)
    assert str(info.value) == message
    tx.rollback()
    assert target.a == 1  # nothing was logged


def test_get_shadow_path_type():
    with pytest.raises(TypeError, match="^argument 'path': 'int' object cannot be converted to 'PyString'$"):
        Transaction().get_shadow({}, 5)


@pytest.mark.parametrize("call", [lambda: Transaction(1), lambda: Transaction(x=1), lambda: Transaction().commit(1)])
def test_arity_errors(call):
    with pytest.raises(TypeError):
        call()


def test_new_transaction_commit_and_rollback_do_nothing():
    tx = Transaction()
    assert tx.commit() is None
    assert tx.rollback() is None
    assert tx.rollback() is None


# -- rollback ----------------------------------------------------------------


def test_rollback_restores_newest_first():
    obj = Obj(a=1)
    tx = Transaction()
    for old, new in [(1, 2), (2, 3), (3, 4)]:
        tx.log("a", "SET", new, old, obj, "a")
        obj.a = new
    tx.rollback()
    assert obj.a == 1


@pytest.mark.parametrize(
    "op,old_value,target_given,key_given",
    [
        ("set", 1, True, True),  # op compared exactly
        ("SET_ITEM", 1, True, True),
        ("SET", None, True, True),  # None means absent
        ("SET", 1, False, True),
        ("SET", 1, True, False),
    ],
)
def test_rollback_skips_entries_it_cannot_undo(op, old_value, target_given, key_given):
    obj = Obj(a=2)
    tx = Transaction()
    tx.log("a", op, 2, old_value, obj if target_given else None, "a" if key_given else None)
    tx.rollback()
    assert obj.a == 2


class Refuses:
    def __init__(self):
        self.__dict__["x"] = 5

    def __setattr__(self, name, value):
        raise ValueError("refused")


def test_failed_rollback_keeps_log_and_cache():
    good, bad = Obj(a=2), Refuses()
    tx = Transaction()
    tx.log("a", "SET", 2, 1, good, "a")
    tx.log("x", "SET", 6, 5, bad, "x")
    shadow = tx.get_shadow({"k": 1})
    with pytest.raises(ValueError, match="refused"):
        tx.rollback()
    # the newer entry failed first; nothing was cleared, so the cache still answers
    assert good.a == 2
    assert tx.get_shadow(shadow) is shadow
    with pytest.raises(ValueError):
        tx.rollback()


def test_rollback_clears_log_and_cache():
    obj = Obj(a=2)
    tx = Transaction()
    tx.log("a", "SET", 2, 1, obj, "a")
    original = {"k": 1}
    first = tx.get_shadow(original)
    tx.rollback()
    assert obj.a == 1
    obj.a = 7
    tx.rollback()  # the entry is gone
    assert obj.a == 7
    assert tx.get_shadow(original) is not first  # the cache is gone too


# -- shadows -----------------------------------------------------------------


@pytest.mark.parametrize("value", [{"a": [1]}, [1, [2]], Obj(a=[1]), OrderedDict(a=1)])
def test_one_shallow_copy_per_object(value):
    tx = Transaction()
    shadow = tx.get_shadow(value)
    assert shadow is not value
    assert tx.get_shadow(value) is shadow
    assert tx.get_shadow(shadow) is shadow
    assert tx.get_shadow(value, "some.path") is shadow  # the path plays no part in a hit
    assert type(shadow) is type(value)


def test_shallow_copy_shares_nested_objects():
    inner = [1]
    tx = Transaction()
    shadow = tx.get_shadow({"a": inner})
    assert shadow["a"] is inner


@pytest.mark.parametrize("value", [(1, 2), 5, "text", frozenset({1})])
def test_immutable_values_are_their_own_shadow(value):
    tx = Transaction()
    assert tx.get_shadow(value) is value


def test_lock_manager_is_cleared_on_the_copy_only():
    lock = object()
    original = Obj(_lock_manager=lock, a=1)
    shadow = Transaction().get_shadow(original)
    assert shadow._lock_manager is None
    assert original._lock_manager is lock


def test_lock_manager_refusal_is_ignored():
    shadow = Transaction().get_shadow(Slotted(1))
    assert shadow.a == 1


def test_heavy_zone_notice_once_per_path(capfd):
    path = fresh_path("heavy_blob")
    blob = [1, 2]
    tx = Transaction()
    assert tx.get_shadow(blob, path) is blob
    assert tx.get_shadow(blob, path) is blob
    assert Transaction().get_shadow([3], path) is not None
    other = fresh_path("heavy_frames[0]")
    Transaction().get_shadow([4], other)
    out, err = capfd.readouterr()
    assert out == ""
    assert err == (
        f"[Kestu] HEAVY zone: skipping shadow copy for '{path}' (Logged once)\n"
        f"[Kestu] HEAVY zone: skipping shadow copy for '{other}' (Logged once)\n"
    )


@pytest.mark.parametrize("path", ["heavy_blob.items", "heavy", None, "Heavy_x", "a.heavy"])
def test_paths_outside_the_heavy_zone_are_copied(path, capfd):
    value = [1]
    assert Transaction().get_shadow(value, path) is not value
    assert capfd.readouterr().err == ""


def test_reference_answer_sticks_for_the_transaction():
    blob = [1]
    tx = Transaction()
    assert tx.get_shadow(blob, fresh_path("heavy_x")) is blob
    assert tx.get_shadow(blob, "plain") is blob


class Uncopyable:
    def __copy__(self):
        raise TypeError("no copies")


class BadStr(Exception):
    def __str__(self):
        raise RuntimeError("no text")


class UncopyableBadError:
    def __copy__(self):
        raise BadStr()


@pytest.mark.parametrize(
    "value,path,line",
    [
        (Uncopyable(), "a.b", "[Kestu] WARNING: Cannot copy 'a.b' (type: Uncopyable): TypeError: no copies. Using reference instead.\n"),
        (Uncopyable(), None, "[Kestu] WARNING: Cannot copy 'unknown' (type: Uncopyable): TypeError: no copies. Using reference instead.\n"),
        (
            UncopyableBadError(),
            "p",
            "[Kestu] WARNING: Cannot copy 'p' (type: UncopyableBadError): BadStr: <exception str() failed>. Using reference instead.\n",
        ),
    ],
)
def test_copy_failure_falls_back_to_reference(value, path, line, capfd):
    tx = Transaction()
    assert tx.get_shadow(value, path) is value
    assert capfd.readouterr().err == line
    tx.commit()  # skips the reference pair


def test_ctrl_c_during_copy_is_not_a_copy_failure():
    class Interrupts:
        def __copy__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        Transaction().get_shadow(Interrupts())


def test_reentrant_use_from_a_copy_hook():
    tx = Transaction()
    seen = []

    class Reenters:
        def __copy__(self):
            for call in (lambda: tx.log("p", "SET"), tx.commit, tx.rollback, lambda: tx.get_shadow(1)):
                try:
                    call()
                except RuntimeError as exc:
                    seen.append(str(exc))
            return Reenters()

    tx.get_shadow(Reenters())
    assert seen == ["Already borrowed"] * 4


# -- commit ------------------------------------------------------------------


def test_commit_dict_keeps_identity():
    original = {"a": 1, "b": 2}
    tx = Transaction()
    shadow = tx.get_shadow(original)
    shadow["c"] = 3
    del shadow["a"]
    tx.commit()
    assert original == {"b": 2, "c": 3}
    tx.commit()  # a second commit re-applies the same shadows
    assert original == {"b": 2, "c": 3}


def test_commit_list_keeps_identity():
    original = [1, 2]
    tx = Transaction()
    shadow = tx.get_shadow(original)
    shadow.append(3)
    tx.commit()
    assert original == [1, 2, 3]


def test_commit_object_copies_instance_attributes():
    original = Obj(a=1)
    tx = Transaction()
    shadow = tx.get_shadow(original)
    shadow.a = 2
    shadow.b = 3
    tx.commit()
    assert (original.a, original.b) == (2, 3)


def test_commit_skips_objects_without_dict():
    original = Slotted(1)
    tx = Transaction()
    shadow = tx.get_shadow(original)
    shadow.a = 2
    tx.commit()
    assert original.a == 1


def test_commit_dispatches_on_the_type_name():
    class Mapping(dict):
        pass

    original = Mapping(a=1)
    original.note = "x"
    tx = Transaction()
    shadow = tx.get_shadow(original)
    shadow["a"] = 2
    shadow.note = "y"
    tx.commit()
    # another type name: only instance attributes travel back
    assert original == {"a": 1} and original.note == "y"


def test_commit_error_propagates():
    def refuse(self, key, value):
        raise TypeError("read only")

    # a list subclass that is still named "list" takes the list branch
    named_list = type("list", (list,), {"__setitem__": refuse})
    original = named_list([1])
    tx = Transaction()
    tx.get_shadow(original).append(2)
    with pytest.raises(TypeError, match="read only"):
        tx.commit()
    assert list(original) == [1]


# -- memory ------------------------------------------------------------------


def test_cycles_through_a_transaction_are_collected():
    class Holder:
        pass

    holder = Holder()
    tx = Transaction()
    holder.tx = tx
    tx.log("h", "SET", holder, holder, holder, "h")
    tx.get_shadow(holder)
    alive = weakref.ref(holder)
    del holder, tx
    gc.collect()
    assert alive() is None


@pytest.mark.parametrize("count", [1, 7, 300])
def test_many_shadows_stay_one_per_object_until_rollback(count):
    tx = Transaction()
    originals = [{"i": i} for i in range(count)]
    shadows = [tx.get_shadow(o) for o in originals]
    for original, shadow in zip(originals, shadows):
        assert shadow is not original and tx.get_shadow(original) is shadow and tx.get_shadow(shadow) is shadow
        shadow["seen"] = True
    tx.commit()
    assert all(o == {"i": i, "seen": True} for i, o in enumerate(originals))
    tx.rollback()
    assert all(tx.get_shadow(o) is not s for o, s in zip(originals, shadows))


class Text(str):
    pass


def test_no_leak_over_many_rounds():
    def rounds():
        for _ in range(200):
            tx = Transaction()
            obj = Obj(a=1, items=[1, 2], data={"k": 1})
            tx.log("a", "SET", 2, 1, obj, "a")
            tx.log(Text("p"), "odd op", 3, obj, obj, Text("a"))
            obj.a = 2
            tx.get_shadow(obj.items).append(3)
            tx.get_shadow(obj.data)["k"] = 2
            tx.get_shadow(obj, "x")
            tx.commit()
            tx.rollback()

    assert block_growth(rounds, warmup=1, rounds=5) < 100


def test_discarded_errors_never_swallow_ctrl_c():
    class NoDict:
        __slots__ = ()

        def __getattribute__(self, name):
            if name == "__dict__":
                raise KeyboardInterrupt
            return object.__getattribute__(self, name)

    class RefusesLockManager:
        def __setattr__(self, name, value):
            raise KeyboardInterrupt

    tx = Transaction()
    tx.get_shadow(NoDict())
    with pytest.raises(KeyboardInterrupt):
        tx.commit()
    with pytest.raises(KeyboardInterrupt):
        Transaction().get_shadow(RefusesLockManager())
