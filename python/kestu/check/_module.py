"""What a module declares at its top level, read from its syntax tree alone."""

from __future__ import annotations

import ast
import builtins
from dataclasses import dataclass, field

# Where kestu's own names may be imported from; a relative import stands for
# a module inside the kestu package itself.
_KESTU_MODULES = frozenset({"kestu", "kestu.contracts", "kestu.workflow", "kestu.machine"})
_RELATIVE_MODULES = frozenset({"", "contracts", "workflow", "machine"})
KESTU_NAMES = frozenset({"process", "Workflow", "Step", "If", "While", "Run", "Machine", "State"})


def builtin_exception(name: str) -> type[BaseException] | None:
    value = getattr(builtins, name, None)
    return value if isinstance(value, type) and issubclass(value, BaseException) else None


@dataclass
class Registration:
    node: ast.Call
    name: str | None  # None: by the function's own __name__
    func: str | None  # the function's name in this module, when it is one


@dataclass
class Execution:
    node: ast.Call
    steps: ast.expr | None  # execute_workflow's list; None for execute_process
    process: ast.expr | None  # execute_process's name
    keywords: dict[str, ast.keyword]
    open: bool  # a **mapping adds keywords nobody can list


@dataclass
class ModuleIndex:
    tree: ast.Module
    imports: dict[str, tuple[str, str]] = field(default_factory=dict)  # local -> (module, name); name "" for a module
    star_kestu: bool = False
    classes: dict[str, ast.ClassDef] = field(default_factory=dict)
    constants: dict[str, ast.expr] = field(default_factory=dict)
    registrations: list[Registration] = field(default_factory=list)
    executions: list[Execution] = field(default_factory=list)
    # Every call, function and dict of the module, from one walk of its tree.
    calls: list[ast.Call] = field(default_factory=list)
    defs: list[ast.FunctionDef | ast.AsyncFunctionDef] = field(default_factory=list)
    dicts: list[ast.Dict] = field(default_factory=list)
    methods: set[int] = field(default_factory=set)  # functions defined directly in a class body

    @classmethod
    def build(cls, tree: ast.Module) -> ModuleIndex:
        index = cls(tree)
        for stmt in tree.body:
            index._top(stmt)
        for node in ast.walk(tree):
            if isinstance(node, ast.Call):
                index.calls.append(node)
                if isinstance(node.func, ast.Attribute):
                    index._call(node, node.func.attr)
            elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                index.defs.append(node)
            elif isinstance(node, ast.ClassDef):
                index.methods.update(id(s) for s in node.body if isinstance(s, (ast.FunctionDef, ast.AsyncFunctionDef)))
            elif isinstance(node, ast.Dict):
                index.dicts.append(node)
        return index

    def _top(self, stmt: ast.stmt) -> None:
        if isinstance(stmt, ast.Import):
            for alias in stmt.names:
                if alias.asname:
                    self.imports[alias.asname] = (alias.name, "")
                else:
                    root = alias.name.split(".")[0]
                    self.imports[root] = (root, "")
        elif isinstance(stmt, ast.ImportFrom):
            module = "." * stmt.level + (stmt.module or "")
            for alias in stmt.names:
                if alias.name == "*":
                    self.star_kestu = self.star_kestu or _is_kestu_module(module)
                else:
                    self.imports[alias.asname or alias.name] = (module, alias.name)
        elif isinstance(stmt, ast.ClassDef):
            self.classes[stmt.name] = stmt
        elif isinstance(stmt, ast.Assign) and len(stmt.targets) == 1 and isinstance(stmt.targets[0], ast.Name):
            self.constants[stmt.targets[0].id] = stmt.value
        elif isinstance(stmt, ast.AnnAssign) and stmt.value is not None and isinstance(stmt.target, ast.Name):
            self.constants[stmt.target.id] = stmt.value
        elif isinstance(stmt, (ast.If, ast.Try)):
            # Definitions guarded by `if TYPE_CHECKING` or `try: import` count too.
            for inner in ast.iter_child_nodes(stmt):
                if isinstance(inner, ast.stmt):
                    self._top(inner)
                elif isinstance(inner, ast.ExceptHandler):
                    for handled in inner.body:
                        self._top(handled)

    def _call(self, node: ast.Call, method: str) -> None:
        if method == "register_process" and len(node.args) == 2:
            name_arg, func_arg = node.args
            func = func_arg.id if isinstance(func_arg, ast.Name) else None
            if isinstance(name_arg, ast.Constant) and isinstance(name_arg.value, str):
                self.registrations.append(Registration(node, name_arg.value, func))
            elif isinstance(name_arg, ast.Attribute) and name_arg.attr == "__name__":
                self.registrations.append(Registration(node, None, func))
            else:
                self.registrations.append(Registration(node, "", func))  # a name nobody can know
        elif method in ("execute_workflow", "execute_process") and node.args:
            keywords = {kw.arg: kw for kw in node.keywords if kw.arg is not None}
            is_open = any(kw.arg is None for kw in node.keywords) or any(isinstance(a, ast.Starred) for a in node.args)
            if method == "execute_workflow":
                self.executions.append(Execution(node, node.args[0], None, keywords, is_open))
            else:
                self.executions.append(Execution(node, None, node.args[0], keywords, is_open))

    # -- names -----------------------------------------------------------------

    def kestu_name(self, expr: ast.expr) -> str | None:
        """The kestu name (``process``, ``Workflow``, ...) that ``expr`` refers to, if any."""
        if isinstance(expr, ast.Name):
            origin = self.imports.get(expr.id)
            if origin is None:
                return expr.id if self.star_kestu and expr.id in KESTU_NAMES else None
            module, name = origin
            return name if name in KESTU_NAMES and _is_kestu_module(module) else None
        if isinstance(expr, ast.Attribute) and expr.attr in KESTU_NAMES:
            dotted = _dotted(expr.value)
            if dotted is None:
                return None
            root, _, rest = dotted.partition(".")
            origin = self.imports.get(root)
            if origin is None or origin[1]:
                return None
            module = origin[0] + ("." + rest if rest else "")
            return expr.attr if _is_kestu_module(module) else None
        return None

    def class_bases(self, name: str) -> list[str]:
        node = self.classes.get(name)
        if node is None:
            return []
        return [b for b in (last_name(base) for base in node.bases) if b]

    def exception_kind(self, name: str, seen: frozenset[str] = frozenset()) -> str:
        """"exception", "base" (a BaseException that is no Exception), "not" or "unknown"."""
        if name in self.classes and name not in seen:
            kinds = [self.exception_kind(b, seen | {name}) for b in self.class_bases(name)]
            for kind in ("exception", "base", "unknown"):
                if kind in kinds:
                    return kind
            return "not"
        if name in self.imports:
            return "unknown"
        builtin = builtin_exception(name)
        if builtin is not None:
            return "exception" if issubclass(builtin, Exception) else "base"
        return "unknown" if name in self.classes else "not"

    def is_subclass(self, name: str, base: str, seen: frozenset[str] = frozenset()) -> bool:
        if name == base:
            return True
        if name in self.classes and name not in seen:
            return any(self.is_subclass(b, base, seen | {name}) for b in self.class_bases(name))
        low, high = builtin_exception(name), builtin_exception(base)
        return low is not None and high is not None and issubclass(low, high)

    def literal(self, expr: ast.expr) -> ast.expr:
        """A module-level name followed to the expression it was assigned, once."""
        if isinstance(expr, ast.Name) and expr.id in self.constants:
            return self.constants[expr.id]
        return expr


