# The two set-up commands of the README, and the sanitizer runs that CI adds.
.PHONY: check check-windows windows-zip demo deps build test-asan test-tsan mutate fuzz clean

JOBS ?= $(shell nproc)

deps:
	@tools/install-deps

build: deps
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS)

check: build
	ctest --preset default -j $(JOBS)

# The Windows program cross-built with mingw-w64 and its tests run under Wine
# (tools/check-windows installs what it needs).
check-windows:
	JOBS=$(JOBS) tools/check-windows

# The Windows release: build/mingw/zarvel-VERSION-win64.zip, FFmpeg's DLLs
# included (cross-built once from Debian's source, then cached).
windows-zip:
	@JOBS=$(JOBS) tools/make-windows-zip

test-asan: deps
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

# Threaded tests only: the thread sanitizer is slow and they are its subject.
test-tsan: deps
	@cmake --preset tsan >/dev/null
	@cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS)

# Mutated copies of the media fixtures through zarvel-decode under the address
# and undefined-behaviour sanitizers, for a total time (seconds).
MUTATE_SECONDS ?= 90
MUTATE_SEED ?= 1
mutate: deps
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan -j $(JOBS) --target zarvel-decode
	tools/mutate $(MUTATE_SECONDS) --seed $(MUTATE_SEED) --jobs $(JOBS)

# Each fuzz target for a fixed time (seconds), seeded with the fixtures.
FUZZ_SECONDS ?= 60
fuzz: deps
	tools/run-fuzzers $(FUZZ_SECONDS)

# Only what the player needs, not every test.
demo: deps
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS) --target zarvel
	@tools/demo

clean:
	rm -rf build
