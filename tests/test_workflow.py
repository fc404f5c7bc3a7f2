"""Workflows: step shapes, "if"/"while"/"run", traversal, the loop limit, conditions."""

import sys
import types
import uuid

import pytest

from helpers import block_growth
from kestu.audit import AuditBlockError, AuditInterlockError, AuditRecipe, AuditRule, ProcessAudit
from kestu.contracts import ContractViolationError, process
from kestu_core import Engine


class Ctx:
    def __init__(self, **fields):
        self.__dict__.update(fields)


def unique(prefix="p"):
    return f"{prefix}_{uuid.uuid4().hex[:12]}"


class Recorder:
    """Registers named processes that append their name (and kwargs) to `log`."""

    def __init__(self, engine):
        self.engine = engine
        self.log = []
        self.kwargs = []

    def make(self, label, action=None):
        name = unique(label)

        @process()
        def step(guard, **kwargs):
            self.log.append(label)
            self.kwargs.append(kwargs)
            if action is not None:
                action()

        self.engine.register_process(name, step)
        return name


@pytest.fixture
def setup():
    ctx = Ctx(count=0)
    engine = Engine(ctx)
    return ctx, engine, Recorder(engine)


# -- shapes ---------------------------------------------------------------------------


def test_workflow_runs_steps_in_order_and_returns_ctx(setup):
    ctx, engine, rec = setup
    a, b = rec.make("a"), rec.make("b")
    assert engine.execute_workflow([a, {"process": b, "flux": "while", "condition": "True"}, a]) is ctx
    assert rec.log == ["a", "b", "a"]


def test_list_subclass_and_dict_subclass_steps(setup):
    _, engine, rec = setup

    class Steps(list):
        pass

    class Step(dict):
        def __missing__(self, key):
            raise AssertionError("plain item lookup only")

    a = rec.make("a")
    engine.execute_workflow(Steps([Step(process=a), Step(flux="run", steps=Steps([a]))]))
    assert rec.log == ["a", "a"]


@pytest.mark.parametrize("step", [42, None, {}, {"flux": "WHILE", "condition": "True"}, {"flux": "loop"}, {"then": ["x"]}, (1,)])
def test_malformed_steps_are_skipped(setup, step):
    _, engine, rec = setup
    a = rec.make("a")
    engine.execute_workflow([step, a])
    assert engine.execute_flux_step(step) is None
    assert rec.log == ["a"]


@pytest.mark.parametrize(
    "steps,message",
    [
        (("a",), "'tuple' object cannot be converted to 'PyList'"),
        ({"flux": "run"}, "'dict' object cannot be converted to 'PyList'"),
        ([{"process": 5}], "'int' object cannot be converted to 'PyString'"),
        ([{"flux": None}], "'NoneType' object cannot be converted to 'PyString'"),
        ([{"flux": "if", "condition": True}], "'bool' object cannot be converted to 'PyString'"),
        ([{"flux": "while", "condition": b"True"}], "'bytes' object cannot be converted to 'PyString'"),
        ([{"flux": "if", "condition": "True", "then": ("a",)}], "'tuple' object cannot be converted to 'PyList'"),
        ([{"flux": "if", "else": "a"}], "'str' object cannot be converted to 'PyList'"),
        ([{"flux": "while", "condition": "True", "do": {"a": 1}}], "'dict' object cannot be converted to 'PyList'"),
        ([{"flux": "run", "steps": None}], "'NoneType' object cannot be converted to 'PyList'"),
    ],
)
def test_shape_errors(setup, steps, message):
    _, engine, _ = setup
    with pytest.raises(TypeError) as info:
        engine.execute_workflow(steps)
    assert str(info.value) == message


def test_unknown_process_step_stops_the_workflow(setup):
    _, engine, rec = setup
    a = rec.make("a")
    with pytest.raises(KeyError):
        engine.execute_workflow([a, "missing " + a, a])
    assert rec.log == ["a"]


