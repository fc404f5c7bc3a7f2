"""The container views and collections.abc: a view satisfies an ABC only when it
implements its whole protocol, answering as the wrapped list or dict would."""

import collections.abc as abc

import pytest

from kestu_core import FrozenDict, FrozenList, TrackedDict, TrackedList, Transaction

ABCS = [abc.Container, abc.Sized, abc.Iterable, abc.Collection, abc.Reversible, abc.Sequence,
        abc.MutableSequence, abc.Mapping, abc.MutableMapping]


def new_list():
    return [1, "x", [2, 3], {"a": 1}, 1]


def new_dict():
    return {"a": 1, "b": [2], "c": {"d": 3}, 4: "four"}


VIEWS = {
    "TrackedList": (lambda data: TrackedList(data, Transaction(), "items"), new_list),
    "FrozenList": (FrozenList, new_list),
    "TrackedDict": (lambda data: TrackedDict(data, Transaction(), "notes"), new_dict),
    "FrozenDict": (FrozenDict, new_dict),
}
PROBES = [(1,), ("x",), ("a",), (4,), ([2, 3],), ({"a": 1},), (None,)]
# Arguments for the methods the ABCs promise (none for the rest); "data" is a fresh copy of it.
CALLS = {"__contains__": PROBES, "index": PROBES, "count": PROBES, "__getitem__": [(0,), (-1,), ("a",)],
         "get": [("a",), ("zz", 0)], "__eq__": "data", "__ne__": "data"}


def outcome(fn, *args):
    """The result, with views and iterators turned into lists and dicts, or the exception's type."""
    try:
        result = fn(*args)
    except Exception as exc:
        return type(exc)
    if isinstance(result, (TrackedDict, FrozenDict)):
        return dict(result.items())
    return list(result) if isinstance(result, (TrackedList, FrozenList, abc.Iterator)) else result


def promised(cls):
    return {name for k in cls.__mro__ if k.__module__ == "collections.abc" for name, value in vars(k).items()
            if callable(value) and name not in ("__subclasshook__", "__class_getitem__")}


@pytest.mark.parametrize("kind", VIEWS)
def test_a_view_satisfies_exactly_the_abcs_whose_protocol_it_implements(kind):
    make, new_data = VIEWS[kind]
    view, data = make(new_data()), new_data()
    satisfied = [cls for cls in ABCS if isinstance(view, cls)]
    assert satisfied == [abc.Container, abc.Sized, abc.Iterable, abc.Collection]
    for name in set().union(*map(promised, satisfied)):
        calls = [(new_data(),)] if CALLS.get(name) == "data" else CALLS.get(name, [()])
        for args in calls:
            assert outcome(getattr(view, name), *args) == outcome(getattr(data, name), *args), (name, args)


# What code written against Sequence or Mapping may do, where a view answers otherwise.
SHORTFALLS = [
    ("TrackedList", lambda c: list(reversed(c))), ("FrozenList", lambda c: c.index("x")),
    ("TrackedList", lambda c: c.count(1)), ("FrozenList", lambda c: c[0:2]),
    ("TrackedList", lambda c: c == new_list()), ("FrozenDict", lambda c: c.keys() & {"a"}),
    ("TrackedDict", lambda c: c.items() == new_dict().items()), ("FrozenDict", lambda c: c == new_dict()),
]


@pytest.mark.parametrize("kind, use", SHORTFALLS)
def test_what_keeps_a_view_from_sequence_or_mapping(kind, use):
    make, new_data = VIEWS[kind]
    assert outcome(use, make(new_data())) != outcome(use, new_data())
