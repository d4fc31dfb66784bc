# The everyday commands. `make test` is all a new machine needs.
JOBS ?= $(shell nproc)
BUILD ?= build
CMAKE_FLAGS ?=
CTEST_FLAGS ?=

.PHONY: all deps configure build demo test test-asan test-tsan thread-safety bench fuzz format tidy clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# The tour of README's first section: builds what it needs, then scripts/demo.
demo: configure
	@MAKEFLAGS= cmake --build $(BUILD) -j $(JOBS) --target tarnix tarnix-cloud-emulator \
	  >$(BUILD)/demo-build.log 2>&1 || { cat $(BUILD)/demo-build.log; exit 1; }
	@scripts/demo $(BUILD)

test: build
	@scripts/run-tests $(BUILD) $(CTEST_FLAGS)

test-asan: deps
	@cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTARNIX_SANITIZE=address,undefined $(CMAKE_FLAGS) >/dev/null
	@cmake --build build-asan -j $(JOBS)
	@ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan-suppressions.txt:print_suppressions=0 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  scripts/run-tests build-asan $(CTEST_FLAGS)

test-tsan: deps
	@cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DTARNIX_SANITIZE=thread $(CMAKE_FLAGS) >/dev/null
	@cmake --build build-tsan -j $(JOBS)
	@TSAN_OPTIONS=halt_on_error=1:suppressions=$(CURDIR)/tests/tsan-suppressions.txt \
	  scripts/run-tests build-tsan -L unit $(CTEST_FLAGS)

# clang's thread-safety analysis over the product's sources (parsing only, no build).
thread-safety: build
	@scripts/check-thread-safety $(BUILD)

bench: deps
	@cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DTARNIX_BUILD_BENCH=ON -DTARNIX_BUILD_TESTS=OFF $(CMAKE_FLAGS) >/dev/null
	@cmake --build build-release -j $(JOBS)
	@scripts/run-benchmarks build-release

fuzz: deps
	@CC=clang-19 CXX=clang++-19 cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNIX_BUILD_FUZZ=ON -DTARNIX_BUILD_TESTS=OFF $(CMAKE_FLAGS) >/dev/null
	@cmake --build build-fuzz -j $(JOBS)

format:
	@git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

tidy: configure
	@git ls-files 'src/*.cpp' | xargs clang-tidy -p $(BUILD) --quiet

clean:
	@rm -rf build build-asan build-tsan build-release build-fuzz
