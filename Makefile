# Thin front for CMake: `make` builds build/zelno, `make check` runs every test.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all check sanitize portable bench fuzz clean

all:
	cmake -S . -B $(BUILD) -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

check: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The whole suite under AddressSanitizer and UBSan, in a folder of its own.
sanitize:
	$(MAKE) check BUILD=build-sanitize CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELNO_SANITIZE=ON"

# The whole suite with the processor-specific fast paths left out.
portable:
	$(MAKE) check BUILD=build-portable CMAKE_FLAGS="-DZELNO_PORTABLE_ONLY=ON"

bench:
	$(MAKE) all BUILD=build-bench CMAKE_FLAGS="-DZELNO_BENCH=ON"

# The libFuzzer targets (clang, with AddressSanitizer and UBSan), each run for
# FUZZ_SECONDS; the seeds come from the program and the test tools of $(BUILD).
FUZZ_SECONDS ?= 60
FUZZ_CXX ?= clang++-14

fuzz: all
	cmake -S . -B build-fuzz -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DZELNO_FUZZ=ON >/dev/null
	cmake --build build-fuzz -j $(JOBS)
	fuzz/run.sh build-fuzz $(BUILD) $(FUZZ_SECONDS)

clean:
	rm -rf build build-sanitize build-portable build-bench build-m32 build-fuzz
