"""Engine: construction, registry, the road of one execute_process call, errors, audit."""

import gc
import types
import uuid
import weakref

import pytest

from kestu.audit import (
    AuditBlockError,
    AuditInterlockError,
    AuditRecipe,
    AuditRule,
    ProcessAudit,
)
from kestu.contracts import ContractViolationError, process
from kestu_core import Engine
from helpers import block_growth


class Ctx:
    def __init__(self, **fields):
        self.__dict__.update(fields)


def unique(prefix="p"):
    # The registry is process-wide: every test registers its own names.
    return f"{prefix}_{uuid.uuid4().hex[:12]}"


def register(engine, func):
    name = unique(getattr(func, "__name__", "p"))
    engine.register_process(name, func)
    return name


def contract(inputs=(), outputs=(), errors=()):
    return types.SimpleNamespace(inputs=inputs, outputs=outputs, errors=errors)


def recipe_for(name, input_rules=(), output_rules=()):
    return AuditRecipe({name: ProcessAudit(input_rules=tuple(input_rules), output_rules=tuple(output_rules))})


class Calls:
    """A process stand-in that records how it was called."""

    def __init__(self, result=None, raises=None):
        self.calls = []
        self.result = result
        self.raises = raises
        self._pop_contract = contract()

    def __call__(self, guard, **kwargs):
        self.calls.append((guard, kwargs))
        if self.raises is not None:
            raise self.raises
        return self.result


# -- construction ------------------------------------------------------------------


@pytest.mark.parametrize(
    "obj,signature",
    [
        (Engine, "(ctx, strict_mode=None, audit_recipe=None)"),
        (Engine.execute_process, "($self, process_name, **kwargs)"),
        (Engine.execute_workflow, "($self, steps, **kwargs)"),
        (Engine.execute_flux_step, "($self, step, **kwargs)"),
        (Engine.evaluate_condition, "($self, condition)"),
        (Engine.register_process, "($self, name, func)"),
    ],
)
def test_text_signatures(obj, signature):
    assert obj.__text_signature__ == signature


def numpy_bool(value):
    np = pytest.importorskip("numpy")
    return np.bool_(value)


@pytest.mark.parametrize(
    "make_flag,strict",
    [(lambda: None, False), (lambda: False, False), (lambda: True, True), (lambda: numpy_bool(True), True),
     (lambda: numpy_bool(False), False)],
    ids=["none", "false", "true", "numpy-true", "numpy-false"],
)
def test_strict_mode_flag_decides_rollback(make_flag, strict):
    c = Ctx(status="new")

    @process(outputs=["status"], errors=["ValueError"])
    def fail(ctx):
        ctx.status = "half"
        raise ValueError

    for engine in (Engine(c, make_flag()), Engine(c, strict_mode=make_flag())):
        c.status = "new"
        with pytest.raises(ValueError):
            engine.execute_process(register(engine, fail))
        assert c.status == ("new" if strict else "half")


@pytest.mark.parametrize("flag,type_name", [(1, "int"), ("yes", "str"), (0.0, "float"), ([], "list")])
def test_strict_mode_refuses_other_types(flag, type_name):
    with pytest.raises(TypeError) as info:
        Engine(Ctx(), strict_mode=flag)
    assert str(info.value) == f"argument 'strict_mode': '{type_name}' object cannot be converted to 'PyBool'"


@pytest.mark.parametrize(
    "args,kwargs",
    [((), {}), ((1, None, None, 4), {}), ((1,), {"bogus": 2}), ((1,), {"ctx": 2})],
)
def test_constructor_arity_errors(args, kwargs):
    with pytest.raises(TypeError):
        Engine(*args, **kwargs)


@pytest.mark.parametrize("attr", ["ctx", "strict_mode", "policy", "audit_recipe"])
def test_engine_exposes_no_fields(attr):
    engine = Engine(Ctx(), True)
    with pytest.raises(AttributeError):
        getattr(engine, attr)
    with pytest.raises(AttributeError):
        setattr(engine, attr, 1)


class NoDefinitions:
    pass


class BadDefinitions:
    definitions = ["not", "a", "dict"]