# -- flux kinds ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "condition,expected",
    [(None, ["else"]), ("False", ["else"]), ("True", ["then"]), ("ctx.count == 0", ["then"])],
)
def test_if_picks_a_branch(setup, condition, expected):
    _, engine, rec = setup
    step = {"flux": "if", "then": [rec.make("then")], "else": [rec.make("else")]}
    if condition is not None:
        step["condition"] = condition
    engine.execute_flux_step(step)
    assert rec.log == expected


def test_if_without_branches_does_nothing(setup):
    _, engine, rec = setup
    engine.execute_workflow([{"flux": "if", "condition": "True"}, {"flux": "if"}])
    assert rec.log == []


def test_while_runs_until_false(setup):
    ctx, engine, rec = setup

    def bump():
        ctx.count += 1

    engine.execute_flux_step({"flux": "while", "condition": "ctx.count < 5", "do": [rec.make("inc", bump)]})
    assert ctx.count == 5 and len(rec.log) == 5


@pytest.mark.parametrize("body", [None, [], "process"])
def test_while_loop_limit(setup, body):
    _, engine, rec = setup
    step = {"flux": "while", "condition": "True"}
    if body == "process":
        step["do"] = [rec.make("a")]
    elif body is not None:
        step["do"] = body
    with pytest.raises(RuntimeError) as info:
        engine.execute_flux_step(step)
    assert str(info.value) == "Flux Loop Safety Trip"
    assert len(rec.log) == (10000 if body == "process" else 0)


def test_loop_limit_is_counted_per_while_execution(setup):
    ctx, engine, rec = setup
    evaluations = []
    ctx.left = 0

    def reset():
        ctx.left = 10000

    def tick():
        ctx.left -= 1
        evaluations.append(1)

    loop = {"flux": "while", "condition": "ctx.left > 0", "do": [rec.make("tick", tick)]}
    engine.execute_workflow([rec.make("reset", reset), loop, rec.make("reset", reset), loop])
    assert len(evaluations) == 20000


def test_while_body_is_looked_up_on_each_iteration(setup):
    ctx, engine, rec = setup
    second = rec.make("second")
    step = {"flux": "while", "condition": "ctx.count < 3"}

    def swap_body():
        ctx.count += 1
        step["do"] = [second, bump]

    def bump_count():
        ctx.count += 1

    bump = rec.make("bump", bump_count)
    step["do"] = [rec.make("first", swap_body)]
    engine.execute_flux_step(step)
    assert rec.log == ["first", "second", "bump", "second", "bump"]
    assert ctx.count == 3


def test_run_runs_its_steps(setup):
    _, engine, rec = setup
    a, b = rec.make("a"), rec.make("b")
    engine.execute_flux_step({"flux": "run", "steps": [a, {"flux": "run", "steps": [b]}, a]})
    engine.execute_flux_step({"flux": "run"})
    assert rec.log == ["a", "b", "a"]


def test_kwargs_reach_processes_at_every_depth(setup):
    _, engine, rec = setup
    a = rec.make("a")
    nested = [a, {"flux": "run", "steps": [{"flux": "if", "condition": "True", "then": [{"process": a}]}]}]
    engine.execute_workflow(nested, order_id=7, process="kw")
    engine.execute_flux_step(a, attempt=2)
    assert rec.kwargs == [{"order_id": 7, "process": "kw"}] * 2 + [{"attempt": 2}]


@pytest.mark.parametrize("call", [lambda e: e.execute_workflow([], steps=[]), lambda e: e.execute_flux_step("a", step="b")])
def test_kwarg_named_like_the_parameter_is_an_arity_error(setup, call):
    _, engine, rec = setup
    with pytest.raises(TypeError, match="multiple values for argument"):
        call(engine)
    assert rec.log == []


# -- list traversal -------------------------------------------------------------------


def test_items_appended_during_traversal_are_not_visited(setup):
    _, engine, rec = setup
    steps = []
    a = rec.make("a", lambda: steps.append(a))
    steps.extend([a, a])
    engine.execute_workflow(steps)
    assert rec.log == ["a", "a"] and len(steps) == 4


def test_list_shortened_during_traversal_ends_early(setup):
    _, engine, rec = setup
    steps = []
    cut = rec.make("cut", lambda: steps.clear())
    steps.extend([cut, rec.make("never")])
    engine.execute_workflow(steps)
    assert rec.log == ["cut"]


