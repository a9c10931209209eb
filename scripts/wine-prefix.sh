#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Sourced by every script that runs Windows programs under Wine: one prefix
# with one persistent wineserver for the whole run, started before anything
# else and waited for until it answers, so that no test is the first to meet
# a server that is still starting (under load: "a wine server seems to be
# running, but I cannot connect to it").
#
#   wine_prefix_start DIR   makes the prefix DIR (exported as WINEPREFIX),
#                           starts its server and waits until a Windows
#                           program runs there; fails after kWineReadySeconds
#   wine_prefix_stop        ends the server and every Wine process of the prefix
#   wine_start_up_failed F  true when file F holds a Wine start-up failure: a
#                           failure of Wine itself, never of the program it ran
#
# Every Wine output goes to /dev/null: its background helpers would otherwise
# keep the CI log's pipe open.

kWineReadySeconds=120
WINE_START_UP_FAILURE='a wine server seems to be running, but I cannot connect to it'

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY

wine_prefix_start() {
  export WINEPREFIX="$1"
  mkdir -p "$WINEPREFIX"
  local deadline=$((SECONDS + kWineReadySeconds))
  wineserver -p </dev/null >/dev/null 2>&1
  until wine wineboot -i </dev/null >/dev/null 2>&1 &&
        wine cmd /c exit 0 </dev/null >/dev/null 2>&1; do
    if ((SECONDS >= deadline)); then
      echo "wine: the server of $WINEPREFIX did not answer within $kWineReadySeconds s" >&2
      return 1
    fi
    sleep 1
    wineserver -p </dev/null >/dev/null 2>&1 || true
  done
}

wine_prefix_stop() {
  [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ] || return 0
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
}

wine_start_up_failed() {
  grep -qF "$WINE_START_UP_FAILURE" "$1"
}
