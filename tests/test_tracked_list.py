"""TrackedList: index normalisation, shadowing, writes, copy protocol, safety.

The entries each write logs are checked by the native test program
(tests/native/test_containers.cpp).
"""

import copy
import gc
import weakref
from collections import OrderedDict

import pytest

from kestu_core import TrackedDict, TrackedList, Transaction
from helpers import block_growth, catch_base


def path_of(wrapper):
    return wrapper.__getstate__()[2]


def data_of(wrapper):
    return wrapper.__getstate__()[0]


class Marker:
    pass


class Index:
    def __init__(self, value, action=None):
        self.value, self.action = value, action

    def __index__(self):
        if self.action:
            self.action()
        return self.value


# -- construction --------------------------------------------------------------


def test_text_signatures():
    assert TrackedList.__text_signature__ == "(data, tx, path)"
    assert TrackedList.pop.__text_signature__ == "($self, index=None)"
    assert TrackedList.append.__text_signature__ == "($self, value)"
    assert TrackedList.normalize_index.__text_signature__ == "($self, index)"


@pytest.mark.parametrize(
    "args,message",
    [
        (((1, 2), None, "p"), "argument 'data': 'tuple' object cannot be converted to 'PyList'"),
        (({}, None, "p"), "argument 'data': 'dict' object cannot be converted to 'PyList'"),
        (([], None, "p"), "argument 'tx': 'NoneType' object cannot be converted to 'Transaction'"),
        (([], [], "p"), "argument 'tx': 'list' object cannot be converted to 'Transaction'"),
        (([], Transaction(), None), "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
    ],
)
def test_constructor_argument_types(args, message):
    with pytest.raises(TypeError) as info:
        TrackedList(*args)
    assert str(info.value) == message


def test_construct_by_keyword_and_fields():
    data, tx = [], Transaction()
    tl = TrackedList(path="p", data=data, tx=tx)
    state = tl.__getstate__()
    assert state[0] is data and state[1] is tx and state[2] == "p"
    assert not isinstance(tl, list)
    assert type(tl).__repr__ is object.__repr__


# -- index normalisation -------------------------------------------------------


@pytest.mark.parametrize("index,position", [(0, 0), (2, 2), (-1, 2), (-3, 0), (True, 1), (Index(-2), 1)])
def test_normalize_index(index, position):
    tl = TrackedList([10, 20, 30], Transaction(), "p")
    assert tl.normalize_index(index) == position
    assert type(tl.normalize_index(index)) is int


@pytest.mark.parametrize("index", [3, -4, 10**6, -(10**6)])
def test_out_of_range(index):
    data = [10, 20, 30]
    tl = TrackedList(data, Transaction(), "p")
    for op in (lambda: tl[index], lambda: tl.__setitem__(index, 0), lambda: tl.normalize_index(index)):
        with pytest.raises(IndexError) as info:
            op()
        assert str(info.value) == "list index out of range"
    assert data == [10, 20, 30]


def test_every_index_fails_on_an_empty_list():
    tl = TrackedList([], Transaction(), "p")
    for index in (0, -1, 1):
        with pytest.raises(IndexError, match="^list index out of range$"):
            tl[index]


@pytest.mark.parametrize("index,name", [(slice(0, 1), "slice"), ("0", "str"), (1.0, "float"), (None, "NoneType")])
def test_non_integer_index(index, name):
    data = [1, 2]
    tl = TrackedList(data, Transaction(), "p")
    message = f"argument 'index': '{name}' object cannot be interpreted as an integer"
    ops = [lambda: tl[index], lambda: tl.__setitem__(index, 0), lambda: tl.normalize_index(index)]
    if index is not None:  # pop(None) means "last"
        ops.append(lambda: tl.pop(index))
    for op in ops:
        with pytest.raises(TypeError) as info:
            op()
        assert str(info.value) == message
    assert data == [1, 2]


@pytest.mark.parametrize("index", [2**63, -(2**63) - 1])
def test_index_outside_64_bits_overflows(index):
    tl = TrackedList([1], Transaction(), "p")
    for op in (lambda: tl[index], lambda: tl.__setitem__(index, 0), lambda: tl.normalize_index(index),
               lambda: tl.pop(index)):
        with pytest.raises(OverflowError) as info:
            op()
        assert not str(info.value).startswith("argument")


def test_length_is_read_after_index_conversion():
    data = [1, 2, 3]
    tl = TrackedList(data, Transaction(), "p")
    with pytest.raises(IndexError):
        tl[Index(2, action=lambda: data.clear())]
    data[:] = [1, 2, 3]
    assert tl[Index(-1, action=lambda: data.append(4))] == 4


# -- reading -------------------------------------------------------------------


def test_scalar_items_pass_raw():
    items = [1, "s", None, (1, [2]), OrderedDict(a=1), TrackedList([], Transaction(), "x")]
    data = list(items)
    tl = TrackedList(data, Transaction(), "p")
    for i, item in enumerate(items):
        assert tl[i] is item and data[i] is item


def test_nested_dict_read_shadows_and_wraps():
    inner = {"a": 1}
    data = [inner, 2]
    tx = Transaction()
    tl = TrackedList(data, tx, "orders")
    view = tl[0]
    assert type(view) is TrackedDict and path_of(view) == "orders[0]"
    assert data[0] is not inner and data_of(view) is data[0]
    view["a"] = 5
    assert inner == {"a": 1}
    tx.commit()
    assert inner == {"a": 5}


def test_nested_list_read_with_negative_index_uses_the_position():
    data = [1, [2, 3]]
    view = TrackedList(data, Transaction(), "p")[-1]
    assert type(view) is TrackedList and path_of(view) == "p[1]"
    assert view[-1] == 3


def test_two_reads_share_one_shadow():
    data = [{"a": 1}]
    tl = TrackedList(data, Transaction(), "p")
    first, second = tl[0], tl[0]
    assert first is not second and data_of(first) is data_of(second) is data[0]


class ListHooked(list):
    hook = None

    def __copy__(self):
        hook, ListHooked.hook = ListHooked.hook, None
        if hook:
            hook()
        return list(self)


ListHooked.__name__ = "list"


def test_list_shrunk_by_the_copy_hook():
    data = [0, ListHooked([1])]
    tl = TrackedList(data, Transaction(), "p")
    ListHooked.hook = data.clear
    with pytest.raises(IndexError, match="^list index out of range$"):
        tl[1]
    assert data == []


def test_list_replaced_by_the_copy_hook_gets_the_shadow_at_the_position():
    original = ListHooked([1])
    data = [0, original]
    tl = TrackedList(data, Transaction(), "p")
    ListHooked.hook = lambda: data.__setitem__(1, "other")
    view = tl[1]
    assert data[1] is data_of(view) and data[1] == [1]


def test_pop_returns_raw_items():
    inner = {"a": 1}
    tl = TrackedList([inner], Transaction(), "p")
    assert tl.pop() is inner


# -- writing -------------------------------------------------------------------


def test_setitem():
    data = [1, 2, 3]
    tl = TrackedList(data, Transaction(), "p")
    assert tl.__setitem__(-1, "z") is None
    tl[0] = "a"
    assert data == ["a", 2, "z"]


def test_append_and_pop():
    data = [1, 2, 3]
    tl = TrackedList(data, Transaction(), "p")
    assert tl.append(5) is None
    assert data == [1, 2, 3, 5]
    assert tl.pop() == 5
    assert tl.pop(0) == 1
    assert tl.pop(index=-1) == 3
    assert tl.pop(None) == 2
    assert data == []
    with pytest.raises(IndexError) as info:
        tl.pop()
    assert str(info.value) == "pop from empty list"
    data.append(1)
    with pytest.raises(IndexError) as info:
        tl.pop(5)
    assert str(info.value) == "pop index out of range"


class OwnMethods(list):
    def append(self, value):
        raise AssertionError("a subclass's append is not used")

    def pop(self, index=-1):
        return ("own pop", index)


def test_append_is_the_lists_own_and_pop_goes_through_the_attribute():
    data = OwnMethods([1, 2])
    tl = TrackedList(data, Transaction(), "p")
    tl.append(3)
    assert list(data) == [1, 2, 3]
    assert tl.pop() == ("own pop", -1)
    assert tl.pop(True) == ("own pop", 1)


def test_delete_is_refused():
    data = [1, 2]
    tl = TrackedList(data, Transaction(), "p")
    for index in (0, 5, "x"):
        with pytest.raises(NotImplementedError) as info:
            del tl[index]
        assert str(info.value) == "can't delete item"
    assert data == [1, 2]


def test_container_writes_reach_the_original_on_commit():
    original = [[1], {"k": 1}]
    tx = Transaction()
    tl = TrackedList(tx.get_shadow(original), tx, "root")
    tl[0].append(2)
    tl[1]["k"] = 2
    tl.append("new")
    assert original == [[1], {"k": 1}]
    tx.commit()
    assert original == [[1, 2], {"k": 2}, "new"]


# -- len, iter, contains, str --------------------------------------------------


def test_len_iter_contains_str():
    inner = {"a": 1}
    data = [1, inner]
    tl = TrackedList(data, Transaction(), "p")
    assert len(tl) == 2
    it = iter(tl)
    assert type(it) is type(iter([]))
    items = list(it)
    assert items[1] is inner  # raw, not shadowed
    items[1]["b"] = 2
    assert data[1] is inner and inner == {"a": 1, "b": 2}
    assert 1 in tl and inner in tl and 7 not in tl
    assert str(tl) == str(data)


# -- copy protocol -------------------------------------------------------------


def test_copy_is_a_new_wrapper_over_the_same_fields():
    data, tx = [1], Transaction()
    tl = TrackedList(data, tx, "p")
    assert tl.__getnewargs__() == tl.__getstate__()
    c = copy.copy(tl)
    assert c is not tl and type(c) is TrackedList
    state = c.__getstate__()
    assert state[0] is data and state[1] is tx and state[2] == "p"


@pytest.mark.parametrize(
    "make_state,error,message,replaced",
    [
        (lambda d, tx: None, TypeError, "'NoneType' object cannot be converted to 'PyTuple'", 0),
        (lambda d, tx: ({}, tx, "q"), TypeError, "'dict' object cannot be converted to 'PyList'", 0),
        (lambda d, tx: (d,), IndexError, "tuple index out of range", 1),
        (lambda d, tx: (d, "tx", "q"), TypeError, "'str' object cannot be converted to 'Transaction'", 1),
        (lambda d, tx: (d, tx), IndexError, "tuple index out of range", 2),
        (lambda d, tx: (d, tx, b"q"), TypeError, "'bytes' object cannot be converted to 'PyString'", 2),
        (lambda d, tx: (d, tx, "q", 1, 2), None, None, 3),
    ],
)
def test_setstate_steps(make_state, error, message, replaced):
    d0, tx0 = [0], Transaction()
    tl = TrackedList(d0, tx0, "p")
    d1, tx1 = [1], Transaction()
    if error is None:
        assert tl.__setstate__(make_state(d1, tx1)) is None
    else:
        with pytest.raises(error) as info:
            tl.__setstate__(make_state(d1, tx1))
        assert str(info.value) == message
    state = tl.__getstate__()
    assert state[0] is (d1 if replaced >= 1 else d0)
    assert state[1] is (tx1 if replaced >= 2 else tx0)
    assert state[2] == ("q" if replaced >= 3 else "p")


# -- re-entrancy ---------------------------------------------------------------


def test_setstate_from_index_hook_is_already_borrowed():
    tx = Transaction()
    tl = TrackedList([1], tx, "p")
    with pytest.raises(RuntimeError) as info:
        tl[Index(0, action=lambda: tl.__setstate__(([], tx, "q")))]
    assert str(info.value) == "Already borrowed"


def test_shared_use_from_a_finaliser_during_setstate_is_already_mutably_borrowed():
    tx = Transaction()
    seen = []

    class Finaliser:
        def __del__(self):
            for op in (lambda: len(tl), lambda: tl.append(1), lambda: tl[0], lambda: str(tl)):
                try:
                    op()
                except RuntimeError as exc:
                    seen.append(str(exc))

    tl = TrackedList([Finaliser()], tx, "p")
    tl.__setstate__(([], tx, "q"))
    assert seen == ["Already mutably borrowed"] * 4


def test_tracked_append_inside_a_nested_read_is_the_internal_error(capfd):
    tx = Transaction()
    data = [ListHooked([1])]
    tl = TrackedList(data, tx, "p")
    caught = []

    def append():
        try:
            tl.append("x")
        except BaseException as exc:  # noqa: BLE001
            caught.append(exc)
            raise

    ListHooked.hook = append
    exc = catch_base(lambda: tl[0])
    assert caught and exc is caught[0]
    assert not issubclass(type(exc), Exception) and issubclass(type(exc), BaseException)
    assert str(exc).startswith("Already borrowed")
    assert data[1] == "x"  # the list itself was changed; nothing was logged
    assert "Already borrowed" in capfd.readouterr().err
    assert type(tl[0]) is TrackedList  # the transaction was released


@pytest.mark.parametrize("op", ["setitem", "pop"])
def test_other_writes_inside_a_nested_read_are_the_internal_error(op, capfd):
    tx = Transaction()
    data = [ListHooked([1]), "a", "b"]
    tl = TrackedList(data, tx, "p")
    write = {"setitem": lambda: tl.__setitem__(1, "z"), "pop": lambda: tl.pop()}[op]
    ListHooked.hook = write
    exc = catch_base(lambda: tl[0])
    assert not isinstance(exc, Exception) and str(exc).startswith("Already borrowed")
    assert data[1:] == (["z", "b"] if op == "setitem" else ["a"])
    capfd.readouterr()


def test_reentrant_write_from_an_index_hook():
    data = [1, 2, 3]
    tl = TrackedList(data, Transaction(), "p")
    tl[Index(0, action=lambda: tl.append(4))] = "x"
    assert data == ["x", 2, 3, 4]
    tl[Index(-1, action=lambda: tl.pop())] = "y"  # the length is read after the hook
    assert data == ["x", 2, "y"]


# -- GC and leaks --------------------------------------------------------------


def test_cycles_are_collected():
    marker = Marker()
    ref = weakref.ref(marker)
    data = [marker]
    tl = TrackedList(data, Transaction(), "p")
    data.append(tl)
    marker.tl = tl
    del data, tl, marker
    gc.collect()
    assert ref() is None


def test_no_leak_over_many_rounds():
    def round_():
        tx = Transaction()
        original = [1, [2, {"a": 3}], {"b": []}]
        tl = TrackedList(tx.get_shadow(original), tx, "p")
        tl[0] = 5
        tl[1][1]["a"] = 4
        tl[2]["b"].append(1)
        tl.append(7)
        tl.pop()
        tl.pop(0)
        tl.normalize_index(-1)
        list(tl), str(tl), 5 in tl, len(tl)
        copy.copy(tl)
        for bad in (lambda: tl[10], lambda: tl["x"], lambda: tl.__delitem__(0), lambda: tl.__setstate__(([],))):
            try:
                bad()
            except (IndexError, TypeError, NotImplementedError):
                pass
        tx.commit()

    assert block_growth(round_, warmup=50, rounds=2000) < 100
