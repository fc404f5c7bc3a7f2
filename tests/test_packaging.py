"""What a packager and a user see of the installed distribution."""

import pathlib
import re
import sys
import tomllib
from importlib import metadata

import kestu

ROOT = pathlib.Path(__file__).resolve().parent.parent


def _minors(low: str, high: str) -> set[str]:
    (major, lo), (_, hi) = (map(int, v.split(".")) for v in (low, high))
    return {f"{major}.{minor}" for minor in range(lo, hi)}


def test_supported_versions_agree_everywhere():
    # requires-python, the classifiers and CMake's find_package name one range.
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    declared = _minors(*re.fullmatch(r">=(\d+\.\d+),<(\d+\.\d+)", project["requires-python"]).groups())
    cmake = _minors(*re.search(r"KESTU_PYTHON_VERSIONS (\d+\.\d+)\.\.\.<(\d+\.\d+)", (ROOT / "CMakeLists.txt").read_text()).groups())
    classified = {c.rsplit(" :: ", 1)[1] for c in project["classifiers"] if re.fullmatch(r".*Python :: 3\.\d+", c)}
    assert declared == cmake == classified
    assert f"{sys.version_info.major}.{sys.version_info.minor}" in declared


def test_installed_metadata():
    meta = metadata.metadata("kestu")
    assert kestu.__version__ == meta["Version"] != "0+unknown"
    assert meta["License-Expression"] == "MIT"
    assert set(meta["Requires-Python"].split(",")) == {">=3.11", "<3.14"}
    # No placeholder left in the fields a packager reads (the README is the description).
    assert not [v for k, v in meta.items() if k != "Description" and ("example." in v.lower() or "todo" in v.lower())]
    files = {str(f) for f in metadata.files("kestu")}
    assert any(f.endswith("licenses/LICENSE") for f in files), files
    assert "kestu/py.typed" in files and "kestu_core-stubs/__init__.pyi" in files
