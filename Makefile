# Front door: every target sets up .venv from a Python 3.13 it finds by itself.
PYTHON ?= $(shell for p in $$(command -v python3.13) $${PYENV_ROOT:-$$HOME/.pyenv}/versions/3.13*/bin/python3.13 /usr/local/bin/python3.13 /usr/bin/python3.13; do "$$p" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null && { echo "$$p"; break; }; done)
VENV := .venv
PY := $(VENV)/bin/python
WERROR ?= ON
BUILD_REQS := "scikit-build-core==1.1.2" "pybind11>=2.13.6,<2.14" "cmake>=3.18" "ninja"
DATASET ?= contact-primary-school

.PHONY: demo test test-sanitize bench wheel format lint install clean

$(VENV)/.ready: pyproject.toml
	@test -n "$(PYTHON)" || { echo "No Python 3.13 found: run make PYTHON=/path/to/python3.13"; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(BUILD_REQS)
	CPP_FUNCTIONS_WERROR=$(WERROR) $(PY) -m pip install -q --no-build-isolation ".[test,bench,dev]"
	touch $@

# Rebuilds incrementally (build/ keeps the CMake tree) whenever sources change.
install: $(VENV)/.ready
	CPP_FUNCTIONS_WERROR=$(WERROR) $(PY) -m pip install -q --no-build-isolation --no-deps .

demo: install
	$(PY) scripts/demo.py --dataset $(DATASET)

test: install
	HYPOTHESIS_PROFILE=ci $(PY) -m pytest

# AddressSanitizer and UBSan: the extension is built with both in a venv of its own, and
# gcc's runtimes are preloaded into the interpreter, which is not built with them.
SAN_VENV := .venv-sanitize
SAN_PRELOAD = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)

$(SAN_VENV)/.ready: pyproject.toml
	@test -n "$(PYTHON)" || { echo "No Python 3.13 found: run make PYTHON=/path/to/python3.13"; exit 1; }
	$(PYTHON) -m venv $(SAN_VENV)
	$(SAN_VENV)/bin/python -m pip install -q --upgrade pip
	$(SAN_VENV)/bin/python -m pip install -q $(BUILD_REQS)
	touch $@

test-sanitize: $(SAN_VENV)/.ready
	CPP_FUNCTIONS_WERROR=$(WERROR) $(SAN_VENV)/bin/python -m pip install -q --no-build-isolation \
		-Cbuild-dir=build/sanitize -Ccmake.build-type=RelWithDebInfo -Ccmake.define.CPP_FUNCTIONS_SANITIZE=ON ".[test]"
	LD_PRELOAD="$(SAN_PRELOAD)" \
	ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1:abort_on_error=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizer.supp:print_suppressions=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	CPP_FUNCTIONS_SANITIZE=1 HYPOTHESIS_PROFILE=ci $(SAN_VENV)/bin/python -m pytest -p no:cacheprovider

wheel: $(VENV)/.ready
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -w dist .

bench: install
	CPP_FUNCTIONS_WERROR=$(WERROR) $(PY) bench/run_all.py

format: $(VENV)/.ready
	$(VENV)/bin/clang-format -i cpp_functions/*.cpp cpp_functions/*/*.[ch]pp cpp_functions/*.hpp bench/*.cpp bench/*.hpp tests/reference/*.cpp
	$(VENV)/bin/ruff format scripts bench tests
	$(VENV)/bin/ruff check --fix scripts bench tests

lint: $(VENV)/.ready
	$(VENV)/bin/clang-format --dry-run --Werror cpp_functions/*.cpp cpp_functions/*/*.[ch]pp cpp_functions/*.hpp bench/*.cpp bench/*.hpp tests/reference/*.cpp
	$(VENV)/bin/ruff format --check scripts bench tests
	$(VENV)/bin/ruff check scripts bench tests

clean:
	rm -rf build dist $(VENV) $(SAN_VENV)
