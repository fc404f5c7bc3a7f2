import dataclasses
import math
import sys
from fractions import Fraction
from types import MappingProxyType

import pytest

import kestu
from kestu import audit
from kestu.audit import (
    AuditBlockError,
    AuditError,
    AuditInterlockError,
    AuditRecipe,
    AuditRule,
    ProcessAudit,
)

U32_MAX = 2**32 - 1
RULE_FIELDS = (
    "target_field",
    "condition",
    "value",
    "level",
    "min_threshold",
    "max_threshold",
    "reset_on_success",
    "message",
)


def rule(**overrides):
    kwargs = dict(target_field="order.total", condition="min", value=0)
    kwargs.update(overrides)
    return AuditRule(**kwargs)


# --- errors -----------------------------------------------------------------


@pytest.mark.parametrize("cls", [AuditInterlockError, AuditBlockError])
@pytest.mark.parametrize("message", ["m", "", "order.total below 0 (3 times)"])
def test_audit_errors_carry_exact_message(cls, message):
    exc = cls(message)
    assert str(exc) == message
    assert isinstance(exc, AuditError)
    with pytest.raises(cls):
        raise exc


def test_interlock_and_block_are_distinct():
    assert not issubclass(AuditInterlockError, AuditBlockError)
    assert not issubclass(AuditBlockError, AuditInterlockError)
    assert issubclass(AuditError, Exception)


@pytest.mark.parametrize("name", ["AuditError", "AuditInterlockError", "AuditBlockError",
                                  "AuditRecipe", "ProcessAudit", "AuditRule"])
def test_package_reexports(name):
    assert getattr(kestu, name) is getattr(audit, name)
    assert name in kestu.__all__


# --- AuditRule ----------------------------------------------------------------


def test_rule_defaults():
    r = AuditRule("order.total", "min", 0)
    assert (r.level, r.min_threshold, r.max_threshold, r.reset_on_success, r.message) == (
        "B", 0, 1, True, None,
    )


def test_rule_has_exactly_the_attributes_the_core_reads():
    assert tuple(f.name for f in dataclasses.fields(AuditRule)) == RULE_FIELDS
    assert not hasattr(rule(), "__dict__")


def test_rule_options_are_keyword_only():
    with pytest.raises(TypeError):
        AuditRule("order.total", "min", 0, "A")


@pytest.mark.parametrize(
    "condition, value",
    [
        ("eq", "paid"),
        ("eq", ""),
        ("neq", "cancelled"),
        ("min", 0),
        ("min", -1.5),
        ("max", 10**30),
        ("max", math.inf),
        ("max", Fraction(1, 3)),
        ("min_len", 0),
        ("max_len", sys.maxsize),
    ],
)
def test_rule_accepts_operand_matching_condition(condition, value):
    r = AuditRule("cart.count()", condition, value)
    assert (r.condition, r.value) == (condition, value)


@pytest.mark.parametrize(
    "condition, value, exc, fragment",
    [
        ("eq", None, TypeError, "str"),
        ("eq", 1, TypeError, "str"),
        ("neq", b"x", TypeError, "str"),
        ("min", None, TypeError, "number"),
        ("min", "1", TypeError, "number"),
        ("max", True, TypeError, "number"),
        ("max", math.nan, ValueError, "NaN"),
        ("min_len", None, TypeError, "int"),
        ("min_len", 1.0, TypeError, "int"),
        ("max_len", False, TypeError, "int"),
        ("min_len", -1, ValueError, "0.."),
        ("max_len", sys.maxsize + 1, ValueError, "0.."),
    ],
)
def test_rule_rejects_operand_not_matching_condition(condition, value, exc, fragment):
    with pytest.raises(exc, match=rf"{condition}.*{fragment}|{fragment}.*{condition}"):
        AuditRule("order.total", condition, value)


@pytest.mark.parametrize("condition", ["between", "EQ", "", "min "])
def test_unknown_condition_lists_known_ones(condition):
    with pytest.raises(ValueError) as info:
        rule(condition=condition)
    for known in ("eq", "neq", "min", "max", "min_len", "max_len"):
        assert known in str(info.value)


@pytest.mark.parametrize("condition", [None, 1, ("eq",)])
def test_non_string_condition_is_type_error(condition):
    with pytest.raises(TypeError, match="condition must be str"):
        rule(condition=condition)


