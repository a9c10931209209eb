#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what building and testing Tarnwick needs on a fresh Debian machine.
# Only packages that are missing are installed; safe to run again.
# Usage: scripts/install-deps.sh [--build-only] [PACKAGE...]
set -euo pipefail
# The second reading's differential test: clamav-testfiles, libpython3.11-testsuite and
# golang-github-jhillyerd-enmime-dev only ship mail as test data; GMime (built into a small
# program with pkg-config) and MIME-tools are two of its oracles, Node.js runs the third.
packages=(cmake ninja-build g++ clang libgtest-dev libgmock-dev googletest
          libbenchmark-dev libclang-rt-14-dev python3 libmilter-dev
          clamav-testfiles libpython3.11-testsuite golang-github-jhillyerd-enmime-dev
          pkg-config libgmime-3.0-dev libmime-tools-perl "$@")
# Node.js may come from elsewhere than Debian, with npm inside it: only what is missing.
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)

# --build-only: just what building and running the filter needs (scripts/run.sh),
# and the packages named after it.
if [ "${1:-}" = "--build-only" ]; then
  shift
  packages=(cmake ninja-build g++ "$@")
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  # Postfix comes for the milter tests only: no system configuration, no system mail server.
  if [[ " ${missing[*]} " == *" postfix "* ]]; then
    echo "postfix postfix/main_mailer_type select No configuration" | $SUDO debconf-set-selections
  fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
