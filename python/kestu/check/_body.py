"""What one process body does through its context parameter.

The walk is flow-insensitive: a local name that every binding ties to the
same context path is an alias of it, and one tied to two different paths is
reported as unknown. Everything the guard would check is recorded as an
access, in the order of evaluation, with the chain it belongs to (the guard
stops a chain at its first refusal).
"""

from __future__ import annotations

import ast
from dataclasses import dataclass, field
from typing import Callable, Literal, Union

from ._module import ModuleIndex, builtin_exception, last_name
from ._paths import Path, Step, key_step, known, spell

Role = Literal["walk", "read", "write", "delete"]


class Ambiguous:
    """A value that is one context path on one way through the body and another on another."""


class Other:
    """A value that is no part of the context."""


AMBIGUOUS = Ambiguous()
OTHER = Other()
Value = Union[Path, None, Ambiguous]


def _inert(expr: ast.expr) -> bool:
    """A literal, such as the None or {} a name starts with: nothing is reached through it."""
    return isinstance(expr, (ast.Constant, ast.Dict, ast.List, ast.Tuple, ast.Set)) and all(
        isinstance(e, ast.Constant) for e in ast.walk(expr) if isinstance(e, ast.expr) and e is not expr
    )


def _join(values: list[Value | Other]) -> Value:
    """One place of the context, when every value that is one is the same; None when none is."""
    paths = {v for v in values if isinstance(v, tuple)}
    if any(isinstance(v, Ambiguous) for v in values) or len(paths) > 1:
        return AMBIGUOUS
    if paths:
        return AMBIGUOUS if any(isinstance(v, Other) for v in values) else paths.pop()
    return None
Report = Callable[[int, int, str, str], None]

# Methods whose call changes the container they are called on: a list or
# dict the process only reads comes back frozen, and refuses them.
MUTATORS = frozenset(
    "append extend insert remove clear sort reverse update setdefault popitem pop add discard "
    "__setitem__ __delitem__ __iadd__".split()
)
# Methods that read a container or a plain value, and run no code of the context's.
READERS = frozenset(
    """get keys values items copy count index __len__ __contains__ __getitem__ __iter__
    capitalize casefold center encode endswith expandtabs find format format_map isalnum isalpha
    isascii isdecimal isdigit isidentifier islower isnumeric isprintable isspace istitle isupper
    join ljust lower lstrip partition removeprefix removesuffix replace rfind rindex rjust
    rpartition rsplit rstrip split splitlines startswith strip swapcase title translate upper
    zfill decode hex fromhex as_integer_ratio bit_length bit_count conjugate is_integer real imag
    to_bytes isoformat strftime timestamp weekday isoweekday date time timetuple
    difference intersection union symmetric_difference isdisjoint issubset issuperset""".split()
)
# Built-ins that take a value and run none of its methods that could reach
# the context: passing the context itself to them is harmless.
INSPECTORS = frozenset("len isinstance issubclass print repr str id type hash bool callable format ascii".split())
# Built-ins that iterate what they get: the context's own items come back raw.
ITERATORS = frozenset(
    "list tuple set frozenset sorted sum min max any all enumerate zip iter next reversed map filter dict".split()
)


@dataclass(frozen=True)
class Access:
    path: Path
    role: Role
    line: int
    col: int
    chain: int
    verb: str  # "reads", "writes", "calls .append() on", ...
    exact: bool  # every step known before the run
    text: str  # the path the guard checks; when not exact, the part known before the run


@dataclass
class BodyFacts:
    accesses: list[Access] = field(default_factory=list)
    unknown: bool = False  # something the checker could not follow


def _pos_attr(node: ast.Attribute) -> tuple[int, int]:
    end_line = node.end_lineno or node.lineno
    end_col = node.end_col_offset if node.end_col_offset is not None else node.col_offset
    return end_line, max(end_col - len(node.attr), 0)


def _pos_subscript(node: ast.Subscript) -> tuple[int, int]:
    value = node.value
    line = value.end_lineno or node.lineno
    col = value.end_col_offset if value.end_col_offset is not None else node.col_offset
    return line, col


def _literal(expr: ast.expr) -> tuple[bool, object]:
    try:
        return True, ast.literal_eval(expr)
    except (ValueError, TypeError, SyntaxError, MemoryError, RecursionError):
        return False, None


