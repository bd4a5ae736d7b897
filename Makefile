# Tavolen: `make run` builds and starts the window; `make test` builds and runs every test.
PRESET ?= release
JOBS ?= $(shell nproc)

.PHONY: run test test-asan build deps bench screenshot fuzz clean

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

clean:
	rm -rf build