@pytest.mark.parametrize(
    "recipe",
    [
        {"definitions": {}},  # a dict key is not an attribute
        NoDefinitions(),
        BadDefinitions(),
        types.SimpleNamespace(definitions={"p": types.SimpleNamespace(input_rules=[5], output_rules=[])}),
    ],
    ids=["dict", "no-attribute", "list", "bad-rule"],
)
def test_unparsable_recipe_warns_once_and_runs_without_audit(capfd, recipe):
    engine = Engine(Ctx(total=0), audit_recipe=recipe)
    out, err = capfd.readouterr()
    assert (out, err) == ("", "WARNING: Failed to parse Audit Policy\n")
    proc = Calls(result="ran")
    assert engine.execute_process(register(engine, proc)) == "ran"
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("recipe", [None, AuditRecipe({})])
def test_absent_or_valid_recipe_prints_nothing(capfd, recipe):
    Engine(Ctx(), audit_recipe=recipe)
    assert capfd.readouterr() == ("", "")


def test_recipe_interrupt_is_not_swallowed(capfd):
    class Interrupting:
        @property
        def definitions(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        Engine(Ctx(), audit_recipe=Interrupting())
    assert capfd.readouterr().err == ""


# -- registry -------------------------------------------------------------------


def test_registry_is_shared_between_engines_and_replaces_by_name():
    first, second = Engine(Ctx()), Engine(Ctx())
    name = unique()
    old, new = Calls(result="old"), Calls(result="new")
    first.register_process(name, old)
    assert second.execute_process(name) == "old"
    old_ref = weakref.ref(old)
    second.register_process(name, new)
    assert first.execute_process(name) == "new"
    del old
    gc.collect()
    assert old_ref() is None
    # `second` ran the old process last: it must not reuse what it found then.
    assert second.execute_process(name) == "new"
    with pytest.raises(KeyError):
        first.execute_process(name.upper())


def test_empty_name_is_an_ordinary_name():
    engine = Engine(Ctx())
    proc = Calls(result=7)
    engine.register_process("", proc)
    assert engine.execute_process("") == 7


def test_register_process_does_not_check_func():
    engine = Engine(Ctx())
    name = unique()
    assert engine.register_process(name, 42) is None
    with pytest.raises(AttributeError, match="usually needs @process decorator"):
        engine.execute_process(name)


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda e: e.register_process(1, print), "argument 'name': 'int' object cannot be converted to 'PyString'"),
        (lambda e: e.execute_process(1), "argument 'process_name': 'int' object cannot be converted to 'PyString'"),
        (lambda e: e.execute_process(None), "argument 'process_name': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda e: e.evaluate_condition(b"True"), "argument 'condition': 'bytes' object cannot be converted to 'PyString'"),
    ],
)
def test_argument_conversion_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(Engine(Ctx()))
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call",
    [
        lambda e: e.execute_process("a", "b"),
        lambda e: e.execute_process(),
        lambda e: e.register_process("a"),
        lambda e: e.evaluate_condition("True", x=1),
        lambda e: e.execute_workflow([], [], x=1),
    ],
)
def test_arity_errors(call):
    with pytest.raises(TypeError):
        call(Engine(Ctx()))


# -- execute_process: the road ---------------------------------------------------


def test_unknown_process_is_a_key_error_before_any_audit():
    name = unique("ghost")
    recipe = recipe_for(name, input_rules=[AuditRule("missing_field_x", "eq", "never")])
    engine = Engine(Ctx(), audit_recipe=recipe)
    with pytest.raises(KeyError) as info:
        engine.execute_process(name)
    assert info.value.args == (f"Process '{name}' not found",)


def test_process_gets_guard_and_kwargs_and_its_result_comes_back_unchanged():
    engine = Engine(Ctx())
    marker = object()
    proc = Calls(result=marker)
    name = register(engine, proc)
    assert engine.execute_process(name, x=1, y=2) is marker
    assert engine.execute_process(process_name=name, process=3) is marker
    proc.result = None
    assert engine.execute_process(name) is None
    kwargs = [kw for _, kw in proc.calls]
    assert kwargs == [{"x": 1, "y": 2}, {"process": 3}, {}]
    assert all(type(guard).__name__ == "ContextGuard" for guard, _ in proc.calls)


def test_many_kwargs_reach_the_process():
    engine = Engine(Ctx())
    proc = Calls()
    name = register(engine, proc)
    kwargs = {f"k{i}": i for i in range(20)}
    engine.execute_process(name, **kwargs)
    assert proc.calls[0][1] == kwargs


