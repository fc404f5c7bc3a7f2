"""One module's findings and suggested contracts, from its syntax tree."""

from __future__ import annotations

import ast
import builtins
from dataclasses import dataclass, field
from functools import lru_cache
from typing import Callable

from ..contracts import _path_problems
from . import _flows
from ._body import Access, Body, Raises
from ._module import Execution, ModuleIndex, builtin_exception, str_list
from ._paths import below, covers, covers_one, holds, how_covered, spell, suggested, unreachable_at


@lru_cache(maxsize=4096)
def _problems(path: str) -> tuple[str, ...]:
    """What looks mistyped in a declared path; shared by the many processes that declare it."""
    return ("an empty name, which @process refuses",) if not path else tuple(_path_problems(path))


# Raised by a process, these always pass the engine, declared or not.
ALWAYS = frozenset({"PermissionError", "ContractViolationError"})
_CONTROL_PLANE = frozenset({"META", "SIG", "CMD"})


@dataclass
class Raw:
    """A finding before it is placed in a file."""

    line: int
    col: int
    code: str
    message: str
    path: str | None = None


@dataclass
class Proposal:
    line: int
    process: str
    inputs: list[str]
    outputs: list[str]
    errors: list[str]
    complete: bool


@dataclass
class Result:
    findings: list[Raw] = field(default_factory=list)
    proposals: list[Proposal] = field(default_factory=list)


Suppressed = Callable[[int, str], bool]


@dataclass
class _Declared:
    role: str  # "inputs", "outputs", "errors"
    items: list[ast.Constant]

    @property
    def texts(self) -> list[str]:
        return [str(c.value) for c in self.items]


@dataclass
class _Process:
    fn: ast.FunctionDef | ast.AsyncFunctionDef
    call: ast.Call
    lists: dict[str, _Declared | None]  # None: not readable before the run


def check_tree(tree: ast.Module, suppressed: Suppressed) -> Result:
    result = Result()
    index = ModuleIndex.build(tree)

    def report(line: int, col: int, code: str, message: str, path: str | None = None) -> None:
        result.findings.append(Raw(line, col, code, message, path))

    processes = _processes(index, report)
    for proc in processes:
        try:
            _ProcessCheck(index, proc, report, suppressed, result).run()
        except RecursionError:
            fn = proc.fn
            report(fn.lineno, fn.col_offset, "KC408",
                   f"process {fn.name!r} is nested too deeply to follow: its body is not checked")
    try:
        _check_flows(index, processes, report)
    except RecursionError:
        report(1, 0, "KC408", "the module is nested too deeply to follow: its workflows and machines are not checked")
    return result


def _processes(index: ModuleIndex, report: Callable[..., None]) -> list[_Process]:
    found = []
    for node in index.defs:
        for decorator in node.decorator_list:
            if isinstance(decorator, ast.Call) and index.kestu_name(decorator.func) == "process":
                found.append(_Process(node, decorator, _contract(index, decorator, report)))
                break
    return found


def _contract(index: ModuleIndex, call: ast.Call, report: Callable[..., None]) -> dict[str, _Declared | None]:
    lists: dict[str, _Declared | None] = {"inputs": _Declared("inputs", []), "outputs": _Declared("outputs", []),
                                          "errors": _Declared("errors", [])}
    for kw in call.keywords:
        if kw.arg is None:
            report(kw.value.lineno, kw.value.col_offset, "KC404",
                   "the contract is given as **keywords: it is not known before the run")
            return {"inputs": None, "outputs": None, "errors": None}
        if kw.arg in lists:
            items = str_list(index, kw.value)
            if items is None:
                report(kw.value.lineno, kw.value.col_offset, "KC404",
                       f"{kw.arg} is not a literal list of strings: it is not known before the run")
                lists[kw.arg] = None
            else:
                lists[kw.arg] = _Declared(kw.arg, items)
    return lists