def test_replaced_item_is_kept_alive_while_it_runs():
    from kestu.audit import AuditRecipe, AuditRule, ProcessAudit

    name = unique("replaced")
    steps = ["".join([name[:3], name[3:]])]  # a str object owned only by the list

    @process()
    def replace(guard):
        steps[0] = None

    # An output rule makes the engine use the process name after the call.
    recipe = AuditRecipe({name: ProcessAudit(output_rules=(AuditRule("count", "min", 0),))})
    ctx = Ctx(count=1)
    engine = Engine(ctx, audit_recipe=recipe)
    engine.register_process(name, replace)
    assert engine.execute_workflow(steps) is ctx
    assert steps == [None]


# -- failures inside workflows ----------------------------------------------------------


def test_third_step_failure_keeps_the_first_two(setup):
    ctx = Ctx(a=0, b=0, c=0)
    engine = Engine(ctx, strict_mode=True)

    def writer(field, fail=False):
        @process(outputs=[field], errors=["ValueError"])
        def write(guard):
            setattr(guard, field, 1)
            if fail:
                raise ValueError(field)

        name = unique(field)
        engine.register_process(name, write)
        return name

    steps = [writer("a"), writer("b"), writer("c", fail=True), writer("a")]
    with pytest.raises(ValueError) as info:
        engine.execute_workflow(steps)
    assert info.value.args == ("c",)
    assert (ctx.a, ctx.b, ctx.c) == (1, 1, 0)


def test_self_containing_workflow_is_a_recursion_error(setup):
    _, engine, _ = setup
    step = {"flux": "run", "steps": []}
    step["steps"].append(step)
    with pytest.raises(RecursionError):
        engine.execute_flux_step(step)
    assert engine.evaluate_condition("True") is True


def test_deep_nesting_is_bounded(setup):
    _, engine, rec = setup
    a = rec.make("a")
    step = [a]
    for _ in range(100_000):
        step = [{"flux": "run", "steps": step}]
    with pytest.raises(RecursionError):
        engine.execute_workflow(step)
    shallow = [a]
    for _ in range(50):
        shallow = [{"flux": "if", "condition": "True", "then": shallow}]
    engine.execute_workflow(shallow)
    assert rec.log == ["a"]


def test_workflow_process_cannot_reenter_engine():
    holder = {}

    @process(errors=["RuntimeError"])
    def reenter(guard):
        holder["engine"].evaluate_condition("True")

    engine = holder["engine"] = Engine(Ctx())
    name = unique("reenter")
    engine.register_process(name, reenter)
    with pytest.raises(RuntimeError) as info:
        engine.execute_workflow([name])
    assert info.value.args == ("Already mutably borrowed",)


@pytest.mark.parametrize(
    "condition,message",
    [
        ("__engine__.execute_process('x')", "Already borrowed"),
        ("__engine__.execute_workflow([])", "Already borrowed"),
    ],
)
def test_condition_cannot_run_its_engine(condition, message, monkeypatch):
    engine = Engine(Ctx())
    main = sys.modules["__main__"]
    monkeypatch.setattr(main, "__engine__", engine, raising=False)
    with pytest.raises(RuntimeError) as info:
        engine.evaluate_condition(condition)
    assert str(info.value) == message
    with pytest.raises(RuntimeError) as info:
        engine.execute_flux_step({"flux": "if", "condition": condition})
    assert str(info.value) == message
    # Reading conditions nest: shared use is shared.
    assert engine.evaluate_condition("__engine__.evaluate_condition('True')") is True


# -- conditions ------------------------------------------------------------------------


class Domain:
    def __init__(self, **fields):
        self.__dict__.update(fields)


@pytest.mark.parametrize(
    "condition,expected",
    [
        ("ctx.count > 3", True),
        ("ctx.count > 30", False),
        ("domain.x == 1", True),
        ("locals()['global'].y == 2", True),
        ("ctx.global_ctx is locals()['global']", True),
        ("len(ctx.items) > 0", True),
        ("all(i > 0 for i in ctx.items)", True),
        ("not ctx.items", False),
    ],
)
def test_conditions_read_the_raw_context(condition, expected):
    ctx = Ctx(count=5, items=[1, 2], domain_ctx=Domain(x=1), global_ctx=Domain(y=2))
    assert Engine(ctx).evaluate_condition(condition) is expected