def test_undecorated_function_is_refused_and_never_called():
    engine = Engine(Ctx())
    called = []
    name = register(engine, lambda guard: called.append(guard))
    with pytest.raises(AttributeError) as info:
        engine.execute_process(name)
    assert str(info.value) == f"Process '{name}' usually needs @process decorator"
    assert called == []


class RaisingContract:
    def __init__(self, error):
        self.error = error
        self.called = False

    @property
    def _pop_contract(self):
        raise self.error

    def __call__(self, guard):
        self.called = True


def test_contract_read_error_is_replaced():
    engine = Engine(Ctx())
    proc = RaisingContract(ValueError("hidden"))
    name = register(engine, proc)
    with pytest.raises(AttributeError, match="usually needs @process decorator") as info:
        engine.execute_process(name)
    assert info.value.__context__ is None
    assert not proc.called


def test_contract_read_interrupt_propagates():
    engine = Engine(Ctx())
    interrupt = KeyboardInterrupt()
    name = register(engine, RaisingContract(interrupt))
    with pytest.raises(KeyboardInterrupt) as info:
        engine.execute_process(name)
    assert info.value is interrupt


@pytest.mark.parametrize(
    "fields,error,message",
    [
        ({"inputs": "a"}, TypeError, "Can't extract `str` to `Vec`"),
        ({"outputs": "a"}, TypeError, "Can't extract `str` to `Vec`"),
        ({"inputs": 5}, TypeError, "'int' object cannot be converted to 'Sequence'"),
        ({"errors": {"ValueError"}}, TypeError, "'set' object cannot be converted to 'Sequence'"),
        ({"outputs": {"a": 1}}, TypeError, "'dict' object cannot be converted to 'Sequence'"),
        ({"inputs": ["a", 1]}, TypeError, "'int' object cannot be converted to 'PyString'"),
        ({"errors": [b"KeyError"]}, TypeError, "'bytes' object cannot be converted to 'PyString'"),
    ],
)
def test_contract_field_shapes(fields, error, message):
    engine = Engine(Ctx())
    proc = Calls()
    proc._pop_contract = types.SimpleNamespace(**{**dict(inputs=[], outputs=[], errors=[]), **fields})
    with pytest.raises(error) as info:
        engine.execute_process(register(engine, proc))
    assert str(info.value) == message
    assert proc.calls == []


@pytest.mark.parametrize("missing", ["inputs", "outputs", "errors"])
def test_contract_missing_field_is_pythons_attribute_error(missing):
    engine = Engine(Ctx())
    proc = Calls()
    proc._pop_contract = types.SimpleNamespace(**{k: [] for k in ("inputs", "outputs", "errors") if k != missing})
    with pytest.raises(AttributeError, match=missing):
        engine.execute_process(register(engine, proc))
    assert proc.calls == []


def test_contract_fields_are_read_in_order_and_tuples_work():
    seen = []

    class Recording:
        def __getattr__(self, name):
            seen.append(name)
            return ("x",) if name != "errors" else ()

    engine = Engine(Ctx(x=1))
    proc = Calls()
    proc._pop_contract = Recording()
    engine.execute_process(register(engine, proc))
    assert seen == ["inputs", "outputs", "errors"]


def test_strict_guard_refusal_happens_before_the_call():
    engine = Engine(Ctx(meta=1), strict_mode=True)
    proc = Calls()
    proc._pop_contract = contract(inputs=["meta.flags"])
    with pytest.raises(PermissionError) as info:
        engine.execute_process(register(engine, proc))
    assert str(info.value) == "SECURITY VIOLATION: Using Control Plane 'meta' as input is forbidden in Strict Mode."
    assert proc.calls == []


def test_guard_enforces_the_contract():
    @process(inputs=["price"], outputs=["total"])
    def price(ctx):
        ctx.total = ctx.price * 2
        ctx.secret = "leak"

    c = Ctx(price=21, secret="kept")
    engine = Engine(c)
    with pytest.raises(PermissionError) as info:
        engine.execute_process(register(engine, price))
    assert info.value.args == ("Illegal Write: 'secret'",)
    assert (c.total, c.secret) == (42, "kept")


# -- the error contract ------------------------------------------------------------


