# Tavolen: `make run` builds and starts the window; `make test` builds and runs every test.
PRESET ?= release
JOBS ?= $(shell nproc)
# Where `make install` puts the programs, the desktop entry, the icon and the manual pages;
# DESTDIR, when given, is put in front of it (for staging).
PREFIX ?= /usr/local
# What is installed and packaged, without the tests and benchmarks.
INSTALLED_TARGETS = tavolen ftpdrive desktop-data

.PHONY: run test test-asan build deps bench screenshot fuzz format format-check clean \
	install package package-check installable

deps:
	@scripts/install-deps

build: deps
	@cmake --preset $(PRESET) >/dev/null
	@cmake --build --preset $(PRESET) -j $(JOBS)

installable: deps
	@cmake --preset $(PRESET) >/dev/null
	@cmake --build --preset $(PRESET) -j $(JOBS) --target $(INSTALLED_TARGETS)

install: installable
	@DESTDIR="$(DESTDIR)" cmake --install build/$(PRESET) --prefix "$(PREFIX)"

# build/tavolen_<version>_<architecture>.deb
package: installable
	@cd build && cpack --config $(PRESET)/CPackConfig.cmake -B . >cpack.log 2>&1 \
		|| { cat cpack.log; exit 1; }
	@ls -t build/tavolen_*.deb | head -1

package-check: package
	@scripts/package-check

run: build
	@./build/$(PRESET)/tavolen

test: build
	@ctest --preset $(PRESET) -j $(JOBS)

test-asan:
	@$(MAKE) --no-print-directory test PRESET=asan

bench:
	@$(MAKE) --no-print-directory build PRESET=release
	@bench/run
	@bench/mirror

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
