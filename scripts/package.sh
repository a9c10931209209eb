#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the two packages into dist/ with CPack (rules in cmake/packaging.cmake):
#   tarnwick_VERSION-1_amd64.deb   from a Linux Release build in ./build-pkg
#   tarnwick-VERSION-win64.zip     from a MinGW-w64 build in ./build-pkg-win,
#                                  configured as the Windows tests are
# Neither build holds the tests, so this runs on its own from a clean clone.
# Prints what each package holds. Installs what is missing (apt-get).
# Usage: scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
# dpkg-shlibdeps (dpkg-dev) and file compute the .deb's Depends.
scripts/install-deps.sh --build-only dpkg-dev file gzip unzip g++-mingw-w64-x86-64-posix
mkdir -p dist

# package BUILD_DIR GENERATOR - builds what is installed and packs it into dist/.
package() {
  local build=$1 generator=$2 log
  log=$(mktemp /tmp/tarnwick-package.XXXXXX)
  if ! { cmake --build "$build" && (cd "$build" && cpack -G "$generator" -B "$repo/dist"); } \
      >"$log" 2>&1 </dev/null; then
    grep -v '^\[[0-9]*/[0-9]*\] ' "$log" | tail -n 60; rm -f "$log"; exit 1
  fi
  rm -f "$log"
}

# The distribution's hardening flags: fortify, stack protector, relro and
# bind-now, PIE. Given on every run, so that an older build-pkg takes them too.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S . -B build-pkg -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWICK_TESTS=OFF \
  -DTARNWICK_WERROR=ON -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
package build-pkg DEB
scripts/windows-configure.sh build-pkg-win -DTARNWICK_TESTS=OFF >/dev/null
package build-pkg-win ZIP
rm -rf dist/_CPack_Packages

version=$(sed -n 's/^set(TARNWICK_VERSION "\(.*\)")$/\1/p' CMakeLists.txt)
deb=dist/tarnwick_${version}-1_amd64.deb
zip=dist/tarnwick-${version}-win64.zip
for file in "$deb" "$zip"; do
  [ -f "$file" ] || { echo "package: $file was not made" >&2; exit 1; }
done
echo "== $deb ($(stat -c %s "$deb") bytes)"
dpkg-deb -f "$deb" Package Version Architecture Depends Installed-Size
dpkg-deb -c "$deb"
echo "== $zip ($(stat -c %s "$zip") bytes)"
unzip -l "$zip"
