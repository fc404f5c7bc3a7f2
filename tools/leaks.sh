#!/usr/bin/env bash
# make leaks: the leak tests (pytest -k leak) under CPython's debug build,
# where tests/helpers.py counts references (sys.gettotalrefcount) instead of
# allocated blocks, so a leaked reference to an object that stays alive
# anyway (a small int, an interned str, a type) is caught too.
set -euo pipefail
cd "$(dirname "$0")/.."
dbg=${DBG_PYTHON:-python3.11-dbg}
out=build/leaks
start=$SECONDS

if ! command -v "$dbg" >/dev/null 2>&1; then
  echo "installing Debian's debug interpreter"
  apt-get update -qq
  apt-get install -y -qq python3.11-dbg python3.11-dev python3.11-venv >/dev/null
fi
[ -x "$out/venv/bin/python" ] || "$dbg" -m venv "$out/venv"
py=$(cd "$out/venv/bin" && pwd)/python
"$py" -m pip install -q pytest hypothesis cmake ninja

# Debian's debug include directory is symlinks to the release headers; GCC
# would follow them to the release pyconfig.h and build without Py_DEBUG.
"$(dirname "$py")/cmake" -S . -B "$out/build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTU_WERROR=ON \
  -DCMAKE_CXX_FLAGS=-fno-canonical-system-headers -DPython_EXECUTABLE="$py" \
  -DCMAKE_MAKE_PROGRAM="$(dirname "$py")/ninja" >/dev/null
"$(dirname "$py")/cmake" --build "$out/build" --target kestu_core kestu_logbridge
so=$(ls "$out"/build/kestu_core*.so)
if ! nm -u "$so" | grep -q "_Py_RefTotal"; then
  echo "$so was built without Py_DEBUG: its reference counts would not be seen"
  exit 1
fi
# The package goes beside the core, with its own extension module in it.
rm -rf "$out/pyroot" && mkdir -p "$out/pyroot" && cp -r python/kestu "$out/pyroot/"
cp "$so" "$out/pyroot/" && cp "$out"/build/_logbridge*.so "$out/pyroot/kestu/"
PYTHONPATH="$PWD/$out/pyroot" "$py" -X dev -m pytest -q -p no:cacheprovider -k leak tests
echo "leak check passed in $((SECONDS - start)) s"
