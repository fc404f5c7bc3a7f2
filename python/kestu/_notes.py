"""Notes on the core's exceptions: where a run failed, and why.

The core calls in here when an exception leaves one of its runs, and to warn
about an audit rule whose path cannot be read; a run that succeeds without
either never imports it. The notes go beside the exception with
``add_note``: its type, args and text stay exactly as the core made them.
"""

from __future__ import annotations

import difflib
import itertools
import re
import warnings
from typing import Any, Callable, Iterable, Sequence

from ._checks import user_stacklevel
from .audit import AuditWarning
from .contracts import _covers
from .machine import _is_bool

_LOOP_LIMIT = 10_000  # runs of a "while" body, as the engine counts them
_SHOWN = 8  # names listed before the rest is only counted
_CLOSE = 0.75  # difflib ratio from which a declared name is a near miss
_COMPARED = 2000  # names compared for a suggestion at most: a note must come quickly

# Every location note starts with one of these. An exception that already has
# one was located by an inner run: the outer runs add nothing.
_LOCATED = (
    "in process '",
    "in workflow step ",
    "in workflow branch ",
    "in the condition of ",
    "in the 'while' loop of ",
    "in Engine.",
    "in StateMachine.trigger(",
)

_BUSY = ("Already borrowed", "Already mutably borrowed")
_REFUSED = re.compile(r"Illegal (Read|Write): '(.*)'", re.S)
_CONVERSION = re.compile(r"'(.*)' object cannot be converted to '(\w+)'", re.S)


def annotate(exc: BaseException, info: dict[str, Any]) -> None:
    """Notes for an exception leaving an Engine method (``info`` is what the core knew)."""
    if not _located(exc):
        _add(exc, _run_notes(exc, info))


def annotate_trigger(exc: BaseException, info: dict[str, Any]) -> None:
    """Notes for an exception leaving ``StateMachine.trigger``."""
    if not _located(exc):
        _add(exc, _trigger_notes(exc, info))


def warn_unread_rule(
    process: str, phase: str, target_field: str, condition: str, operand: object, level: str,
    segment: int, parent: object,
) -> None:
    """Warn that an audit rule's path led nowhere, so the rule passed without a check."""
    segments = target_field.split(".")
    missing = segments[segment] if segment < len(segments) else target_field
    on = "the context" if segment == 0 else repr(".".join(segments[:segment]))
    rule = f"AuditRule({target_field!r}, {condition!r}, {operand!r}, level={level!r})"
    what = f"{missing[:-2]}() cannot be called" if missing.endswith("()") else f"nothing named {missing!r}"
    text = (
        f"{rule} of process {process!r} ({phase} rules): {target_field!r} cannot be read "
        f"({what} on {on}); the rule passes unchecked until it can"
    )
    name = missing[:-2] if missing.endswith("()") else missing
    text += _did_you_mean(name, _names_on(parent))
    warnings.warn(text, AuditWarning, stacklevel=user_stacklevel())


# -- shared pieces --------------------------------------------------------------


def _add(exc: BaseException, notes: list[str]) -> None:
    try:
        for note in notes:
            exc.add_note(note)
    except TypeError:  # its __notes__ was replaced by something that is not a list
        pass


def _located(exc: BaseException) -> bool:
    notes = getattr(exc, "__notes__", None)
    return isinstance(notes, list) and any(isinstance(n, str) and n.startswith(_LOCATED) for n in notes)


def _listed(names: Sequence[str]) -> str:
    if not names:
        return "none"
    shown = ", ".join(repr(n) for n in names[:_SHOWN])
    return shown if len(names) <= _SHOWN else f"{shown} and {len(names) - _SHOWN} more"


def _did_you_mean(word: str, choices: Iterable[str]) -> str:
    others = [c for c in itertools.islice(choices, _COMPARED) if c != word]
    close = difflib.get_close_matches(word, others, n=1, cutoff=_CLOSE)
    return f"; did you mean {close[0]!r}?" if close else ""


def _message(exc: BaseException) -> str | None:
    """The exception's one text argument, as the core gives it."""
    return exc.args[0] if len(exc.args) == 1 and isinstance(exc.args[0], str) else None


