#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Tests tarnwick-milter: the bridge against a stand-in filter (ctest label milter), then end to
# end under a real Postfix on 127.0.0.1 with the real tarnwick: first beside the project's
# stand-in anti-virus (verdicts, forged fields, reject, 200 messages over 10 connections), then
# beside ClamAV's on-access scanner (clamd + clamonacc, set up privately as clamav-test.sh does).
# Usage: scripts/milter-test.sh            (builds into ./build, needs root)
# Installs what is missing (libmilter-dev, postfix without a system configuration, clamav).
# Every server it starts it stops by process id, also on failure. When Postfix or the scanner
# cannot be set up the suite skips, unless CI is set: then it fails.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
wait_seconds=${AV_WAIT:-2}
clamd_start_seconds=60
scanner_live_seconds=60
export PYTHONDONTWRITEBYTECODE=1

unavailable() {
  if [ -n "${CI:-}" ]; then
    echo "milter-test: FAILED: $*" >&2
    exit 1
  fi
  echo "milter-test: SKIPPED (set CI to make this a failure): $*"
  exit 0
}

[ "$(id -u)" -eq 0 ] || unavailable "Postfix's master and clamonacc need root; running as $(id -un)"
scripts/install-deps.sh libmilter-dev postfix clamav clamav-daemon ||
  unavailable "installing libmilter-dev, postfix or clamav failed"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target tarnwick tarnwick-milter milter_stand_in_av >/dev/null
[ -x build/milter/tarnwick-milter ] || { echo "milter-test: tarnwick-milter was not built" >&2; exit 1; }
programs=(--tarnwick build/app/tarnwick --milter build/milter/tarnwick-milter)

status=0
started=$SECONDS
echo "milter-test: the bridge against a stand-in filter"
ctest --test-dir build -L milter --output-on-failure || status=1

echo "milter-test: Postfix with the stand-in anti-virus"
python3 tests/milter/postfix_suite.py standin "${programs[@]}" \
  --stand-in-av build/tests/milter/milter_stand_in_av || status=1

# ClamAV: a private clamd and clamonacc watching the working folder's ScanMe.
driver=(python3 "$repo/tests/clamav/clamav_suite.py")
top=$(mktemp -d /tmp/tarnwick-milter-clamav.XXXXXX)
chmod 755 "$top"
clamd_pid=""
onacc_pid=""
suite_pid=""
stop_servers() {
  local pid
  for pid in $suite_pid $onacc_pid $clamd_pid; do kill "$pid" 2>/dev/null || true; done
  for pid in $suite_pid $onacc_pid $clamd_pid; do
    for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  suite_pid=""
  onacc_pid=""
  clamd_pid=""
}
cleanup() {
  stop_servers
  rm -rf "$top"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "milter-test: Postfix with ClamAV's on-access scanner"
id clamav >/dev/null 2>&1 || unavailable "the clamav user is missing"
mkdir -p "$top/db" "$top/run" "$top/work/ScanMe"
chmod 755 "$top/db"
chown clamav:clamav "$top/run"
"${driver[@]}" signatures "$top/db/tarnwick.ndb"
cat >"$top/clamd.conf" <<CONF
LocalSocket $top/run/clamd.sock
DatabaseDirectory $top/db
TemporaryDirectory $top/run
User clamav
SelfCheck 0
Foreground yes
ScanMail no
OnAccessIncludePath $top/work/ScanMe
OnAccessExcludeUname clamav
CONF
"${driver[@]}" fanotify-check "$top/work/ScanMe" >"$top/fanotify.out" 2>&1 ||
  unavailable "fanotify does not work here: $(cat "$top/fanotify.out")"
clamd -c "$top/clamd.conf" >"$top/clamd.out" 2>&1 &
clamd_pid=$!
for _ in $(seq 1 $((clamd_start_seconds * 10))); do
  [ -S "$top/run/clamd.sock" ] && break
  kill -0 "$clamd_pid" 2>/dev/null || break
  sleep 0.1
done
[ -S "$top/run/clamd.sock" ] || { tail -n 15 "$top/clamd.out" >&2; unavailable "clamd did not start"; }
clamonacc --foreground --fdpass --remove --config-file="$top/clamd.conf" >"$top/clamonacc.out" 2>&1 &
onacc_pid=$!
"${driver[@]}" probe "$top/work/ScanMe" "$scanner_live_seconds" ||
  { tail -n 15 "$top/clamonacc.out" >&2; unavailable "clamonacc did not become live"; }
python3 tests/milter/postfix_suite.py clamav "${programs[@]}" --work "$top/work" \
  --wait "$wait_seconds" &
suite_pid=$!
wait "$suite_pid" || status=1
suite_pid=""
stop_servers

echo "milter-test: $([ $status -eq 0 ] && echo passed || echo FAILED) in $((SECONDS - started)) s"
exit $status
