"""TrackedDict: reads, shadowing, writes, child paths, copy protocol, safety.

The delta log is not visible from Python; the entries each write logs are
checked by the native test program (tests/native/test_containers.cpp). Here
the log shows only through its effects (commit, rollback) and the paths of
nested wrappers.
"""

import copy
import gc
import sys
import weakref
from collections import OrderedDict

import pytest

from kestu_core import FrozenDict, TrackedDict, TrackedList, Transaction
from helpers import block_growth, catch_base


def path_of(wrapper):
    return wrapper.__getstate__()[2]


def data_of(wrapper):
    return wrapper.__getstate__()[0]


class Marker:
    pass


# -- construction --------------------------------------------------------------


def test_text_signatures():
    assert TrackedDict.__text_signature__ == "(data, tx, path)"
    assert TrackedDict.get.__text_signature__ == "($self, key, default=None)"
    assert TrackedDict.update.__text_signature__ == "($self, other)"
    assert TrackedDict.__setstate__.__text_signature__ == "($self, state)"


def test_construct_positional_and_keyword():
    d, tx = {}, Transaction()
    for td in (TrackedDict(d, tx, "p"), TrackedDict(data=d, tx=tx, path="p"), TrackedDict(d, path="p", tx=tx)):
        state = td.__getstate__()
        assert state[0] is d and state[1] is tx and state[2] == "p"


class StrSub(str):
    pass


def test_fields_are_the_given_objects():
    d, tx, p = OrderedDict(), Transaction(), StrSub("p")
    state = TrackedDict(d, tx, p).__getstate__()
    assert state[0] is d and state[1] is tx and state[2] is p


