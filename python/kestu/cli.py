"""The command line: ``python -m kestu COMMAND``.

Exit status: 0 when all is well, 1 when ``check`` finds an error-level
finding or a command fails on its input, 2 for a usage error.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Sequence

EXIT_OK, EXIT_FINDINGS, EXIT_USAGE = 0, 1, 2


class _UsageError(Exception):
    pass


def main(argv: Sequence[str] | None = None) -> int:
    """Run ``python -m kestu`` with ``argv`` (the command line by default); returns the exit status."""
    parser = _parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help(sys.stderr)
        return EXIT_USAGE
    try:
        result: int = args.run(args)
        return result
    except _UsageError as exc:
        parser.exit(EXIT_USAGE, f"{parser.prog} {args.command}: error: {exc}\n")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m kestu",
        description="kestu: run processes against a shared context under a contract.",
        epilog="Exit status: 0 ok, 1 findings or a failure, 2 usage error.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    version = commands.add_parser("version", help="print the installed version", description="Print the version.")
    version.set_defaults(run=_version)

    demo = commands.add_parser("demo", help="run the order-fulfilment demo",
                               description="Run the demo: three orders through a small shop.")
    demo.set_defaults(run=_demo)

    check = commands.add_parser(
        "check", help="find contract mistakes in the source",
        description="Check @process functions, workflows and state machines against their contracts, "
                    "from the source alone (nothing is imported). A directory is searched for .py files; "
                    "a .md file is checked by its Python examples; a dotted name is found on sys.path.",
        epilog="Exit status: 1 when an error-level finding is reported (or a file cannot be read), 0 otherwise.",
    )
    check.add_argument("targets", nargs="+", metavar="PATH_OR_MODULE")
    check.add_argument("--format", choices=("text", "json"), default="text", help="output format (default: text)")
    check.add_argument("--suggest", action="store_true",
                       help="print the smallest contract covering what each process does, instead of findings")
    check.set_defaults(run=_check)

    diagram = commands.add_parser(
        "diagram", help="print a diagram of a Machine or Workflow",
        description="Import MODULE and print the diagram of the Machine or Workflow named NAME in it "
                    "(NAME may go on with .attribute and [key], as in WORKFLOWS[price][0]).",
    )
    diagram.add_argument("target", metavar="MODULE:NAME")
    diagram.add_argument("--format", choices=("mermaid", "dot"), default="mermaid",
                         help="Mermaid (default) or Graphviz dot")
    diagram.set_defaults(run=_diagram)
    return parser


def _version(args: argparse.Namespace) -> int:
    import platform

    import kestu

    print(f"kestu {kestu.__version__} ({platform.python_implementation()} {platform.python_version()})")
    return EXIT_OK


def _demo(args: argparse.Namespace) -> int:
    from . import demo

    demo.main()
    return EXIT_OK


# -- check ---------------------------------------------------------------------


def _check(args: argparse.Namespace) -> int:
    from .check import check_file, suggest_file

    files = [f for target in args.targets for f in _files(target)]
    failed = False
    findings, suggestions = [], []
    for path in files:
        try:
            if args.suggest:
                suggestions.extend(suggest_file(path))
            else:
                findings.extend(check_file(path))
        except (OSError, UnicodeDecodeError) as exc:
            print(f"{path}: cannot be read: {exc}", file=sys.stderr)
            failed = True
    if args.format == "json":
        items = [s.to_dict() for s in suggestions] if args.suggest else [f.to_dict() for f in findings]
        print(json.dumps(items, indent=2, ensure_ascii=False))
    else:
        for item in suggestions if args.suggest else findings:
            print(item)
    if failed or any(f.severity == "error" for f in findings):
        return EXIT_FINDINGS
    return EXIT_OK


def _files(target: str) -> list[str]:
    if os.path.isdir(target):
        found = []
        for root, dirs, names in os.walk(target):
            dirs[:] = sorted(d for d in dirs if not d.startswith(".") and d != "__pycache__")
            found += [os.path.join(root, n) for n in sorted(names) if n.endswith(".py")]
        return found
    if os.path.exists(target) or target.endswith((".py", ".md")) or os.sep in target:
        if not os.path.exists(target):
            raise _UsageError(f"no such file: {target}")
        return [target]
    return _module_files(target)


def _module_files(name: str) -> list[str]:
    """The files of a module or package, found on sys.path without importing anything."""
    parts = name.split(".")
    if not all(part.isidentifier() for part in parts):
        raise _UsageError(f"{name!r} is neither a file nor a module name")
    for entry in sys.path:
        base = os.path.join(entry or os.curdir, *parts)
        if os.path.isfile(base + ".py"):
            return [base + ".py"]
        if os.path.isdir(base):
            return _files(base)
    raise _UsageError(f"no module named {name!r} on sys.path")


# -- diagram -------------------------------------------------------------------


def _diagram(args: argparse.Namespace) -> int:
    import importlib

    from .machine import Machine
    from .workflow import Workflow

    module_name, sep, name = args.target.partition(":")
    if not sep or not module_name or not name:
        raise _UsageError(f"expected MODULE:NAME, got {args.target!r}")
    try:
        obj: object = importlib.import_module(module_name)
    except ImportError as exc:
        print(f"cannot import {module_name!r}: {exc}", file=sys.stderr)
        return EXIT_FINDINGS
    try:
        for kind, key in _steps(name):
            obj = getattr(obj, str(key)) if kind == "." else obj[key]  # type: ignore[index]
    except (AttributeError, KeyError, IndexError, TypeError) as exc:
        print(f"{args.target}: not found ({type(exc).__name__}: {exc})", file=sys.stderr)
        return EXIT_FINDINGS
    if not isinstance(obj, (Machine, Workflow)):
        print(f"{args.target} is a {type(obj).__name__}, not a Machine or a Workflow", file=sys.stderr)
        return EXIT_FINDINGS
    sys.stdout.write(obj.to_dot() if args.format == "dot" else obj.to_mermaid())
    return EXIT_OK


def _steps(name: str) -> list[tuple[str, str | int]]:
    """``A.b[key][0]`` as [(".", "A"), (".", "b"), ("[", "key"), ("[", 0)]."""
    steps: list[tuple[str, str | int]] = []
    rest = name
    while rest:
        if rest.startswith("["):
            close = rest.find("]")
            if close < 0:
                raise _UsageError(f"unbalanced '[' in {name!r}")
            key = rest[1:close]
            steps.append(("[", int(key) if key.lstrip("-").isdigit() else key))
            rest = rest[close + 1:]
        else:
            rest = rest[1:] if rest.startswith(".") and steps else rest
            end = min((i for i in (rest.find("."), rest.find("[")) if i >= 0), default=len(rest))
            if end == 0:
                raise _UsageError(f"an empty name in {name!r}")
            steps.append((".", rest[:end]))
            rest = rest[end:]
    return steps
