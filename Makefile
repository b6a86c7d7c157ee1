# make demo  - build, plant synthetic samples in a fresh Wine machine, run a silent removal
# make test  - build and run every test (host unit tests, Wine tests, UI tests, fuzz smoke,
#              the fleet playbooks)
# make install [PREFIX=/usr/local] [DESTDIR=] - the native scanner fixquorvin, the log
#              reader quorvin-log and the man page fixquorvin(1), from the optimised build
# make package - the same files as a Debian package (build/native/package/fixquorvin_<version>_<arch>.deb)
SHELL := /bin/bash
JOBS  ?= $(shell nproc)
PREFIX ?= /usr/local
# The build that is installed: "native" (optimised, no sanitizers) or "host".
INSTALL_PRESET ?= native

APT_PACKAGES := cmake ninja-build g++ clang libclang-rt-14-dev googletest libbenchmark-dev libhivex-dev liburing-dev pkg-config dpkg-dev \
	            g++-mingw-w64-i686-posix wine wine32:i386 xvfb xauth x11-apps imagemagick fonts-liberation \
	            ansible ansible-lint

.PHONY: all deps host win32 fuzz test test-host test-win32 test-fuzz test-fleet demo bench install package clean

all: host win32

deps:
	@missing=""; \
	for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386; \
	  tools/apt-install.sh $$missing; \
	fi
	tests/wine/ensure-i386.sh

host: deps
	cmake --preset host >/dev/null
	cmake --build --preset host -j $(JOBS)

win32: deps
	cmake --preset win32 >/dev/null
	cmake --build --preset win32 -j $(JOBS)

fuzz: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)

test-host: host
	ctest --preset host -j $(JOBS)

# A Wine test program that fails is run once more: under qemu's user-mode
# emulator a suspended or ended child process has, rarely, hung the program.
test-win32: win32
	ctest --preset win32 -j $(JOBS) --repeat until-pass:2

test-fuzz: fuzz
	tests/fuzz-smoke.sh build/fuzz

# The fleet playbooks (ansible/) over a local fleet: five file servers, two
# Windows computers under Wine and one that never answers.
test-fleet: host win32
	tests/ansible/fleet-test.sh .

test: test-host test-win32 test-fuzz test-fleet

demo: win32 host
	tests/demo.sh

# clamscan (Debian's clamav, no signatures downloaded) and yara, with rules of our
# own, are the native benchmark's peers.
bench: host win32
	@for p in clamav yara; do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	[ -z "$$missing" ] || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing >/dev/null
	bench/run-native.sh
	bench/run.sh
	QUORVIN_FLEET_MEASURE=1 tests/ansible/fleet-test.sh .

# The install rules are CMake's (cmake/host.cmake), so that a package can use them too.
install:
	cmake --preset $(INSTALL_PRESET) >/dev/null
	cmake --build --preset $(INSTALL_PRESET) -j $(JOBS) --target fixquorvin
	DESTDIR="$(DESTDIR)" cmake --install build/$(INSTALL_PRESET) --prefix "$(PREFIX)"

# CPack over the install rules, in the build that `make install` uses.
package: deps
	cmake --preset native >/dev/null
	cmake --build --preset native -j $(JOBS) --target fixquorvin
	cd build/native && cpack -G DEB

clean:
	rm -rf build
