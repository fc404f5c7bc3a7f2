"""FrozenDict and FrozenList: read-only views with nested frozen wrapping.

A negative FrozenList index counts from the end (as in TrackedList); it is
never replaced by 0.
"""

import copy
import gc
import sys
import weakref
from collections import OrderedDict

import pytest

from kestu_core import FrozenDict, FrozenList
from helpers import block_growth

VIEWS = [(FrozenDict, dict, "PyDict"), (FrozenList, list, "PyList")]


class Marker:
    pass


def data_for(cls):
    return {"a": 1, "n": {"x": 1}, "l": [1]} if cls is FrozenDict else [1, {"x": 1}, [1]]


# -- common to both ------------------------------------------------------------


@pytest.mark.parametrize("cls,base,target", VIEWS)
def test_construction(cls, base, target):
    assert cls.__text_signature__ == "(data)"
    data = base()
    view = cls(data)
    assert cls(data=data) is not view
    assert not isinstance(view, base)
    assert cls.__bases__ == (object,)
    assert type(view).__repr__ is object.__repr__
    for attr in ("__getstate__", "__setstate__", "__getnewargs__"):
        assert getattr(cls, attr, None) is getattr(object, attr, None)


@pytest.mark.parametrize("cls,base,target", VIEWS)
@pytest.mark.parametrize("bad", [(), "s", None, 3, OrderedDict, frozenset()])
def test_constructor_argument_type(cls, base, target, bad):
    if isinstance(bad, base):
        pytest.skip("accepted")
    with pytest.raises(TypeError) as info:
        cls(bad)
    assert str(info.value) == f"argument 'data': '{type(bad).__qualname__}' object cannot be converted to '{target}'"


@pytest.mark.parametrize("cls,base,target", VIEWS)
def test_len_iter_contains(cls, base, target):
    data = data_for(cls)
    view = cls(data)
    assert len(view) == 3
    it = iter(view)
    assert type(it) is type(iter(base()))
    assert list(it) == list(data)
    first = next(iter(data))
    assert first in view and "absent" not in view


@pytest.mark.parametrize("cls,base,target", VIEWS)
def test_str(cls, base, target):
    data = data_for(cls)
    assert str(cls(data)) == f"{cls.__name__}({data})"


def test_str_examples():
    assert str(FrozenDict({"a": 1})) == "FrozenDict({'a': 1})"
    assert str(FrozenList([1, 2])) == "FrozenList([1, 2])"


@pytest.mark.parametrize("cls,base,target", VIEWS)
def test_delete_is_refused(cls, base, target):
    data = data_for(cls)
    before = copy.deepcopy(data)
    view = cls(data)
    for key in ("a", 0, 99, "zz", [1]):
        with pytest.raises(NotImplementedError) as info:
            del view[key]
        assert str(info.value) == "can't delete item"
    assert data == before


@pytest.mark.parametrize("cls,base,target", VIEWS)
def test_nested_views_see_later_changes(cls, base, target):
    data = data_for(cls)
    key = "n" if cls is FrozenDict else 1
    nested = cls(data)[key]
    assert type(nested) is FrozenDict
    data[key]["x"] = 2
    assert nested["x"] == 2


@pytest.mark.parametrize("cls,base,target", VIEWS)
def test_copy_uses_the_default_protocol(cls, base, target):
    data = data_for(cls)
    view = cls(data)
    with pytest.raises(TypeError):
        copy.copy(view)


@pytest.mark.parametrize("cls,base,target", VIEWS)
def test_cycles_are_collected(cls, base, target):
    marker = Marker()
    ref = weakref.ref(marker)
    data = base()
    view = cls(data)
    if cls is FrozenDict:
        data["self"] = view
        data["m"] = marker
    else:
        data.extend([view, marker])
    marker.view = view
    del data, view, marker
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("cls,base,target", VIEWS)
def test_no_leak_over_many_rounds(cls, base, target):
    def round_():
        data = data_for(cls)
        view = cls(data)
        keys = ["a", "n", "l"] if cls is FrozenDict else [0, 1, 2, -1]
        for k in keys:
            view[k]
        str(view), list(view), len(view), 1 in view
        for bad in (lambda: view.__setitem__(keys[0], 1), lambda: view.__delitem__(keys[0]), lambda: view[10]):
            try:
                bad()
            except (TypeError, NotImplementedError, KeyError, IndexError):
                pass
        if cls is FrozenDict:
            view.keys(), view.items(), view.values(), view.get("n"), view.get("zz", 1)

    assert block_growth(round_, warmup=50, rounds=3000) < 100


# -- FrozenDict ----------------------------------------------------------------


def test_frozen_dict_nested_reads():
    inner, lst, od = {"x": 1}, [1], OrderedDict(a=1)
    data = {"d": inner, "l": lst, "o": od, "i": 1, "t": (1,)}
    view = FrozenDict(data)
    d = view["d"]
    assert type(d) is FrozenDict and d["x"] == 1
    assert type(view["l"]) is FrozenList and view["l"][0] == 1
    assert view["o"] is od  # another type name: raw
    view["o"]["b"] = 2
    assert od == {"a": 1, "b": 2}
    assert view["i"] == 1 and view["t"] == (1,)
    assert data["d"] is inner  # nothing copied or stored
    with pytest.raises(TypeError) as info:
        d["x"] = 2
    assert str(info.value) == "'FrozenDict' object does not support item assignment"
    assert inner == {"x": 1}


def test_frozen_dict_each_read_is_a_new_view():
    view = FrozenDict({"d": {}})
    assert view["d"] is not view["d"]