@pytest.mark.parametrize(
    "args,message",
    [
        (([], None, "p"), "argument 'data': 'list' object cannot be converted to 'PyDict'"),
        (({}, None, "p"), "argument 'tx': 'NoneType' object cannot be converted to 'Transaction'"),
        (({}, {}, "p"), "argument 'tx': 'dict' object cannot be converted to 'Transaction'"),
        (({}, "TX", 5), "argument 'tx': 'str' object cannot be converted to 'Transaction'"),
        (({}, Transaction(), 5), "argument 'path': 'int' object cannot be converted to 'PyString'"),
        (({}, Transaction(), b"p"), "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
        ((Marker(), Transaction(), "p"), "argument 'data': 'Marker' object cannot be converted to 'PyDict'"),
    ],
)
def test_constructor_argument_types(args, message):
    with pytest.raises(TypeError) as info:
        TrackedDict(*args)
    assert str(info.value) == message


@pytest.mark.parametrize("call", [lambda: TrackedDict({}), lambda: TrackedDict({}, Transaction(), "p", 1),
                                  lambda: TrackedDict({}, Transaction(), "p", extra=1)])
def test_arity_errors(call):
    with pytest.raises(TypeError):
        call()


def test_not_a_dict_and_no_own_repr():
    td = TrackedDict({"a": 1}, Transaction(), "p")
    assert not isinstance(td, dict)
    assert type(td).__repr__ is object.__repr__
    assert repr(td).startswith("<kestu_core.TrackedDict object at ")
    with pytest.raises(AttributeError):
        td.data  # noqa: B018


# -- reading -------------------------------------------------------------------


@pytest.mark.parametrize("value", [1, "s", 1.5, None, True, (1, [2]), {1, 2}, b"x", OrderedDict(a=1)])
def test_scalar_and_other_values_pass_raw(value):
    d = {"k": value}
    tx = Transaction()
    td = TrackedDict(d, tx, "p")
    assert td["k"] is value
    assert d["k"] is value
    tx.commit()  # nothing to copy back: nothing was shadowed


def test_wrappers_pass_raw():
    inner = TrackedDict({}, Transaction(), "x")
    frozen = FrozenDict({})
    td = TrackedDict({"t": inner, "f": frozen}, Transaction(), "p")
    assert td["t"] is inner and td["f"] is frozen


def test_nested_dict_read_shadows_and_wraps():
    inner = {"count": 1}
    d = {"b": inner}
    tx = Transaction()
    td = TrackedDict(d, tx, "parent")
    view = td["b"]
    assert type(view) is TrackedDict
    assert path_of(view) == "parent.b"
    shadow = d["b"]
    assert shadow is not inner and shadow == inner
    assert data_of(view) is shadow
    assert view.__getstate__()[1] is tx
    view["count"] = 2
    assert inner == {"count": 1}
    assert shadow == {"count": 2}
    tx.commit()
    assert inner == {"count": 2}


def test_nested_list_read_shadows_and_wraps():
    inner = [1, 2]
    d = {"l": inner}
    tx = Transaction()
    view = TrackedDict(d, tx, "cfg")["l"]
    assert type(view) is TrackedList
    assert path_of(view) == "cfg.l"
    assert d["l"] is not inner and data_of(view) is d["l"]
    view.append(3)
    assert inner == [1, 2]
    tx.commit()
    assert inner == [1, 2, 3]


def test_two_reads_give_two_wrappers_over_one_shadow():
    d = {"b": {"x": 1}}
    tx = Transaction()
    td = TrackedDict(d, tx, "p")
    first = td["b"]
    shadow = d["b"]
    second = td["b"]
    assert first is not second
    assert data_of(first) is data_of(second) is shadow
    assert d["b"] is shadow


def test_read_of_a_shadow_itself_stores_nothing():
    tx = Transaction()
    inner = {"x": 1}
    shadow = tx.get_shadow(inner)
    d = {"b": shadow}
    view = TrackedDict(d, tx, "p")["b"]
    assert d["b"] is shadow and data_of(view) is shadow


def test_ordered_dict_is_raw_and_not_shadowed():
    od = OrderedDict(a=1)
    d = {"o": od}
    td = TrackedDict(d, Transaction(), "p")
    got = td["o"]
    assert got is od and d["o"] is od
    got["b"] = 2
    assert od == {"a": 1, "b": 2}


class DictNamedSub(dict):
    pass


DictNamedSub.__name__ = "dict"


def test_dispatch_is_on_the_type_name():
    sub = DictNamedSub(a=1)
    d = {"s": sub}
    view = TrackedDict(d, Transaction(), "p")["s"]
    assert type(view) is TrackedDict
    assert type(d["s"]) is DictNamedSub and d["s"] is not sub


class NamedListNotAList:
    def __copy__(self):
        return self


NamedListNotAList.__name__ = "list"


def test_shadow_of_the_wrong_kind():
    obj = NamedListNotAList()
    td = TrackedDict({"x": obj}, Transaction(), "p")
    with pytest.raises(TypeError) as info:
        td["x"]
    # {type} is the __qualname__, which renaming __name__ leaves alone.
    assert str(info.value) == "'NamedListNotAList' object cannot be converted to 'PyList'"


def test_missing_key_errors():
    td = TrackedDict({}, Transaction(), "p")
    with pytest.raises(KeyError) as info:
        td["k"]
    assert info.value.args == ("k",)
    with pytest.raises(KeyError) as info:
        td[5]
    assert info.value.args == ("5",)
    with pytest.raises(KeyError) as info:
        td[(1, 2)]
    assert info.value.args == ("(1, 2)",)


def test_missing_key_with_lone_surrogate():
    with pytest.raises(KeyError) as info:
        TrackedDict({}, Transaction(), "p")["a\ud800"]
    assert info.value.args == ("a\ufffd",)


class BadStr:
    def __str__(self):
        raise ValueError("no text")

    def __hash__(self):
        return 7

    def __eq__(self, other):
        return self is other


def test_missing_key_with_failing_str(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_type))
    with pytest.raises(KeyError) as info:
        TrackedDict({}, Transaction(), "p")[BadStr()]
    assert info.value.args == ("<unprintable BadStr object>",)
    assert seen == [ValueError]


@pytest.mark.parametrize("key", [[1], {}, {1}])
def test_unhashable_keys(key):
    d = {"a": 1}
    td = TrackedDict(d, Transaction(), "p")
    for op in (lambda: td[key], lambda: td.__setitem__(key, 1), lambda: td.__delitem__(key), lambda: key in td,
               lambda: td.get(key)):
        with pytest.raises(TypeError, match="unhashable type"):
            op()
    assert d == {"a": 1}


# -- child paths ---------------------------------------------------------------