def _safely(read: Callable[[], Any]) -> Any:
    # The objects read here are the user's: whatever they raise means "unknown".
    try:
        return read()
    except Exception:
        return None


def _shown(value: object) -> str:
    """repr() of one of the user's objects, which may raise."""
    text = _safely(lambda: repr(value))
    return text if isinstance(text, str) else f"<{type(value).__name__} object>"


def _declared(func: object, field: str) -> tuple[str, ...] | None:
    names = _safely(lambda: getattr(func._pop_contract, field))  # type: ignore[attr-defined]
    if isinstance(names, (list, tuple)) and all(isinstance(n, str) for n in names):
        return tuple(names)
    return None


def _names_on(obj: object) -> list[str]:
    """The field names an audit path could have meant on ``obj``."""
    kind = type(obj)
    if kind.__module__ == "kestu_core" and kind.__name__ == "ContextGuard":
        obj = _safely(lambda: obj._target)  # type: ignore[attr-defined]
        kind = type(obj)
    names: list[str] = []
    if issubclass(kind, dict) or (kind.__module__ == "kestu_core" and kind.__name__ in ("TrackedDict", "FrozenDict")):
        names += [k for k in _safely(lambda: list(obj.keys())) or () if isinstance(k, str)]  # type: ignore[attr-defined]
    fields = _safely(lambda: vars(obj))
    if isinstance(fields, dict):
        names += [k for k in fields if isinstance(k, str)]
    return names


# -- Engine runs ----------------------------------------------------------------


def _run_notes(exc: BaseException, info: dict[str, Any]) -> list[str]:
    notes = [_location(exc, info)]
    text = _message(exc)
    process, func = info.get("process"), info.get("func")
    if info.get("busy") and isinstance(exc, RuntimeError) and text in _BUSY:
        notes.append(
            "this engine is already running a process: an engine runs one process at a time, "
            "and a call from another thread or from inside its own run is refused at once; "
            "put a lock around the runs, or give each thread its own engine and context (docs/limits.md)"
        )
    elif isinstance(exc, KeyError) and text == f"Process '{process}' not found" and info.get("registered") is not None:
        registered: list[str] = info["registered"]
        hint = _did_you_mean(process or "", registered) or f"; registered: {_listed(registered)}"
        notes.append(f"no process is registered as {process!r}{hint}")
    elif isinstance(exc, PermissionError) and text is not None:
        notes += _refusal_notes(text, func)
    elif type(exc).__name__ == "ContractViolationError" and info.get("original") is not None:
        notes += _undeclared_notes(info["original"], func, info.get("kwargs", ()))
    elif isinstance(exc, TypeError) and func is not None:
        notes += _call_notes(func, exc, info.get("kwargs", ()))
    elif isinstance(exc, AttributeError) and text == f"Process '{process}' usually needs @process decorator":
        notes.append("declare its contract: @kestu.process(inputs=[...], outputs=[...], errors=[...])")
    part = info.get("part")
    if part == "condition":
        notes += _condition_notes(exc, info.get("condition"))
    elif part == "loop":
        notes.append(
            f"its condition was still true after {_LOOP_LIMIT:,} runs of 'do': "
            f"a 'while' step stops at {_LOOP_LIMIT:,} iterations"
        )
    elif isinstance(exc, TypeError) and text is not None and process is None:
        notes += _shape_notes(text, info)
    return notes


def _location(exc: BaseException, info: dict[str, Any]) -> str:
    call, where, part = info["call"], info.get("where"), info.get("part")
    condition, subject = info.get("condition"), info.get("subject")
    # "step" alone is the step given to execute_flux_step itself.
    step = "the step" if where == "step" else f"workflow step {where}"
    if part == "condition" and isinstance(condition, str):
        return f"in the condition of {step}: {condition!r}"
    if part == "loop":
        return f"in the 'while' loop of {step}, condition {condition!r}"
    if info.get("process") is not None and not (info.get("busy") and _message(exc) in _BUSY):
        return f"in process {info['process']!r}" + (f", workflow step {where}" if where not in (None, "step") else "")
    if where and where != "step":
        return f"in workflow {'step' if where.endswith(']') else 'branch'} {where}"
    if call in ("execute_process", "evaluate_condition") and isinstance(subject, str):
        return f"in Engine.{call}({_shown(subject)})"
    return f"in Engine.{call}()"


