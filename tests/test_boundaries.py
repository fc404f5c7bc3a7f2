"""Every growth boundary of the core's own storage, crossed and checked: the
log's chunks (8, 16, ... 1024 entries, then a kept 4 MiB of full chunks), the
freelists of guards, wrappers and transactions, the shadow table, the inline
path buffer and argument stack, the condition cache. Run under ASan by
`make asan`, where a slip past a boundary is a reported error, not luck."""

import pytest

from kestu import process
from kestu_core import ContextGuard, Engine, Transaction

# Entry counts around each chunk boundary (8, 24, 56, ... 1016, 2040) and far
# beyond the 4 MiB of kept chunks (85 of 1024 entries).
LOG_SIZES = [1, 8, 9, 24, 25, 56, 57, 1000, 1016, 1017, 2040, 2041, 100_000]


class Obj:
    pass


@pytest.mark.parametrize("size", LOG_SIZES)
def test_a_log_of_any_length_undoes_every_entry(size):
    targets = [Obj() for _ in range(size)]
    tx = Transaction()
    for i, target in enumerate(targets):
        target.a = -1
        tx.log("a", "SET", -1, i, target, "a")
    tx.rollback()
    assert [t.a for t in targets] == list(range(size))


@pytest.mark.parametrize("size", [25, 1017])
@pytest.mark.parametrize("how", ["attribute", "item", "append"])
def test_guard_and_container_writes_fill_a_log_past_its_chunks(size, how):
    class Indexed(Obj):
        def __setitem__(self, key, value):
            self.n = value

    @process(outputs=["n", "items", "[0]"])
    def writes(g):
        for i in range(size):
            if how == "attribute":
                g.n = i
            elif how == "item":
                g[0] = i
            else:
                g.items.append(i)
        raise KeyError("undo")

    ctx = Indexed()
    ctx.items, ctx.n = [], 0
    engine = Engine(ctx, strict_mode=True)
    engine.register_process("fill_log", writes)
    with pytest.raises(Exception, match="undo"):
        engine.execute_process("fill_log")
    # Attribute writes are undone; the item writes and appends went to the
    # object and to a shadow, so they stay and vanish respectively.
    assert (ctx.n, ctx.items) == ((size - 1, []) if how == "item" else (0, []))


def test_logs_reuse_kept_chunks_without_mixing_entries():
    first, second = Obj(), Obj()
    for target in (first, second):  # the second log runs on the chunks the first freed
        tx = Transaction()
        for i in range(120_000):
            tx.log("a", "SET", i + 1, i, target, "a")
        target.a = "end"
        tx.rollback()
        assert target.a == 0


def test_freelists_hand_out_working_objects_past_their_size():
    ctx = Obj()
    ctx.inner = Obj()
    ctx.inner.v = 1
    ctx.items = [[0]] * 40
    ctx.data = {"k": {"x": 1}}
    kept = []
    for _ in range(3):  # fill, empty and refill the freelists
        tx = Transaction()
        g = ContextGuard(ctx, [], ["inner", "items", "data"], tx)
        kept += [g.inner for _ in range(40)] + [g.items[i] for i in range(40)] + [Transaction() for _ in range(20)]
        assert all(nested.v == 1 for nested in kept[:40]) and g.data["k"]["x"] == 1
        kept[0].v = 2
        tx.commit()
        assert ctx.inner.v == 2
        ctx.inner.v = 1
        del kept[:]


@pytest.mark.parametrize("count", [3, 4, 5, 8, 9, 64, 65])
def test_shadow_table_finds_every_pair_after_each_growth(count):
    tx = Transaction()
    originals = [[i] for i in range(count)]
    shadows = [tx.get_shadow(o) for o in originals]
    assert all(tx.get_shadow(o) is s and tx.get_shadow(s) is s for o, s in zip(originals, shadows))


@pytest.mark.parametrize("length", [158, 159, 160, 161, 400])
def test_paths_either_side_of_the_inline_buffer(length):
    name = "n" * (length - len("outer."))  # the full path is `length` bytes
    outer = Obj()
    setattr(outer, name, 1)
    ctx = Obj()
    ctx.outer = outer
    g = ContextGuard(ctx, [f"outer.{name}"], [], Transaction())
    assert getattr(g.outer, name) == 1
    with pytest.raises(PermissionError) as refused:
        setattr(g.outer, name, 2)
    assert str(refused.value) == f"Illegal Write: 'outer.{name}'"


@pytest.mark.parametrize("count", [0, 6, 7, 20])
def test_keyword_arguments_either_side_of_the_inline_stack(count):
    seen = []

    @process()
    def echo(ctx, **kwargs):
        seen.append(kwargs)
        return kwargs

    engine = Engine(Obj())
    engine.register_process("echo_kwargs", echo)
    kwargs = {f"k{i}": i for i in range(count)}
    assert engine.execute_process("echo_kwargs", **kwargs) == kwargs
    engine.execute_workflow(["echo_kwargs"], **kwargs)
    assert seen == [kwargs, kwargs]


def test_condition_cache_answers_rightly_past_its_bound():
    ctx = Obj()
    ctx.n = 3
    engine = Engine(ctx)
    conditions = [f"ctx.n == {i}" for i in range(600)]
    for _ in range(2):
        assert [engine.evaluate_condition(c) for c in conditions] == [i == 3 for i in range(600)]