class ContractViolationErrorLookalike(Exception):
    pass


ContractViolationErrorLookalike.__name__ = "ContractViolationError"


def raising(exc, errors=()):
    proc = Calls(raises=exc)
    proc._pop_contract = contract(errors=list(errors))
    return proc


@pytest.mark.parametrize(
    "exc,errors",
    [
        (KeyError("k"), ["KeyError"]),
        (ValueError("v"), ["KeyError", "ValueError"]),
        (PermissionError("no"), []),
        (ContractViolationError("inner"), []),
        (ContractViolationErrorLookalike("same name"), []),
    ],
    ids=["declared", "declared-second", "permission", "contract-violation", "name-alike"],
)
def test_declared_and_pass_through_errors_are_reraised_unchanged(exc, errors):
    engine = Engine(Ctx())
    with pytest.raises(type(exc)) as info:
        engine.execute_process(register(engine, raising(exc, errors)))
    assert info.value is exc


class StrFails(Exception):
    def __str__(self):
        raise RuntimeError("no text")


def test_undeclared_errors_become_contract_violations():
    class Nested(ValueError):
        pass

    cases = [
        (KeyError("k"), [], "Caught KeyError: KeyError: 'k'"),
        (ValueError(), [], "Caught ValueError: ValueError: "),
        (ValueError("bad"), ["valueerror", "builtins.ValueError"], "Caught ValueError: ValueError: bad"),
        # A subclass passes only under its own name; the detail uses the qualified name.
        (Nested("n"), ["ValueError"], f"Caught Nested: {Nested.__qualname__}: n"),
        (StrFails(), [], "Caught StrFails: StrFails: <exception str() failed>"),
        (RuntimeError("x"), ["Exception"], "Caught RuntimeError: RuntimeError: x"),
    ]
    engine = Engine(Ctx())
    for exc, errors, detail in cases:
        with pytest.raises(ContractViolationError) as info:
            engine.execute_process(register(engine, raising(exc, errors)))
        assert str(info.value) == f"Undeclared Error Violation: {detail}"
        assert info.value.__cause__ is None and info.value.__context__ is None


@pytest.mark.parametrize(
    "exc",
    [KeyboardInterrupt(), SystemExit(3), GeneratorExit(), type("Custom", (BaseException,), {})()],
    ids=["interrupt", "exit", "generator-exit", "custom-base"],
)
@pytest.mark.parametrize("strict", [False, True])
def test_non_exception_errors_propagate_unchanged_after_rollback(exc, strict):
    c = Ctx(count=1)

    @process(outputs=["count"])
    def proc(ctx):
        ctx.count = 2
        raise exc

    engine = Engine(c, strict_mode=strict)
    with pytest.raises(BaseException) as info:
        engine.execute_process(register(engine, proc))
    assert info.value is exc
    assert c.count == (1 if strict else 2)


def test_contract_violation_class_failures_are_raised(monkeypatch):
    import kestu.contracts

    engine = Engine(Ctx())
    name = register(engine, raising(ValueError("x")))
    monkeypatch.delattr(kestu.contracts, "ContractViolationError")
    with pytest.raises(AttributeError, match="ContractViolationError"):
        engine.execute_process(name)
    monkeypatch.setattr(kestu.contracts, "ContractViolationError", lambda message: "not an exception", raising=False)
    with pytest.raises(TypeError, match="exceptions must derive from BaseException"):
        engine.execute_process(name)
    received = []

    class Recording(Exception):
        def __init__(self, message):
            received.append(message)
            super().__init__(message)

    monkeypatch.setattr(kestu.contracts, "ContractViolationError", Recording)
    with pytest.raises(Recording):
        engine.execute_process(name)
    assert received == ["Undeclared Error Violation: Caught ValueError: ValueError: x"]


# -- strict mode: rollback and commit on the real context ---------------------


@pytest.mark.parametrize("strict", [False, True])
def test_failed_process_rolls_back_only_in_strict_mode(strict):
    c = Ctx(status="new", total=0)

    @process(inputs=["total"], outputs=["status", "total"], errors=["ValueError"])
    def proc(ctx):
        ctx.status = "paid"
        ctx.total = 99
        raise ValueError("card declined")

    engine = Engine(c, strict_mode=strict)
    with pytest.raises(ValueError, match="card declined"):
        engine.execute_process(register(engine, proc))
    assert (c.status, c.total) == (("new", 0) if strict else ("paid", 99))


