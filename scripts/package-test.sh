#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Tries the packages in dist/ as an administrator would (scripts/package.sh
# makes them when they are missing):
#   - checks the .deb with lintian (no error, no warning);
#   - rates the packaged unit with systemd-analyze security (fails above 3.0);
#   - installs it with dpkg -i, checks the folders it makes (ScanMe and the
#     spool owned by tarnwick, mode 0700), runs `tarnwick 0` from the PATH
#     through a short session (INTF, FILE of a message with attachments, QUIT)
#     and checks the ADDHEADER answer, scans the same message with
#     tarnwick-scan, checks that the man pages render, starts the bridge as
#     its unit does and removes the package, which must stop it, then purges
#     it with apt-get, which must remove the folders;
#   - unzips the Windows zip into a fresh folder, checks that the programs
#     carry a version resource, and runs the same session with tarnwick.exe
#     and the same scan with tarnwick-scan.exe under Wine from there, in a
#     Wine prefix of its own.
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
scripts/install-deps.sh --build-only python3 man-db groff-base unzip wine wine64 lintian systemd
SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
if dpkg-query -W -f='${Status}' tarnwick 2>/dev/null | grep -q "install ok installed"; then
  echo "package-test: a tarnwick package is installed already; remove it first" >&2
  exit 1
fi

top=$(mktemp -d /tmp/tarnwick-package-test.XXXXXX)
installed=""
cleanup() {
  if [ -n "$installed" ]; then
    $SUDO dpkg -P tarnwick >/dev/null 2>&1 || true
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
# Tags of the levels error and warning fail (as root lintian also says that
# it is not recommended, which is no tag).
if ! lintian --fail-on error,warning "$deb" >"$top/lintian.out" 2>&1; then
  cat "$top/lintian.out"; fail "lintian"
else
  echo "lintian: no error, no warning"
fi
# Minimal images often keep dpkg from unpacking man pages; this package's own
# are wanted here.
$SUDO dpkg --path-include='/usr/share/man/*' -i "$deb" >"$top/dpkg.out" 2>&1 ||
  { cat "$top/dpkg.out"; fail "dpkg -i"; exit 1; }
installed=yes
# The unit as packaged, rated offline as systemd would rate it (0 safe, 10
# exposed): at most 3.0.
unit=/usr/lib/systemd/system/tarnwick-milter.service
rating=$(systemd-analyze security --offline=true --no-pager "$unit" 2>&1 |
  sed -n 's/^.*Overall exposure level for [^:]*: \([0-9.]*\) .*$/\1/p')
if [ -z "$rating" ] || ! awk -v r="$rating" 'BEGIN { exit !(r <= 3.0) }'; then
  systemd-analyze security --offline=true --no-pager "$unit" || true
  fail "the unit is rated '${rating:-no rating}', above 3.0"
else
  echo "systemd-analyze security: $rating"
fi
for folder in /var/lib/tarnwick/ScanMe /var/spool/tarnwick; do
  [ "$(stat -c '%U %a' "$folder" 2>/dev/null)" = "tarnwick 700" ] ||
    fail "$folder is not owned by tarnwick with mode 0700: $(stat -c '%U %a' "$folder" 2>&1)"
done
[ "$(command -v tarnwick)" = /usr/bin/tarnwick ] || fail "tarnwick is not /usr/bin/tarnwick on the PATH"
[ "$(tarnwick --version | head -n 1)" = "tarnwick $version" ] || fail "tarnwick --version"
[ "$(tarnwick-unpack --version | head -n 1)" = "tarnwick-unpack $version" ] ||
  fail "tarnwick-unpack --version"
[ "$(tarnwick-scan --version | head -n 1)" = "tarnwick-scan $version" ] ||
  fail "tarnwick-scan --version"
# tarnwick-scan from the PATH on a message with attachments: its line, its status, no file left.
# No anti-virus watches here, so the scan is allowed without one.
mkdir -p "$top/scan"
scan_out=$(cd "$top/scan" && tarnwick-scan --allow-unwatched --wait 0 "$message") && scan_status=0 || scan_status=$?
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
# The bridge as the unit starts it (on a free port), which the removal stops.
$SUDO mkdir -p /run/tarnwick
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
$SUDO /usr/bin/tarnwick-milter -f -u tarnwick -p "inet:$port@127.0.0.1" \
  --pidfile /run/tarnwick/tarnwick-milter.pid 2>"$top/milter.err" &
bridge=$!
for _ in $(seq 1 50); do [ -s /run/tarnwick/tarnwick-milter.pid ] && break; sleep 0.1; done
pid=$(cat /run/tarnwick/tarnwick-milter.pid 2>/dev/null || true)
[ "$($SUDO readlink "/proc/$pid/exe" 2>/dev/null)" = /usr/bin/tarnwick-milter ] ||
  { cat "$top/milter.err"; fail "the bridge did not write its pid file"; }
$SUDO dpkg -r tarnwick >/dev/null
if [ -n "$pid" ] && [ -d "/proc/$pid" ]; then
  fail "the bridge still runs after dpkg -r"; $SUDO kill "$pid" || true
fi
wait "$bridge" 2>/dev/null || true
! command -v tarnwick >/dev/null || fail "tarnwick is still on the PATH after dpkg -r"
[ -d /var/lib/tarnwick/ScanMe ] || fail "dpkg -r removed ScanMe, which only a purge may remove"
$SUDO apt-get purge -y -qq tarnwick >"$top/purge.out" 2>&1 || { cat "$top/purge.out"; fail "apt-get purge"; }
installed=""
for folder in /var/lib/tarnwick /var/spool/tarnwick; do
  [ ! -e "$folder" ] || fail "$folder is still there after the purge"
done

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
# The version resource Explorer's Properties show: UTF-16 strings in the .exe.
for exe in tarnwick.exe tarnwick-unpack.exe tarnwick-scan.exe; do
  strings -el "$top/windows/$exe" >"$top/resource.txt"
  for value in FileVersion ProductVersion "$version" "Licensed under the Apache License, Version 2.0"; do
    grep -qxF "$value" "$top/resource.txt" || fail "$exe has no version resource with \"$value\""
  done
done
# shellcheck source=scripts/wine-prefix.sh
. scripts/wine-prefix.sh
wine_prefix_start "$top/prefix"
(cd "$top/windows" && "${session[@]}" --work "$top/windows" -- wine tarnwick.exe 0) ||
  fail "the session with tarnwick.exe"
# tarnwick-scan.exe from the zip on the same message: its line and its status. No anti-virus
# watches under Wine, so the scan is allowed without one.
cp "$message" "$top/windows/message.eml"
scan_out=$(cd "$top/windows" && wine tarnwick-scan.exe --allow-unwatched --wait 0 message.eml 2>/dev/null | tr -d '\r') &&
  scan_status=0 || scan_status=$?
[ "$scan_out" = "message.eml: OK" ] && [ "$scan_status" -eq 0 ] ||
  fail "tarnwick-scan.exe answered '$scan_out' with status $scan_status"

echo "package-test: $([ $status -eq 0 ] && echo passed || echo FAILED)"
exit $status
