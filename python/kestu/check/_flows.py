"""Workflows and state machines written as literals at the module's top level."""

from __future__ import annotations

import ast
import builtins
from dataclasses import dataclass
from typing import Callable

from ._module import ModuleIndex

Report = Callable[[int, int, str, str], None]

_CONDITION_LOCALS = frozenset({"ctx", "domain"})  # "global" is a keyword: only locals()["global"] reaches it
_BUILTINS = frozenset(dir(builtins))


Steps = list[ast.Constant]  # the process names a workflow runs, as far as its literal says


def workflow(index: ModuleIndex, expr: ast.expr, depth: int = 0) -> Steps | None:
    """The workflow ``expr`` stands for: a builder call, ``from_raw``, ``.to_steps()`` or a plain list."""
    expr = index.literal(expr)
    steps: Steps = []
    if isinstance(expr, (ast.List, ast.Tuple)):
        _raw_steps(expr, steps)
        return steps
    if not isinstance(expr, ast.Call) or depth > 8:
        return None
    func = expr.func
    if index.kestu_name(func) == "Workflow":
        _built_steps(index, _arg(expr, 0, "steps"), steps)
        return steps
    if isinstance(func, ast.Attribute):
        if func.attr == "from_raw" and index.kestu_name(func.value) == "Workflow":
            _raw_steps(_arg(expr, 0, "steps"), steps)
            return steps
        if func.attr == "to_steps" and not expr.args:
            return workflow(index, func.value, depth + 1)
    return None


def _name(expr: ast.expr | None, steps: Steps) -> None:
    if isinstance(expr, ast.Constant) and isinstance(expr.value, str):
        steps.append(expr)


def _built_steps(index: ModuleIndex, expr: ast.expr | None, steps: Steps) -> None:
    if not isinstance(expr, (ast.List, ast.Tuple)):
        return
    for item in expr.elts:
        kind = index.kestu_name(item.func) if isinstance(item, ast.Call) else None
        if isinstance(item, ast.Constant):
            _name(item, steps)
        elif isinstance(item, ast.Call) and kind is not None:
            if kind == "Step":
                _name(_arg(item, 0, "process"), steps)
            for position, keyword in _BRANCHES.get(kind, ()):
                _built_steps(index, _arg(item, position, keyword), steps)


# Where each builder takes its steps: (position, keyword).
_BRANCHES = {"If": ((1, "then"), (2, "else_")), "While": ((1, "do"),), "Run": ((0, "steps"),)}


def _raw_steps(expr: ast.expr | None, steps: Steps) -> None:
    if not isinstance(expr, ast.List):
        return
    for item in expr.elts:
        if isinstance(item, ast.Constant):
            _name(item, steps)
        elif isinstance(item, ast.Dict):
            keys = {k.value: v for k, v in zip(item.keys, item.values) if isinstance(k, ast.Constant)}
            _name(keys.get("process"), steps)
            for branch in ("then", "else", "do", "steps"):
                _raw_steps(keys.get(branch), steps)


# -- conditions ----------------------------------------------------------------


def conditions(index: ModuleIndex) -> list[ast.Constant]:
    """Every condition the module writes: of ``If``/``While`` builders and of plain step dicts."""
    found = []
    nodes: list[ast.Call | ast.Dict] = [*index.calls, *index.dicts]
    for node in nodes:
        text: ast.expr | None = None
        if isinstance(node, ast.Call) and index.kestu_name(node.func) in ("If", "While"):
            text = next((kw.value for kw in node.keywords if kw.arg == "condition"), None)
            if text is None and node.args:
                text = node.args[0]
        elif isinstance(node, ast.Dict):
            keys = {k.value: v for k, v in zip(node.keys, node.values) if isinstance(k, ast.Constant)}
            if "flux" in keys:
                text = keys.get("condition")
        if isinstance(text, ast.Constant) and isinstance(text.value, str):
            found.append(text)
    return found


def check_condition(node: ast.Constant, report: Report) -> None:
    text = node.value
    assert isinstance(text, str)
    try:
        tree = compile(text, "<condition>", "eval", ast.PyCF_ONLY_AST, dont_inherit=True)
    except (SyntaxError, ValueError) as exc:
        reason = exc.msg if isinstance(exc, SyntaxError) else str(exc)
        report(node.lineno, node.col_offset, "KC302", f"the condition {text!r} is not an expression: {reason}")
        return
    bound = {n.id for n in ast.walk(tree) if isinstance(n, ast.Name) and not isinstance(n.ctx, ast.Load)}
    for lam in (n for n in ast.walk(tree) if isinstance(n, ast.Lambda)):
        bound.update(a.arg for a in ast.walk(lam.args) if isinstance(a, ast.arg))
    missing: list[str] = []
    for name in (n for n in ast.walk(tree) if isinstance(n, ast.Name) and isinstance(n.ctx, ast.Load)):
        if name.id not in _CONDITION_LOCALS and name.id not in _BUILTINS and name.id not in bound:
            if name.id not in missing:
                missing.append(name.id)
    for name_text in missing:
        report(node.lineno, node.col_offset, "KC303",
               f"the condition {text!r} uses {name_text!r}, which it cannot see: a condition sees ctx, domain, "
               "the built-ins and the globals of __main__")


