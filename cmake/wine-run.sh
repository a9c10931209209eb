#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs one Windows executable under Wine for ctest: quiet, without a display,
# in the prefix that scripts/windows-test.sh prepared (WINEPREFIX).
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY
exec wine "$@"