@pytest.mark.parametrize(
    "key,path",
    [
        ("name", "cfg.name"),
        (3, "cfg.3"),
        ("été", "cfg.été"),
        ("", "cfg."),
        ("a-b", "cfg[a-b]"),
        ("x.y", "cfg[x.y]"),
        (-1, "cfg[-1]"),
        ((1, 2), "cfg[(1, 2)]"),
        ("a_b", "cfg.a_b"),
        ("_", "cfg._"),
        ("1st", "cfg.1st"),
        ("a b", "cfg[a b]"),
        (1.5, "cfg[1.5]"),
        (None, "cfg.None"),
        (True, "cfg.True"),
        ("Ⓐ", "cfg.Ⓐ"),  # circled letter: Alphabetic, although not str.isalnum
        ("कि", "cfg.कि"),  # combining vowel sign (Mc): Alphabetic, not str.isalnum
        ("ⅷ½", "cfg.ⅷ½"),  # Nl and No
        ("\u0301", "cfg[\u0301]"),  # combining acute (Mn, not Alphabetic)
        ("a\ud800", "cfg[a\ufffd]"),  # lone surrogate becomes U+FFFD, which is not alphanumeric
        ("[", "cfg[[]"),
    ],
)
def test_child_path_of_nested_read(key, path):
    view = TrackedDict({key: {}}, Transaction(), "cfg")[key]
    assert path_of(view) == path


def test_child_path_with_failing_str(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_type))
    key = BadStr()
    view = TrackedDict({key: []}, Transaction(), "cfg")[key]
    assert path_of(view) == "cfg[<unprintable BadStr object>]"
    assert seen == [ValueError]


def test_child_path_of_a_path_with_lone_surrogate():
    view = TrackedDict({"k": {}}, Transaction(), "p\udc80")["k"]
    assert path_of(view) == "p\ufffd.k"


def test_nested_paths_compose():
    d = {"a": {"b-c": [{"d": {}}]}}
    view = TrackedDict(d, Transaction(), "root")["a"]["b-c"][0]["d"]
    assert path_of(view) == "root.a[b-c][0].d"


# -- writing and deleting ------------------------------------------------------


def test_setitem_stores_the_value_itself():
    d = {}
    td = TrackedDict(d, Transaction(), "p")
    wrapper = TrackedDict({}, Transaction(), "x")
    value = {"not": "copied"}
    assert td.__setitem__("w", wrapper) is None
    td["v"] = value
    assert d["w"] is wrapper and d["v"] is value


def test_delete():
    d = {"a": 1, "b": 2}
    td = TrackedDict(d, Transaction(), "p")
    del td["a"]
    assert d == {"b": 2}
    with pytest.raises(KeyError) as info:
        del td["k"]
    assert info.value.args == ("k",)
    with pytest.raises(KeyError) as info:
        del td[5]
    assert info.value.args == ("5",)
    assert d == {"b": 2}


def test_container_entries_are_not_undone_by_rollback():
    d = {"a": 1}
    tx = Transaction()
    td = TrackedDict(d, tx, "p")
    td["a"] = 2
    td["b"] = 3
    del td["a"]
    tx.rollback()
    assert d == {"b": 3}  # written directly; rollback undoes guard attribute writes only


def test_writes_at_depth_reach_the_original_only_on_commit():
    original = {"user": {"profile": {"name": "a"}, "tags": ["x"]}}
    tx = Transaction()
    shadow = tx.get_shadow(original)
    td = TrackedDict(shadow, tx, "ctx")
    td["user"]["profile"]["name"] = "b"
    td["user"]["tags"].append("y")
    td["user"]["new"] = 1
    assert original == {"user": {"profile": {"name": "a"}, "tags": ["x"]}}
    tx.commit()
    assert original["user"]["profile"] == {"name": "b"}
    assert original["user"]["tags"] == ["x", "y"]
    assert original["user"]["new"] == 1


def test_rollback_drops_shadows():
    original = {"user": {"name": "a"}}
    tx = Transaction()
    td = TrackedDict(tx.get_shadow(original), tx, "ctx")
    td["user"]["name"] = "b"
    tx.rollback()
    tx.commit()
    assert original == {"user": {"name": "a"}}


# -- update --------------------------------------------------------------------


def test_update_writes_each_item_in_order():
    d = {"a": 0}
    td = TrackedDict(d, Transaction(), "p")
    assert td.update({"b": 1, "a": 2}) is None
    assert d == {"a": 2, "b": 1}


@pytest.mark.parametrize("other,name", [([("a", 1)], "list"), (None, "NoneType"), (OrderedDict, "type")])
def test_update_needs_a_dict(other, name):
    d = {}
    td = TrackedDict(d, Transaction(), "p")
    with pytest.raises(TypeError) as info:
        td.update(other)
    assert str(info.value) == f"'{name}' object cannot be converted to 'PyDict'"
    assert d == {}


