# The two commands a newcomer needs: `make test` and `make run`.
BUILD      ?= build
# `make run` starts a release build of its own (no sanitizers); `make test`
# keeps the sanitizer build in $(BUILD).
RELEASE    ?= build-release
JOBS       ?= 2
# Debian packages the build, the tests and the fixture scripts need.
PACKAGES   := cmake ninja-build clang libclang-rt-14-dev g++ libgtest-dev qt6-base-dev libgl-dev \
              dosfstools mtools ntfs-3g e2fsprogs fdisk gdisk zip sqlite3 imagemagick p7zip-full \
              ffmpeg xxd attr python3 time openssl exfatprogs
# Programs (or files) whose absence means the package must be installed.
PROBES     := cmake ninja clang++ g++ /usr/include/gtest/gtest.h /usr/lib/x86_64-linux-gnu/cmake/Qt6/Qt6Config.cmake \
              mkfs.fat mcopy mkntfs ntfs-3g mke2fs sfdisk sgdisk zip sqlite3 /usr/bin/convert-im6.q16 7z ffmpeg xxd setfattr \
              python3 /usr/bin/time openssl /usr/sbin/mkfs.exfat
# The failing-medium harness: an image served through FUSE (libfuse3).
PACKAGES   += libfuse3-dev fuse3 pkg-config
PROBES     += /usr/include/fuse3/fuse.h fusermount3 pkg-config
# The loop-device test of the destination guard.
PACKAGES   += mount
PROBES     += losetup
# The install check: desktop entry, polkit action and manual pages.
PACKAGES   += desktop-file-utils libxml2-utils man-db polkitd
PROBES     += desktop-file-validate xmllint man /usr/share/polkit-1/policyconfig-1.dtd

.PHONY: test run deps configure build fuzz bench package package-check clean

deps:
	@missing=0; for p in $(PROBES); do \
	  if [ "$${p#/}" != "$$p" ]; then [ -e "$$p" ] || missing=1; \
	  else command -v $$p >/dev/null 2>&1 || missing=1; fi; done; \
	if [ $$missing = 1 ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "Installing build and test packages"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(PACKAGES) >/dev/null || exit 1; \
	  else \
	    echo "Missing packages. Run as root:"; \
	    echo "  apt-get install -y $(PACKAGES)"; exit 1; \
	  fi; \
	fi

configure: deps
	@[ -f $(BUILD)/build.ninja ] || CC=clang CXX=clang++ cmake -S . -B $(BUILD) -G Ninja \
	  -DCMAKE_BUILD_TYPE=Debug

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ASAN_OPTIONS=detect_leaks=0 ctest --output-on-failure -j $(JOBS)

# Longer fuzz runs than the bounded ones of `make test`.
fuzz: build
	cd $(BUILD) && TARNWICK_FUZZ_SECONDS=$(or $(FUZZ_SECONDS),300) ctest --output-on-failure \
	  -L fuzz -j $(JOBS) --timeout 3600

# Starts the desktop application; without rights it asks for them (pkexec).
# Without a display: builds a sample card with deleted files and recovers it
# into ./recovered with the command line.
run: deps
	@[ -f $(RELEASE)/build.ninja ] || CC=clang CXX=clang++ cmake -S . -B $(RELEASE) -G Ninja \
	  -DCMAKE_BUILD_TYPE=Release -DTARNWICK_SANITIZE=OFF -DTARNWICK_FUZZ=OFF >/dev/null
	@if [ -z "$$DISPLAY$$WAYLAND_DISPLAY$$QT_QPA_PLATFORM" ]; then \
	  cmake --build $(RELEASE) -j $(JOBS) --target tarnwick-cli && \
	  tests/fixtures/build_fat_undelete.sh $(RELEASE)/sample fat12_1k && \
	  echo "No display: recovering the deleted files of a sample card" \
	       "($(RELEASE)/sample/fat12_1k.img) into ./recovered" && \
	  TARNWICK_SUPPORT_DIR=$${TARNWICK_SUPPORT_DIR:-$(CURDIR)/$(RELEASE)/sample/support} \
	    $(RELEASE)/cli/tarnwick-cli scan $(RELEASE)/sample/fat12_1k.img --recover recovered; \
	else \
	  cmake --build $(RELEASE) -j $(JOBS) --target tarnwick && $(RELEASE)/ui/tarnwick; \
	fi

# The rival tools the benchmarks run beside Tarnwick, as black boxes.
BENCH_PACKAGES := sleuthkit extundelete ext4magic
bench: deps
	@command -v tsk_recover >/dev/null 2>&1 || [ "$$(id -u)" != 0 ] || \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(BENCH_PACKAGES) >/dev/null || true
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWICK_SANITIZE=OFF \
	  -DTARNWICK_FUZZ=OFF -DTARNWICK_UI=OFF
	cmake --build build-bench -j $(JOBS)
	bench/run.sh build-bench

# The Debian package, from a release tree of its own:
# build-package/tarnwick_<version>_<arch>.deb, then lintian's verdict on it.
package: PACKAGES += dpkg-dev file lintian
package: PROBES += dpkg-shlibdeps file lintian
# Debian's hardening flags (dpkg-buildflags) for the programs it ships.
package: export DEB_BUILD_MAINT_OPTIONS = hardening=+all
package: deps
	CC=clang CXX=clang++ cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DTARNWICK_SANITIZE=OFF -DTARNWICK_FUZZ=OFF -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
	  -DCMAKE_C_FLAGS="$$(dpkg-buildflags --get CPPFLAGS) $$(dpkg-buildflags --get CFLAGS)" \
	  -DCMAKE_CXX_FLAGS="$$(dpkg-buildflags --get CPPFLAGS) $$(dpkg-buildflags --get CXXFLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$$(dpkg-buildflags --get LDFLAGS)"
	cmake --build build-package -j $(JOBS) --target tarnwick-cli tarnwick tarnwick_packaging_files
	cd build-package && rm -f tarnwick_*.deb && cpack -G DEB
	lintian --fail-on error,warning --display-info build-package/tarnwick_*.deb

# The package installed, run and purged on a clean Debian 12 (a debootstrap
# chroot cached in build-chroot/, which `make clean` leaves; needs root and the
# network).
package-check: PACKAGES += debootstrap
package-check: PROBES += debootstrap
package-check: package
	packaging/check_deb_chroot.sh build-package/tarnwick_*.deb build-chroot

clean:
	rm -rf $(BUILD) $(RELEASE) build-bench build-package
