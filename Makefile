# Front door: every target sets up .venv from a Python 3.13 it finds by itself.
PYTHON ?= $(shell for p in $$(command -v python3.13) $${PYENV_ROOT:-$$HOME/.pyenv}/versions/3.13*/bin/python3.13 /usr/local/bin/python3.13 /usr/bin/python3.13; do "$$p" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null && { echo "$$p"; break; }; done)
VENV := .venv
PY := $(VENV)/bin/python
WERROR ?= ON
BUILD_REQS := "scikit-build-core==1.1.2" "pybind11>=2.13.6,<2.14" "cmake>=3.18" "ninja"
DATASET ?= contact-primary-school

WHEEL_PLAT := manylinux_2_34_$(shell uname -m)
# Debian packages the portability checks need (cross compiler, emulator, clang).
CI_PACKAGES := clang g++-aarch64-linux-gnu qemu-user

.PHONY: demo test test-sanitize test-tsan test-clang test-wheel check-aarch64 ci-packages bench bench-scale bench-disturb wheel \
	format lint install clean

# The venv holds the build requirements; each target below adds the extras it needs, at the
# versions pinned in constraints.txt, and the module is compiled once, by install.
$(VENV)/.ready: pyproject.toml constraints.txt
	@test -n "$(PYTHON)" || { echo "No Python 3.13 found: run make PYTHON=/path/to/python3.13"; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(BUILD_REQS)
	touch $@

# The requirements of the named extras, read from pyproject.toml.
EXTRAS_OF = $(PY) -c 'import sys, tomllib; x = tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]; print(*sorted({r for e in sys.argv[1:] for r in x[e]}))'

$(VENV)/.extras-demo: $(VENV)/.ready
	$(PY) -m pip install -q -c constraints.txt $$($(EXTRAS_OF) demo)
	touch $@

$(VENV)/.extras-all: $(VENV)/.ready
	$(PY) -m pip install -q -c constraints.txt $$($(EXTRAS_OF) demo test bench dev)
	touch $@

# Rebuilds incrementally (build/ keeps the CMake tree) whenever sources change.
install: $(VENV)/.ready
	CPP_FUNCTIONS_WERROR=$(WERROR) $(PY) -m pip install -q --no-build-isolation --no-deps .

demo: $(VENV)/.extras-demo install
	$(PY) scripts/demo.py --dataset $(DATASET)

test: $(VENV)/.extras-all install
	HYPOTHESIS_PROFILE=ci $(PY) -m pytest

# Differently built extensions get venvs of their own, with the build requirements only;
# each target installs the package with its test extras.
SAN_VENV := .venv-sanitize
TSAN_VENV := .venv-tsan
CLANG_VENV := .venv-clang

$(SAN_VENV)/.ready $(TSAN_VENV)/.ready $(CLANG_VENV)/.ready: pyproject.toml
	@test -n "$(PYTHON)" || { echo "No Python 3.13 found: run make PYTHON=/path/to/python3.13"; exit 1; }
	$(PYTHON) -m venv $(@D)
	$(@D)/bin/python -m pip install -q --upgrade pip
	$(@D)/bin/python -m pip install -q $(BUILD_REQS)
	touch $@

# AddressSanitizer and UBSan: gcc's runtimes are preloaded into the interpreter, which is not
# built with them.
SAN_PRELOAD = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)

# ASan fills every new block with a non-zero byte (the first 16 MiB of it): the call arrays
# leave resized elements unwritten, and a read of one shows as a wrong result.
test-sanitize: $(SAN_VENV)/.ready
	CPP_FUNCTIONS_WERROR=$(WERROR) $(SAN_VENV)/bin/python -m pip install -q --no-build-isolation \
		-Cbuild-dir=build/sanitize -Ccmake.build-type=RelWithDebInfo -Ccmake.define.CPP_FUNCTIONS_SANITIZE=ON -c constraints.txt ".[test]"
	LD_PRELOAD="$(SAN_PRELOAD)" \
	ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1:abort_on_error=1:max_malloc_fill_size=16777216 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizer.supp:print_suppressions=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	CPP_FUNCTIONS_SANITIZE=1 HYPOTHESIS_PROFILE=ci $(SAN_VENV)/bin/python -m pytest -p no:cacheprovider

# ThreadSanitizer over the helper threads: the files that drive them from Python. The
# interpreter is not instrumented; its runtime is preloaded, and a forked child goes on.
test-tsan: $(TSAN_VENV)/.ready
	CPP_FUNCTIONS_WERROR=$(WERROR) $(TSAN_VENV)/bin/python -m pip install -q --no-build-isolation \
		-Cbuild-dir=build/tsan -Ccmake.build-type=RelWithDebInfo -Ccmake.define.CPP_FUNCTIONS_TSAN=ON -c constraints.txt ".[test]"
	LD_PRELOAD="$(shell g++ -print-file-name=libtsan.so)" \
	TSAN_OPTIONS=die_after_fork=0:halt_on_error=1:exitcode=66:suppressions=$(CURDIR)/tests/tsan.supp \
	CPP_FUNCTIONS_SANITIZE=1 CPP_FUNCTIONS_TSAN=1 HYPOTHESIS_PROFILE=ci $(TSAN_VENV)/bin/python -m pytest \
		-p no:cacheprovider tests/test_processes.py tests/test_robustness.py tests/test_interrupt.py \
		tests/test_line_graph.py tests/test_line_graph_hubs.py tests/test_centrality.py tests/test_connected.py