def _keeps(escape: str) -> bool:
    """Whether a function that holds the context may outlive the run, going where ``escape`` says."""
    return not escape.startswith(("iterates", "gives the context to"))


class Body:
    def __init__(self, fn: ast.FunctionDef | ast.AsyncFunctionDef, ctx: str, index: ModuleIndex, report: Report):
        self.fn = fn
        self.index = index
        self._report = report
        self.facts = BodyFacts()
        self.bindings: dict[str, list[tuple[str, ast.expr | None]]] = {}
        self.bare_uses: set[str] = set()  # names used other than as the base of an access
        self.cache: dict[str, Value] = {}
        self.ambiguous_seen: set[tuple[str, int]] = set()
        self.outer: set[str] = set()  # global and nonlocal names: a value stored there outlives the run
        self.functions: dict[str, ast.FunctionDef | ast.AsyncFunctionDef] = {}
        self._bases: set[int] = set()
        self._bind_arguments(fn.args, root=ctx)
        # Breadth first: an access is met before the name at its base.
        for stmt in fn.body:
            for node in ast.walk(stmt):
                self._collect(node)

    # -- bindings ----------------------------------------------------------------

    def _bind(self, name: str, kind: str, expr: ast.expr | None = None) -> None:
        self.bindings.setdefault(name, []).append((kind, expr))

    def _bind_arguments(self, args: ast.arguments, root: str | None = None) -> None:
        for arg in [*args.posonlyargs, *args.args, *args.kwonlyargs]:
            self._bind(arg.arg, "root" if arg.arg == root else "other")
        for extra in (args.vararg, args.kwarg):
            if extra is not None:
                self._bind(extra.arg, "other")

    def _bind_target(self, target: ast.expr, kind: str, expr: ast.expr | None) -> None:
        if isinstance(target, ast.Name):
            self._bind(target.id, kind, expr)
        elif isinstance(target, (ast.Tuple, ast.List)):
            if (
                kind == "value"
                and isinstance(expr, (ast.Tuple, ast.List))
                and len(expr.elts) == len(target.elts)
                and not any(isinstance(e, ast.Starred) for e in [*expr.elts, *target.elts])
            ):
                for sub, value in zip(target.elts, expr.elts):
                    self._bind_target(sub, "value", value)
            else:
                for sub in target.elts:
                    self._bind_target(sub, "element" if kind in ("value", "element") else "other", expr)
        elif isinstance(target, ast.Starred):
            self._bind_target(target.value, "other", None)

    def _bind_loop(self, target: ast.expr, iterable: ast.expr) -> None:
        if isinstance(iterable, ast.Call) and isinstance(target, ast.Tuple) and len(target.elts) == 2:
            func = iterable.func
            if isinstance(func, ast.Name) and func.id == "enumerate" and iterable.args:
                self._bind_target(target.elts[0], "other", None)
                self._bind_target(target.elts[1], "element", iterable.args[0])
                return
            if isinstance(func, ast.Attribute) and func.attr == "items" and not iterable.args:
                self._bind_target(target.elts[0], "other", None)
                self._bind_target(target.elts[1], "element", func.value)
                return
        self._bind_target(target, "element", iterable)

    def _collect(self, node: ast.AST) -> None:
        if isinstance(node, ast.Assign):
            for target in node.targets:
                self._bind_target(target, "value", node.value)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            self._bind(node.target.id, "value" if node.value is not None else "other", node.value)
        elif isinstance(node, ast.NamedExpr):
            self._bind(node.target.id, "value", node.value)
        elif isinstance(node, ast.AugAssign) and isinstance(node.target, ast.Name):
            self._bind(node.target.id, "other")
        elif isinstance(node, (ast.For, ast.AsyncFor, ast.comprehension)):
            self._bind_loop(node.target, node.iter)
        elif isinstance(node, (ast.With, ast.AsyncWith)):
            for item in node.items:
                if item.optional_vars is not None:
                    self._bind_target(item.optional_vars, "other", None)
        elif isinstance(node, ast.ExceptHandler) and node.name:
            self._bind(node.name, "other")
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            for alias in node.names:
                self._bind((alias.asname or alias.name).split(".")[0], "other")
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            self._bind(node.name, "other")
            if not isinstance(node, ast.ClassDef):
                self._bind_arguments(node.args)
                self.functions[node.name] = node
        elif isinstance(node, ast.Lambda):
            self._bind_arguments(node.args)
        elif isinstance(node, (ast.Global, ast.Nonlocal)):
            for name in node.names:
                self._bind(name, "other")
                self.outer.add(name)
        elif isinstance(node, (ast.Attribute, ast.Subscript)):
            self._bases.add(id(node.value))
        elif isinstance(node, ast.Name) and isinstance(node.ctx, ast.Load) and id(node) not in self._bases:
            self.bare_uses.add(node.id)

    def resolve(self, name: str) -> Value:
        if name in self.cache:
            return self.cache[name]
        self.cache[name] = None  # first as if a binding through the name itself added nothing
        result = _join([self._binding(kind, expr) for kind, expr in self.bindings.get(name, [])])
        if isinstance(result, tuple):
            # Bound through itself (`x = x.next`), a name is another place on each round.
            self.cache[name] = result
            if _join([self._binding(kind, expr) for kind, expr in self.bindings[name]]) != result:
                result = AMBIGUOUS
        self.cache[name] = result
        return result

    def _binding(self, kind: str, expr: ast.expr | None) -> Value | Other:
        if kind == "root":
            return ()
        if expr is None or kind == "other":
            return OTHER
        if _inert(expr):
            return None
        value = self.value_of(expr)
        if kind == "element" and isinstance(value, tuple):
            return value + (("dynamic", "*"),)
        return OTHER if value is None else value

    def value_of(self, expr: ast.expr) -> Value:
        """The context path ``expr`` evaluates to, without recording anything."""
        if isinstance(expr, ast.Name):
            return self.resolve(expr.id)
        if isinstance(expr, ast.Attribute):
            if expr.attr.startswith("_"):
                return None  # the guard's own members, or a private name: not a guarded path
            base = self.value_of(expr.value)
            return base + (("name", expr.attr),) if isinstance(base, tuple) else base
        if isinstance(expr, ast.Subscript):
            base = self.value_of(expr.value)
            if not isinstance(base, tuple):
                return base
            step = self._key(expr.slice)
            return base if step is None else base + (step,)
        if isinstance(expr, ast.Call):
            func = expr.func
            if isinstance(func, ast.Attribute) and func.attr in ("get", "pop", "setdefault") and expr.args:
                base = self.value_of(func.value)
                if isinstance(base, tuple) and base:
                    step = self._key(expr.args[0])
                    return base if step is None else base + (step,)
                return None if not isinstance(base, Ambiguous) else base
            if isinstance(func, ast.Name) and func.id == "getattr" and len(expr.args) >= 2:
                base = self.value_of(expr.args[0])
                name = expr.args[1]
                if isinstance(base, tuple) and isinstance(name, ast.Constant) and isinstance(name.value, str):
                    return None if name.value.startswith("_") else base + (("name", name.value),)
            return None
        if isinstance(expr, (ast.IfExp, ast.BoolOp)):
            branches = [expr.body, expr.orelse] if isinstance(expr, ast.IfExp) else expr.values
            return _join([self._binding("value", b) for b in branches])
        if isinstance(expr, ast.NamedExpr):
            return self.value_of(expr.value)
        return None

    def _key(self, key: ast.expr) -> Step | None:
        """The step of a subscript; None for a slice (it reads the container itself)."""
        if isinstance(key, ast.Slice):
            return None
        ok, value = _literal(key)
        if ok:
            return key_step(value)
        return ("dynamic", ast.unparse(key))

    # -- findings ----------------------------------------------------------------

    def report(self, line: int, col: int, code: str, message: str) -> None:
        if code.startswith("KC4"):
            self.facts.unknown = True
        self._report(line, col, code, message)

    def _add(self, path: Path, role: Role, line: int, col: int, chain: int, verb: str) -> None:
        n = known(path)
        exact = n == len(path)
        text = spell(path, role == "write") if exact else spell(path[:n])
        self.facts.accesses.append(Access(path, role, line, col, chain, verb, exact, text))

    def _ambiguous(self, expr: ast.expr) -> None:
        name = expr
        while isinstance(name, (ast.Attribute, ast.Subscript)):
            name = name.value
        if isinstance(name, ast.Call):
            name = name.func
        label = name.id if isinstance(name, ast.Name) else ast.unparse(expr)
        if (label, expr.lineno) in self.ambiguous_seen:
            return
        self.ambiguous_seen.add((label, expr.lineno))
        self.report(
            expr.lineno, expr.col_offset, "KC406",
            f"{label!r} is a different part of the context on different ways through the body; "
            "what is reached through it here is not known",
        )

    # -- the walk ----------------------------------------------------------------

    def run(self) -> BodyFacts:
        for stmt in self.fn.body:
            self.stmt(stmt)
        return self.facts

    def stmts(self, body: list[ast.stmt]) -> None:
        for stmt in body:
            self.stmt(stmt)

    def stmt(self, node: ast.stmt) -> None:
        if isinstance(node, (ast.Assign, ast.AnnAssign)):
            targets: list[ast.expr] = list(node.targets) if isinstance(node, ast.Assign) else [node.target]
            if node.value is not None:
                self._assigned(node.value, targets)
            for target in targets:
                self.target(target)
        elif isinstance(node, ast.AugAssign):
            self.expr(node.value)
            if isinstance(node.target, (ast.Attribute, ast.Subscript)):
                chain = id(node)
                self.expr(node.target, "read", chain=chain)
                self.expr(node.target, "write", chain=chain, walked=True)
            else:
                self.target(node.target)
        elif isinstance(node, ast.Delete):
            for target in node.targets:
                self.expr(target, "delete")
        elif isinstance(node, ast.Return):
            if node.value is not None:
                self.expr(node.value, escape="returns the context")
        elif isinstance(node, (ast.For, ast.AsyncFor)):
            self.expr(node.iter, escape="iterates the context itself, whose items come back unchecked")
            self.target(node.target)
            self.stmts(node.body)
            self.stmts(node.orelse)
        elif isinstance(node, ast.Expr):
            if not isinstance(node.value, ast.Name):
                self.expr(node.value)
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            for default in [*node.args.defaults, *[d for d in node.args.kw_defaults if d is not None]]:
                self.expr(default, escape="stores the context in a default value")
            self.stmts(node.body)
        elif isinstance(node, ast.Raise):
            for part in (node.exc, node.cause):
                if part is not None:
                    self.expr(part, escape="passes the context to an exception")
        else:
            for child in ast.iter_child_nodes(node):
                if isinstance(child, ast.stmt):
                    self.stmt(child)
                elif isinstance(child, ast.expr):
                    self.expr(child)
                elif isinstance(child, (ast.ExceptHandler, ast.match_case)):
                    for inner in ast.iter_child_nodes(child):
                        if isinstance(inner, ast.stmt):
                            self.stmt(inner)
                        elif isinstance(inner, ast.expr):
                            self.expr(inner)
                elif isinstance(child, ast.withitem):
                    self.expr(child.context_expr)
                    if child.optional_vars is not None:
                        self.target(child.optional_vars)

    def _assigned(self, value: ast.expr, targets: list[ast.expr]) -> None:
        if all(isinstance(t, ast.Name) and t.id not in self.outer for t in targets):
            # A local name: read in full only when the name is used as a value itself.
            base_only = all(isinstance(t, ast.Name) and t.id not in self.bare_uses for t in targets)
            self.expr(value, "walk" if base_only else "read")
        else:
            stores_out = any(self._outside(t) for t in targets)
            self.expr(value, escape="stores the context where it outlives the run" if stores_out else None)

    def _closes_over(self, function: ast.AST) -> bool:
        """Whether a function defined in the body reaches the context through a name of the body."""
        return any(isinstance(n, ast.Name) and isinstance(self.resolve(n.id), tuple) for n in ast.walk(function))

    def _outside(self, target: ast.expr) -> bool:
        """Whether a store into ``target`` puts a value outside the context (and outside locals)."""
        if isinstance(target, ast.Name):
            return target.id in self.outer
        if isinstance(target, (ast.Attribute, ast.Subscript)):
            return not isinstance(self.value_of(target.value), tuple)
        if isinstance(target, (ast.Tuple, ast.List)):
            return any(self._outside(t) for t in target.elts)
        if isinstance(target, ast.Starred):
            return self._outside(target.value)
        return False

    def target(self, target: ast.expr) -> None:
        if isinstance(target, (ast.Attribute, ast.Subscript)):
            self.expr(target, "write")
        elif isinstance(target, (ast.Tuple, ast.List)):
            for sub in target.elts:
                self.target(sub)
        elif isinstance(target, ast.Starred):
            self.target(target.value)

    def expr(
        self, node: ast.expr, role: Role = "read", *, escape: str | None = None, chain: int | None = None,
        walked: bool = False,
    ) -> None:
        """Record what evaluating ``node`` (or storing into it) asks of the guard.

        ``escape`` says what it means when ``node`` is the context itself,
        where the checker cannot follow it; ``walked`` skips the way down,
        already recorded for the same chain.
        """
        if isinstance(node, ast.Attribute):
            self._attribute(node, role, chain, walked)
        elif isinstance(node, ast.Subscript):
            self._subscript(node, role, chain, walked)
        elif isinstance(node, ast.Call):
            self._call(node)
        elif isinstance(node, ast.Name):
            if escape is None:
                return
            if self.resolve(node.id) == ():
                self.report(node.lineno, node.col_offset, "KC401", f"{escape}: what happens through it is not seen")
            elif _keeps(escape) and node.id in self.functions and self._closes_over(self.functions[node.id]):
                self.report(node.lineno, node.col_offset, "KC401",
                            f"{escape}, held by {node.id}(), which may run after the process returned")
        elif isinstance(node, (ast.List, ast.Tuple, ast.Set)):
            for elt in node.elts:
                self.expr(elt, escape=escape)
        elif isinstance(node, ast.Dict):
            for key in node.keys:
                if key is not None:
                    self.expr(key)
            for item in node.values:
                self.expr(item, escape=escape)
        elif isinstance(node, ast.Starred):
            self.expr(node.value, escape=escape)
        elif isinstance(node, (ast.IfExp, ast.BoolOp, ast.NamedExpr)):
            for child in ast.iter_child_nodes(node):
                if isinstance(child, ast.expr):
                    self.expr(child, escape=escape if child is not getattr(node, "test", None) else None)
        elif isinstance(node, (ast.ListComp, ast.SetComp, ast.GeneratorExp, ast.DictComp)):
            for gen in node.generators:
                self.expr(gen.iter, escape="iterates the context itself, whose items come back unchecked")
                for cond in gen.ifs:
                    self.expr(cond)
            for part in ([node.key, node.value] if isinstance(node, ast.DictComp) else [node.elt]):
                self.expr(part, escape=escape)
        elif isinstance(node, ast.Lambda):
            if escape is not None and _keeps(escape) and self._closes_over(node):
                self.report(node.lineno, node.col_offset, "KC401",
                            f"{escape}, held by a lambda, which may run after the process returned")
            self.expr(node.body, escape="returns the context from a function")
        elif isinstance(node, (ast.Yield, ast.YieldFrom)):
            if node.value is not None:
                self.expr(node.value, escape="yields the context")
        elif isinstance(node, ast.Await):
            self.expr(node.value, escape=escape)
        else:
            for child in ast.iter_child_nodes(node):
                if isinstance(child, ast.expr):
                    self.expr(child)
                elif isinstance(child, ast.comprehension):
                    self.expr(child.iter)

    def _attribute(self, node: ast.Attribute, role: Role, chain: int | None, walked: bool) -> None:
        base = self.value_of(node.value)
        if isinstance(base, Ambiguous):
            self._ambiguous(node)
            self.expr(node.value, "walk")
            return
        if base is None:
            self.expr(node.value)
            return
        chain = id(node) if chain is None else chain
        if not walked:
            self.expr(node.value, "walk", chain=chain)
        line, col = _pos_attr(node)
        attr = node.attr
        if attr.startswith("__") and attr.endswith("__"):
            return  # the guard's own (or object's) member
        if attr == "_target":
            self.report(line, col, "KC401", f"{spell(base + (('name', attr),))!r} is the object the guard wraps: "
                        "nothing done through it is checked")
            return
        path = base + (("name", attr),)
        if role == "delete":
            self.report(line, col, "KC104", f"deletes {spell(path)!r} through the guard, which always refuses "
                        "(AttributeError: can't delete attribute)")
            return
        if attr.startswith("_") and role in ("read", "walk"):
            self.report(line, col, "KC206", f"reads the private name {spell(path)!r}: refused in strict mode, "
                        "and neither checked nor wrapped otherwise")
            return
        self._add(path, role, line, col, chain, "writes" if role == "write" else "reads")

    def _subscript(self, node: ast.Subscript, role: Role, chain: int | None, walked: bool) -> None:
        base = self.value_of(node.value)
        if not isinstance(base, tuple):
            if isinstance(base, Ambiguous):
                self._ambiguous(node)
            self.expr(node.value, "walk")
            self.expr(node.slice)
            return
        chain = id(node) if chain is None else chain
        step = self._key(node.slice)
        line, col = _pos_subscript(node)
        if step is None:  # a slice: the container itself
            self.expr(node.value, "write" if role in ("write", "delete") else "read", chain=chain, walked=walked)
            if not walked:
                self.expr(node.slice)
            return
        if not walked:  # the container first, then the key, as Python evaluates them
            self.expr(node.value, "walk", chain=chain)
            self.expr(node.slice)
        path = base + (step,)
        if role == "delete":
            if not base:
                self.report(line, col, "KC104", f"deletes {spell(path)!r} through the guard, which always refuses "
                            "(NotImplementedError: can't delete item)")
                return
            role = "write"  # a dict's item; the guard itself refuses, a tracked dict records it
        self._add(path, role, line, col, chain, "writes" if role == "write" else "reads")

    def _call(self, node: ast.Call) -> None:
        func = node.func
        arg_escape = f"passes the context to {ast.unparse(func)}()"
        if isinstance(func, ast.Attribute):
            base = self.value_of(func.value)
            if isinstance(base, tuple) and not func.attr.startswith("_"):
                self._method(node, func, base)
                self._arguments(node, arg_escape)
                return
            self.expr(func)
        elif isinstance(func, ast.Name):
            name = func.id
            if name in ("getattr", "setattr", "hasattr", "delattr") and len(node.args) >= 2 and name not in self.bindings:
                self._by_name(node, name)
                return
            if name in INSPECTORS and name not in self.bindings:
                arg_escape = ""
            elif name in ITERATORS and name not in self.bindings:
                arg_escape = f"gives the context to {name}(), which iterates it: its items come back unchecked"
        else:
            self.expr(func)
        self._arguments(node, arg_escape or None)

    def _arguments(self, node: ast.Call, escape: str | None) -> None:
        for arg in node.args:
            self.expr(arg, escape=escape)
        for kw in node.keywords:
            self.expr(kw.value, escape=escape)

    def _method(self, node: ast.Call, func: ast.Attribute, base: Path) -> None:
        method = func.attr
        line, col = _pos_attr(func)
        chain = id(node)
        if not base:
            pass  # a method found on the context object itself
        elif method in ("get", "pop", "setdefault") and node.args:
            step = self._key(node.args[0])
            path = base if step is None else base + (step,)
            self.expr(func.value, "walk", chain=chain)
            if method == "get":
                self._add(path, "read", line, col, chain, "reads")
            else:
                self._add(path, "write", line, col, chain, f"calls .{method}() for")
            return
        elif method in MUTATORS:
            self.expr(func.value, "walk", chain=chain)
            self._add(base, "write", line, col, chain, f"calls .{method}() on")
            return
        elif method in READERS:
            self.expr(func.value, "read", chain=chain)
            return
        self.expr(func.value, "walk", chain=chain)
        path = base + (("name", method),)
        self._add(path, "read", line, col, chain, "reads")
        self.report(line, col, "KC403", f"calls {spell(path)}(): what a method of the context does is not seen")

    def _by_name(self, node: ast.Call, builtin: str) -> None:
        target, name = node.args[0], node.args[1]
        base = self.value_of(target)
        rest = node.args[2:]
        if not isinstance(base, tuple):
            if isinstance(base, Ambiguous):
                self._ambiguous(target)
            self._arguments(node, None)
            return
        self.expr(name)
        chain = id(node)
        self.expr(target, "walk", chain=chain)
        if not (isinstance(name, ast.Constant) and isinstance(name.value, str)):
            self.report(node.lineno, node.col_offset, "KC402",
                        f"{builtin}() with a name computed at run time: what it reaches is not known")
            for arg in rest:
                self.expr(arg, escape="stores the context")
            return
        path = base + (("name", name.value),)
        role: Role = "write" if builtin == "setattr" else "delete" if builtin == "delattr" else "read"
        line, col = name.lineno, name.col_offset
        if role == "delete":
            self.report(line, col, "KC104", f"deletes {spell(path)!r} through the guard, which always refuses "
                        "(AttributeError: can't delete attribute)")
        elif name.value.startswith("_") and role == "read":
            if not (name.value.startswith("__") and name.value.endswith("__")):
                self.report(line, col, "KC206", f"reads the private name {spell(path)!r}: refused in strict mode, "
                            "and neither checked nor wrapped otherwise")
        else:
            self._add(path, role, line, col, chain, "writes" if role == "write" else "reads")
        for arg in rest:
            self.expr(arg)


