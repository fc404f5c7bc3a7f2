#!/usr/bin/env bash
# The test matrix: for each supported CPython found on this machine, build the
# module into a venv of its own and run the pytest suite and stubtest there.
# A version that is present and fails fails the whole run; an absent one is
# reported as skipped. `--except X.Y` leaves out a version tested already
# (CI's `make test` has run the .venv's).
set -euo pipefail
cd "$(dirname "$0")/.."
versions=${KESTU_PYTHONS:-"3.11 3.12 3.13"}
done_minor=
if [ "${1:-}" = --except ]; then done_minor=$2; fi
failed=()
for minor in $versions; do
  if [ "$minor" = "$done_minor" ]; then
    echo "== Python $minor: tested already, left out"
    continue
  fi
  if ! python=$(tools/find_python.sh "$minor"); then
    echo "== Python $minor: not found on this machine, skipped"
    continue
  fi
  venv=.venv-$minor
  echo "== Python $minor: $python"
  start=$SECONDS
  # One && chain: `set -e` does not apply inside an if condition.
  if { [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"; } &&
    "$venv/bin/python" -m pip install -q "scikit-build-core>=0.11" cmake ninja &&
    "$venv/bin/python" -m pip install -q --no-build-isolation \
      -C build-dir="build/matrix/{wheel_tag}" -C cmake.define.KESTU_WERROR=ON ".[test]" &&
    "$venv/bin/python" -X dev -m pytest -q -p no:cacheprovider tests &&
    "$venv/bin/python" -m mypy.stubtest --allowlist tests/typing/stubtest_allowlist.txt kestu_core kestu._logbridge; then
    echo "== Python $minor: passed in $((SECONDS - start)) s"
  else
    echo "== Python $minor: FAILED"
    failed+=("$minor")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "failed on Python ${failed[*]}"
  exit 1
fi
