# Quillmar: `make run` starts the program, `make test` passes every test.
# Both install what is missing first (Debian packages) and build.

BUILD ?= build
JOBS ?= $(shell nproc)
PYTEST_ARGS ?=

.PHONY: all deps build run test screenshots clean

all: build

deps:
	@tools/deps.sh

build: deps
	@test -f $(BUILD)/CMakeCache.txt || \
		cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@tools/rig.sh $(BUILD) run

test: build
	@tools/rig.sh $(BUILD) test $(PYTEST_ARGS)

# The README's pictures, taken from the running program.
screenshots: build
	@tools/rig.sh $(BUILD) exec /usr/bin/python3 tools/screenshots.py docs/screenshots

clean:
	rm -rf $(BUILD)