@pytest.mark.parametrize("low, high", [(0, 0), (0, 1), (1, U32_MAX), (U32_MAX, U32_MAX)])
def test_thresholds_accept_full_u32_range(low, high):
    r = rule(min_threshold=low, max_threshold=high)
    assert (r.min_threshold, r.max_threshold) == (low, high)


@pytest.mark.parametrize("field", ["min_threshold", "max_threshold"])
@pytest.mark.parametrize(
    "value, exc",
    [(-1, ValueError), (U32_MAX + 1, ValueError), (True, TypeError), (False, TypeError),
     (1.0, TypeError), ("1", TypeError), (None, TypeError)],
)
def test_threshold_rejects_bad_values(field, value, exc):
    with pytest.raises(exc, match=field):
        rule(**{field: value})


@pytest.mark.parametrize(
    "field, value, exc",
    [
        ("target_field", "", ValueError),
        ("target_field", None, TypeError),
        ("target_field", ["order", "total"], TypeError),
        ("level", "", ValueError),
        ("level", None, TypeError),
        ("level", 1, TypeError),
        ("reset_on_success", 1, TypeError),
        ("reset_on_success", None, TypeError),
        ("reset_on_success", "False", TypeError),
        ("message", 5, TypeError),
        ("message", b"bytes", TypeError),
    ],
)
def test_rule_rejects_bad_field(field, value, exc):
    with pytest.raises(exc, match=field):
        rule(**{field: value})


@pytest.mark.parametrize("level", ["S", "A", "B", "W"])
def test_each_known_level_is_kept(level):
    assert rule(level=level).level == level


@pytest.mark.parametrize("message", [None, "", "total must be positive"])
def test_message_may_be_str_or_none(message):
    assert rule(message=message).message == message


@pytest.mark.parametrize("field", RULE_FIELDS)
def test_rule_is_immutable(field):
    r = rule()
    before = getattr(r, field)
    with pytest.raises(dataclasses.FrozenInstanceError):
        setattr(r, field, "changed")
    assert getattr(r, field) == before


def test_equal_rules_compare_and_hash_equal():
    assert rule(level="A") == rule(level="A")
    assert hash(rule(level="A")) == hash(rule(level="A"))
    assert rule(level="A") != rule(level="S")


# --- ProcessAudit -----------------------------------------------------------------


def test_process_audit_defaults_to_no_rules():
    pa = ProcessAudit()
    assert (pa.input_rules, pa.output_rules) == ((), ())


@pytest.mark.parametrize(
    "make", [list, tuple, iter, lambda xs: (x for x in xs)], ids=["list", "tuple", "iterator", "generator"]
)
def test_process_audit_stores_rules_as_tuples(make):
    a, b = rule(), rule(condition="eq", value="paid")
    pa = ProcessAudit(make([a, b]), output_rules=make([b]))
    assert pa.input_rules == (a, b) and type(pa.input_rules) is tuple
    assert pa.output_rules == (b,) and type(pa.output_rules) is tuple


def test_process_audit_copies_source_list():
    rules = [rule()]
    pa = ProcessAudit(input_rules=rules)
    rules.append(rule(level="S"))
    assert len(pa.input_rules) == 1


@pytest.mark.parametrize("arg", ["input_rules", "output_rules"])
@pytest.mark.parametrize(
    "bad",
    [{"target_field": "x"}, ("order.total", "min", 0), "order.total", None],
    ids=["dict", "tuple", "str", "None"],
)
def test_process_audit_rejects_non_rule_items(arg, bad):
    with pytest.raises(TypeError, match=rf"{arg}\[1\] must be AuditRule"):
        ProcessAudit(**{arg: [rule(), bad]})


@pytest.mark.parametrize("arg", ["input_rules", "output_rules"])
@pytest.mark.parametrize("bad", [None, 3, rule()], ids=["None", "int", "bare-rule"])
def test_process_audit_rejects_non_iterable(arg, bad):
    with pytest.raises(TypeError, match=rf"{arg} must be an iterable of AuditRule"):
        ProcessAudit(**{arg: bad})