@pytest.mark.parametrize(
    "condition,error,message",
    [
        ("1", TypeError, "'int' object cannot be converted to 'PyBool'"),
        ("None", TypeError, "'NoneType' object cannot be converted to 'PyBool'"),
        ("ctx.items", TypeError, "'list' object cannot be converted to 'PyBool'"),
        ("'True'", TypeError, "'str' object cannot be converted to 'PyBool'"),
        ("True\0", ValueError, "Invalid CString: nul byte found in provided data at position: 4"),
        ("'é'\0 == 1", ValueError, "Invalid CString: nul byte found in provided data at position: 4"),
        ("\0", ValueError, "Invalid CString: nul byte found in provided data at position: 0"),
    ],
)
def test_condition_result_and_text_errors(condition, error, message):
    with pytest.raises(error) as info:
        Engine(Ctx(items=[1])).evaluate_condition(condition)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "condition,error",
    [("x = 1", SyntaxError), ("", SyntaxError), ("domain.x == 1", NameError), ("ctx.nothing", AttributeError), ("1 / 0 > 0", ZeroDivisionError)],
)
def test_condition_errors_are_raised_not_false(condition, error):
    engine = Engine(Ctx())
    with pytest.raises(error):
        engine.evaluate_condition(condition)
    with pytest.raises(error):
        engine.execute_flux_step({"flux": "if", "condition": condition, "else": ["never-registered"]})


def test_numpy_bool_results_are_accepted():
    class FakeNumpyBool:
        def __init__(self, value):
            self.value = value

        def __bool__(self):
            return self.value

    FakeNumpyBool.__name__ = "bool_"
    FakeNumpyBool.__module__ = "numpy"
    ctx = Ctx(t=FakeNumpyBool(True), f=FakeNumpyBool(False))
    engine = Engine(ctx)
    assert engine.evaluate_condition("ctx.t") is True
    assert engine.evaluate_condition("ctx.f") is False
    np = pytest.importorskip("numpy")
    ctx.arr = np.array([1, 2, 3])
    assert engine.evaluate_condition("ctx.arr.sum() == 6") is True
    assert engine.evaluate_condition("ctx.arr.sum() == 7") is False


class Probes:
    """A context whose domain/global reads run user code."""

    def __init__(self, error=None):
        self.error = error
        self.reads = []

    @property
    def domain_ctx(self):
        self.reads.append("domain")
        if self.error is not None:
            raise self.error
        return Domain(x=1)

    def __getattr__(self, name):
        self.reads.append(name)
        if name == "global_ctx":
            return Domain(y=2)
        raise AttributeError(name)


def test_domain_and_global_follow_getattr_semantics():
    ctx = Probes()
    engine = Engine(ctx)
    assert engine.evaluate_condition("domain.x == 1 and locals()['global'].y == 2")
    assert ctx.reads == ["domain", "global_ctx"]


@pytest.mark.parametrize("error", [ValueError("broken"), AttributeError("gone"), LookupError()])
def test_failing_domain_read_leaves_the_name_unbound(error):
    engine = Engine(Probes(error))
    assert engine.evaluate_condition("'domain' not in locals() and 'global' in locals()")


def test_interrupt_in_domain_read_propagates():
    with pytest.raises(KeyboardInterrupt):
        Engine(Probes(KeyboardInterrupt())).evaluate_condition("True")


def test_conditions_use_main_globals(monkeypatch):
    main = types.ModuleType("__main__")
    main.threshold = 3
    monkeypatch.setitem(sys.modules, "__main__", main)
    engine = Engine(Ctx(count=5))
    assert "__builtins__" not in main.__dict__
    assert engine.evaluate_condition("ctx.count > threshold and len([1]) == 1")
    assert "__builtins__" in main.__dict__
    main.threshold = 10
    assert not engine.evaluate_condition("ctx.count > threshold")


