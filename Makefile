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

# `make install` installs rt, rt-import, their manual pages and the example
# scenes (PREFIX/share/rt/scenes) under PREFIX, default CMake's install prefix,
# /usr/local unless configured otherwise; DESTDIR is honoured too.
PREFIX ?=
.PHONY: install
install: build
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

clean:
	rm -rf $(BUILD)
