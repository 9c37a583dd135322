# korvid: `make test` and `make demo` work on a fresh Debian machine as root.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= 2

.PHONY: all deps build build-asan test test-normal test-asan demo bench clean

all: build

deps:
	bash scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKORVID_SANITIZE=ON -DKORVID_BUILD_BENCHMARKS=OFF
	cmake --build $(ASAN_BUILD) -j$(JOBS)

# The normal suite, then the sanitizer suite: never both at once, since the
# daemon tests share the kernel's uevents and the IPC socket name.
test: test-normal test-asan

test-normal: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(JOBS)

demo: build
	bash scripts/demo.sh $(BUILD)

bench: build
	bash scripts/bench.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
