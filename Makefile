# Every developer command in one place. Each target is one documented
# command; CI runs `bash .ci/run`, which calls most of them.
PYTHON ?= python
SECONDS ?= 60
EVERY ?=
OFFSET ?=
BASE ?=

.PHONY: install test test-all sid cpus freethreaded windows zig consttime mutants sanitize fuzz leaks huge dist bench lint format docs consumers ci

install:  ## build and install into the current interpreter
	$(PYTHON) -m pip install .

test:  ## the test suite on the current interpreter (the README's command)
	$(PYTHON) -m pip install ".[test]" && $(PYTHON) -m pytest

test-all:  ## the suite on every CPython under pyenv and Debian's PyPy
	bash .ci/pythons

sid:  ## in a sid root: newest g++ and clang (warnings, constant time); wheels for CPython 3.14, 3.15, PyPy
	bash .ci/sid

cpus:  ## under qemu, side by side: the arm64 wheel tested; the suite on s390x
	bash .ci/cpus

freethreaded:  ## free-threaded CPython 3.13 from Debian's source: the cp313t wheel under pytest-run-parallel; ThreadSanitizer
	bash .ci/freethreaded

windows:  ## MinGW g++ and clang builds for x86-64 Windows, run under Wine
	bash .ci/windows

zig:  ## zig's clang: musl, macOS, arm64 warning-free; macOS exports; musl programs run
	PYTHON=$(PYTHON) bash .ci/zig

consttime:  ## no password bit reaches a branch or an address (memcheck): g++, clang++, zig glibc and musl
	PYTHON=$(PYTHON) bash .ci/taint

mutants:  ## mutation testing of src/: every EVERY-th mutant a class from OFFSET (EVERY=1: all; BASE=<commit>: a change's)
	PYTHON=$(PYTHON) EVERY=$(EVERY) OFFSET=$(OFFSET) BASE=$(BASE) bash .ci/mutants

sanitize:  ## the suite against an ASan+UBSan build
	PYTHON=$(PYTHON) bash .ci/sanitize

fuzz:  ## libFuzzer and atheris, SECONDS each (make fuzz SECONDS=600)
	PYTHON=$(PYTHON) bash .ci/fuzz $(SECONDS)

leaks:  ## memory over 10^6 calls a path; refcounts on a debug interpreter
	PYTHON=$(PYTHON) bash .ci/leaks

huge:  ## nthash past 2 GiB of UTF-16LE
	HASHWICK_SLOW=1 $(PYTHON) -m pytest -q tests/test_nthash.py -k 2_gib

dist:  ## the sdist and a manylinux wheel for every host interpreter: tested, each built twice to the same bytes
	PYTHON=$(PYTHON) bash .ci/dist

bench:  ## benchmarks/results.md and results.png
	$(PYTHON) -m pip install ".[bench]" && $(PYTHON) benchmarks/bench.py

lint:  ## ruff, clang-format, warnings with the host's g++ and clang++ (also with no GNU extensions)
	PYTHON=$(PYTHON) bash .ci/lint

docs:  ## the documentation site and man page (warnings as errors), every example run
	PYTHON=$(PYTHON) bash .ci/docs

consumers:  ## the command's formats read by FreeRADIUS, Kerberos, libxcrypt, John and ldapmodify
	PYTHON=$(PYTHON) bash .ci/consumers

format:  ## rewrite the sources in the house style
	clang-format -i src/*.cpp src/*.h src/*.hpp tests/native/*.c tests/native/*.cpp tests/fuzz/native.cpp benchmarks/native.cpp benchmarks/floor.c
	$(PYTHON) -m ruff check --fix .

ci:  ## everything CI runs
	bash .ci/run
