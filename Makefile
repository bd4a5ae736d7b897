# Tavolen: `make run` builds and starts the window; `make test` builds and runs every test.
PRESET ?= release
JOBS ?= $(shell nproc)

.PHONY: run test test-asan build deps bench screenshot fuzz format format-check clean

deps:
	@scripts/install-deps

build: deps
	@cmake --preset $(PRESET) >/dev/null
	@cmake --build --preset $(PRESET) -j $(JOBS)

run: build
	@./build/$(PRESET)/tavolen

test: build
	@ctest --preset $(PRESET) -j $(JOBS)

test-asan:
	@$(MAKE) --no-print-directory test PRESET=asan

bench:
	@$(MAKE) --no-print-directory build PRESET=release
	@bench/run

screenshot:
	@$(MAKE) --no-print-directory build PRESET=release
	@scripts/screenshot

fuzz:
	@WITH_FUZZ=1 scripts/install-deps
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz -j $(JOBS) --target fuzzers
	@fuzz/run $${FUZZ_SECONDS:-60}

# Every tracked C++ file, in the style .clang-format describes.
CXX_SOURCES = $(shell git ls-files '*.cpp' '*.h')

format: deps
	@clang-format -i $(CXX_SOURCES)

format-check: deps
	@clang-format --dry-run --Werror $(CXX_SOURCES)

clean:
	rm -rf build
