# Thin front for CMake: `make` builds build/zelno, `make check` runs every test.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
CTEST_FLAGS ?=
# The targets, one row each in targets.txt (release make build toolchain
# program ...). The tests of each build compare the containers it writes with
# those of the others' programs that exist.
target_rows = $(shell awk '!/^\#/ && NF {print $$2 ":" $$3 ":" $$4}' targets.txt)
row_field = $(word $(2),$(subst :, ,$(filter $(1):%,$(target_rows))))
CROSS_TARGETS = $(filter-out check,$(foreach row,$(target_rows),$(firstword $(subst :, ,$(row)))))
TARGET_PROGRAMS = $(shell awk '!/^\#/ && NF {print "$(CURDIR)/" $$3 "/" $$5}' targets.txt)
empty :=
space := $(empty) $(empty)
PEERS ?= $(subst $(space),:,$(strip $(TARGET_PROGRAMS)))

# Installation: `make install PREFIX=/usr DESTDIR=/tmp/stage`.
PREFIX ?= /usr/local
DESTDIR ?=
BINDIR ?= $(PREFIX)/bin
MANDIR ?= $(PREFIX)/share/man
COMPLETIONDIR ?= $(PREFIX)/share/bash-completion/completions
INSTALL ?= install

.PHONY: all check dist dist-check format format-check sanitize tsan portable m32 aarch64 aarch64-portable windows windows32 bench fuzz \
  install uninstall clean

all:
	cmake -S . -B $(BUILD) -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Release -DZELNO_PEER_BINARIES="$(PEERS)" $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

# A run with no test fails. The end-to-end cases that did not run, whole or
# in part, are listed after the summary with the reason.
check: all
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -j $(JOBS) $(CTEST_FLAGS)
	@grep -h '^skipped\( in part\)\?: ' $(BUILD)/Testing/Temporary/LastTest.log | sort -u || true

# The sources in the repository's .clang-format style: `make format` applies
# it, `make format-check` fails where a file differs.
FORMATTED = $(shell git ls-files '*.cpp' '*.hpp')
format:
	clang-format -i $(FORMATTED)

format-check:
	@test -n "$(FORMATTED)" || { echo "format: no sources listed (git ls-files needs git and a checkout)" >&2; exit 1; }
	@clang-format --dry-run -Werror $(FORMATTED) && echo "format: $(words $(FORMATTED)) files as .clang-format has them"

# The whole suite under AddressSanitizer and UBSan, in a folder of its own.
sanitize:
	$(MAKE) check BUILD=build-sanitize CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELNO_SANITIZE=ON"

# The end-to-end cases that run the second thread (files of 4 MiB and more,
# listed in tests/e2e/tsan_cases.txt), under ThreadSanitizer, in a folder of
# their own.
tsan:
	$(MAKE) check BUILD=build-tsan CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELNO_UNIT_TESTS=OFF \
	  -DZELNO_TSAN=ON"

# The whole suite with the processor-specific fast paths left out.
portable:
	$(MAKE) check BUILD=build-portable CMAKE_FLAGS="-DZELNO_PORTABLE_ONLY=ON"

# Cross builds with the whole suite, natively where this machine runs the
# target's programs and through qemu-user where it does not (Debian:
# g++-i686-linux-gnu, g++-aarch64-linux-gnu, qemu-user, and googletest, whose
# sources give GoogleTest for the target). EMULATOR=qemu-i386 forces the
# emulator on a machine that would run the programs itself. The Windows
# builds run their suites under wine, in a prefix inside the build folder
# (Debian: g++-mingw-w64-x86-64-posix, wine and wine64; g++-mingw-w64-i686-posix
# and wine32, an i386 package: `dpkg --add-architecture i386` first).
EMULATOR ?=
cross = $(MAKE) check BUILD=$(1) CMAKE_FLAGS="-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/$(2).cmake -DZELNO_TESTS=ON \
	  $(if $(EMULATOR),-DCMAKE_CROSSCOMPILING_EMULATOR=$(EMULATOR)) $(3)"

# m32, aarch64, windows, windows32: one rule per row of targets.txt.
$(foreach t,$(CROSS_TARGETS),$(eval $(t): ; $$(call cross,$(call row_field,$(t),2),$(call row_field,$(t),3))))

# The aarch64 suite with the processor-specific fast paths left out.
aarch64-portable:
	$(call cross,build-aarch64-portable,aarch64-linux-gnu,-DZELNO_PORTABLE_ONLY=ON)

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

# The release files of the last commit in dist/: Debian packages, static
# programs, Windows zips and SHA256SUMS (see packaging/dist). `dist-check`
# builds them twice from two clones, compares them byte for byte and runs
# lintian on the packages.
dist:
	packaging/dist

dist-check:
	packaging/dist-check

install: all
	$(INSTALL) -d $(DESTDIR)$(BINDIR) $(DESTDIR)$(MANDIR)/man1 $(DESTDIR)$(COMPLETIONDIR)
	$(INSTALL) -m 0755 $(BUILD)/zelno $(DESTDIR)$(BINDIR)/zelno
	$(INSTALL) -m 0644 $(BUILD)/zelno.1 $(DESTDIR)$(MANDIR)/man1/zelno.1
	$(INSTALL) -m 0644 packaging/zelno.bash $(DESTDIR)$(COMPLETIONDIR)/zelno

uninstall:
	rm -f $(DESTDIR)$(BINDIR)/zelno $(DESTDIR)$(MANDIR)/man1/zelno.1 $(DESTDIR)$(COMPLETIONDIR)/zelno

clean:
	rm -rf build build-sanitize build-tsan build-portable build-bench build-m32 build-aarch64 build-aarch64-portable build-windows \
	  build-windows32 build-fuzz build-dist dist
