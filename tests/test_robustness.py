"""Robustness of the module surface, transactions and containers: deep
release chains, immutable classes, imports that go through the import
machinery."""

import builtins
import os
import subprocess
import sys
import textwrap

import pytest

import kestu_core
from kestu_core import (
    ContextGuard,
    ContextZone,
    FrozenDict,
    FrozenList,
    StateMachine,
    TrackedDict,
    TrackedList,
    Transaction,
)

ALL_CLASSES = [Transaction, ContextGuard, ContextZone, TrackedList, TrackedDict, FrozenList, FrozenDict, StateMachine]


def run_python(code, timeout=120):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout)


# -- releasing long chains of transactions must not crash -----------------------

CHAIN_BUILDERS = {
    # each transaction's log holds the previous transaction as a logged value
    "logged_value": """
        prev = None
        for i in range(N):
            tx = Transaction()
            if prev is not None:
                tx.log("a", "SET", prev)
            prev = tx
        del tx
        head = prev
        del prev
    """,
    # each transaction's shadow cache holds the previous one (heavy path: no copy)
    "shadow_cache": """
        prev = None
        for i in range(N):
            tx = Transaction()
            if prev is not None:
                tx.get_shadow(prev, "ctx.heavy_prev")
            prev = tx
        del tx
        head = prev
        del prev
    """,
    # a context field reassigned run after run: every attribute write logs the
    # replaced tracked list, whose own transaction logged the one before it
    "replaced_tracked_wrappers": """
        class Ctx:
            pass
        head = Ctx()
        head.items = []
        for i in range(N):
            tx = Transaction()
            new = TrackedList([i], tx, "items")
            tx.log("items", "SET", None, head.items, head, "items")
            head.items = new
            tx.commit()
        del tx, new
    """,
    # guards each over the one before, sharing one transaction
    "guards_over_guards": """
        shared = Transaction()
        head = None
        for i in range(N):
            head = ContextGuard(head, [], [], shared)
        del shared
    """,
    # views each over a dict holding the one before
    "views_over_views": """
        head = None
        for i in range(N):
            head = FrozenDict({"v": head})
    """,
}


@pytest.mark.parametrize("shape", sorted(CHAIN_BUILDERS))
def test_releasing_a_long_chain_of_transactions_does_not_crash(shape):
    code = (
        "import os, sys\n"
        "from kestu_core import ContextGuard, FrozenDict, Transaction, TrackedList\n"
        "os.dup2(os.open(os.devnull, os.O_WRONLY), 2)\n"
        "N = 1_000_000\n"
        + textwrap.dedent(CHAIN_BUILDERS[shape])
        + "print('built', flush=True)\n"
        "del head\n"
        "import gc; gc.collect()\n"
        "print('released', flush=True)\n"
    )
    res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert res.stdout.split() == ["built", "released"], (res.returncode, res.stdout)
    assert res.returncode == 0


# -- the classes are immutable types ----------------------------------------------


@pytest.mark.parametrize("cls", ALL_CLASSES, ids=lambda c: c.__name__)
def test_a_new_attribute_cannot_be_set_on_a_class(cls):
    try:
        with pytest.raises(TypeError):
            cls.probe_attribute = 1
    finally:
        if "probe_attribute" in cls.__dict__:
            delattr(cls, "probe_attribute")


@pytest.mark.parametrize(
    "cls,name",
    [(Transaction, "commit"), (Transaction, "rollback"), (TrackedDict, "update"), (TrackedList, "pop"),
     (FrozenDict, "get"), (FrozenList, "append")],
)
def test_a_method_of_a_class_cannot_be_replaced_or_deleted(cls, name):
    original = cls.__dict__[name]
    try:
        with pytest.raises(TypeError):
            setattr(cls, name, lambda *a: "hijacked")
        with pytest.raises(TypeError):
            delattr(cls, name)
    finally:
        if cls.__dict__.get(name) is not original:
            setattr(cls, name, original)
    assert cls.__dict__[name] is original


@pytest.mark.parametrize("member", ["Data", "Signal", "Meta", "Heavy"])
def test_a_zone_member_cannot_be_rebound(member):
    original = ContextZone.__dict__[member]
    try:
        with pytest.raises(TypeError):
            setattr(ContextZone, member, 99)
    finally:
        if ContextZone.__dict__.get(member) is not original:
            setattr(ContextZone, member, original)
    assert getattr(ContextZone, member) is original


def test_a_class_cannot_be_renamed_to_change_how_it_is_dispatched():
    try:
        with pytest.raises(TypeError):
            TrackedDict.__name__ = "dict"
    finally:
        if TrackedDict.__name__ != "TrackedDict":
            TrackedDict.__name__ = "TrackedDict"


# -- shadow copies: the copy module is imported ----------------------------------


class Plain:
    def __init__(self, a):
        self.a = a


def _block_copy_in_sys_modules(monkeypatch):
    monkeypatch.setitem(sys.modules, "copy", None)


def _block_copy_in_import_hook(monkeypatch):
    real_import = builtins.__import__

    def hooked(name, *args, **kwargs):
        if name == "copy":
            raise ImportError("copy is blocked")
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", hooked)


@pytest.mark.parametrize("block", [_block_copy_in_sys_modules, _block_copy_in_import_hook],
                         ids=["none_in_sys_modules", "import_hook_refuses"])