def test_undeclared_error_is_rolled_back_too():
    c = Ctx(status="new")

    @process(outputs=["status"])
    def proc(ctx):
        ctx.status = "half"
        return {}["missing"]

    engine = Engine(c, strict_mode=True)
    with pytest.raises(ContractViolationError):
        engine.execute_process(register(engine, proc))
    assert c.status == "new"


def test_strict_success_commits_nested_writes():
    c = Ctx(order={"items": ["a"], "total": 1})

    @process(inputs=["order"], outputs=["order"])
    def add(ctx):
        ctx.order["items"].append("b")
        ctx.order["total"] = 2

    engine = Engine(c, strict_mode=True)
    engine.execute_process(register(engine, add))
    assert c.order == {"items": ["a", "b"], "total": 2}


def test_strict_failure_drops_nested_writes():
    c = Ctx(order={"items": ["a"], "total": 1})

    @process(inputs=["order"], outputs=["order"], errors=["ValueError"])
    def add(ctx):
        ctx.order["items"].append("b")
        ctx.order["total"] = 2
        raise ValueError("stop")

    engine = Engine(c, strict_mode=True)
    with pytest.raises(ValueError):
        engine.execute_process(register(engine, add))
    assert c.order == {"items": ["a"], "total": 1}


# -- audit through the engine ------------------------------------------------------


def audited(rule_kwargs, phase="output", strict=True, **fields):
    """An engine whose process `name` writes ctx.value = kwargs['value']."""

    @process(inputs=["value"], outputs=["value"])
    def write(ctx, value=None):
        ctx.value = value
        return "done"

    name = unique("audited")
    if rule_kwargs.get("level", "B") in ("S", "A", "B", "W"):
        rule = AuditRule(**rule_kwargs)
        recipe = recipe_for(name, **{f"{phase}_rules": [rule]})
    else:
        # kestu.audit refuses other levels; the core reads any recipe object.
        fields = dict(value=None, min_threshold=0, max_threshold=1, reset_on_success=True, message=None)
        rule = types.SimpleNamespace(**{**fields, **rule_kwargs})
        rules = {"input_rules": [], "output_rules": [], f"{phase}_rules": [rule]}
        recipe = types.SimpleNamespace(definitions={name: types.SimpleNamespace(**rules)})
    c = Ctx(value=fields.get("value", 0))
    engine = Engine(c, strict_mode=strict, audit_recipe=recipe)
    engine.register_process(name, write)
    return engine, name, c


@pytest.mark.parametrize(
    "rule,value,message",
    [
        (dict(target_field="value", condition="max", value=100), 150, "[output] Rule 'max' violated on 'value'. Value=150. Level B"),
        (dict(target_field="value", condition="min", value=10), 3, "[output] Rule 'min' violated on 'value'. Value=3. Level B"),
        (dict(target_field="value", condition="eq", value="ok"), "bad", "[output] Rule 'eq' violated on 'value'. Value=bad. Level B"),
        (dict(target_field="value", condition="neq", value="bad"), "bad", "[output] Rule 'neq' violated on 'value'. Value=bad. Level B"),
        (dict(target_field="value", condition="min_len", value=2), [1], "[output] Rule 'min_len' violated on 'value'. Value=[1]. Level B"),
        (dict(target_field="value", condition="max_len", value=1), "abc", "[output] Rule 'max_len' violated on 'value'. Value=abc. Level B"),
        (dict(target_field="value", condition="max", value=1, message="too big!"), 2, "too big!"),
    ],
)
def test_output_rule_blocks_and_rolls_back(rule, value, message):
    engine, name, c = audited(rule)
    with pytest.raises(AuditBlockError) as info:
        engine.execute_process(name, value=value)
    assert str(info.value) == message
    assert c.value == 0


@pytest.mark.parametrize("level,error", [("S", AuditInterlockError), ("A", AuditInterlockError), ("B", AuditBlockError)])
def test_levels_choose_the_exception(level, error):
    engine, name, c = audited(dict(target_field="value", condition="max", value=1, level=level))
    with pytest.raises(error) as info:
        engine.execute_process(name, value=5)
    assert type(info.value) is error
    assert str(info.value).endswith(f"Level {level}")


