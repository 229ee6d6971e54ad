# The two commands: `make demo` and `make test`. Each installs what is missing (as root), configures,
# builds and runs. BUILD and CMAKE_FLAGS select another build, e.g. the sanitizer build of .ci/run.
BUILD ?= build
SYS_BUILD ?= build-sys
BUILD32 ?= build-32
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?=
TSAN_BUILD ?= build-tsan
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

MUTANTS_BUILD ?= build-mutants
SAMPLE ?=
BUILD_EACH ?= $(if $(SAMPLE),0,all)

.PHONY: all deps configure build test demo bench races soak sys build32 test32 tsan fuzz format clean \
	mutants mutants-check mutants-build

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Only quavsim and what it needs, with one line of progress (scripts/quiet-build.sh): a first demo on a
# fresh clone does not wait for the tests and benchmarks.
demo: configure
	@scripts/quiet-build.sh $(BUILD) $(JOBS) quavsim
	@echo "A heatwave day of the driver on the emulated board (quavsim run examples/scenarios/heatwave.json):"
	@$(BUILD)/tools/quavsim/quavsim run examples/scenarios/heatwave.json --out $(BUILD)/demo

# quav.sys and its package, cross-built with mingw-w64, then checked.
sys: build
	@scripts/install-deps.sh kernel
	@cmake -S kernel -B $(SYS_BUILD) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/i686-w64-mingw32.cmake \
		-DQUAV_PEMARK=$(abspath $(BUILD))/tools/pecheck/pemark >/dev/null
	@cmake --build $(SYS_BUILD) -j $(JOBS)
	@$(BUILD)/tools/pecheck/pecheck $(SYS_BUILD)/quav.sys --operations platform/operations.txt \
		--objects $(SYS_BUILD)/objects.txt --sections kernel/sections.txt
	@mkdir -p $(SYS_BUILD)/package
	@cp $(SYS_BUILD)/quav.sys $(SYS_BUILD)/quavctl.exe $(BUILD)/package/quav.inf $(BUILD)/package/quav.mof \
		$(SYS_BUILD)/package/
	@echo "the package: $(SYS_BUILD)/package (quav.sys, quav.inf, quav.mof, quavctl.exe)"

# The 32-bit x86 build of the simulation, the board, the driver and quavsim (g++ -m32), where the x86
# layouts hold and a loaded quav.sys can run. Its tests compare its quavsim's outputs with the host
# build's ($(BUILD)), and its built-in driver's with the shipped quav.sys's, so both are built first.
build32: build
	@scripts/install-deps.sh 32
	@cmake -S . -B $(BUILD32) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/i686-linux.cmake \
		-DQUAV_HOST_BUILD=$(abspath $(BUILD)) -DQUAV_SYS_IMAGE=$(abspath $(SYS_BUILD))/quav.sys \
		$(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD32) -j $(JOBS)

test32: sys build32
	@ctest --test-dir $(BUILD32) --output-on-failure -j $(JOBS)

# ThreadSanitizer on the tests that run host threads at once (serve's connections and accept loop, the
# stop signals, quavsim and quavctl as processes, the scheduler's hand-offs): the ctest label host-threads,
# whose tests carry their TSAN_OPTIONS (cmake/tsan.supp). Only what those tests need is built.
tsan: deps
	@cmake -S . -B $(TSAN_BUILD) -DQUAV_TSAN=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(TSAN_BUILD) -j $(JOBS) --target quav_tests
	@ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS) -L host-threads

# The libFuzzer targets (clang 14, fuzz/), each run for FUZZ_SECONDS from its seed corpus; FUZZ_TARGETS
# picks some (names as in fuzz/, e.g. FUZZ_TARGETS="regfile scenario"). New inputs that found new
# coverage collect in $(FUZZ_BUILD)/corpus, failures in $(FUZZ_BUILD)/artifacts.
fuzz:
	@scripts/install-deps.sh fuzz
	@cmake -S . -B $(FUZZ_BUILD) -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DQUAV_FUZZ=ON >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@scripts/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# Mutation testing of driver/ (tools/mutants/): the driver built once with every mutation behind a run-time
# switch, each mutant run against the in-process tests that reach it. The report: $(MUTANTS_BUILD)/mutants.md
# (and .json). The constants no switch reaches (case labels, static tables) are built one source file at a
# time (BUILD_EACH=N for a sample of N, 0 for none). SAMPLE=N runs a deterministic sample of N of the rest
# (and none of these unless BUILD_EACH says). mutants-check runs the list of tests/mutants/ci-sample.txt
# and fails if one survives. The mutant build runs under AddressSanitizer and UBSan: a search that runs one
# entry past its table is a fault even when the entry past it happens to mismatch.
MUTANTS_CCACHE := $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
mutants-build: deps
	@scripts/install-deps.sh mutants
	@cmake -S . -B $(MUTANTS_BUILD) -DQUAV_MUTANTS=ON -DQUAV_SANITIZE=ON $(MUTANTS_CCACHE) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(MUTANTS_BUILD) -j $(JOBS) --target quav_message_files >/dev/null
	@tools/mutants/mutate.py $(MUTANTS_BUILD) .
	@scripts/quiet-build.sh $(MUTANTS_BUILD) $(JOBS) quav_tests

mutants: mutants-build
	@tools/mutants/run.py $(MUTANTS_BUILD) . --jobs $(JOBS) $(if $(SAMPLE),--sample $(SAMPLE)) \
		--build-each $(BUILD_EACH)

mutants-check: mutants-build
	@tools/mutants/run.py $(MUTANTS_BUILD) . --jobs $(JOBS) --ids tests/mutants/ci-sample.txt

bench: build
	@$(BUILD)/bench/quav_bench

# Removal racing requests: RUNS seeded runs (the first of a fixed list), JOBS at a time; a failed run's
# seed reruns alone with `$(BUILD)/bench/quav_races --seed N`. The suite runs a sample of 200.
RUNS ?= 10000
races: build
	@$(BUILD)/bench/quav_races --runs $(RUNS) --jobs $(JOBS)

# The soak: DAYS simulated days at one poll a second with faults and clients; memory and pool stay flat.
# The suite runs one day.
DAYS ?= 30
soak: build
	@$(BUILD)/bench/quav_soak --days $(DAYS)

format:
	@git ls-files '*.h' '*.cpp' | xargs clang-format -i

clean:
	rm -rf build build-*
