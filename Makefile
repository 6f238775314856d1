# Thin wrapper around CMake. `make` builds, `make test` builds and runs every
# test, `make demo` renders the bundled demo scene to scenes/out.ppm.
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: all build test demo deps sanitize clean

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j2

test: build
	cd $(BUILD) && ctest --output-on-failure -j2

demo: build
	cd scenes && ../$(BUILD)/rt -nosdl demo.scene

deps:
	scripts/install-deps

clean:
	rm -rf $(BUILD)
