#!/usr/bin/env bash
# Builds the Debian package: a Release build of the module and the program
# with the install prefix /usr and Debian's hardening flags, in
# build-package/ (or $BRENMOOR_PACKAGE_DIR), then cpack, which strips the
# binaries and leaves brenmoor_<version>_<arch>.deb there. Prints the
# package's path.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BRENMOOR_PACKAGE_DIR:-build-package}

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DBRENMOOR_TESTS=OFF \
  -DCMAKE_C_FLAGS="$cppflags $(dpkg-buildflags --get CFLAGS)" \
  -DCMAKE_CXX_FLAGS="$cppflags $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DCMAKE_SHARED_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
rm -f "$build"/brenmoor_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
ls "$PWD/$build"/brenmoor_*.deb
