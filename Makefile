# Quick start: `make demo` and `make test`. Everything is installed into .venv by these rules.
PYTHON ?= python3
VENV := .venv
BIN := $(VENV)/bin
DEPS := $(VENV)/.deps-installed
BUILD_DEPS := "scikit-build-core>=0.10" "cmake>=3.26" ninja "pyarrow>=26,<27" "rich>=13"
TEST_DEPS := "pytest>=8" "hypothesis>=6" "pandas>=2"

.PHONY: all install test demo clean

all: install

$(BIN)/python:
	$(PYTHON) -m venv $(VENV)

$(DEPS): pyproject.toml Makefile | $(BIN)/python
	$(BIN)/python -m pip install -q --upgrade pip
	$(BIN)/python -m pip install -q $(BUILD_DEPS) $(TEST_DEPS)
	touch $@

# No build isolation: the build reuses .venv's pyarrow (the one we link against) and keeps
# its CMake tree in build/ so rebuilds are incremental.
install: $(DEPS)
	$(BIN)/python -m pip install -q --no-build-isolation --no-deps .

test: install
	$(BIN)/python -m pytest -q -p no:cacheprovider tests

# The examples carry deliberate mistakes, so `check` exits 1 here; the demo shows them.
demo: install
	$(BIN)/tessrin show examples/example_2_0.cif
	-$(BIN)/tessrin check examples

clean:
	rm -rf build $(VENV)

# --- benchmark: `make bench` (BENCH_QUICK=1 for a fast subset). The peers and matplotlib go
# into .venv from bench/requirements.txt, never into the test dependencies.
BENCH_DEPS := $(VENV)/.bench-deps-installed
BENCH_BUILD := build/bench
BENCH_BIG := bench/data/big_mmcif_200mb.cif
BENCH_QUICK_ON := $(filter-out 0,$(BENCH_QUICK))

.PHONY: bench bench-deps bench-native

$(BENCH_DEPS): bench/requirements.txt | $(DEPS)
	$(BIN)/python -m pip install -q -r bench/requirements.txt
	touch $@

bench-deps: $(BENCH_DEPS)

# The native pipeline timer, built against the same pyarrow as the extension.
bench-native: $(DEPS)
	$(BIN)/cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN)/ninja) \
	  -DCMAKE_BUILD_TYPE=Release -DTESSRIN_BUILD_BENCH=ON \
	  -DPython_EXECUTABLE=$(abspath $(BIN)/python)
	$(BIN)/cmake --build $(BENCH_BUILD) --target native_bench

$(BENCH_BIG): | $(DEPS)
	$(BIN)/python bench/make_big_mmcif.py --out $@

bench: install $(BENCH_DEPS) bench-native $(if $(BENCH_QUICK_ON),,$(BENCH_BIG))
	$(BIN)/python bench/run.py $(if $(BENCH_QUICK_ON),--quick)