@pytest.mark.parametrize("field", ["input_rules", "output_rules"])
def test_process_audit_is_immutable(field):
    with pytest.raises(dataclasses.FrozenInstanceError):
        setattr(ProcessAudit(), field, ())


# --- AuditRecipe -----------------------------------------------------------------


class _Defs(dict):
    pass


@pytest.mark.parametrize(
    "make", [dict, MappingProxyType, _Defs], ids=["dict", "mappingproxy", "dict-subclass"]
)
def test_recipe_definitions_is_a_plain_dict(make):
    pa = ProcessAudit([rule()])
    recipe = AuditRecipe(make({"price": pa}))
    assert type(recipe.definitions) is dict
    assert recipe.definitions == {"price": pa}


def test_recipe_copies_source_mapping():
    source = {"price": ProcessAudit()}
    recipe = AuditRecipe(source)
    source["ship"] = ProcessAudit()
    assert list(recipe.definitions) == ["price"]


def test_recipe_has_the_shape_the_core_reads():
    recipe = AuditRecipe(
        {
            "price": ProcessAudit(
                [rule(level="S", max_threshold=3, reset_on_success=False, message="no")],
                [rule(target_field="cart.count()", condition="max_len", value=5)],
            )
        }
    )
    definition = recipe.definitions["price"]
    for rules in (definition.input_rules, definition.output_rules):
        assert isinstance(rules, (list, tuple))
        for r in rules:
            assert all(isinstance(getattr(r, f), str) for f in ("target_field", "condition", "level"))
            assert all(type(getattr(r, f)) is int for f in ("min_threshold", "max_threshold"))
            assert type(r.reset_on_success) is bool


@pytest.mark.parametrize(
    "definitions, exc, fragment",
    [
        ([("price", ProcessAudit())], TypeError, "mapping"),
        (None, TypeError, "mapping"),
        ({1: ProcessAudit()}, TypeError, "process name must be str"),
        ({"": ProcessAudit()}, ValueError, "must not be empty"),
        ({"price": [rule()]}, TypeError, r"definitions\['price'\] must be ProcessAudit"),
        ({"price": {"input_rules": []}}, TypeError, r"definitions\['price'\]"),
    ],
)
def test_recipe_rejects_bad_definitions(definitions, exc, fragment):
    with pytest.raises(exc, match=fragment):
        AuditRecipe(definitions)


def test_recipe_cannot_be_rebound_and_stays_hashable():
    recipe = AuditRecipe({"price": ProcessAudit()})
    with pytest.raises(dataclasses.FrozenInstanceError):
        recipe.definitions = {}
    assert recipe == AuditRecipe({"price": ProcessAudit()})
    hash(recipe)


@pytest.mark.parametrize(
    "level, hint",
    [("b", "; did you mean 'B'?"), ("w", "; did you mean 'W'?"), ("s", "; did you mean 'S'?"),
     ("BLOCK", "; did you mean 'B'?"), ("block", "; did you mean 'B'?"), ("WARN", "; did you mean 'W'?"),
     ("warning", "; did you mean 'W'?"), ("Interlock", "; did you mean 'S' or 'A'?"), (" B", "; did you mean 'B'?"),
     ("", ""), ("info", "")],
)
def test_unknown_level_names_the_rule_and_the_four(level, hint):
    with pytest.raises(ValueError) as info:
        AuditRule("user.age", "min", 18, level=level)
    assert str(info.value) == f"AuditRule('user.age', 'min'): level {level!r} is not one of 'S', 'A', 'B', 'W'{hint}"


def test_min_threshold_above_max_names_the_rule():
    with pytest.raises(ValueError, match=r"^AuditRule\('user.age', 'min'\): min_threshold 3 is above max_threshold 2"):
        AuditRule("user.age", "min", 18, min_threshold=3, max_threshold=2)


@pytest.mark.parametrize(
    "overrides",
    [dict(condition="between"), dict(value="18"), dict(max_threshold=-1), dict(reset_on_success=1), dict(message=5)],
)
def test_every_rule_error_says_which_rule(overrides):
    with pytest.raises((TypeError, ValueError), match=r"^AuditRule\('user.age', "):
        AuditRule(**{"target_field": "user.age", "condition": "min", "value": 18, **overrides})


# -- a recipe object used by several engines -----------------------------------


class _Ctx:
    value = 5


