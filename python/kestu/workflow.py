"""Workflows from typed steps, checked when they are written.

``Engine.execute_workflow`` takes a plain list of steps and reads it leniently:
a misspelt key or an unknown ``"flux"`` kind does nothing, and a tuple branch
or a broken condition fails only when the run reaches it. The classes here
check all of that when a step is built, and :meth:`Workflow.to_steps` gives
exactly the plain list the engine takes::

    flow = Workflow([
        "price_order",
        If("ctx.order.total >= 100", then=["add_free_gift"]),
        While("len(ctx.picked) < len(ctx.order.lines)", do=[Step("pick_item")]),
        Run(["ship", "notify"]),
    ])
    flow.run(engine, say=print)   # engine.execute_workflow(flow.to_steps(), say=print)

A ``str`` in a list of steps is the name of a process, as in the plain form.
:meth:`Workflow.from_raw` gives an existing plain list the same checks, naming
the step that is wrong by its place (``steps[1].then[0]``).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Iterable, Union

from ._checks import name, quoted, suggest, unknown_keys
from ._frozen import frozen

if TYPE_CHECKING:
    from kestu_core import Engine

__all__ = ["If", "Run", "Step", "StepLike", "While", "Workflow"]

_KINDS: dict[str, tuple[str, ...]] = {
    "if": ("flux", "condition", "then", "else"),
    "while": ("flux", "condition", "do"),
    "run": ("flux", "steps"),
}


def _condition(where: str, text: object) -> str:
    if not isinstance(text, str):
        raise TypeError(f"{where}: condition must be str, got {type(text).__name__}")
    if "\0" in text:
        raise ValueError(f"{where}: condition {text!r} contains a NUL character")
    try:
        # The engine evaluates the same text as one expression.
        compile(text, "<condition>", "eval", dont_inherit=True)
    except SyntaxError as exc:
        detail = ("<condition>", exc.lineno, exc.offset, text, exc.end_lineno, exc.end_offset)
        raise SyntaxError(f"{where}: condition {text!r} is not an expression: {exc.msg}", detail) from None
    return text


def _steps(where: str, items: Iterable[StepLike]) -> tuple[AnyStep, ...]:
    if isinstance(items, (str, bytes, dict)):
        raise TypeError(f"{where} must be a sequence of steps, not a single {type(items).__name__}")
    try:
        listed = tuple(items)
    except TypeError:
        raise TypeError(f"{where} must be a sequence of steps, got {type(items).__name__}") from None
    out: list[AnyStep] = []
    for i, item in enumerate(listed):
        if isinstance(item, str):
            out.append(Step(name(f"{where}[{i}]", item)))
        elif isinstance(item, (Step, If, While, Run)):
            out.append(item)
        else:
            hint = "; Workflow.from_raw checks plain step dicts" if isinstance(item, dict) else ""
            raise TypeError(
                f"{where}[{i}] must be a process name or a Step, If, While or Run, "
                f"got {type(item).__name__}{hint}"
            )
    return tuple(out)


def _raw(steps: tuple[AnyStep, ...]) -> list[Any]:
    return [step.to_raw() for step in steps]


@frozen()
class Step:
    """Run the process registered under ``process``."""

    __slots__ = ("process",)
    process: str

    def __init__(self, process: str) -> None:
        object.__setattr__(self, "process", name("Step process", process))

    def to_raw(self) -> str:
        """The engine's plain form of this step: the process name."""
        return self.process


@frozen(init=False)
class If:
    """Run ``then`` when ``condition`` is true, else ``else_``."""

    __slots__ = ("condition", "then", "else_")
    condition: str
    then: tuple[AnyStep, ...]
    else_: tuple[AnyStep, ...]

    def __init__(self, condition: str, then: Iterable[StepLike] = (), else_: Iterable[StepLike] = ()) -> None:
        object.__setattr__(self, "condition", _condition("If", condition))
        object.__setattr__(self, "then", _steps("If then", then))
        object.__setattr__(self, "else_", _steps("If else_", else_))

    def to_raw(self) -> dict[str, Any]:
        """The engine's plain form of this step: a new ``"if"`` dict (no ``"else"`` key when ``else_`` is empty)."""
        raw: dict[str, Any] = {"flux": "if", "condition": self.condition, "then": _raw(self.then)}
        if self.else_:
            raw["else"] = _raw(self.else_)
        return raw


