# `make demo` and `make test` set everything up from a fresh clone.
VENV := .venv
PY := $(VENV)/bin/python
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD_REQUIRES = $(shell $(PY) -c "import tomllib; print(' '.join(repr(r) for r in tomllib.load(open('pyproject.toml', 'rb'))['build-system']['requires']))")

.PHONY: all install test test-cpp test-python demo format clean

all: install

$(PY):
	python=$$(tools/find-python313) && "$$python" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

# Build tools go into the venv first so that the project builds without isolation
# (and reuses its CMake build directory between runs).
install: $(PY)
	$(PY) -m pip install -q $(BUILD_REQUIRES) cmake ninja
	$(PY) -m pip install -q --no-build-isolation ".[test]"

test: test-cpp test-python

test-cpp: install
	tools/ensure-gtest
	$(VENV)/bin/cmake -S . -B build/cpp -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_BUILD_MODULE=OFF -DQOR_BUILD_TESTS=ON
	$(VENV)/bin/cmake --build build/cpp -j $(JOBS)
	$(VENV)/bin/ctest --test-dir build/cpp --output-on-failure -j $(JOBS)

test-python: install
	$(PY) -m pytest -q

demo: install
	$(PY) examples/demo.py

format: $(PY)
	$(PY) -m pip install -q clang-format
	git ls-files --cached --others --exclude-standard '*.cpp' '*.hpp' | xargs $(VENV)/bin/clang-format -i

clean:
	rm -rf build
