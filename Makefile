# The commands of the README. Each does its own set-up on a fresh machine.
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
NATIVE := build/native
ASAN   := build/asan

.PHONY: demo test install native bench asan clean

$(PY):
	$(PYTHON) -m venv $(VENV)

# Build tools, refreshed when pyproject.toml changes; the project itself is
# built without isolation so that its build directory is reused.
$(VENV)/.deps: $(PY) pyproject.toml
	$(PY) -m pip install -q "scikit-build-core>=0.10" cmake ninja
	touch $@

# The project with its test extras.
install: $(VENV)/.deps
	$(PY) -m pip install -q --no-build-isolation ".[test]"

native: $(VENV)/.deps
	$(VENV)/bin/cmake -S . -B $(NATIVE) -G Ninja -DKESTU_NATIVE_TESTS=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(VENV)/bin/cmake --build $(NATIVE)

test: install native
	$(PY) -X dev -m pytest -q tests
	$(NATIVE)/kestu_native_tests
	$(PY) -m mypy.stubtest kestu_core kestu._logbridge

demo: install
	$(PY) -m kestu.demo

bench: install
	$(PY) bench/run.py

# The whole suite under AddressSanitizer + UndefinedBehaviorSanitizer. The
# package is copied beside the core so that its own extension module sits in it.
asan: $(VENV)/.deps
	$(VENV)/bin/cmake -S . -B $(ASAN) -G Ninja -DKESTU_NATIVE_TESTS=ON -DKESTU_SANITIZE=ON \
	  -DCMAKE_BUILD_TYPE=Debug -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(VENV)/bin/cmake --build $(ASAN)
	ASAN_OPTIONS=detect_leaks=0 $(ASAN)/kestu_native_tests
	rm -rf $(ASAN)/pyroot && mkdir -p $(ASAN)/pyroot && cp -r python/kestu $(ASAN)/pyroot/
	cp $(ASAN)/kestu_core*.so $(ASAN)/pyroot/ && cp $(ASAN)/_logbridge*.so $(ASAN)/pyroot/kestu/
	PYTHONPATH=$(abspath $(ASAN)/pyroot) PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=0 LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	  $(PY) -m pytest -q -p no:cacheprovider tests

clean:
	rm -rf build $(VENV)
