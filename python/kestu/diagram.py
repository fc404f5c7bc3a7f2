"""Diagrams of state machines and workflows, as Mermaid or Graphviz text.

:meth:`kestu.Machine.to_mermaid` and :meth:`kestu.Workflow.to_mermaid` give
text that a Markdown viewer renders (in a ```` ```mermaid ```` block);
``to_dot()`` gives the same graph for Graphviz. ``python -m kestu diagram
MODULE:NAME`` prints either. Names and conditions are quoted and escaped, so
any text is safe in a label.
"""

from __future__ import annotations

import re
from typing import TYPE_CHECKING, Literal, Sequence

if TYPE_CHECKING:
    from .machine import Machine
    from .workflow import AnyStep, Workflow

__all__ = ["machine_dot", "machine_mermaid", "workflow_dot", "workflow_mermaid"]

Shape = Literal["start", "end", "process", "condition"]

_PLAIN = re.compile(r"[A-Za-z][A-Za-z0-9_]*\Z")
_GENERATED = re.compile(r"s[0-9]+\Z")
# Words the Mermaid parser reads as its own, whatever the case.
_MERMAID_WORDS = frozenset({"end", "state", "note", "direction", "class", "classdef", "style", "click",
                            "default", "graph", "flowchart", "subgraph", "linkstyle", "as", "of", "left", "right"})
_ENTITIES = {"#": "#35;", '"': "#quot;", "<": "#lt;", ">": "#gt;", ";": "#59;", "\n": " ", "\r": " "}


def _mermaid_text(text: str) -> str:
    return "".join(_ENTITIES.get(char, char) for char in text)


def _dot_text(text: str) -> str:
    return text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n").replace("\r", "\\r")


# -- state machines ------------------------------------------------------------


def _state_ids(machine: Machine) -> dict[str, str]:
    # A plain name is its own id; any other state gets "s" and its place,
    # which no plain name can be.
    ids = {}
    for i, state in enumerate(machine.states):
        plain = _PLAIN.match(state) and state.lower() not in _MERMAID_WORDS and not _GENERATED.match(state)
        ids[state] = state if plain else f"s{i}"
    return ids


def machine_mermaid(machine: Machine) -> str:
    """A Mermaid state diagram of the machine (what ``Machine.to_mermaid()`` returns)."""
    ids = _state_ids(machine)
    lines = ["stateDiagram-v2"]
    for state, ident in ids.items():
        if ident != state:
            lines.append(f'    state "{_mermaid_text(state)}" as {ident}')
    lines.append(f"    [*] --> {ids[machine.start]}")
    for state, value in machine.states.items():
        if value.entry:
            lines.append(f"    {ids[state]} : entry / {_mermaid_text(', '.join(value.entry))}")
        for event, target in value.events.items():
            lines.append(f"    {ids[state]} --> {ids[target]} : {_mermaid_text(event)}")
        if not value.events:
            lines.append(f"    {ids[state]} --> [*]")
    return "\n".join(lines) + "\n"


def machine_dot(machine: Machine) -> str:
    """A Graphviz digraph of the machine (what ``Machine.to_dot()`` returns)."""
    ids = {state: f"s{i}" for i, state in enumerate(machine.states)}
    lines = ["digraph machine {", "    rankdir=LR;", "    node [shape=box, style=rounded];",
             "    start [shape=point];"]
    for state, value in machine.states.items():
        label = state + (f"\nentry / {', '.join(value.entry)}" if value.entry else "")
        extra = ", peripheries=2" if not value.events else ""
        lines.append(f'    {ids[state]} [label="{_dot_text(label)}"{extra}];')
    lines.append(f"    start -> {ids[machine.start]};")
    for state, value in machine.states.items():
        for event, target in value.events.items():
            lines.append(f'    {ids[state]} -> {ids[target]} [label="{_dot_text(event)}"];')
    lines.append("}")
    return "\n".join(lines) + "\n"


# -- workflows -----------------------------------------------------------------


class _Graph:
    """Nodes and edges of a workflow: each process step and each condition is a node."""

    def __init__(self, steps: Sequence[AnyStep]) -> None:
        self.nodes: list[tuple[Shape, str]] = []
        self.edges: list[tuple[int, int, str]] = []
        start = self._node("start", "start")
        exits = self._steps(steps, [(start, "")])
        end = self._node("end", "end")
        self._join(exits, end)

    def _node(self, shape: Shape, label: str) -> int:
        self.nodes.append((shape, label))
        return len(self.nodes) - 1

    def _join(self, exits: list[tuple[int, str]], node: int) -> None:
        self.edges.extend((source, node, label) for source, label in exits)

    def _steps(self, steps: Sequence[AnyStep], exits: list[tuple[int, str]]) -> list[tuple[int, str]]:
        from .workflow import If, Run, Step, While

        for step in steps:
            if isinstance(step, Step):
                node = self._node("process", step.process)
                self._join(exits, node)
                exits = [(node, "")]
            elif isinstance(step, If):
                node = self._node("condition", step.condition)
                self._join(exits, node)
                exits = self._steps(step.then, [(node, "yes")]) + self._steps(step.else_, [(node, "no")])
            elif isinstance(step, While):
                node = self._node("condition", step.condition)
                self._join(exits, node)
                self._join(self._steps(step.do, [(node, "yes")]), node)
                exits = [(node, "no")]
            elif isinstance(step, Run):
                exits = self._steps(step.steps, exits)
        return exits


_MERMAID_SHAPES = {"start": '(["{}"])', "end": '(["{}"])', "process": '["{}"]', "condition": '{{"{}"}}'}
_DOT_SHAPES = {"start": "shape=oval", "end": "shape=oval", "process": "shape=box", "condition": "shape=diamond"}


def workflow_mermaid(workflow: Workflow) -> str:
    """A Mermaid flowchart of the workflow (what ``Workflow.to_mermaid()`` returns)."""
    graph = _Graph(workflow.steps)
    lines = ["flowchart TD"]
    for i, (shape, label) in enumerate(graph.nodes):
        lines.append(f"    n{i}" + _MERMAID_SHAPES[shape].format(_mermaid_text(label)))
    for source, target, label in graph.edges:
        arrow = f"-->|{label}|" if label else "-->"
        lines.append(f"    n{source} {arrow} n{target}")
    return "\n".join(lines) + "\n"


def workflow_dot(workflow: Workflow) -> str:
    """A Graphviz digraph of the workflow (what ``Workflow.to_dot()`` returns)."""
    graph = _Graph(workflow.steps)
    lines = ["digraph workflow {"]
    for i, (shape, label) in enumerate(graph.nodes):
        lines.append(f'    n{i} [{_DOT_SHAPES[shape]}, label="{_dot_text(label)}"];')
    for source, target, label in graph.edges:
        extra = f' [label="{label}"]' if label else ""
        lines.append(f"    n{source} -> n{target}{extra};")
    lines.append("}")
    return "\n".join(lines) + "\n"
