"""The checker and the guard agree: the same verdict, on the same path, for generated cases.

The covering rules live twice, in the core and in kestu.check. Each case here
is a contract and an access; the guard's verdict comes from running it, the
checker's from reading the source.
"""

import random
import unicodedata
import warnings

import pytest

from kestu import ContractWarning
from kestu.check import check_source
from kestu.check._paths import covers
from kestu_core import ContextGuard, Engine

PIECES = ["user", "username", "u", "items", "[0]", "[1]", ".", "[", "]", "é", "日本", " ", "..", "a.b", "[x]", "0"]


class Node:
    """Attributes by name; items under any other key. A str key falls back to the attribute rule."""

    def __init__(self):
        object.__setattr__(self, "kids", {})

    def __getitem__(self, key):
        if isinstance(key, str):
            raise KeyError(key)
        return self.kids[key]

    def __setitem__(self, key, value):
        self.kids[key] = value


def random_path(rng):
    text = "".join(rng.choice(PIECES) for _ in range(rng.randint(1, 4)))
    return text if not text.startswith("_") else "x" + text


def contract_for(rng, path):
    """Declared paths near ``path`` (its prefixes and extensions) and some at random, up to 12 (past the scan limit)."""
    near = [path[:i] for i in range(1, len(path) + 1)] + [path + p for p in (".a", "[0]", "x", "")]
    pick = lambda: rng.choice(near) if rng.random() < 0.6 else random_path(rng)  # noqa: E731
    return [pick() for _ in range(rng.choice([0, 1, 2, 3, 9, 12]))], [pick() for _ in range(rng.choice([0, 1, 2, 10]))]


def test_covering_rules_agree_on_any_text():
    rng = random.Random(18)
    for _ in range(4000):
        path = random_path(rng)
        inputs, outputs = contract_for(rng, path)
        target = Node()
        object.__setattr__(target, path, 1)
        guard = ContextGuard(target, inputs, outputs, None)
        try:
            getattr(guard, path)
            read = True
        except PermissionError:
            read = False
        try:
            setattr(guard, path, 2)
            write = True
        except PermissionError:
            write = False
        assert (read, write) == (covers(inputs + outputs, path), covers(outputs, path)), (path, inputs, outputs)


# -- whole accesses, from source -------------------------------------------------------

NAMES = ["user", "username", "u", "items", "naïve", "日本", "ﬁle"]  # "ﬁle" is read as "file" (NFKC)
KEYS = ["user", "a.b", "x[0]", " sp", "", 0, 1, -1, True, 2**70, None, 1.5, (1, 2), b"x"]


def random_chain(rng):
    steps = []
    for _ in range(rng.randint(1, 4)):
        if rng.random() < 0.5:
            steps.append(("attr", rng.choice(NAMES)))
        else:
            steps.append(("item", rng.choice(KEYS)))
    return steps


def source_of(chain, dynamic=None):
    """The access in Python; the item at ``dynamic`` is read from the parameter k, known only at run time."""
    return "ctx" + "".join("[k]" if i == dynamic else f".{key}" if kind == "attr" else f"[{key!r}]"
                           for i, (kind, key) in enumerate(chain))


def build(chain, leaf):
    root = node = Node()
    for i, (kind, key) in enumerate(chain):
        child = leaf if i == len(chain) - 1 else Node()
        if kind == "attr":
            object.__setattr__(node, unicodedata.normalize("NFKC", key), child)
        elif isinstance(key, str):
            object.__setattr__(node, key, child)
        else:
            node.kids[key] = child
        node = child
    return root


def guard_spelling(chain, write):
    """The path texts the guard checks along ``chain``, computed here from its documented rules."""
    texts, prefix = [], ""
    for i, (kind, key) in enumerate(chain):
        last_write = write and i == len(chain) - 1
        if kind == "attr" or isinstance(key, str):
            name = unicodedata.normalize("NFKC", key) if kind == "attr" else key
            prefix = f"{prefix}.{name}" if prefix else name
        elif isinstance(key, int) and -(2**63) <= key < 2**63:
            prefix = f"{prefix}[{int(key)}]"
        else:
            prefix = f"{prefix}.{key}" if prefix or last_write else str(key)
        texts.append(prefix)
    return texts


def declared_near(rng, chain, write):
    texts = guard_spelling(chain, write)
    near = [t for t in texts + [t.replace("user", "username") for t in texts] + [t + "[0]" for t in texts] if t]
    pick = lambda: rng.choice(near)  # noqa: E731
    return [pick() for _ in range(rng.choice([0, 1, 2, 9]))], [pick() for _ in range(rng.choice([0, 1, 2, 9]))]


def generated_module(rng, count, max_steps):
    cases, lines = [], ["from kestu import process"]
    for i in range(count):
        chain = random_chain(rng)[:max_steps]
        write = rng.random() < 0.5
        inputs, outputs = declared_near(rng, chain, write)
        items = [j for j, (kind, _) in enumerate(chain) if kind == "item"]
        dynamic = rng.choice(items) if items and rng.random() < 0.3 else None
        lines.append(f"@process(inputs={inputs!r}, outputs={outputs!r})")
        lines.append(f"def p{i}(ctx, k=None, **_):")
        first = len(lines) + 1
        lines.append(f"    {source_of(chain, dynamic)}" + (" = 2" if write else ""))
        cases.append((f"p{i}", chain, write, first, dynamic))
    return "\n".join(lines) + "\n", cases


def verdicts_by_line(text):
    verdicts = {}
    for finding in check_source(text):
        if finding.code in ("KC101", "KC102"):
            kind = "Write" if finding.code == "KC102" else "Read"
            verdicts.setdefault(finding.line, f"Illegal {kind}: '{finding.path}'")
        elif finding.code == "KC407":
            verdicts.setdefault(finding.line, "some keys")
    return verdicts


@pytest.mark.parametrize("strict, max_steps, count", [(True, 4, 3000), (False, 1, 600)], ids=["strict", "non-strict"])
def test_checker_verdicts_equal_the_guards_at_run_time(strict, max_steps, count):
    # Without strict mode only the first step is checked (nested values come
    # back raw), so that mode is compared on one-step accesses.
    rng = random.Random(2018 + strict)
    text, cases = generated_module(rng, count, max_steps)
    expected = verdicts_by_line(text)
    namespace = {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ContractWarning)
        exec(compile(text, "<generated>", "exec"), namespace)
    for name, chain, write, line, dynamic in cases:
        engine = Engine(build(chain, 1), strict_mode=strict)
        engine.register_process(name, namespace[name])
        try:
            engine.execute_process(name, k=chain[dynamic][1] if dynamic is not None else None)
            outcome = None
        except PermissionError as exc:
            outcome = str(exc)
        want = expected.get(line)
        if want == "some keys":
            continue  # covered for some keys only: either verdict is right
        if want is not None and "[k]" in want:  # refused whatever the key: the guard names the key it got
            want = want.split(":")[0] if outcome is not None else want
            outcome = outcome.split(":")[0] if outcome is not None else outcome
        assert outcome == want, (source_of(chain, dynamic), chain, write, namespace[name]._pop_contract)
