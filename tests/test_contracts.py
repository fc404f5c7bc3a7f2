import dataclasses
import os
import sys
import warnings

import pytest

import kestu
from kestu import contracts
from kestu.contracts import Contract, ContractViolationError, ContractWarning, process


def _plain(ctx):
    return ctx


async def _coro(ctx):
    return ctx


class _CallableClass:
    def __call__(self, ctx):
        return ctx


@pytest.mark.parametrize(
    "target",
    [_plain, _coro, lambda ctx: ctx, _CallableClass, _CallableClass()],
    ids=["function", "async", "lambda", "class", "instance"],
)
def test_decorator_returns_same_object_with_contract(target):
    decorated = process(inputs=["order"], outputs=["order.total"], errors=["KeyError"])(target)
    assert decorated is target
    assert target._pop_contract == Contract(("order",), ("order.total",), ("KeyError",))


@pytest.mark.parametrize(
    "make",
    [list, tuple, iter, lambda xs: (x for x in xs), lambda xs: dict.fromkeys(xs)],
    ids=["list", "tuple", "iterator", "generator", "dict"],
)
@pytest.mark.filterwarnings("ignore:inputs.2. 'domain.items.2.' can never be reached")
def test_any_iterable_of_names_is_stored_as_tuple(make):
    paths = ["order", "order.items", "domain.items[2]"]

    @process(inputs=make(paths), outputs=make(paths[:1]), errors=make(["ValueError", "KeyError"]))
    def fn(ctx):
        return ctx

    c = fn._pop_contract
    assert (c.inputs, c.outputs, c.errors) == (
        ("order", "order.items", "domain.items[2]"),
        ("order",),
        ("ValueError", "KeyError"),
    )
    for field in (c.inputs, c.outputs, c.errors):
        assert type(field) is tuple


def test_empty_call_gives_empty_contract():
    @process()
    def fn(ctx):
        return ctx

    assert (fn._pop_contract.inputs, fn._pop_contract.outputs, fn._pop_contract.errors) == ((), (), ())


def test_contracts_are_not_shared_between_decorations():
    @process(inputs=["a"])
    def first(ctx):
        return ctx

    @process(inputs=["b"])
    def second(ctx):
        return ctx

    assert first._pop_contract.inputs == ("a",)
    assert second._pop_contract.inputs == ("b",)


def test_source_list_mutation_does_not_leak_into_contract():
    names = ["order"]
    deco = process(inputs=names)
    names.append("secret")
    fn = deco(_CallableClass())
    assert fn._pop_contract.inputs == ("order",)


@pytest.mark.parametrize("field", ["inputs", "outputs", "errors"])
def test_contract_fields_cannot_be_reassigned(field):
    c = Contract(inputs=("a",), outputs=("b",), errors=("E",))
    with pytest.raises(dataclasses.FrozenInstanceError):
        setattr(c, field, ("x",))
    assert getattr(c, field) != ("x",)


def test_contract_rejects_new_attributes():
    c = Contract()
    # Slotted frozen dataclasses raise TypeError rather than AttributeError on some 3.1x releases.
    with pytest.raises((AttributeError, TypeError)):
        c.extra = 1
    assert not hasattr(c, "extra")


def test_contract_built_directly_is_normalised():
    c = Contract(inputs=["a"], outputs=iter(["b"]), errors=["E"])
    assert c == Contract(("a",), ("b",), ("E",))
    assert hash(c) == hash(Contract(("a",), ("b",), ("E",)))


@pytest.mark.parametrize("arg", ["inputs", "outputs", "errors"])
@pytest.mark.parametrize("value", ["Order", b"Order", bytearray(b"Order")], ids=["str", "bytes", "bytearray"])
def test_single_string_instead_of_sequence_is_type_error(arg, value):
    with pytest.raises(TypeError, match=rf"^{arg} must be a sequence of names.*\[.*Order.*\]"):
        process(**{arg: value})


@pytest.mark.parametrize("arg", ["inputs", "outputs", "errors"])
@pytest.mark.parametrize("value", [None, 3, object()], ids=["None", "int", "object"])
def test_non_iterable_is_type_error(arg, value):
    with pytest.raises(TypeError, match=rf"^{arg} must be an iterable of str, got {type(value).__name__}"):
        process(**{arg: value})


@pytest.mark.parametrize("arg", ["inputs", "outputs", "errors"])
@pytest.mark.parametrize("bad", [1, None, b"Order", ("Order",)], ids=["int", "None", "bytes", "tuple"])
def test_non_string_item_names_argument_and_position(arg, bad):
    with pytest.raises(TypeError, match=rf"^{arg}\[1\] must be str, got {type(bad).__name__}"):
        process(**{arg: ["Good", bad]})


def test_exception_class_in_errors_suggests_its_name():
    with pytest.raises(TypeError, match=r"errors\[0\].*'ValueError'"):
        process(errors=[ValueError])


@pytest.mark.parametrize("arg", ["inputs", "outputs", "errors"])
def test_empty_name_is_value_error(arg):
    with pytest.raises(ValueError, match=rf"^{arg}\[1\] is an empty name"):
        process(**{arg: ["Good", ""]})


@pytest.mark.parametrize("name", ["builtins.ValueError", "My Error", "1Error"])
def test_error_names_must_be_bare_class_names(name):
    with pytest.raises(ValueError, match=r"errors\[0\]"):
        process(errors=[name])


