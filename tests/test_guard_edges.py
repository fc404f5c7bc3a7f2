"""Edge cases of guard reads (imports of copy, integer-like str keys) and of
the names a state machine hands back."""

import builtins
import sys

import pytest

from kestu_core import ContextGuard, StateMachine, Transaction


class Obj:
    def __init__(self, **kw):
        self.__dict__.update(kw)


# -- reading a nested value when the copy module cannot be imported -----------


def _block_by_none_in_sys_modules(monkeypatch):
    monkeypatch.setitem(sys.modules, "copy", None)


def _block_by_import_hook(monkeypatch):
    real_import = builtins.__import__

    def refusing_import(name, *args, **kwargs):
        if name == "copy":
            raise ImportError("copy import refused by hook")
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", refusing_import)


@pytest.mark.parametrize("block", [_block_by_none_in_sys_modules, _block_by_import_hook],
                         ids=["none_in_sys_modules", "import_hook_refuses"])
@pytest.mark.parametrize("field, value", [("d", {"a": 1}), ("items", [1, 2]), ("obj", Obj(v=1))],
                         ids=["dict", "list", "object"])
def test_guard_read_raises_the_import_error_when_copy_module_cannot_be_imported(block, field, value, monkeypatch, capfd):
    ctx = Obj(**{field: value})
    tx = Transaction()
    guard = ContextGuard(ctx, [], [field], tx)
    with monkeypatch.context() as m:
        block(m)
        with pytest.raises(ImportError):
            getattr(guard, field)
    # no copy-failure warning is printed for an import failure
    assert "Cannot copy" not in capfd.readouterr().err
    # nothing was cached: once the import works again the value is really copied
    again = getattr(guard, field)
    if field == "obj":
        assert again._target is not value
    elif field == "d":
        again["b"] = 2
        assert value == {"a": 1}
    else:
        again.append(3)
        assert value == [1, 2]


@pytest.mark.parametrize("block", [_block_by_none_in_sys_modules, _block_by_import_hook],
                         ids=["none_in_sys_modules", "import_hook_refuses"])
def test_guard_item_read_raises_the_import_error_when_copy_module_cannot_be_imported(block, monkeypatch):
    inner = {"k": 1}
    guard = ContextGuard({"inner": inner}, ["inner"], [], Transaction())
    with monkeypatch.context() as m:
        block(m)
        with pytest.raises(ImportError):
            guard["inner"]


# -- item path of a key that converts to an integer ---------------------------


class IndexableStr(str):
    def __index__(self):
        return 7


@pytest.mark.parametrize("prefix_inputs, expected_path", [([], "[7]")], ids=["root"])
def test_item_read_of_str_subclass_key_with_index_uses_bracketed_integer_path(prefix_inputs, expected_path):
    key = IndexableStr("sk")
    guard = ContextGuard({key: 1}, prefix_inputs, [], None)
    with pytest.raises(PermissionError) as info:
        guard[key]
    assert str(info.value) == f"Illegal Read: '{expected_path}'"


def test_item_read_of_str_subclass_key_with_index_is_permitted_by_bracketed_declaration():
    key = IndexableStr("sk")
    guard = ContextGuard({key: 1}, ["[7]"], [], None)
    assert guard[key] == 1


# -- state machine entry names keep the listed objects -------------------------


class Name(str):
    pass


@pytest.mark.parametrize("make_entry", [lambda n: n, lambda n: [n]], ids=["single_str", "list_of_str"])
def test_trigger_returns_the_entry_name_objects_themselves(make_entry):
    name = Name("load")
    machine = StateMachine({"IDLE": {"events": {"go": "RUN"}}, "RUN": {"entry": make_entry(name)}})
    result = machine.trigger("go")
    assert result == ["load"]
    assert result[0] is name