# The whole suite against a build by clang, which must link the same OpenMP runtime, with the
# interpreter's private structures left alone (the other side of boundary/interpreter.hpp).
test-clang: $(CLANG_VENV)/.ready
	CC=clang CXX=clang++ CPP_FUNCTIONS_WERROR=$(WERROR) $(CLANG_VENV)/bin/python -m pip install -q \
		--no-build-isolation -Cbuild-dir=build/clang -Ccmake.define.CPP_FUNCTIONS_PRIVATE_READS=OFF \
		-c constraints.txt ".[test]"
	HYPOTHESIS_PROFILE=ci $(CLANG_VENV)/bin/python -m pytest -p no:cacheprovider

# A wheel for users without a compiler: the most compatible manylinux tag this build's symbols
# allow, with libgomp.so.1 left to the system (a private copy would hide the thread-count
# setting from callers).
wheel: $(VENV)/.extras-all
	rm -rf dist
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -w dist/raw .
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair --plat $(WHEEL_PLAT) \
		--exclude libgomp.so.1 -w dist dist/raw/cpp_functions-*.whl
	rm -rf dist/raw

# The suite against that wheel in a fresh venv, on a PATH without any compiler.
WHEEL_VENV := .venv-wheel
NO_COMPILER_BIN := build/no-compiler-bin

test-wheel: wheel
	rm -rf $(WHEEL_VENV) $(NO_COMPILER_BIN)
	$(PYTHON) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install -q "$$(ls dist/cpp_functions-*-$(WHEEL_PLAT).whl)[test]" -c constraints.txt
	$(WHEEL_VENV)/bin/python tests/wheel_check.py dist/cpp_functions-*-$(WHEEL_PLAT).whl
	mkdir -p $(NO_COMPILER_BIN)
	for f in /usr/local/bin/* /usr/bin/*; do case "$${f##*/}" in \
		*gcc*|*g++*|*clang*|cc|c++|cpp|*-cpp|c89|c99|ld|ld.*|*-ld|as|*-as|tcc) ;; \
		*) ln -sf "$$f" $(NO_COMPILER_BIN)/ ;; esac; done
	PATH="$(CURDIR)/$(WHEEL_VENV)/bin:$(CURDIR)/$(NO_COMPILER_BIN)" sh -c \
		'! command -v cc c++ gcc g++ clang clang++ && HYPOTHESIS_PROFILE=ci python -m pytest -p no:cacheprovider'

# Every result bit of the kernels built for aarch64 (run under qemu-user) against this build.
check-aarch64: $(VENV)/.extras-all
	$(PY) tests/cross_check.py --arch aarch64

# What CI needs from Debian beyond a fresh machine; installs only what is missing.
ci-packages:
	@missing=$$(for p in $(CI_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
		echo "installing $$missing"; \
		apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	fi

bench: $(VENV)/.extras-all install
	CPP_FUNCTIONS_WERROR=$(WERROR) $(PY) bench/run_all.py

# Inputs up to 2e7 incidences with three id layouts (about 20 minutes); its section of
# docs/benchmarks.md is kept by make bench.
bench-scale: $(VENV)/.extras-all install
	CPP_FUNCTIONS_WERROR=$(WERROR) $(PY) bench/bench_scale.py

# Team against one thread at 2e7 incidences, idle, in a burst and with a core busy (about 15
# minutes); its section of docs/benchmarks.md is kept by make bench.
bench-disturb: $(VENV)/.extras-all install
	CPP_FUNCTIONS_WERROR=$(WERROR) $(PY) bench/bench_disturb.py

format: $(VENV)/.extras-all
	$(VENV)/bin/clang-format -i cpp_functions/*.cpp cpp_functions/*/*.[ch]pp bench/*.cpp bench/*.hpp tests/reference/*.cpp cmake/*.cpp
	$(VENV)/bin/ruff format scripts bench tests
	$(VENV)/bin/ruff check --fix scripts bench tests

lint: $(VENV)/.extras-all
	$(VENV)/bin/clang-format --dry-run --Werror cpp_functions/*.cpp cpp_functions/*/*.[ch]pp bench/*.cpp bench/*.hpp tests/reference/*.cpp cmake/*.cpp
	$(VENV)/bin/ruff format --check scripts bench tests
	$(VENV)/bin/ruff check scripts bench tests

clean:
	rm -rf build dist $(VENV) $(SAN_VENV) $(TSAN_VENV) $(CLANG_VENV) $(WHEEL_VENV)