def test_same_text_is_evaluated_every_time():
    ctx = Ctx(count=0)
    engine = Engine(ctx)
    seen = []
    for i in range(3):
        ctx.count = i
        seen.append(engine.evaluate_condition("ctx.count == 1"))
    assert seen == [False, True, False]


def test_many_distinct_conditions():
    engine = Engine(Ctx(count=700))
    results = [engine.evaluate_condition(f"ctx.count > {i}") for i in range(1500)]
    assert results == [i < 700 for i in range(1500)]
    assert engine.evaluate_condition("ctx.count > 0")


def test_condition_with_surrogate_is_an_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        Engine(Ctx()).evaluate_condition("'\ud800' == ''")


def test_conditions_see_the_raw_context_and_no_kwargs():
    ctx = Ctx(secret=1)
    engine = Engine(ctx, strict_mode=True)
    rec = Recorder(engine)
    condition = "type(ctx).__name__ == 'Ctx' and ctx.secret == 1 and 'order_id' not in locals()"
    engine.execute_workflow([{"flux": "if", "condition": condition, "then": [rec.make("then")]}], order_id=3)
    assert rec.log == ["then"]


def test_workflow_failure_from_undeclared_error(setup):
    _, engine, rec = setup

    @process()
    def broken(guard):
        raise ValueError("x")

    name = unique("broken")
    engine.register_process(name, broken)
    with pytest.raises(ContractViolationError):
        engine.execute_workflow([rec.make("a"), {"flux": "run", "steps": [name]}, rec.make("b")])
    assert rec.log == ["a"]


def test_no_leak_over_workflows_with_audit_outcomes():
    # Conditions, kwargs, nested branches, loops, a failing step, and every
    # audit outcome (early warning, warning, block, interlock) on the way.
    @process(inputs=["count", "payload"], outputs=["count", "payload"], errors=["KeyError"])
    def step(ctx, fail=False, **_):
        ctx.count = ctx.count + 1
        ctx.payload["n"] = ctx.count
        if fail:
            raise KeyError("k")

    name = unique("leaky")
    rules = (
        AuditRule("count", "max", 2, level="W", min_threshold=1, max_threshold=2),
        AuditRule("payload.n", "max", 3, level="B"),
        AuditRule("count", "min", 0, level="S"),
    )
    ctx = Ctx(count=0, payload={"n": 0})
    engine = Engine(ctx, True, AuditRecipe({name: ProcessAudit(output_rules=rules)}))
    engine.register_process(name, step)
    workflow = [
        {"flux": "while", "condition": "ctx.count < 3", "do": [name, {"flux": "if", "condition": "ctx.count > 1", "then": [name]}]},
        {"flux": "run", "steps": [name]},
    ]

    def run():
        ctx.count = 0
        for steps, kwargs, error in ((workflow, {"tag": 1}, AuditBlockError), ([{"process": name}], {"fail": True}, KeyError)):
            with pytest.raises(error):
                engine.execute_workflow(steps, **kwargs)
        ctx.count = -5
        with pytest.raises(AuditInterlockError):
            engine.execute_process(name)

    assert block_growth(run, warmup=300, rounds=300) < 100


@pytest.mark.parametrize("change", [
    lambda cls, ctx: setattr(ctx, "domain_ctx", 7),
    lambda cls, ctx: setattr(cls, "domain_ctx", 7),
    lambda cls, ctx: setattr(cls, "domain_ctx", property(lambda self: 7)),
    lambda cls, ctx: setattr(cls, "__getattr__", lambda self, name: 7),
    lambda cls, ctx: setattr(cls.__bases__[0], "domain_ctx", 7),
], ids=["instance", "class", "property", "getattr-hook", "base-class"])
def test_a_domain_that_appears_later_is_bound_at_the_next_evaluation(change):
    class Base:
        pass

    class Ctx(Base):
        pass

    ctx = Ctx()
    engine = Engine(ctx)
    condition = "locals().get('domain') == 7"
    for _ in range(2):  # the second evaluation answers from what it learnt of Ctx
        assert engine.evaluate_condition(condition) is False
    change(Ctx, ctx)
    assert engine.evaluate_condition(condition) is True
