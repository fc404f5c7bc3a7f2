"""Every Python example in README.md and docs/ runs, and shows what it says.

The examples of one file run in order in one fresh interpreter (later ones may
use what earlier ones defined). A fenced block right after a line "Output:"
is the exact standard output of the example before it; after "Standard
error:", its exact standard error (file descriptor 2).
"""

import json
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
DOCS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
SENTINEL = "--- end of example ---"
FENCE = re.compile(r"^```(\w*)\n(.*?)^```\n", re.S | re.M)

DRIVER = f"""
import json, sys, traceback
_blocks = json.loads(sys.stdin.read())
_ns = sys.modules["__main__"].__dict__
for _i, _code in enumerate(_blocks):
    try:
        exec(compile(_code, f"<example {{_i + 1}}>", "exec"), _ns)
    except BaseException:
        traceback.print_exc()
        print("example", _i + 1, "raised", flush=True)
        sys.exit(1)
    print({SENTINEL!r}, flush=True)
    print({SENTINEL!r}, file=sys.stderr, flush=True)
"""


def examples(text):
    """[(code, expected stdout or None, expected stderr or None)] in order."""
    found = []
    for match in FENCE.finditer(text):
        lang, body = match.groups()
        label = text[: match.start()].rstrip().rsplit("\n", 1)[-1].strip()
        if lang == "python":
            found.append([body, None, None])
        elif found and label == "Output:":
            found[-1][1] = body
        elif found and label == "Standard error:":
            found[-1][2] = body
    return found


@pytest.mark.parametrize("doc", DOCS, ids=lambda p: p.relative_to(ROOT).as_posix())
def test_examples_run_and_show_their_output(doc, tmp_path):
    blocks = examples(doc.read_text())
    assert blocks, f"{doc.name} has no Python example"
    run = subprocess.run(
        [sys.executable, "-u", "-c", DRIVER],
        input=json.dumps([code for code, _, _ in blocks]),
        capture_output=True, text=True, cwd=tmp_path, timeout=300,
    )
    assert run.returncode == 0, run.stdout + run.stderr
    outs, errs = run.stdout.split(SENTINEL + "\n"), run.stderr.split(SENTINEL + "\n")
    for i, (code, out, err) in enumerate(blocks):
        if out is not None:
            assert outs[i] == out, f"example {i + 1} of {doc.name}:\n{code}"
        if err is not None:
            assert errs[i] == err, f"example {i + 1} of {doc.name}:\n{code}"
