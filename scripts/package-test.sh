#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Tries the packages in dist/ as an administrator would (scripts/package.sh
# makes them when they are missing):
#   - installs the .deb with dpkg -i, runs `tarnwick 0` from the PATH through
#     a short session (INTF, FILE of a message with attachments, QUIT) and
#     checks the ADDHEADER answer, scans the same message with tarnwick-scan,
#     checks that the man pages render, and removes the package again;
#   - unzips the Windows zip into a fresh folder and runs the same session
#     with tarnwick.exe and the same scan with tarnwick-scan.exe under Wine
#     from there, in a Wine prefix of its own.
# Needs root (or sudo) for dpkg. Refuses to run when a tarnwick package is
# installed already, so it never removes one it did not install.
# Usage: scripts/package-test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
export PYTHONDONTWRITEBYTECODE=1
version=$(sed -n 's/^set(TARNWICK_VERSION "\(.*\)")$/\1/p' CMakeLists.txt)
deb=$repo/dist/tarnwick_${version}-1_amd64.deb
zip=$repo/dist/tarnwick-${version}-win64.zip
message=$repo/tests/e2e/messages/attachments.eml
session=(python3 "$repo/tests/package/package_session.py" --message "$message")

if [ ! -f "$deb" ] || [ ! -f "$zip" ]; then
  scripts/package.sh >/dev/null
fi
scripts/install-deps.sh --build-only python3 man-db groff-base unzip wine wine64
SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
if dpkg-query -W -f='${Status}' tarnwick 2>/dev/null | grep -q "install ok installed"; then
  echo "package-test: a tarnwick package is installed already; remove it first" >&2
  exit 1
fi

top=$(mktemp -d /tmp/tarnwick-package-test.XXXXXX)
installed=""
cleanup() {
  if [ -n "$installed" ]; then
    $SUDO dpkg -r tarnwick >/dev/null 2>&1 || true
  fi
  if [ -d "$top/prefix" ]; then
    WINEPREFIX=$top/prefix wineserver -k >/dev/null 2>&1 || true
    WINEPREFIX=$top/prefix wineserver -w >/dev/null 2>&1 || true
  fi
  rm -rf "$top"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
status=0
fail() { echo "package-test: FAILED: $*"; status=1; }

echo "== the Debian package"
# Minimal images often keep dpkg from unpacking man pages; this package's own
# are wanted here.
$SUDO dpkg --path-include='/usr/share/man/*' -i "$deb" >"$top/dpkg.out" 2>&1 ||
  { cat "$top/dpkg.out"; fail "dpkg -i"; exit 1; }
installed=yes
[ "$(command -v tarnwick)" = /usr/bin/tarnwick ] || fail "tarnwick is not /usr/bin/tarnwick on the PATH"
[ "$(tarnwick --version | head -n 1)" = "tarnwick $version" ] || fail "tarnwick --version"
[ "$(tarnwick-unpack --version | head -n 1)" = "tarnwick-unpack $version" ] ||
  fail "tarnwick-unpack --version"
[ "$(tarnwick-scan --version | head -n 1)" = "tarnwick-scan $version" ] ||
  fail "tarnwick-scan --version"
# tarnwick-scan from the PATH on a message with attachments: its line, its status, no file left.
mkdir -p "$top/scan"
scan_out=$(cd "$top/scan" && tarnwick-scan --wait 0 "$message") && scan_status=0 || scan_status=$?
[ "$scan_out" = "$message: OK" ] && [ "$scan_status" -eq 0 ] ||
  fail "tarnwick-scan answered '$scan_out' with status $scan_status"
[ -z "$(ls -A "$top/scan/ScanMe")" ] || fail "tarnwick-scan left files in ScanMe"
(cd "$top" && "${session[@]}" --work "$top/linux" -- tarnwick 0) || fail "the session with tarnwick"
for page in "8 tarnwick" "1 tarnwick-unpack" "1 tarnwick-scan"; do
  # shellcheck disable=SC2086
  if ! MANWIDTH=80 man -P cat $page >"$top/man.out" 2>"$top/man.err" ||
     [ -s "$top/man.err" ] || ! grep -q '^SYNOPSIS' "$top/man.out" ||
     ! grep -q "Tarnwick $version" "$top/man.out"; then
    cat "$top/man.err"; fail "man $page does not render"
  else
    echo "man $page: $(wc -l <"$top/man.out") lines"
  fi
done
$SUDO dpkg -r tarnwick >/dev/null
installed=""
! command -v tarnwick >/dev/null || fail "tarnwick is still on the PATH after dpkg -r"

echo "== the Windows zip under Wine"
mkdir -p "$top/windows"
unzip -q "$zip" -d "$top/windows"
expected="LICENSE.txt tarnwick-readme.txt tarnwick-scan.exe tarnwick-unpack.exe tarnwick.exe"
[ "$(LC_ALL=C ls "$top/windows" | tr '\n' ' ')" = "$expected " ] ||
  fail "the zip's top level is not: $expected"
for text in LICENSE.txt tarnwick-readme.txt; do
  lines=$(wc -l <"$top/windows/$text")
  if [ "$lines" -eq 0 ] || [ "$(grep -c $'\r$' "$top/windows/$text")" -ne "$lines" ]; then
    fail "$text does not end every line with CR LF"
  fi
done
export WINEPREFIX=$top/prefix WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY
# All output of the prefix's helpers goes to /dev/null, or they would keep the CI log pipe open.
mkdir -p "$WINEPREFIX"
wineserver -p >/dev/null 2>&1 </dev/null
wine wineboot -i >/dev/null 2>&1 </dev/null
(cd "$top/windows" && "${session[@]}" --work "$top/windows" -- wine tarnwick.exe 0) ||
  fail "the session with tarnwick.exe"
# tarnwick-scan.exe from the zip on the same message: its line and its status.
cp "$message" "$top/windows/message.eml"
scan_out=$(cd "$top/windows" && wine tarnwick-scan.exe --wait 0 message.eml 2>/dev/null | tr -d '\r') &&
  scan_status=0 || scan_status=$?
[ "$scan_out" = "message.eml: OK" ] && [ "$scan_status" -eq 0 ] ||
  fail "tarnwick-scan.exe answered '$scan_out' with status $scan_status"

echo "package-test: $([ $status -eq 0 ] && echo passed || echo FAILED)"
exit $status
