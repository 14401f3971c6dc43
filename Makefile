# Every target creates its own virtual environment and builds the extension, so
# these commands work on a fresh machine.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
BUILD_DIR ?= build/$(notdir $(VENV))
CMAKE_ARGS ?=
PYTEST_ARGS ?=
# The [dask] extra: partitioned runs on tables larger than memory (karrow_libs.scale).
DASK_DEPS := "dask[dataframe]>=2024.1" "distributed>=2024.1" "pyarrow>=14"
DEPS := numpy pandas scipy scikit-learn joblib lightgbm pytest hypothesis matplotlib mypy \
        scikit-build-core pybind11 cmake ninja $(DASK_DEPS)
OLDEST_VENV := .venv-oldest
OLDEST_DEPS := "numpy==1.24.*" "pandas==1.5.*" "scikit-learn==1.2.*" "scipy==1.10.*" joblib "lightgbm>=4" pytest hypothesis \
        "dask[dataframe]==2024.2.*" "distributed==2024.2.*" "pyarrow==19.*" \
        scikit-build-core pybind11 cmake ninja

.PHONY: demo test install bench bench-fe bench-scale fuzz asan-test test-oldest clean

demo: install
	$(VENV)/bin/karrow-fe

test: install
	$(PY) -m pytest -q $(PYTEST_ARGS) tests

$(VENV)/.deps-stamp:
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q $(DEPS)
	touch $@

install: $(VENV)/.deps-stamp
	$(PY) -m pip install -q --no-build-isolation --no-deps \
		-Cbuild-dir=$(BUILD_DIR) $(if $(CMAKE_ARGS),-Ccmake.args="$(CMAKE_ARGS)") .

bench: install
	$(PY) bench/run_all.py

bench-fe: install
	$(PY) bench/bench_fe.py
	$(PY) bench/bench_fe_real.py
	$(PY) bench/bench_trees.py

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
	$(MAKE) test VENV=$(OLDEST_VENV) DEPS='$(OLDEST_DEPS)'

clean:
	rm -rf build .venv .venv-* dist *.egg-info