@pytest.mark.filterwarnings("ignore:inputs.0. 'domain.items.2.' can never be reached")
def test_paths_are_not_held_to_class_name_rules():
    fn = process(inputs=["domain.items[2]"], outputs=["cart.count()"])(_CallableClass())
    assert fn._pop_contract.outputs == ("cart.count()",)


@pytest.mark.parametrize("target", [None, 42, "fn"], ids=["None", "int", "str"])
def test_decorating_non_callable_is_type_error(target):
    deco = process(inputs=["a"])
    with pytest.raises(TypeError, match="callable"):
        deco(target)


def test_callable_without_attribute_support_is_type_error():
    with pytest.raises(TypeError, match="cannot attach a contract"):
        process()(len)
    assert not hasattr(len, "_pop_contract")


def test_bare_decorator_is_rejected_with_hint():
    with pytest.raises(TypeError, match=r"@process\("):

        @process
        def fn(ctx):
            return ctx


@pytest.mark.parametrize("message", ["context path 'order' not declared", "", "ünïcode ✓"])
def test_contract_violation_error_message_is_exact(message):
    exc = contracts.ContractViolationError(message)
    assert str(exc) == message
    assert isinstance(exc, Exception)
    with pytest.raises(ContractViolationError):
        raise exc


@pytest.mark.parametrize(
    "name, module_attr",
    [
        ("process", contracts.process),
        ("Contract", contracts.Contract),
        ("ContractViolationError", contracts.ContractViolationError),
    ],
)
def test_package_reexports(name, module_attr):
    assert getattr(kestu, name) is module_attr
    assert name in kestu.__all__


def test_package_ships_type_marker():
    assert os.path.isfile(os.path.join(os.path.dirname(kestu.__file__), "py.typed"))


# -- paths that look mistyped ------------------------------------------------------


@pytest.mark.parametrize(
    "path, problems",
    [
        ("info..title", ["an empty segment ('..')"]),
        (".info", ["a leading '.'"]),
        ("info.title.", ["a trailing '.'"]),
        ("info.title ", ["surrounding whitespace"]),
        ("\tinfo", ["surrounding whitespace"]),
        ("info/title", ["a '/', where names are joined with '.'"]),
        ("items[2", ["an unbalanced '['"]),
        ("items]2[", ["an unbalanced ']'"]),
        (" .a..b[ ", ["surrounding whitespace", "a leading '.'", "an unbalanced '['", "an empty segment ('..')"]),
    ],
)
@pytest.mark.parametrize("arg", ["inputs", "outputs"])
def test_suspicious_path_warns_at_the_users_line_and_is_kept(arg, path, problems):
    with pytest.warns(ContractWarning) as caught:
        line = sys._getframe().f_lineno + 1
        fn = process(**{arg: ["order", path]})(_CallableClass())
    (w,) = caught.list
    assert str(w.message) == f"{arg}[1] {path!r} looks wrong ({'; '.join(problems)}); it is declared as written"
    assert (w.filename, w.lineno) == (__file__, line)
    assert getattr(fn._pop_contract, arg) == ("order", path)


@pytest.mark.parametrize(
    "path, container",
    [("order", ""), ("order.lines[2].qty", "order"), ("stock[gift wrap]", "stock"), ("cfg[a.b]", "cfg"),
     ("cfg[x/y]", "cfg.x"), ("m[[0]]", "m"), ("[0]", ""), ("items[2][3]", "items"), ("é.ü", "")],
)
def test_ordinary_paths_do_not_warn(path, container):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        Contract(inputs=[path, container] if container else [path], outputs=[path])


def test_duplicate_in_one_list_warns_and_contract_line_is_pointed_at():
    with pytest.warns(ContractWarning) as caught:
        line = sys._getframe().f_lineno + 1
        c = Contract(inputs=["a", "b", "a"], outputs=["a"])
    assert [(str(w.message), w.lineno) for w in caught.list] == [
        ("inputs[2] 'a' looks wrong (the same path as inputs[0]); it is declared as written", line)
    ]
    assert c.inputs == ("a", "b", "a")


def test_warning_category_can_be_silenced():
    assert issubclass(ContractWarning, UserWarning) and kestu.ContractWarning is ContractWarning
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        warnings.simplefilter("ignore", ContractWarning)
        assert process(inputs=["a..b"])(_CallableClass())._pop_contract.inputs == ("a..b",)


def test_contract_of_gives_the_attached_contract_or_none():
    def fn(ctx):
        return ctx

    assert kestu.contract_of(fn) is None and kestu.contract_of(len) is None
    assert kestu.contract_of(process(inputs=["a"], errors=["KeyError"])(fn)) == Contract(["a"], [], ["KeyError"])
    assert kestu.contract_of(process(outputs=["b"])(_CallableClass())) == Contract([], ["b"])


def test_contract_of_refuses_a_contract_set_by_hand():
    def fn(ctx):
        return ctx

    fn._pop_contract = dataclasses.make_dataclass("Raw", ["inputs", "outputs", "errors"])([], [], [])
    with pytest.raises(TypeError, match="carries a contract of type Raw, not a kestu.Contract"):
        kestu.contract_of(fn)