class _ProcessCheck:
    def __init__(self, index: ModuleIndex, proc: _Process, report: Callable[..., None], suppressed: Suppressed,
                 result: Result):
        self.index = index
        self.proc = proc
        self.report = report
        self.suppressed = suppressed
        self.result = result
        self.inputs = proc.lists["inputs"]
        self.outputs = proc.lists["outputs"]
        self.errors = proc.lists["errors"]
        self.left_out: set[int] = set()  # chains with a suppressed finding: the contract is meant without them
        self.reported: set[str] = set()  # declared paths with a finding already: one finding per mistake

    def run(self) -> None:
        fn = self.proc.fn
        positional = [*fn.args.posonlyargs, *fn.args.args]
        if id(fn) in self.index.methods and not any(
            isinstance(d, ast.Name) and d.id == "staticmethod" for d in fn.decorator_list
        ):
            positional = positional[1:]  # registered bound: the guard comes after self
        self._declarations()
        if not positional:
            if fn.args.vararg is None:
                self.report(fn.lineno, fn.col_offset, "KC105",
                            f"process {fn.name!r} takes no positional parameter: the engine passes the guard as one")
            else:
                self.report(fn.lineno, fn.col_offset, "KC404",
                            f"process {fn.name!r} takes the guard in *{fn.args.vararg.arg}: its accesses are not followed")
            return
        body = Body(fn, positional[0].arg, self.index, self.report)
        facts = body.run()
        raises = Raises(body, self.index, body.report).run(fn.body)
        self._accesses(facts.accesses)
        escaping = self._raises(raises)
        if not facts.unknown:  # what the checker could not follow may use any declared path
            self._unused(facts.accesses)
        self._propose(facts.accesses, escaping, complete=not facts.unknown)

    # -- the declared lists ------------------------------------------------------

    def _declarations(self) -> None:
        reads = [*(self.inputs.texts if self.inputs else []), *(self.outputs.texts if self.outputs else [])]
        for declared in (self.inputs, self.outputs):
            if declared is None:
                continue
            first: dict[str, int] = {}
            for i, node in enumerate(declared.items):
                text = str(node.value)
                problems = list(_problems(text))
                if text in first:
                    problems.append(f"the same path as {declared.role}[{first[text]}]")
                first.setdefault(text, i)
                if problems:
                    self._at(node, "KC208", f"{declared.role}[{i}] {text!r} looks wrong ({'; '.join(problems)})", text)
                    self.reported.add(text)
                    continue
                self._redundant(declared, text)
                blocked = unreachable_at(text, reads)
                if blocked is not None:
                    self.reported.add(text)
                    self._at(node, "KC203", f"{text!r} can never be reached: reading {blocked!r} is refused "
                             f"(a declared path opens the way to it only across '.'); declare {blocked!r}", text)
                root = text.split(".", 1)[0]
                if declared.role == "inputs" and root.upper() in _CONTROL_PLANE:
                    self._at(node, "KC207", f"input {text!r} is rooted at the control plane {root!r}: "
                             "strict mode refuses the whole run", text)
        if self.errors is not None:
            self._error_names(self.errors)

    def _redundant(self, declared: _Declared, text: str) -> None:
        # Within one list only: naming a path both as an input and as an
        # output says "read and written", a common and harmless style.
        for other in declared.texts:
            if len(other) < len(text) and _inside(other, text):
                noun = declared.role[:-1]
                self._at(declared.items[declared.texts.index(text)], "KC205",
                         f"{noun} {text!r} is already covered by {noun} {other!r}", text)
                return

    def _error_names(self, errors: _Declared) -> None:
        for node in errors.items:
            name = str(node.value)
            if name in ALWAYS:
                continue
            kind = self.index.exception_kind(name)
            if kind != "not":
                continue
            if name in self.index.classes:
                self._at(node, "KC204", f"errors names {name!r}, a class that is not an exception")
            else:
                self._at(node, "KC204", f"errors names {name!r}, which is no exception class visible from this "
                         f"module{self._close(name)}")

    def _close(self, name: str) -> str:
        choices = [*self.index.classes, *self.index.imports, *(n for n in dir(builtins) if builtin_exception(n))]
        return _did_you_mean(name, choices)

    def _at(self, node: ast.expr, code: str, message: str, path: str | None = None) -> None:
        self.report(node.lineno, node.col_offset, code, message, path)

    # -- the body ----------------------------------------------------------------

    def _accesses(self, accesses: list[Access]) -> None:
        if self.outputs is None:
            return
        outputs = self.outputs.texts
        readable = None if self.inputs is None else [*self.inputs.texts, *outputs]
        refused: set[int] = set()
        refused_paths: list[str] = []
        for access in accesses:
            # The guard stops a chain at its first refusal, and nothing is
            # reached through a value it refused to hand out.
            if access.chain in refused or any(_inside(r, access.text) for r in refused_paths):
                continue
            write = access.role == "write"
            allowed = outputs if write else readable
            if allowed is None:
                continue
            code = "KC102" if write else "KC101"
            which = "no output" if write else "no input or output"
            text = access.text
            if access.exact:
                how = how_covered(allowed, text)
                if how is None:
                    self._finding(access, code, f"{access.verb} {text!r}, which {which} covers", text)
                    refused.add(access.chain)
                    if not write:
                        refused_paths.append(text)
                elif how[1] == "ancestor" and access.role != "walk":
                    self._finding(access, "KC209", f"{access.verb} {text!r}, which only {how[0]!r} covers, as its "
                                  "ancestor: the contract names less than the body reaches", text)
                continue
            shown = spell(access.path)
            if holds(allowed, text):
                continue
            some = below(allowed, text)
            if some:
                listed = ", ".join(repr(d) for d in some[:3]) + (", ..." if len(some) > 3 else "")
                self._finding(access, "KC407", f"{access.verb} {shown!r} with a key known only at run time: "
                              f"only some keys are covered ({listed})", shown)
            else:
                self._finding(access, code, f"{access.verb} {shown!r}, which {which} covers, whatever the key",
                              shown)
                refused.add(access.chain)

    def _finding(self, access: Access, code: str, message: str, path: str) -> None:
        if self.suppressed(access.line, code):
            self.left_out.add(access.chain)
        self.report(access.line, access.col, code, message, path)

    def _raises(self, raises: list[tuple[str, int, int]]) -> list[str]:
        escaping: list[str] = []
        for name, line, col in raises:
            if name in ALWAYS or self.index.exception_kind(name) == "base":
                continue
            if self.errors is not None and name not in self.errors.texts:
                self.report(line, col, "KC103", f"raises {name}, which is not in errors")
                if self.suppressed(line, "KC103"):
                    continue
            if name not in escaping:
                escaping.append(name)
        return escaping

    def _unused(self, accesses: list[Access]) -> None:
        for declared in (self.inputs, self.outputs):
            if declared is None:
                continue
            for node in declared.items:
                text = str(node.value)
                if text in self.reported:
                    continue
                touching = [a for a in accesses if _touches(a, text)]
                noun = declared.role[:-1]
                if not touching:
                    self._at(node, "KC201", f"{noun} {text!r} is never used by the body", text)
                elif declared.role == "outputs" and not any(a.role == "write" for a in touching):
                    self._at(node, "KC202", f"output {text!r} is only read, never written: "
                             "as an input it could not be changed", text)

    # -- the smallest contract ---------------------------------------------------

    def _propose(self, accesses: list[Access], raised: list[str], complete: bool) -> None:
        kept = [a for a in accesses if a.chain not in self.left_out]
        writes = _shortest([_proposed(a) for a in kept if a.role == "write"])
        reads = [_proposed(a) for a in kept if a.role == "read"]
        walks = [_proposed(a) for a in kept if a.role == "walk"]
        inputs: list[str] = []
        for path in sorted(set(reads), key=len):
            if path and not any(_inside(d, path) for d in [*writes, *inputs]):
                inputs.append(path)
        for path in walks:
            if path and not covers([*writes, *inputs], path):
                inputs.append(path)
        complete = complete and all(_proposed(a) for a in kept)
        errors = [*raised, *(e for e in (self.errors.texts if self.errors else []) if e not in raised)]
        fn = self.proc.fn
        self.result.proposals.append(
            Proposal(fn.lineno, fn.name, sorted(_shortest(inputs)), sorted(writes), errors, complete)
        )