def test_a_failing_import_of_copy_raises_and_caches_nothing(block, capfd):
    tx = Transaction()
    original = Plain(1)
    with pytest.MonkeyPatch.context() as mp:
        block(mp)
        with pytest.raises(ImportError):
            tx.get_shadow(original, "ctx.value")
    # no copy warning was printed, and the object was not cached by reference
    assert capfd.readouterr().err == ""
    shadow = tx.get_shadow(original, "ctx.value")
    assert shadow is not original
    assert shadow.a == 1


# -- commit of a list shadow goes through builtins.slice --------------------------


def test_commit_of_a_list_builds_the_full_slice_with_builtins_slice():
    tx = Transaction()
    original = [1, 2]
    shadow = tx.get_shadow(original)
    shadow.append(3)
    calls = []
    real_slice = builtins.slice

    def recording_slice(*args):
        calls.append(args)
        return real_slice(*args)

    builtins.slice = recording_slice
    try:
        tx.commit()
    finally:
        builtins.slice = real_slice
    assert original == [1, 2, 3]
    assert calls and all(c == (None,) for c in calls)


def test_commit_of_a_list_stops_when_builtins_slice_fails():
    tx = Transaction()
    original = [1]
    tx.get_shadow(original).append(2)
    real_slice = builtins.slice

    def broken_slice(*args):
        raise LookupError("no slice today")

    raised = None
    builtins.slice = broken_slice
    try:
        tx.commit()
    except LookupError as e:
        raised = e
    finally:
        builtins.slice = real_slice
    assert raised is not None and str(raised) == "no slice today"
    assert original == [1]


# -- releasing long chains of engines must not crash ----------------------------


@pytest.mark.parametrize("depth", [200_000])
def test_releasing_deep_chain_of_engines_whose_context_is_another_engine_does_not_crash(depth):
    # Every engine owns its context; dropping the head of the chain releases
    # the whole chain. Other containers of the module unwind such chains
    # without recursion depth limits; the engine must as well.
    result = run_python(f"""
        import kestu_core
        e = None
        for _ in range({depth}):
            e = kestu_core.Engine(e)
        del e
        print("released")
    """)
    assert result.returncode == 0, (result.returncode, result.stderr[-2000:])
    assert result.stdout.strip() == "released"


@pytest.mark.parametrize("with_policy", [False, True])
def test_releasing_deep_chain_of_strict_engines_with_audit_policy_does_not_crash(with_policy):
    result = run_python(f"""
        import types
        import kestu_core
        recipe = types.SimpleNamespace(definitions={{}}) if {with_policy} else None
        e = None
        for _ in range(300_000):
            e = kestu_core.Engine(e, True, recipe)
        del e
        print("released")
    """)
    assert result.returncode == 0, (result.returncode, result.stderr[-2000:])
    assert result.stdout.strip() == "released"


# -- a view's length is what it lets you index -----------------------------------


class LyingList(list):
    def __len__(self):
        return 1000


class LyingDict(dict):
    def __len__(self):
        return 0


@pytest.mark.parametrize(
    "make,data",
    [
        (lambda data: TrackedList(data, Transaction(), "p"), LyingList([10, 20, 30])),
        (FrozenList, LyingList([10, 20, 30])),
        (lambda data: TrackedDict(data, Transaction(), "p"), LyingDict(a=10, b=20, c=30)),
        (FrozenDict, LyingDict(a=10, b=20, c=30)),
    ],
    ids=["TrackedList", "FrozenList", "TrackedDict", "FrozenDict"],
)
def test_length_agrees_with_indexing_when_a_subclass_lies(make, data):
    view = make(data)
    assert len(view) == 3 == len(list(iter(view)))
    if isinstance(data, list):
        assert view[len(view) - 1] == 30
        with pytest.raises(IndexError):
            view[len(view)]
    else:
        assert len(view) == len(view.keys())


@pytest.mark.parametrize("use", ["g = kc.ContextGuard(Target(), [], ['value'], None); arm(); g.value = 1",
                                 "ctx = Target(); e = kc.Engine(ctx); arm(); e.evaluate_condition('True')"],
                         ids=["guard-write", "condition"])
def test_a_class_dict_key_that_replaces_bases_during_a_lookup(use):
    # The key's __eq__ frees the MRO the lookup walks; the debug allocator
    # makes a read of freed memory crash instead of pass by luck.
    code = f"""
        import kestu_core as kc
        class Evil:
            armed = False
            def __init__(self, name): self.name = name
            def __hash__(self): return hash(self.name)
            def __eq__(self, other):
                if Evil.armed:
                    Evil.armed = False
                    Target.__bases__ = (Other,)
                return False
        chain = [type("Base", (), {{Evil("value"): 1, Evil("domain_ctx"): 2}})]
        for i in range(30):
            chain.append(type(f"C{{i}}", (chain[-1],), {{}}))
        class Other:
            pass
        class Target(chain[-1]):
            pass
        def arm():
            Evil.armed = True
        {use}
        print(Target.__bases__ == (Other,))
    """
    # 3.13 warns about the non-str class-dict key; that is not what is tested.
    done = subprocess.run([sys.executable, "-W", "ignore::RuntimeWarning", "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=60,
                          env={**os.environ, "PYTHONMALLOC": os.environ.get("PYTHONMALLOC", "debug")})
    assert (done.returncode, done.stdout, done.stderr) == (0, "True\n", "")
