"""help() shows a docstring for every public class and callable of kestu_core and kestu."""

import importlib
import inspect

import pytest

import kestu_core

KESTU_MODULES = ["kestu", "kestu.audit", "kestu.contracts", "kestu.workflow", "kestu.machine", "kestu.logging",
                 "kestu.check", "kestu.diagram", "kestu.cli", "kestu._logbridge"]



def documented(doc, name):
    # A dataclass without a docstring gets its own signature as __doc__.
    return bool(doc and doc.strip()) and not doc.startswith(name + "(")


def core_members():
    for name in kestu_core.__all__:
        cls = getattr(kestu_core, name)
        yield f"kestu_core.{name}", cls, cls.__doc__
        for attr, value in vars(cls).items():
            if inspect.isroutine(value) or inspect.isdatadescriptor(value):
                yield f"kestu_core.{name}.{attr}", value, value.__doc__


def kestu_members():
    for module_name in KESTU_MODULES:
        module = importlib.import_module(module_name)
        names = getattr(module, "__all__", None) or [n for n in vars(module) if not n.startswith("_")]
        for name in names:
            obj = getattr(module, name)
            if not (inspect.isclass(obj) or inspect.isroutine(obj)) or obj.__module__ != module_name:
                continue  # re-exported: checked where it is defined
            yield f"{module_name}.{name}", obj, obj.__doc__
            if inspect.isclass(obj):
                for attr, value in vars(obj).items():
                    value = getattr(value, "__func__", value)  # classmethod, staticmethod
                    if not attr.startswith("_") and (inspect.isroutine(value) or isinstance(value, property)):
                        yield f"{module_name}.{name}.{attr}", value, value.__doc__


def test_every_public_callable_has_a_docstring():
    members = [*core_members(), *kestu_members()]
    missing = {name for name, obj, doc in members if not documented(doc, getattr(obj, "__name__", ""))}
    assert missing == set()
    # The walk reaches classes, methods, properties and functions of both packages.
    assert {"kestu_core.Engine.execute_process", "kestu_core.StateMachine.current_state", "kestu.contracts.process",
            "kestu.workflow.Workflow.to_steps", "kestu._logbridge.connect"} <= {name for name, _, _ in members}


@pytest.mark.parametrize("name", kestu_core.__all__)
def test_core_docstrings_keep_the_text_signatures(name):
    # A docstring written without its "--" line would hide the signature.
    cls = getattr(kestu_core, name)
    assert (cls.__text_signature__ is None) == (name == "ContextZone")
    methods = [m for m in vars(cls).values() if type(m).__name__ == "method_descriptor"]
    assert all(m.__text_signature__.startswith("($self") for m in methods)