def _refusal_notes(text: str, func: object) -> list[str]:
    refused = _REFUSED.fullmatch(text)
    if refused is None:
        if text.startswith("Access to private attribute "):
            return ["in strict mode no name beginning with '_' can be read through the guard"]
        return []
    write, path = refused[1] == "Write", refused[2]
    inputs, outputs = _declared(func, "inputs"), _declared(func, "outputs")
    if inputs is None or outputs is None:
        return []
    usable = outputs if write else inputs + outputs
    if write:
        notes = [f"declared outputs: {_listed(outputs)}"]
        if any(_covers(d, path) for d in inputs):
            notes[0] += f"; {path!r} is covered by the inputs only, and a write needs an output"
    else:
        notes = [f"declared inputs: {_listed(inputs)}; outputs: {_listed(outputs)}"]
    below = [d for d in usable if d.startswith(path + "[")]
    if below:
        notes.append(
            f"{below[0]!r} is declared, but the guard reaches it through {path!r}, which it does not cover "
            f"(a path is reachable from below only across a '.', not a '['); declare {path!r}"
        )
    else:
        notes[0] += _near_miss(path, usable)
    return notes


def _near_miss(path: str, declared: Sequence[str]) -> str:
    """"; did you mean X?" when a declared path (or its part above a '.') is a near miss of ``path``."""
    rests: dict[str, str] = {}  # a declared path's head -> the rest of it
    for d in declared[:_COMPARED]:
        for i, char in enumerate(d + "."):
            if char == "." and d[:i] != path:
                rests.setdefault(d[:i], d[i:])
    close = difflib.get_close_matches(path, rests, n=1, cutoff=_CLOSE)
    return f"; did you mean {path + rests[close[0]]!r}?" if close else ""


def _undeclared_notes(original: BaseException, func: object, kwargs: Sequence[str]) -> list[str]:
    name = type(original).__name__
    errors = _declared(func, "errors")
    never_ran = _call_notes(func, original, kwargs)
    notes = []
    if errors is not None:
        # The raised name is the right one: a declared near miss of it is the typo.
        if difflib.get_close_matches(name, errors, n=1, cutoff=_CLOSE):
            hint = f"; did you mean {name!r}?"
        else:
            hint = "" if never_ran else f"; declare {name!r} there to let it through"
        notes.append(f"declared errors: {_listed(errors)}{hint}")
    notes += never_ran or [_origin(original)]
    inner = getattr(original, "__notes__", None)
    if isinstance(inner, list):
        notes += [f"  {note}" for note in inner if isinstance(note, str)]
    return notes


def _origin(exc: BaseException) -> str:
    text = _safely(lambda: str(exc))
    what = f"{type(exc).__qualname__}: {'<exception str() failed>' if text is None else text}"
    tb = exc.__traceback__
    if tb is None:
        return f"the process raised {what}"
    while tb.tb_next is not None:
        tb = tb.tb_next
    code = tb.tb_frame.f_code
    return f"the process raised {what}, at {code.co_filename}:{tb.tb_lineno} in {code.co_name}"


def _call_notes(func: object, exc: BaseException, kwargs: Sequence[str]) -> list[str]:
    """The note for a process that was never run because the call itself failed."""
    if not isinstance(exc, TypeError) or not callable(func):
        return []
    import inspect

    try:
        signature = inspect.signature(func, follow_wrapped=False)
        signature.bind(None, **dict.fromkeys(kwargs))
    except TypeError as problem:
        reason = str(problem)
    except ValueError:  # no signature to read
        return []
    else:
        return []
    name = getattr(func, "__name__", "process")
    params = signature.parameters.values()
    takes_any = any(p.kind is p.VAR_KEYWORD for p in params)
    named = {p.name for p in params if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)}
    extra = [k for k in kwargs if k not in named]
    if extra and not takes_any:
        fix = f"accept the run's keywords with **kwargs: def {name}(ctx, ..., **kwargs)"
    elif not params:
        fix = f"a process gets the guard first: def {name}(ctx, **kwargs)"
    else:
        fix = "pass what it needs as keywords of the run, or give those parameters defaults"
    call = ", ".join(["guard", *(f"{k}=..." for k in kwargs)])
    return [f"the process never ran: {name}{signature} cannot take the call {name}({call}): {reason}; {fix}"]