def _proposed(access: Access) -> str:
    path = suggested(access.path)
    return spell(path, access.role == "write" and len(path) == len(access.path))


def _inside(declared: str, path: str) -> bool:
    return declared == path or (len(declared) < len(path) and path[len(declared)] in ".[" and path.startswith(declared))


def _shortest(paths: list[str]) -> list[str]:
    kept: list[str] = []
    for path in sorted(set(paths), key=len):
        if path and not any(_inside(d, path) for d in kept):
            kept.append(path)
    return kept


def _touches(access: Access, declared: str) -> bool:
    path = access.text
    if not access.exact:
        return holds([declared], path) or bool(below([declared], path))
    if _inside(declared, path):
        return True
    return access.role != "walk" and covers_one(declared, path)


# -- workflows, machines and the keywords they pass ---------------------------------


def _check_flows(index: ModuleIndex, processes: list[_Process], report: Callable[..., None]) -> None:
    for condition in _flows.conditions(index):
        _flows.check_condition(condition, report)
    for graph in _flows.machines(index):
        _flows.check_machine(graph, report)
    by_name = _registered(index, processes)
    seen: set[int] = set()
    if by_name is not None:
        for steps in _all_flows(index):
            for step in steps:
                if id(step) in seen:
                    continue
                seen.add(id(step))
                if step.value not in by_name:
                    hint = _did_you_mean(str(step.value), list(by_name))
                    report(step.lineno, step.col_offset, "KC301",
                           f"step {step.value!r} names no process this module registers{hint}")
    functions = {p.fn.name: p.fn for p in processes}
    for execution in index.executions:
        names: list[str] = []
        if execution.steps is not None:
            names = [str(s.value) for s in _flows.workflow(index, execution.steps) or []]
            what = "this workflow run"
        elif isinstance(execution.process, ast.Constant) and isinstance(execution.process.value, str):
            names = [execution.process.value]
            what = "this call"
        checked: set[str] = set()
        for name in names:
            fn = by_name[name] if by_name is not None and name in by_name else functions.get(name)
            if fn is None or fn.name in checked:
                continue
            checked.add(fn.name)
            _signature(fn, execution, what, report)


