#!/usr/bin/env bash
# The bench's rows as instructions per operation, counted by callgrind, on
# every supported CPython found here (as `make test-pythons` finds them), each
# printed against its own committed baseline, bench/callgrind_baseline-3.N.tsv.
# With --write the baselines are rewritten from this count.
set -euo pipefail
cd "$(dirname "$0")/.."
versions=${KESTU_PYTHONS:-"3.11 3.12 3.13"}
write=0
[ "${1:-}" = "--write" ] && write=1
command -v valgrind >/dev/null || { apt-get update -q && apt-get install -y -q valgrind; }
out=$(pwd)/build/bench
mkdir -p "$out"
cc -O2 -shared -fPIC -o "$out/libmarks.so" bench/callgrind_marks.c
for minor in $versions; do
  if ! python=$(tools/find_python.sh "$minor"); then
    echo "== Python $minor: not found on this machine, skipped"
    continue
  fi
  venv=.venv-$minor
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q "scikit-build-core>=0.11" cmake ninja
  "$venv/bin/python" -m pip install -q --no-build-isolation -C build-dir="build/matrix/{wheel_tag}" . deal transitions
  echo "== Python $minor"
  rm -rf "$out/cg-$minor" && mkdir "$out/cg-$minor"
  rm -f "$out/callgrind-$minor.tsv"
  baseline=$(pwd)/bench/callgrind_baseline-$minor.tsv
  KESTU_BENCH_MODE=callgrind KESTU_BENCH_MARKS="$out/libmarks.so" KESTU_CALLGRIND_DIR="$out/cg-$minor" \
    KESTU_BENCH_OUT="$out/callgrind-$minor.tsv" KESTU_BENCH_BASELINE="$baseline" \
    valgrind -q --tool=callgrind --instr-atstart=yes --callgrind-out-file="$out/cg-$minor/cg.%p" \
    "$venv/bin/python" bench/run.py
  if [ $write = 1 ]; then
    { echo "# instructions per operation (callgrind), CPython $("$venv/bin/python" -c 'import platform; print(platform.python_version())'):"
      echo "# row<TAB>plain or small<TAB>kestu or large<TAB>ratio[<TAB>...]"
      cat "$out/callgrind-$minor.tsv"; } > "$baseline"
    echo "== wrote $baseline"
  fi
done