def _condition_notes(exc: BaseException, condition: object) -> list[str]:
    if not isinstance(condition, str):
        return [f"a step's 'condition' must be a str (a Python expression), not {type(condition).__name__}"]
    conversion = _CONVERSION.fullmatch(_message(exc) or "")
    if isinstance(exc, TypeError) and conversion and conversion[2] == "PyBool":
        return [
            f"a condition must give a bool (True or False), and this one gave {conversion[1]}: "
            f"write the test out, e.g. 'x is not None' or 'len(x) > 0'"
        ]
    if isinstance(exc, NameError):
        return ["a condition sees ctx, domain (ctx.domain_ctx), global (ctx.global_ctx) and the globals of __main__"]
    return []


def _shape_notes(text: str, info: dict[str, Any]) -> list[str]:
    """Notes for a TypeError about the form of the steps themselves."""
    conversion = _CONVERSION.fullmatch(text)
    if conversion is None:
        return []
    got, target = conversion[1], conversion[2]
    if target == "PyList":
        subject = info.get("subject")
        if info.get("where") is None and hasattr(type(subject), "to_steps"):
            return [
                f"execute_workflow takes the plain list of steps, not a {got}: "
                f"pass workflow.to_steps(), or run it with workflow.run(engine, **kwargs)"
            ]
        return [f"steps and branches ('then', 'else', 'do', 'steps') are lists of steps, not {got}"]
    step = info.get("step")
    if target == "PyString" and isinstance(step, dict):
        for key, must in (("process", "a process name"), ("flux", "'if', 'while' or 'run'")):
            if key in step and not isinstance(step[key], str):
                return [f"the step's {key!r} must be {must} (a str), not {got}"]
    return []


# -- StateMachine.trigger -------------------------------------------------------


def _trigger_notes(exc: BaseException, info: dict[str, Any]) -> list[str]:
    event, state, now = info.get("event"), info.get("state"), info.get("now")
    notes = [f"in StateMachine.trigger({_shown(event)}), state {_shown(state)}"]
    if _safely(lambda: now != state):
        notes.append(f"the machine had already moved to {_shown(now)} when this failed")
    if isinstance(exc, RuntimeError) and _message(exc) == "Already borrowed":
        notes.append(
            "the machine is in the middle of a trigger: something that trigger called "
            "(a key's __eq__ or __hash__, a logging handler) triggered it again"
        )
        return notes
    problem = _safely(lambda: _definition_problem(info.get("definition"), state, event))
    if problem:
        notes.append(f"{problem}; Machine.from_raw(definition) checks a whole definition")
    return notes


def _definition_problem(definition: object, state: object, event: object) -> str | None:
    """What in the definition stops a trigger, read in the order the machine reads it."""
    if not isinstance(definition, dict):
        return f"the definition is a {type(definition).__name__}, not a dict of state name to description"
    if state not in definition:
        return None
    description = definition[state]
    if not isinstance(description, dict):
        return f"the description of state {state!r} is a {type(description).__name__}, not a dict"
    key = next((k for k in ("events", "on", "transitions") if k in description), None)
    if key is None or (key == "on" and _is_bool(description[key])):
        return None
    table = description[key]
    if not isinstance(table, dict):
        return f"the event table {key!r} of state {state!r} is a {type(table).__name__}, not a dict"
    if event not in table:
        return None
    target = table[event]
    if not isinstance(target, str):
        return f"event {event!r} of state {state!r} leads to {target!r}, not a state name (str)"
    if target not in definition:
        return None
    entered = definition[target]
    if not isinstance(entered, dict):
        return f"the description of state {target!r}, entered, is a {type(entered).__name__}, not a dict"
    key = next((k for k in ("entry", "process") if k in entered), None)
    entry = entered[key] if key else None
    if isinstance(entry, list):
        for item in entry:
            if not isinstance(item, str):
                return f"the {key!r} of state {target!r} lists {item!r}, not a process name (str)"
    return None
