# The two commands: `make demo` and `make test`. Each installs what is missing (as root), configures,
# builds and runs. BUILD and CMAKE_FLAGS select another build, e.g. the sanitizer build of .ci/run.
BUILD ?= build
SYS_BUILD ?= build-sys
BUILD32 ?= build-32
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps configure build test demo bench races soak sys build32 test32 format clean

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: build
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