class ItemsLies(dict):
    def items(self):
        return [("lie", 1)]

    def __iter__(self):
        return iter(["lie"])


def test_update_reads_the_dict_storage_directly():
    d = {}
    TrackedDict(d, Transaction(), "p").update(ItemsLies(a=1))
    assert d == {"a": 1}


class FailingHash:
    """Hashes once (to enter a dict), then raises."""

    def __init__(self):
        self.calls = 0

    def __hash__(self):
        self.calls += 1
        if self.calls > 1:
            raise ValueError("boom")
        return 5


def test_update_stops_at_the_first_failing_write():
    d = {}
    td = TrackedDict(d, Transaction(), "p")
    other = {"a": 1, FailingHash(): 2, "c": 3}
    with pytest.raises(ValueError, match="boom"):
        td.update(other)
    assert d == {"a": 1}


class Mutator:
    """A key whose hash number `at` (from 1) runs `action` once."""

    def __init__(self, name, action, at=1):
        self.name, self.action, self.at = name, action, at

    def __hash__(self):
        self.at -= 1
        if self.at == 0:
            self.action()
        return hash(self.name)

    def __eq__(self, other):
        return isinstance(other, Mutator) and other.name == self.name

    def __str__(self):
        return self.name


def test_update_size_change_is_the_internal_error(capfd):
    other = {}
    other[Mutator("k", lambda: other.__setitem__("extra", 1), at=2)] = 1
    other["z"] = 2
    d = {}
    exc = catch_base(lambda: TrackedDict(d, Transaction(), "p").update(other))
    assert not isinstance(exc, Exception)
    assert str(exc) == "dictionary changed size during iteration"
    assert [str(k) for k in d] == ["k"]  # the first write stayed
    assert "dictionary changed size during iteration" in capfd.readouterr().err


def test_update_keys_changed_is_the_internal_error(capfd):
    other = {}

    def swap():
        # Same size, but one more entry ahead of the visit.
        del other[first]
        other["c"] = 3

    first = Mutator("a", swap, at=2)
    other[first] = 1
    other["b"] = 2
    d = {}
    exc = catch_base(lambda: TrackedDict(d, Transaction(), "p").update(other))
    assert not isinstance(exc, Exception)
    assert str(exc) == "dictionary keys changed during iteration"
    assert [str(k) for k in d] == ["a", "b"]
    assert "dictionary keys changed during iteration" in capfd.readouterr().err


def test_update_with_itself():
    d = {"a": 1, "b": 2}
    td = TrackedDict(d, Transaction(), "p")
    td.update(d)
    assert d == {"a": 1, "b": 2}


# -- get, views, iteration, str ------------------------------------------------


def test_get():
    d = {"a": 1, "n": {"x": 1}, "none": None}
    tx = Transaction()
    td = TrackedDict(d, tx, "p")
    assert td.get("a") == 1
    assert td.get("missing") is None
    sentinel = object()
    assert td.get("missing", sentinel) is sentinel
    assert td.get("missing", default=3) == 3
    assert td.get("none", 5) is None
    inner = d["n"]
    view = td.get("n")
    assert type(view) is TrackedDict and path_of(view) == "p.n"
    assert d["n"] is not inner and data_of(view) is d["n"]
    raw = {"x": 1}
    assert td.get("missing", raw) is raw  # the default is never wrapped


def test_keys_items_values_are_new_raw_lists():
    inner = {"x": 1}
    d = {"a": 1, "b": inner}
    td = TrackedDict(d, Transaction(), "p")
    for result in (td.keys(), td.items(), td.values()):
        assert type(result) is list
    assert td.keys() == ["a", "b"]
    assert td.items() == [("a", 1), ("b", inner)]
    assert td.values()[1] is inner
    assert td.keys() is not td.keys()
    td.values()[1]["y"] = 2  # raw: bypasses the log and reaches the object
    assert d["b"] is inner and inner == {"x": 1, "y": 2}


def test_len_iter_contains_str():
    d = {"a": 1, 2: [3]}
    td = TrackedDict(d, Transaction(), "p")
    assert len(td) == 2
    it = iter(td)
    assert type(it) is type(iter({}))
    assert list(it) == ["a", 2]
    assert "a" in td and 2 in td and "zz" not in td
    assert str(td) == str(d)
    assert str(TrackedDict({}, Transaction(), "p")) == "{}"