@pytest.mark.parametrize("level", ["W", "b", "BLOCK"])
def test_other_levels_only_warn(level):
    engine, name, c = audited(dict(target_field="value", condition="max", value=1, level=level))
    assert engine.execute_process(name, value=5) == "done"
    assert c.value == 5


def test_passing_rule_commits():
    engine, name, c = audited(dict(target_field="value", condition="max", value=100))
    assert engine.execute_process(name, value=50) == "done"
    assert c.value == 50


def test_non_strict_output_block_cannot_roll_back():
    engine, name, c = audited(dict(target_field="value", condition="max", value=1), strict=False)
    with pytest.raises(AuditBlockError):
        engine.execute_process(name, value=5)
    assert c.value == 5


def test_input_rule_checks_the_raw_context_before_the_contract():
    name = unique("undecorated")
    called = []
    recipe = recipe_for(name, input_rules=[AuditRule("stock", "min", 1, level="S")])
    c = Ctx(stock=0)
    engine = Engine(c, strict_mode=True, audit_recipe=recipe)
    engine.register_process(name, lambda guard: called.append(1))
    with pytest.raises(AuditInterlockError) as info:
        engine.execute_process(name)
    assert str(info.value) == "[input] Rule 'min' violated on 'stock'. Value=0. Level S"
    c.stock = 5
    with pytest.raises(AttributeError, match="usually needs @process decorator"):
        engine.execute_process(name)
    assert called == []


def test_thresholds_count_per_engine_and_reset_on_success():
    rule = dict(target_field="value", condition="max", value=10, min_threshold=1, max_threshold=3)
    engine, name, c = audited(rule)
    assert engine.execute_process(name, value=11) == "done"  # count 1
    assert engine.execute_process(name, value=12) == "done"  # count 2
    assert engine.execute_process(name, value=5) == "done"  # success: count back to 0
    engine.execute_process(name, value=11)
    engine.execute_process(name, value=11)
    with pytest.raises(AuditBlockError):
        engine.execute_process(name, value=11)  # third in a row trips
    assert c.value == 11  # the second violation was committed
    engine.execute_process(name, value=13)  # tripping reset the count
    # A second engine over the same recipe has counters of its own.
    other = Engine(c, strict_mode=True, audit_recipe=recipe_for(name, output_rules=[AuditRule(**rule)]))
    assert other.execute_process(name, value=14) == "done"


def test_output_rule_sees_the_written_value_through_the_transaction():
    @process(inputs=["order"], outputs=["order"])
    def fill(ctx):
        for line in "abc":
            ctx.order["lines"].append(line)

    name = unique("fill")
    # "lines", not "items": the rule path tries attributes first, and a dict has an items() method.
    recipe = recipe_for(name, output_rules=[AuditRule("order.lines", "max_len", 2)])
    c = Ctx(order={"lines": []})
    engine = Engine(c, strict_mode=True, audit_recipe=recipe)
    engine.register_process(name, fill)
    with pytest.raises(AuditBlockError, match=r"Rule 'max_len' violated on 'order.lines'"):
        engine.execute_process(name)
    assert c.order == {"lines": []}


def test_audit_error_class_failures_are_raised(monkeypatch):
    import kestu.audit

    engine, name, _ = audited(dict(target_field="value", condition="max", value=1))
    monkeypatch.delattr(kestu.audit, "AuditBlockError")
    with pytest.raises(AttributeError, match="AuditBlockError"):
        engine.execute_process(name, value=5)


# -- exclusive and shared use --------------------------------------------------------


@pytest.mark.parametrize(
    "reenter,message",
    [
        (lambda e: e.execute_process("anything"), "Already borrowed"),
        (lambda e: e.register_process("x", print), "Already borrowed"),
        (lambda e: e.execute_workflow([]), "Already borrowed"),
        (lambda e: e.execute_flux_step(None), "Already borrowed"),
        (lambda e: e.evaluate_condition("True"), "Already mutably borrowed"),
    ],
)
def test_process_cannot_reenter_its_engine(reenter, message):
    holder = {}

    @process(errors=["RuntimeError"])
    def declared(ctx):
        reenter(holder["engine"])

    @process()
    def undeclared(ctx):
        reenter(holder["engine"])

    engine = holder["engine"] = Engine(Ctx())
    with pytest.raises(RuntimeError) as info:
        engine.execute_process(register(engine, declared))
    assert str(info.value) == message
    with pytest.raises(ContractViolationError) as info:
        engine.execute_process(register(engine, undeclared))
    assert str(info.value) == f"Undeclared Error Violation: Caught RuntimeError: RuntimeError: {message}"
    assert engine.evaluate_condition("True") is True  # released afterwards