# -- state machines --------------------------------------------------------------


@dataclass
class Graph:
    states: dict[str, ast.expr]  # name -> where it is defined
    events: dict[str, list[tuple[str, ast.Constant]]]  # name -> [(event, target node)]
    start: str
    start_node: ast.expr


_TABLES = ("events", "on", "transitions")


def machines(index: ModuleIndex) -> list[Graph]:
    graphs = []
    for node in index.calls:
        func = node.func
        if index.kestu_name(func) == "Machine":
            graph = _machine(index, node, raw=False)
        elif isinstance(func, ast.Attribute) and func.attr == "from_raw" and index.kestu_name(func.value) == "Machine":
            graph = _machine(index, node, raw=True)
        else:
            continue
        if graph is not None:
            graphs.append(graph)
    return graphs


def _arg(call: ast.Call, position: int, keyword: str) -> ast.expr | None:
    for kw in call.keywords:
        if kw.arg == keyword:
            return kw.value
    return call.args[position] if len(call.args) > position else None


def _machine(index: ModuleIndex, call: ast.Call, raw: bool) -> Graph | None:
    states = _arg(call, 0, "definition" if raw else "states")
    start = _arg(call, 1, "start")
    if states is not None:
        states = index.literal(states)
    if start is None and raw and not any(kw.arg is None for kw in call.keywords):
        start = ast.Constant("IDLE", lineno=call.lineno, col_offset=call.col_offset)
    if not isinstance(states, ast.Dict) or not (isinstance(start, ast.Constant) and isinstance(start.value, str)):
        return None
    graph = Graph({}, {}, start.value, start)
    for key, value in zip(states.keys, states.values):
        if not (isinstance(key, ast.Constant) and isinstance(key.value, str)):
            return None
        events = _raw_events(value) if raw else _built_events(index, value)
        if events is None:
            return None
        graph.states[key.value] = key
        graph.events[key.value] = events
    return graph


def _table(expr: ast.expr | None) -> list[tuple[str, ast.Constant]] | None:
    if expr is None or (isinstance(expr, ast.Constant) and expr.value is None):
        return []
    if not isinstance(expr, ast.Dict):
        return None
    table = []
    for event, target in zip(expr.keys, expr.values):
        if not (isinstance(event, ast.Constant) and isinstance(target, ast.Constant) and isinstance(target.value, str)):
            return None
        table.append((str(event.value), target))
    return table


def _built_events(index: ModuleIndex, expr: ast.expr) -> list[tuple[str, ast.Constant]] | None:
    if not (isinstance(expr, ast.Call) and index.kestu_name(expr.func) == "State"):
        return None
    return _table(_arg(expr, 0, "events"))


def _raw_events(expr: ast.expr) -> list[tuple[str, ast.Constant]] | None:
    if not isinstance(expr, ast.Dict):
        return None
    keys = {k.value: v for k, v in zip(expr.keys, expr.values) if isinstance(k, ast.Constant)}
    if len(keys) != len(expr.keys):
        return None
    for table in _TABLES:
        if table in keys:
            return _table(keys[table])
    return []


def check_machine(graph: Graph, report: Report) -> None:
    states = graph.states
    if graph.start not in states:
        node = graph.start_node
        report(node.lineno, node.col_offset, "KC306", f"the start state {graph.start!r} is not defined")
        return
    for state, events in graph.events.items():
        for event, target in events:
            if target.value not in states:
                report(target.lineno, target.col_offset, "KC306",
                       f"state {state!r}, event {event!r}: {target.value!r} is not a defined state")
    reached = _closure([graph.start], lambda s: [t.value for _, t in graph.events.get(s, []) if t.value in states])
    for state, node in states.items():
        if state not in reached:
            report(node.lineno, node.col_offset, "KC304",
                   f"state {state!r} cannot be reached from the start state {graph.start!r}")
    finals = [s for s in states if not graph.events[s]]
    if not finals:
        return  # a machine that runs for ever has nowhere to finish
    sources: dict[str, list[str]] = {}
    for state, events in graph.events.items():
        for _, target in events:
            sources.setdefault(str(target.value), []).append(state)
    finishing = _closure(finals, lambda s: sources.get(s, []))
    for state, node in states.items():
        if state in reached and state not in finishing:
            report(node.lineno, node.col_offset, "KC305",
                   f"state {state!r} has no way out to a final state (a state with no events)")


def _closure(start: list[str], step: Callable[[str], list[str]]) -> set[str]:
    seen = set(start)
    todo = list(start)
    while todo:
        for nxt in step(todo.pop()):
            if nxt not in seen:
                seen.add(nxt)
                todo.append(nxt)
    return seen