def _is_kestu_module(module: str) -> bool:
    if module.startswith("."):
        return module.lstrip(".") in _RELATIVE_MODULES
    return module in _KESTU_MODULES


def _dotted(expr: ast.expr) -> str | None:
    if isinstance(expr, ast.Name):
        return expr.id
    if isinstance(expr, ast.Attribute):
        inner = _dotted(expr.value)
        return None if inner is None else f"{inner}.{expr.attr}"
    return None


def last_name(expr: ast.expr) -> str | None:
    """``Error`` for ``Error``, ``mod.Error``, ``Error(...)`` and ``mod.Error(...)``."""
    if isinstance(expr, ast.Call):
        expr = expr.func
    if isinstance(expr, ast.Name):
        return expr.id
    if isinstance(expr, ast.Attribute):
        return expr.attr
    return None


def str_list(index: ModuleIndex, expr: ast.expr) -> list[ast.Constant] | None:
    """The constant strings of a literal list, tuple or set (or a module-level name for one)."""
    expr = index.literal(expr)
    if not isinstance(expr, (ast.List, ast.Tuple, ast.Set)):
        return None
    items = []
    for item in expr.elts:
        if not (isinstance(item, ast.Constant) and isinstance(item.value, str)):
            return None
        items.append(item)
    return items
