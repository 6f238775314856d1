# Thin wrapper around CMake. `make` builds, `make test` builds and runs every
# test, `make test-paths` runs them again on the narrower vector paths,
# `make demo` renders the bundled demo scene to scenes/out.ppm.
# `make tsan` runs the tests of the parallel mode and of the set-up on several
# threads under ThreadSanitizer.
# `make sanitize` builds everything with AddressSanitizer and UBSan in
# $(ASAN_BUILD) and runs every test there; `make memcheck` renders the demo
# scene under valgrind, failing on any memory error or definite leak.
# `make cross-i386` and `make cross-arm64` test builds for those machines.
BUILD ?= build
CMAKE_FLAGS ?=
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan

.PHONY: all build test demo deps sanitize tsan memcheck clean

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j2

test: build
	cd $(BUILD) && ctest --output-on-failure -j2

# The same build's tests again on each narrower vector path: RT_ISA holds
# the walks to SSE2, then to AVX2 (a processor without AVX2 takes SSE2
# again). `make test` ran them on the widest the processor has. rt-import,
# the window and the Slurm cluster take no part in a ray query: their tests
# run once.
PATHS_LEFT_OUT = Import|window|slurm
.PHONY: test-paths
test-paths: build
	cd $(BUILD) && RT_ISA=sse2 ctest --output-on-failure -j2 -E '$(PATHS_LEFT_OUT)'
	cd $(BUILD) && RT_ISA=avx2 ctest --output-on-failure -j2 -E '$(PATHS_LEFT_OUT)'

demo: build
	cd scenes && ../$(BUILD)/rt -nosdl demo.scene

# The render farm's tests check a script: the renders it runs are the
# parallel mode's, which the other tests run under the sanitizers already.
SANITIZED_TESTS_LEFT_OUT = RenderFarm

sanitize:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Release -DRT_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j2
	cd $(ASAN_BUILD) && ctest --output-on-failure -j2 -E '$(SANITIZED_TESTS_LEFT_OUT)'

# The threaded renders under ThreadSanitizer: any report fails the run, and
# the tests also see it on standard error. Only rt starts threads, so only rt
# is built with it: the tests of $(BUILD) run it in place of their own
# (RT_UNDER_TEST), all but those that set an address space limit, which no
# sanitizer runs under.
tsan: build
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=Release -DRT_TSAN=ON -DRT_BUILD_IMPORT=OFF -DRT_BUILD_TESTS=OFF \
	  $(CMAKE_FLAGS)
	cmake --build $(TSAN_BUILD) -j2 --target rt
	cd $(BUILD) && RT_UNDER_TEST=$(abspath $(TSAN_BUILD))/rt TSAN_OPTIONS="halt_on_error=1 exitcode=66" \
	  ctest --output-on-failure -j2 -R 'Pictures|HostileInput' -E '$(SANITIZED_TESTS_LEFT_OUT)|TooLittleMemory'

# `make cross-i386` and `make cross-arm64` cross-build rt and its tests in
# build-i386 and build-arm64, installing the cross compiler and the target's
# libraries, run every test there (arm64 through qemu), and check that the
# demo scene comes out byte for byte as $(BUILD)/rt renders it.
.PHONY: cross-i386 cross-arm64
cross-i386 cross-arm64: build
	scripts/cross-test $(@:cross-%=%) $(BUILD)/rt

# A small frame keeps it to seconds; every line kind of the scene is still hit.
# The second render goes through the parallel mode's passes and state file.
memcheck: build
	cd scenes && valgrind -q --error-exitcode=1 --leak-check=full \
	  --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect \
	  ../$(BUILD)/rt -nosdl -size 128x96 -o ../$(BUILD)/memcheck.ppm demo.scene > /dev/null
	rm -f $(BUILD)/memcheck.state
	cd scenes && valgrind -q --error-exitcode=1 --leak-check=full \
	  --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect \
	  ../$(BUILD)/rt -nosdl -threads 2 -passes 2 -state ../$(BUILD)/memcheck.state -size 64x48 \
	  -o ../$(BUILD)/memcheck.png demo.scene > /dev/null

deps:
	scripts/install-deps

# `make install` installs rt, rt-import, their manual pages and the example
# scenes (PREFIX/share/rt/scenes) under PREFIX, default CMake's install prefix,
# /usr/local unless configured otherwise; DESTDIR is honoured too.
PREFIX ?=
.PHONY: install
install: build
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

clean:
	rm -rf $(BUILD)
