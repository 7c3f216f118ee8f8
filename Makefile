# Quillmar: `make run` starts the program, `make test` passes every test,
# `make bench` prints its figures beside socat's, `make soak` runs the long
# tests and keeps the bridge busy for up to ten minutes, and checks it lost,
# hung and grew nothing. Each installs what is missing first (Debian packages)
# and builds.
# `make dist` builds too, then writes build/dist/Quillmar-<version>.zip, what
# Windows users download (tools/mkdist.py; the same commit, the same bytes).

BUILD ?= build
JOBS ?= $(shell nproc)
PYTEST_ARGS ?=
BENCH_ARGS ?=
# System tests run in parallel, each worker in a Wine prefix of its own; 1 = one at a time.
TEST_WORKERS ?= 3
export QUILLMAR_TEST_WORKERS = $(TEST_WORKERS)

.PHONY: all deps build run test bench soak screenshots dist clean

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
	@python3 tools/folders.py
	@tools/rig.sh $(BUILD) test $(PYTEST_ARGS)

# Figures, not a test: make bench BENCH_ARGS="--paced-seconds 10" for a quicker run.
bench: build
	@tools/rig.sh $(BUILD) exec /usr/bin/python3 tools/bench.py $(BENCH_ARGS)

# Loss, hangs and growth under long, busy runs: the system tests marked soak,
# then tools/soak.py; not part of `make test`.
soak: build
	@tools/rig.sh $(BUILD) soak $(PYTEST_ARGS)

# The README's pictures, taken from the running program.
screenshots: build
	@tools/rig.sh $(BUILD) exec /usr/bin/python3 tools/screenshots.py docs/screenshots

# The zip for Windows users: the program, its help, a readme and the licence.
dist: build
	@cmake --build $(BUILD) --target dist

clean:
	rm -rf $(BUILD)