# -- raises --------------------------------------------------------------------


class Raises:
    """The classes a body's ``raise`` statements let out, by name."""

    def __init__(self, body: Body, index: ModuleIndex, report: Report):
        self.body = body
        self.index = index
        self.report = report
        self.out: list[tuple[str, int, int]] = []

    def run(self, stmts: list[ast.stmt]) -> list[tuple[str, int, int]]:
        self._stmts(stmts, [], [], {})
        return self.out

    def _stmts(self, stmts: list[ast.stmt], tries: list[ast.Try | ast.TryStar], handled: list[str],
               caught_as: dict[str, list[str] | None]) -> None:
        """``handled``: what a bare ``raise`` re-raises here; ``caught_as``: what ``except ... as name`` caught."""
        for stmt in stmts:
            if isinstance(stmt, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
                continue  # runs when called, maybe elsewhere
            if isinstance(stmt, ast.Raise):
                self._raise(stmt, tries, handled, caught_as)
            elif isinstance(stmt, (ast.Try, ast.TryStar)):
                self._stmts(stmt.body, [*tries, stmt], handled, caught_as)
                for handler in stmt.handlers:
                    names = _handler_names(handler)
                    inner = {**caught_as, handler.name: names} if handler.name else caught_as
                    self._stmts(handler.body, tries, names or [], inner)
                self._stmts(stmt.orelse, tries, handled, caught_as)
                self._stmts(stmt.finalbody, tries, handled, caught_as)
            else:
                for name in ("body", "orelse", "finalbody"):
                    inner_stmts = getattr(stmt, name, None)
                    if isinstance(inner_stmts, list):
                        self._stmts(inner_stmts, tries, handled, caught_as)
                if isinstance(stmt, ast.Match):
                    for case in stmt.cases:
                        self._stmts(case.body, tries, handled, caught_as)

    def _raise(self, stmt: ast.Raise, tries: list[ast.Try | ast.TryStar], handled: list[str],
               caught_as: dict[str, list[str] | None]) -> None:
        exc = stmt.exc
        if exc is None:
            names = handled  # nothing when the handler caught anything: what it was is not known
        else:
            target = exc.func if isinstance(exc, ast.Call) else exc
            found = self._class_of(target, caught_as)
            if found is None:
                self.report(stmt.lineno, stmt.col_offset, "KC405",
                            f"raises {ast.unparse(exc)}, whose class is not known before the run")
                return
            names = found
        for name in names:
            if not any(self._caught(name, t) for t in tries):
                self.out.append((name, stmt.lineno, stmt.col_offset))

    def _class_of(self, target: ast.expr, caught_as: dict[str, list[str] | None]) -> list[str] | None:
        """The class names ``raise target`` (or ``raise target(...)``) raises, when they are known."""
        if isinstance(target, ast.Attribute):
            return [target.attr]  # module.Error
        if not isinstance(target, ast.Name):
            return None
        name = target.id
        if name in self.body.bindings:
            return caught_as.get(name)  # `except Error as exc: raise exc`
        if name in self.index.classes or name in self.index.imports or builtin_exception(name) is not None:
            return [name]
        # A name from an enclosing function, a module-level instance, a factory.
        return None

    def _caught(self, name: str, try_node: ast.Try | ast.TryStar) -> bool:
        for handler in try_node.handlers:
            names = _handler_names(handler)
            if names is None or any(self.index.is_subclass(name, caught) for caught in names):
                return True
        return False


def _handler_names(handler: ast.ExceptHandler) -> list[str] | None:
    """The class names an ``except`` clause catches; None when it catches anything."""
    if handler.type is None:
        return None
    kinds = handler.type.elts if isinstance(handler.type, ast.Tuple) else [handler.type]
    names = [n for n in (last_name(k) for k in kinds) if n]
    if any(n in ("BaseException",) for n in names):
        return None
    return names