Function = ast.FunctionDef | ast.AsyncFunctionDef


def _registered(index: ModuleIndex, processes: list[_Process]) -> dict[str, Function | None] | None:
    """The process names the module registers, with their functions when known; None when they cannot be listed."""
    if not index.registrations:
        return None
    functions = {p.fn.name: p.fn for p in processes}
    names: dict[str, Function | None] = {}
    for reg in index.registrations:
        if reg.name == "":
            return None
        if reg.name is None:
            names.update(functions)
            continue
        names[reg.name] = functions.get(reg.func) if reg.func else None
    return names


def _all_flows(index: ModuleIndex) -> list[_flows.Steps]:
    """Every workflow the module builds, and every plain list it gives execute_workflow."""
    found = []
    for node in index.calls:
        if not (isinstance(node.func, ast.Attribute) and node.func.attr == "to_steps"):
            found.append(_flows.workflow(index, node))
    for execution in index.executions:
        if execution.steps is not None and isinstance(index.literal(execution.steps), (ast.List, ast.Tuple)):
            found.append(_flows.workflow(index, execution.steps))
    return [steps for steps in found if steps is not None]


def _signature(fn: Function, execution: Execution, what: str, report: Callable[..., None]) -> None:
    args = fn.args
    positional = [*args.posonlyargs, *args.args]
    if not positional:
        return  # reported with the process
    guard = positional[0]
    named = {a.arg for a in [*args.args, *args.kwonlyargs]} - {guard.arg}
    for keyword, node in execution.keywords.items():
        if keyword == guard.arg and guard in args.args:
            report(node.lineno, node.col_offset, "KC105",
                   f"process {fn.name!r} gets the guard as {keyword!r}, and {what} passes {keyword!r} again")
        elif keyword not in named and args.kwarg is None:
            report(node.lineno, node.col_offset, "KC105",
                   f"process {fn.name!r} cannot take the keyword {keyword!r} that {what} passes")
    if execution.open:
        return
    required = [a.arg for a in positional[1:len(positional) - len(args.defaults)]]
    required += [a.arg for a, d in zip(args.kwonlyargs, args.kw_defaults) if d is None]
    for name in required:
        if name not in execution.keywords:
            call = execution.node
            report(call.lineno, call.col_offset, "KC105",
                   f"process {fn.name!r} needs the keyword {name!r}, which {what} does not pass")


def _did_you_mean(word: str, choices: list[str]) -> str:
    import difflib  # only when there is something to suggest

    close = difflib.get_close_matches(word, choices, n=1)
    return f"; did you mean {close[0]!r}?" if close else ""
