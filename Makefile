# Front door of the build.  `make demo` and `make test` do all their own
# set-up (packages, configure, build).
.PHONY: all setup native win32 build demo demo-native test test-native test-asan test-win32 test-fuzz asan lint bench \
	fuzzers fuzz soak \
	dist clean

JOBS ?= $(shell nproc)
NATIVE := build/native
WIN32 := build/win32
ASAN := build/asan
CMAKE_GEN := -G Ninja

all: build

setup:
	@sh scripts/setup.sh

native: setup
	@cmake -S . -B $(NATIVE) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
	@cmake --build $(NATIVE) -j $(JOBS)

win32: setup
	@cmake -S . -B $(WIN32) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/i686-w64-mingw32.cmake > /dev/null
	@cmake --build $(WIN32) -j $(JOBS)

asan: setup
	@cmake -S . -B $(ASAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DVELDRAN_SANITIZE=ON > /dev/null
	@cmake --build $(ASAN) -j $(JOBS) --target unit_tests fuzz_replays

build: native win32

demo: native win32
	@sh scripts/demo.sh

demo-native: native
	@sh scripts/demo.sh --native

# The native tests include the real DLL of the Windows build in the i386
# emulator, on every machine.
test-native: native win32
	@cd $(NATIVE) && ctest --output-on-failure -j $(JOBS)

test-asan: asan
	@cd $(ASAN) && ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	    ctest --output-on-failure -j $(JOBS) -L 'unit|fuzz'

# Under wine where it can run; elsewhere the tests that need no wine, and a
# line that says why.
test-win32: win32
	@sh scripts/test-win32.sh $(WIN32)

# Layout (.clang-format) and clang-tidy (.clang-tidy), also part of `make test`.
lint: native win32
	@sh scripts/lint.sh $(NATIVE) $(WIN32)

test: lint test-native test-asan test-win32 test-fuzz

# The release bundle, dist/veldran-VERSION-win32.zip, from the Windows
# build (see scripts/dist.sh).
dist: win32
	@sh scripts/dist.sh $(WIN32) dist

# Fuzzing: clang with libFuzzer, ASan and UBSan in its own build directory;
# every harness runs FUZZ_SECONDS seconds, one after the other.
FUZZ := build/fuzz
FUZZ_SECONDS ?= 60
fuzzers: setup
	@cmake -S . -B $(FUZZ) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELDRAN_FUZZ=ON \
	    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ > /dev/null
	@cmake --build $(FUZZ) -j $(JOBS) --target fuzzers

fuzz: fuzzers
	@sh fuzz/run.sh $(FUZZ) $(FUZZ_SECONDS)

# Part of `make test`: the libFuzzer harnesses built as `make fuzz` builds
# them, so that no change to a source list or an include path breaks them
# unseen, and each run one second over its corpus.
test-fuzz: fuzzers
	@sh fuzz/run.sh $(FUZZ) 1

# Performance figures (not tests): one table, see docs/performance.md.
BENCH := build/bench
bench: setup win32
	@cmake -S . -B $(BENCH) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g > /dev/null
	@cmake --build $(BENCH) -j 2 --target bench_module bench_wire bench_monitor veldran-host veldran veldran-sim
	@python3 bench/report.py --build $(BENCH) $(BENCH_ARGS)

# The long soak: the module against veldran-sim with injected line faults,
# 20,000 exchanges (or SOAK_SECONDS) at 19200 and at 9600 baud, each with
# checksums off and on; then the real DLL through the reference host,
# SOAK_SCANS scans of eight input rungs with faults on every module: under
# wine where it can run, else in the native host's i386 emulator.
SOAK := build/h-rel
SOAK_EXCHANGES ?= 20000
SOAK_SECONDS ?= 600
SOAK_SCANS ?= 2500
soak: native win32
	@cmake -S . -B $(SOAK) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
	@cmake --build $(SOAK) -j 2 --target veldran-soak veldran-sim
	@$(SOAK)/veldran-soak --exchanges $(SOAK_EXCHANGES) --seconds $(SOAK_SECONDS) --seed 1
	@$(SOAK)/veldran-soak --exchanges $(SOAK_EXCHANGES) --seconds $(SOAK_SECONDS) --seed 2 --checksum
	@$(SOAK)/veldran-soak --exchanges $(SOAK_EXCHANGES) --seconds $(SOAK_SECONDS) --seed 3 --baud 9600
	@$(SOAK)/veldran-soak --exchanges $(SOAK_EXCHANGES) --seconds $(SOAK_SECONDS) --seed 4 --baud 9600 --checksum
	@if reason=$$(sh scripts/can-run-wine.sh); then \
	    VELDRAN_E2E_SOAK_SCANS=$(SOAK_SCANS) sh scripts/with-wine.sh sh tests/e2e/run-wine-e2e.sh $(NATIVE) \
	        $(WIN32)/veldran-host.exe '*LineDiscipline.Soak*'; \
	else \
	    echo "soak: the real DLL in the i386 emulator, not under wine: $$reason"; \
	    VELDRAN_E2E_SOAK_SCANS=$(SOAK_SCANS) sh tests/e2e/run-emu-e2e.sh $(NATIVE)/tests/e2e/veldran-e2e \
	        $(WIN32)/veldran.tlm '*LineDiscipline.Soak*'; \
	fi

clean:
	rm -rf build dist