def _engines_blocked(recipe, name):
    """Whether a new engine built from `recipe` blocks a run of `name`."""
    from kestu_core import Engine

    engine = Engine(_Ctx(), audit_recipe=recipe)
    engine.register_process(name, _read_value)
    try:
        engine.execute_process(name)
    except AuditBlockError:
        return True
    return False


def _read_value(ctx):
    return ctx.value


_read_value._pop_contract = kestu.Contract(inputs=["value"])


def _set_field(recipe, name):
    object.__setattr__(recipe.definitions[name].input_rules[0], "value", 1)


def _replace_rules(recipe, name):
    object.__setattr__(recipe.definitions[name], "input_rules", (AuditRule("value", "min", 1),))


def _replace_definition(recipe, name):
    recipe.definitions[name] = ProcessAudit(input_rules=(AuditRule("value", "min", 1),))


def _replace_definitions(recipe, name):
    object.__setattr__(recipe, "definitions", {name: ProcessAudit(input_rules=(AuditRule("value", "min", 1),))})


def _drop_definition(recipe, name):
    del recipe.definitions[name]


def _patch_rule_class(recipe, name):
    type.__setattr__(AuditRule, "value", property(lambda self: 1))


@pytest.mark.parametrize("change", [_set_field, _replace_rules, _replace_definition, _replace_definitions,
                                    _drop_definition, _patch_rule_class])
def test_a_recipe_changed_after_use_is_read_again(change):
    name = f"recipe_reuse_{change.__name__}"
    recipe = AuditRecipe({name: ProcessAudit(input_rules=(AuditRule("value", "min", 10),))})
    value_slot = AuditRule.__dict__["value"]
    try:
        assert _engines_blocked(recipe, name) and _engines_blocked(recipe, name)  # the second reuses the first's reading
        change(recipe, name)
        assert not _engines_blocked(recipe, name)
    finally:
        type.__setattr__(AuditRule, "value", value_slot)


def test_engines_sharing_a_recipe_count_violations_each_for_itself():
    from kestu_core import Engine

    name = "recipe_reuse_counters"
    recipe = AuditRecipe({name: ProcessAudit(input_rules=(AuditRule("value", "min", 10, max_threshold=2),))})
    first, second = Engine(_Ctx(), audit_recipe=recipe), Engine(_Ctx(), audit_recipe=recipe)
    first.register_process(name, _read_value)
    assert first.execute_process(name) == 5  # the first violation only warns
    with pytest.raises(AuditBlockError):
        first.execute_process(name)
    assert second.execute_process(name) == 5  # its own count starts at 0


@pytest.mark.filterwarnings("ignore:non-string key:RuntimeWarning")  # 3.13 says so at class creation
def test_code_run_while_a_rule_class_is_learnt_again_cannot_pull_the_memory_from_under_a_reuse():
    """A class-dict key whose __eq__ builds engines from other recipes, so that what the
    engine remembered of this recipe is replaced while it is being compared."""
    from kestu_core import Engine

    class Evil:
        armed = False

        def __hash__(self):
            return hash("target_field")

        def __eq__(self, other):
            if Evil.armed:
                Evil.armed = False
                for i in range(64):  # enough recipes to land on every remembered place
                    Engine(_Ctx(), audit_recipe=AuditRecipe({f"other_{i}": audit()}))
            return False

    fields = ("target_field", "condition", "level", "min_threshold", "max_threshold", "reset_on_success",
              "message", "value")
    Rule = type("Rule", (), {Evil(): 0, "__slots__": fields})  # the key sits before the slots it collides with

    def audit():  # the companion's class checks its rules' class; the core reads any slotted one
        rule = Rule()
        for field, value in zip(fields, ("value", "min", "B", 0, 1, False, None, 10)):
            setattr(rule, field, value)
        made = ProcessAudit()
        object.__setattr__(made, "input_rules", (rule,))
        return made

    name = "recipe_reuse_learnt_again"
    recipe = AuditRecipe({name: audit()})
    assert _engines_blocked(recipe, name) and _engines_blocked(recipe, name)
    Rule.changed = True  # the class changed: it is learnt again at the next reuse
    Evil.armed = True
    assert _engines_blocked(recipe, name)
    assert not Evil.armed
