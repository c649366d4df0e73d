# Thin front for the CMake build. `make check` is what CI runs.
PYTHON ?= /usr/bin/python3
BUILD ?= build
GENERATOR ?= Ninja
CMAKE_ARGS ?=
VIN ?= 1HGCM82633A004352
# Read only through $(value VIN) by `demo`: never expanded, nor exported.
unexport VIN
FUZZ_SECONDS ?= 600
FUZZ_SMOKE_SECONDS ?= 60

# $(call) splits its arguments at commas, so sanitizer lists name them through this.
comma := ,
CONFIGURE = cmake -S . -B $(1) -G $(GENERATOR) -DPython3_EXECUTABLE=$(PYTHON) $(CMAKE_ARGS) $(2) >/dev/null

.PHONY: all deps download data build test test-core test-py test-asan test-tsan check bench demo clean \
        fuzz fuzz-smoke fuzz-build

all: build

deps:
	@tools/deps.sh

download:
	@tools/download.sh

# The import tool needs only the core and SQLite; build it on its own. The
# import runs again only when the database, the error-code texts or the tool
# changed since the artifact was made: a new artifact relinks the module.
ARTIFACT_INPUTS = data/vpic.db data/supplement/ErrorCode.tsv $(BUILD)/tamberok-import
data: download
	@$(call CONFIGURE,$(BUILD))
	@cmake --build $(BUILD) --target tamberok-import
	@stale=yes; if [ -f data/vpic.rkyv ]; then stale=; \
	  for input in $(ARTIFACT_INPUTS); do [ data/vpic.rkyv -nt "$$input" ] || stale=yes; done; fi; \
	if [ -n "$$stale" ]; then \
	  $(BUILD)/tamberok-import --db data/vpic.db --out data/vpic.rkyv --supplement data/supplement; \
	else echo "data: data/vpic.rkyv is up to date (newer than $(ARTIFACT_INPUTS))"; fi

build:
	@$(call CONFIGURE,$(BUILD))
	@cmake --build $(BUILD)

test-core: build
	@cd $(BUILD) && ctest --output-on-failure

test-py: build
	@if [ -d $(BUILD)/pkg ]; then \
	  PYTHONPATH="$(CURDIR)/$(BUILD)/pkg" TAMBEROK_EMPTY_PKG="$(CURDIR)/$(BUILD)/pkg-empty" \
	    $(PYTHON) -m pytest -q tests/py; \
	fi

# Everything a fresh machine needs, then every test against the real data.
test: deps data
	@$(MAKE) --no-print-directory test-core test-py

# The core tests under AddressSanitizer + UndefinedBehaviorSanitizer.
test-asan: deps
	@$(call CONFIGURE,build-asan,-DTAMBEROK_SANITIZE=address$(comma)undefined -DCMAKE_BUILD_TYPE=Debug)
	@cmake --build build-asan --target core_tests cover_tests real_tests
	@cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure

# The core tests under ThreadSanitizer.
test-tsan: deps
	@$(call CONFIGURE,build-tsan,-DTAMBEROK_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo)
	@cmake --build build-tsan --target core_tests cover_tests real_tests
	@cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure

.PHONY: wheel test-wheel test-sdist

# An abi3 wheel in dist/, built offline by pip with the distribution's setuptools
# (setup.py drives the CMake build in $(BUILD), carries RE2 beside the module under
# a private name and tags the wheel with the manylinux policy its symbols earn).
# Without data/vpic.rkyv it refuses, as setup.py does, unless TAMBEROK_PLACEHOLDER=1
# asks for a wheel that embeds the EMPTY placeholder (versioned +empty).
wheel: deps
	@if [ ! -f data/vpic.rkyv ] && [ "$$TAMBEROK_PLACEHOLDER" != 1 ]; then \
	  echo "tamberok: data/vpic.rkyv is missing, and a wheel without it refuses every decode;" \
	    "\`make download data\` makes it (TAMBEROK_PLACEHOLDER=1 builds the placeholder wheel" \
	    "anyway, versioned +empty)" >&2; \
	  exit 1; \
	fi
	@rm -f dist/tamberok-*.whl
	@TAMBEROK_BUILD_DIR="$(CURDIR)/$(BUILD)" $(PYTHON) -m pip wheel -q --no-build-isolation \
	  --no-deps --no-cache-dir -w dist .
	@if [ -f data/vpic.rkyv ]; then echo "wheel: $$(ls dist/tamberok-*.whl) embeds data/vpic.rkyv"; \
	else echo "wheel: $$(ls dist/tamberok-*.whl) embeds the EMPTY placeholder (no data/vpic.rkyv)"; fi

# The wheel installed into a fresh venv per CPython 3.10+ on this machine (or per
# interpreter in PYTHONS), outside the source tree, and the Python tests run
# against each installed package instead of $(BUILD)/pkg. A wheel without the
# vehicle data fails them.
PYTHONS ?=
test-wheel: wheel
	@cmake --build $(BUILD) --target tamberok_py_empty >/dev/null
	@PYTHON=$(PYTHON) PYTHONS="$(PYTHONS)" tools/test_wheel.sh $$(ls dist/tamberok-*.whl) $(BUILD)/pkg-empty

# The source distribution of a fresh copy of the tree (with the data `make data`
# made), turned offline into a wheel without the C++ tests' packages, which decodes.
test-sdist: deps data
	@tools/sdist_round_trip.sh $(PYTHON)

# libFuzzer harnesses (clang, ASan + UBSan) against the real artifact and
# against mutated fixture artifacts: `make fuzz` runs each for FUZZ_SECONDS,
# `make check` a short smoke run of FUZZ_SMOKE_SECONDS each.
fuzz-build: deps data
	@$(call CONFIGURE,build-fuzz,-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DTAMBEROK_SANITIZE=address$(comma)undefined -DTAMBEROK_FUZZ=ON)
	@cmake --build build-fuzz --target fuzz_decode fuzz_artifact tamberok_fixtures

fuzz: fuzz-build
	@tools/fuzz.sh build-fuzz $(FUZZ_SECONDS)

fuzz-smoke: fuzz-build
	@tools/fuzz.sh build-fuzz $(FUZZ_SMOKE_SECONDS)

check: test test-wheel test-sdist test-asan test-tsan fuzz-smoke

bench: deps data build
	@for b in $(BUILD)/bench_*; do [ -x "$$b" ] && echo "== $$b" && "$$b"; done; true
	@if [ -f bench/bench_module.py ]; then PYTHONPATH="$(CURDIR)/$(BUILD)/pkg" $(PYTHON) bench/bench_module.py; fi
	@PYTHONPATH="$(CURDIR)/$(BUILD)/pkg" $(PYTHON) bench/bench_dicts.py
	@PYTHONPATH="$(CURDIR)/$(BUILD)/pkg" $(PYTHON) bench/bench_process.py
	@PYTHONPATH="$(CURDIR)/$(BUILD)/pkg" $(PYTHON) bench/bench_interrupt.py
	@PYTHONPATH="$(CURDIR)/$(BUILD)/pkg" $(PYTHON) bench/golden.py

# The VIN reaches decode() as it was typed, quotes and all: make does not
# expand it, and it is one argument, single-quoted for the shell.
demo: deps data build
	@PYTHONPATH="$(CURDIR)/$(BUILD)/pkg" $(PYTHON) -c 'import json, sys, tamberok; \
	  print(json.dumps(tamberok.decode(sys.argv[1], flat=True), indent=2, ensure_ascii=False))' \
	  '$(subst ','\'',$(value VIN))'

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz build-wheel