@frozen(init=False)
class While:
    """Run ``do`` while ``condition`` is true (the engine stops a loop after 10000 rounds)."""

    __slots__ = ("condition", "do")
    condition: str
    do: tuple[AnyStep, ...]

    def __init__(self, condition: str, do: Iterable[StepLike] = ()) -> None:
        object.__setattr__(self, "condition", _condition("While", condition))
        object.__setattr__(self, "do", _steps("While do", do))

    def to_raw(self) -> dict[str, Any]:
        """The engine's plain form of this step: a new ``"while"`` dict."""
        return {"flux": "while", "condition": self.condition, "do": _raw(self.do)}


@frozen(init=False)
class Run:
    """Run ``steps`` in order: a group of steps in one step."""

    __slots__ = ("steps",)
    steps: tuple[AnyStep, ...]

    def __init__(self, steps: Iterable[StepLike]) -> None:
        object.__setattr__(self, "steps", _steps("Run steps", steps))

    def to_raw(self) -> dict[str, Any]:
        """The engine's plain form of this step: a new ``"run"`` dict."""
        return {"flux": "run", "steps": _raw(self.steps)}


@frozen(init=False)
class Workflow:
    """A checked list of steps; :meth:`to_steps` gives the engine's plain form."""

    __slots__ = ("steps",)
    steps: tuple[AnyStep, ...]

    def __init__(self, steps: Iterable[StepLike]) -> None:
        object.__setattr__(self, "steps", _steps("Workflow steps", steps))

    def to_steps(self) -> list[Any]:
        """A new plain list for ``Engine.execute_workflow``."""
        return _raw(self.steps)

    def run(self, engine: Engine, /, **kwargs: Any) -> Any:
        """Run the steps on ``engine``, as ``engine.execute_workflow(self.to_steps(), **kwargs)``: returns its context."""
        return engine.execute_workflow(self.to_steps(), **kwargs)

    def to_mermaid(self) -> str:
        """A Mermaid flowchart of the steps (for a ```` ```mermaid ```` block)."""
        from .diagram import workflow_mermaid

        return workflow_mermaid(self)

    def to_dot(self) -> str:
        """A Graphviz digraph of the steps."""
        from .diagram import workflow_dot

        return workflow_dot(self)

    @classmethod
    def from_raw(cls, steps: object) -> Workflow:
        """Check a plain list of steps, as the engine would take it, and build its Workflow."""
        return cls(_raw_list("steps", steps))


# Made of the classes themselves: names in quotes would each be compiled at import.
AnyStep = Union[Step, If, While, Run]
StepLike = Union[str, AnyStep]


def _raw_list(where: str, items: object) -> list[AnyStep]:
    if not isinstance(items, list):
        hint = " (write [...])" if isinstance(items, tuple) else ""
        raise TypeError(f"{where}: the engine takes a list here, got {type(items).__name__}{hint}")
    return [_raw_step(f"{where}[{i}]", item) for i, item in enumerate(items)]


def _raw_step(where: str, raw: object) -> AnyStep:
    if isinstance(raw, str):
        return Step(name(where, raw))
    if not isinstance(raw, dict):
        raise TypeError(f"{where}: a step is a process name (str) or a dict, got {type(raw).__name__}")
    if "process" in raw:
        others = [key for key in raw if key != "process"]
        if others:
            raise ValueError(
                f"{where}: a step with 'process' runs that process and ignores {quoted(map(str, others))}"
            )
        return Step(name(f"{where}: 'process'", raw["process"]))
    if "flux" not in raw:
        hint = next(filter(None, (suggest(key, ("process", "flux")) for key in raw)), "")
        raise ValueError(f"{where}: a step dict needs 'process' or 'flux'{hint}")
    kind = raw["flux"]
    if not isinstance(kind, str):
        raise TypeError(f"{where}: 'flux' must be str, got {type(kind).__name__}")
    if kind not in _KINDS:
        raise ValueError(f"{where}: unknown flux kind {kind!r}{suggest(kind, _KINDS)} (known: {quoted(_KINDS)})")
    unknown_keys(where, raw, _KINDS[kind], f"the {kind!r} step")
    if kind == "run":
        return Run(_raw_list(f"{where}.steps", raw.get("steps", [])))
    if "condition" not in raw:
        raise ValueError(f"{where}: the {kind!r} step needs a 'condition' (without one the engine reads False)")
    condition = _condition(where, raw["condition"])
    if kind == "if":
        return If(condition, _raw_list(f"{where}.then", raw.get("then", [])),
                  _raw_list(f"{where}.else", raw.get("else", [])))
    return While(condition, _raw_list(f"{where}.do", raw.get("do", [])))