class LenStr(dict):
    def __len__(self):
        return 42

    def __str__(self):
        return "custom"


def test_len_and_str_are_those_of_data():
    td = TrackedDict(LenStr(a=1), Transaction(), "p")
    assert len(td) == 1  # the real size; a lying __len__ is not believed
    assert str(td) == "custom"


# -- copy protocol -------------------------------------------------------------


def test_getstate_and_getnewargs():
    d, tx = {}, Transaction()
    td = TrackedDict(d, tx, "p")
    state = td.__getstate__()
    assert type(state) is tuple and len(state) == 3
    assert state[0] is d and state[1] is tx and state[2] == "p"
    args = td.__getnewargs__()
    assert args == state and args[0] is d and args[1] is tx


def test_copy_is_a_new_wrapper_over_the_same_fields():
    d, tx = {"a": 1}, Transaction()
    td = TrackedDict(d, tx, "p")
    c = copy.copy(td)
    assert type(c) is TrackedDict and c is not td
    state = c.__getstate__()
    assert state[0] is d and state[1] is tx and state[2] == "p"


def test_setstate_replaces_the_fields():
    td = TrackedDict({}, Transaction(), "p")
    d2, tx2 = {"z": 1}, Transaction()
    assert td.__setstate__((d2, tx2, "q", "extra ignored")) is None
    state = td.__getstate__()
    assert state[0] is d2 and state[1] is tx2 and state[2] == "q"
    assert td["z"] == 1


class TupleSub(tuple):
    pass


def test_setstate_accepts_a_tuple_subclass():
    td = TrackedDict({}, Transaction(), "p")
    d2, tx2 = {}, Transaction()
    td.__setstate__(TupleSub((d2, tx2, "q")))
    assert td.__getstate__()[0] is d2


@pytest.mark.parametrize(
    "make_state,error,message,replaced",
    [
        (lambda d, tx: [d, tx, "q"], TypeError, "'list' object cannot be converted to 'PyTuple'", 0),
        (lambda d, tx: (), IndexError, "tuple index out of range", 0),
        (lambda d, tx: ([], tx, "q"), TypeError, "'list' object cannot be converted to 'PyDict'", 0),
        (lambda d, tx: (d,), IndexError, "tuple index out of range", 1),
        (lambda d, tx: (d, None, "q"), TypeError, "'NoneType' object cannot be converted to 'Transaction'", 1),
        (lambda d, tx: (d, tx), IndexError, "tuple index out of range", 2),
        (lambda d, tx: (d, tx, 5), TypeError, "'int' object cannot be converted to 'PyString'", 2),
    ],
)
def test_setstate_partial_failures(make_state, error, message, replaced):
    d0, tx0 = {"old": 1}, Transaction()
    td = TrackedDict(d0, tx0, "p")
    d1, tx1 = {"new": 1}, Transaction()
    with pytest.raises(error) as info:
        td.__setstate__(make_state(d1, tx1))
    assert str(info.value) == message
    state = td.__getstate__()
    assert state[0] is (d1 if replaced >= 1 else d0)
    assert state[1] is (tx1 if replaced >= 2 else tx0)
    assert state[2] == "p"


# -- re-entrancy ---------------------------------------------------------------


class Hook:
    """A key that runs `action` from its __eq__ (after a hash collision)."""

    def __init__(self, action):
        self.action = action

    def __hash__(self):
        return 1

    def __eq__(self, other):
        action, self.action = self.action, None
        if action:
            action()
        return self is other


def test_setstate_inside_a_shared_call_is_already_borrowed():
    tx = Transaction()
    td = TrackedDict({1: "one"}, tx, "p")
    key = Hook(lambda: td.__setstate__(({}, tx, "q")))
    with pytest.raises(RuntimeError) as info:
        td[key]
    assert str(info.value) == "Already borrowed"
    assert td.__getstate__()[2] == "p"


def test_shared_call_inside_setstate_is_already_mutably_borrowed():
    tx = Transaction()
    seen = []

    class Finaliser:
        def __del__(self):
            try:
                len(td)
            except RuntimeError as exc:
                seen.append(str(exc))

    td = TrackedDict({"f": Finaliser()}, tx, "p")
    td.__setstate__(({}, tx, "q"))  # releasing the old data runs __del__
    assert seen == ["Already mutably borrowed"]
    assert len(td) == 0


