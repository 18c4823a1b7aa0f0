# Quick start: `make demo` and `make test`. Everything is installed into .venv by these rules.
PYTHON ?= python3
VENV := .venv
BIN := $(VENV)/bin
DEPS := $(VENV)/.deps-installed
BUILD_DEPS := "scikit-build-core>=0.10" "cmake>=3.26" ninja "pyarrow>=26,<27"
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

demo: install
	$(BIN)/python examples/demo.py examples/example_1_1.cif examples/example_2_0.cif

clean:
	rm -rf build $(VENV)