def test_process_may_use_another_engine():
    inner_engine = Engine(Ctx())
    inner = register(inner_engine, Calls(result="inner"))

    @process()
    def outer(ctx):
        return inner_engine.execute_process(inner)

    engine = Engine(Ctx())
    assert engine.execute_process(register(engine, outer)) == "inner"


# -- subclassing, GC, leaks ---------------------------------------------------------


def test_subclass_overriding_init_still_gets_a_working_engine():
    class Tagged(Engine):
        def __init__(self, ctx, strict_mode=None, audit_recipe=None):
            super().__init__(ctx, strict_mode, audit_recipe)
            self.tag = "t"

    class NoSuper(Engine):
        def __init__(self, *args, **kwargs):
            self.runs = 0

    for cls in (Tagged, NoSuper):
        c = Ctx(count=0)
        engine = cls(c, True)
        proc = Calls(result=cls.__name__)
        assert engine.execute_process(register(engine, proc)) == cls.__name__
        assert engine.execute_workflow([]) is c
    assert Tagged(Ctx()).tag == "t"


def test_subclass_with_its_own_parameters_overrides_new():
    class Named(Engine):
        def __new__(cls, name, ctx):
            return super().__new__(cls, ctx, strict_mode=True)

        def __init__(self, name, ctx):
            self.name = name

        def execute_process(self, process_name, **kwargs):
            return ("wrapped", super().execute_process(process_name, **kwargs))

    c = Ctx()
    engine = Named("orders", c)
    assert engine.name == "orders"
    assert engine.execute_process(register(engine, Calls(result=1))) == ("wrapped", 1)
    assert isinstance(engine, Engine)


def test_plain_init_ignores_arguments():
    engine = Engine(Ctx())
    assert engine.__init__(1, 2, x=3) is None


@pytest.mark.parametrize("subclass", [False, True])
def test_engine_cycle_through_ctx_is_collected(subclass):
    cls = type("Sub", (Engine,), {}) if subclass else Engine
    c = Ctx()
    engine = cls(c, strict_mode=True)
    c.engine = engine
    if subclass:
        engine.me = engine
    alive = weakref.ref(c)
    del c, engine
    gc.collect()
    assert alive() is None


def test_engine_releases_ctx():
    c = Ctx()
    alive = weakref.ref(c)
    engine = Engine(c)
    del c
    assert alive() is not None
    del engine
    assert alive() is None


def blocks_after(run, rounds=3):
    return block_growth(run, warmup=rounds, rounds=rounds)


def test_execute_process_does_not_leak():
    @process(inputs=["n", "items"], outputs=["n", "items"], errors=["KeyError"])
    def work(ctx, fail=False):
        ctx.n = ctx.n + 1
        ctx.items.append(ctx.n)
        ctx.items.pop()
        if fail:
            raise KeyError("k")
        return [ctx.n]

    @process()
    def undeclared(ctx):
        raise ValueError("v")

    def listed(ctx):
        ctx.n = ctx.n + 1

    listed._pop_contract = types.SimpleNamespace(inputs=["n"], outputs=["n"], errors=[])  # compiled on every run

    name = unique("leak")
    recipe = recipe_for(name, output_rules=[AuditRule("n", "min", 0)])
    c = Ctx(n=0, items=[])
    engines = [Engine(c), Engine(c, True), Engine(c, True, recipe)]
    bad = register(engines[0], undeclared)
    each_run = register(engines[0], listed)
    for engine in engines:
        engine.register_process(name, work)

    def run():
        for _ in range(300):
            for engine in engines:
                engine.execute_process(name)
                with pytest.raises(KeyError):
                    engine.execute_process(name, fail=True)
                with pytest.raises(ContractViolationError):
                    engine.execute_process(bad)
                engine.execute_process(each_run)
                with pytest.raises(KeyError):
                    engine.execute_process("no such process " + name)

    assert blocks_after(run) < 50