def test_reentrant_write_from_a_key_hash_is_consistent():
    d = {}
    td = TrackedDict(d, Transaction(), "p")
    key = Mutator("k", lambda: td.__setitem__("inner", 1))
    td[key] = 2
    assert d == {"inner": 1, key: 2}


def test_reentrant_delete_from_a_key_eq_is_consistent():
    d = {1: "one", "x": 1}
    td = TrackedDict(d, Transaction(), "p")
    key = Hook(lambda: td.__delitem__("x"))
    with pytest.raises(KeyError):
        td[key]
    assert d == {1: "one"}


class CopyHooked(dict):
    """Named "dict", so it is shadowed; its copy hook runs `hook`."""

    hook = None

    def __copy__(self):
        hook = CopyHooked.hook
        CopyHooked.hook = None
        if hook:
            hook()
        return dict(self)


CopyHooked.__name__ = "dict"


def test_tracked_write_inside_a_nested_read_is_the_internal_error(capfd):
    tx = Transaction()
    d = {"n": CopyHooked(a=1)}
    td = TrackedDict(d, tx, "p")
    caught = []

    def write():
        try:
            td["w"] = 1
        except BaseException as exc:  # noqa: BLE001
            caught.append(exc)
            raise

    CopyHooked.hook = write
    exc = catch_base(lambda: td["n"])
    assert caught and exc is caught[0]
    cls = type(exc)
    assert issubclass(cls, BaseException) and not issubclass(cls, Exception)
    assert str(exc).startswith("Already borrowed")
    assert d["w"] == 1  # the store stays; nothing was logged
    assert type(d["n"]) is CopyHooked  # the read failed before storing a shadow
    assert "Already borrowed" in capfd.readouterr().err
    # The transaction was released: the wrapper keeps working.
    td["w"] = 2
    assert type(td["n"]) is TrackedDict


def test_transaction_method_inside_a_nested_read_is_already_borrowed():
    tx = Transaction()
    td = TrackedDict({"n": CopyHooked()}, tx, "p")
    caught = []

    def commit():
        try:
            tx.commit()
        except RuntimeError as exc:
            caught.append(str(exc))

    CopyHooked.hook = commit
    assert type(td["n"]) is TrackedDict
    assert caught == ["Already borrowed"]


def test_tracked_write_from_key_str_during_nested_read(monkeypatch, capfd):
    # str(key) is taken while the transaction is held (reading step 6).
    tx = Transaction()
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_type))

    class Key:
        def __hash__(self):
            return 3

        def __eq__(self, other):
            return self is other

        def __str__(self):
            td["from_str"] = 1
            return "k"

    key = Key()
    td = TrackedDict({key: {}}, tx, "p")
    view = td[key]
    assert path_of(view) == "p[<unprintable Key object>]"
    assert len(seen) == 1 and not issubclass(seen[0], Exception)
    capfd.readouterr()


# -- GC and leaks --------------------------------------------------------------


def test_cycles_are_collected():
    marker = Marker()
    ref = weakref.ref(marker)
    d = {"m": marker}
    tx = Transaction()
    td = TrackedDict(d, tx, "p")
    d["self"] = td
    marker.back = td
    del d, td, marker, tx
    gc.collect()
    assert ref() is None


def test_cycle_through_a_nested_wrapper_and_the_transaction_is_collected():
    marker = Marker()
    ref = weakref.ref(marker)
    tx = Transaction()
    d = {"n": {"m": marker}}
    view = TrackedDict(d, tx, "p")["n"]
    view["view"] = view
    marker.tx = tx
    del d, view, marker, tx
    gc.collect()
    assert ref() is None


def test_no_leak_over_many_rounds():
    def round_():
        tx = Transaction()
        d = {"a": 1, "n": {"x": [1, {"y": 2}]}}
        td = TrackedDict(tx.get_shadow(d), tx, "p")
        td["a"] = 2
        td["n"]["x"][1]["y"] = 3
        td.update({"b": 1, "c": {}, (1, 2): 3, 10**30: 4})
        del td["b"]
        del td[(1, 2)]
        td.get("n")
        td.keys(), td.items(), td.values(), str(td), list(td)
        copy.copy(td)
        try:
            td["missing"]
        except KeyError:
            pass
        try:
            td[[1]] = 1
        except TypeError:
            pass
        try:
            td.__setstate__((d, None))
        except TypeError:
            pass
        tx.commit()
        tx.rollback()

    assert block_growth(round_, warmup=50, rounds=2000) < 100