def test_frozen_dict_missing_keys():
    view = FrozenDict({})
    with pytest.raises(KeyError) as info:
        view["k"]
    assert info.value.args == ("k",)
    with pytest.raises(KeyError) as info:
        view[5]
    assert info.value.args == ("5",)
    with pytest.raises(TypeError, match="unhashable type"):
        view[[1]]


def test_frozen_dict_missing_key_with_failing_str(monkeypatch):
    class Bad:
        def __str__(self):
            raise ValueError("nope")

    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_type))
    with pytest.raises(KeyError) as info:
        FrozenDict({})[Bad()]
    assert info.value.args == ("<unprintable Bad object>",)
    assert seen == [ValueError]


@pytest.mark.parametrize("key,value", [("a", 1), ("new", 2), ([1], 1)])
def test_frozen_dict_item_assignment_is_refused(key, value):
    data = {"a": 0}
    with pytest.raises(TypeError) as info:
        FrozenDict(data)[key] = value
    assert str(info.value) == "'FrozenDict' object does not support item assignment"
    assert data == {"a": 0}


def test_frozen_dict_get():
    inner = {"x": 1}
    view = FrozenDict({"d": inner, "n": None})
    assert view.get("zz") is None
    assert view.get("zz", 5) == 5
    assert view.get("zz", default=inner) is inner  # the default is never wrapped
    got = view.get("d")
    assert type(got) is FrozenDict and got["x"] == 1
    assert view.get("n", 1) is None
    assert FrozenDict.get.__text_signature__ == "($self, key, default=None)"


def test_frozen_dict_keys_items_values_are_raw():
    inner = {"x": 1}
    data = {"a": 1, "d": inner}
    view = FrozenDict(data)
    assert view.keys() == ["a", "d"] and type(view.keys()) is list
    assert view.items() == [("a", 1), ("d", inner)]
    values = view.values()
    assert values[1] is inner
    values[1]["y"] = 2
    assert inner == {"x": 1, "y": 2}


class DictNamed:
    pass


DictNamed.__name__ = "dict"


def test_frozen_dict_wrong_kind_under_the_name_dict():
    with pytest.raises(TypeError) as info:
        FrozenDict({"k": DictNamed()})["k"]
    assert str(info.value) == "'DictNamed' object cannot be converted to 'PyDict'"


# -- FrozenList ----------------------------------------------------------------


@pytest.mark.parametrize("index,value", [(0, 10), (2, 30), (-1, 30), (-3, 10), (True, 20)])
def test_frozen_list_indexing(index, value):
    assert FrozenList([10, 20, 30])[index] == value


def test_frozen_list_negative_index_counts_from_the_end():
    # Clamping to 0 would return the first item for view[-1].
    view = FrozenList([10, 20, 30])
    assert view[-1] == 30
    assert view[-2] == 20


@pytest.mark.parametrize("data,index", [([10, 20, 30], 3), ([10, 20, 30], -4), ([], 0), ([], -1)])
def test_frozen_list_out_of_range(data, index):
    with pytest.raises(IndexError) as info:
        FrozenList(data)[index]
    assert str(info.value) == "list index out of range"


@pytest.mark.parametrize("index,name", [(slice(None), "slice"), ("1", "str"), (1.5, "float")])
def test_frozen_list_non_integer_index(index, name):
    with pytest.raises(TypeError) as info:
        FrozenList([1, 2])[index]
    assert str(info.value) == f"argument 'index': '{name}' object cannot be interpreted as an integer"


def test_frozen_list_huge_index_overflows():
    with pytest.raises(OverflowError):
        FrozenList([1])[2**64]


def test_frozen_list_nested_reads():
    inner = [1]
    data = [inner, {"a": 1}, OrderedDict(), "s"]
    view = FrozenList(data)
    assert type(view[0]) is FrozenList and type(view[-3]) is FrozenDict
    assert view[2] is data[2] and view[3] == "s"
    with pytest.raises(TypeError, match="^'FrozenList' object does not support item assignment$"):
        view[0][0] = 5
    assert inner == [1] and data[0] is inner


@pytest.mark.parametrize("index", [0, -1, 99, True])
def test_frozen_list_item_assignment_is_refused(index):
    data = [1, 2]
    with pytest.raises(TypeError) as info:
        FrozenList(data)[index] = 5
    assert str(info.value) == "'FrozenList' object does not support item assignment"
    assert data == [1, 2]


@pytest.mark.parametrize("index,name", [("0", "str"), (slice(0, 1), "slice"), (None, "NoneType")])
def test_frozen_list_item_assignment_checks_the_index_first(index, name):
    with pytest.raises(TypeError) as info:
        FrozenList([1])[index] = 5
    assert str(info.value) == f"argument '_index': '{name}' object cannot be interpreted as an integer"


def test_frozen_list_append_is_refused():
    data = [1]
    view = FrozenList(data)
    for value in (1, None, [2]):
        with pytest.raises(TypeError) as info:
            view.append(value)
        assert str(info.value) == "'FrozenList' object is immutable"
    with pytest.raises(TypeError) as info:
        view.append(_value=1)
    assert str(info.value) == "'FrozenList' object is immutable"
    assert data == [1]
    assert FrozenList.append.__text_signature__ == "($self, _value)"


def test_frozen_list_contains_uses_the_sequence_test():
    class Seq(list):
        def __contains__(self, item):
            return item == "magic"

    assert "magic" in FrozenList(Seq())
    assert 1 not in FrozenList(Seq([1]))


def test_frozen_list_length_read_after_index_hook():
    data = [1, 2, 3]

    class Index:
        def __index__(self):
            data.clear()
            return 0

    with pytest.raises(IndexError):
        FrozenList(data)[Index()]
