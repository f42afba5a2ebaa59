#!/usr/bin/env bash
# Builds the Debian package (build/package/kestrelio_<version>_<arch>.deb) with
# Debian's hardening flags, and checks it.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh --package
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
# CMake does not read CPPFLAGS; the fortify define lives there.
export CXXFLAGS="$CPPFLAGS $CXXFLAGS"
cmake -S . -B build/package-build -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/package-build --target kestrelio kestrelio_docs
rm -f build/package/kestrelio_*.deb
cpack --config build/package-build/CPackConfig.cmake -B build/package
./scripts/check-package.sh build/package/kestrelio_*.deb
