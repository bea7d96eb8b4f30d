# Quillet: top-level commands over the CMake presets.
.PHONY: all deps build test run dist clean

all: build

deps:
	scripts/deps.sh

build: deps
	cmake --preset linux && cmake --build --preset linux
	cmake --preset win64 && cmake --build --preset win64
	cmake --preset win32 && cmake --build --preset win32

# Installs what is missing, builds all three configurations, runs every suite.
test:
	scripts/test.sh

# The release files in dist/: zips, installers, the Linux tarball, checksums.
dist:
	scripts/dist.sh

# Builds the console program and the host server stand-in, starts both;
# answers from the table alone, for pairs registered by hand.
run:
	scripts/run.sh --table-only

# Benchmarks in a private network namespace; writes BENCHMARKS.md.
.PHONY: bench
bench:
	bench/bench.sh

clean:
	rm -rf build dist
